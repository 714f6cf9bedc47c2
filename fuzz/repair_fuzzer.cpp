// Fuzz target: the whole engine on arbitrary bytes, then once more on the file it wrote; eolmend on
// the same bytes and, where it finds them sound, on both kinds of text-mode damage done to them.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "line_ends.h"
#include "stream_failure.h"

namespace {

// A temporary stream holding bytes, positioned at its start.
FILE* streamOf(const uint8_t* data, size_t size) {
  FILE* stream = std::tmpfile();
  if (stream == nullptr) {
    std::abort();
  }
  if (size > 0 && std::fwrite(data, 1, size, stream) != size) {
    std::abort();
  }
  std::rewind(stream);
  return stream;
}

// Every byte of a stream.
size_t contents(FILE* stream, uint8_t** bytes) {
  std::fflush(stream);
  std::fseek(stream, 0, SEEK_END);
  const long size = std::ftell(stream);
  std::rewind(stream);
  *bytes = static_cast<uint8_t*>(std::malloc(size_t(size) + 1));
  const size_t got = std::fread(*bytes, 1, size_t(size), stream);
  if (got != size_t(size)) {
    std::abort();
  }
  return got;
}

// One engine run. Every read of the engine stays within landmarks it found in the input, so on a
// regular file that reads without error a fatal stream error is a fault: the tool would end
// without a verdict and leave a cut output behind.
int repair(FILE* out, FILE* in) {
  try {
    return repairMidiFile(g_inputName, out, in);
  } catch (const StreamFailure&) {
    std::fprintf(stderr, "fatal stream error on a readable input\n");
    std::abort();
  }
}

// Extra files land in the private working folder; each run starts with it empty.
void removeExtraFiles() {
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    std::abort();
  }
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      unlink(entry->d_name);
    }
  }
  closedir(dir);
}

// Every extra file must be an unchanged copy of bytes of the input.
void checkExtraFiles(const uint8_t* data, size_t size) {
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    std::abort();
  }
  while (const dirent* entry = readdir(dir)) {
    FILE* extra =
        std::strncmp(entry->d_name, "extra", 5) == 0 ? std::fopen(entry->d_name, "rb") : nullptr;
    if (extra == nullptr) {
      continue;
    }
    uint8_t* copy = nullptr;
    const size_t length = contents(extra, &copy);
    std::fclose(extra);
    if (length == 0 || memmem(data, size, copy, length) == nullptr) {
      std::fprintf(stderr, "%s is no copy of bytes of the input\n", entry->d_name);
      std::abort();
    }
    std::free(copy);
  }
  closedir(dir);
}

// An unchanged run must have written a plain copy of MIDI data that begins at the input's start.
void checkUnchangedCopy(const uint8_t* data, size_t size, FILE* out) {
  uint8_t* written = nullptr;
  const size_t length = contents(out, &written);
  if (length > size || (length > 0 && std::memcmp(written, data, length) != 0)) {
    std::fprintf(stderr, "result 0 but the output is no copy of the input\n");
    std::abort();
  }
  std::free(written);
}

// One run of eolmend: its input stays as it was, and its output holds the restored file after a
// restoration and nothing otherwise. Returns its result.
int restore(const uint8_t* data, size_t size) {
  FILE* in = streamOf(data, size);
  FILE* out = std::tmpfile();
  int result = REPAIR_FAILED;
  try {
    result = restoreLineEnds(g_inputName, out, in);
  } catch (const StreamFailure&) {
    std::fprintf(stderr, "eolmend: fatal stream error on a readable input\n");
    std::abort();
  }
  uint8_t* bytes = nullptr;
  if (contents(in, &bytes) != size || (size > 0 && std::memcmp(bytes, data, size) != 0)) {
    std::fprintf(stderr, "eolmend changed its input\n");
    std::abort();
  }
  std::free(bytes);
  if ((contents(out, &bytes) > 0) != (result == REPAIR_CHANGED)) {
    std::fprintf(stderr, "eolmend result %d does not match what it wrote\n", result);
    std::abort();
  }
  std::free(bytes);
  std::fclose(in);
  std::fclose(out);
  return result;
}

// eolmend never restores a file that seqmend finds sound: nothing a text-mode transfer does
// leaves one. A file it finds sound itself drives its restorations once damaged either way.
void checkEolmend(const uint8_t* data, size_t size, int seqmendResult) {
  const int result = restore(data, size);
  if (seqmendResult == REPAIR_UNCHANGED && result == REPAIR_CHANGED) {
    std::fprintf(stderr, "eolmend restored a file that seqmend finds sound\n");
    std::abort();
  }
  if (result != REPAIR_UNCHANGED) {
    return;
  }
  for (const bool crLfBecameLf : {false, true}) {
    std::vector<uint8_t> damaged;
    for (size_t i = 0; i < size; ++i) {
      const bool crBeforeLf = data[i] == 0x0D && i + 1 < size && data[i + 1] == 0x0A;
      if (data[i] == 0x0A && !crLfBecameLf) {
        damaged.push_back(0x0D);
      }
      if (!crBeforeLf || !crLfBecameLf) {
        damaged.push_back(data[i]);
      }
    }
    restore(damaged.data(), damaged.size());
  }
}

// The fuzzer reads its flags after LLVMFuzzerInitialize, relative to the current folder, which
// the harness changes: corpus folders, files and the places of findings are made absolute first,
// and findings go to the folder the fuzzer was started in unless told otherwise.
void makePathsAbsolute(int* argc, char*** argv) {
  static std::vector<std::string> words;
  static std::vector<char*> pointers;
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) {
    std::abort();
  }
  const std::string base = std::string(cwd) + "/";
  std::free(cwd);
  bool prefixGiven = false;
  words.assign(*argv, *argv + *argc);
  for (size_t i = 1; i < words.size(); ++i) {
    std::string& word = words[i];
    size_t pathStart = 0;
    if (word.starts_with("-")) {
      pathStart = std::string::npos;
      for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
        if (word.starts_with(flag)) {
          pathStart = std::strlen(flag);
          prefixGiven = prefixGiven || word.starts_with("-artifact_prefix=");
        }
      }
    }
    if (pathStart != std::string::npos && pathStart < word.size() && word[pathStart] != '/') {
      word.insert(pathStart, base);
    }
  }
  if (!prefixGiven) {
    words.push_back("-artifact_prefix=" + base);
  }
  for (std::string& word : words) {
    pointers.push_back(word.data());
  }
  pointers.push_back(nullptr);
  *argc = int(words.size());
  *argv = pointers.data();
}

// Under TMPDIR when it is set, so that a script can remove what a killed or crashed run leaves.
std::string g_workFolder;

void removeWorkFolder() {
  removeExtraFiles();
  rmdir(g_workFolder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  makePathsAbsolute(argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  g_workFolder =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/seqmend-fuzz-XXXXXX";
  if (mkdtemp(g_workFolder.data()) == nullptr || chdir(g_workFolder.c_str()) != 0) {
    std::perror(g_workFolder.c_str());
    std::abort();
  }
  std::atexit(removeWorkFolder);
  // The repair messages would cost more time than the repair.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::abort();
  }
  g_inputName = "fuzz.mid";
  g_outputName = "fuzz-out.mid";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* in = streamOf(data, size);
  FILE* out = std::tmpfile();
  const int result = repair(out, in);
  if (result == REPAIR_UNCHANGED) {
    checkUnchangedCopy(data, size, out);
  }
  checkExtraFiles(data, size);
  removeExtraFiles();
  std::fclose(in);
  checkEolmend(data, size, result);

  if (result != REPAIR_FAILED) {
    uint8_t* repaired = nullptr;
    const size_t length = contents(out, &repaired);
    FILE* again = streamOf(repaired, length);
    FILE* out2 = std::tmpfile();
    // The repaired file begins with a header chunk, so it can always be treated.
    if (repair(out2, again) == REPAIR_FAILED) {
      std::fprintf(stderr, "the repaired file could not be treated\n");
      std::abort();
    }
    removeExtraFiles();
    std::fclose(out2);
    std::fclose(again);
    std::free(repaired);
  }
  std::fclose(out);
  return 0;
}
