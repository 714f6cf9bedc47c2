// What the batch asks of the file system, per system (files_posix.cpp, files_windows.cpp):
// reads and writes at offsets, the scratch folder inside DIR where copies are made, and the
// placing of a finished copy under DIR by a rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The same for every file of a batch.
struct RunSetup {
  bool check = false;  // nothing is written anywhere
  bool tracksOnly = false;
  bool normalize = false;
  bool copySound = false;
  std::string outName;     // DIR as given, without a trailing slash; empty with check
  int outFd = -1;          // DIR, open, where the system has folders to open; else -1
  std::string scratchDir;  // the scratch folder inside DIR; empty with check
  int scratchFd = -1;      // the scratch folder, open, where the system has folders to open
};

// Opens the input for reading as seqmend does, without waiting should it be a FIFO: a folder
// fails with EISDIR, what cannot seek (a FIFO, socket, terminal) with ESPIPE. Gives the size.
// -1 with errno set.
int openInput(const std::string& path, int64_t& size);

// Reads up to size bytes at offset; fewer only at the end of the file. 0 or the system's error
// number. `fd` is used by one thread at a time.
int readAt(int fd, uint64_t offset, void* buffer, size_t size, size_t* got);
int writeAt(int fd, uint64_t offset, const void* bytes, size_t size);
// 0 or the system's error number.
int closeFile(int fd);

// Creates (or empties) DIR's scratch folder and opens it; false with errno set.
bool makeScratchFolder(RunSetup& setup);
// Removes the scratch folder with whatever a crashed run left in it.
void removeScratchFolder(RunSetup& setup);

// A new file in the scratch folder, open for writing; -1 with errno set.
int createScratch(const RunSetup& setup, const std::string& name);
void removeScratch(const RunSetup& setup, const std::string& name);

// Gives the open input a name in the scratch folder: a hard link to the very file that was
// checked. 0 or the system's error number, for a file system that has no such links too.
int linkInput(const RunSetup& setup, const std::string& inputPath, int inputFd,
              const std::string& name);

// Moves a finished file from the scratch folder to `destName` in the folder that holds
// `relative` below DIR, creating the folders that are missing, replacing what was there, but
// never the input itself (reached through a link from the tree). 0 or the system's error
// number.
int placeScratch(const RunSetup& setup, const std::string& name, const std::string& relative,
                 const std::string& destName, int inputFd);

// ---- The rest of what the batch asks of the system ----

constexpr int STANDARD_OUTPUT = 1;
constexpr int STANDARD_ERROR = 2;

bool isTerminal(int fd);
// Readies standard output for the report: bytes as they are, LF without CR on every system.
void reportToStandardOutput();
// Writes some of the bytes; the count, or -1 with errno set.
long writeSome(int fd, const void* bytes, size_t size);
// The report, opened to be written anew, or with `resume` to be read and appended to (in
// binary on every system: JSON Lines end with LF). -1 with errno set.
int openReport(const std::string& name, bool resume);
// 0 or the system's error number.
int truncateFile(int fd, uint64_t size);
// Opens DIR for placeScratch where the system has folders to open: -1 with errno set; elsewhere
// it only checks that DIR is a folder.
bool openOutFolder(RunSetup& setup);
// Stop signals call `stop` with their number; the limit of open files is raised to what --jobs
// may need.
void prepareProcess(void (*stop)(int));
// The number of processors this process may run on, at least 1.
int processorCount();
