// The Linux runs: fork without exec, a pipe for the record, poll for records, ends and limits.
#include "run_pool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// A record larger than this is no record: the run is reported as crashed.
constexpr size_t RECORD_LIMIT = 64u << 20;

double millisecondsSince(const struct timespec& start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec - start.tv_sec) * 1e3 + double(now.tv_nsec - start.tv_nsec) / 1e6;
}

// The child's side of a fork: the treatment, its record into the pipe, the end.
[[noreturn]] void runChild(int pipeEnd, const FileJob& job, const RunSetup& setup) {
  // A stop signal is the batch's to handle: it kills its runs, and a run never ends with a
  // signal from the terminal that would make its file look crashed. A run outlives no batch.
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    signal(number, SIG_IGN);
  }
  signal(SIGPIPE, SIG_DFL);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const std::string bytes = [&] {
    Worker worker(std::to_string(getpid()) + "p");
    return encodeRecord(worker.treat(job, setup));
  }();
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t count = write(pipeEnd, bytes.data() + done, bytes.size() - done);
    if (count < 0 && errno != EINTR) {
      _exit(1);
    }
    done += count > 0 ? size_t(count) : 0;
  }
  _exit(0);
}

}  // namespace

RunPool::RunPool(int slots, const RunSetup& setup, int timeoutSeconds)
    : setup_(setup), timeoutSeconds_(timeoutSeconds), slots_(size_t(slots)) {}

RunPool::~RunPool() {
  for (Slot& slot : slots_) {
    if (slot.pid > 0) {
      kill(slot.pid, SIGKILL);
      waitpid(slot.pid, nullptr, 0);
    }
    if (slot.pipe >= 0) {
      close(slot.pipe);
    }
  }
}

bool RunPool::start(const FileJob& job) {
  const auto free =
      std::find_if(slots_.begin(), slots_.end(), [](const Slot& slot) { return slot.pid < 0; });
  if (free == slots_.end()) {
    errno = EAGAIN;
    return false;
  }
  Slot& slot = *free;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return false;
  }
  clock_gettime(CLOCK_MONOTONIC, &slot.started);
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    runChild(ends[1], job, setup_);
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
  slot.job = job;
  slot.bytes.clear();
  ++running_;
  return true;
}

void RunPool::readRecord(Slot& slot) {
  char buffer[65536];
  const ssize_t count = read(slot.pipe, buffer, sizeof buffer);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
    return;
  }
  if (count <= 0 || slot.bytes.size() + size_t(count) > RECORD_LIMIT) {
    close(slot.pipe);
    slot.pipe = -1;
    return;
  }
  slot.bytes.append(buffer, size_t(count));
}

bool RunPool::reap(Slot& slot, FileRecord& record) {
  int status = 0;
  if (waitpid(slot.pid, &status, 0) != slot.pid) {
    return false;
  }
  const bool decoded = !slot.timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                       decodeRecord(slot.bytes, record) && record.path == slot.job.path;
  if (!decoded) {
    record = FileRecord{};
    record.path = slot.job.path;
    if (slot.timedOut) {
      record.verdict = "timeout";
      addMessage(record, timeoutMessage(record.path, timeoutSeconds_));
    } else if (WIFSIGNALED(status)) {
      record.verdict = "crashed";
      record.signal = WTERMSIG(status);
      addMessage(record, crashedMessage(record.path, record.signal));
    } else {
      record.verdict = "crashed";
      addMessage(record,
                 exitStatusMessage(record.path, WIFEXITED(status) ? WEXITSTATUS(status) : 0));
    }
  }
  record.milliseconds = millisecondsSince(slot.started);
  slot.pid = -1;
  --running_;
  return true;
}

bool RunPool::waitForEnd(FileRecord& record) {
  for (;;) {
    std::vector<struct pollfd> watched;
    std::vector<Slot*> owners;
    int wait = -1;
    for (Slot& slot : slots_) {
      if (slot.pid < 0) {
        continue;
      }
      if (slot.pipe < 0) {
        return reap(slot, record);
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
        readRecord(*owners[i]);
      }
    }
  }
}
