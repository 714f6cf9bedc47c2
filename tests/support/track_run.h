// Drives repairTrackEvents over crafted tracks held in a temporary file.
#pragma once

#include <initializer_list>
#include <string>

#include "engine.h"
#include "support/streams.h"

inline const Bytes& EOT = END_OF_TRACK;
inline const Bytes NOTE = {0x00, 0x90, 0x3C, 0x40};  // at offsets 8 to 11 when it comes first
inline const std::string MISSING = "in.mid: Missing end of track added.\n";

inline std::string lost(int n) {
  return "in.mid: Warning - " + std::to_string(n) + " bytes lost.\n";
}

// "in.mid: <what> at <offset>\n", the offset as the messages print it.
inline std::string at(const std::string& what, unsigned long offset) {
  char hex[16];
  snprintf(hex, sizeof hex, "%08lX", offset);
  return "in.mid: " + what + " at " + hex + "\n";
}

// One track in; the exact result, messages and output bytes expected. A track whose result is
// REPAIR_UNCHANGED must come out byte for byte as it went in, so its output is not listed.
struct TrackCase {
  std::string name;
  Bytes events;
  int result;
  std::string messages;
  Bytes output = {};
  int32_t length = -1;  // of the track; -1 for all the events. The file ends behind the events.
};

// Runs the cases in order. A chunk head stands in front of the events, so that offsets are
// absolute: the events start at offset 8.
inline void expectRepairs(std::initializer_list<TrackCase> cases) {
  for (const TrackCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempStream in(text("MTrk") + uint32BE(0) + c.events), out;
    std::fseek(in.get(), 8, SEEK_SET);
    const int32_t length = c.length < 0 ? int32_t(c.events.size()) : c.length;
    int result = 0;
    EXPECT_EQ(c.messages, capturedStdout([&] {
                result = repairTrackEvents("in.mid", out.get(), in.get(), length);
              }));
    EXPECT_EQ(c.result, result);
    EXPECT_EQ(c.result == REPAIR_UNCHANGED ? c.events : c.output, out.contents());
  }
}

// The run settings the track repair reads, reset before every test: format 1, no GM ON pending.
class TrackTest : public testing::Test {
 protected:
  void SetUp() override {
    g_tracksOnly = 0;
    g_midiType = 1;
    g_gmOnTick = -1;
  }
};
