// The track data recognizer: where 100 bytes of well-formed events begin.
#include "engine.h"
#include "support/streams.h"

namespace {

const Bytes NOTE = {0x00, 0x90, 0x3C, 0x40};

// events followed by sound events that end exactly `size` bytes in (size - events >= 2).
Bytes fillTo(Bytes events, size_t size) {
  while (size - events.size() >= 6) {
    events += NOTE;
  }
  const Bytes realTime = {0x00, 0xF8}, program = {0x00, 0xC0, 0x05};
  const size_t left = size - events.size();
  return events + (left == 2   ? realTime
                   : left == 3 ? program
                   : left == 4 ? NOTE
                               : realTime + program);
}

// A window of events from offset 0 with one byte behind it: only offset 0 is a candidate.
Bytes window(const Bytes& events) { return fillTo(events, 100) + Bytes{0x00}; }

// A note on, then `count` events in running status.
Bytes runningStatus(int count) {
  Bytes events = NOTE;
  while (count-- > 0) {
    events += Bytes{0x00, 0x3C, 0x00};
  }
  return events;
}

}  // namespace

TEST(RecognizeTrackData, ExaminesEachCandidateByTheEventRules) {
  struct Case {
    std::string name;
    Bytes input;
    int32_t expected;
    int32_t available = -1;  // to the end of the input
  };
  std::vector<Case> cases = {
      {"25 note ons reach the window exactly", window({}), 0},
      {"available 100", fillTo({}, 100), NOT_FOUND},
      {"running status", runningStatus(32) + Bytes{0x00}, 0},
      {"real-time between events", window(NOTE + Bytes{0x00, 0xF8}), 0},
      {"real-time ends running status", window(NOTE + Bytes{0x00, 0xF8, 0x00, 0x3C}), NOT_FOUND},
      {"data byte out of range", window({0x00, 0x90, 0x3C, 0x80}), NOT_FOUND},
      {"song select", window({0x00, 0xF3, 0x05}), 0},
      {"end of track then a chunk tag", window(NOTE + END_OF_TRACK + text("MTrk")), NOT_FOUND},
      {"meta type out of range", window({0x00, 0xFF, 0x81, 0x00}), NOT_FOUND},
      {"meta within the input", fillTo({}, 96) + Bytes{0x00, 0xFF, 0x01, 0x03, 'a', 'b', 'c'}, 0},
      {"meta past the end", fillTo({}, 96) + Bytes{0x00, 0xFF, 0x01, 0x04, 'a', 'b', 'c'}, -1},
      {"sysex ends at F7 whatever its length", window({0, 0xF0, 3, 0x7E, 0x7F, 9, 1, 0xF7}), 0},
      {"F7 is the last byte", fillTo({}, 98) + Bytes{0x00, 0xF0, 0x00, 0x11, 0x22, 0xF7}, 0},
      {"no F7 after the length", fillTo({}, 98) + Bytes{0x00, 0xF0, 0x00, 0x11, 0x22}, -1},
      {"F7 ends a shorter range", runningStatus(31) + Bytes{0x00, 0xF0, 0x00, 0xF7, 0xF7}, 0, 101},
      {"F7 behind a shorter range", runningStatus(31) + Bytes{0, 0xF0, 0, 0x01, 0xF7}, -1, 101},
      {"four-byte delta time", window({0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x3C, 0x40}), 0},
      {"F4 00 as a delta time", window({0xF4, 0x00, 0x90, 0x3C, 0x40}), 0},
      {"event at p+99 read in full", fillTo({}, 99) + Bytes{0, 0xFF, 1, 16} + repeat(0xF1, 17), 0},
      {"event at p+99 malformed", fillTo({}, 99) + Bytes{0x00, 0x90, 0x3C, 0x80}, NOT_FOUND},
      {"input ends in a channel message", fillTo({}, 99) + Bytes{0x00, 0x90, 0x3C}, NOT_FOUND},
  };
  for (int status : {0xF1, 0xF2, 0xF4, 0xF5, 0xF9, 0xFD}) {  // no place in track data
    cases.push_back({"status " + std::to_string(status), window({0, uint8_t(status)}), -1});
  }
  for (int status : {0xF6, 0xF8, 0xFA, 0xFB, 0xFC, 0xFE}) {  // nothing follows them
    cases.push_back({"status " + std::to_string(status), window({0, uint8_t(status)}), 0});
  }
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempStream in(c.input);
    const int32_t available = c.available >= 0 ? c.available : int32_t(c.input.size());
    EXPECT_EQ(c.expected, recognizeTrackData(in.get(), 0, available));
  }
}

TEST(RecognizeTrackData, MovesOnByteByByteAndLeavesThePositionPastTheWindow) {
  // Offsets 0 to 2 hold data bytes where a status must stand; offset 3 begins a window.
  TempStream in(Bytes{0x3C, 0x3C, 0x3C} + window({}));
  EXPECT_EQ(3, recognizeTrackData(in.get(), 1, 103));
  EXPECT_LE(103, std::ftell(in.get()));

  std::fseek(in.get(), 7, SEEK_SET);
  EXPECT_EQ(NOT_FOUND, recognizeTrackData(in.get(), 4, 100));
  EXPECT_EQ(7, std::ftell(in.get()));  // nothing is read with only 100 bytes available
}
