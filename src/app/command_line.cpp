// Options, file names, the opening and closing of the two files and the verdict of one run.
#include "command_line.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char VERSION_BANNER[] = "seqmend v1.15 (" SEQMEND_BUILD_DATE ")";

void printUsage() {
  std::printf(
      "This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command line.\n");
  std::printf("seqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\n");
  std::printf("usage: seqmend [-tracksonly] filename.mid [result.mid]\n");
  std::printf("-tracksonly\tcheck and repair only track headers\n");
  std::printf("if output filename is not given and changes are necessary then\n");
  std::printf("output will be written to seqmend.mid\n");
}

// The system error report for `name` with the text of `error`.
void reportError(const char* name, int error) {
  errno = error;
  std::perror(name);
}

// Names are compared as the user may type them on a case-insensitive disk. The program never
// sets a locale, so only the ASCII letters fold.
bool sameName(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Clears O_NONBLOCK, which was only there so that open itself cannot wait, and wraps fd in a
// stream. On failure fd is closed and errno tells why.
FILE* streamFor(int fd, const char* mode) {
  const int flags = fcntl(fd, F_GETFL);
  FILE* stream = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    stream = fdopen(fd, mode);
  }
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

// Opens the input read-only, so that no path through the program can truncate it, and without
// waiting for a writer should it be a FIFO. The engine measures the input and searches ahead in
// it, so only something that can seek is taken. Inputs of 2 GiB or more are refused: offsets in
// a MIDI file are signed 32-bit. Returns nullptr after its report; `identity` is the input's.
FILE* openInput(struct stat& identity) {
  const int fd = open(g_inputName, O_RDONLY | O_NONBLOCK);
  if (fd < 0) {
    std::perror(g_inputName);
    return nullptr;
  }
  int error = 0;
  off_t size = 0;
  if (fstat(fd, &identity) != 0) {
    error = errno;
  } else if (S_ISDIR(identity.st_mode)) {
    error = EISDIR;
  } else if (S_ISFIFO(identity.st_mode) || S_ISSOCK(identity.st_mode)) {
    error = ESPIPE;
  } else if ((size = lseek(fd, 0, SEEK_END)) < 0 || lseek(fd, 0, SEEK_SET) != 0) {
    error = ESPIPE;  // a terminal, or a device without positions
  }
  if (error != 0) {
    close(fd);
    reportError(g_inputName, error);
    return nullptr;
  }
  if (size > MAX_INPUT_SIZE) {
    close(fd);
    std::printf("%s: file too large\n", g_inputName);
    return nullptr;
  }
  FILE* in = streamFor(fd, "rb");
  if (in == nullptr) {
    std::perror(g_inputName);
  }
  return in;
}

// The output as this run holds it.
struct OutputFile {
  FILE* stream = nullptr;
  struct stat identity = {};
  bool removable = false;  // a regular file that this run created or truncated
};

// Removes the output when this run created or truncated it as a regular file, and only while
// its name still denotes that file. A failure to remove is not reported; the file then stays.
void removeOutput(const OutputFile& output) {
  struct stat now;
  if (output.removable && stat(g_outputName, &now) == 0 && sameFile(now, output.identity)) {
    std::remove(g_outputName);
  }
}

// Creates or truncates the output, but never the input under another name (same device and
// inode, checked before anything is created and again on the open file), and never something
// that cannot seek back for the length patches: a FIFO or socket is refused without being opened
// (opening a FIFO for writing waits for a reader), a device must seek. A device is written in
// place, never truncated. Returns false after its report.
bool openOutput(const struct stat& input, OutputFile& output) {
  struct stat before;
  const bool existed = stat(g_outputName, &before) == 0;
  if (existed && sameFile(before, input)) {
    reportError(g_outputName, EACCES);
    return false;
  }
  if (existed && (S_ISFIFO(before.st_mode) || S_ISSOCK(before.st_mode))) {
    reportError(g_outputName, ESPIPE);
    return false;
  }
  // No O_TRUNC here: the file is truncated only once it is known not to be the input.
  const int fd = open(g_outputName, O_WRONLY | O_CREAT | O_NONBLOCK, 0666);
  if (fd < 0) {
    std::perror(g_outputName);
    return false;
  }
  int error = 0;
  if (fstat(fd, &output.identity) != 0) {
    error = errno;
  } else if (sameFile(output.identity, input)) {
    error = EACCES;  // the name was switched to the input since it was looked at
  } else if (S_ISREG(output.identity.st_mode)) {
    if (ftruncate(fd, 0) != 0) {
      error = errno;
    }
    output.removable = error == 0 || !existed;
  } else if (S_ISFIFO(output.identity.st_mode) || S_ISSOCK(output.identity.st_mode) ||
             lseek(fd, 0, SEEK_SET) != 0) {
    error = ESPIPE;
  }
  if (error == 0) {
    output.stream = streamFor(fd, "wb");
    if (output.stream == nullptr) {
      error = errno;
    }
  } else {
    close(fd);
  }
  if (error != 0) {
    removeOutput(output);
    reportError(g_outputName, error);
    return false;
  }
  return true;
}

// Stream buffers much larger than the default: a system call costs microseconds, and a run reads
// the input several times and writes all of it. Their size is fixed, whatever the input's.
constexpr size_t STREAM_BUFFER_SIZE = 256 * 1024;
char inputBuffer[STREAM_BUFFER_SIZE];
char outputBuffer[STREAM_BUFFER_SIZE];

}  // namespace

void printVersionBanner() { std::printf("%s\n", VERSION_BANNER); }

int handleCommandLine(int argc, const char* const argv[]) {
  int remaining = argc - 1;
  const char* const* arg = argv + 1;
  for (; remaining > 0 && (*arg)[0] == '-'; ++arg, --remaining) {
    // Only the first two characters name an option: -t, -tracks and -txyz all select tracks-only.
    if (std::strncmp(*arg, "-t", 2) == 0) {
      g_tracksOnly = 1;
    } else if (std::strncmp(*arg, "-v", 2) == 0) {
      printVersionBanner();
    } else if (std::strncmp(*arg, "-q", 2) == 0) {
      g_quiet = 1;
    } else {
      std::fprintf(stderr, "Invalid option %s.\n", *arg);
    }
  }
  if (remaining == 0) {
    printUsage();
    return 1;
  }
  g_inputName = arg[0];
  g_outputName = remaining > 1 ? arg[1] : DEFAULT_OUTPUT_NAME;
  if (sameName(g_inputName, g_outputName)) {
    if (sameName(g_inputName, DEFAULT_OUTPUT_NAME)) {
      std::printf("Cannot write to %s. Must specify alternate outputname!\n", DEFAULT_OUTPUT_NAME);
      return 1;
    }
    std::printf("Cannot change input file. Write output to %s!\n", DEFAULT_OUTPUT_NAME);
    g_outputName = DEFAULT_OUTPUT_NAME;
  }
  return runRepair();
}

int runRepair() {
  struct stat inputIdentity;
  FILE* in = openInput(inputIdentity);
  if (in == nullptr) {
    return 1;
  }
  OutputFile output;
  if (!openOutput(inputIdentity, output)) {
    std::fclose(in);
    return 1;
  }
  std::setvbuf(in, inputBuffer, _IOFBF, sizeof inputBuffer);
  std::setvbuf(output.stream, outputBuffer, _IOFBF, sizeof outputBuffer);
  errno = 0;
  const int result = repairMidiFile(g_inputName, output.stream, in);
  // A write that failed while a seek flushed the output is seen only in its error indicator;
  // its reason is the last error the engine met.
  const int engineError = errno;
  bool crLfHint = false;
  if (result != REPAIR_UNCHANGED) {
    // A CR LF pair anywhere but at the very start hints at a file that went through a text-mode
    // transfer, which no structural repair can undo.
    std::fseek(in, 0, SEEK_SET);
    crLfHint = findPattern(in, CR_LF, 2) > 0;
  }
  std::fclose(in);
  // A clean fclose alone does not prove that the whole file was written.
  const bool writeFailed = std::ferror(output.stream) != 0;
  const bool closeFailed = std::fclose(output.stream) != 0;
  if (result == REPAIR_UNCHANGED) {
    removeOutput(output);
    if (!g_quiet) {
      std::printf("%s is ok.\n", g_inputName);
    }
    return 0;
  }
  if (result == REPAIR_FAILED) {
    removeOutput(output);
    return 1;
  }
  if (writeFailed || closeFailed) {
    if (!closeFailed) {
      errno = engineError != 0 ? engineError : EIO;
    }
    std::perror(g_outputName);
    removeOutput(output);
    return 1;
  }
  std::printf("%s contains errors. Fixed output written to %s\n", g_inputName, g_outputName);
  if (crLfHint) {
    std::printf(
        "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n");
  }
  return 0;
}
