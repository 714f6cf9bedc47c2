// --isolate: each file treated in a process of its own (on Linux a fork without exec), a number
// at a time, so that a crash or a hang costs only that file. A run hands its record back whole
// through a pipe; a run that ends otherwise, or is stopped after the time limit, is reported by
// the batch.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

#include "report.h"
#include "worker.h"

class RunPool {
 public:
  // A run past timeoutSeconds (0: no limit) is killed.
  RunPool(int slots, const RunSetup& setup, int timeoutSeconds);
  // Kills and reaps every run still going.
  ~RunPool();
  RunPool(const RunPool&) = delete;
  RunPool& operator=(const RunPool&) = delete;

  bool hasFreeSlot() const { return running_ < slots_.size(); }
  bool busy() const { return running_ > 0; }

  // Starts the run of one file; false with errno set when no process could be started.
  bool start(const FileJob& job);

  // Waits until a run ends and gives its record; false when a signal interrupted the wait.
  bool waitForEnd(FileRecord& record);

 private:
  struct Slot {
    pid_t pid = -1;
    int pipe = -1;  // read end; -1 once the run closed its end
    bool timedOut = false;
    struct timespec started = {};
    FileJob job;
    std::string bytes;  // the record as the run sent it
  };
  void readRecord(Slot& slot);
  bool reap(Slot& slot, FileRecord& record);

  RunSetup setup_;
  int timeoutSeconds_;
  std::vector<Slot> slots_;
  size_t running_ = 0;
};
