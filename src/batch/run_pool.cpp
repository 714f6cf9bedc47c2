// The Linux runs: fork without exec, a pipe for the lines, poll for lines, ends and time limits.
#include "run_pool.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

double millisecondsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) * 1e3 + double(now.tv_nsec - start.tv_nsec) / 1e6;
}

// The child's side of a fork: its lines into the pipe in the order printed, then the run.
[[noreturn]] void startChild(int pipeEnd, const FileJob& job, const RunSetup& setup, int scratchFd,
                             FileRunResult& result) {
  for (int number : {SIGINT, SIGTERM, SIGPIPE, SIGHUP}) {
    signal(number, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (dup2(pipeEnd, STDOUT_FILENO) < 0 || dup2(pipeEnd, STDERR_FILENO) < 0) {
    _exit(RUN_FAILED);
  }
  close(pipeEnd);
  // Nothing the batch left in stdout's buffer may reach the pipe; line buffering keeps the
  // lines of stdout and stderr in the order they were printed.
  __fpurge(stdout);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  runFile(job, setup, scratchFd, result);
}

}  // namespace

RunPool::RunPool(int slots, const RunSetup& setup, int scratchRootFd, int timeoutSeconds)
    : setup_(setup),
      scratchRootFd_(scratchRootFd),
      timeoutSeconds_(timeoutSeconds),
      slots_(size_t(slots)) {
  void* shared = mmap(nullptr, sizeof(FileRunResult) * slots_.size(), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  shared_ = shared == MAP_FAILED ? nullptr : static_cast<FileRunResult*>(shared);
  for (size_t i = 0; i < slots_.size(); ++i) {
    const std::string name = std::to_string(i);
    mkdirat(scratchRootFd_, name.c_str(), 0700);
    slots_[i].scratchFd = openat(scratchRootFd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
}

RunPool::~RunPool() {
  for (Slot& slot : slots_) {
    if (slot.pid > 0) {
      kill(slot.pid, SIGKILL);
      waitpid(slot.pid, nullptr, 0);
    }
    if (slot.pipe >= 0) {
      close(slot.pipe);
    }
    if (slot.scratchFd >= 0) {
      clearScratch(slot);
      close(slot.scratchFd);
    }
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    unlinkat(scratchRootFd_, std::to_string(i).c_str(), AT_REMOVEDIR);
  }
  if (shared_ != nullptr) {
    munmap(shared_, sizeof(FileRunResult) * slots_.size());
  }
}

bool RunPool::start(const FileJob& job) {
  const auto free =
      std::find_if(slots_.begin(), slots_.end(), [](const Slot& slot) { return slot.pid < 0; });
  if (free == slots_.end() || shared_ == nullptr || free->scratchFd < 0) {
    errno = free == slots_.end() ? EAGAIN : ENOMEM;
    return false;
  }
  Slot& slot = *free;
  FileRunResult& result = shared_[free - slots_.begin()];
  result = FileRunResult{};
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return false;
  }
  clock_gettime(CLOCK_MONOTONIC, &slot.started);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    startChild(ends[1], job, setup_, slot.scratchFd, result);
  }
  const int error = errno;
  close(ends[1]);
  if (pid < 0) {
    close(ends[0]);
    errno = error;
    return false;
  }
  slot.pid = pid;
  slot.pipe = ends[0];
  slot.timedOut = false;
  slot.end = RunEnd{};
  slot.end.job = job;
  ++running_;
  return true;
}

// Takes what the run printed; past the limit only its lines are counted.
void RunPool::readOutput(Slot& slot) {
  char buffer[65536];
  const ssize_t count = read(slot.pipe, buffer, sizeof buffer);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
    return;
  }
  if (count <= 0) {
    close(slot.pipe);
    slot.pipe = -1;
    return;
  }
  std::string& output = slot.end.output;
  const size_t kept = std::min(size_t(count), OUTPUT_LIMIT - std::min(OUTPUT_LIMIT, output.size()));
  output.append(buffer, kept);
  slot.end.omittedLines += std::count(buffer + kept, buffer + count, '\n');
}

bool RunPool::reap(Slot& slot, RunEnd& end) {
  int status = 0;
  if (waitpid(slot.pid, &status, 0) != slot.pid) {
    return false;
  }
  end = std::move(slot.end);
  end.milliseconds = millisecondsSince(slot.started);
  end.result = shared_[&slot - slots_.data()];
  if (slot.timedOut) {
    end.how = RunEnd::How::TimedOut;
    end.status = timeoutSeconds_;
  } else if (WIFSIGNALED(status)) {
    end.how = RunEnd::How::Signalled;
    end.status = WTERMSIG(status);
  } else {
    end.how = RunEnd::How::Exited;
    end.status = WEXITSTATUS(status);
  }
  // A line cut by the limit is dropped whole.
  if (end.output.size() >= OUTPUT_LIMIT) {
    const size_t last = end.output.rfind('\n');
    end.output.resize(last == std::string::npos ? 0 : last + 1);
    ++end.omittedLines;
  }
  // A run that did not end by its own verdict may have left its copy or extra files behind.
  if (end.how != RunEnd::How::Exited || (end.status != RUN_SOUND && end.status != RUN_REPAIRED)) {
    clearScratch(slot);
  }
  slot.pid = -1;
  --running_;
  return true;
}

void RunPool::clearScratch(const Slot& slot) const {
  const int fd = openat(slot.scratchFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    if (fd >= 0) {
      close(fd);
    }
    return;
  }
  while (const struct dirent* item = readdir(dir)) {
    unlinkat(slot.scratchFd, item->d_name, 0);  // "." and ".." are not files: refused
  }
  closedir(dir);
}

bool RunPool::waitForEnd(RunEnd& end) {
  for (;;) {
    std::vector<struct pollfd> watched;
    std::vector<Slot*> owners;
    int wait = -1;
    for (Slot& slot : slots_) {
      if (slot.pid < 0) {
        continue;
      }
      if (slot.pipe < 0) {
        return reap(slot, end);
      }
      if (timeoutSeconds_ > 0 && !slot.timedOut) {
        const double left = timeoutSeconds_ * 1e3 - millisecondsSince(slot.started);
        if (left <= 0) {
          kill(slot.pid, SIGKILL);
          slot.timedOut = true;
        } else if (wait < 0 || left + 1 < wait) {
          wait = int(left) + 1;
        }
      }
      watched.push_back({slot.pipe, POLLIN, 0});
      owners.push_back(&slot);
    }
    if (watched.empty()) {
      return false;
    }
    const int ready = poll(watched.data(), watched.size(), wait);
    if (ready < 0 && errno == EINTR) {
      return false;
    }
    for (size_t i = 0; ready > 0 && i < watched.size(); ++i) {
      if (watched[i].revents != 0) {
        readOutput(*owners[i]);
      }
    }
  }
}
