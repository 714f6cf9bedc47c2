// Drives repairTrackEvents over one crafted track held in a temporary file.
#pragma once

#include <string>
#include <vector>

#include "engine.h"
#include "support/streams.h"

// A chunk head in front of the events, so that message offsets are absolute: events start at 8.
inline const Bytes TRACK_HEAD = text("MTrk") + uint32BE(0);

struct TrackRun {
  int result = 0;
  std::string messages;
  Bytes output;
};

// Repairs the events as a track of `length` bytes (default: all of them).
inline TrackRun repairTrack(const Bytes& events, int32_t length = -1) {
  TempStream in(TRACK_HEAD + events);
  TempStream out;
  std::fseek(in.get(), long(TRACK_HEAD.size()), SEEK_SET);
  TrackRun run;
  run.messages = capturedStdout([&] {
    run.result = repairTrackEvents("in.mid", out.get(), in.get(),
                                   length < 0 ? int32_t(events.size()) : length);
  });
  run.output = out.contents();
  return run;
}

// One track in, the exact result, messages and output bytes expected.
struct TrackCase {
  const char* name;
  Bytes events;
  int result;
  std::string messages;
  Bytes output;
};

inline void expectRepairs(const std::vector<TrackCase>& cases) {
  for (const TrackCase& c : cases) {
    SCOPED_TRACE(c.name);
    TrackRun run = repairTrack(c.events);
    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(c.messages, run.messages);
    EXPECT_EQ(c.output, run.output);
  }
}

// A variable-length quantity of 1 to 4 bytes.
inline Bytes varLen(uint32_t v) {
  Bytes out = {uint8_t(v & 0x7F)};
  while (v >>= 7) {
    out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
  }
  return out;
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
