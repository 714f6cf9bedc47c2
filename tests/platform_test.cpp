// What the platform seam tells the front end about a repaired file; the rest of the seam is
// driven through the binary.
#include "platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

// The engine keeps offsets in a long; where it has 32 bits (Windows), a file of 2 GiB is beyond
// them. The file is sparse.
TEST(OffsetsFitLong, FileOf2GiBFitsOnlyWhereLongHas64Bits) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "seqmend-2gib.tmp";
  FILE* file = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(nullptr, file);
  std::filesystem::resize_file(path, 0x7FFFFFFF);
  EXPECT_TRUE(offsetsFitLong(file));
  std::filesystem::resize_file(path, 0x80000000);
  EXPECT_EQ(sizeof(long) == 8, offsetsFitLong(file));
  std::fclose(file);
  std::filesystem::remove(path);
}
