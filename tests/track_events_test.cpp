// The event stream of one track: running status, channel checks, invalid statuses, lost bytes and
// the end of track. The events of every track start at input offset 8.
#include "support/track_run.h"

using TrackEvents = TrackTest;

namespace {

const Bytes NOTE = {0x00, 0x90, 0x3C, 0x40};  // offsets 8 to 11 when first
const std::string MISSING = "in.mid: Missing end of track added.\n";

std::string lost(int n) { return "in.mid: Warning - " + std::to_string(n) + " bytes lost.\n"; }

}  // namespace

TEST_F(TrackEvents, SoundTrackOfEveryKindIsCopiedUnchanged) {
  const Bytes messages = {
      0x00, 0x90, 0x3C, 0x40,                    // note on
      0x60, 0x3C, 0x00,                          // running status stays running status
      0x00, 0xF8, 0x00, 0xFE, 0x00, 0x3E, 0x40,  // real-time bytes leave running status alone
      0x81, 0x80, 0x80, 0x80, 0xA0, 0x3C, 0x85,  // a fourth delta byte ends the quantity
      0x80, 0x00, 0xE0, 0xFF, 0xFF,              // non-minimal delta kept; bend takes any value
      0x00, 0xF2, 0x01, 0x02, 0x00, 0xF3, 0x05,  // song position, song select
      0x00, 0xF6, 0x00, 0xB0, 0x85, 0x10,        // tune request; controller number not checked
  };
  const Bytes events = messages + textEvent(0, "hi") + END_OF_TRACK;
  expectRepairs({{"sound", events, REPAIR_UNCHANGED, "", events}});
}

TEST_F(TrackEvents, OutOfRangeValuesAreRepairedInPlace) {
  expectRepairs({
      {"control value", Bytes{0x00, 0xB0, 0x07, 0x85} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: invalid control value used at 00000009\n",
       Bytes{0x00, 0xB0, 0x07, 0x7F} + END_OF_TRACK},
      {"program", Bytes{0x00, 0xC0, 0x90} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: invalid program number changed at 00000009\n",
       Bytes{0x00, 0xC0, 0x00} + END_OF_TRACK},
      {"aftertouch", Bytes{0x00, 0xD3, 0xFF} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: invalid aftertouch command changed at 00000009\n",
       Bytes{0x00, 0xD3, 0x7F} + END_OF_TRACK},
      {"running status reports the byte before its data",
       Bytes{0x00, 0xB0, 0x07, 0x10, 0x00, 0x07, 0x90} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: invalid control value used at 0000000C\n",
       Bytes{0x00, 0xB0, 0x07, 0x10, 0x00, 0x07, 0x7F} + END_OF_TRACK},
  });
}

TEST_F(TrackEvents, UnparsableEventEndsTrackAndCountsRestAsLost) {
  std::vector<TrackCase> cases = {
      {"note velocity", NOTE + Bytes{0x00, 0x90, 0x3C, 0x80} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: removing invalid note command at 0000000D\n" + lost(8) + MISSING,
       NOTE + END_OF_TRACK},
      {"note in running status", NOTE + Bytes{0x00, 0x3C, 0x80} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: removing invalid note command at 0000000C\n" + lost(7) + MISSING,
       NOTE + END_OF_TRACK},
      {"note off key", Bytes{0x00, 0x80, 0x80, 0x00} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: removing invalid note command at 00000009\n" + lost(8) + MISSING, END_OF_TRACK},
      {"data byte first", Bytes{0x00, 0x3C, 0x40} + END_OF_TRACK, REPAIR_CHANGED,
       "in.mid: removing invalid midi command at 00000009\n" + lost(7) + MISSING, END_OF_TRACK},
      {"event cut off", NOTE + Bytes{0x00, 0x90, 0x3C}, REPAIR_CHANGED,
       "in.mid: removing incomplete midi command at 0000000C\n" + lost(3) + MISSING,
       NOTE + END_OF_TRACK},
      {"delta cut off", NOTE + Bytes{0x81}, REPAIR_CHANGED,
       "in.mid: removing incomplete midi command at 0000000C\n" + lost(1) + MISSING,
       NOTE + END_OF_TRACK},
  };
  for (uint8_t status : {0xF1, 0xF4, 0xF5, 0xF7, 0xF9, 0xFD}) {
    char message[64];
    snprintf(message, sizeof message, "in.mid: removing invalid command %02X at 0000000D\n",
             status);
    cases.push_back({"invalid system status", NOTE + Bytes{0x00, status, 0x01} + END_OF_TRACK,
                     REPAIR_CHANGED, message + lost(7) + MISSING, NOTE + END_OF_TRACK});
  }
  expectRepairs(cases);
}

TEST_F(TrackEvents, EventCutOffByTrackLengthOrFileEndIsLost) {
  const Bytes twoNotes = NOTE + noteOn(0, 0, 0x3E, 0x40);  // the file ends after them
  const struct {
    int32_t length;
    std::string messages;
    Bytes output;
  } cases[] = {
      {7, "in.mid: removing incomplete midi command at 0000000C\n" + lost(3) + MISSING,
       NOTE + END_OF_TRACK},
      {16, "in.mid: removing incomplete midi command at 00000010\n" + lost(8) + MISSING,
       twoNotes + END_OF_TRACK},  // the 8 bytes the file lacks are lost
  };
  for (const auto& c : cases) {
    TrackRun run = repairTrack(twoNotes, c.length);
    EXPECT_EQ(REPAIR_CHANGED, run.result);
    EXPECT_EQ(c.messages, run.messages);
    EXPECT_EQ(c.output, run.output);
  }
}

TEST_F(TrackEvents, EndOfTrackIsJudgedByTheLastEventWithAStatus) {
  expectRepairs({
      {"empty track", {}, REPAIR_CHANGED, MISSING, END_OF_TRACK},
      {"stray byte after the end", NOTE + END_OF_TRACK + Bytes{0x00}, REPAIR_CHANGED,
       "in.mid: removing incomplete midi command at 00000010\n" + lost(1), NOTE + END_OF_TRACK},
      {"note after the end", END_OF_TRACK + NOTE, REPAIR_CHANGED, MISSING,
       END_OF_TRACK + NOTE + END_OF_TRACK},
  });
}

TEST_F(TrackEvents, Format1ChannelWarningComesOncePerTrack) {
  const Bytes events = NOTE + noteOn(0, 1, 0x3C, 0x40) + noteOff(0, 0, 0x3C) +
                       Bytes{0x00, 0x3C, 0x00} + noteOff(0, 1, 0x3C) + END_OF_TRACK;
  expectRepairs(
      {{"format 1", events, REPAIR_UNCHANGED,
        "in.mid: Warning - format 1 track contains different channel commands\n", events}});
  g_midiType = 0;
  expectRepairs({{"format 0", events, REPAIR_UNCHANGED, "", events}});
}

TEST_F(TrackEvents, TracksOnlyModeCopiesDamagedBytesUnchanged) {
  g_tracksOnly = 1;
  const Bytes events = {0x00, 0x3C, 0x40, 0xF1, 0x00, 0xF0, 0x7F};
  expectRepairs({{"damaged", events, REPAIR_UNCHANGED, "", events}});
}

TEST_F(TrackEvents, FailedWriteIsReportedForTheOutput) {
  g_outputName = "out.mid";
  // A short event, a long one, the added end of track.
  for (const Bytes& events :
       {NOTE + END_OF_TRACK, textEvent(0, "long text") + END_OF_TRACK, Bytes{}}) {
    TempStream in(events);
    FILE* full = fopen("/dev/full", "wb");
    ASSERT_NE(nullptr, full);
    setvbuf(full, nullptr, _IONBF, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(REPAIR_FAILED, repairTrackEvents("in.mid", full, in.get(), int32_t(events.size())));
    EXPECT_EQ("out.mid: No space left on device\n", testing::internal::GetCapturedStderr());
    fclose(full);
  }
}

TEST_F(TrackEvents, ReadVarLenCountsEveryByteItTries) {
  const struct {
    Bytes bytes;
    int32_t value, remaining;
  } cases[] = {
      {{0x7F}, 0x7F, 9},
      {{0x81, 0x00}, 0x80, 8},
      {{0x81, 0x80, 0x80, 0x80, 0x05}, 0x200000, 6},  // the fifth byte is not read
      {{0xFF, 0xFF, 0xFF, 0x7F}, 0x0FFFFFFF, 6},
      {{0x81}, -1, 8},  // the end of the input counts as a try
  };
  for (const auto& c : cases) {
    TempStream in(c.bytes);
    int32_t remaining = 10;
    EXPECT_EQ(c.value, readVarLen(in.get(), remaining));
    EXPECT_EQ(c.remaining, remaining);
  }
}
