// The treatment of one file over the library: the input read into memory (or streamed when
// large), repaired with the worker's own context, the copy and the extra files written under
// temporary names in the scratch folder and renamed into place under DIR.
#pragma once

#include <string>
#include <vector>

#include "files.h"
#include "report.h"
#include "seqmend.h"

// What a worker is given: the file, and where its results go below DIR.
struct FileJob {
  std::string path;      // the input's name in every line, as seqmend would be given it
  std::string relative;  // the copy's path below DIR
};

// Inputs larger than this are streamed through the library, in a few fixed buffers, rather
// than read into memory whole.
constexpr long long MEMORY_INPUT_LIMIT = 64LL << 20;

// The name of a file's copy in its verdict line and in the report: DIR/relative, or /dev/null
// with check, where seqmend would give the same lines with /dev/null as its output.
std::string outputNameOf(const RunSetup& setup, const std::string& relative);

// Where the n-th extra MIDI file found behind a file goes: beside its copy, as NAME.extraN.mid.
std::string extraNameOf(const RunSetup& setup, const std::string& relative, int n);

// One thread's (or one process's) means of treating files one after another.
class Worker {
 public:
  // `tag` makes the worker's names in the scratch folder its own.
  explicit Worker(std::string tag);
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Treats one file and says what became of it; never throws, never ends the process.
  // SEQMEND_BATCH_TEST_HOOK, read here, lets tests make the treatment of a named file crash
  // ("crash:NAME"), hang ("hang:NAME") or wait first ("delay:MILLISECONDS").
  FileRecord treat(const FileJob& job, const RunSetup& setup);

  // The scratch name of the copy, or of the n-th extra file (n > 0).
  std::string scratchName(int n = 0) const;

 private:
  std::string tag_;
  seqmend_context* context_;
  std::vector<unsigned char> data_;
};
