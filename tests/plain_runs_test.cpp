// Long tracks: plain events pass in runs read block by block, and whatever ends a run is handled
// as in a short track, at any depth, also across the borders of the blocks read.
#include <string>

#include "engine.h"
#include "support/streams.h"

namespace {

// n note events, every other one under running status: 4 and 3 bytes.
Bytes plainNotes(int n) {
  Bytes events;
  for (int i = 0; i < n; ++i) {
    if (i % 2 == 0) {
      events += Bytes{0x00, 0x90, uint8_t(0x30 + i % 32), 0x40};
    } else {
      events += Bytes{0x01, uint8_t(0x30 + i % 32), 0x00};
    }
  }
  return events;
}

std::string message(const std::string& what, unsigned long offset) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08lX", offset);
  return "in.mid: " + what + " at " + hex + "\n";
}

struct TrackRepair {
  int result = 0;
  std::string messages;
  Bytes output;
};

// Repairs events as one track of `length` bytes; a chunk head in front makes offsets absolute.
TrackRepair repair(const Bytes& events, int32_t length, int32_t gmOnTick = -1) {
  g_inputName = "in.mid";
  g_tracksOnly = 0;
  g_midiType = 1;
  g_gmOnTick = gmOnTick;
  TempStream in(text("MTrk") + uint32BE(0) + events), out;
  std::fseek(in.get(), 8, SEEK_SET);
  TrackRepair run;
  run.messages = capturedStdout(
      [&] { run.result = repairTrackEvents("in.mid", out.get(), in.get(), length); });
  run.output = out.contents();
  return run;
}

}  // namespace

TEST(PlainRuns, WhatEndsARunIsHandledAtAnyDepth) {
  // Depths around the block borders of a run (512, 1536, 3584 and 7680 bytes read) and past the
  // stretch that the event loop takes before the next run.
  for (const int before : {0, 145, 146, 147, 438, 439, 1023, 1024, 2194, 3000}) {
    SCOPED_TRACE(before);
    const Bytes head = plainNotes(before);
    const unsigned long at = 8 + head.size();  // offset of the first event after head
    const Bytes tail = plainNotes(700) + END_OF_TRACK;

    // A value to repair: a message, then the run goes on.
    const Bytes control = head + Bytes{0x00, 0xB0, 0x07, 0x85} + tail;
    TrackRepair run = repair(control, int32_t(control.size()));
    EXPECT_EQ(message("invalid control value used", at + 1), run.messages);
    EXPECT_EQ(REPAIR_CHANGED, run.result);
    EXPECT_EQ((head + Bytes{0x00, 0xB0, 0x07, 0x7F} + tail), run.output);

    // A system exclusive event, left to the event loop, with runs before and after it.
    const Bytes sysex = head + Bytes{0x00, 0xF0, 0x03, 0x41, 0x10, 0xF7} + tail;
    run = repair(sysex, int32_t(sysex.size()));
    EXPECT_EQ("", run.messages);
    EXPECT_EQ(REPAIR_UNCHANGED, run.result);
    EXPECT_EQ(sysex, run.output);

    // The input ends inside a note event while the length field promises 10 bytes more.
    const Bytes cut = head + Bytes{0x00, 0x90, 0x3C};
    run = repair(cut, int32_t(cut.size()) + 10);
    EXPECT_EQ(message("removing incomplete midi command", at) +
                  "in.mid: Warning - 13 bytes lost.\nin.mid: Missing end of track added.\n",
              run.messages);
    EXPECT_EQ(REPAIR_CHANGED, run.result);
    EXPECT_EQ(head + END_OF_TRACK, run.output);
  }
}

TEST(PlainRuns, PendingGmOnIsCheckedInsideARun) {
  // A GM ON message from an earlier track is pending at tick 2000; notes one tick apart reach it
  // 8000 bytes into the track, several blocks into the first run. Meta events never draw it.
  Bytes track;
  for (int i = 0; i < 2100; ++i) {
    track += i % 2 == 0 ? Bytes{0x01, 0x90, 0x3C, 0x40} : Bytes{0x01, 0xFF, 0x01, 0x00};
  }
  track += END_OF_TRACK;
  const TrackRepair run = repair(track, int32_t(track.size()), 2000);
  EXPECT_EQ("in.mid: Warning - pause might be too small after \"GM ON sysex\"\n", run.messages);
  EXPECT_EQ(REPAIR_UNCHANGED, run.result);
  EXPECT_EQ(track, run.output);
  EXPECT_EQ(-1, g_gmOnTick);
}
