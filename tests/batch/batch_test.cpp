// seqmend-batch end to end: every file's verdict and lines are those of seqmend run alone on it,
// the report is JSON Lines that round-trips any name, inputs stay as they were, and a file that
// crashes, hangs, vanishes or is no file at all costs only its own line. Also: the message table
// covers every message format in the sources.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messages.h"
#include "report.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

struct ProgramRun {
  int status = -1;
  std::string out, err;
};

struct Process {
  pid_t pid = -1;
  int out = -1, err = -1;
};

// Starts a program in `cwd` with `env` added, standard input from /dev/null and its output into
// memory files; it is killed after 60 s.
Process start(const std::vector<std::string>& args, const fs::path& cwd,
              const std::vector<std::string>& env = {}) {
  Process process{-1, memfd_create("out", 0), memfd_create("err", 0)};
  process.pid = fork();
  if (process.pid == 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    for (const std::string& setting : env) {
      putenv(const_cast<char*>(setting.c_str()));
    }
    const int in = open("/dev/null", O_RDONLY);
    if (dup2(in, 0) < 0 || dup2(process.out, 1) < 0 || dup2(process.err, 2) < 0 ||
        chdir(cwd.c_str()) != 0) {
      _exit(127);
    }
    alarm(60);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return process;
}

std::string readAll(int fd) {
  std::string text(size_t(lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(ssize_t(text.size()), pread(fd, text.data(), text.size(), 0));
  close(fd);
  return text;
}

ProgramRun finish(const Process& process) {
  ProgramRun run;
  int status = 0;
  EXPECT_EQ(process.pid, waitpid(process.pid, &status, 0));
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = readAll(process.out);
  run.err = readAll(process.err);
  EXPECT_NE(127, run.status) << "could not start the program";
  return run;
}

ProgramRun run(const std::vector<std::string>& args, const fs::path& cwd,
               const std::vector<std::string>& env = {}) {
  return finish(start(args, cwd, env));
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A fresh folder, gone with the object.
struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = fs::temp_directory_path() / "seqmend-batch-test-XXXXXX";
    path = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
  }
};

// Every entry below a folder: its type and, for a file, its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::file_status status = it->symlink_status();
    entries[it->path().lexically_relative(root)] =
        std::to_string(int(status.type())) +
        (status.type() == fs::file_type::regular ? ":" + readFile(it->path()) : "");
  }
  return entries;
}

std::vector<Json> readReport(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(Json::parse(line));
  }
  return lines;
}

// A text field of the report as the bytes it stands for.
std::string bytesOf(const Json& object, const std::string& key,
                    const std::map<std::string, std::string>& byBase64) {
  const auto bytes = object.find(key + "_bytes");
  return bytes == object.end() ? object[key].get<std::string>() : byBase64.at(*bytes);
}

const std::string BATCH = SEQMEND_BATCH_BINARY;
const std::string SEQMEND = SEQMEND_BINARY;
const fs::path EXAMPLES = fs::path(SEQMEND_SOURCE_DIR) / "examples";

// The external corpus, in shared/ beside the checkout or beside its parent; empty if absent.
fs::path corpus() {
  for (const char* place : {"/../shared/corpus-ext", "/../../shared/corpus-ext"}) {
    if (fs::is_directory(SEQMEND_SOURCE_DIR + std::string(place))) {
      return fs::canonical(SEQMEND_SOURCE_DIR + std::string(place));
    }
  }
  return {};
}

// seqmend's stderr lines; the others go to stdout.
bool isStderrCode(const std::string& code) {
  return code == "system-error" || code == "unexpected-end-of-file";
}

// What seqmend alone prints for the file and what it leaves, in a fresh folder.
struct Alone {
  ProgramRun run;
  std::map<std::string, std::string> files;
};

// A relative path is taken from `base`: the folder of the run links to its first component.
Alone seqmendAlone(const std::string& path, const std::string& output, const fs::path& base = {}) {
  TempDir work;
  if (fs::path(path).is_relative()) {
    const fs::path first = *fs::path(path).begin();
    fs::create_symlink(base / first, work.path / first);
  }
  Alone alone{run({SEQMEND, path, output}, work.path), {}};
  for (const auto& [name, entry] : snapshot(work.path)) {
    if (entry.starts_with(std::to_string(int(fs::file_type::regular)) + ":")) {
      alone.files[name] = entry.substr(entry.find(':') + 1);
    }
  }
  return alone;
}

// The report's lines of one file, split as seqmend prints them.
void expectLinesOfSeqmend(const Json& record, const ProgramRun& alone,
                          const std::string& outputName, const std::string& aloneOutputName) {
  std::string out, err;
  for (const Json& message : record["messages"]) {
    std::string text = message["text"];
    if (message["code"] == "repaired") {
      text.replace(text.size() - outputName.size(), outputName.size(), aloneOutputName);
    }
    EXPECT_NE("unknown", message["code"]) << text;
    (isStderrCode(message["code"]) ? err : out) += text + "\n";
  }
  EXPECT_EQ(alone.out, out);
  EXPECT_EQ(alone.err, err);
  const bool repaired =
      alone.out.find(" contains errors. Fixed output written to ") != std::string::npos;
  EXPECT_EQ(alone.status != 0 ? "failed" : repaired ? "repaired" : "sound", record["verdict"]);
  EXPECT_EQ(alone.status, record["exit_status"]);
}

TEST(MessageTable, HoldsEveryMessageFormatOfTheSources) {
  // seqmend's sources: the engine, the front end and the platform.
  std::set<std::string> formats;
  for (const auto& entry : fs::recursive_directory_iterator(SEQMEND_SOURCE_DIR "/src")) {
    const std::string unit = entry.path().parent_path().filename();
    if ((unit != "engine" && unit != "app" && unit != "platform") || !entry.is_regular_file()) {
      continue;
    }
    const std::string source = readFile(entry.path());
    for (const char* call : {"printf(", "failStream(", "perror("}) {
      for (size_t at = source.find(call); at != std::string::npos; at = source.find(call, at + 1)) {
        if (at > 0 && (std::isalnum(source[at - 1]) != 0 || source[at - 1] == '_') &&
            source.compare(at - 1, 8, "fprintf(") != 0) {
          continue;  // snprintf and the like make no message
        }
        const size_t close = source.find(')', at), quote = source.find('"', at);
        if (std::string(call) == "perror(") {
          formats.insert("%s: %s\n");
          continue;
        }
        if (quote > source.find(';', at) || (std::string(call) == "failStream(" && quote > close)) {
          continue;  // a declaration, or a failStream with the system's text
        }
        // The literal, with its escapes undone.
        std::string format;
        for (size_t c = quote + 1; source[c] != '"'; ++c) {
          const char next = source[c] == '\\' ? source[++c] : source[c];
          format += source[c - 1] == '\\' ? (next == 'n' ? '\n' : next == 't' ? '\t' : next) : next;
        }
        formats.insert(std::string(call) == "failStream(" ? "%s: " + format + "\n" : format);
      }
    }
  }
  ASSERT_GE(formats.size(), 40u);
  std::set<std::string> table;
  for (const MessageFormat& kind : messageFormats()) {
    table.insert(kind.format);
    const bool own = &kind == &CRASHED_FORMAT || &kind == &EXIT_STATUS_FORMAT ||
                     &kind == &TIMEOUT_FORMAT || &kind == &NOT_REGULAR_FORMAT;
    EXPECT_TRUE(own || formats.count(kind.format) == 1) << "no longer in src/: " << kind.format;
  }
  for (const std::string& format : formats) {
    EXPECT_EQ(1u, table.count(format)) << "message format without a code: " << format;
  }
  // Both documents list every code a report may hold.
  const std::string page = readFile(SEQMEND_SOURCE_DIR "/docs/seqmend-batch.1");
  const std::string readme = readFile(SEQMEND_SOURCE_DIR "/README.md");
  for (const MessageFormat& kind : messageFormats()) {
    std::string escaped;
    for (const char* c = kind.code; *c != '\0'; ++c) {
      escaped += *c == '-' ? std::string("\\-") : std::string(1, *c);
    }
    EXPECT_TRUE(!kind.perFile || page.find(".B " + escaped + "\n") != std::string::npos)
        << "not in the manual page: " << kind.code;
    EXPECT_TRUE(!kind.perFile ||
                readme.find("`" + std::string(kind.code) + "`") != std::string::npos)
        << "not in the README: " << kind.code;
  }
}

TEST(Batch, EveryFileGetsTheVerdictAndLinesOfSeqmendAloneAndTheSameCopies) {
  std::vector<std::string> paths = {EXAMPLES};
  if (!corpus().empty()) {
    paths.push_back(corpus());
  }
  TempDir work;
  // Past the size up to which a copy is made in memory: mostly a hole, dropped as garbage. The
  // last PATH, taken only where copies are made.
  const fs::path big = work.path / "big" / "big.mid";
  writeFile(big, readFile(EXAMPLES / "sound.mid"));
  fs::resize_file(big, (64 << 20) + 1);
  paths.push_back(big.parent_path());
  std::map<std::string, std::map<std::string, std::string>> before;
  for (const std::string& path : paths) {
    before[path] = snapshot(path);
  }
  std::map<std::string, Alone> alones;  // seqmend alone, once per file, its copy named copy.mid
  for (const bool check : {true, false}) {
    std::vector<std::string> args = {BATCH, "--report", "-", "--jobs", "3"};
    args.insert(args.end(),
                {check ? "--all-files" : "--copy-sound", check ? "--check" : "--out=out"});
    args.insert(args.end(), paths.begin(), paths.end() - (check ? 1 : 0));
    const ProgramRun batch = run(args, work.path);
    const std::vector<Json> report = readReport(batch.out);
    EXPECT_GE(report.size(), 12u);
    for (const Json& record : report) {
      const std::string path = record["path"];
      SCOPED_TRACE(path);
      if (alones.count(path) == 0) {
        alones[path] = seqmendAlone(path, "copy.mid");
        // The lines as seqmend printed them parse into known kinds with the values in them.
        const ProgramRun& run = alones[path].run;
        for (const Message& message : parseMessages(run.out + run.err, {path, "copy.mid"})) {
          ASSERT_NE(nullptr, message.kind) << message.text;
          EXPECT_EQ(message.text, formatMessage(*message.kind, {path, "copy.mid"}, message.fields));
        }
      }
      const Alone& alone = alones[path];
      const std::string output = record["output"].is_null() ? "" : record["output"];
      expectLinesOfSeqmend(record, alone.run, check ? "/dev/null" : output, "copy.mid");
      if (!check && record["verdict"] == "sound") {  // --copy-sound
        EXPECT_EQ(readFile(path), readFile(work.path / output));
      }
      if (check || record["verdict"] != "repaired") {
        EXPECT_EQ(check || record["verdict"] != "sound", output.empty());
        EXPECT_TRUE(record["extras"].empty());
        continue;
      }
      EXPECT_EQ(alone.files.at("copy.mid"), readFile(work.path / output));
      ASSERT_EQ(alone.files.size() - 1, record["extras"].size());
      for (size_t n = 1; n < alone.files.size(); ++n) {
        EXPECT_EQ(alone.files.at("extra" + std::to_string(n) + ".mid"),
                  readFile(work.path / record["extras"][n - 1].get<std::string>()));
      }
    }
  }
  for (const std::string& path : paths) {
    EXPECT_EQ(before[path], snapshot(path)) << "inputs changed under " << path;
  }
}

TEST(Batch, OddNamesRoundTripThroughTheReport) {
  const std::vector<std::string> names = {"a b.mid",      "new\nline.mid", "bad\xff\xfe.mid",
                                          "q\"b\\s.MID",  "tab\t.kar",     "\xc3\xbcml.smf",
                                          "dir\x80/x.mid"};
  TempDir work;
  std::map<std::string, std::string> byBase64;
  for (const std::string& name : names) {
    writeFile(work.path / "in" / name, readFile(EXAMPLES / "appended.mid"));
    byBase64[base64("in/" + name)] = "in/" + name;
    byBase64[base64("out/" + name)] = "out/" + name;
    byBase64[base64("out/" + name + ".extra1.mid")] = "out/" + name + ".extra1.mid";
  }
  writeFile(work.path / "-dash.mid", readFile(EXAMPLES / "damaged.mid"));
  const ProgramRun batch =
      run({BATCH, "--out", "out", "-r", "-", "--", "in", "-dash.mid"}, work.path);
  EXPECT_EQ(0, batch.status) << batch.err;
  std::set<std::string> seen;
  for (const Json& record : readReport(batch.out)) {
    const std::string path = bytesOf(record, "path", byBase64);
    seen.insert(path);
    EXPECT_EQ("repaired", record["verdict"]);
    const std::string output = bytesOf(record, "output", byBase64);
    EXPECT_TRUE(fs::is_regular_file(work.path / output)) << output;
    EXPECT_EQ(isValidUtf8(path), !record.contains("path_bytes"));
    const Json& first = record["messages"][0];
    EXPECT_EQ(isValidUtf8(path), !first.contains("text_bytes"));
    if (path != "-dash.mid") {
      EXPECT_EQ(output + ".extra1.mid", isValidUtf8(output)
                                            ? record["extras"][0].get<std::string>()
                                            : byBase64.at(record["extras_bytes"][0]));
    }
  }
  std::set<std::string> expected = {"-dash.mid"};
  for (const std::string& name : names) {
    expected.insert("in/" + name);
  }
  EXPECT_EQ(expected, seen);
}

TEST(Batch, CheckWritesNothingAndTheNameFilterPicksMidiFiles) {
  TempDir work, tmp;
  for (const char* name : {"a.mid", "b.MIDI", "sub/c.rmi", "sub/readme.txt"}) {
    writeFile(work.path / "in" / name, readFile(EXAMPLES / "appended.mid"));
  }
  const auto before = snapshot(work.path);
  for (const bool all : {false, true}) {
    const std::vector<std::string> env = {"TMPDIR=" + tmp.path.string()};
    const ProgramRun batch =
        run({BATCH, "--check", "--report=-", all ? "-a" : "-q", "in"}, work.path, env);
    EXPECT_EQ(0, batch.status) << batch.err;
    EXPECT_EQ(all ? 4u : 3u, readReport(batch.out).size());
    EXPECT_EQ(before, snapshot(work.path));
    EXPECT_TRUE(fs::is_empty(tmp.path));  // where the extra files of a check go, and go again
  }
}

TEST(Batch, ACrashingOrHangingRunCostsOnlyItsOwnFile) {
  TempDir work;
  for (const char* name : {"crash.mid", "hang.mid", "a.mid", "b.mid", "c.mid"}) {
    writeFile(work.path / "in" / name, readFile(EXAMPLES / "damaged.mid"));
  }
  const auto started = std::chrono::steady_clock::now();
  const ProgramRun batch =
      run({BATCH, "--out", "out", "--report", "r.jsonl", "--timeout", "1", "-j2", "in"}, work.path,
          {"SEQMEND_BATCH_TEST_HOOK=crash:crash.mid,hang:hang.mid"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(1, batch.status);
  std::map<std::string, std::string> verdicts;
  for (const Json& record : readReport(readFile(work.path / "r.jsonl"))) {
    verdicts[record["path"]] = record["verdict"];
    if (record["verdict"] == "crashed") {
      EXPECT_EQ(SIGABRT, record["signal"]);
    }
    EXPECT_TRUE(record["exit_status"].is_null() == (record["verdict"] != "repaired"));
  }
  EXPECT_EQ((std::map<std::string, std::string>{{"in/a.mid", "repaired"},
                                                {"in/b.mid", "repaired"},
                                                {"in/c.mid", "repaired"},
                                                {"in/crash.mid", "crashed"},
                                                {"in/hang.mid", "timeout"}}),
            verdicts);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(work.path / "out")) {
    left.insert(entry.path().filename());
  }
  EXPECT_EQ((std::set<std::string>{"a.mid", "b.mid", "c.mid"}), left) << batch.err;
}

TEST(Batch, SpecialEntriesAndFilesThatChangeMidRunFailAloneAsSeqmendSays) {
  TempDir work;
  const fs::path in = work.path / "in";
  for (const char* name :
       {"gone.mid", "fifo.mid", "folder.mid", "loop.mid", "locked.mid", "ok.mid"}) {
    writeFile(in / name, readFile(EXAMPLES / "sound.mid"));
  }
  mkfifo((in / "a-fifo.mid").c_str(), 0644);
  fs::create_directory_symlink("..", in / "up.mid");  // a folder behind a link is not entered
  fs::create_symlink("/dev/null", in / "device.mid");
  fs::create_symlink("self.mid", in / "self.mid");
  fs::create_symlink("nowhere", in / "dangling.mid");
  const Process batch = start({BATCH, "--check", "-r", "-", "-j", "16", "in"}, work.path,
                              {"SEQMEND_BATCH_TEST_HOOK=delay:2000"});
  // The files change once the walk is past them, while their runs wait.
  const std::string children =
      "/proc/" + std::to_string(batch.pid) + "/task/" + std::to_string(batch.pid) + "/children";
  for (int wait = 0; wait < 500; ++wait) {
    std::istringstream pids(readFile(children));
    if (std::distance(std::istream_iterator<std::string>(pids), {}) == 6) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  fs::remove(in / "gone.mid");
  fs::remove(in / "fifo.mid");
  mkfifo((in / "fifo.mid").c_str(), 0644);
  fs::remove(in / "folder.mid");
  fs::create_directory(in / "folder.mid");
  fs::remove(in / "loop.mid");
  fs::create_symlink("loop.mid", in / "loop.mid");
  fs::permissions(in / "locked.mid", fs::perms::none);
  const ProgramRun result = finish(batch);
  EXPECT_EQ(1, result.status);
  std::map<std::string, std::string> codes;
  for (const Json& record : readReport(result.out)) {
    const std::string path = record["path"];
    codes[path] = record["messages"].back()["code"];
    if (codes[path] != "not-regular-file") {
      expectLinesOfSeqmend(record, seqmendAlone(path, "/dev/null", work.path).run, "/dev/null",
                           "/dev/null");
    }
  }
  const std::string locked = getuid() == 0 ? "sound" : "system-error";  // root reads it anyway
  EXPECT_EQ((std::map<std::string, std::string>{{"in/a-fifo.mid", "not-regular-file"},
                                                {"in/dangling.mid", "system-error"},
                                                {"in/device.mid", "not-regular-file"},
                                                {"in/fifo.mid", "system-error"},
                                                {"in/folder.mid", "system-error"},
                                                {"in/gone.mid", "system-error"},
                                                {"in/locked.mid", locked},
                                                {"in/loop.mid", "system-error"},
                                                {"in/ok.mid", "sound"},
                                                {"in/self.mid", "system-error"}}),
            codes);
}

TEST(Batch, AnOutFolderOrReportOverlappingAPathIsRefused) {
  TempDir work;
  writeFile(work.path / "in/sub/a.mid", readFile(EXAMPLES / "damaged.mid"));
  const auto before = snapshot(work.path);
  const std::vector<std::vector<std::string>> cases = {
      {"--out", "in"}, {"--out", "in/sub/out"}, {"--out", "in/../in/x/"},
      {"--out", "."},  {"--out", work.path},    {"--check", "--report", "in/r.jsonl"},
  };
  for (const auto& options : cases) {
    std::vector<std::string> args = {BATCH};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("in");
    const ProgramRun batch = run(args, work.path);
    EXPECT_EQ(2, batch.status) << options[1];
    EXPECT_EQ(before, snapshot(work.path)) << options[1];
  }
}

TEST(Batch, TwoBatchesIntoOneOutFolderLeaveWholeCopies) {
  TempDir work;
  constexpr size_t COPIES = 12;  // of the 12 examples, in folders of their own
  for (size_t copy = 0; copy < COPIES; ++copy) {
    for (const auto& example : fs::directory_iterator(EXAMPLES)) {
      if (example.path().extension() == ".mid") {
        writeFile(work.path / "in" / std::to_string(copy) / example.path().filename(),
                  readFile(example.path()));
      }
    }
  }
  const std::vector<std::string> args = {BATCH, "--out", "out", "-j", "2", "-r", "-", "in"};
  const Process first = start(args, work.path), second = start(args, work.path);
  const ProgramRun runs[2] = {finish(first), finish(second)};
  std::map<std::string, Alone> expected;
  for (const ProgramRun& batch : runs) {
    EXPECT_EQ(1, batch.status);  // not-midi.mid
    EXPECT_EQ(COPIES * 12, readReport(batch.out).size());
  }
  for (const auto& entry : fs::recursive_directory_iterator(work.path / "out")) {
    if (entry.is_directory()) {
      continue;
    }
    std::string name = entry.path().filename();
    const bool extra = name.ends_with(".extra1.mid");
    name = name.substr(0, name.find(".mid") + 4);
    if (expected.count(name) == 0) {
      expected[name] = seqmendAlone(EXAMPLES / name, "copy.mid");
    }
    EXPECT_EQ(expected[name].files.at(extra ? "extra1.mid" : "copy.mid"), readFile(entry.path()))
        << entry.path();
  }
  // The folders, each with 10 repaired copies and one extra file.
  EXPECT_EQ(COPIES * (1 + 10 + 1), snapshot(work.path / "out").size());
}

TEST(Batch, CommandLine) {
  TempDir work;
  writeFile(work.path / "a.mid", readFile(EXAMPLES / "sound.mid"));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{"--help"}, 0, "usage: seqmend-batch [options] (--out DIR | --check) PATH...\n"},
      {{"--version"}, 0, "seqmend-batch "},
      {{"--check"}, 2, ""},
      {{"a.mid"}, 2, ""},
      {{"--check", "--out", "o", "a.mid"}, 2, ""},
      {{"--check", "--jobs", "0", "a.mid"}, 2, ""},
      {{"--check", "--timeout", "x", "a.mid"}, 2, ""},
      {{"--check", "--copy-sound", "a.mid"}, 2, ""},
      {{"--check", "--bogus", "a.mid"}, 2, ""},
      {{"--check", "a.mid"}, 0, "a.mid is ok.\n"},
      {{"--check", "-q", "a.mid"}, 0, ""},
      {{"-c", "--tracks-only", "a.mid", "--", "missing.mid"},
       1,
       "missing.mid: No such file or directory\na.mid is ok.\n"},
  };
  for (const auto& test : cases) {
    std::vector<std::string> args = {BATCH};
    args.insert(args.end(), test.args.begin(), test.args.end());
    const ProgramRun batch = run(args, work.path);
    EXPECT_EQ(test.status, batch.status) << test.args[0] << "\n" << batch.err;
    EXPECT_TRUE(batch.out.starts_with(test.out)) << batch.out;
  }
}

}  // namespace
