// The real binary over the external corpus of MIDI files: nothing crashes, every repaired output
// comes back sound, and the files its manifest calls valid come back sound themselves.
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/midi_bytes.h"
#include "support/run_binary.h"

namespace {

namespace fs = std::filesystem;

const fs::path CORPUS = SEQMEND_SOURCE_DIR "/../shared/corpus-ext";

// Paths, relative to the corpus, of the files the manifest holds to be sound: under a heading
// "## folder/ ...", rows "| path | bytes | valid test file ... | own scan |".
std::set<std::string> validFiles() {
  std::set<std::string> valid;
  std::ifstream manifest(CORPUS / "MANIFEST.md");
  std::string folder;
  for (std::string line; std::getline(manifest, line);) {
    if (line.starts_with("## ")) {
      folder = line.substr(3, line.find('/') - 2);
      continue;
    }
    // Cells: "", path, bytes, known damage, ...
    std::vector<std::string> cells;
    for (size_t start = 0, bar; (bar = line.find('|', start)) != std::string::npos;
         start = bar + 1) {
      const std::string cell = line.substr(start, bar - start);
      const size_t first = cell.find_first_not_of(' ');
      cells.push_back(first == std::string::npos
                          ? ""
                          : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
    }
    if (line.starts_with("|") && cells.size() > 3 && cells[3].starts_with("valid ")) {
      valid.insert(folder + cells[1]);
    }
  }
  return valid;
}

// True when the last line of a report is the verdict "in.mid is ok.".
bool endsSound(const std::string& out) { return ("\n" + out).ends_with("\nin.mid is ok.\n"); }

TEST(Corpus, EveryFileRunsEveryRepairAndEveryValidFileIsSound) {
  if (!fs::is_directory(CORPUS)) {
    GTEST_SKIP() << CORPUS << " is absent";
  }
  std::set<std::string> valid = validFiles();
  ASSERT_FALSE(valid.empty());
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(CORPUS)) {
    const std::string name = entry.path().lexically_relative(CORPUS);
    if (!entry.is_regular_file() || name == "MANIFEST.md") {
      continue;
    }
    SCOPED_TRACE(name);
    Bytes input;
    ASSERT_TRUE(readFileBytes(entry.path(), input));
    const RunResult run = runSeqmend({"in.mid"}, {{"in.mid", input}});
    EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status;
    if (valid.erase(name) == 1) {
      EXPECT_TRUE(endsSound(run.out)) << run.out;
      EXPECT_EQ(0, run.status);
      EXPECT_EQ((std::map<std::string, Bytes>{{"in.mid", input}}), run.files);
    }
    const auto output = run.files.find("seqmend.mid");
    if (output != run.files.end()) {
      EXPECT_EQ(0, run.status);
      EXPECT_TRUE(endsSound(runSeqmend({"in.mid"}, {{"in.mid", output->second}}).out));
    }
  }
  EXPECT_EQ(std::set<std::string>{}, valid) << "valid in the manifest, absent from the corpus";
}

}  // namespace
