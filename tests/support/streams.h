// The engine driven in this process: temporary streams, captured messages, a scratch folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine.h"
#include "support/midi_bytes.h"

// A temporary file holding bytes, positioned at its start; closed (and gone) with the object.
class TempStream {
 public:
  explicit TempStream(const Bytes& bytes = {}) : file_(std::tmpfile()) {
    if (!bytes.empty()) {
      std::fwrite(bytes.data(), 1, bytes.size(), file_);
    }
    std::rewind(file_);
  }
  ~TempStream() { std::fclose(file_); }
  TempStream(const TempStream&) = delete;
  TempStream& operator=(const TempStream&) = delete;

  FILE* get() const { return file_; }

  // Every byte of the file, whatever the current position; the position is kept.
  Bytes contents() const {
    std::fflush(file_);
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

// What one engine call did.
struct EngineRun {
  int result = 0;
  std::string messages;
  Bytes output;
};

// One track of events behind a chunk head, so that offsets are absolute (the events start at
// 8), repaired as a track of `length` bytes (-1: all of them). The file ends behind the events.
// Whatever the events, the count of bytes written is right and the input is left at the track's
// end, where the walk goes on.
inline EngineRun repairTrack(const Bytes& events, int32_t length = -1) {
  TempStream in(text("MTrk") + uint32BE(0) + events), out;
  std::fseek(in.get(), 8, SEEK_SET);
  const int32_t trackLength = length < 0 ? int32_t(events.size()) : length;
  EngineRun run;
  long written = -1;
  run.messages = capturedStdout([&] {
    run.result = repairTrackEvents("in.mid", out.get(), in.get(), 8, trackLength, written);
  });
  run.output = out.contents();
  EXPECT_EQ(long(run.output.size()), written);
  EXPECT_EQ(8 + trackLength, std::ftell(in.get()));
  return run;
}

// A whole file through the engine. Where SEQMEND_SAVE_INPUTS names a folder, a copy of the input
// named by its hash goes there too, so that the programs can be run on every input of the tests.
inline EngineRun repairFile(const Bytes& input) {
  if (const char* folder = std::getenv("SEQMEND_SAVE_INPUTS")) {
    const std::string bytes(input.begin(), input.end());
    const size_t hash = std::hash<std::string>()(bytes);
    std::ofstream(std::string(folder) + "/" + std::to_string(hash) + ".mid", std::ios::binary)
        << bytes;
  }
  TempStream in(input), out;
  EngineRun run;
  run.messages =
      capturedStdout([&] { run.result = repairMidiFile("in.mid", out.get(), in.get()); });
  run.output = out.contents();
  return run;
}

// Every test in a fresh scratch folder of its own, with the run settings as the tool starts
// them (format 1 for the track repair): extra files land there, and go with it.
class EngineTest : public testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::current_path();
    folder_ = std::filesystem::temp_directory_path() /
              ("seqmend-test-" + std::to_string(getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    std::filesystem::current_path(folder_);
    g_inputName = "in.mid";
    g_outputName = "out.mid";
    g_tracksOnly = 0;
    g_midiType = 1;
    g_gmOnTick = -1;
  }
  void TearDown() override {
    std::filesystem::current_path(home_);
    std::filesystem::remove_all(folder_);
  }

  std::filesystem::path home_, folder_;
};
