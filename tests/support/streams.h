// The engine driven in this process, in memory: whole files through the library's interface,
// single tracks and searches through the engine's own units, and the findings rendered as the
// programs print them.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  std::vector<seqmend_finding> findings = {};
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

// A whole file through the library's repair (or another entry of that shape) from memory, in
// `context` or a new one: its verdict, findings, lines, output and extra files. The output is the
// input itself when it was sound, and none after a failure. Where SEQMEND_SAVE_INPUTS names a
// folder, a copy of the input named by its hash goes there too, so that the programs can be run on
// every input of the tests.
inline EngineRun repairFile(const Bytes& input, unsigned flags = 0,
                            seqmend_context* context = nullptr,
                            decltype(&seqmend_repair_memory) entry = seqmend_repair_memory) {
  if (const char* folder = std::getenv("SEQMEND_SAVE_INPUTS")) {
    const std::string bytes(input.begin(), input.end());
    std::ofstream(
        std::string(folder) + "/" + std::to_string(std::hash<std::string>()(bytes)) + ".mid",
        std::ios::binary)
        << bytes;
  }
  const ContextPointer owned = context == nullptr ? newContext() : ContextPointer{nullptr, nullptr};
  context = context == nullptr ? owned.get() : context;
  const seqmend_options options = {flags, nullptr, nullptr, nullptr};
  seqmend_result result;
  EngineRun run;
  run.result = entry(context, &options, input.data(), input.size(), &result);
  EXPECT_EQ(run.result, result.verdict);
  for (size_t i = 0; i < seqmend_finding_count(context); ++i) {
    run.findings.push_back(*seqmend_finding_at(context, i));
  }
  run.messages = renderedLines(run.findings);
  size_t size = 0;
  const unsigned char* output = seqmend_output(context, &size);
  EXPECT_TRUE(run.result == REPAIR_CHANGED     ? size == result.output_size
              : run.result == REPAIR_UNCHANGED ? output == input.data() && size == input.size()
                                               : output == nullptr && size == 0);
  run.output.assign(output, output + size);
  for (int n = 1; n <= result.extra_count; ++n) {
    const unsigned char* extra = seqmend_extra(context, n, &size);
    run.extras.emplace_back(extra, extra + size);
  }
  return run;
}

// Every example and every file of the external corpus, by name: the corpus in ../shared beside
// the checkout or beside the folder of worktrees, whichever is seen first.
inline std::vector<std::pair<std::string, Bytes>> realFiles(bool examples = true) {
  std::vector<std::pair<std::string, Bytes>> files;
  bool corpus = false;
  for (const char* folder : {"/examples", "/../shared/corpus-ext", "/../../shared/corpus-ext"}) {
    const std::filesystem::path path = SEQMEND_SOURCE_DIR + std::string(folder);
    if (corpus || !std::filesystem::is_directory(path) || (!examples && folder[1] == 'e')) {
      continue;
    }
    corpus = folder[1] != 'e';
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
      const auto extension = entry.path().extension();
      if (entry.is_regular_file() && extension != ".md" && extension != ".py") {
        std::ifstream stream(entry.path(), std::ios::binary);
        files.emplace_back(entry.path().string(),
                           Bytes(std::istreambuf_iterator<char>(stream), {}));
      }
    }
  }
  return files;
}

// Every test starts with the settings of a track in a format 1 file.
class EngineTest : public testing::Test {
 protected:
  void SetUp() override { trackSettings = {}; }
};
