// The real binary over the external corpus of MIDI files: nothing crashes, every repaired output
// comes back sound, and the files its manifest calls valid come back sound themselves.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

namespace fs = std::filesystem;

const fs::path CORPUS = SEQMEND_SOURCE_DIR "/../shared/corpus-ext";

// The manifest's remarks for files it holds to be sound.
const char* const VALID_REMARKS[] = {"valid test file", "valid test/benchmark file",
                                     "valid minimal SMF"};

// The cells of a table row "| a | b | c |", trimmed.
std::vector<std::string> cells(const std::string& row) {
  std::vector<std::string> result;
  std::istringstream split(row.substr(1));
  for (std::string cell; std::getline(split, cell, '|');) {
    const size_t begin = cell.find_first_not_of(' ');
    const size_t end = cell.find_last_not_of(' ');
    result.push_back(begin == std::string::npos ? "" : cell.substr(begin, end - begin + 1));
  }
  return result;
}

// Paths, relative to the corpus, of the files the manifest holds to be sound. Each folder has a
// "## folder/ ..." heading over a table of "| path | bytes | known damage | own scan |" rows.
std::set<std::string> validFiles() {
  std::set<std::string> valid;
  std::ifstream manifest(CORPUS / "MANIFEST.md");
  std::string folder;
  for (std::string line; std::getline(manifest, line);) {
    if (line.starts_with("## ")) {
      folder = line.substr(3, line.find('/') + 1 - 3);
      continue;
    }
    if (!line.starts_with("|")) {
      continue;
    }
    const std::vector<std::string> row = cells(line);
    for (const char* remark : VALID_REMARKS) {
      if (row.size() >= 3 && row[2].starts_with(remark)) {
        valid.insert(folder + row[0]);
      }
    }
  }
  return valid;
}

// The last line of a text, without its newline.
std::string lastLine(std::string text) {
  if (text.ends_with('\n')) {
    text.pop_back();
  }
  return text.substr(text.rfind('\n') + 1);  // npos + 1 is 0
}

class Corpus : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(CORPUS)) {
      GTEST_SKIP() << CORPUS << " is absent";
    }
  }
};

TEST_F(Corpus, EveryFileRunsAndEveryRepairComesBackSound) {
  int files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(CORPUS)) {
    if (!entry.is_regular_file() || entry.path().filename() == "MANIFEST.md") {
      continue;
    }
    SCOPED_TRACE(entry.path().string());
    ++files;
    Bytes input;
    ASSERT_TRUE(readFileBytes(entry.path(), input));
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", input}});
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
    const auto output = run.files.find("seqmend.mid");
    if (output == run.files.end()) {
      continue;
    }
    EXPECT_EQ(0, run.status);
    const RunResult again = runSeqmend({"in.mid"}, {{"in.mid", output->second}});
    EXPECT_EQ("in.mid is ok.", lastLine(again.out));
  }
  EXPECT_GT(files, 0);
}

TEST_F(Corpus, ValidFilesAreReportedSound) {
  const std::set<std::string> valid = validFiles();
  ASSERT_FALSE(valid.empty());
  for (const std::string& name : valid) {
    SCOPED_TRACE(name);
    Bytes input;
    ASSERT_TRUE(readFileBytes(CORPUS / name, input));
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", input}});
    EXPECT_EQ("in.mid is ok.", lastLine(run.out));
    EXPECT_EQ(0, run.status);
    EXPECT_EQ((std::map<std::string, Bytes>{{"in.mid", input}}), run.files);
  }
}

}  // namespace
