// Options, file names, the opening and closing of the two files, the findings and the verdict
// of one run.
#include "run_driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"

const char* g_inputName = nullptr;
const char* g_outputName = nullptr;
int g_tracksOnly = 0;
int g_normalize = 0;
int g_quiet = 0;

namespace {

// Inputs of 2 GiB or more are refused: offsets in a MIDI file are signed 32-bit.
constexpr int64_t MAX_INPUT_SIZE = 0x7FFFFFFF;

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Names are compared as the user may type them on a case-insensitive disk: only the ASCII
// letters fold, whatever the locale.
bool sameName(const char* a, const char* b) {
  for (; *a != '\0' && foldAscii(*a) == foldAscii(*b); ++a, ++b) {
  }
  return foldAscii(*a) == foldAscii(*b);
}

int seekFile(FILE* stream, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(stream, int64_t(offset), SEEK_SET);
#else
  return fseeko(stream, off_t(offset), SEEK_SET);
#endif
}

int errorOr(int fallback) { return errno != 0 ? errno : fallback; }

// A stream read and written at offsets, as the library asks; the position is kept, so that a run
// in order needs no seek.
struct FileAt {
  FILE* stream = nullptr;
  uint64_t position = 0;
  int error = 0;  // of the first write that failed

  bool moveTo(uint64_t offset) {
    if (offset != position && seekFile(stream, offset) != 0) {
      return false;
    }
    position = offset;
    return true;
  }
};

int readAt(void* context, uint64_t offset, void* buffer, size_t size, size_t* got) {
  auto* file = static_cast<FileAt*>(context);
  *got = 0;
  errno = 0;
  if (!file->moveTo(offset)) {
    return errorOr(EIO);
  }
  *got = std::fread(buffer, 1, size, file->stream);
  file->position += *got;
  if (*got < size) {
    const bool failed = std::ferror(file->stream) != 0;
    std::clearerr(file->stream);
    if (failed) {
      return errorOr(EIO);
    }
  }
  return 0;
}

// A failed write is kept, not returned: whether it matters is known only from the verdict. A
// sound input needs no output, so an output that cannot be written (a full device) does not fail
// its check; a repaired one fails with the error after all its findings.
int writeAt(void* context, uint64_t offset, const void* bytes, size_t size) {
  auto* file = static_cast<FileAt*>(context);
  errno = 0;
  if (file->error == 0 &&
      (!file->moveTo(offset) || std::fwrite(bytes, 1, size, file->stream) != size)) {
    file->error = errorOr(EIO);
  }
  file->position = offset + size;
  return 0;
}

// The streams of one run, for the library's callbacks.
struct RunFiles {
  FileAt input;
  FileAt output;
};

// Prints a finding as its line, on standard output.
void printFinding(void*, const seqmend_finding* finding) {
  char line[512];
  const size_t length = seqmend_render(finding, g_inputName, line, sizeof line);
  if (length < sizeof line) {
    std::fwrite(line, 1, length, stdout);
    return;
  }
  std::string whole(length + 1, '\0');
  seqmend_render(finding, g_inputName, whole.data(), whole.size());
  std::fwrite(whole.data(), 1, length, stdout);
}

// Closes a file written by the run; false (errno set) when it could not be written whole.
bool closeWrittenFile(FILE* file) {
  bool whole = std::fflush(file) == 0 && !std::ferror(file);
  int saved = errno;
  if (std::fclose(file) != 0) {
    whole = false;
    saved = errno;
  }
  errno = saved != 0 ? saved : EIO;
  return whole;
}

// Writes a further MIDI file found behind the data to "extra%d.mid": never the input, the output
// or a file that takes what the run prints, nor a device. An incomplete copy must not pass for
// the embedded file, so it is removed again; one that stays is reported. Returns 0 or the error
// number, after its report.
int writeExtraFile(void* context, int number, uint64_t offset, uint64_t size) {
  auto* files = static_cast<RunFiles*>(context);
  char name[24];
  std::snprintf(name, sizeof name, "extra%d.mid", number);
  FILE* const guarded[] = {files->input.stream, files->output.stream, stdout, stderr};
  WrittenFile extra;
  if (!openFileForWriting(name, WriteTarget::REGULAR_FILE, guarded, 4, extra)) {
    const int error = errorOr(EIO);
    std::perror(name);
    return error;
  }
  std::vector<char> block(65536);
  const char* failedName = name;
  bool whole = true;
  for (uint64_t done = 0; done < size && whole;) {
    const size_t want = size - done < block.size() ? size_t(size - done) : block.size();
    size_t got = 0;
    const int error = readAt(&files->input, offset + done, block.data(), want, &got);
    if (error != 0 || got < want) {
      // The input failed or shrank under the run.
      errno = error != 0 ? error : EIO;
      failedName = g_inputName;
      whole = false;
    } else if (std::fwrite(block.data(), 1, got, extra.stream) != got) {
      whole = false;
    }
    done += got;
  }
  if (!whole) {
    const int error = errorOr(EIO);
    std::fclose(extra.stream);
    errno = error;
  } else if (!closeWrittenFile(extra.stream)) {
    whole = false;
  }
  if (whole) {
    return 0;
  }
  const int error = errorOr(EIO);
  std::perror(failedName);
  if (!removeWrittenFile(name, extra)) {
    std::perror(name);
  }
  return error;
}

// Opens the input read-only, so that no path through the program can truncate it. The library
// reads it at offsets, so only something that can seek is taken. Returns nullptr after its
// report.
FILE* openInput(FileIdentity& identity, int64_t& size) {
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

// The report of the failure that ended a repair, under the name of the file that failed. A
// refused extra file has been reported where it was written.
void reportFailure(const seqmend_result& result) {
  switch (result.failed_stream) {
    case SEQMEND_STREAM_INPUT:
      if (result.error == 0) {
        std::fprintf(stderr, "%s: unexpected end of file\n", g_inputName);
        return;
      }
      errno = result.error;
      std::perror(g_inputName);
      return;
    case SEQMEND_STREAM_OUTPUT:
      errno = result.error;
      std::perror(g_outputName);
      return;
    case SEQMEND_STREAM_MEMORY:
      errno = ENOMEM;
      std::perror(g_inputName);
      return;
    default:
      return;
  }
}

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
    if (program.takesRepairOptions && std::strncmp(*arg, "-t", 2) == 0) {
      g_tracksOnly = 1;
    } else if (program.takesRepairOptions && std::strncmp(*arg, "-n", 2) == 0) {
      g_normalize = 1;
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

int repairOpenFiles(const Program& program, FILE* in, int64_t inputSize, FILE* out,
                    seqmend_result& result) {
  result = {};
  seqmend_context* context = seqmend_context_new();
  if (context == nullptr) {
    result.verdict = SEQMEND_FAILED;
    result.failed_stream = SEQMEND_STREAM_MEMORY;
  } else {
    RunFiles files = {{in, 0, 0}, {out, 0, 0}};
    const seqmend_reader reader = {&files.input, uint64_t(inputSize), readAt};
    const seqmend_writer writer = {&files.output, writeAt};
    const unsigned flags = (g_tracksOnly != 0 ? SEQMEND_TRACKS_ONLY : 0u) |
                           (g_normalize != 0 ? SEQMEND_NORMALIZE : 0u);
    const seqmend_options options = {flags, printFinding, writeExtraFile, &files};
    program.repair(context, &options, &reader, &writer, &result);
    seqmend_context_free(context);
    if (result.verdict == SEQMEND_REPAIRED && files.output.error != 0) {
      result.verdict = SEQMEND_FAILED;
      result.failed_stream = SEQMEND_STREAM_OUTPUT;
      result.error = files.output.error;
    }
  }
  if (result.verdict == SEQMEND_FAILED) {
    reportFailure(result);
  }
  return result.verdict;
}

int runProgramRepair(const Program& program) {
  FileIdentity inputIdentity;
  int64_t inputSize = 0;
  FILE* in = openInput(inputIdentity, inputSize);
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
  // The library reads and writes in blocks of its own; a stream buffer would only copy them.
  std::setvbuf(in, nullptr, _IONBF, 0);
  std::setvbuf(output.stream, nullptr, _IONBF, 0);
  seqmend_result result = {};
  repairOpenFiles(program, in, inputSize, output.stream, result);
  std::fclose(in);
  // Where long has 32 bits, a repaired file that grew to 2 GiB had its lengths patched in the
  // wrong places.
  const bool tooLarge = !offsetsFitLong(output.stream);
  const bool closeFailed = !closeWrittenFile(output.stream);
  if (result.verdict == SEQMEND_SOUND) {
    const bool removed = removeOutput(output);
    if (!g_quiet) {
      std::printf("%s is ok.\n", g_inputName);
    }
    return removed ? 0 : 1;
  }
  if (result.verdict == SEQMEND_FAILED) {
    removeOutput(output);
    return 1;
  }
  if (closeFailed || tooLarge) {
    if (tooLarge) {
      errno = EFBIG;
    }
    std::perror(g_outputName);
    removeOutput(output);
    return 1;
  }
  std::printf("%s contains errors. Fixed output written to %s\n", g_inputName, g_outputName);
  if (program.hintsAtLineEnds && result.crlf_hint) {
    std::printf(
        "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n");
  }
  return 0;
}
