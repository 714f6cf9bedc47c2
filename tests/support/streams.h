// The engine driven in this process, in memory: whole files through the library's interface,
// single tracks and searches through the engine's own units, and the findings rendered as the
// programs print them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "seqmend.h"
#include "support/midi_bytes.h"

// The lines of findings as the programs print them for the input "in.mid".
inline std::string renderedLines(const std::vector<seqmend_finding>& findings) {
  std::string lines;
  for (const seqmend_finding& finding : findings) {
    std::string line(seqmend_render(&finding, "in.mid", nullptr, 0) + 1, '\0');
    seqmend_render(&finding, "in.mid", line.data(), line.size());
    line.pop_back();
    lines += line;
  }
  return lines;
}

// What a track repair starts with: the format of its file and the GM ON message pending from the
// tracks before it. The fixture sets them as a file's walk would for a format 1 file.
struct TrackSettings {
  int midiType = 1;
  bool tracksOnly = false;
  int32_t gmOnTick = -1;  // and, after a repair, what it left pending
};
inline TrackSettings trackSettings;

// A repair over bytes in memory, run through the engine's units with a context's buffers.
class EngineRepair {
 public:
  explicit EngineRepair(const Bytes& input) : input_(input), buffers_(new RepairBuffers) {
    repair.buffers = buffers_.get();
    repair.findings = &findings;
    repair.extras = &extras;
    repair.in.attachMemory(input_.data(), long(input_.size()), repair.failure);
    repair.out.attachMemory(output, repair.failure);
  }

  Repair repair;
  std::vector<seqmend_finding> findings;
  std::vector<std::pair<long, long>> extras;
  std::vector<unsigned char> output;

 private:
  Bytes input_;
  std::unique_ptr<RepairBuffers> buffers_;
};

// What one repair did.
struct EngineRun {
  int result = 0;
  std::string messages;
  Bytes output;
  std::vector<Bytes> extras = {};  // extra1.mid, extra2.mid, ...
};

// One track of events behind a chunk head, so that offsets are absolute (the events start at
// 8), repaired as a track of `length` bytes (-1: all of them) with the trackSettings. The file
// ends behind the events. Whatever the events, the count of bytes written is right and the input
// is left at the track's end, where the walk goes on.
inline EngineRun repairTrack(const Bytes& events, int32_t length = -1) {
  EngineRepair engine(text("MTrk") + uint32BE(0) + events);
  engine.repair.midiType = trackSettings.midiType;
  engine.repair.tracksOnly = trackSettings.tracksOnly;
  engine.repair.gmOnTick = trackSettings.gmOnTick;
  engine.repair.in.seek(8);
  const int32_t trackLength = length < 0 ? int32_t(events.size()) : length;
  EngineRun run;
  long written = -1;
  run.result = repairTrackEvents(engine.repair, 8, trackLength, written);
  trackSettings.gmOnTick = engine.repair.gmOnTick;
  run.messages = renderedLines(engine.findings);
  run.output = engine.output;
  EXPECT_EQ(long(run.output.size()), written);
  EXPECT_EQ(8 + trackLength, engine.repair.in.tell());
  return run;
}

using ContextPointer = std::unique_ptr<seqmend_context, decltype(&seqmend_context_free)>;
inline ContextPointer newContext() { return {seqmend_context_new(), seqmend_context_free}; }

// A whole file through the library's repair from memory: its verdict, lines, output (the input
// itself when it was sound) and extra files. Where SEQMEND_SAVE_INPUTS names a folder, a copy of
// the input named by its hash goes there too, so that the programs can be run on every input of
// the tests.
inline EngineRun repairFile(const Bytes& input, unsigned flags = 0) {
  if (const char* folder = std::getenv("SEQMEND_SAVE_INPUTS")) {
    const std::string bytes(input.begin(), input.end());
    const size_t hash = std::hash<std::string>()(bytes);
    std::ofstream(std::string(folder) + "/" + std::to_string(hash) + ".mid", std::ios::binary)
        << bytes;
  }
  const ContextPointer context = newContext();
  const seqmend_options options = {flags, nullptr, nullptr, nullptr};
  seqmend_result result;
  EngineRun run;
  run.result = seqmend_repair_memory(context.get(), &options, input.data(), input.size(), &result);
  EXPECT_EQ(run.result, result.verdict);
  std::vector<seqmend_finding> findings;
  for (size_t i = 0; i < seqmend_finding_count(context.get()); ++i) {
    findings.push_back(*seqmend_finding_at(context.get(), i));
  }
  run.messages = renderedLines(findings);
  size_t size = 0;
  const unsigned char* output = seqmend_output(context.get(), &size);
  run.output.assign(output, output + size);
  for (int n = 1; n <= result.extra_count; ++n) {
    const unsigned char* extra = seqmend_extra(context.get(), n, &size);
    run.extras.emplace_back(extra, extra + size);
  }
  return run;
}

// Every test starts with the settings of a track in a format 1 file.
class EngineTest : public testing::Test {
 protected:
  void SetUp() override { trackSettings = {}; }
};
