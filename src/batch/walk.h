// The walk over the PATHs: one entry at a time, in constant memory per folder level, never into
// a folder through a symbolic link (walk.cpp on POSIX systems, walk_windows.cpp on Windows).
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include <filesystem>
#else
#include <dirent.h>
#endif

struct WalkEntry {
  enum class Kind {
    File,        // a regular file, or a symbolic link to one: a run judges it
    NotRegular,  // a FIFO, socket or device, or a link to one: never opened
    Error,       // cannot be looked at or, for a folder, read; `error` says why
  };
  std::string path;      // as the runs get it: the PATH, then the path below it
  std::string relative;  // below the PATH; for a PATH that is not a folder, its name
  Kind kind = Kind::File;
  int error = 0;
};

// Whether a name ends in .mid, .midi, .kar, .rmi or .smf, in any letter case.
bool isMidiName(const std::string& name);

class Walk {
 public:
  // A PATH is taken whatever its name; below a folder, only MIDI names unless allFiles.
  Walk(const std::vector<std::string>& roots, bool allFiles);
  ~Walk();
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // The next entry, in the order of the PATHs and of each folder's listing; false at the end.
  bool next(WalkEntry& entry);

 private:
  struct Level {
#ifdef _WIN32
    std::filesystem::directory_iterator dir;
#else
    DIR* dir;
#endif
    size_t pathLength;  // of the folder's path in path_
  };
  bool startRoot(WalkEntry& entry);

  const std::vector<std::string>& roots_;
  bool allFiles_;
  size_t nextRoot_ = 0;
  size_t rootLength_ = 0;  // where the path below the PATH begins in path_
  std::string path_;
  std::vector<Level> levels_;
};
