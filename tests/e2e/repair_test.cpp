// Whole-file repairs through the real binary: one crafted damage per case, with the exact stdout,
// the repaired output, the extra files and the exit status; then each repaired output run again.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

using Files = std::map<std::string, Bytes>;

const std::string REPAIRED = "in.mid contains errors. Fixed output written to seqmend.mid\n";
const std::string SOUND = "in.mid is ok.\n";

// Two tracks of different lengths, so that a swapped or merged track cannot pass.
const Bytes TRACK_A = trackChunk(soundTrackEvents(2));
const Bytes TRACK_B = trackChunk(soundTrackEvents(3));
const Bytes TRACK_C = trackChunk(soundTrackEvents(1));
const Bytes HEADER_FIELDS = uint16BE(1) + uint16BE(2) + uint16BE(480);
const Bytes SOUND_FILE = smfHeader(1, 2, 480) + TRACK_A + TRACK_B;
const Bytes THREE_TRACKS = TRACK_A + TRACK_B + TRACK_C;

// Further files that may stand behind the main one.
const Bytes SECOND_FILE = smfHeader(0, 1, 96) + trackChunk(soundTrackEvents(1));
const Bytes THIRD_FILE = smfHeader(1, 1, 240) + trackChunk(soundTrackEvents(5));
const Bytes SONG_FILE = chunk("SONG", HEADER_FIELDS) + TRACK_A + TRACK_B;
// Its header has one byte more than the 6 fields, so the search for headers does not accept it.
const Bytes LENGTH_7_FILE = chunk("MThd", HEADER_FIELDS + Bytes{0x00}) + TRACK_C;

// Note pairs with the end of track cut off: untagged track data of 8 bytes per pair.
Bytes notesWithoutEnd(int pairs) {
  Bytes events = soundTrackEvents(pairs);
  events.resize(events.size() - END_OF_TRACK.size());
  return events;
}

struct RepairCase {
  const char* name;
  Bytes input;
  std::string messages;  // the engine's lines, before the verdict
  Bytes output;          // the repaired file; empty when the input is reported sound
  std::vector<Bytes> extras = {};
  std::string rerunMessages = "";  // what a run on the repaired output reports; "" is "is ok"
};

const std::vector<RepairCase>& repairCases() {
  static const std::vector<RepairCase> cases = {
      // Chunk lengths: settled from the landmarks ahead, whatever the field says.
      {"TrackLengthTooLarge",
       smfHeader(1, 2, 480) + chunkWithLength("MTrk", 1000, soundTrackEvents(2)) + TRACK_B,
       "in.mid: length of track 1 updated\n", SOUND_FILE},
      {"LastTrackLengthTooSmall",
       smfHeader(1, 2, 480) + TRACK_A + chunkWithLength("MTrk", 5, soundTrackEvents(3)),
       "in.mid: length of track 2 updated\n", SOUND_FILE},
      {"HeaderLength8WithSurplusIsSound",
       chunk("MThd", HEADER_FIELDS + Bytes{0xAB, 0xCD}) + TRACK_A + TRACK_B,
       "",
       {}},
      // The division is read from the "MT" of the track tag; the header is written with 6 bytes.
      {"HeaderStoredAndSettledLength4",
       chunkWithLength("MThd", 4, uint16BE(1) + uint16BE(1)) + TRACK_A,
       "in.mid: length of header updated\n", smfHeader(1, 1, 0x4D54) + TRACK_A},
      {"HeaderLength6WithTrack12BytesBehind",
       chunkWithLength("MThd", 6, uint16BE(1) + uint16BE(1)) + TRACK_A,
       "in.mid: length of header updated\n", smfHeader(1, 1, 0x4D54) + TRACK_A},
      {"HeaderLengthBit31", chunkWithLength("MThd", 0x80000006, HEADER_FIELDS) + TRACK_A + TRACK_B,
       "in.mid: length of header updated\n", SOUND_FILE},

      // A track length with bit 31 set ends the walk; the rest is garbage behind the data.
      {"TrackLengthBit31",
       smfHeader(1, 2, 480) + TRACK_A + chunkWithLength("MTrk", 0x80000000, soundTrackEvents(3)),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 1\n"
       "in.mid: remove garbage at end of midi (28 bytes)\n",
       smfHeader(1, 1, 480) + TRACK_A},

      // Stretches with unknown tags between tracks are dropped.
      {"OneByteBetweenTracks", smfHeader(1, 2, 480) + TRACK_A + text("x") + TRACK_B,
       "in.mid: remove garbage at end of track (1 byte)\n", SOUND_FILE},
      {"ThreeBytesBetweenTracks", smfHeader(1, 2, 480) + TRACK_A + text("xyz") + TRACK_B,
       "in.mid: remove garbage at end of track (3 bytes)\n", SOUND_FILE},

      // Lost track heads. The rebuilt track is a raw copy, so its missing end of track is only
      // added when the repaired file is run again.
      {"Format0LostHeadRebuiltBehindJunk",
       smfHeader(0, 1, 480) + repeat(0x7F, 20) + notesWithoutEnd(13),
       "",
       smfHeader(0, 1, 480) + trackChunk(notesWithoutEnd(13)),
       {},
       "in.mid: Missing end of track added.\n"},
      {"Format1LostHeadBecomesHeaderSurplus", smfHeader(1, 1, 480) + soundTrackEvents(2),
       "in.mid: length of header updated\nin.mid: 1 track missing\n"
       "in.mid: number of tracks updated: 0\n",
       chunk("MThd", uint16BE(1) + uint16BE(0) + uint16BE(480) + soundTrackEvents(2))},
      {"Format0DataThatParsesNowhere", smfHeader(0, 1, 480) + repeat(0x7F, 150),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 0\n"
       "in.mid: remove garbage at end of midi (150 bytes)\n",
       smfHeader(0, 0, 480)},

      // The count rule and the type rule after the walk.
      {"TwoTracksMissing", smfHeader(1, 5, 480) + THREE_TRACKS,
       "in.mid: 2 tracks missing\nin.mid: number of tracks updated: 3\n",
       smfHeader(1, 3, 480) + THREE_TRACKS},
      {"OneNewTrackFound", smfHeader(1, 2, 480) + THREE_TRACKS,
       "in.mid: 1 new track found\nin.mid: number of tracks updated: 3\n",
       smfHeader(1, 3, 480) + THREE_TRACKS},
      {"Format0WithThreeTracksCountedAsOne", smfHeader(0, 1, 480) + THREE_TRACKS,
       "in.mid: 2 new tracks found\nin.mid: number of tracks updated: 3\n"
       "in.mid: wrong midi type 0 used together with 3 tracks\nin.mid: midi type updated: 1\n",
       smfHeader(1, 3, 480) + THREE_TRACKS},

      // Behind the MIDI data.
      {"OneTrailingByte", SOUND_FILE + text("x"),
       "in.mid: remove garbage at end of midi (1 byte)\n", SOUND_FILE},
      {"FiveTrailingBytes", SOUND_FILE + text("xxxxx"),
       "in.mid: remove garbage at end of midi (5 bytes)\n", SOUND_FILE},
      {"XfInfoBlockOf40BytesIsSilent", SOUND_FILE + chunk("XFIH", repeat(0x00, 32)), "", {}},
      {"XfInfoBlockOf12BytesAtEndIsGarbage", SOUND_FILE + chunk("XFIH", repeat(0x00, 4)),
       "in.mid: remove garbage at end of midi (12 bytes)\n", SOUND_FILE},
      {"XfInfoBlockBeforeAppendedFile",
       SOUND_FILE + chunk("XFIH", repeat(0x00, 32)) + SECOND_FILE,
       "in.mid: Extra midi file found. Written to extra1.mid\n",
       SOUND_FILE,
       {SECOND_FILE}},

      // Further MIDI files are saved unchanged, numbered from 1.
      {"OneAppendedFile",
       SOUND_FILE + SECOND_FILE,
       "in.mid: Extra midi file found. Written to extra1.mid\n",
       SOUND_FILE,
       {SECOND_FILE}},
      {"TwoAppendedFiles",
       SOUND_FILE + SECOND_FILE + THIRD_FILE,
       "in.mid: Extra midi file found. Written to extra1.mid\n"
       "in.mid: Extra midi file found. Written to extra2.mid\n",
       SOUND_FILE,
       {SECOND_FILE, THIRD_FILE}},
      {"GarbageBeforeAppendedFile",
       SOUND_FILE + text("abc") + SECOND_FILE,
       "in.mid: remove garbage at end of midi (3 bytes)\n"
       "in.mid: Extra midi file found. Written to extra1.mid\n",
       SOUND_FILE,
       {SECOND_FILE}},
      {"ForeignTaggedAppendedFileIsCopiedRaw",
       SOUND_FILE + SONG_FILE,
       "in.mid: Extra midi file found. Written to extra1.mid\n",
       SOUND_FILE,
       {SONG_FILE}},
      {"HeaderLength7StaysInsideExtraFile",
       SOUND_FILE + SECOND_FILE + LENGTH_7_FILE,
       "in.mid: Extra midi file found. Written to extra1.mid\n",
       SOUND_FILE,
       {SECOND_FILE + LENGTH_7_FILE}},
      // A header of length 7 is no header to the search: the walk takes it for a track (its body
      // fails at the first status byte) and its track for one more.
      {"HeaderLength7BehindMainFile", smfHeader(1, 1, 480) + TRACK_A + LENGTH_7_FILE,
       "in.mid: removing invalid midi command at 00000033\nin.mid: Warning - 7 bytes lost.\n"
       "in.mid: Missing end of track added.\nin.mid: 2 new tracks found\n"
       "in.mid: number of tracks updated: 3\n",
       smfHeader(1, 3, 480) + TRACK_A + chunk("MThd", END_OF_TRACK) + TRACK_C},

      {"SoundThreeTrackFile", smfHeader(1, 3, 480) + THREE_TRACKS, "", {}},
  };
  return cases;
}

Files expectedFiles(const RepairCase& c) {
  Files files = {{"in.mid", c.input}};
  if (!c.output.empty()) {
    files["seqmend.mid"] = c.output;
  }
  for (size_t i = 0; i < c.extras.size(); ++i) {
    files["extra" + std::to_string(i + 1) + ".mid"] = c.extras[i];
  }
  return files;
}

TEST(Repair, EachDamageIsReportedAndRepaired) {
  for (const RepairCase& c : repairCases()) {
    SCOPED_TRACE(c.name);
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", c.input}});
    EXPECT_EQ(c.messages + (c.output.empty() ? SOUND : REPAIRED), run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(expectedFiles(c), run.files);
  }
}

TEST(Repair, RepairedOutputRunAgain) {
  for (const RepairCase& c : repairCases()) {
    if (c.output.empty()) {
      continue;
    }
    SCOPED_TRACE(c.name);
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", c.output}});
    EXPECT_EQ(c.rerunMessages + (c.rerunMessages.empty() ? SOUND : REPAIRED), run.out);
    EXPECT_EQ(0, run.status);
  }
}

TEST(Repair, HeaderLengthFieldCutOffIsNoMidiData) {
  const Bytes input = text("MThd") + Bytes{0x00, 0x00};
  const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", input}});
  EXPECT_EQ("in.mid: No midi data found.\n", run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ((Files{{"in.mid", input}}), run.files);
}

// An extra file's name that denotes the input or the main output must not be opened for writing:
// that would empty the file being read or written.
TEST(Repair, ExtraNameDenotingInputOrOutputIsRefused) {
  const Bytes input = SOUND_FILE + SECOND_FILE;
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string inputName;
  } cases[] = {{"Input", {"extra1.mid"}, "extra1.mid"},
               {"Output", {"in.mid", "extra1.mid"}, "in.mid"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = runSeqmend(c.args, {{c.inputName, input}});
    EXPECT_EQ(c.inputName + ": Extra midi file found. Written to extra1.mid\n", run.out);
    EXPECT_EQ("extra1.mid: Permission denied\n", run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ((Files{{c.inputName, input}}), run.files);
  }
}

// A FIFO or a device under an extra file's name is refused before it is opened, so the run
// neither blocks on the FIFO nor writes into the device.
void expectExtraNodeRefused(mode_t mode, dev_t device) {
  Sandbox sandbox;
  const Bytes input = SOUND_FILE + SECOND_FILE;
  sandbox.write("in.mid", input);
  if (mknod(sandbox.path("extra1.mid").c_str(), mode, device) != 0) {
    GTEST_SKIP() << "mknod: " << std::strerror(errno);
  }
  const RunResult run = sandbox.run({"in.mid"});
  EXPECT_EQ("in.mid: Extra midi file found. Written to extra1.mid\n", run.out);
  EXPECT_EQ("extra1.mid: Permission denied\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ((Files{{"in.mid", input}}), run.files);
  EXPECT_EQ(std::vector<std::string>{"extra1.mid"}, run.otherNodes);
}

TEST(Repair, ExtraNameThatIsAFifoIsRefusedWithoutBlocking) {
  expectExtraNodeRefused(S_IFIFO | 0666, 0);
}

TEST(Repair, ExtraNameThatIsADeviceIsRefused) {
  expectExtraNodeRefused(S_IFCHR | 0666, makedev(1, 7));  // the full device
}

// A full disk: the second extra file cannot be written whole. The first stays; the cut copy and
// the main output go.
TEST(Repair, ExtraFileThatCannotBeWrittenWholeFailsTheRun) {
  const Bytes large = smfHeader(1, 1, 480) + trackChunk(soundTrackEvents(40));
  const Bytes input = SOUND_FILE + SECOND_FILE + large;
  Sandbox sandbox;
  sandbox.write("in.mid", input);
  sandbox.limitFileSize(200);
  ASSERT_LT(SOUND_FILE.size(), 200u);
  ASSERT_GT(large.size(), 200u);
  const RunResult run = sandbox.run({"in.mid"});
  EXPECT_EQ(
      "in.mid: Extra midi file found. Written to extra1.mid\n"
      "in.mid: Extra midi file found. Written to extra2.mid\n",
      run.out);
  EXPECT_EQ("extra2.mid: File too large\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_EQ((Files{{"in.mid", input}, {"extra1.mid", SECOND_FILE}}), run.files);
}

}  // namespace
