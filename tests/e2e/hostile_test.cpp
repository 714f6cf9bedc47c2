// Hostile inputs through the real binary: lengths that lie, events that never end, tags repeated
// by the thousand, bytes that mean nothing, and output names that lead back to the input. Each
// run must end with its report and exit status; the harness checks the input unchanged.
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

using Files = std::map<std::string, Bytes>;

const std::string REPAIRED = "in.mid contains errors. Fixed output written to seqmend.mid\n";
const std::string NO_MIDI_DATA = "in.mid: No midi data found.\n";
const std::string EOT_ADDED = "in.mid: Missing end of track added.\n";

const Bytes FIELDS = uint16BE(1) + uint16BE(2) + uint16BE(480);
const Bytes TRACK_A = trackChunk(soundTrackEvents(2));
const Bytes TRACK_B = trackChunk(soundTrackEvents(3));
const Bytes SOUND = smfHeader(1, 2, 480) + TRACK_A + TRACK_B;
const Bytes ONE_NOTE = noteOn(0, 0, 0x3C, 0x40) + noteOff(0x60, 0, 0x3C);  // 8 bytes

// A format 0 file of one track holding `events`, its length field right.
Bytes format0(const Bytes& events) { return smfHeader(0, 1, 480) + trackChunk(events); }

// Every LF byte written as CR LF, as a text-mode transfer does.
Bytes crLfDamaged(const Bytes& bytes) {
  Bytes damaged;
  for (const uint8_t byte : bytes) {
    if (byte == 0x0A) {
      damaged.push_back(0x0D);
    }
    damaged.push_back(byte);
  }
  return damaged;
}

std::string repeatedLines(const std::string& line, int count) {
  std::string lines;
  for (int i = 0; i < count; ++i) {
    lines += line;
  }
  return lines;
}

struct HostileCase {
  const char* name;
  Bytes input;
  std::string out;  // the whole of standard output
  Bytes output;     // seqmend.mid as left behind; empty for none
  int status = 0;
  Files extras = {};
};

std::vector<HostileCase> hostileCases() {
  std::vector<HostileCase> cases = {
      {"OnlyTheHeaderTag", text("MThd"), NO_MIDI_DATA, {}, 1},
      {"OnlyGarbage", repeat(0xE5, 3000) + text("MTh MTr SNi SON"), NO_MIDI_DATA, {}, 1},
      {"HeaderLength0", chunkWithLength("MThd", 0, FIELDS) + TRACK_A + TRACK_B,
       "in.mid: length of header updated\n" + REPAIRED, SOUND},
      {"HeaderLength7", chunkWithLength("MThd", 7, FIELDS) + TRACK_A + TRACK_B,
       "in.mid: length of header updated\n" + REPAIRED, SOUND},
      // Fields that cannot be read whole are 0; a division of 0 is repaired.
      {"HeaderBodyCutOff", chunkWithLength("MThd", 6, uint16BE(1)),
       "in.mid: invalid resolution 0 changed to 96\n" + REPAIRED, smfHeader(1, 0, 96)},

      {"TrackLength0BeforeItsEvents",
       smfHeader(1, 2, 480) + chunkWithLength("MTrk", 0, soundTrackEvents(2)) + TRACK_B,
       "in.mid: length of track 1 updated\n" + REPAIRED, SOUND},
      {"EmptyTrack", smfHeader(1, 2, 480) + trackChunk({}) + TRACK_B, EOT_ADDED + REPAIRED,
       smfHeader(1, 2, 480) + trackChunk(END_OF_TRACK) + TRACK_B},
      // The walk stops behind the head of the track it refuses; its body is trailing garbage.
      {"TrackLengthBit31",
       smfHeader(1, 2, 480) + TRACK_A + chunkWithLength("MTrk", 0x80000000, soundTrackEvents(3)),
       "in.mid: 1 track missing\nin.mid: number of tracks updated: 1\n"
       "in.mid: remove garbage at end of midi (28 bytes)\n" +
           REPAIRED,
       smfHeader(1, 1, 480) + TRACK_A},
      {"TrackLengthPastTheEndOfTheFile",
       smfHeader(1, 2, 480) + TRACK_A + chunkWithLength("MTrk", 0x7FFFFFFF, soundTrackEvents(3)),
       "in.mid: length of track 2 updated\n" + REPAIRED, SOUND},

      // The fourth byte of a delta time ends it, whatever its bit 7 says.
      {"DeltaTimeOfFourBytesWithBit7",
       format0(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x3C, 0x40} + END_OF_TRACK),
       "in.mid is ok.\n",
       {}},
      {"TrackEndsAfterSuchADeltaTime", format0(ONE_NOTE + Bytes{0xFF, 0xFF, 0xFF, 0xFF}),
       "in.mid: removing incomplete midi command at 0000001E\n"
       "in.mid: Warning - 4 bytes lost.\n" +
           EOT_ADDED + REPAIRED,
       format0(ONE_NOTE + END_OF_TRACK)},
      // With no F7 behind it, the event takes the rest of the track, end of track included.
      {"SysexLength0FFFFFFF",
       format0(ONE_NOTE + Bytes{0x00, 0xF0, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x02} + ONE_NOTE +
               END_OF_TRACK),
       "in.mid: remove incomplete sysex command\n" + EOT_ADDED + REPAIRED,
       format0(ONE_NOTE + END_OF_TRACK)},
      {"MetaLengthPastTheEndOfTheFile",
       format0(ONE_NOTE + Bytes{0x00, 0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0x7F} + text("abc")),
       "in.mid: Warning - 10 bytes lost.\n" + EOT_ADDED + REPAIRED,
       format0(ONE_NOTE + END_OF_TRACK)},

      // A sound file sent through a text-mode transfer: the hint follows the verdict.
      {"CrLfDamage",
       crLfDamaged(format0(Bytes{0x00, 0x90, 0x3C, 0x0A, 0x0A, 0x80, 0x3C, 0x00} + END_OF_TRACK)),
       "in.mid: length of track 1 updated\n"
       "in.mid: removing incomplete midi command at 00000021\n"
       "in.mid: Warning - 3 bytes lost.\n" +
           EOT_ADDED + REPAIRED +
           "if the results are not sufficient then try eolmend,\n"
           "because this file might contain cr/lf problems\n",
       // Read as note on, running status, a two-byte delta time, running status again.
       smfHeader(0, 1, 480) +
           trackChunk(Bytes{0x00, 0x90, 0x3C, 0x0D, 0x0A, 0x0D, 0x0A, 0x80, 0x3C, 0x00, 0x00} +
                      END_OF_TRACK)},
  };

  // Tags and nothing else: the first is the header, its fields are tag bytes, the rest garbage.
  Bytes tags;
  for (int i = 0; i < 10000; ++i) {
    tags += text("SONG");
  }
  cases.push_back({"TenThousandForeignTags", tags,
                   "in.mid: SONG changed to MThd\nin.mid: length of header updated\n"
                   "in.mid: invalid version 21327 changed to 1\nin.mid: 20039 tracks missing\n"
                   "in.mid: number of tracks updated: 0\n"
                   "in.mid: remove garbage at end of midi (39986 bytes)\n" +
                       REPAIRED,
                   chunk("MThd", uint16BE(1) + uint16BE(0) + text("SO"))});

  // Fifty foreign headers in a row: the first is the file, every other one an extra file.
  const Bytes fieldsOnly = chunk("SNio", uint16BE(0) + uint16BE(1) + uint16BE(96));
  HostileCase headers = {"FiftyForeignHeaders",
                         {},
                         "in.mid: SNio changed to MThd\nin.mid: 1 track missing\n"
                         "in.mid: number of tracks updated: 0\n",
                         smfHeader(0, 0, 96)};
  for (int i = 0; i < 50; ++i) {
    headers.input += fieldsOnly;
    if (i > 0) {
      const std::string extra = "extra" + std::to_string(i) + ".mid";
      headers.out += "in.mid: Extra midi file found. Written to " + extra + "\n";
      headers.extras[extra] = fieldsOnly;
    }
  }
  headers.out += REPAIRED;
  cases.push_back(headers);

  // 100,000 tracks of length 0; the count field keeps the low 16 bits of the count.
  HostileCase empty = {"HundredThousandEmptyTracks", smfHeader(1, 0xFFFF, 96),
                       repeatedLines(EOT_ADDED, 100000) +
                           "in.mid: 34465 new tracks found\n"
                           "in.mid: number of tracks updated: 100000\n" +
                           REPAIRED,
                       smfHeader(1, 100000 & 0xFFFF, 96)};
  for (int i = 0; i < 100000; ++i) {
    empty.input += trackChunk({});
    empty.output += trackChunk(END_OF_TRACK);
  }
  cases.push_back(empty);
  return cases;
}

TEST(Hostile, EachInputEndsWithItsReport) {
  for (const HostileCase& c : hostileCases()) {
    SCOPED_TRACE(c.name);
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", c.input}});
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.status, run.status);
    Files expected = c.extras;
    expected["in.mid"] = c.input;
    if (!c.output.empty()) {
      expected["seqmend.mid"] = c.output;
    }
    EXPECT_EQ(expected, run.files);
  }
}

// Spellings of the input's own name as the output, beyond those of the command line's tests.
TEST(Hostile, OutputLeadingBackToTheInputIsRefused) {
  const Bytes input = smfHeader(0, 1, 480) + trackChunk(ONE_NOTE);  // needs a repair
  const struct {
    const char* name;
    std::function<std::string(Sandbox&)> output;  // makes what it needs, gives the output name
    int error;
  } cases[] = {
      {"absolute path", [](Sandbox& box) { return box.path("in.mid"); }, EACCES},
      {"through a link to the folder",
       [](Sandbox& box) {
         symlink(".", box.path("here").c_str());
         return std::string("here/here/in.mid");
       },
       EACCES},
      {"symbolic link to a hard link",
       [](Sandbox& box) {
         link(box.path("in.mid").c_str(), box.path("hard.mid").c_str());
         symlink("hard.mid", box.path("soft.mid").c_str());
         return std::string("soft.mid");
       },
       EACCES},
      {"name with a trailing slash", [](Sandbox&) { return std::string("in.mid/"); }, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("in.mid", input);
    const std::string output = c.output(box);
    const RunResult before = box.contents();
    const RunResult run = box.run({"in.mid", output});
    EXPECT_EQ("", run.out);
    EXPECT_EQ(output + ": " + std::strerror(c.error) + "\n", run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(before.files, run.files);
    EXPECT_EQ(before.otherNodes, run.otherNodes);
  }
}

}  // namespace
