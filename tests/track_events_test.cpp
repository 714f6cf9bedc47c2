// The event stream of one track: running status, channel checks, invalid statuses, lost bytes and
// the end of track.
#include "support/track_run.h"

using TrackEvents = TrackTest;

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
  expectRepairs({{"sound", messages + textEvent(0, "hi") + EOT, REPAIR_UNCHANGED, ""}});
}

// Out-of-range values are set in place. An event that cannot be read ends the track: the rest
// counts as lost, and the end of track is judged by the last event with a status.
TEST_F(TrackEvents, DamagedEventsAreRepairedOrEndTheTrack) {
  const Bytes twoNotes = NOTE + noteOn(0, 0, 0x3E, 0x40);
  expectRepairs({
      {"control value", Bytes{0, 0xB0, 7, 0x85} + EOT, REPAIR_CHANGED,
       at("invalid control value used", 9), Bytes{0, 0xB0, 7, 0x7F} + EOT},
      {"program", Bytes{0, 0xC0, 0x90} + EOT, REPAIR_CHANGED,
       at("invalid program number changed", 9), Bytes{0, 0xC0, 0x00} + EOT},
      {"aftertouch", Bytes{0, 0xD3, 0xFF} + EOT, REPAIR_CHANGED,
       at("invalid aftertouch command changed", 9), Bytes{0, 0xD3, 0x7F} + EOT},
      {"running status: the byte before the data", Bytes{0, 0xB0, 7, 0x10, 0, 7, 0x90} + EOT,
       REPAIR_CHANGED, at("invalid control value used", 0x0C),
       Bytes{0, 0xB0, 7, 0x10, 0, 7, 0x7F} + EOT},
      {"note velocity", NOTE + Bytes{0, 0x90, 0x3C, 0x80} + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 0x0D) + lost(8) + MISSING, NOTE + EOT},
      {"note in running status", NOTE + Bytes{0, 0x3C, 0x80} + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 0x0C) + lost(7) + MISSING, NOTE + EOT},
      {"note off key", Bytes{0, 0x80, 0x80, 0} + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 9) + lost(8) + MISSING, EOT},
      {"delta cut off", NOTE + Bytes{0x81}, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x0C) + lost(1) + MISSING, NOTE + EOT},
      {"cut off by the track length", twoNotes, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x0C) + lost(3) + MISSING, NOTE + EOT, 7},
      {"cut off by the end of the file", twoNotes, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x10) + lost(8) + MISSING, twoNotes + EOT, 16},
      {"stray byte after the end", NOTE + EOT + Bytes{0x00}, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x10) + lost(1), NOTE + EOT},
      {"note after the end", EOT + NOTE, REPAIR_CHANGED, MISSING, EOT + NOTE + EOT},
  });
  for (uint8_t status : {0xF1, 0xF4, 0xF5, 0xF7, 0xF9, 0xFD}) {
    char what[32];
    snprintf(what, sizeof what, "removing invalid command %02X", status);
    expectRepairs({{what, NOTE + Bytes{0, status, 1} + EOT, REPAIR_CHANGED,
                    at(what, 0x0D) + lost(7) + MISSING, NOTE + EOT}});
  }
}

TEST_F(TrackEvents, Format1ChannelWarningComesOncePerTrack) {
  const Bytes events =
      NOTE + noteOn(0, 1, 0x3C, 0x40) + noteOff(0, 0, 0x3C) + noteOff(0, 1, 0x3C) + EOT;
  expectRepairs({{"format 1", events, REPAIR_UNCHANGED,
                  "in.mid: Warning - format 1 track contains different channel commands\n"}});
  g_midiType = 0;
  expectRepairs({{"format 0", events, REPAIR_UNCHANGED, ""}});
  g_tracksOnly = 1;
  expectRepairs(
      {{"tracks only", {0x00, 0x3C, 0x40, 0xF1, 0x00, 0xF0, 0x7F}, REPAIR_UNCHANGED, ""}});
}

TEST_F(TrackEvents, FailedWriteIsReportedForTheOutput) {
  g_outputName = "out.mid";
  // A short event, a long one, the added end of track.
  for (const Bytes& events : {NOTE + EOT, textEvent(0, "long text") + EOT, Bytes{}}) {
    TempStream in(events);
    FILE* full = fopen("/dev/full", "wb");  // Wine finds it through drive Z:, Windows does not
#ifdef _WIN32
    if (full == nullptr) {
      GTEST_SKIP() << "no /dev/full";
    }
#endif
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
      {{0x81, 0x00}, 0x80, 8}, {{0xFF, 0xFF, 0xFF, 0xFF, 0x05}, 0x0FFFFFFF, 6}, {{0x81}, -1, 8}};
  for (const auto& c : cases) {
    TempStream in(c.bytes);
    int32_t remaining = 10;
    EXPECT_EQ(c.value, readVarLen(in.get(), remaining));
    EXPECT_EQ(c.remaining, remaining);
  }
}
