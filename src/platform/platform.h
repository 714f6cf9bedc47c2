// What the programs ask of the operating system: the input opened for reading, files opened for
// writing that can never be a file the run already uses, the identity of a file, and removal.
#pragma once

#include <cstdint>
#include <cstdio>

// Readies the process for one of the programs and gives its arguments in UTF-8, the form every
// name takes inside the programs. On Windows the arguments are read from the UTF-16 command line
// (those main() receives lose every character outside the ANSI code page) and the console shows
// UTF-8 while the program runs; elsewhere argc and argv come back as they are.
const char* const* startProgram(int& argc, char* argv[]);

// Which file a name or stream denotes, whatever the spelling of its name.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool known = false;

  bool operator==(const FileIdentity& other) const {
    return known && other.known && volume == other.volume && index == other.index;
  }
};

// The identity of an open stream; not known when the system cannot tell it.
FileIdentity identityOf(FILE* stream);

// Opens name for binary reading, without waiting should it be a FIFO. Only what can seek is
// taken: a folder fails with EISDIR; a FIFO, socket, terminal or device without positions with
// ESPIPE. Gives the identity and the size in bytes. Returns nullptr with errno set.
FILE* openInputFile(const char* name, FileIdentity& identity, int64_t& size);

// What a file opened for writing may be.
enum class WriteTarget {
  REPAIRED_FILE,  // a regular file, truncated, or a device that seeks, written in place
  REGULAR_FILE,   // a regular file only, truncated
};

// A file this run opened for writing.
struct WrittenFile {
  FILE* stream = nullptr;
  FileIdentity identity;
  bool removable = false;  // a regular file that this run created or truncated
};

// Opens name for binary writing. It is refused before anything is created or truncated, with
// errno set and false: EACCES when it denotes a file open in one of the `guarded` streams (the
// input, the output, standard output or standard error: writing there would destroy what the
// run reads or prints; a device that also takes standard output, like the null device, is no
// such loss), ESPIPE when it is a FIFO, socket or a device that cannot seek back (opening a FIFO
// for writing would wait for a reader), EACCES for anything but a regular file where target
// is REGULAR_FILE. The checks are made on the name and again on what was opened. Nothing is left
// behind on failure: a file this call created is removed again. A name that denotes nothing when
// it is looked at must still denote nothing when it is created, so that what is removed on
// failure is surely the file this call created.
bool openFileForWriting(const char* name, WriteTarget target, FILE* const* guarded,
                        int guardedCount, WrittenFile& file);

// Removes name when this run created or truncated it and the name still denotes that file.
// False, with errno set, when that file is still there: it could not be removed, or the system
// could not tell what the name denotes. Reporting that is the caller's part.
bool removeWrittenFile(const char* name, const WrittenFile& file);

// Whether every offset in the file fits in a long, the type of the engine's offsets. Where long
// has 32 bits (Windows), positions from 2 GiB on can neither be told nor sought, so a file that
// grew that far has had its lengths patched in the wrong places.
bool offsetsFitLong(FILE* stream);
