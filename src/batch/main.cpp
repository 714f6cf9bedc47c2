// seqmend-batch: seqmend over a whole collection, in threads of one process over the library (or
// a process per file with --isolate), with a report.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "findings.h"
#include "options.h"
#include "platform.h"
#include "report.h"
#include "resume.h"
#ifndef _WIN32
#include "run_pool.h"
#endif
#include "walk.h"
#include "worker.h"

namespace {

namespace fs = std::filesystem;

std::atomic<int> g_stopSignal{0};

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

// The record of a walk entry that no worker judges: a file that cannot be looked at or a
// folder that cannot be read, and what is not a regular file.
FileRecord walkRecord(const WalkEntry& entry) {
  FileRecord record;
  record.path = entry.path;
  record.exitStatus = 1;
  addMessage(record, entry.kind == WalkEntry::Kind::Error
                         ? systemErrorMessage(entry.path, entry.error)
                         : notRegularMessage(entry.path));
  return record;
}

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

// Where every file's record goes, from whichever thread: the report, the lines on standard
// output, the tally and the progress line.
class Emitter {
 public:
  Emitter(const BatchOptions& options, int reportFd, long expected)
      : options_(options),
        reportFd_(reportFd),
        report_(reportFd),
        text_(STANDARD_OUTPUT),
        tally(expected),
        showProgress_(isTerminal(STANDARD_ERROR) != 0),
        textToTerminal_(isTerminal(STANDARD_OUTPUT) != 0) {}

  void emit(const FileRecord& record) {
    const std::lock_guard<std::mutex> lock(mutex_);
    tally.add(record);
    if (reportFd_ >= 0) {
      report_.add(reportLine(record));
      // Written at least four times a second: a batch that is killed loses little work.
      if (secondsSince(reportFlushed_) > 0.25) {
        report_.flush();
        reportFlushed_ = Clock::now();
      }
    }
    if (reportFd_ != STANDARD_OUTPUT) {
      for (const Message& message : record.messages) {
        if (!options_.quiet || message.code != "sound") {
          text_.add(message.text + "\n");
        }
      }
      if (textToTerminal_) {
        text_.flush();
      }
    }
    if (showProgress_ && secondsSince(shown_) > 0.2) {
      tally.printProgress(stderr, secondsSince(started_));
      shown_ = Clock::now();
    }
  }

  // Flushes both sinks; the exit status of the batch as far as they decide it, or -1.
  int finish() {
    report_.flush();
    text_.flush();
    if (showProgress_) {
      std::fprintf(stderr, "\r\033[K");
    }
    if (report_.failed() || text_.failed()) {
      std::fprintf(stderr, "seqmend-batch: %s: %s\n",
                   report_.failed() ? options_.report.c_str() : "standard output",
                   std::strerror(report_.failed() ? report_.error() : text_.error()));
      return 1;
    }
    return -1;
  }

  double seconds() const { return secondsSince(started_); }

 private:
  const BatchOptions& options_;
  int reportFd_;
  LineSink report_;
  LineSink text_;
  std::mutex mutex_;

 public:
  Tally tally;

 private:
  bool showProgress_;
  bool textToTerminal_;
  Clock::time_point started_ = Clock::now(), shown_ = {}, reportFlushed_ = started_;
};

// The walk, shared by the workers: each takes the next entry under a lock, so that no queue
// stands between the walk and them and memory does not grow with the walk. One worker reports
// every entry in the walk's order.
class SharedWalk {
 public:
  SharedWalk(const BatchOptions& options, const ReportedFiles& reported)
      : walk_(options.paths, options.allFiles), reported_(reported) {}

  // The next entry that the report of a resumed batch does not hold; false at the end of the
  // walk or once a stop signal came.
  bool next(WalkEntry& entry) {
    const std::lock_guard<std::mutex> lock(mutex_);
    while (g_stopSignal == 0 && walk_.next(entry)) {
      if (reported_.size() == 0 || !reported_.contains(entry.path)) {
        return true;
      }
    }
    return false;
  }

 private:
  Walk walk_;
  const ReportedFiles& reported_;
  std::mutex mutex_;
};

// Hands each walk entry to `take`, but those the report of a resumed batch holds. Ends early
// once a stop signal came or `take` refuses.
template <typename Take>
void walkAll(const BatchOptions& options, const ReportedFiles& reported, Take take) {
  Walk walk(options.paths, options.allFiles);
  for (WalkEntry entry; g_stopSignal == 0 && walk.next(entry);) {
    if ((reported.size() == 0 || !reported.contains(entry.path)) && !take(std::move(entry))) {
      break;
    }
  }
}

// The default: workers in threads of this process, each with its own library context.
void runInThreads(const BatchOptions& options, const RunSetup& setup, const ReportedFiles& reported,
                  Emitter& emitter) {
  SharedWalk walk(options, reported);
  std::vector<std::thread> workers;
  for (int n = 0; n < options.jobs; ++n) {
    workers.emplace_back([&, n] {
      Worker worker(std::to_string(n) + "w");
      for (WalkEntry entry; walk.next(entry);) {
        emitter.emit(entry.kind == WalkEntry::Kind::File
                         ? worker.treat({entry.path, entry.relative}, setup)
                         : walkRecord(entry));
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }
}

#ifndef _WIN32
// --isolate: a process per file, a number at a time.
void runIsolated(const BatchOptions& options, const RunSetup& setup, const ReportedFiles& reported,
                 Emitter& emitter) {
  RunPool pool(options.jobs, setup, options.timeoutSeconds);
  FileRecord record;
  const auto waitForOne = [&] {
    if (pool.waitForEnd(record)) {
      emitter.emit(record);
    }
  };
  walkAll(options, reported, [&](WalkEntry entry) {
    if (entry.kind != WalkEntry::Kind::File) {
      emitter.emit(walkRecord(entry));
      return true;
    }
    while (g_stopSignal == 0 && !pool.hasFreeSlot()) {
      waitForOne();
    }
    if (g_stopSignal != 0) {
      return false;
    }
    if (!pool.start({entry.path, entry.relative})) {
      entry.kind = WalkEntry::Kind::Error;
      entry.error = errno;
      emitter.emit(walkRecord(entry));
    }
    return true;
  });
  while (g_stopSignal == 0 && pool.busy()) {
    waitForOne();
  }
}  // every run has ended
#endif

// Everything after the options: the report, the walk, the workers. Returns the exit status.
int runBatch(const BatchOptions& options, RunSetup& setup) {
  if (!options.report.empty() && options.report != "-" &&
      overlapsAnyPath(options.report, options)) {
    std::fprintf(stderr, "seqmend-batch: the report must not be inside a PATH: %s\n",
                 options.report.c_str());
    return 2;
  }
  int reportFd = -1;
  if (options.report == "-") {
    reportToStandardOutput();
    reportFd = STANDARD_OUTPUT;
  } else if (!options.report.empty()) {
    reportFd = openReport(options.report, options.resume);
    if (reportFd < 0) {
      return failSetup(options.report, errno);
    }
  }
  Emitter emitter(options, reportFd, isTerminal(STANDARD_ERROR) != 0 ? countEntries(options) : 0);
  ReportedFiles reported;
  if (options.resume && !reported.load(reportFd, emitter.tally)) {
    return failSetup(options.report + (errno == EINVAL ? " (a line is no record)" : ""),
                     errno == 0 ? EINVAL : errno);
  }
  if (!options.check && !makeScratchFolder(setup)) {
    return failSetup("scratch folder", errno);
  }
#ifndef _WIN32
  if (options.isolate) {
    runIsolated(options, setup, reported, emitter);
  } else {
    runInThreads(options, setup, reported, emitter);
  }
#else
  runInThreads(options, setup, reported, emitter);  // --isolate is refused here
#endif
  if (!options.check) {
    removeScratchFolder(setup);
  }
  const int sinkStatus = emitter.finish();
  if (g_stopSignal != 0) {
    std::fprintf(stderr, "seqmend-batch: stopped by signal %d\n", int(g_stopSignal));
    return 128 + g_stopSignal;
  }
  emitter.tally.printSummary(stderr, emitter.seconds());
  if (reported.size() > 0) {
    std::fprintf(stderr, "seqmend-batch: %zu files already in the report, not treated again\n",
                 reported.size());
  }
  if (sinkStatus >= 0) {
    return sinkStatus;
  }
  if (const int error = reportFd > STANDARD_OUTPUT ? closeFile(reportFd) : 0; error != 0) {
    std::fprintf(stderr, "seqmend-batch: %s: %s\n", options.report.c_str(), std::strerror(error));
    return 1;
  }
  const bool repairedFails = options.failOnRepair && emitter.tally.anyRepaired();
  return emitter.tally.allGood() && !repairedFails ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
  // The arguments in UTF-8 on every system.
  char** args = const_cast<char**>(startProgram(argc, argv));
  BatchOptions options;
  const int status = parseOptions(argc, args, options);
  if (status >= 0) {
    return status;
  }
  RunSetup setup;
  setup.check = options.check;
  setup.tracksOnly = options.tracksOnly;
  setup.normalize = options.normalize;
  setup.copySound = options.copySound;
  if (!options.check) {
    if (overlapsAnyPath(options.outDir, options)) {
      std::fprintf(stderr, "seqmend-batch: --out %s must lie outside every PATH and hold none\n",
                   options.outDir.c_str());
      return 2;
    }
    std::error_code error;
    fs::create_directories(options.outDir, error);
    setup.outName = options.outDir;
    while (setup.outName.size() > 1 && setup.outName.back() == '/') {
      setup.outName.pop_back();
    }
    if (!openOutFolder(setup)) {
      return failSetup(options.outDir, errno);
    }
  }
  prepareProcess(stopOnSignal);
  return runBatch(options, setup);
}
