// The processes that run the files, a number at a time. On Linux each file gets a fork without
// exec, whose standard output and standard error go to a pipe, in the scratch folder of its
// slot. This unit alone knows how a run is started and ended; a platform without fork would
// start seqmend itself per file here, with the same results.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "file_run.h"

// How a run ended and what it printed.
struct RunEnd {
  FileJob job;
  enum class How { Exited, Signalled, TimedOut } how = How::Exited;
  int status = 0;         // the exit status, or the signal
  std::string output;     // standard output and standard error as printed, up to the limit
  long omittedLines = 0;  // lines past the limit
  FileRunResult result;
  double milliseconds = 0;
};

class RunPool {
 public:
  // Slot n works in the folder "n" that it creates in scratchRootFd. A run past timeoutSeconds
  // (0: no limit) is killed.
  RunPool(int slots, const RunSetup& setup, int scratchRootFd, int timeoutSeconds);
  // Kills and reaps every run still going and removes the slots' folders.
  ~RunPool();
  RunPool(const RunPool&) = delete;
  RunPool& operator=(const RunPool&) = delete;

  bool hasFreeSlot() const { return running_ < slots_.size(); }
  bool busy() const { return running_ > 0; }

  // Starts the run of one file; false with errno set when no process could be started.
  bool start(const FileJob& job);

  // Waits until a run ends; false when a signal interrupted the wait.
  bool waitForEnd(RunEnd& end);

  // Bytes of a run's lines kept for its report.
  static constexpr size_t OUTPUT_LIMIT = 1 << 20;

 private:
  struct Slot {
    pid_t pid = -1;
    int pipe = -1;  // read end; -1 once the run closed its end
    int scratchFd = -1;
    bool timedOut = false;
    struct timespec started = {};
    RunEnd end;
  };
  void readOutput(Slot& slot);
  bool reap(Slot& slot, RunEnd& end);
  void clearScratch(const Slot& slot) const;

  RunSetup setup_;
  int scratchRootFd_;
  int timeoutSeconds_;
  std::vector<Slot> slots_;
  size_t running_ = 0;
  FileRunResult* shared_ = nullptr;  // one per slot, shared with the runs
};
