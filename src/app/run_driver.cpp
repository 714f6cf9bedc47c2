// Options, file names, the opening and closing of the two files and the verdict of one run.
#include "run_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace {

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Names are compared as the user may type them on a case-insensitive disk: only the ASCII
// letters fold, whatever the locale.
bool sameName(const char* a, const char* b) {
  for (; *a != '\0' && foldAscii(*a) == foldAscii(*b); ++a, ++b) {
  }
  return foldAscii(*a) == foldAscii(*b);
}

// Opens the input read-only, so that no path through the program can truncate it. The engine
// measures the input and searches ahead in it, so only something that can seek is taken. Inputs
// of 2 GiB or more are refused: offsets in a MIDI file are signed 32-bit. Returns nullptr after
// its report.
FILE* openInput(FileIdentity& identity) {
  int64_t size = 0;
  FILE* in = openInputFile(g_inputName, identity, size);
  if (in == nullptr) {
    std::perror(g_inputName);
    return nullptr;
  }
  if (size > MAX_INPUT_SIZE) {
    std::fclose(in);
    std::printf("%s: file too large\n", g_inputName);
    return nullptr;
  }
  return in;
}

// Removes the output of a run that leaves none. False after the report that it is still there:
// a run that promised no output and left one behind has not done what it says.
bool removeOutput(const WrittenFile& output) {
  if (removeWrittenFile(g_outputName, output)) {
    return true;
  }
  std::perror(g_outputName);
  return false;
}

// Stream buffers much larger than the default: a system call costs microseconds, and a run reads
// the input several times and writes all of it. Their size is fixed, whatever the input's.
constexpr size_t STREAM_BUFFER_SIZE = 256 * 1024;
char inputBuffer[STREAM_BUFFER_SIZE];
char outputBuffer[STREAM_BUFFER_SIZE];

}  // namespace

int runProgram(const Program& program, int argc, const char* const argv[]) {
  if (argc == 1) {
    std::printf("%s\n", program.versionBanner);
  }
  return handleProgramCommandLine(program, argc, argv);
}

int handleProgramCommandLine(const Program& program, int argc, const char* const argv[]) {
  int remaining = argc - 1;
  const char* const* arg = argv + 1;
  for (; remaining > 0 && (*arg)[0] == '-'; ++arg, --remaining) {
    // Only the first two characters name an option: -t, -tracks and -txyz all select tracks-only.
    if (program.takesTracksOnly && std::strncmp(*arg, "-t", 2) == 0) {
      g_tracksOnly = 1;
    } else if (std::strncmp(*arg, "-v", 2) == 0) {
      std::printf("%s\n", program.versionBanner);
    } else if (std::strncmp(*arg, "-q", 2) == 0) {
      g_quiet = 1;
    } else {
      std::fprintf(stderr, "Invalid option %s.\n", *arg);
    }
  }
  if (remaining == 0) {
    program.printUsage();
    return 1;
  }
  const char* const defaultName = program.defaultOutputName;
  g_inputName = arg[0];
  g_outputName = remaining > 1 ? arg[1] : defaultName;
  if (sameName(g_inputName, g_outputName)) {
    if (sameName(g_inputName, defaultName)) {
      std::printf("Cannot write to %s. Must specify alternate outputname!\n", defaultName);
      return 1;
    }
    std::printf("Cannot change input file. Write output to %s!\n", defaultName);
    g_outputName = defaultName;
  }
  return runProgramRepair(program);
}

int runProgramRepair(const Program& program) {
  FileIdentity inputIdentity;
  FILE* in = openInput(inputIdentity);
  if (in == nullptr) {
    return 1;
  }
  // Never the input under another name, and never a file that takes what this run prints.
  FILE* const guarded[] = {in, stdout, stderr};
  WrittenFile output;
  if (!openFileForWriting(g_outputName, WriteTarget::REPAIRED_FILE, guarded, 3, output)) {
    std::perror(g_outputName);
    std::fclose(in);
    return 1;
  }
  std::setvbuf(in, inputBuffer, _IOFBF, sizeof inputBuffer);
  std::setvbuf(output.stream, outputBuffer, _IOFBF, sizeof outputBuffer);
  errno = 0;
  const int result = program.repair(g_inputName, output.stream, in);
  // A write that failed while a seek flushed the output is seen only in its error indicator;
  // its reason is the last error the engine met.
  const int engineError = errno;
  bool lineEndHint = false;
  if (program.hintsAtLineEnds && result != REPAIR_UNCHANGED) {
    // A CR LF pair anywhere but at the very start hints at a file that went through a text-mode
    // transfer, which no structural repair can undo.
    seekInput(in, 0);
    lineEndHint = findPattern(in, CR_LF, 2) > 0;
  }
  std::fclose(in);
  // A clean fclose alone does not prove that the whole file was written.
  const bool writeFailed = std::ferror(output.stream) != 0;
  // Where long has 32 bits, a repaired file that grew to 2 GiB had its lengths patched in the
  // wrong places.
  const bool tooLarge = !offsetsFitLong(output.stream);
  const bool closeFailed = std::fclose(output.stream) != 0;
  if (result == REPAIR_UNCHANGED) {
    const bool removed = removeOutput(output);
    if (!g_quiet) {
      std::printf("%s is ok.\n", g_inputName);
    }
    return removed ? 0 : 1;
  }
  if (result == REPAIR_FAILED) {
    removeOutput(output);
    return 1;
  }
  if (writeFailed || closeFailed || tooLarge) {
    if (!closeFailed) {
      errno = tooLarge ? EFBIG : engineError != 0 ? engineError : EIO;
    }
    std::perror(g_outputName);
    removeOutput(output);
    return 1;
  }
  std::printf("%s contains errors. Fixed output written to %s\n", g_inputName, g_outputName);
  if (lineEndHint) {
    std::printf(
        "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n");
  }
  return 0;
}
