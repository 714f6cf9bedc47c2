// The file system on POSIX systems: pread and pwrite, and every name below DIR taken relative
// to an open folder without following a symbolic link, so that a link planted there cannot
// lead a copy elsewhere.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files.h"

namespace {

// Opens the folder below DIR that is to hold `relative`, creating what is missing. Returns -1
// with errno set.
int openDestinationFolder(int outFd, const std::string& relative) {
  int fd = fcntl(outFd, F_DUPFD_CLOEXEC, 0);
  size_t start = 0;
  for (size_t slash; fd >= 0 && (slash = relative.find('/', start)) != std::string::npos;
       start = slash + 1) {
    const std::string part = relative.substr(start, slash - start);
    if (part.empty()) {
      continue;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = openat(fd, part.c_str(), flags);
    if (next < 0 && errno == ENOENT && (mkdirat(fd, part.c_str(), 0777) == 0 || errno == EEXIST)) {
      next = openat(fd, part.c_str(), flags);
    }
    const int error = errno;
    close(fd);
    fd = next;
    errno = error;
  }
  return fd;
}

}  // namespace

int openInput(const std::string& path, int64_t& size) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat status;
  int error = fd < 0 ? errno : fstat(fd, &status) != 0 ? errno : 0;
  off_t end = 0;
  if (error != 0 || S_ISREG(status.st_mode)) {
    end = error != 0 ? 0 : status.st_size;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) ||
             (end = lseek(fd, 0, SEEK_END)) < 0) {
    error = ESPIPE;  // a FIFO, socket, terminal or device without positions
  }
  if (error != 0) {
    if (fd >= 0) {
      close(fd);
    }
    errno = error;
    return -1;
  }
  size = int64_t(end);
  return fd;
}

int readAt(int fd, uint64_t offset, void* buffer, size_t size, size_t* got) {
  *got = 0;
  while (*got < size) {
    const ssize_t count =
        pread(fd, static_cast<char*>(buffer) + *got, size - *got, off_t(offset + *got));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return errno;
    }
    if (count == 0) {
      break;
    }
    *got += size_t(count);
  }
  return 0;
}

int writeAt(int fd, uint64_t offset, const void* bytes, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t count =
        pwrite(fd, static_cast<const char*>(bytes) + done, size - done, off_t(offset + done));
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return count < 0 ? errno : EIO;
    }
    done += size_t(count);
  }
  return 0;
}

int closeFile(int fd) { return close(fd) == 0 ? 0 : errno; }

bool makeScratchFolder(RunSetup& setup) {
  std::string pattern = setup.outName + "/.seqmend-batch-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    return false;
  }
  setup.scratchDir = pattern;
  setup.scratchFd = open(pattern.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return setup.scratchFd >= 0;
}

void removeScratchFolder(RunSetup& setup) {
  const int listFd = setup.scratchFd >= 0 ? dup(setup.scratchFd) : -1;
  if (DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr) {
    while (const struct dirent* item = readdir(dir)) {
      unlinkat(setup.scratchFd, item->d_name, 0);  // "." and ".." are not files: refused
    }
    closedir(dir);
  } else if (listFd >= 0) {
    close(listFd);
  }
  if (setup.scratchFd >= 0) {
    close(setup.scratchFd);
  }
  rmdir(setup.scratchDir.c_str());
  setup.scratchFd = -1;
}

int createScratch(const RunSetup& setup, const std::string& name) {
  return openat(setup.scratchFd, name.c_str(),
                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

void removeScratch(const RunSetup& setup, const std::string& name) {
  unlinkat(setup.scratchFd, name.c_str(), 0);
}

int linkInput(const RunSetup& setup, const std::string&, int inputFd, const std::string& name) {
  unlinkat(setup.scratchFd, name.c_str(), 0);
  const std::string self = "/proc/self/fd/" + std::to_string(inputFd);
  return linkat(AT_FDCWD, self.c_str(), setup.scratchFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0
             ? 0
             : errno;
}

int placeScratch(const RunSetup& setup, const std::string& name, const std::string& relative,
                 const std::string& destName, int inputFd) {
  const int destFd = openDestinationFolder(setup.outFd, relative);
  if (destFd < 0) {
    return errno;
  }
  struct stat input, there;
  int error = 0;
  if (fstat(inputFd, &input) == 0 &&
      fstatat(destFd, destName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      there.st_dev == input.st_dev && there.st_ino == input.st_ino && there.st_nlink <= 1) {
    error = EACCES;  // the input's last name
  } else if (renameat(setup.scratchFd, name.c_str(), destFd, destName.c_str()) != 0) {
    error = errno;
  }
  close(destFd);
  return error;
}

bool isTerminal(int fd) { return isatty(fd) != 0; }

void reportToStandardOutput() {}

long writeSome(int fd, const void* bytes, size_t size) { return long(write(fd, bytes, size)); }

int openReport(const std::string& name, bool resume) {
  return open(
      name.c_str(),
      resume ? O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
      0666);
}

int truncateFile(int fd, uint64_t size) { return ftruncate(fd, off_t(size)) == 0 ? 0 : errno; }

bool openOutFolder(RunSetup& setup) {
  setup.outFd = open(setup.outName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return setup.outFd >= 0;
}

void prepareProcess(void (*stop)(int)) {
  // Each file at a time holds its input open, and with --isolate a pipe: up to the hard limit,
  // so that --jobs is not held back by the usual soft limit of 1024 open files.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  struct sigaction action = {};
  action.sa_handler = stop;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(number, &action, nullptr);
  }
  signal(SIGPIPE, SIG_IGN);
}

int processorCount() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return CPU_COUNT(&set);
  }
  return 1;
}
