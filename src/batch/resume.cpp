// A report is read line by line in one pass; only the path (its exact bytes, from path_bytes
// where it is not UTF-8) and the verdict of each line are kept.
#include "resume.h"

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>

#include "files.h"

namespace {

// The bytes of base64 text; empty for text that is not base64.
std::string fromBase64(std::string_view text) {
  std::string bytes;
  uint32_t group = 0;
  int bits = 0;
  for (const char c : text) {
    const int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                      : c >= 'a' && c <= 'z' ? c - 'a' + 26
                      : c >= '0' && c <= '9' ? c - '0' + 52
                      : c == '+'             ? 62
                      : c == '/'             ? 63
                                             : -1;
    if (value < 0) {
      break;  // the padding
    }
    group = group << 6 | uint32_t(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += char(group >> bits & 0xFF);
    }
  }
  return bytes;
}

}  // namespace

uint64_t pathHash(std::string_view path) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : path) {
    hash = (hash ^ uint8_t(c)) * 0x100000001b3ULL;
  }
  return hash;
}

bool ReportedFiles::load(int fd, Tally& tally) {
  std::string pending;    // the part of a line read so far
  uint64_t complete = 0;  // where the last whole line ends
  uint64_t offset = 0;
  bool valid = true;
  char buffer[1 << 16];
  for (size_t count = 1; count > 0;) {
    if (const int error = readAt(fd, offset, buffer, sizeof buffer, &count); error != 0) {
      errno = error;
      return false;
    }
    offset += count;
    for (std::string_view rest(buffer, count); !rest.empty();) {
      const size_t end = rest.find('\n');
      pending.append(rest.substr(0, end));
      if (end == std::string_view::npos) {
        break;
      }
      rest.remove_prefix(end + 1);
      complete = offset - rest.size();
      const auto line = nlohmann::json::parse(pending, nullptr, false);
      pending.clear();
      if (!line.is_object() || !line.value("path", nlohmann::json()).is_string() ||
          !line.value("verdict", nlohmann::json()).is_string() ||
          (line.contains("path_bytes") && !line["path_bytes"].is_string())) {
        valid = false;
        continue;
      }
      const std::string path = line.contains("path_bytes")
                                   ? fromBase64(line["path_bytes"].get<std::string>())
                                   : line["path"].get<std::string>();
      hashes_.push_back(pathHash(path));
      tally.addEarlier(line["verdict"].get<std::string>());
    }
  }
  if (complete < offset) {
    if (const int error = truncateFile(fd, complete); error != 0) {
      errno = error;
      return false;
    }
  }
  std::sort(hashes_.begin(), hashes_.end());
  errno = valid ? 0 : EINVAL;
  return valid;
}

bool ReportedFiles::contains(std::string_view path) const {
  return std::binary_search(hashes_.begin(), hashes_.end(), pathHash(path));
}
