// System exclusive and meta events: removal and repair, streaming past the event buffer, the end
// of track meta event and the GM ON pause warning.
#include "support/track_run.h"

using Sysex = TrackTest;
using GmOn = TrackTest;

namespace {

const Bytes GM_ON = {0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
const std::string REMOVED = "in.mid: remove incomplete sysex command\n";
const std::string PAUSE = "in.mid: Warning - pause might be too small after \"GM ON sysex\"\n";
const std::string OUT_OF_RANGE_90 = "in.mid: Warning - sysex contains byte out of range 90\"\n";

Bytes varLen(uint32_t v) {
  Bytes out = {uint8_t(v & 0x7F)};
  while (v >>= 7) {
    out.insert(out.begin(), uint8_t(0x80 | (v & 0x7F)));
  }
  return out;
}

// `head`, the length, then `size` data bytes: `first`, zeros, `last`.
Bytes bigEvent(const Bytes& head, uint32_t size, uint8_t first, uint8_t last) {
  Bytes data(size, 0x00);
  data.front() = first;
  data.back() = last;
  return head + varLen(size) + data;
}

}  // namespace

TEST_F(Sysex, IncompleteEventsAreRemovedUpToTheirFirstF7) {
  // Too large for the buffer: its 2000th data byte is the last 00 of the end of track.
  const Bytes rest = NOTE + bigEvent({0x00, 0xFF, 0x01}, 1985, 'a', 'z') + EOT;
  expectRepairs({
      {"no F7 at the end", Bytes{0, 0xF0, 3, 1, 2, 3} + NOTE + EOT, 1, REMOVED, NOTE + EOT},
      {"F7 before the declared end", Bytes{0, 0xF0, 10, 1, 2, 0xF7} + NOTE + EOT, 1, REMOVED,
       NOTE + EOT},
      {"length 0", Bytes{0, 0xF0, 0} + NOTE + EOT, 1, REMOVED, NOTE + EOT},
      {"past the track, F7 last", Bytes{0, 0xF0, 0x7F, 1, 2, 0xF7}, 1, REMOVED + lost(6) + MISSING,
       EOT},
      {"past the end of the file", Bytes{0, 0xF0, 5, 1, 2}, 1, REMOVED + lost(8) + MISSING, EOT, 8},
      {"length cut off", Bytes{0, 0xF0, 0x81}, 1,
       at("removing incomplete midi command", 8) + REMOVED + lost(3) + MISSING, EOT},
      {"large", Bytes{0, 0xF0} + varLen(2000) + Bytes{1, 0xF7} + rest, 1, REMOVED, rest},
  });
}

// Delta time 81 00, F0 and two length bytes: 1019 data bytes fill the buffer exactly. An end of
// track meta event is taken as it stands, with data or streamed.
TEST_F(Sysex, BufferedDataIsRepairedAndStreamedDataPassesAsIs) {
  const Bytes before = NOTE + Bytes{0x00, 0x3C, 0x00};  // running status carries over the event
  const Bytes after = Bytes{0x00, 0x3E, 0x40} + EOT;
  const Bytes fits = bigEvent({0x81, 0x00, 0xF0}, 1019, 0x90, 0xF7);
  const Bytes streamed = bigEvent({0x81, 0x00, 0xF0}, 1020, 0x90, 0xF7);
  expectRepairs({
      {"bit 7 cleared", Bytes{0, 0xF0, 4, 0x41, 0x90, 0x12, 0xF7} + EOT, REPAIR_CHANGED,
       OUT_OF_RANGE_90, Bytes{0, 0xF0, 4, 0x41, 0x10, 0x12, 0xF7} + EOT},
      {"F0 and F7 allowed", Bytes{0, 0xF0, 4, 0x7E, 0xF0, 0x7F, 0xF7} + EOT, REPAIR_UNCHANGED, ""},
      {"fits the buffer", before + fits + after, REPAIR_CHANGED, OUT_OF_RANGE_90,
       before + bigEvent({0x81, 0x00, 0xF0}, 1019, 0x10, 0xF7) + after},
      {"streamed", before + streamed + after, REPAIR_UNCHANGED, ""},
      {"streamed text", NOTE + bigEvent({0x00, 0xFF, 0x01}, 2000, 'a', 'z') + EOT, 0, ""},
      {"end of track with data", NOTE + Bytes{0, 0xFF, 0x2F, 1, 0}, REPAIR_UNCHANGED, ""},
      {"streamed end of track", NOTE + bigEvent({0x00, 0xFF, 0x2F}, 2000, 0x00, 0x00), 0, ""},
  });
}

TEST_F(Sysex, FiftyMegabyteEventsPassThroughByteForByte) {
  constexpr uint32_t SIZE = 50u << 20;
  for (const Bytes& head : {Bytes{0x00, 0xF0}, Bytes{0x00, 0xFF, 0x01}}) {
    Bytes events = head + varLen(SIZE);
    events.reserve(events.size() + SIZE + EOT.size());
    for (uint32_t i = 0; i < SIZE; ++i) {
      events.push_back(uint8_t(i * 7 / 3 & 0x7F));
    }
    events.back() = 0xF7;
    events += EOT;
    expectRepairs({{head.size() == 2 ? "system exclusive" : "text", std::move(events), 0, ""}});
  }
}

TEST_F(GmOn, EventWithinTwelveTicksIsWarnedAboutOnce) {
  const Bytes otherDevice = {0x00, 0xF0, 0x05, 0x7E, 0x10, 0x09, 0x01, 0xF7};
  const Bytes longer = {0x00, 0xF0, 0x06, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xF7};
  // A meta event and a clock 1 and 2 ticks after each GM ON: a note 13 ticks after the first is
  // not warned about, one 12 ticks after the second is.
  const Bytes quiet = {0x01, 0xFF, 0x01, 0x00, 0x01, 0xF8};
  const Bytes metaAndClock = GM_ON + quiet + noteOn(11, 0, 0x3C, 0x40) + GM_ON + quiet +
                             noteOn(10, 0, 0x3C, 0x00) + noteOn(0, 0, 0x3C, 0x00) + EOT;
  expectRepairs({
      {"meta and clock pass", metaAndClock, REPAIR_UNCHANGED, PAUSE},
      {"same tick twice", GM_ON + GM_ON + NOTE + EOT, REPAIR_UNCHANGED, PAUSE + PAUSE},
      {"other device", otherDevice + NOTE + EOT, REPAIR_UNCHANGED, ""},
      {"longer message", longer + NOTE + EOT, REPAIR_UNCHANGED, ""},
      {"rejected data byte", GM_ON + Bytes{0x00, 0x3C}, REPAIR_CHANGED,
       PAUSE + at("removing invalid midi command", 0x11) + lost(2) + MISSING, GM_ON + EOT},
  });
}

TEST_F(GmOn, PendingMessageCarriesOverToTheNextTrack) {
  const Bytes first = GM_ON + noteOn(13, 0, 0x3C, 0x40) + EOT;
  const Bytes second = noteOn(5, 0, 0x3C, 0x40) + EOT;
  expectRepairs(
      {{"13 ticks", first, REPAIR_UNCHANGED, ""}, {"next track", second, REPAIR_UNCHANGED, PAUSE}});
}
