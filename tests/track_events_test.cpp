// The event stream of one track: running status, the channel rules, system messages, system
// exclusive and meta events, the GM ON pause, lost bytes and the end of track.
#include <random>

#include "support/streams.h"

namespace {

const Bytes& EOT = END_OF_TRACK;
const Bytes NOTE = hex("00 90 3C 40");  // at offsets 8 to 11 when it comes first
const Bytes GM_ON = hex("00 F0 05 7E 7F 09 01 F7");
const std::string MISSING = "in.mid: Missing end of track added.\n";
const std::string REMOVED = "in.mid: remove incomplete sysex command\n";
const std::string PAUSE = "in.mid: Warning - pause might be too small after \"GM ON sysex\"\n";

std::string lost(int n) { return "in.mid: Warning - " + std::to_string(n) + " bytes lost.\n"; }

// "in.mid: <what> at <offset>\n", the offset as the messages print it.
std::string at(const std::string& what, unsigned long offset) {
  char number[16];
  snprintf(number, sizeof number, "%08lX", offset);
  return "in.mid: " + what + " at " + number + "\n";
}

// `head`, the length, then `size` data bytes: `first`, zeros, `last`.
Bytes bigEvent(const std::string& head, uint32_t size, uint8_t first, uint8_t last) {
  Bytes data(size, 0x00);
  data.front() = first;
  data.back() = last;
  return hex(head) + varLen(size) + data;
}

// One track in; the result, messages and output expected. A track that comes out unchanged must
// come out byte for byte as it went in, so its output is not listed.
struct Case {
  std::string name;
  Bytes events;
  int result;
  std::string messages;
  Bytes output = {};
  int32_t length = -1;  // of the track; -1 for all the events
};

void expectRepairs(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EngineRun run = repairTrack(c.events, c.length);
    EXPECT_EQ(c.messages, run.messages);
    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(c.result == REPAIR_UNCHANGED ? c.events : c.output, run.output);
  }
}

}  // namespace

using TrackEvents = EngineTest;

TEST_F(TrackEvents, SoundTrackOfEveryKindIsCopiedUnchanged) {
  // System messages come first: read with a wrong number of data bytes, a byte would stand where
  // a status belongs before any running status.
  const Bytes messages = hex(
      "00 F2 01 02  00 F3 05  00 F6  00 FA 00 FB 00 FC"  // song position, select, tune, start...
      "00 90 3C 40  60 3C 00"                            // running status stays running status
      "00 F8 00 FE 00 3E 40"         // real-time bytes leave running status alone
      "81 80 80 80 A0 3C 85"         // a fourth delta byte ends the quantity; pressure any value
      "80 00 E0 FF FF  00 B0 85 10"  // non-minimal delta kept; bend any; controller unchecked
      "00 C0 05  00 D0 7F  00 FF 01 02 68 69");
  expectRepairs({{"sound", messages + EOT, REPAIR_UNCHANGED, ""}});
}

// Out-of-range values are set in place. An event that cannot be read ends the track: the rest
// counts as lost, and the end of track is judged by the last event with a status.
TEST_F(TrackEvents, DamagedEventsAreRepairedOrEndTheTrack) {
  const Bytes twoNotes = NOTE + hex("00 90 3E 40");
  expectRepairs({
      {"control value", hex("00 B0 07 85") + EOT, REPAIR_CHANGED,
       at("invalid control value used", 9), hex("00 B0 07 7F") + EOT},
      {"program", hex("00 C0 90") + EOT, REPAIR_CHANGED, at("invalid program number changed", 9),
       hex("00 C0 00") + EOT},
      {"aftertouch", hex("00 D3 FF") + EOT, REPAIR_CHANGED,
       at("invalid aftertouch command changed", 9), hex("00 D3 7F") + EOT},
      {"running status: the byte before the data", hex("00 B0 07 10 00 07 90") + EOT,
       REPAIR_CHANGED, at("invalid control value used", 0x0C), hex("00 B0 07 10 00 07 7F") + EOT},
      {"note velocity", NOTE + hex("00 90 3C 80") + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 0x0D) + lost(8) + MISSING, NOTE + EOT},
      {"note in running status", NOTE + hex("00 3C 80") + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 0x0C) + lost(7) + MISSING, NOTE + EOT},
      {"note off key", hex("00 80 80 00") + EOT, REPAIR_CHANGED,
       at("removing invalid note command", 9) + lost(8) + MISSING, EOT},
      {"data byte first", hex("00 3C 40") + EOT, REPAIR_CHANGED,
       at("removing invalid midi command", 9) + lost(7) + MISSING, EOT},
      {"delta cut off", NOTE + hex("81"), REPAIR_CHANGED,
       at("removing incomplete midi command", 0x0C) + lost(1) + MISSING, NOTE + EOT},
      {"cut off by the track length", twoNotes, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x0C) + lost(3) + MISSING, NOTE + EOT, 7},
      {"cut off by the end of the file", twoNotes, REPAIR_CHANGED,
       at("removing incomplete midi command", 0x10) + lost(8) + MISSING, twoNotes + EOT, 16},
      {"stray byte after the end", NOTE + EOT + hex("00"), REPAIR_CHANGED,
       at("removing incomplete midi command", 0x10) + lost(1), NOTE + EOT},
      {"note after the end", EOT + NOTE, REPAIR_CHANGED, MISSING, EOT + NOTE + EOT},
      {"empty track", {}, REPAIR_CHANGED, MISSING, EOT},
  });
  for (uint8_t status : {0xF1, 0xF4, 0xF5, 0xF7, 0xF9, 0xFD}) {
    char what[32];
    snprintf(what, sizeof what, "removing invalid command %02X", status);
    expectRepairs({{what, NOTE + Bytes{0, status, 1} + EOT, REPAIR_CHANGED,
                    at(what, 0x0D) + lost(7) + MISSING, NOTE + EOT}});
  }
}

TEST_F(TrackEvents, Format1ChannelWarningComesOncePerTrack) {
  const Bytes events = NOTE + hex("00 91 3C 40  00 80 3C 00  00 81 3C 00") + EOT;
  expectRepairs({{"format 1", events, REPAIR_UNCHANGED,
                  "in.mid: Warning - format 1 track contains different channel commands\n"}});
  trackSettings.midiType = 0;
  expectRepairs({{"format 0", events, REPAIR_UNCHANGED, ""}});
  trackSettings.tracksOnly = true;
  expectRepairs({{"tracks only", hex("00 3C 40 F1 00 F0 7F"), REPAIR_UNCHANGED, ""}});
}

TEST_F(TrackEvents, IncompleteSysexIsRemovedUpToItsFirstF7) {
  // Too large for the buffer: its 2000th data byte is the last 00 of the end of track.
  const Bytes rest = NOTE + bigEvent("00 FF 01", 1985, 'a', 'z') + EOT;
  expectRepairs({
      {"no F7 at the end", hex("00 F0 03 01 02 03") + NOTE + EOT, 1, REMOVED, NOTE + EOT},
      {"F7 before the declared end", hex("00 F0 0A 01 02 F7") + NOTE + EOT, 1, REMOVED, NOTE + EOT},
      {"length 0", hex("00 F0 00") + NOTE + EOT, 1, REMOVED, NOTE + EOT},
      {"past the track, F7 last", hex("00 F0 7F 01 02 F7"), 1, REMOVED + lost(6) + MISSING, EOT},
      {"past the track, no F7", hex("00 F0 7F 01 02 03"), 1, REMOVED + MISSING, EOT},
      {"ends the track", hex("00 F0 03 01 02 F7"), 1, MISSING, hex("00 F0 03 01 02 F7") + EOT},
      {"past the end of the file", hex("00 F0 05 01 02"), 1, REMOVED + lost(8) + MISSING, EOT, 8},
      {"length cut off", hex("00 F0 81"), 1,
       at("removing incomplete midi command", 8) + REMOVED + lost(3) + MISSING, EOT},
      {"large", hex("00 F0") + varLen(2000) + hex("01 F7") + rest, 1, REMOVED, rest},
  });
}

// Delta time 81 00, F0 and two length bytes: 1019 data bytes fill the buffer exactly, one more is
// streamed. An end of track meta event is taken as it stands, with data or streamed.
TEST_F(TrackEvents, BufferedSysexIsRepairedAndStreamedEventsPassAsTheyAre) {
  const Bytes before = NOTE + hex("00 3C 00");  // running status carries over the event
  const Bytes after = hex("00 3E 40") + EOT;
  const std::string OUT_OF_RANGE_90 = "in.mid: Warning - sysex contains byte out of range 90\"\n";
  expectRepairs({
      {"bit 7 cleared, from 80 on", hex("00 F0 04 41 80 12 F7") + EOT, REPAIR_CHANGED,
       "in.mid: Warning - sysex contains byte out of range 80\"\n",
       hex("00 F0 04 41 00 12 F7") + EOT},
      {"F0 and F7 allowed", hex("00 F0 04 7E F0 7F F7") + EOT, REPAIR_UNCHANGED, ""},
      {"fits the buffer", before + bigEvent("81 00 F0", 1019, 0x90, 0xF7) + after, 1,
       OUT_OF_RANGE_90, before + bigEvent("81 00 F0", 1019, 0x10, 0xF7) + after},
      {"streamed", before + bigEvent("81 00 F0", 1020, 0x90, 0xF7) + after, 0, ""},
      {"streamed, no F7", NOTE + bigEvent("00 F0", 2000, 0x00, 0x01) + EOT, 1, REMOVED, NOTE + EOT},
      {"streamed text", NOTE + bigEvent("00 FF 01", 2000, 'a', 'z') + EOT, 0, ""},
      {"streamed past the block",
       before + bigEvent("00 FF 01", 70000, 'a', 'z') + bigEvent("00 F0", 70000, 0x90, 0xF7) +
           after,
       0, ""},
      {"end of track with data", NOTE + hex("00 FF 2F 01 00"), REPAIR_UNCHANGED, ""},
      {"streamed end of track", NOTE + bigEvent("00 FF 2F", 2000, 0x00, 0x00), 0, ""},
      {"meta past the track", NOTE + hex("00 FF 01 05 61"), 1, lost(5) + MISSING, NOTE + EOT},
  });
}

TEST_F(TrackEvents, EventWithinTwelveTicksOfGmOnIsWarnedAboutOnce) {
  // A meta event and a clock 1 and 2 ticks after each GM ON: a note 13 ticks after the first is
  // not warned about, one 12 ticks after the second is.
  const Bytes quiet = hex("01 FF 01 00 01 F8");
  expectRepairs({
      {"meta and clock pass",
       GM_ON + quiet + hex("0B 90 3C 40") + GM_ON + quiet + hex("0A 90 3C 00 00 90 3C 00") + EOT,
       REPAIR_UNCHANGED, PAUSE},
      {"same tick twice", GM_ON + GM_ON + NOTE + EOT, REPAIR_UNCHANGED, PAUSE + PAUSE},
      {"other device", hex("00 F0 05 7E 10 09 01 F7") + NOTE + EOT, REPAIR_UNCHANGED, ""},
      {"longer message", hex("00 F0 06 7E 7F 09 01 F7 F7") + NOTE + EOT, REPAIR_UNCHANGED, ""},
      {"rejected data byte", GM_ON + hex("00 3C"), REPAIR_CHANGED,
       PAUSE + at("removing invalid midi command", 0x11) + lost(2) + MISSING, GM_ON + EOT},
      {"13 ticks later", GM_ON + hex("0D 90 3C 40") + EOT, REPAIR_UNCHANGED, ""},
      {"still pending in the next track", hex("05 90 3C 40") + EOT, REPAIR_UNCHANGED, PAUSE},
  });
}

// Tracks of every kind of event in random order, long enough to cross the borders of the block
// in which a track is read at every kind of event: they pass byte for byte, and a value to
// repair, an incomplete event to remove or a pending GM ON message is found wherever it stands.
TEST_F(TrackEvents, LongTracksAreReadAcrossBlockBorders) {
  // Every channel message has two data bytes, so that running status fits behind any of them.
  // Every delta time is 1: the third one ends at its fourth byte, bit 7 and all.
  const Bytes kinds[] = {hex("01 90 3C 40"), hex("01 3C 00"), hex("80 80 80 81 B0 07 10"),
                         hex("01 E0 00 40"), hex("01 F8"),    hex("01 A0 3C 7F")};
  std::mt19937 random(3);
  for (int round = 0; round < 6; ++round) {
    Bytes events = NOTE;
    std::vector<size_t> controls;  // offsets of the control values in events
    std::vector<int32_t> ticks;    // of the events with a delta time of 1, from 1 on
    Bytes withRemovals = events;   // an incomplete system exclusive event before every 7th event
    std::string removals;
    while (events.size() < 150000) {
      if (ticks.size() % 7 == 0) {
        withRemovals += hex("00 F0 03 01 02 03");
        removals += REMOVED;
      }
      const size_t eventStart = events.size();
      const int kind = int(random() % 9);
      if (kind < 6) {
        events += kinds[kind];
        ticks.push_back(int32_t(ticks.size()) + 1);
        if (kind == 2) {
          controls.push_back(events.size() - 1);
        }
      } else {
        const uint32_t size = random() % 1100 + 1;
        events +=
            kind == 6 ? bigEvent("00 F0", size, 0x01, 0xF7) : bigEvent("00 FF 01", size, 0, 0);
      }
      withRemovals.insert(withRemovals.end(), events.begin() + long(eventStart), events.end());
    }
    events += EOT;
    withRemovals += EOT;
    Bytes damaged = events;
    const size_t value = controls[random() % controls.size()];
    damaged[value] = 0x85;
    Bytes repaired = events;
    repaired[value] = 0x7F;
    expectRepairs({{"sound", events, REPAIR_UNCHANGED, ""},
                   {"value", damaged, 1, at("invalid control value used", 6 + value), repaired},
                   {"removals", withRemovals, 1, removals, events}});

    trackSettings.gmOnTick = ticks[ticks.size() / 2] - int32_t(random() % 13);
    EXPECT_EQ(PAUSE, repairTrack(events).messages);
    EXPECT_EQ(-1, trackSettings.gmOnTick);
  }
}
