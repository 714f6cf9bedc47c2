// One file's run, in its own process: seqmend's opening rules (the platform's), the one call into
// the engine, seqmend's verdict lines, and the placing of what is kept under DIR by rename. It
// does what the shared run driver does, apart from where the files go: the input is named as
// the batch found it while the run works in its scratch folder, and the copy is made in memory
// or there, then moved to its name under DIR.
#include "file_run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "command_line.h"
#include "engine.h"
#include "platform.h"

namespace {

// Names in the run's scratch folder, which is its current folder: the engine's extra%d.mid
// files appear beside them. The batch empties the folder when it is done with it.
constexpr char SCRATCH_OUTPUT[] = "out.mid";
constexpr char SCRATCH_SOUND[] = "sound.mid";

// As large as seqmend's: a system call costs microseconds, and a run reads its input several
// times. Untouched pages of these cost a run nothing.
constexpr size_t STREAM_BUFFER_SIZE = 256 * 1024;
char inputBuffer[STREAM_BUFFER_SIZE];
char outputBuffer[STREAM_BUFFER_SIZE];

[[noreturn]] void finish(int status) {
  std::fflush(stdout);
  _exit(status);
}

void reportError(const char* name, int error) {
  errno = error;
  std::perror(name);
}

void applyTestHook(const std::string& path) {
  const char* hook = std::getenv("SEQMEND_BATCH_TEST_HOOK");
  if (hook == nullptr) {
    return;
  }
  const std::string_view name = std::string_view(path).substr(path.find_last_of('/') + 1);
  for (std::string_view rest = hook; !rest.empty();) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    if (item.starts_with("crash:") && item.substr(6) == name) {
      std::abort();
    }
    if (item.starts_with("hang:") && item.substr(5) == name) {
      for (;;) {
        pause();
      }
    }
    if (item.starts_with("delay:")) {
      usleep(useconds_t(std::atoi(std::string(item.substr(6)).c_str())) * 1000);
    }
  }
}

// seqmend's opening of the input, with its reports. Null after the report.
FILE* openInput(struct stat& identity, long long& size) {
  FileIdentity ignored;
  int64_t bytes = 0;
  FILE* in = openInputFile(g_inputName, ignored, bytes);
  if (in == nullptr || fstat(fileno(in), &identity) != 0) {
    std::perror(g_inputName);
    return nullptr;
  }
  size = bytes;
  if (bytes > MAX_INPUT_SIZE) {
    std::fclose(in);
    std::printf("%s: file too large\n", g_inputName);
    return nullptr;
  }
  return in;
}

// Inputs up to this size are repaired into memory, and only a repaired copy reaches the disk:
// most files of a collection are sound, and creating or truncating a file costs far more than
// repairing a small one.
constexpr long long MEMORY_OUTPUT_LIMIT = 64LL << 20;

// The copy goes to memory or to the scratch folder, or to /dev/null when nothing is kept, as
// seqmend writes it when given /dev/null: none of its lines depends on what the output holds.
FILE* createOutput(const RunSetup& setup, FILE* in, long long inputSize, bool& inMemory) {
  inMemory = false;
  if (!setup.check && inputSize <= MEMORY_OUTPUT_LIMIT) {
    const int fd = memfd_create("copy", MFD_CLOEXEC);
    FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (out != nullptr) {
      inMemory = true;
      return out;
    }
    if (fd >= 0) {
      close(fd);
    }
  }
  FILE* const guarded[] = {in, stdout, stderr};
  WrittenFile file;
  const bool opened =
      setup.check ? openFileForWriting("/dev/null", WriteTarget::REPAIRED_FILE, guarded, 3, file)
                  : openFileForWriting(SCRATCH_OUTPUT, WriteTarget::REGULAR_FILE, guarded, 3, file);
  return opened ? file.stream : nullptr;
}

// Writes a copy held in memory to its file in the scratch folder. False with errno set.
bool writeOutOfMemory(int memoryFd) {
  struct stat memory;
  if (fstat(memoryFd, &memory) != 0) {
    return false;
  }
  const int fd = open(SCRATCH_OUTPUT, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  off_t offset = 0;
  bool written = fd >= 0;
  while (written && offset < memory.st_size) {
    written = sendfile(fd, memoryFd, &offset, size_t(memory.st_size - offset)) > 0;
  }
  const int error = errno;
  if (fd >= 0 && close(fd) != 0) {
    return false;
  }
  errno = error;
  return written;
}

// Opens the folder below DIR that is to hold `relative`, creating what is missing, without
// following a symbolic link anywhere below DIR: a link planted there cannot lead a copy
// elsewhere. Returns -1 with errno set.
int openDestinationFolder(int outFd, const std::string& relative) {
  int fd = fcntl(outFd, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  for (size_t slash; fd >= 0 && (slash = relative.find('/', start)) != std::string::npos;
       start = slash + 1) {
    const std::string part = relative.substr(start, slash - start);
    if (part.empty()) {
      continue;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = openat(fd, part.c_str(), flags);
    if (next < 0 && errno == ENOENT && (mkdirat(fd, part.c_str(), 0777) == 0 || errno == EEXIST)) {
      next = openat(fd, part.c_str(), flags);
    }
    const int error = errno;
    close(fd);
    fd = next;
    errno = error;
  }
  return fd;
}

// Moves a finished file from the scratch folder to its name in `destFd`, replacing what was
// there, unless that is the input's last name (the input reached through a link from the tree).
bool placeFile(const char* scratchName, int destFd, const std::string& destName,
               const struct stat& input) {
  struct stat there;
  if (fstatat(destFd, destName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      there.st_dev == input.st_dev && there.st_ino == input.st_ino && there.st_nlink <= 1) {
    errno = EACCES;
    return false;
  }
  return renameat(AT_FDCWD, scratchName, destFd, destName.c_str()) == 0;
}

std::string baseName(const std::string& relative) {
  return relative.substr(relative.find_last_of('/') + 1);
}

// Places the sound input under DIR: a hard link to the very file that was checked where the
// file system allows one, else a copy of it. The scratch name goes in every case.
bool placeSoundCopy(const RunSetup& setup, const std::string& relative, int inputFd,
                    const struct stat& input) {
  unlinkat(AT_FDCWD, SCRATCH_SOUND, 0);
  const std::string self = "/proc/self/fd/" + std::to_string(inputFd);
  bool ready = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, SCRATCH_SOUND, AT_SYMLINK_FOLLOW) == 0;
  if (!ready) {
    const int fd = open(SCRATCH_SOUND, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    off_t offset = 0;
    ready = fd >= 0;
    while (ready && offset < input.st_size) {
      ready = sendfile(fd, inputFd, &offset, size_t(input.st_size - offset)) > 0;
    }
    ready = fd >= 0 && close(fd) == 0 && ready;
  }
  const int destFd = ready ? openDestinationFolder(setup.outFd, relative) : -1;
  const bool placed = destFd >= 0 && placeFile(SCRATCH_SOUND, destFd, baseName(relative), input);
  const int error = errno;
  if (destFd >= 0) {
    close(destFd);
  }
  unlinkat(AT_FDCWD, SCRATCH_SOUND, 0);  // left where the name already held this very file
  errno = error;
  return placed;
}

// Places the copy and then the extra files of a repaired input. False after its report.
bool placeRepairs(const RunSetup& setup, const std::string& relative, const struct stat& input,
                  FileRunResult& result) {
  const int destFd = setup.check ? -1 : openDestinationFolder(setup.outFd, relative);
  if (!setup.check) {
    if (destFd < 0 || !placeFile(SCRATCH_OUTPUT, destFd, baseName(relative), input)) {
      std::perror(g_outputName);
      if (destFd >= 0) {
        close(destFd);
      }
      return false;
    }
    result.outputPlaced = true;
  }
  bool placed = true;
  for (int n = 1; placed; ++n) {
    char extraName[32];
    std::snprintf(extraName, sizeof extraName, "extra%d.mid", n);
    if (setup.check) {
      placed = unlinkat(AT_FDCWD, extraName, 0) == 0;
      continue;
    }
    struct stat extra;
    if (fstatat(AT_FDCWD, extraName, &extra, AT_SYMLINK_NOFOLLOW) != 0) {
      break;
    }
    const std::string destName = baseName(relative) + ".extra" + std::to_string(n) + ".mid";
    placed = placeFile(extraName, destFd, destName, input);
    if (!placed) {
      std::perror(extraNameOf(setup, relative, n).c_str());
    } else {
      result.extrasPlaced = n;
    }
  }
  if (destFd >= 0) {
    close(destFd);
  }
  return setup.check || placed;
}

}  // namespace

std::string outputNameOf(const RunSetup& setup, const std::string& relative) {
  if (setup.check) {
    return "/dev/null";
  }
  return setup.outName + (setup.outName.ends_with('/') ? "" : "/") + relative;
}

std::string extraNameOf(const RunSetup& setup, const std::string& relative, int n) {
  return outputNameOf(setup, relative) + ".extra" + std::to_string(n) + ".mid";
}

void runFile(const FileJob& job, const RunSetup& setup, int scratchFd, FileRunResult& result) {
  applyTestHook(job.path);
  const std::string outputName = outputNameOf(setup, job.relative);
  g_inputName = job.path.c_str();
  g_outputName = outputName.c_str();
  g_tracksOnly = setup.tracksOnly ? 1 : 0;
  g_quiet = 0;

  struct stat input;
  FILE* in = openInput(input, result.size);
  if (in == nullptr) {
    finish(RUN_FAILED);
  }
  bool inMemory = false;
  FILE* out = fchdir(scratchFd) == 0 ? createOutput(setup, in, result.size, inMemory) : nullptr;
  if (out == nullptr) {
    std::perror(g_outputName);
    finish(RUN_FAILED);
  }
  std::setvbuf(in, inputBuffer, _IOFBF, sizeof inputBuffer);
  std::setvbuf(out, outputBuffer, _IOFBF, sizeof outputBuffer);
  errno = 0;
  seqmend_result repaired;
  const int repair = repairOpenFiles(SEQMEND, in, result.size, out, repaired);
  const int engineError = errno;
  const bool crLfHint = repaired.crlf_hint != 0;
  const int keptFd = setup.copySound && repair == REPAIR_UNCHANGED ? dup(fileno(in)) : -1;
  std::fclose(in);
  const bool writeFailed = std::ferror(out) != 0;
  int closeError = 0;
  if (repair == REPAIR_CHANGED && inMemory && !writeFailed &&
      (std::fflush(out) != 0 || !writeOutOfMemory(fileno(out)))) {
    closeError = errno;
  }
  if (std::fclose(out) != 0 && closeError == 0) {
    closeError = errno;
  }
  const bool closeFailed = closeError != 0;
  if (repair != REPAIR_CHANGED && !inMemory && !setup.check) {
    unlinkat(AT_FDCWD, SCRATCH_OUTPUT, 0);
  }
  if (repair == REPAIR_UNCHANGED) {
    if (setup.copySound) {
      if (keptFd < 0 || !placeSoundCopy(setup, job.relative, keptFd, input)) {
        std::perror(g_outputName);
        finish(RUN_FAILED);
      }
      result.outputPlaced = true;
    }
    std::printf("%s is ok.\n", g_inputName);
    finish(RUN_SOUND);
  }
  if (repair == REPAIR_FAILED) {
    finish(RUN_FAILED);
  }
  if (writeFailed || closeFailed) {
    reportError(g_outputName, closeFailed ? closeError : engineError != 0 ? engineError : EIO);
    finish(RUN_FAILED);
  }
  if (!placeRepairs(setup, job.relative, input, result)) {
    finish(RUN_FAILED);
  }
  std::printf("%s contains errors. Fixed output written to %s\n", g_inputName, g_outputName);
  if (crLfHint) {
    std::printf(
        "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n");
  }
  finish(RUN_REPAIRED);
}
