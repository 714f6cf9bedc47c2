// seqmend-batch end to end: every file's verdict and lines are those of seqmend run alone on it,
// in threads and in processes alike; the report is JSON Lines that round-trips any name, a
// resumed batch ends with the rows of an uninterrupted one, inputs stay as they were, and with
// --isolate a file that crashes or hangs costs only its own line.
// GCC 12 with the sanitizers warns inside <regex> itself, a false "maybe uninitialized".
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "report.h"
#include "seqmend.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using Args = std::vector<std::string>;
using Names = std::map<std::string, std::string>;
using namespace std::literals;

const std::string BATCH = SEQMEND_BATCH_BINARY, SEQMEND = SEQMEND_BINARY;
const fs::path EXAMPLES = fs::path(SEQMEND_SOURCE_DIR) / "examples";

std::string readFile(const fs::path& path) {
  return {std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {}};
}

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// A program started with no input and its output into memory files; `status` once it ended.
struct ProgramRun {
  pid_t pid;
  int outFd, errFd, status = -1;
  std::string out, err;
};

// Starts a program in `cwd` with `env` added; it is killed after 60 s.
ProgramRun start(Args args, const fs::path& cwd, std::string env = "") {
  ProgramRun run{0, memfd_create("out", 0), memfd_create("err", 0), -1, {}, {}};
  if ((run.pid = fork()) == 0) {
    std::vector<char*> argv(args.size() + 1);  // ends in a null
    std::ranges::transform(args, argv.begin(), [](std::string& arg) { return arg.data(); });
    putenv(env.data());  // an empty one changes nothing
    if (dup2(open("/dev/null", O_RDONLY), 0) == 0 && dup2(run.outFd, 1) == 1 &&
        dup2(run.errFd, 2) == 2 && chdir(cwd.c_str()) == 0) {
      alarm(60);
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  return run;
}

ProgramRun finish(ProgramRun run) {
  waitpid(run.pid, &run.status, 0);
  run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status);
  run.out = readFile("/proc/self/fd/" + std::to_string(run.outFd));
  run.err = readFile("/proc/self/fd/" + std::to_string(run.errFd));
  close(run.outFd);
  close(run.errFd);
  return run;
}

ProgramRun run(const Args& args, const fs::path& cwd) { return finish(start(args, cwd)); }

// `args` and then the words of a line: by default, seqmend-batch with the options of the line.
Args words(const std::string& line, Args args = {BATCH}) {
  std::istringstream stream(line);
  args.insert(args.end(), std::istream_iterator<std::string>(stream), {});
  return args;
}

// A fresh folder, gone with the object.
struct TempDir {
  fs::path path = mkdtemp((fs::temp_directory_path() / "seqmend-batch-XXXXXX").string().data());
  ~TempDir() { fs::remove_all(path); }
};

const std::string FOLDER = std::to_string(int(fs::file_type::directory));

// Every entry below a folder, named from `from`: a file's bytes, else the number of its type.
Names snapshot(const fs::path& root, const fs::path& from = "") {
  Names entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const fs::file_type type = entry.symlink_status().type();
    entries[entry.path().lexically_relative(from.empty() ? root : from)] =
        type == fs::file_type::regular ? readFile(entry.path()) : std::to_string(int(type));
  }
  return entries;
}

// `args`, then the examples and the corpus if there is one.
Args collection(Args args = {}) {
  const fs::path corpus = fs::path(SEQMEND_SOURCE_DIR) / ".." / "shared" / "corpus-ext";
  args.push_back(EXAMPLES);
  if (fs::is_directory(corpus)) {
    args.push_back(fs::canonical(corpus));
  }
  return args;
}

// The report's records, each with the documented keys in the documented order.
std::vector<Json> readReport(const std::string& text) {
  static const std::regex KEYS(
      "path (path_bytes )?size verdict exit_status (looks_like )?(signal )?messages "
      "(messages_omitted )?output (output_bytes )?extras (extras_bytes )?ms ");
  std::vector<Json> records;
  std::istringstream stream(text);
  for (std::string line, keys; std::getline(stream, line); keys.clear()) {
    for (const auto& item : records.emplace_back(Json::parse(line)).items()) {
      keys += item.key() + " ";
    }
    EXPECT_TRUE(std::regex_match(keys, KEYS)) << line;
  }
  return records;
}

// The rows of a report without the time each file took, sorted.
std::multiset<std::string> rows(const std::string& report) {
  std::multiset<std::string> sorted;
  for (Json record : readReport(report)) {
    record.erase("ms");
    sorted.insert(record.dump());
  }
  return sorted;
}

// The report's lines of one file, split as seqmend prints them, and its verdict. Each value of a
// message is shown in its text: numbers in decimal, offsets as 8 hexadecimal digits and bytes as
// 2, texts as they are.
void expectLinesOfSeqmend(const Json& record, const ProgramRun& alone,
                          const std::string& aloneOutput = "/dev/null") {
  const std::string output = record["output"].is_null() ? "/dev/null" : record["output"];
  std::string out, err;
  for (const Json& message : record["messages"]) {
    std::string text = message["text"], code = message["code"];
    for (const auto& [key, value] : message.items()) {
      char shown[32];
      std::snprintf(shown, sizeof shown,
                    key == "offset" ? "%08llX"
                    : key == "byte" ? "%02llX"
                                    : "%lld",
                    value.is_number() ? value.get<long long>() : 0);
      EXPECT_TRUE(key == "text" || key == "code" || key.ends_with("_bytes") ||
                  text.find(value.is_string() ? value.get<std::string>() : shown) < text.size())
          << key << " in " << text;
    }
    if (code == "repaired") {
      text.replace(text.size() - output.size(), output.size(), aloneOutput);
    }
    EXPECT_NE("unknown", code) << text;
    (code == "system-error" || code == "unexpected-end-of-file" ? err : out) += text + "\n";
  }
  EXPECT_EQ(alone.out, out);
  EXPECT_EQ(alone.err, err);
  const bool repaired = out.find(" contains errors. Fixed output written to ") < out.size();
  EXPECT_EQ(alone.status != 0 ? "failed" : repaired ? "repaired" : "sound", record["verdict"]);
  EXPECT_EQ(alone.status, record["exit_status"]);
}

TEST(Documents, ListEveryCodeOfTheReport) {
  Args codes = words(
      "sound repaired crlf-hint unexpected-end-of-file system-error crashed timeout not-regular-file",
      {});
  for (int code = SEQMEND_FILE_TOO_LARGE; code <= SEQMEND_GM_ON_PAUSE; ++code) {
    codes.push_back(seqmend_code_name(code));
  }
  const std::string page = readFile(SEQMEND_SOURCE_DIR "/docs/seqmend-batch.1"),
                    readme = readFile(SEQMEND_SOURCE_DIR "/README.md");
  for (const std::string& code : codes) {
    const std::string roff = std::regex_replace(code, std::regex("-"), "\\-");
    EXPECT_NE(std::string::npos, page.find(".B " + roff + "\n")) << code;
    EXPECT_NE(std::string::npos, readme.find("`" + code + "`")) << code;
  }
}

// Over the examples, the corpus if there is one and two big files (streamed), three batches at
// once: one file at a time, threads, and a process per file. First a check of every file, then
// repaired and sound copies into one folder.
TEST(Batch, EveryFileGetsTheVerdictAndLinesOfSeqmendAloneInThreadsAndProcesses) {
  TempDir work, tmp;
  Args paths = collection();
  // Past the size up to which an input is read into memory: streamed. Mostly a hole, dropped as
  // garbage; the second with an extra file behind its data. Taken only where copies are made.
  for (const std::string name : {"sound", "appended"}) {
    const fs::path big = work.path / "big" / (name + ".Rmi");
    writeFile(big, readFile(EXAMPLES / (name + ".mid")));
    fs::resize_file(big, (64 << 20) + 1);
  }
  paths.push_back(work.path / "big");
  std::map<std::string, Names> before = {{work.path, snapshot(work.path)}};
  for (const std::string& path : paths) {
    before[path] = snapshot(path);
  }
  std::map<std::string, std::pair<ProgramRun, Names>> alones;  // once per file, copy in copy.mid
  std::set<std::string> seen[2];                               // the paths of each pass
  Names copies;                                                // what is to be under out
  for (const bool check : {true, false}) {
    std::vector<ProgramRun> batches;
    for (const std::string way : {"-j 1", "-j 4", "--isolate"}) {
      Args args =
          words(way + (check ? " --check --all-files -r -" : " --out=out --copy-sound -r -"));
      args.insert(args.end(), paths.begin(), paths.end() - (check ? 1 : 0));
      batches.push_back(start(args, work.path, "TMPDIR=" + tmp.path.string()));
    }
    for (const ProgramRun& started : batches) {
      const ProgramRun batch = finish(started);
      const std::vector<Json> report = readReport(batch.out);
      EXPECT_EQ(1, batch.status);  // not-midi.mid
      EXPECT_GE(report.size(), 12u);
      for (const Json& record : report) {
        const std::string path = record["path"];
        seen[check].insert(path);
        EXPECT_EQ(fs::file_size(path), record["size"]);
        if (alones.count(path) == 0) {  // seqmend alone, in a fresh folder
          TempDir dir;
          alones[path] = {run({SEQMEND, path, "copy.mid"}, dir.path), snapshot(dir.path)};
        }
        const auto& [alone, files] = alones[path];
        const std::string output = record["output"].is_null() ? "" : record["output"];
        expectLinesOfSeqmend(record, alone, "copy.mid");
        EXPECT_EQ(check || record["verdict"] == "failed", output.empty());
        const size_t extras = check || record["verdict"] != "repaired" ? 0 : files.size() - 1;
        ASSERT_EQ(extras, record["extras"].size());
        if (!output.empty()) {  // a sound file's copy is the file
          copies[output] = record["verdict"] == "sound" ? readFile(path) : files.at("copy.mid");
        }
        for (size_t n = 1; n <= extras; ++n) {  // in the order seqmend numbers them
          copies[record["extras"][n - 1]] = files.at("extra" + std::to_string(n) + ".mid");
        }
      }
    }
    // A check writes nothing, not even in TMPDIR where the extra files of its runs go.
    EXPECT_TRUE(!check || (before[work.path] == snapshot(work.path) && fs::is_empty(tmp.path)));
  }
  // Nothing but the copies is left under out, and the inputs are as they were.
  Names left = snapshot(work.path / "out", work.path);
  std::erase_if(left, [](const auto& entry) { return entry.second == FOLDER; });
  EXPECT_EQ(copies, left);
  for (const std::string& path : paths) {
    EXPECT_EQ(before[path], snapshot(path)) << "inputs changed under " << path;
  }
  // Only MIDI names are taken without --all-files.
  const std::regex midiName(".*\\.(mid|midi|kar|rmi|smf)", std::regex::icase);
  for (const std::string& path : seen[true]) {
    EXPECT_EQ(std::regex_match(path, midiName), seen[false].count(path) == 1) << path;
  }
}

TEST(Batch, OddNamesRoundTripThroughTheReport) {
  TempDir work;
  Names byBase64;
  for (const std::string name : {"a b.midi", "new\nline.mid", "bad\xff\xfe.mid", "q\"b\\s.MID",
                                 "tab\t.kar", "\xc3\xbcml.smf", "dir\x80/x.mid", "cut\xc3.mid"}) {
    writeFile(work.path / "in" / name, readFile(EXAMPLES / "appended.mid"));
    for (const std::string& file : {"in/" + name, "out/" + name, "out/" + name + ".extra1.mid"}) {
      byBase64[base64(file)] = file;
    }
  }
  writeFile(work.path / "-dash.mid", readFile(EXAMPLES / "appended.mid"));  // a file as PATH
  const ProgramRun batch = run(words("--out out -r - -- in -dash.mid"), work.path);
  EXPECT_EQ(0, batch.status) << batch.err;
  // A text field, or the first of a list, as the bytes it stands for.
  const auto bytesOf = [&](const Json& record, const std::string& key) -> std::string {
    const bool coded = record.contains(key + "_bytes");
    const Json& field = record[coded ? key + "_bytes" : key];
    const Json& first = field.is_array() ? field[0] : field;
    return coded ? byBase64.at(first) : first.get<std::string>();
  };
  const std::vector<Json> report = readReport(batch.out);
  EXPECT_EQ(9u, report.size());
  for (const Json& record : report) {
    const std::string path = bytesOf(record, "path"), output = bytesOf(record, "output");
    EXPECT_TRUE(fs::is_regular_file(work.path / path)) << path;
    EXPECT_TRUE(fs::is_regular_file(work.path / output)) << output;
    // The bytes come along exactly when the text is not the name: not valid UTF-8.
    EXPECT_EQ(record["path"] != path, record.contains("path_bytes"));
    EXPECT_EQ(record["path"] != path, record["messages"][0].contains("text_bytes"));
    EXPECT_EQ(output + ".extra1.mid", bytesOf(record, "extras"));
  }
}

// With --isolate, files that fail alone and say why, at no cost to any other copy: special
// entries, files that change once the walk is past them, runs that crash or hang (as the batch's
// own report), files without MIDI data (what they seem to be: their name here) and a copy that
// cannot be placed (the system's word on the copy's name); the others as seqmend run on them says.
TEST(Batch, FilesThatFailAloneSayWhy) {
  TempDir work;
  const fs::path in = work.path / "in";
  Names expected, codes;
  for (const std::string line :
       {"not-regular-file a-fifo device", "sound ok", "repaired fix b/fix", "crashed crash",
        "timeout hang", getuid() == 0 ? "sound locked" : "system-error locked",
        "system-error gone fifo folder loop self dangling a/fix"}) {
    const Args code = words(line, {});  // then names; root reads a locked file
    for (size_t name = 1; name < code.size(); ++name) {
      expected["in/" + code[name] + ".mid"] = code[0];
    }
  }
  // What each seems to be, then after a space its bytes.
  for (const std::string& row :
       Args{"html \n  <!DOCTYPE html><html><body>404</body></html>",
            "riff-wave RIFF\x24\0\0\0WAVEfmt "s, "zip PK\x03\x04\x14\0\0\0"s,
            "text title: a song\r\nby: s\xc3\xb8me\r\n\xe2\x99", "empty ", "pdf %PDF-1.4\n",
            "png \x89PNG\r\n\x1a\n\0\0"s, "gzip \x1f\x8b\x08\0"s, "unknown \x01\x02\0\xfe"s}) {
    const std::string kind = row.substr(0, row.find(' '));
    writeFile(in / (kind + ".mid"), row.substr(kind.size() + 1));
    expected["in/" + kind + ".mid"] = "no-midi-data " + kind;
  }
  for (const std::string& name : words("gone fifo folder loop locked ok crash hang", {})) {
    writeFile(in / (name + ".mid"), readFile(EXAMPLES / "sound.mid"));
  }
  for (const char* name : {"fix.mid", "a/fix.mid", "b/fix.mid"}) {
    writeFile(in / name, readFile(EXAMPLES / "damaged.mid"));
  }
  writeFile(work.path / "out/a", "a file where a folder is to be");
  mkfifo((in / "a-fifo.mid").c_str(), 0644);
  fs::create_directory_symlink("..", in / "up.mid");  // a folder behind a link is not entered
  fs::create_symlink("/dev/null", in / "device.mid");
  fs::create_symlink("self.mid", in / "self.mid");
  fs::create_symlink("nowhere", in / "dangling.mid");
  const auto started = std::chrono::steady_clock::now();
  const auto batch = start(words("--isolate -o out -r r.jsonl -t 5 -j 32 in"), work.path,
                           "SEQMEND_BATCH_TEST_HOOK=delay:2000,crash:crash.mid,hang:hang.mid");
  // The files change once the walk is past them, while all twenty runs wait.
  const std::string children =
      "/proc/" + std::to_string(batch.pid) + "/task/" + std::to_string(batch.pid) + "/children";
  for (int wait = 0; wait < 500 && std::ranges::count(readFile(children), ' ') < 20; ++wait) {
    usleep(10000);
  }
  for (const char* name : {"gone.mid", "fifo.mid", "folder.mid", "loop.mid"}) {
    fs::remove(in / name);
  }
  mkfifo((in / "fifo.mid").c_str(), 0644);
  fs::create_directory(in / "folder.mid");
  fs::create_symlink("loop.mid", in / "loop.mid");
  fs::permissions(in / "locked.mid", fs::perms::none);
  const ProgramRun result = finish(batch);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_EQ(1, result.status);
  const std::string report = readFile(work.path / "r.jsonl");
  for (const Json& record : readReport(report)) {
    const std::string path = record["path"], code = record["messages"].back()["code"],
                      seemsTo = record.value("looks_like", "");
    codes[path] = seemsTo.empty() ? code : code + " " + seemsTo;
    EXPECT_EQ(code == "crashed" ? SIGABRT : 0, record.value("signal", 0)) << path;
    EXPECT_EQ(record["verdict"] == "repaired", !record["output"].is_null()) << path;
    if (code == "crashed" || code == "timeout") {
      EXPECT_EQ(code, record["verdict"]);
      EXPECT_TRUE(record["exit_status"].is_null());
    } else if (code != "not-regular-file" && path != "in/a/fix.mid") {
      expectLinesOfSeqmend(record, run({SEQMEND, path, "/dev/null"}, work.path));
    }
  }
  EXPECT_EQ(expected, codes);
  EXPECT_NE(std::string::npos, report.find("\"out/a/fix.mid: Not a directory\""));
  const std::regex summary(std::string("24 files in [0-9.]+ s \\([0-9]+ files/s\\): ") +
                           (getuid() == 0 ? "2 sound, 2 repaired, 18" : "1 sound, 2 repaired, 19") +
                           " failed, 1 crashed, 1 timeout\n(.*\n)*seqmend-batch: +1 crashed\n");
  EXPECT_TRUE(std::regex_search(result.err, summary)) << result.err;
  const std::string fixed = readFile(work.path / "out/fix.mid");
  EXPECT_EQ((Names{{"a", "a file where a folder is to be"},
                   {"b", FOLDER},
                   {"b/fix.mid", fixed},
                   {"fix.mid", fixed}}),
            snapshot(work.path / "out"));
}

// Usage errors, an out folder or report overlapping a PATH, and checks: nothing is written.
TEST(Batch, CommandLine) {
  TempDir work;
  writeFile(work.path / "a.mid", readFile(EXAMPLES / "sound.mid"));
  writeFile(work.path / "in/sub/a.mid", readFile(EXAMPLES / "damaged.mid"));
  std::string longHeader = readFile(EXAMPLES / "sound.mid");  // sound, but not in normal form
  longHeader[7] = 8;
  writeFile(work.path / "long.mid", longHeader.insert(14, 2, '\0'));
  const Names before = snapshot(work.path);
  // The exit status, the options and after a '>' how the output starts; else there is none.
  Args table = {
      "0 --help>usage: seqmend-batch [options] (--out DIR | --check) PATH...\n",
      "1 --check --fail-on-repair in>in/sub/a.mid: length of track 1 updated\n",
      "1 -c -j1 --tracks-only a.mid -- -x.mid>a.mid is ok.\n-x.mid: No such file or directory\n",
      "0 -c long.mid>long.mid is ok.\n",
      "1 -c --fail-on-repair --normalize long.mid>long.mid: remove surplus of header (2 bytes)\n",
      "2 --out " + work.path.string() + " in"};
  table.insert(
      table.end(),
      {"2 --check", "2 a.mid", "2 --check --out o a.mid", "2 --check --jobs 0 a.mid",
       "2 --check --timeout x a.mid", "2 --check --bogus a.mid", "2 --check --copy-sound a.mid",
       "2 --out in in", "2 --check --resume a.mid", "2 --check --resume -r - a.mid",
       "0 --check -q --fail-on-repair a.mid", "2 --out in/sub/out in", "2 --out in/../in/x/ in",
       "2 --out . in", "2 --check --report in/r.jsonl in", "0 --version>seqmend-batch "});
  for (const std::string& line : table) {
    const size_t cut = std::min(line.find('>'), line.size());
    const ProgramRun batch = run(words(line.substr(2, cut - 2)), work.path);
    EXPECT_EQ(line[0] - '0', batch.status) << line << "\n" << batch.err;
    const std::string out = line.substr(std::min(cut + 1, line.size()));
    EXPECT_EQ(out, batch.out.substr(0, out.empty() ? std::string::npos : out.size())) << line;
    EXPECT_EQ(before, snapshot(work.path)) << line;
  }
}

// A batch stopped midway by a signal (its last line maybe cut short by SIGKILL) and resumed
// ends with the rows of an uninterrupted one: no file twice, none missing; its exit status too.
TEST(Batch, ResumedBatchEndsWithTheRowsOfAnUninterruptedOne) {
  TempDir work;
  const fs::path report = work.path / "r.jsonl";
  Args args = collection(words("--out out -j 2 -r r.jsonl"));
  args.push_back(EXAMPLES / ".");  // enough files to stop midway without the corpus
  const ProgramRun whole = run(args, work.path);
  const std::multiset<std::string> expected = rows(readFile(report));
  for (const int stop : {SIGINT, SIGTERM, SIGKILL}) {
    for (const char* way : {"--jobs=2", "--isolate"}) {
      SCOPED_TRACE(way + std::to_string(stop));
      fs::remove_all(work.path / "out");
      fs::remove(report);
      Args first = args;
      first.insert(first.begin() + 1, way);
      ProgramRun started = start(first, work.path, "SEQMEND_BATCH_TEST_HOOK=delay:40");
      // Stopped once some files are reported, long before the last.
      for (int wait = 0; wait < 1000 && readFile(report).size() < 2; ++wait) {
        usleep(5000);
      }
      usleep(100000);
      kill(started.pid, stop);
      EXPECT_EQ(128 + stop, finish(started).status);
      if (stop == SIGKILL) {  // as if the last line were being written
        std::ofstream(report, std::ios::app) << "{\"path\":\"cut";
      }
      const std::string cut = readFile(report);
      EXPECT_LT(rows(cut.substr(0, cut.rfind('\n') + 1)).size(), expected.size());
      first.insert(first.begin() + 1, "--resume");
      EXPECT_EQ(whole.status, run(first, work.path).status);
      EXPECT_EQ(expected, rows(readFile(report)));
    }
  }
}

}  // namespace
