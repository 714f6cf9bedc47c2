// Whole files through the engine: one crafted damage per case, or a hostile input, with the exact
// messages, result, repaired output and extra files, each repaired output checked again; then
// every prefix and many single-byte changes of a sound file.
#include "support/streams.h"

namespace {

// Tracks of different lengths, so that a swapped or merged track cannot pass.
const Bytes TRACK_A = trackChunk(soundTrackEvents(2));
const Bytes TRACK_B = trackChunk(soundTrackEvents(3));
const Bytes TRACK_C = trackChunk(soundTrackEvents(1));
const Bytes FIELDS = uint16BE(1) + uint16BE(2) + uint16BE(480);
const Bytes SOUND = smfHeader(1, 2, 480) + TRACK_A + TRACK_B;
const std::string EOT_ADDED = "in.mid: Missing end of track added.\n";

// Further files that may stand behind the main one.
const Bytes SECOND = smfHeader(0, 1, 96) + trackChunk(soundTrackEvents(1));
const Bytes THIRD = smfHeader(1, 1, 240) + trackChunk(soundTrackEvents(5));
// One byte more than the 6 fields, so the search for headers does not take it for one.
const Bytes LENGTH_7_FILE = chunk("MThd", FIELDS + Bytes{0x00}) + TRACK_C;
const Bytes SNIO_FIELDS = chunk("SNio", uint16BE(0) + uint16BE(1) + uint16BE(96));

// 13 note pairs without an end of track: untagged track data.
const Bytes LOST_NOTES = times(hex("00 90 3C 40 60 80 3C 00"), 13);

std::string extraLines(int n) {
  std::string lines;
  for (int i = 1; i <= n; ++i) {
    lines += "in.mid: Extra midi file found. Written to extra" + std::to_string(i) + ".mid\n";
  }
  return lines;
}

struct Case {
  const char* name;
  Bytes input;
  std::string messages;
  Bytes output = {};       // empty for none, or for the input itself (result 0)
  std::string rerun = "";  // messages of a repair of the output
  int result = REPAIR_CHANGED;
  std::vector<Bytes> extras = {};  // extra1.mid, extra2.mid, ...
};

// The sound file with `between` and then further files behind it, each saved unchanged.
Case appended(const char* name, const Bytes& between, const std::vector<Bytes>& extras,
              const std::string& garbage = "") {
  Case c = {name, SOUND + between, garbage + extraLines(int(extras.size())), SOUND};
  for (const Bytes& extra : extras) {
    c.input += extra;
  }
  c.extras = extras;
  return c;
}

Case sound(const char* name, const Bytes& input) {
  return {name, input, "", {}, "", REPAIR_UNCHANGED};
}

Case failed(const char* name, const Bytes& input) {
  return {name, input, "in.mid: No midi data found.\n", {}, "", REPAIR_FAILED};
}

void expectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EngineRun run = repairFile(c.input);
    EXPECT_EQ(c.messages, run.messages);
    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(c.extras, run.extras);
    if (c.result == REPAIR_UNCHANGED) {
      EXPECT_EQ(c.input, run.output);  // a sound file's bytes come back as they are
    } else if (c.result == REPAIR_CHANGED) {
      EXPECT_EQ(c.output, run.output);
      const EngineRun again = repairFile(run.output);
      EXPECT_EQ(c.rerun, again.messages) << "repaired again";
      EXPECT_EQ(c.rerun.empty() ? REPAIR_UNCHANGED : REPAIR_CHANGED, again.result);
    }
  }
}

}  // namespace

using RepairFile = EngineTest;

TEST_F(RepairFile, EachDamageIsReportedAndRepaired) {
  expectCases({
      sound("Sound", SOUND),
      // Chunk lengths: settled from the landmarks ahead, whatever the field says.
      {"TrackLengthsTooLargeAndTooSmall",
       smfHeader(1, 3, 480) + chunkWithLength("MTrk", 1000, soundTrackEvents(2)) +
           chunkWithLength("MTrk", 0, soundTrackEvents(3)) +
           chunkWithLength("MTrk", 0x7FFFFFFF, soundTrackEvents(1)),
       "in.mid: length of track 1 updated\nin.mid: length of track 2 updated\n"
       "in.mid: length of track 3 updated\n",
       smfHeader(1, 3, 480) + TRACK_A + TRACK_B + TRACK_C},
      sound("HeaderLength8WithSurplus",
            chunk("MThd", FIELDS + Bytes{0xAB, 0xCD}) + TRACK_A + TRACK_B),
      {"HeaderLengthBit31", chunkWithLength("MThd", 0x80000006, FIELDS) + TRACK_A + TRACK_B,
       "in.mid: length of header updated\n", SOUND},
      // The division is read from the "MT" of the track tag; the header is written with 6 bytes.
      {"HeaderStoredAndSettledLength4",
       chunkWithLength("MThd", 4, uint16BE(1) + uint16BE(1)) + TRACK_A,
       "in.mid: length of header updated\n", smfHeader(1, 1, 0x4D54) + TRACK_A},
      // Fields that cannot be read whole are 0; a division of 0 is repaired.
      {"HeaderBodyCutOff", chunkWithLength("MThd", 6, uint16BE(1)),
       "in.mid: invalid resolution 0 changed to 96\n", smfHeader(1, 0, 96)},
      // A format out of range as the only damage still makes a changed file.
      {"FormatOutOfRangeAlone", smfHeader(0xFFFF, 2, 480) + TRACK_A + TRACK_B,
       "in.mid: invalid version 65535 changed to 1\n", SOUND},
      {"ForeignTagsAndFormat",
       chunk("SNio", uint16BE(3) + uint16BE(2) + uint16BE(0)) + TRACK_A + TRACK_B,
       "in.mid: SNio changed to MThd\nin.mid: invalid version 3 changed to 1\n"
       "in.mid: invalid resolution 0 changed to 96\n",
       smfHeader(1, 2, 96) + TRACK_A + TRACK_B},
      // A track length with bit 31 set ends the walk behind its head; the rest is trailing garbage.
      {"TrackLengthBit31",
       smfHeader(1, 2, 480) + TRACK_A + chunkWithLength("MTrk", 0x80000000, soundTrackEvents(3)),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 1\n"
       "in.mid: remove garbage at end of midi (28 bytes)\n",
       smfHeader(1, 1, 480) + TRACK_A},
      // Stretches with unknown tags between tracks are dropped.
      {"GarbageBetweenTracks",
       smfHeader(1, 3, 480) + TRACK_A + text("x") + TRACK_B + text("xyz") + TRACK_C,
       "in.mid: remove garbage at end of track (1 byte)\n"
       "in.mid: remove garbage at end of track (3 bytes)\n",
       smfHeader(1, 3, 480) + TRACK_A + TRACK_B + TRACK_C},
      // Lost track heads. The rebuilt track is a raw copy, so its missing end of track is only
      // added when the repaired file is run again.
      {"Format0LostHeadRebuiltBehindJunk", smfHeader(0, 1, 480) + repeat(0x7F, 20) + LOST_NOTES, "",
       smfHeader(0, 1, 480) + trackChunk(LOST_NOTES), EOT_ADDED},
      {"Format1LostHeadBecomesHeaderSurplus", smfHeader(1, 1, 480) + soundTrackEvents(2),
       "in.mid: length of header updated\nin.mid: 1 track missing\n"
       "in.mid: number of tracks updated: 0\n",
       chunk("MThd", uint16BE(1) + uint16BE(0) + uint16BE(480) + soundTrackEvents(2))},
      {"Format0DataThatParsesNowhere", smfHeader(0, 1, 480) + repeat(0x7F, 150),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 0\n"
       "in.mid: remove garbage at end of midi (150 bytes)\n",
       smfHeader(0, 0, 480)},
      // The count rule and the type rule after the walk, together and the type rule alone.
      {"Format0WithTwoTracks", smfHeader(0, 2, 480) + TRACK_A + TRACK_B,
       "in.mid: wrong midi type 0 used together with 2 tracks\nin.mid: midi type updated: 1\n",
       SOUND},
      {"Format0WithTwoTracksCountedAsOne", smfHeader(0, 1, 480) + TRACK_A + TRACK_B,
       "in.mid: 1 new track found\nin.mid: number of tracks updated: 2\n"
       "in.mid: wrong midi type 0 used together with 2 tracks\nin.mid: midi type updated: 1\n",
       SOUND},
      // Behind the MIDI data: an XF information block is passed over only with 16 bytes left.
      sound("XfInfoBlockOf16BytesIsPassedOver", SOUND + chunk("XFIH", repeat(0x00, 8))),
      {"XfInfoBlockOf15BytesAtEndIsGarbage", SOUND + chunk("XFIH", repeat(0x00, 7)),
       "in.mid: remove garbage at end of midi (15 bytes)\n", SOUND},
      // Further MIDI files are saved unchanged, numbered from 1.
      appended("XfInfoBlockBeforeAppendedFile", chunk("XFIH", repeat(0x00, 32)), {SECOND}),
      appended("TwoAppendedFiles", {}, {SECOND, THIRD}),
      appended("GarbageBeforeAppendedFile", text("x"), {SECOND},
               "in.mid: remove garbage at end of midi (1 byte)\n"),
      appended("ForeignTaggedAppendedFileIsCopiedRaw", {},
               {chunk("SONG", FIELDS) + TRACK_A + TRACK_B}),
      appended("HeaderLength7StaysInsideExtraFile", {}, {SECOND + LENGTH_7_FILE}),
      // A header of length 7 is no header to the search: the walk takes it for a track (its body
      // fails at the first status byte) and its track for one more.
      {"HeaderLength7BehindMainFile", smfHeader(1, 1, 480) + TRACK_A + LENGTH_7_FILE,
       "in.mid: removing invalid midi command at 00000033\nin.mid: Warning - 7 bytes lost.\n" +
           EOT_ADDED + "in.mid: 2 new tracks found\nin.mid: number of tracks updated: 3\n",
       smfHeader(1, 3, 480) + TRACK_A + chunk("MThd", END_OF_TRACK) + TRACK_C},
  });
}

TEST_F(RepairFile, HostileInputsEndWithTheirReport) {
  expectCases({
      failed("Empty", {}),
      failed("OnlyTheHeaderTag", text("MThd")),
      failed("HeaderLengthFieldCutOff", text("MThd") + Bytes{0x00, 0x00}),
      failed("OnlyGarbage", repeat(0xE5, 3000) + text("MTh MTr SNi SON")),
      failed("HeaderLength7AwayFromTheStart", text("x") + LENGTH_7_FILE),
      // Tags and nothing else: the first is the header, its fields are tag bytes, the rest garbage.
      {"TenThousandForeignTags", times(text("SONG"), 10000),
       "in.mid: SONG changed to MThd\nin.mid: length of header updated\n"
       "in.mid: invalid version 21327 changed to 1\nin.mid: 20039 tracks missing\n"
       "in.mid: number of tracks updated: 0\n"
       "in.mid: remove garbage at end of midi (39986 bytes)\n",
       chunk("MThd", uint16BE(1) + uint16BE(0) + text("SO"))},
      // Fifty foreign headers in a row: the first is the file, every other one an extra file.
      {"FiftyForeignHeaders", times(SNIO_FIELDS, 50),
       "in.mid: SNio changed to MThd\nin.mid: 1 track missing\n"
       "in.mid: number of tracks updated: 0\n" +
           extraLines(49),
       smfHeader(0, 0, 96), "", REPAIR_CHANGED, std::vector<Bytes>(49, SNIO_FIELDS)},
      // 100,000 tracks of length 0; the count field keeps the low 16 bits of the count, which
      // is what a run on the output finds short.
      {"HundredThousandEmptyTracks", smfHeader(1, 0xFFFF, 96) + times(trackChunk({}), 100000),
       times(EOT_ADDED, 100000) + "in.mid: 34465 new tracks found\n"
                                  "in.mid: number of tracks updated: 100000\n",
       smfHeader(1, 100000 & 0xFFFF, 96) + times(trackChunk(END_OF_TRACK), 100000),
       "in.mid: 65536 new tracks found\nin.mid: number of tracks updated: 100000\n"},
  });
}

// Whatever is cut off or changed, the engine answers with one of its three results and never
// ends the process, and what it writes it reads again without failing. (A repaired file need not
// come back sound: a delta time FF before running-status data 2F 00 reads as an end of track to
// the landmark search.)
TEST_F(RepairFile, EveryPrefixAndSingleByteChangeIsAnswered) {
  const Bytes file =
      smfHeader(1, 2, 96) +
      trackChunk(hex("00 F0 05 7E 7F 09 02 F7 00 FF 03 01 41 00 B0 07 64") +
                 hex("00 90 3C 40 60 80 3C 00 00 C0 05 00 E0 00 40") + END_OF_TRACK) +
      trackChunk(hex("00 91 3C 40 81 00 3C 00 00 F8") + END_OF_TRACK);
  std::vector<Bytes> inputs;
  for (size_t at = 0; at < file.size(); ++at) {
    inputs.emplace_back(file.begin(), file.begin() + long(at));
    for (const uint8_t value : {0x00, 0x06, 0x0A, 0x7F, 0x80, 0xF0, 0xF7, 0xFF}) {
      inputs.push_back(file);
      inputs.back()[at] = value;
    }
  }
  for (const Bytes& input : inputs) {
    const EngineRun run = repairFile(input);
    ASSERT_TRUE(run.result >= -1 && run.result <= 1) << testing::PrintToString(input);
    if (run.result == REPAIR_CHANGED) {
      ASSERT_NE(REPAIR_FAILED, repairFile(run.output).result) << testing::PrintToString(input);
    }
  }
}
