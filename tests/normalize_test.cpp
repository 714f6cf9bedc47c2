// The normal form (SEQMEND_NORMALIZE) through the C interface: what each change writes and
// reports, that its output is its own normal form, and that without the flag none of it happens.
#include <algorithm>

#include "support/streams.h"

namespace {

EngineRun normalize(const Bytes& input) { return repairFile(input, SEQMEND_NORMALIZE); }

Bytes oneTrack(const Bytes& events) { return smfHeader(0, 1, 96) + trackChunk(events); }

const Bytes NOTE = hex("00 90 3C 40");  // a note on to start a running status
const Bytes NOTE_OFF_RUNNING = hex("10 3C 00");

struct NormalCase {
  const char* name;
  Bytes input;
  Bytes output;
  const char* lines;
};

// Offsets: the header is 14 bytes and a track's head 8, so a track's first event is at 0x16.
const Bytes NOTES_IN_RUNNING_STATUS = times(hex("10 90 3C 40 10 3C 00"), 20);

const NormalCase NORMAL_CASES[] = {
    // Untagged events behind a format 0 header: the ordinary repair copies them as they stand.
    {"lost track head rebuilt with its events repaired",
     smfHeader(0, 1, 96) + hex("00 FF 59 02 0A 00") + NOTES_IN_RUNNING_STATUS,
     oneTrack(NOTES_IN_RUNNING_STATUS + END_OF_TRACK),
     "in.mid: removing key signature out of range at 0000000F\n"
     "in.mid: Missing end of track added.\n"},
    {"header surplus left out",
     chunk("MThd", hex("00 00 00 01 00 60 AB CD")) + trackChunk(NOTE + END_OF_TRACK),
     oneTrack(NOTE + END_OF_TRACK), "in.mid: remove surplus of header (2 bytes)\n"},
    {"pitch bend and key pressure values clamped",
     oneTrack(hex("00 E0 80 40  00 E0 00 FF  00 A0 3C 90") + END_OF_TRACK),
     oneTrack(hex("00 E0 7F 40  00 E0 00 7F  00 A0 3C 7F") + END_OF_TRACK),
     "in.mid: invalid data byte 80 changed to 7F at 00000017\n"
     "in.mid: invalid data byte FF changed to 7F at 0000001B\n"
     "in.mid: invalid data byte 90 changed to 7F at 0000001F\n"},
    {"key pressure on no key and controller 0x80 left out, their delta times carried",
     oneTrack(NOTE + hex("05 A0 80 10  06 B0 85 10  07 80 3C 00") + END_OF_TRACK),
     oneTrack(NOTE + hex("12 80 3C 00") + END_OF_TRACK),
     "in.mid: removing channel command with data byte 80 at 0000001B\n"
     "in.mid: removing channel command with data byte 85 at 0000001F\n"},
    {"running status after a left-out event of another status written out",
     oneTrack(NOTE + hex("00 A0 80 10  00 3C 00") + END_OF_TRACK),
     oneTrack(NOTE + hex("00 A0 3C 00") + END_OF_TRACK),
     "in.mid: removing channel command with data byte 80 at 0000001B\n"
     "in.mid: running status written out in track 1 (1 event)\n"},
    {"running status across meta and sysex events written out",
     oneTrack(NOTE + textEvent(0, "a") + NOTE_OFF_RUNNING + hex("00 F0 02 01 F7 00 3D 40") +
              END_OF_TRACK),
     oneTrack(NOTE + textEvent(0, "a") + hex("10 90 3C 00  00 F0 02 01 F7  00 90 3D 40") +
              END_OF_TRACK),
     "in.mid: running status written out in track 1 (2 events)\n"},
    {"running status across a system message written out",
     oneTrack(NOTE + hex("00 F8") + NOTE_OFF_RUNNING + END_OF_TRACK),
     oneTrack(NOTE + hex("00 F8  10 90 3C 00") + END_OF_TRACK),
     "in.mid: running status written out in track 1 (1 event)\n"},
    {"meta values out of range left out, the delta times summed",
     oneTrack(hex("01 FF 59 02 0A 00  02 FF 59 02 00 05  03 FF 54 05 00 00 00 18 00"
                  "04 FF 54 05 38 00 00 00 00  05 FF 58 04 00 02 18 08  06 FF 58 04 04 08 18 08"
                  "07 FF 51 03 00 00 00  08 FF 51 02 07 A1  09 FF 00 01 05  0A FF 20 00") +
              hex("0B 90 3C 40") + END_OF_TRACK),
     oneTrack(hex("42 90 3C 40") + END_OF_TRACK),
     "in.mid: removing key signature out of range at 00000017\n"
     "in.mid: removing key signature out of range at 0000001D\n"
     "in.mid: removing SMPTE offset out of range at 00000023\n"
     "in.mid: removing SMPTE offset out of range at 0000002C\n"
     "in.mid: removing time signature out of range at 00000035\n"
     "in.mid: removing time signature out of range at 0000003D\n"
     "in.mid: removing invalid tempo at 00000045\n"
     "in.mid: removing invalid tempo at 0000004C\n"
     "in.mid: removing too short meta event 00 at 00000052\n"
     "in.mid: removing too short meta event 20 at 00000057\n"},
    {"meta values at the ends of their ranges kept",
     oneTrack(hex("00 FF 59 02 F9 01  00 FF 59 02 07 00  00 FF 54 05 D7 3B 3B 1D 63"
                  "00 FF 54 05 17 00 00 17 00  00 FF 58 04 01 07 00 00  00 FF 51 03 00 00 01"
                  "00 FF 00 00  00 FF 00 02 00 01  00 FF 20 01 0F") +
              END_OF_TRACK),
     {},
     ""},
    {"end of track with data written empty", oneTrack(NOTE + hex("00 FF 2F 01 00")),
     oneTrack(NOTE + END_OF_TRACK), "in.mid: data of end of track removed at 0000001B\n"},
    {"end of track before the end left out, the events after it kept",
     oneTrack(NOTE + hex("05 FF 2F 01 00  03 80 3C 00") + END_OF_TRACK),
     oneTrack(NOTE + hex("08 80 3C 00") + END_OF_TRACK),
     "in.mid: removing end of track before the end at 0000001B\n"},
    {"the end of track appended carries the delta time of a meta event left out",
     oneTrack(NOTE + hex("20 FF 51 03 00 00 00")), oneTrack(NOTE + hex("20 FF 2F 00")),
     "in.mid: removing invalid tempo at 0000001B\n"
     "in.mid: Missing end of track added.\n"},
    {"F0 and F7 inside sysex data cleared, a leading F0 and the closing F7 kept",
     oneTrack(hex("00 F0 06 F0 01 F7 F0 02 F7") + END_OF_TRACK),
     oneTrack(hex("00 F0 06 F0 01 77 70 02 F7") + END_OF_TRACK),
     "in.mid: sysex byte F7 changed to 77 at 00000017\n"
     "in.mid: sysex byte F0 changed to 70 at 00000017\n"},
    {"a sysex streamed past the block takes the delta time of the event left out before it",
     oneTrack(hex("05 FF 51 03 00 00 00  06 F0") + varLen(70000) + repeat(0x11, 69999) + hex("F7") +
              END_OF_TRACK),
     oneTrack(hex("0B F0") + varLen(70000) + repeat(0x11, 69999) + hex("F7") + END_OF_TRACK),
     "in.mid: removing invalid tempo at 00000017\n"},
};

// Each change is written and reported; its output is its own normal form; without the flag none
// of the normal form's findings appears.
TEST(NormalForm, EachChangeIsWrittenAndReportedOnceAndOnlyWithTheFlag) {
  for (const NormalCase& c : NORMAL_CASES) {
    SCOPED_TRACE(c.name);
    const EngineRun run = normalize(c.input);
    const bool unchanged = c.output.empty();
    EXPECT_EQ(unchanged ? SEQMEND_SOUND : SEQMEND_REPAIRED, run.result);
    EXPECT_EQ(c.lines, run.messages);
    EXPECT_EQ(unchanged ? c.input : c.output, run.output);
    const EngineRun twice = normalize(run.output);
    EXPECT_EQ(SEQMEND_SOUND, twice.result);
    EXPECT_EQ("", twice.messages);
    for (unsigned flags : {0u, unsigned(SEQMEND_TRACKS_ONLY)}) {
      const EngineRun plain = repairFile(c.input, flags);
      EXPECT_TRUE(std::none_of(plain.findings.begin(), plain.findings.end(), [](const auto& f) {
        return f.code >= SEQMEND_HEADER_SURPLUS_REMOVED;  // the normal form's own codes
      }));
    }
  }
}

TEST(NormalForm, WithTracksOnlyOnlyTheHeaderIsNormalized) {
  const Bytes events = NOTE + textEvent(0, "a") + NOTE_OFF_RUNNING + END_OF_TRACK;
  const EngineRun run = repairFile(chunk("MThd", hex("00 00 00 01 00 60 00")) + trackChunk(events),
                                   SEQMEND_NORMALIZE | SEQMEND_TRACKS_ONLY);
  EXPECT_EQ(SEQMEND_REPAIRED, run.result);
  EXPECT_EQ("in.mid: remove surplus of header (1 byte)\n", run.messages);
  EXPECT_EQ(oneTrack(events), run.output);
}

// Every file of the external corpus: a normal form once written is sound and stays as it is, and
// the normal form fails only where the ordinary repair does.
TEST(NormalForm, CorpusOutputsAreSoundWhenNormalizedAgain) {
  const auto files = realFiles(false);
  if (files.empty()) {
    GTEST_SKIP() << "no corpus beside the checkout";
  }
  for (const auto& [name, input] : files) {
    SCOPED_TRACE(name);
    const EngineRun run = normalize(input);
    if (run.result == SEQMEND_FAILED) {
      EXPECT_EQ(SEQMEND_FAILED, repairFile(input).result);
      continue;
    }
    const EngineRun again = normalize(run.output);
    EXPECT_EQ(SEQMEND_SOUND, again.result) << again.messages;
    EXPECT_EQ(run.output, again.output);
  }
  EXPECT_GT(files.size(), 50u);
}

}  // namespace
