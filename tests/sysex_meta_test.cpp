// System exclusive and meta events: removal and repair, streaming past the event buffer, the end
// of track meta event and the GM ON pause warning. The events of every track start at offset 8.
#include "support/track_run.h"

using Sysex = TrackTest;
using Meta = TrackTest;
using GmOn = TrackTest;

namespace {

const Bytes NOTE = {0x00, 0x90, 0x3C, 0x40};
const Bytes GM_ON = {0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const std::string REMOVED = "in.mid: remove incomplete sysex command\n";
const std::string MISSING = "in.mid: Missing end of track added.\n";
const std::string PAUSE = "in.mid: Warning - pause might be too small after \"GM ON sysex\"\n";

std::string lost(int n) { return "in.mid: Warning - " + std::to_string(n) + " bytes lost.\n"; }

// An event of `status` (and meta type) whose data are `size` bytes: `first`, zeros, then `last`.
Bytes bigEvent(Bytes head, uint32_t size, uint8_t first, uint8_t last) {
  Bytes data(size, 0x00);
  data.front() = first;
  data.back() = last;
  return head + varLen(size) + data;
}

uint64_t fnv1a(uint64_t hash, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  }
  return hash;
}

}  // namespace

TEST_F(Sysex, IncompleteEventsAreRemovedUpToTheirFirstF7) {
  // Too large for the buffer: its 2000th data byte is the last 00 of the end of track.
  const Bytes rest = NOTE + bigEvent({0x00, 0xFF, 0x01}, 1985, 'a', 'z') + END_OF_TRACK;
  expectRepairs({
      {"no F7 at the end", Bytes{0x00, 0xF0, 0x03, 0x01, 0x02, 0x03} + NOTE + END_OF_TRACK,
       REPAIR_CHANGED, REMOVED, NOTE + END_OF_TRACK},
      {"F7 before the declared end",
       Bytes{0x00, 0xF0, 0x0A, 0x01, 0x02, 0xF7} + NOTE + END_OF_TRACK, REPAIR_CHANGED, REMOVED,
       NOTE + END_OF_TRACK},
      {"length 0", Bytes{0x00, 0xF0, 0x00} + NOTE + END_OF_TRACK, REPAIR_CHANGED, REMOVED,
       NOTE + END_OF_TRACK},
      {"past the track, F7 inside", Bytes{0x00, 0xF0, 0x7F, 0x01, 0xF7} + NOTE + END_OF_TRACK,
       REPAIR_CHANGED, REMOVED, NOTE + END_OF_TRACK},
      {"past the track, no F7", Bytes{0x00, 0xF0, 0x7F, 0x01, 0x02, 0x03}, REPAIR_CHANGED,
       REMOVED + MISSING, END_OF_TRACK},
      {"past the track, F7 last", Bytes{0x00, 0xF0, 0x7F, 0x01, 0x02, 0xF7}, REPAIR_CHANGED,
       REMOVED + lost(6) + MISSING, END_OF_TRACK},
      {"length cut off", Bytes{0x00, 0xF0, 0x81}, REPAIR_CHANGED,
       "in.mid: removing incomplete midi command at 00000008\n" + REMOVED + lost(3) + MISSING,
       END_OF_TRACK},
      {"large, F7 inside", Bytes{0x00, 0xF0} + varLen(2000) + Bytes{0x01, 0xF7} + rest,
       REPAIR_CHANGED, REMOVED, rest},
  });
}

TEST_F(Sysex, DataPastEndOfFileIsRemovedAndCountedAsLost) {
  TrackRun run = repairTrack({0x00, 0xF0, 0x05, 0x01, 0x02}, 8);
  EXPECT_EQ(REPAIR_CHANGED, run.result);
  EXPECT_EQ(REMOVED + lost(8) + MISSING, run.messages);
  EXPECT_EQ(END_OF_TRACK, run.output);
}

// Delta time 81 00, F0 and two length bytes: 1019 data bytes fill the buffer exactly.
TEST_F(Sysex, BufferedDataIsRepairedAndStreamedDataPassesAsIs) {
  const Bytes before = NOTE + Bytes{0x00, 0x3C, 0x00};  // running status carries over the event
  const Bytes after = Bytes{0x00, 0x3E, 0x40} + END_OF_TRACK;
  expectRepairs({
      {"bit 7 cleared", Bytes{0x00, 0xF0, 0x04, 0x41, 0x90, 0x12, 0xF7} + END_OF_TRACK,
       REPAIR_CHANGED, "in.mid: Warning - sysex contains byte out of range 90\"\n",
       Bytes{0x00, 0xF0, 0x04, 0x41, 0x10, 0x12, 0xF7} + END_OF_TRACK},
      {"F0 and F7 allowed", Bytes{0x00, 0xF0, 0x04, 0x7E, 0xF0, 0x7F, 0xF7} + END_OF_TRACK,
       REPAIR_UNCHANGED, "", Bytes{0x00, 0xF0, 0x04, 0x7E, 0xF0, 0x7F, 0xF7} + END_OF_TRACK},
      {"fits the buffer", before + bigEvent({0x81, 0x00, 0xF0}, 1019, 0x90, 0xF7) + after,
       REPAIR_CHANGED, "in.mid: Warning - sysex contains byte out of range 90\"\n",
       before + bigEvent({0x81, 0x00, 0xF0}, 1019, 0x10, 0xF7) + after},
      {"streamed", before + bigEvent({0x81, 0x00, 0xF0}, 1020, 0x90, 0xF7) + after,
       REPAIR_UNCHANGED, "", before + bigEvent({0x81, 0x00, 0xF0}, 1020, 0x90, 0xF7) + after},
  });
}

TEST_F(Sysex, FiftyMegabyteEventsPassThroughByteForByte) {
  constexpr uint32_t SIZE = 50u << 20;
  for (const Bytes& head : {Bytes{0x00, 0xF0}, Bytes{0x00, 0xFF, 0x01}}) {
    SCOPED_TRACE(head.size() == 2 ? "system exclusive" : "text meta event");
    TempStream in;
    TempStream out;
    uint64_t inHash = 0xCBF29CE484222325ull;
    long total = 0;
    auto put = [&](const Bytes& bytes) {
      fwrite(bytes.data(), 1, bytes.size(), in.get());
      inHash = fnv1a(inHash, bytes.data(), bytes.size());
      total += long(bytes.size());
    };
    put(head + varLen(SIZE));
    Bytes piece(1 << 16);
    for (uint32_t done = 0; done < SIZE; done += uint32_t(piece.size())) {
      for (size_t i = 0; i < piece.size(); ++i) {
        piece[i] = uint8_t((done + i) * 7 / 3 & 0x7F);
      }
      if (done + piece.size() == SIZE) {
        piece.back() = 0xF7;
      }
      put(piece);
    }
    put(END_OF_TRACK);
    rewind(in.get());
    int result = 0;
    EXPECT_EQ("", capturedStdout([&] {
                result = repairTrackEvents("in.mid", out.get(), in.get(), int32_t(total));
              }));
    EXPECT_EQ(REPAIR_UNCHANGED, result);
    EXPECT_EQ(total, ftell(out.get()));
    rewind(out.get());
    uint64_t outHash = 0xCBF29CE484222325ull;
    size_t got = 0;
    while ((got = fread(piece.data(), 1, piece.size(), out.get())) > 0) {
      outHash = fnv1a(outHash, piece.data(), got);
    }
    EXPECT_EQ(inHash, outHash);
  }
}

TEST_F(Meta, EndOfTrackAndLengthsAreJudgedAsTheyStand) {
  const Bytes bigEnd = bigEvent({0x00, 0xFF, 0x2F}, 2000, 0x00, 0x00);
  const Bytes bigText = bigEvent({0x00, 0xFF, 0x01}, 2000, 'a', 'z');
  expectRepairs({
      {"end of track with data", NOTE + Bytes{0x00, 0xFF, 0x2F, 0x01, 0x00}, REPAIR_UNCHANGED, "",
       NOTE + Bytes{0x00, 0xFF, 0x2F, 0x01, 0x00}},
      {"streamed end of track", NOTE + bigEnd, REPAIR_UNCHANGED, "", NOTE + bigEnd},
      {"streamed text", NOTE + bigText + END_OF_TRACK, REPAIR_UNCHANGED, "",
       NOTE + bigText + END_OF_TRACK},
      {"length past the track", NOTE + Bytes{0x00, 0xFF, 0x01, 0x82, 0x2C} + repeat('a', 200),
       REPAIR_CHANGED, lost(205) + MISSING, NOTE + END_OF_TRACK},
      {"type cut off", NOTE + Bytes{0x00, 0xFF}, REPAIR_CHANGED,
       "in.mid: removing incomplete midi command at 0000000C\n" + lost(2) + MISSING,
       NOTE + END_OF_TRACK},
  });
}

TEST_F(GmOn, EventWithinTwelveTicksIsWarnedAboutOnce) {
  const Bytes events = GM_ON + noteOn(10, 0, 0x3C, 0x40) + noteOff(0, 0, 0x3C) + END_OF_TRACK;
  expectRepairs({{"10 ticks", events, REPAIR_UNCHANGED, PAUSE, events}});
}

TEST_F(GmOn, PendingMessageCarriesOverToTheNextTrack) {
  const Bytes first = GM_ON + noteOn(13, 0, 0x3C, 0x40) + END_OF_TRACK;
  const Bytes second = noteOn(5, 0, 0x3C, 0x40) + END_OF_TRACK;
  expectRepairs({{"13 ticks", first, REPAIR_UNCHANGED, "", first},
                 {"next track", second, REPAIR_UNCHANGED, PAUSE, second}});
}

TEST_F(GmOn, OnlyChannelAndSysexEventsTrigger) {
  const Bytes otherDevice = {0x00, 0xF0, 0x05, 0x7E, 0x10, 0x09, 0x01, 0xF7};
  // A meta event and a clock 1 and 2 ticks after each GM ON: a note 13 ticks after the first is
  // not warned about, one 12 ticks after the second is.
  const Bytes quiet = {0x01, 0xFF, 0x01, 0x00, 0x01, 0xF8};
  const Bytes quietEvents =
      GM_ON + quiet + noteOn(11, 0, 0x3C, 0x40) + GM_ON + quiet + noteOn(10, 0, 0x3C, 0x00);
  expectRepairs({
      {"same tick twice", GM_ON + GM_ON + NOTE + END_OF_TRACK, REPAIR_UNCHANGED, PAUSE + PAUSE,
       GM_ON + GM_ON + NOTE + END_OF_TRACK},
      {"other device", otherDevice + NOTE + END_OF_TRACK, REPAIR_UNCHANGED, "",
       otherDevice + NOTE + END_OF_TRACK},
      {"meta and clock pass", quietEvents + END_OF_TRACK, REPAIR_UNCHANGED, PAUSE,
       quietEvents + END_OF_TRACK},
      {"rejected data byte", GM_ON + Bytes{0x00, 0x3C}, REPAIR_CHANGED,
       PAUSE + "in.mid: removing invalid midi command at 00000011\n" + lost(2) + MISSING,
       GM_ON + END_OF_TRACK},
  });
}
