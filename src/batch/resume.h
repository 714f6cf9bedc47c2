// --resume: the files that an earlier batch's report already holds, so that a batch stopped
// midway goes on where it stopped and appends to its report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report.h"

// The paths of a report, as hashes: eight bytes a file, however long its name.
class ReportedFiles {
 public:
  // Reads the report at fd (open for reading and writing) and cuts off a last line that a
  // stopped batch left unfinished, so that appended lines start on a line of their own. Each
  // file's verdict goes to `tally`. False with errno set when the report cannot be read or cut,
  // EINVAL when a whole line of it is no record.
  bool load(int fd, Tally& tally);

  bool contains(std::string_view path) const;
  size_t size() const { return hashes_.size(); }

 private:
  std::vector<uint64_t> hashes_;  // sorted
};

// FNV-1a of the bytes: the same name always gives the same hash.
uint64_t pathHash(std::string_view path);
