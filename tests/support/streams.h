// Temporary streams for driving the engine directly, and capture of what it prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/midi_bytes.h"

// A temporary file holding bytes, positioned at its start; closed (and gone) with the object.
class TempStream {
 public:
  TempStream() : file_(std::tmpfile()) {}
  explicit TempStream(const Bytes& bytes) : TempStream() {
    if (!bytes.empty()) {
      std::fwrite(bytes.data(), 1, bytes.size(), file_);
    }
    std::rewind(file_);
  }
  ~TempStream() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  TempStream(const TempStream&) = delete;
  TempStream& operator=(const TempStream&) = delete;

  FILE* get() const { return file_; }

  // Every byte of the file, whatever the current position; the position is kept.
  Bytes contents() const {
    const long pos = std::ftell(file_);
    std::fseek(file_, 0, SEEK_END);
    Bytes all(size_t(std::ftell(file_)));
    std::rewind(file_);
    EXPECT_EQ(all.size(), std::fread(all.data(), 1, all.size(), file_));
    std::fseek(file_, pos, SEEK_SET);
    return all;
  }

 private:
  FILE* file_;
};

// What a call printed on standard output, captured around it.
template <typename Call>
std::string capturedStdout(Call call) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  call();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
