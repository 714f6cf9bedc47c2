// The walk on Windows: directory iterators over UTF-16 names, which the entries carry in UTF-8
// with '/' between the parts, as on every system.
#include <strings.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "walk.h"

namespace {

namespace fs = std::filesystem;

fs::path pathOf(const std::string& name) {
  return fs::path(std::u8string(name.begin(), name.end()));
}

std::string nameOf(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

int errorOf(const std::error_code& error) {
  return error.category() == std::generic_category() ? error.value()
         : error.default_error_condition().category() == std::generic_category()
             ? error.default_error_condition().value()
             : ENOENT;
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

Walk::~Walk() = default;

bool Walk::startRoot(WalkEntry& entry) {
  const std::string& root = roots_[nextRoot_++];
  path_ = root;
  entry.path = root;
  const size_t slash = root.find_last_of("/\\", root.find_last_not_of("/\\"));
  entry.relative = slash == std::string::npos ? root : root.substr(slash + 1);
  std::error_code error;
  const fs::file_status status = fs::status(pathOf(root), error);
  if (error) {
    entry.kind = WalkEntry::Kind::Error;
    entry.error = errorOf(error);
    return true;
  }
  if (!fs::is_directory(status)) {
    entry.kind = fs::is_regular_file(status) ? WalkEntry::Kind::File : WalkEntry::Kind::NotRegular;
    return true;
  }
  fs::directory_iterator dir(pathOf(root), error);
  if (error) {
    entry.kind = WalkEntry::Kind::Error;
    entry.error = errorOf(error);
    return true;
  }
  while (path_.size() > 1 && (path_.back() == '/' || path_.back() == '\\')) {
    path_.pop_back();
  }
  rootLength_ = path_.size() + 1;
  levels_.push_back({std::move(dir), path_.size()});
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
    if (level.dir == fs::directory_iterator()) {
      levels_.pop_back();
      continue;
    }
    const fs::directory_entry item = *level.dir;
    std::error_code error;
    level.dir.increment(error);
    if (error) {
      level.dir = fs::directory_iterator();
    }
    const std::string name = nameOf(item.path().filename());
    path_.resize(level.pathLength);
    path_ += '/';
    path_ += name;
    entry.path = path_;
    entry.relative = path_.substr(rootLength_);
    const fs::file_status own = item.symlink_status(error);
    if (error) {
      continue;  // gone since the listing
    }
    if (fs::is_directory(own)) {
      fs::directory_iterator dir(item.path(), error);
      if (error) {
        entry.kind = WalkEntry::Kind::Error;
        entry.error = errorOf(error);
        return true;
      }
      levels_.push_back({std::move(dir), path_.size()});
      continue;
    }
    if (!allFiles_ && !isMidiName(name)) {
      continue;
    }
    if (fs::is_regular_file(own)) {
      entry.kind = WalkEntry::Kind::File;
    } else if (!fs::is_symlink(own)) {
      entry.kind = WalkEntry::Kind::NotRegular;
    } else {
      const fs::file_status target = fs::status(item.path(), error);
      if (error) {
        entry.kind = WalkEntry::Kind::Error;  // a dangling link or a loop of links
        entry.error = errorOf(error);
      } else if (fs::is_directory(target)) {
        continue;  // folders are not entered through links
      } else {
        entry.kind =
            fs::is_regular_file(target) ? WalkEntry::Kind::File : WalkEntry::Kind::NotRegular;
      }
    }
    return true;
  }
}
