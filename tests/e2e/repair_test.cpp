// Whole files through the real binary: one crafted damage per case, or a hostile input (lengths
// that lie, events that never end, tags by the thousand), with the exact stdout, exit status,
// repaired output and extra files; each repaired output is run again. Then names that the run
// must refuse. The harness checks every input unchanged after every run.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

using Files = std::map<std::string, Bytes>;

const std::string FIXED = "in.mid contains errors. Fixed output written to seqmend.mid\n";
const std::string OK = "in.mid is ok.\n";
const std::string NO_MIDI = "in.mid: No midi data found.\n";
const std::string EOT_ADDED = "in.mid: Missing end of track added.\n";

// Tracks of different lengths, so that a swapped or merged track cannot pass.
const Bytes TRACK_A = trackChunk(soundTrackEvents(2));
const Bytes TRACK_B = trackChunk(soundTrackEvents(3));
const Bytes TRACK_C = trackChunk(soundTrackEvents(1));
const Bytes FIELDS = uint16BE(1) + uint16BE(2) + uint16BE(480);
const Bytes SOUND = smfHeader(1, 2, 480) + TRACK_A + TRACK_B;
const Bytes THREE_TRACKS = TRACK_A + TRACK_B + TRACK_C;
const Bytes ONE_NOTE = noteOn(0, 0, 0x3C, 0x40) + noteOff(0x60, 0, 0x3C);  // 8 bytes

// Further files that may stand behind the main one.
const Bytes SECOND = smfHeader(0, 1, 96) + trackChunk(soundTrackEvents(1));
const Bytes THIRD = smfHeader(1, 1, 240) + trackChunk(soundTrackEvents(5));
// One byte more than the 6 fields, so the search for headers does not take it for one.
const Bytes LENGTH_7_FILE = chunk("MThd", FIELDS + Bytes{0x00}) + TRACK_C;
const Bytes SNIO_FIELDS = chunk("SNio", uint16BE(0) + uint16BE(1) + uint16BE(96));

// 13 note pairs with the end of track cut off: untagged track data.
const Bytes LOST_NOTES = [] {
  Bytes events = soundTrackEvents(13);
  events.resize(events.size() - END_OF_TRACK.size());
  return events;
}();
// A sound note pair sent through a text-mode transfer: each 0A gained a 0D before it.
const Bytes CRLF_NOTES = {0x00, 0x90, 0x3C, 0x0D, 0x0A, 0x0D, 0x0A, 0x80, 0x3C, 0x00};

Bytes format0(const Bytes& events) { return smfHeader(0, 1, 480) + trackChunk(events); }

// The reports of extra1.mid to extra<n>.mid.
std::string extraLines(int n, const std::string& input = "in.mid") {
  std::string lines;
  for (int i = 1; i <= n; ++i) {
    lines += input + ": Extra midi file found. Written to extra" + std::to_string(i) + ".mid\n";
  }
  return lines;
}

struct Case {
  const char* name;
  Bytes input;
  std::string out;                 // stdout before the verdict
  Bytes output = {};               // seqmend.mid as left behind; empty for none
  std::string rerun = "";          // stdout of a run on the repaired output, before the verdict
  std::string hint = "";           // stdout after the verdict
  int status = 0;                  // 1: no verdict
  std::vector<Bytes> extras = {};  // extra1.mid, extra2.mid, ...
};

std::string verdict(const std::string& out, bool fixed) { return out + (fixed ? FIXED : OK); }

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

void expectCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", c.input}});
    EXPECT_EQ(c.status == 0 ? verdict(c.out, !c.output.empty()) + c.hint : c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.status, run.status);
    Files files = {{"in.mid", c.input}};
    for (size_t i = 0; i < c.extras.size(); ++i) {
      files["extra" + std::to_string(i + 1) + ".mid"] = c.extras[i];
    }
    if (!c.output.empty()) {
      files["seqmend.mid"] = c.output;
      const RunResult again = runSeqmend({"in.mid"}, {{"in.mid", c.output}});
      EXPECT_EQ(verdict(c.rerun, !c.rerun.empty()), again.out) << "run again";
      EXPECT_EQ(0, again.status) << "run again";
    }
    EXPECT_EQ(files, run.files);
  }
}

TEST(Repair, EachDamageIsReportedAndRepaired) {
  expectCases({
      // Chunk lengths: settled from the landmarks ahead, whatever the field says.
      {"TrackLengthsTooLargeAndTooSmall",
       smfHeader(1, 3, 480) + chunkWithLength("MTrk", 1000, soundTrackEvents(2)) +
           chunkWithLength("MTrk", 0, soundTrackEvents(3)) +
           chunkWithLength("MTrk", 0x7FFFFFFF, soundTrackEvents(1)),
       "in.mid: length of track 1 updated\nin.mid: length of track 2 updated\n"
       "in.mid: length of track 3 updated\n",
       smfHeader(1, 3, 480) + THREE_TRACKS},
      {"HeaderLength8WithSurplusIsSound",
       chunk("MThd", FIELDS + Bytes{0xAB, 0xCD}) + TRACK_A + TRACK_B, ""},
      {"HeaderLengthBit31", chunkWithLength("MThd", 0x80000006, FIELDS) + TRACK_A + TRACK_B,
       "in.mid: length of header updated\n", SOUND},
      // The division is read from the "MT" of the track tag; the header is written with 6 bytes.
      {"HeaderStoredAndSettledLength4",
       chunkWithLength("MThd", 4, uint16BE(1) + uint16BE(1)) + TRACK_A,
       "in.mid: length of header updated\n", smfHeader(1, 1, 0x4D54) + TRACK_A},
      // Fields that cannot be read whole are 0; a division of 0 is repaired.
      {"HeaderBodyCutOff", chunkWithLength("MThd", 6, uint16BE(1)),
       "in.mid: invalid resolution 0 changed to 96\n", smfHeader(1, 0, 96)},
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
       smfHeader(1, 3, 480) + THREE_TRACKS},

      // Lost track heads. The rebuilt track is a raw copy, so its missing end of track is only
      // added when the repaired file is run again.
      {"Format0LostHeadRebuiltBehindJunk", smfHeader(0, 1, 480) + repeat(0x7F, 20) + LOST_NOTES, "",
       format0(LOST_NOTES), EOT_ADDED},
      {"Format1LostHeadBecomesHeaderSurplus", smfHeader(1, 1, 480) + soundTrackEvents(2),
       "in.mid: length of header updated\nin.mid: 1 track missing\n"
       "in.mid: number of tracks updated: 0\n",
       chunk("MThd", uint16BE(1) + uint16BE(0) + uint16BE(480) + soundTrackEvents(2))},
      {"Format0DataThatParsesNowhere", smfHeader(0, 1, 480) + repeat(0x7F, 150),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 0\n"
       "in.mid: remove garbage at end of midi (150 bytes)\n",
       smfHeader(0, 0, 480)},

      // The count rule and the type rule after the walk.
      {"Format0WithTwoTracksCountedAsOne", smfHeader(0, 1, 480) + TRACK_A + TRACK_B,
       "in.mid: 1 new track found\nin.mid: number of tracks updated: 2\n"
       "in.mid: wrong midi type 0 used together with 2 tracks\nin.mid: midi type updated: 1\n",
       SOUND},

      // Behind the MIDI data: an XF information block is passed over only with 16 bytes left.
      {"XfInfoBlockOf16BytesIsSilent", SOUND + chunk("XFIH", repeat(0x00, 8)), ""},
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

TEST(Hostile, EachInputEndsWithItsReport) {
  expectCases({
      {"OnlyTheHeaderTag", text("MThd"), NO_MIDI, {}, "", "", 1},
      {"HeaderLengthFieldCutOff", text("MThd") + Bytes{0x00, 0x00}, NO_MIDI, {}, "", "", 1},
      {"OnlyGarbage", repeat(0xE5, 3000) + text("MTh MTr SNi SON"), NO_MIDI, {}, "", "", 1},

      // The fourth byte of a delta time ends it, whatever its bit 7 says.
      {"DeltaTimeOfFourBytesWithBit7",
       format0(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x3C, 0x40} + END_OF_TRACK), ""},
      {"TrackEndsAfterSuchADeltaTime", format0(ONE_NOTE + Bytes{0xFF, 0xFF, 0xFF, 0xFF}),
       "in.mid: removing incomplete midi command at 0000001E\nin.mid: Warning - 4 bytes lost.\n" +
           EOT_ADDED,
       format0(ONE_NOTE + END_OF_TRACK)},
      // With no F7 behind it, the event takes the rest of the track, end of track included.
      {"SysexLength0FFFFFFF",
       format0(ONE_NOTE + Bytes{0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x02} + ONE_NOTE +
               END_OF_TRACK),
       "in.mid: remove incomplete sysex command\n" + EOT_ADDED, format0(ONE_NOTE + END_OF_TRACK)},
      {"MetaLengthPastTheEndOfTheFile",
       format0(ONE_NOTE + Bytes{0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F} + text("abc")),
       "in.mid: Warning - 10 bytes lost.\n" + EOT_ADDED, format0(ONE_NOTE + END_OF_TRACK)},
      // CR LF damage, the length field still 12: read as note on, running status, a two-byte
      // delta time, running status again. The hint follows the verdict.
      {"CrLfDamage", smfHeader(0, 1, 480) + chunkWithLength("MTrk", 12, CRLF_NOTES + END_OF_TRACK),
       "in.mid: length of track 1 updated\nin.mid: removing incomplete midi command at 00000021\n"
       "in.mid: Warning - 3 bytes lost.\n" +
           EOT_ADDED,
       format0(CRLF_NOTES + Bytes{0x00} + END_OF_TRACK), "",
       "if the results are not sufficient then try eolmend,\n"
       "because this file might contain cr/lf problems\n"},

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
       smfHeader(0, 0, 96), "", "", 0, std::vector<Bytes>(49, SNIO_FIELDS)},
      // 100,000 tracks of length 0; the count field keeps the low 16 bits of the count, which
      // is what a run on the output finds short.
      {"HundredThousandEmptyTracks", smfHeader(1, 0xFFFF, 96) + times(trackChunk({}), 100000),
       times(EOT_ADDED, 100000) + "in.mid: 34465 new tracks found\n"
                                  "in.mid: number of tracks updated: 100000\n",
       smfHeader(1, 100000 & 0xFFFF, 96) + times(trackChunk(END_OF_TRACK), 100000),
       "in.mid: 65536 new tracks found\nin.mid: number of tracks updated: 100000\n"},
  });
}

// Names that the run refuses, leaving the folder as it was: an extra file's name that denotes
// the input or the main output (opening it would empty the file being read or written), a FIFO
// (the run would block) or a device (it would be written into); and spellings of the input's
// own name as the output, beyond those of the command line's tests. "@/" is the folder's path.
TEST(Hostile, RefusedNamesLeaveTheFolderAsItWas) {
  const auto here = [](Sandbox& box) { return symlink(".", box.path("here").c_str()); };
  const auto softToHard = [](Sandbox& box) {
    return link(box.path("in.mid").c_str(), box.path("hard.mid").c_str()) |
           symlink("hard.mid", box.path("soft.mid").c_str());
  };
  const auto node = [](mode_t mode, dev_t device) {
    return [=](Sandbox& box) { return mknod(box.path("extra1.mid").c_str(), mode, device); };
  };
  const std::string denied = "extra1.mid: Permission denied\n";
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    std::function<int(Sandbox&)> make = [](Sandbox&) { return 0; };
  } cases[] = {
      {{"extra1.mid"}, extraLines(1, "extra1.mid"), denied},
      {{"in.mid", "extra1.mid"}, extraLines(1), denied},
      {{"in.mid"}, extraLines(1), denied, node(S_IFIFO | 0666, 0)},
      {{"in.mid", "@/in.mid"}, "", "@/in.mid: Permission denied\n"},
      {{"in.mid", "in.mid/"}, "", "in.mid/: Is a directory\n"},
      {{"in.mid", "here/here/in.mid"}, "", "here/here/in.mid: Permission denied\n", here},
      {{"in.mid", "soft.mid"}, "", "soft.mid: Permission denied\n", softToHard},
      // Last, as making a device may need privileges: the full device.
      {{"in.mid"}, extraLines(1), denied, node(S_IFCHR | 0666, makedev(1, 7))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back() + " " + c.err);
    Sandbox box;
    box.write(c.args[0], SOUND + SECOND);
    if (c.make(box) != 0) {
      GTEST_SKIP() << "cannot make the node: " << std::strerror(errno);
    }
    const auto atFolder = [&](std::string s) {
      return s.starts_with("@/") ? s.replace(0, 2, box.path("")) : s;
    };
    std::vector<std::string> args;
    std::transform(c.args.begin(), c.args.end(), std::back_inserter(args), atFolder);
    const RunResult before = box.contents();
    const RunResult run = box.run(args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(atFolder(c.err), run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(before.files, run.files);
    EXPECT_EQ(before.otherNodes, run.otherNodes);
  }
}

// A full disk: the second extra file cannot be written whole. The first stays; the cut copy and
// the main output go.
TEST(Repair, ExtraFileThatCannotBeWrittenWholeFailsTheRun) {
  const Bytes large = smfHeader(1, 1, 480) + trackChunk(soundTrackEvents(40));
  ASSERT_LT(SOUND.size(), 200u);
  ASSERT_GT(large.size(), 200u);
  Sandbox sandbox;
  sandbox.write("in.mid", SOUND + SECOND + large);
  sandbox.limitFileSize(200);
  const RunResult run = sandbox.run({"in.mid"});
  EXPECT_EQ(extraLines(2), run.out);
  EXPECT_EQ("extra2.mid: File too large\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ((Files{{"in.mid", SOUND + SECOND + large}, {"extra1.mid", SECOND}}), run.files);
}

}  // namespace
