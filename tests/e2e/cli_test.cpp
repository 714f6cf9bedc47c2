// The command line and the run driver through the built binary: what it prints where, its exit
// status, and the files it leaves. The inputs are checked unchanged after every run.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <functional>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

const std::string USAGE =
    "This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command "
    "line.\nseqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\n"
    "usage: seqmend [-tracksonly] filename.mid [result.mid]\n"
    "-tracksonly\tcheck and repair only track headers\n"
    "if output filename is not given and changes are necessary then\n"
    "output will be written to seqmend.mid\n";

const std::string CR_LF_HINT =
    "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf "
    "problems\n";

// Ten stray bytes in front of a sound file: the only repair is dropping them, silently.
Bytes damagedFile(const Bytes& junk = repeat(0x55, 10)) { return junk + soundFile(); }

// A format 0 file whose one track of `notes` note pairs has lost its end of track event; its
// repair rewrites the track's length, so the last thing done to the output is a seek.
Bytes fileWithoutEndOfTrack(int notes = 1) {
  Bytes events = soundTrackEvents(notes);
  events.resize(events.size() - END_OF_TRACK.size());
  return smfHeader(0, 1, 480) + trackChunk(events);
}

std::string fixed(const std::string& in, const std::string& out) {
  return in + " contains errors. Fixed output written to " + out + "\n";
}

std::string systemError(const std::string& name, int error) {
  return name + ": " + std::strerror(error) + "\n";
}

// True for "Mmm d yyyy": an English month, the day without a leading zero, single blanks.
bool isBuildDate(const std::string& date) {
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  char month[4] = {};
  int day = 0;
  int year = 0;
  if (std::sscanf(date.c_str(), "%3s %d %d", month, &day, &year) != 3) {
    return false;
  }
  const size_t at = months.find(month);
  char rebuilt[32];
  std::snprintf(rebuilt, sizeof rebuilt, "%s %d %04d", month, day, year);
  return std::strlen(month) == 3 && at != std::string::npos && at % 3 == 0 && day >= 1 &&
         day <= 31 && rebuilt == date;
}

// The banner line of this build, its form checked once.
const std::string& banner() {
  static const std::string line = [] {
    const std::string out = runSeqmend({"-v"}).out;
    const std::string first = out.substr(0, out.find('\n') + 1);
    const std::string prefix = "seqmend v1.15 (", suffix = ")\n";
    EXPECT_TRUE(
        first.starts_with(prefix) && first.ends_with(suffix) &&
        isBuildDate(first.substr(prefix.size(), first.size() - prefix.size() - suffix.size())))
        << first;
    return first;
  }();
  return line;
}

// A character device node in the sandbox; false where this machine does not let the tests make
// one that opens for writing.
bool makeCharDevice(Sandbox& box, const std::string& name, unsigned major, unsigned minor) {
  if (mknod(box.path(name).c_str(), S_IFCHR | 0666, makedev(major, minor)) != 0) {
    return false;
  }
  const int fd = open(box.path(name).c_str(), O_WRONLY);
  if (fd >= 0) {
    close(fd);
  }
  return fd >= 0;
}

bool makeSocket(const std::string& path) {
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    return false;
  }
  std::strcpy(address.sun_path, path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  const bool bound =
      fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return bound;
}

void expectNothingChanged(const RunResult& before, const RunResult& after) {
  EXPECT_EQ(before.files, after.files);
  EXPECT_EQ(before.otherNodes, after.otherNodes);
}

TEST(CommandLine, WithoutFileNameShowsUsage) {
  const struct {
    std::vector<std::string> args;
    std::string out, err;
  } cases[] = {
      {{}, banner() + USAGE, ""},
      {{"-version"}, banner() + USAGE, ""},
      {{"-v", "-vx", "-q", "-tracks"}, banner() + banner() + USAGE, ""},
      {{"-Q", "-", "-T", "-quiet"},
       USAGE,
       "Invalid option -Q.\nInvalid option -.\nInvalid option -T.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult run = runSeqmend(c.args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(run.files.empty());
  }
}

TEST(CommandLine, InputNamedLikeTheDefaultOutputIsRefused) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"seqmend.mid"}, {"SEQMEND.MID"}, {"seqmend.mid", "Seqmend.Mid", "x.mid"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult run =
        runSeqmend(args, {{"seqmend.mid", damagedFile()}, {"SEQMEND.MID", damagedFile()}});
    EXPECT_EQ("Cannot write to seqmend.mid. Must specify alternate outputname!\n", run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(2u, run.files.size());
  }
}

// Where options end and which names are taken, seen from a damaged input and its repaired copy.
TEST(CommandLine, OptionsAndNamesOfARepair) {
  const struct {
    std::vector<std::string> args;
    std::string out, err, output;
  } cases[] = {
      {{"in.mid"}, fixed("in.mid", "seqmend.mid"), "", "seqmend.mid"},
      {{"-q", "in.mid", "out.mid", "ignored.mid"}, fixed("in.mid", "out.mid"), "", "out.mid"},
      {{"in.mid", "-quiet"}, fixed("in.mid", "-quiet"), "", "-quiet"},
      {{"-tracksonly", "-x", "in.mid", "out.mid"},
       fixed("in.mid", "out.mid"),
       "Invalid option -x.\n",
       "out.mid"},
      {{"-version", "in.mid", "IN.MID"},
       banner() + "Cannot change input file. Write output to seqmend.mid!\n" +
           fixed("in.mid", "seqmend.mid"),
       "",
       "seqmend.mid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult run = runSeqmend(c.args, {{"in.mid", damagedFile()}});
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ((std::map<std::string, Bytes>{{"in.mid", damagedFile()}, {c.output, soundFile()}}),
              run.files);
  }
}

TEST(CommandLine, TracksOnlyCopiesTheEventsUnchecked) {
  const std::map<std::string, Bytes> input = {{"in.mid", fileWithoutEndOfTrack()}};
  EXPECT_EQ("in.mid is ok.\n", runSeqmend({"-t", "in.mid"}, input).out);
  EXPECT_EQ("in.mid: Missing end of track added.\n" + fixed("in.mid", "seqmend.mid"),
            runSeqmend({"in.mid"}, input).out);
}

// The verdict for each engine result, and which output survives it. A stale file of the output's
// name is there each time: it is truncated, then kept only as the repaired file.
TEST(Run, VerdictsAndOutputs) {
  const Bytes soundWithCrLf =
      smfHeader(0, 1, 480) + trackChunk(textEvent(0, "a\r\nb") + soundTrackEvents(1));
  const struct {
    const char* name;
    Bytes input;
    std::vector<std::string> options;
    std::string out;
    int status;
    bool kept;
  } cases[] = {
      {"sound", soundFile(), {}, "in.mid is ok.\n", 0, false},
      {"sound, quiet", soundFile(), {"-quietly"}, "", 0, false},
      {"sound with CR LF", soundWithCrLf, {}, "in.mid is ok.\n", 0, false},
      {"no MIDI data", {}, {"-q"}, "in.mid: No midi data found.\n", 1, false},
      {"repaired", damagedFile(), {}, fixed("in.mid", "out.mid"), 0, true},
      {"repaired, CR LF after the start",
       damagedFile({0x55, 0x0D, 0x0A}),
       {},
       fixed("in.mid", "out.mid") + CR_LF_HINT,
       0,
       true},
      {"repaired, CR LF at the start",
       damagedFile({0x0D, 0x0A, 0x0D, 0x0A}),
       {},
       fixed("in.mid", "out.mid"),
       0,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("in.mid", c.input);
    box.writeUnwatched("out.mid",
                       text("stale output, longer than the repaired file") + repeat(0xAA, 200));
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"in.mid", "out.mid"});
    const RunResult run = box.run(args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.status, run.status);
    std::map<std::string, Bytes> expected = {{"in.mid", c.input}};
    if (c.kept) {
      expected["out.mid"] = soundFile();
    }
    EXPECT_EQ(expected, run.files);
  }
}

// Every refusal before the engine runs: the report, exit status 1, and the folder as it was.
TEST(Run, RefusedFilesLeaveEverythingAsItWas) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Sandbox&)> setup;
    std::string out, err;
  } cases[] = {
      {"missing input", {"nosuch.mid"}, nullptr, "", systemError("nosuch.mid", ENOENT)},
      {"input is a folder",
       {"dir.mid"},
       [](Sandbox& box) { mkdir(box.path("dir.mid").c_str(), 0755); },
       "",
       systemError("dir.mid", EISDIR)},
      {"input is a FIFO",
       {"fifo.mid"},
       [](Sandbox& box) { mkfifo(box.path("fifo.mid").c_str(), 0644); },
       "",
       systemError("fifo.mid", ESPIPE)},
      {"input of 2 GiB",
       {"big.mid"},
       [](Sandbox& box) {
         box.writeUnwatched("big.mid", {});
         ASSERT_EQ(0, truncate(box.path("big.mid").c_str(), 0x80000000L));  // sparse
       },
       "big.mid: file too large\n",
       ""},
      {"output folder missing",
       {"in.mid", "nodir/out.mid"},
       nullptr,
       "",
       systemError("nodir/out.mid", ENOENT)},
      {"output is a folder",
       {"in.mid", "dir"},
       [](Sandbox& box) { mkdir(box.path("dir").c_str(), 0755); },
       "",
       systemError("dir", EISDIR)},
      {"output is the input by ./",
       {"in.mid", "./in.mid"},
       nullptr,
       "",
       systemError("./in.mid", EACCES)},
      {"output is the input by another folder",
       {"in.mid", "sub/../in.mid"},
       [](Sandbox& box) { mkdir(box.path("sub").c_str(), 0755); },
       "",
       systemError("sub/../in.mid", EACCES)},
      {"output is a hard link to the input",
       {"in.mid", "hard.mid"},
       [](Sandbox& box) { link(box.path("in.mid").c_str(), box.path("hard.mid").c_str()); },
       "",
       systemError("hard.mid", EACCES)},
      {"output is a symbolic link to the input",
       {"in.mid", "soft.mid"},
       [](Sandbox& box) { symlink("in.mid", box.path("soft.mid").c_str()); },
       "",
       systemError("soft.mid", EACCES)},
      {"output is a FIFO",
       {"in.mid", "fifo"},
       [](Sandbox& box) { mkfifo(box.path("fifo").c_str(), 0644); },
       "",
       systemError("fifo", ESPIPE)},
      {"output is a socket",
       {"in.mid", "sock"},
       [](Sandbox& box) { ASSERT_TRUE(makeSocket(box.path("sock"))); },
       "",
       systemError("sock", ESPIPE)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("in.mid", damagedFile());
    box.write("seqmend.mid", text("an earlier output"));
    if (c.setup) {
      c.setup(box);
    }
    const RunResult before = box.contents();
    const RunResult run = box.run(c.args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(1, run.status);
    expectNothingChanged(before, run);
  }
}

TEST(Run, UnreadableInputAndUnwritableOutput) {
  Sandbox box;
  box.write("in.mid", damagedFile());
  box.write("locked.mid", text("kept"));
  chmod(box.path("in.mid").c_str(), 0);
  chmod(box.path("locked.mid").c_str(), 0444);
  if (access(box.path("in.mid").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "this user reads files whatever their permissions";
  }
  const RunResult before = box.contents();
  RunResult run = box.run({"in.mid"});
  EXPECT_EQ(systemError("in.mid", EACCES), run.err);
  EXPECT_EQ(1, run.status);
  chmod(box.path("in.mid").c_str(), 0444);
  run = box.run({"in.mid", "locked.mid"});
  EXPECT_EQ(systemError("locked.mid", EACCES), run.err);
  EXPECT_EQ(1, run.status);
  expectNothingChanged(before, run);
}

// Devices are written in place and never removed: a null device makes a check-only run, a full
// one a run that must not claim success, one that cannot seek back is refused.
TEST(Run, DeviceFiles) {
  Sandbox box;
  if (!makeCharDevice(box, "null", 1, 3) || !makeCharDevice(box, "full", 1, 7)) {
    GTEST_SKIP() << "device nodes cannot be made here";
  }
  box.write("sound.mid", soundFile());
  box.write("bad.mid", damagedFile());
  box.write("noend.mid", fileWithoutEndOfTrack());
  const struct {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  } cases[] = {
      {{"bad.mid", "null"}, fixed("bad.mid", "null"), "", 0},
      {{"sound.mid", "null"}, "sound.mid is ok.\n", "", 0},
      {{"bad.mid", "full"}, "", systemError("full", ENOSPC), 1},
      {{"noend.mid", "full"},
       "noend.mid: Missing end of track added.\n",
       systemError("full", ENOSPC),
       1},
      {{"sound.mid", "full"}, "sound.mid is ok.\n", "", 0},
      {{"null"}, "null: No midi data found.\n", "", 1},
  };
  const RunResult before = box.contents();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const RunResult run = box.run(c.args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.status, run.status);
    expectNothingChanged(before, run);
  }
}

TEST(Run, DeviceThatCannotSeekIsRefused) {
  Sandbox box;
  // The FUSE control device opens for anyone allowed to and has no file positions.
  if (!makeCharDevice(box, "noseek", 10, 229)) {
    GTEST_SKIP() << "no device node without positions can be made here";
  }
  box.write("in.mid", damagedFile());
  const RunResult before = box.contents();
  for (const auto& args : std::vector<std::vector<std::string>>{{"in.mid", "noseek"}, {"noseek"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const RunResult run = box.run(args);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(systemError("noseek", ESPIPE), run.err);
    EXPECT_EQ(1, run.status);
    expectNothingChanged(before, run);
  }
}

// A regular output that could not be written whole is reported and removed, without a verdict,
// also when the failed write was met in a seek and closing the file went well.
TEST(Run, FullDiskRemovesTheIncompleteOutput) {
  const struct {
    Bytes input;
    std::string out;
  } cases[] = {
      {damagedFile(), ""},
      {fileWithoutEndOfTrack(20), "in.mid: Missing end of track added.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    Sandbox box;
    box.write("in.mid", c.input);
    box.limitFileSize(64);
    const RunResult run = box.run({"in.mid", "out.mid"});
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(systemError("out.mid", EFBIG), run.err);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ((std::map<std::string, Bytes>{{"in.mid", c.input}}), run.files);
  }
}

}  // namespace
