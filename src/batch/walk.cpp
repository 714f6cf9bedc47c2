// The walk: readdir over a stack of open folders; d_type spares a stat for most entries.
#include "walk.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Opens a folder without following a symbolic link in its last component, so that a link
// swapped in after the listing is not walked.
DIR* openFolder(const std::string& path, bool followLink) {
  const int fd =
      open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    return nullptr;
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return dir;
}

WalkEntry::Kind kindOf(mode_t mode) {
  return S_ISREG(mode) ? WalkEntry::Kind::File : WalkEntry::Kind::NotRegular;
}

}  // namespace

bool isMidiName(const std::string& name) {
  for (const char* extension : {".mid", ".midi", ".kar", ".rmi", ".smf"}) {
    const size_t length = std::strlen(extension);
    if (name.size() > length && strcasecmp(name.c_str() + name.size() - length, extension) == 0) {
      return true;
    }
  }
  return false;
}

Walk::Walk(const std::vector<std::string>& roots, bool allFiles)
    : roots_(roots), allFiles_(allFiles) {}

Walk::~Walk() {
  for (const Level& level : levels_) {
    closedir(level.dir);
  }
}

// A PATH as named: a link is followed, since the user named it.
bool Walk::startRoot(WalkEntry& entry) {
  const std::string& root = roots_[nextRoot_++];
  path_ = root;
  entry.path = root;
  const size_t slash = root.find_last_of('/', root.find_last_not_of('/'));
  entry.relative = slash == std::string::npos ? root : root.substr(slash + 1);
  struct stat info;
  if (stat(root.c_str(), &info) != 0) {
    entry.kind = WalkEntry::Kind::Error;
    entry.error = errno;
    return true;
  }
  if (!S_ISDIR(info.st_mode)) {
    entry.kind = kindOf(info.st_mode);
    return true;
  }
  DIR* dir = openFolder(root, true);
  if (dir == nullptr) {
    entry.kind = WalkEntry::Kind::Error;
    entry.error = errno;
    return true;
  }
  while (path_.size() > 1 && path_.back() == '/') {
    path_.pop_back();
  }
  rootLength_ = path_ == "/" ? 1 : path_.size() + 1;
  levels_.push_back({dir, path_.size()});
  return false;
}

bool Walk::next(WalkEntry& entry) {
  for (;;) {
    entry.error = 0;
    if (levels_.empty()) {
      if (nextRoot_ == roots_.size()) {
        return false;
      }
      if (startRoot(entry)) {
        return true;
      }
      continue;
    }
    Level& level = levels_.back();
    const struct dirent* item = readdir(level.dir);
    if (item == nullptr) {
      closedir(level.dir);
      levels_.pop_back();
      continue;
    }
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      continue;
    }
    path_.resize(level.pathLength);
    if (path_ != "/") {
      path_ += '/';
    }
    path_ += name;
    unsigned char type = item->d_type;
    struct stat info;
    if (type == DT_UNKNOWN) {
      if (lstat(path_.c_str(), &info) != 0) {
        continue;  // gone since the listing
      }
      type = S_ISDIR(info.st_mode)   ? DT_DIR
             : S_ISLNK(info.st_mode) ? DT_LNK
             : S_ISREG(info.st_mode) ? DT_REG
                                     : DT_FIFO;
    }
    entry.path = path_;
    entry.relative = path_.substr(rootLength_);
    if (type == DT_DIR) {
      DIR* dir = openFolder(path_, false);
      if (dir == nullptr) {
        entry.kind = WalkEntry::Kind::Error;
        entry.error = errno;
        return true;
      }
      levels_.push_back({dir, path_.size()});
      continue;
    }
    if (!allFiles_ && !isMidiName(name)) {
      continue;
    }
    if (type == DT_REG) {
      entry.kind = WalkEntry::Kind::File;
    } else if (type != DT_LNK) {
      entry.kind = WalkEntry::Kind::NotRegular;
    } else if (stat(path_.c_str(), &info) != 0) {
      entry.kind = WalkEntry::Kind::Error;  // a dangling link or a loop of links
      entry.error = errno;
    } else if (S_ISDIR(info.st_mode)) {
      continue;  // folders are not entered through links
    } else {
      entry.kind = kindOf(info.st_mode);
    }
    return true;
  }
}
