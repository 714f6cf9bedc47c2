// seqmend-batch: seqmend over a whole collection, one process per file, with a report.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "file_run.h"
#include "messages.h"
#include "options.h"
#include "report.h"
#include "run_pool.h"
#include "walk.h"

namespace {

namespace fs = std::filesystem;

volatile sig_atomic_t g_stopSignal = 0;

void stopOnSignal(int number) { g_stopSignal = number; }

int failSetup(const std::string& what, int error) {
  std::fprintf(stderr, "seqmend-batch: %s: %s\n", what.c_str(), std::strerror(error));
  return 2;
}

// Whether `inner` is `outer` or lies below it, both absolute and without links or dots.
bool isWithin(const fs::path& inner, const fs::path& outer) {
  auto a = inner.begin(), b = outer.begin();
  for (; a != inner.end() && b != outer.end(); ++a, ++b) {
    if (*a != *b) {
      return b->empty();  // "/x/" ends in an empty element
    }
  }
  return b == outer.end() || b->empty();
}

// A file inside a PATH, or a PATH inside it: outputs there could take the place of inputs.
bool overlapsAnyPath(const std::string& name, const BatchOptions& options) {
  std::error_code error;
  const fs::path place = fs::weakly_canonical(fs::absolute(name), error);
  for (const std::string& path : options.paths) {
    const fs::path root = fs::canonical(path, error);
    if (!error && (isWithin(place, root) || isWithin(root, place))) {
      return true;
    }
  }
  return false;
}

// The folder for the runs' scratch folders: inside DIR, so that a copy reaches its place by a
// rename. With --check, where only the engine's extra files land and are removed at once: in
// TMPDIR when it is set, else in memory (/dev/shm) where there is such a folder, else in /tmp.
std::string makeScratchRoot(const BatchOptions& options) {
  std::string base = options.outDir + "/.";
  if (options.check) {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp != nullptr && *tmp != '\0'         ? tmp
           : access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm"
                                                  : "/tmp";
    base += "/";
  }
  std::string pattern = base + "seqmend-batch-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

Message makeMessage(const MessageFormat& kind, const std::string& path,
                    std::vector<MessageField> fields) {
  Message message;
  message.kind = &kind;
  message.text = formatMessage(kind, {path, ""}, fields);
  message.fields = std::move(fields);
  return message;
}

// The record of a walk entry that no run judges: a file that cannot be looked at or a folder
// that cannot be read, and what is not a regular file.
FileRecord walkRecord(const WalkEntry& entry) {
  FileRecord record;
  record.path = entry.path;
  record.exitStatus = 1;
  if (entry.kind == WalkEntry::Kind::Error) {
    record.messages.push_back(makeMessage(
        SYSTEM_ERROR_FORMAT, entry.path,
        {{"file", false, 0, entry.path}, {"error", false, 0, std::strerror(entry.error)}}));
  } else {
    record.messages.push_back(makeMessage(NOT_REGULAR_FORMAT, entry.path, {}));
  }
  return record;
}

FileRecord runRecord(RunEnd& end, const RunSetup& setup) {
  FileRecord record;
  record.path = end.job.path;
  record.size = end.result.size;
  record.milliseconds = end.milliseconds;
  const std::string output = outputNameOf(setup, end.job.relative);
  record.messages = parseMessages(end.output, {record.path, output});
  record.omittedMessages = end.omittedLines;
  if (end.how == RunEnd::How::TimedOut) {
    record.verdict = "timeout";
    record.messages.push_back(
        makeMessage(TIMEOUT_FORMAT, record.path, {{"seconds", true, end.status, {}}}));
  } else if (end.how == RunEnd::How::Signalled) {
    record.verdict = "crashed";
    record.signal = end.status;
    record.messages.push_back(
        makeMessage(CRASHED_FORMAT, record.path, {{"signal", true, end.status, {}}}));
  } else if (end.status == RUN_SOUND || end.status == RUN_REPAIRED || end.status == RUN_FAILED) {
    record.verdict = end.status == RUN_SOUND      ? "sound"
                     : end.status == RUN_REPAIRED ? "repaired"
                                                  : "failed";
    record.exitStatus = end.status == RUN_FAILED ? 1 : 0;
  } else {
    record.verdict = "crashed";
    record.messages.push_back(
        makeMessage(EXIT_STATUS_FORMAT, record.path, {{"value", true, end.status, {}}}));
  }
  if (end.result.outputPlaced) {
    record.output = output;
  }
  for (int n = 1; n <= end.result.extrasPlaced; ++n) {
    record.extras.push_back(extraNameOf(setup, end.job.relative, n));
  }
  return record;
}

double secondsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) + double(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Counts what the walk will hand over, for the progress line only.
long countEntries(const BatchOptions& options) {
  Walk walk(options.paths, options.allFiles);
  long count = 0;
  for (WalkEntry entry; walk.next(entry);) {
    ++count;
  }
  return count;
}

// Everything after the options: the walk, the runs, the report. Returns the exit status.
int runBatch(const BatchOptions& options, RunSetup& setup) {
  if (!options.report.empty() && options.report != "-" &&
      overlapsAnyPath(options.report, options)) {
    std::fprintf(stderr, "seqmend-batch: the report must not be inside a PATH: %s\n",
                 options.report.c_str());
    return 2;
  }
  int reportFd = -1;
  if (options.report == "-") {
    reportFd = STDOUT_FILENO;
  } else if (!options.report.empty()) {
    reportFd = open(options.report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (reportFd < 0) {
      return failSetup(options.report, errno);
    }
  }
  const std::string scratchRoot = makeScratchRoot(options);
  const int scratchFd =
      scratchRoot.empty() ? -1 : open(scratchRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scratchFd < 0) {
    return failSetup("scratch folder", errno);
  }

  LineSink report(reportFd);
  LineSink text(STDOUT_FILENO);
  const bool showProgress = isatty(STDERR_FILENO) != 0;
  const bool textToTerminal = isatty(STDOUT_FILENO) != 0;  // shown file by file
  Tally tally(showProgress ? countEntries(options) : 0);
  struct timespec started, shown = {};
  clock_gettime(CLOCK_MONOTONIC, &started);
  {
    RunPool pool(options.jobs, setup, scratchFd, options.timeoutSeconds);
    Walk walk(options.paths, options.allFiles);
    const auto emit = [&](const FileRecord& record) {
      tally.add(record);
      if (reportFd >= 0) {
        report.add(reportLine(record));
      }
      if (reportFd != STDOUT_FILENO) {
        for (const Message& message : record.messages) {
          if (!options.quiet || message.kind == nullptr ||
              std::strcmp(message.kind->code, "sound") != 0) {
            text.add(message.text + "\n");
          }
        }
        if (textToTerminal) {
          text.flush();
        }
      }
      if (showProgress && secondsSince(shown) > 0.2) {
        tally.printProgress(stderr, secondsSince(started));
        clock_gettime(CLOCK_MONOTONIC, &shown);
      }
    };
    bool more = true;
    WalkEntry entry;
    RunEnd end;
    while (g_stopSignal == 0) {
      while (more && pool.hasFreeSlot() && (more = walk.next(entry))) {
        if (entry.kind != WalkEntry::Kind::File) {
          emit(walkRecord(entry));
        } else if (!pool.start({entry.path, entry.relative})) {
          entry.kind = WalkEntry::Kind::Error;
          entry.error = errno;
          emit(walkRecord(entry));
        }
      }
      if (!pool.busy()) {
        break;
      }
      if (pool.waitForEnd(end)) {
        emit(runRecord(end, setup));
      }
    }
  }  // every run has ended, every slot folder is gone
  unlinkat(AT_FDCWD, scratchRoot.c_str(), AT_REMOVEDIR);
  close(scratchFd);
  report.flush();
  text.flush();
  if (showProgress) {
    std::fprintf(stderr, "\r\033[K");
  }
  if (g_stopSignal != 0) {
    std::fprintf(stderr, "seqmend-batch: stopped by signal %d\n", int(g_stopSignal));
    return 128 + g_stopSignal;
  }
  tally.printSummary(stderr, secondsSince(started));
  if (report.failed() || text.failed()) {
    std::fprintf(stderr, "seqmend-batch: %s: %s\n",
                 report.failed() ? options.report.c_str() : "standard output",
                 std::strerror(report.failed() ? report.error() : text.error()));
    return 1;
  }
  if (reportFd > STDOUT_FILENO && close(reportFd) != 0) {
    std::fprintf(stderr, "seqmend-batch: %s: %s\n", options.report.c_str(), std::strerror(errno));
    return 1;
  }
  return tally.allGood() ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  BatchOptions options;
  const int status = parseOptions(argc, argv, options);
  if (status >= 0) {
    return status;
  }
  RunSetup setup;
  setup.check = options.check;
  setup.tracksOnly = options.tracksOnly;
  setup.copySound = options.copySound;
  if (!options.check) {
    if (overlapsAnyPath(options.outDir, options)) {
      std::fprintf(stderr, "seqmend-batch: --out %s must lie outside every PATH and hold none\n",
                   options.outDir.c_str());
      return 2;
    }
    std::error_code error;
    fs::create_directories(options.outDir, error);
    setup.outFd = open(options.outDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (setup.outFd < 0) {
      return failSetup(options.outDir, errno);
    }
    setup.outName = options.outDir;
    while (setup.outName.size() > 1 && setup.outName.back() == '/') {
      setup.outName.pop_back();
    }
  }
  // Each run at a time holds a pipe and a scratch folder open: up to the hard limit, so that
  // --jobs is not held back by the usual soft limit of 1024 open files.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // A stop signal ends the runs and removes the scratch folders before the batch exits.
  struct sigaction stop = {};
  stop.sa_handler = stopOnSignal;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(number, &stop, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
  return runBatch(options, setup);
}
