// Runs the built seqmend in a fresh temporary folder and reports what it printed, its exit status
// and the files it left there. Every input written through the folder is checked to be unchanged
// after every run, so no end-to-end test can miss a damaged input.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/midi_bytes.h"

// What one run of the binary did.
struct RunResult {
  int status = -1;                      // exit status; 128 + signal number when killed
  std::string out;                      // standard output
  std::string err;                      // standard error
  std::map<std::string, Bytes> files;   // regular files in the folder afterwards, with their bytes
  std::vector<std::string> otherNodes;  // everything else, sorted: folders, devices, FIFOs, links
};

// Reads a whole file; false if it cannot be opened.
inline bool readFileBytes(const std::string& path, Bytes& bytes) {
  std::ifstream file(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return bool(file);
}

// A fresh folder for one test: <tmp>/seqmend-e2e-XXXXXX/work is the binary's working folder;
// its captured streams sit beside it, out of the listing. Everything goes with the object.
class Sandbox {
 public:
  Sandbox() {
    std::string pattern = std::filesystem::temp_directory_path() / "seqmend-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
      return;
    }
    root_ = pattern;
    std::filesystem::create_directory(root_ + "/work");
  }
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The absolute path of a name in the working folder.
  std::string path(const std::string& name) const { return root_ + "/work/" + name; }

  // Writes an input file; every later run checks that it still holds exactly these bytes. Where
  // SEQMEND_SAVE_INPUTS names a folder, a copy named by its hash goes there too, so that another
  // build of the binary can be run on every input of the tests.
  void write(const std::string& name, const Bytes& bytes) {
    inputs_[name] = bytes;
    const std::string text(bytes.begin(), bytes.end());
    std::ofstream file(path(name), std::ios::binary);
    ASSERT_TRUE(file << text << std::flush) << name;
    if (const char* folder = std::getenv("SEQMEND_SAVE_INPUTS")) {
      const size_t hash = std::hash<std::string>()(text);
      std::ofstream(std::string(folder) + "/" + std::to_string(hash) + ".mid", std::ios::binary)
          << text;
    }
  }

  // Limits the size of any file the binary writes (RLIMIT_FSIZE, with SIGXFSZ ignored so that
  // writes past it fail with EFBIG): a full disk for regular files.
  void limitFileSize(rlim_t bytes) { fileSizeLimit_ = bytes; }

  // Runs the binary with args in the working folder, stdin from /dev/null, in a session of its
  // own so that it can never reach the terminal of whoever runs the tests. SEQMEND_TEST_WRAPPER,
  // split at blanks, goes in front of it (valgrind, say); its exit status 99 is a failure.
  RunResult run(const std::vector<std::string>& args) {
    std::vector<std::string> command;
    const char* words = std::getenv("SEQMEND_TEST_WRAPPER");
    std::istringstream wrapper(words != nullptr ? words : "");
    for (std::string word; wrapper >> word;) {
      command.push_back(word);
    }
    const bool wrapped = !command.empty();
    command.push_back(SEQMEND_BINARY);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : command) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string work = root_ + "/work", outPath = root_ + "/stdout",
                      errPath = root_ + "/stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      // Only async-signal-safe calls between fork and exec.
      const int in = open("/dev/null", O_RDONLY);
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
          chdir(work.c_str()) != 0 || setsid() < 0) {
        _exit(127);
      }
      for (int fd : {in, out, err}) {
        if (fd > 2) {
          close(fd);
        }
      }
      if (fileSizeLimit_ != RLIM_INFINITY) {
        const struct rlimit limit = {fileSizeLimit_, fileSizeLimit_};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      alarm(wrapped ? 600 : 30);  // a run that waits forever (on a FIFO, say) fails instead
      execvp(argv[0], argv.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
    RunResult result;
    int wstatus = 0;
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid) {
      result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
      EXPECT_FALSE(WIFSIGNALED(wstatus)) << "killed by signal " << WTERMSIG(wstatus);
    }
    Bytes bytes;
    readFileBytes(outPath, bytes);
    result.out.assign(bytes.begin(), bytes.end());
    readFileBytes(errPath, bytes);
    result.err.assign(bytes.begin(), bytes.end());
    EXPECT_NE(127, result.status) << "could not start " << command[0] << "\n" << result.err;
    EXPECT_TRUE(!wrapped || result.status != 99) << "the wrapper found a fault:\n" << result.err;
    for (const auto& [name, expected] : inputs_) {
      Bytes now;
      EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path(name))) &&
                  readFileBytes(path(name), now) && now == expected)
          << "input " << name << " is gone or changed: " << expected.size() << " bytes before, "
          << now.size() << " after";
    }
    return contents(std::move(result));
  }

  // What the working folder holds now, in the form a run reports it.
  RunResult contents(RunResult result = {}) const {
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/work")) {
      const std::string name = entry.path().filename();
      if (!entry.is_regular_file() || entry.is_symlink()) {
        result.otherNodes.push_back(name);
      } else if (!readFileBytes(path(name), result.files[name])) {
        ADD_FAILURE() << "cannot read " << name;
      }
    }
    std::sort(result.otherNodes.begin(), result.otherNodes.end());
    return result;
  }

 private:
  std::string root_;
  std::map<std::string, Bytes> inputs_;
  rlim_t fileSizeLimit_ = RLIM_INFINITY;
};

// Runs the binary once in a fresh folder holding `inputs`.
inline RunResult runSeqmend(const std::vector<std::string>& args,
                            const std::map<std::string, Bytes>& inputs = {}) {
  Sandbox sandbox;
  for (const auto& [name, bytes] : inputs) {
    sandbox.write(name, bytes);
  }
  return sandbox.run(args);
}
