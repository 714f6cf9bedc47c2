// Runs the built seqmend in a fresh temporary folder and reports what it printed, its exit status
// and the files it left there. Every input written through the folder is checked to be unchanged
// after every run, so no end-to-end test can miss a damaged input.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
  std::vector<std::string> otherNodes;  // everything else: folders, devices, FIFOs, links
};

// Reads a whole file; false if it cannot be opened.
inline bool readFileBytes(const std::string& path, Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    return false;
  }
  bytes.clear();
  unsigned char block[4096];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, f)) > 0) {
    bytes.insert(bytes.end(), block, block + got);
  }
  std::fclose(f);
  return true;
}

// A fresh folder for one test: <tmp>/seqmend-e2e-XXXXXX/work is the binary's working folder;
// its captured streams sit beside it, out of the listing. Everything goes with the object.
class Sandbox {
 public:
  Sandbox() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/seqmend-e2e-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
      return;
    }
    root_ = buffer.data();
    mkdir((root_ + "/work").c_str(), 0755);
  }
  ~Sandbox() {
    if (!root_.empty()) {
      nftw(
          root_.c_str(),
          [](const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); },
          16, FTW_DEPTH | FTW_PHYS);
    }
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The absolute path of a name in the working folder.
  std::string path(const std::string& name) const { return root_ + "/work/" + name; }

  // Writes an input file; every later run checks that it still holds exactly these bytes.
  void write(const std::string& name, const Bytes& bytes) {
    inputs_[name] = bytes;
    FILE* f = std::fopen(path(name).c_str(), "wb");
    ASSERT_NE(nullptr, f) << name;
    if (!bytes.empty()) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    ASSERT_EQ(0, std::fclose(f)) << name;
  }

  // Limits the size of any file the binary writes (RLIMIT_FSIZE, with SIGXFSZ ignored so that
  // writes past it fail with EFBIG): a full disk for regular files.
  void limitFileSize(rlim_t bytes) { fileSizeLimit_ = bytes; }

  // Runs the binary with args in the working folder, stdin from /dev/null, in a session of its
  // own so that it can never reach the terminal of whoever runs the tests.
  RunResult run(const std::vector<std::string>& args) {
    RunResult result;
    std::vector<std::string> command = wrapperCommand();
    command.push_back(SEQMEND_BINARY);
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : command) {
      argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string work = root_ + "/work";
    const std::string outPath = root_ + "/stdout";
    const std::string errPath = root_ + "/stderr";
    const bool wrapped = command.size() > args.size() + 1;
    const unsigned timeout = wrapped ? 600 : 30;
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
      alarm(timeout);  // a run that waits forever (for a FIFO's other end, say) fails instead
      execvp(argv[0], argv.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
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
    if (wrapped) {
      EXPECT_NE(99, result.status) << "the wrapper found a fault:\n" << result.err;
    }
    listFiles(result);
    checkInputsUnchanged();
    return result;
  }

  // What the working folder holds now, in the form a run reports it.
  RunResult contents() const {
    RunResult result;
    listFiles(result);
    return result;
  }

 private:
  // SEQMEND_TEST_WRAPPER, split at blanks: a command such as valgrind to run the binary under.
  static std::vector<std::string> wrapperCommand() {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("SEQMEND_TEST_WRAPPER");
    std::istringstream split(wrapper != nullptr ? wrapper : "");
    for (std::string word; split >> word;) {
      words.push_back(word);
    }
    return words;
  }

  void listFiles(RunResult& result) const {
    DIR* dir = opendir((root_ + "/work").c_str());
    ASSERT_NE(nullptr, dir);
    while (const struct dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat st;
      if (name == "." || name == ".." || lstat(path(name).c_str(), &st) != 0) {
        continue;
      }
      if (!S_ISREG(st.st_mode)) {
        result.otherNodes.push_back(name);
      } else if (!readFileBytes(path(name), result.files[name])) {
        ADD_FAILURE() << "cannot read " << name;
      }
    }
    closedir(dir);
    std::sort(result.otherNodes.begin(), result.otherNodes.end());
  }

  void checkInputsUnchanged() const {
    for (const auto& [name, expected] : inputs_) {
      struct stat st;
      Bytes now;
      if (lstat(path(name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ADD_FAILURE() << "input " << name << " is gone";
      } else if (!readFileBytes(path(name), now) || now != expected) {
        ADD_FAILURE() << "input " << name << " changed: " << expected.size() << " bytes before, "
                      << now.size() << " after";
      }
    }
  }

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
