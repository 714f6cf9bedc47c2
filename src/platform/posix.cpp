// The platform seam on POSIX systems: identity by device and inode, opens that never wait.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform.h"

namespace {

FileIdentity identityFrom(const struct stat& status) {
  return {uint64_t(status.st_dev), uint64_t(status.st_ino), true};
}

// Closes fd without losing the errno that explains why.
void closeKeepingError(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
}

// Clears O_NONBLOCK, which was only there so that open itself cannot wait, and wraps fd in a
// stream. On failure fd is closed and errno tells why.
FILE* streamFor(int fd, const char* mode) {
  const int flags = fcntl(fd, F_GETFL);
  FILE* stream = nullptr;
  if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    stream = fdopen(fd, mode);
  }
  if (stream == nullptr) {
    closeKeepingError(fd);
  }
  return stream;
}

bool isPipeLike(const struct stat& status) {
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

// Whether writing to the file would destroy what a guarded stream reads or writes. A character
// device such as the null device may serve a standard stream and the output alike.
bool isGuarded(const struct stat& status, FILE* const* guarded, int guardedCount) {
  if (S_ISCHR(status.st_mode)) {
    for (int i = 0; i < guardedCount; ++i) {
      if (guarded[i] != stdout && guarded[i] != stderr &&
          identityOf(guarded[i]) == identityFrom(status)) {
        return true;
      }
    }
    return false;
  }
  for (int i = 0; i < guardedCount; ++i) {
    if (identityOf(guarded[i]) == identityFrom(status)) {
      return true;
    }
  }
  return false;
}

// Why a file of this kind cannot be written as target, or 0 when it can. fd is the open file,
// or -1 while only its name has been looked at.
int refusal(const struct stat& status, WriteTarget target, FILE* const* guarded, int guardedCount,
            int fd) {
  if (isGuarded(status, guarded, guardedCount)) {
    return EACCES;
  }
  if (S_ISREG(status.st_mode)) {
    return 0;
  }
  if (target == WriteTarget::REGULAR_FILE) {
    return EACCES;
  }
  if (isPipeLike(status)) {
    return ESPIPE;
  }
  // A device must seek back for the length patches; it is written in place, never truncated.
  if (fd >= 0 && !S_ISDIR(status.st_mode) && lseek(fd, 0, SEEK_SET) != 0) {
    return ESPIPE;
  }
  return 0;
}

}  // namespace

const char* const* startProgram(int&, char* argv[]) { return argv; }

FileIdentity identityOf(FILE* stream) {
  struct stat status;
  if (stream == nullptr || fstat(fileno(stream), &status) != 0) {
    return {};
  }
  return identityFrom(status);
}

FILE* openInputFile(const char* name, FileIdentity& identity, int64_t& size) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return nullptr;
  }
  struct stat status;
  int error = 0;
  off_t end = 0;
  if (fstat(fd, &status) != 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else if (isPipeLike(status)) {
    error = ESPIPE;
  } else if ((end = lseek(fd, 0, SEEK_END)) < 0 || lseek(fd, 0, SEEK_SET) != 0) {
    error = ESPIPE;  // a terminal, or a device without positions
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return nullptr;
  }
  identity = identityFrom(status);
  size = int64_t(end);
  return streamFor(fd, "rb");
}

bool openFileForWriting(const char* name, WriteTarget target, FILE* const* guarded,
                        int guardedCount, WrittenFile& file) {
  file = WrittenFile();
  struct stat before;
  const bool existed = stat(name, &before) == 0;
  // Opening a FIFO for writing waits for a reader, so it is refused before it is opened.
  int error = existed ? refusal(before, target, guarded, guardedCount, -1) : 0;
  if (error != 0) {
    errno = error;
    return false;
  }
  // No O_TRUNC: the file is truncated only once it is known to be one that may be written.
  const int fd =
      open(name, O_WRONLY | O_CREAT | (existed ? 0 : O_EXCL) | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    return false;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    closeKeepingError(fd);
    if (!existed) {
      const int saved = errno;
      unlink(name);  // created by this call, exclusively
      errno = saved;
    }
    return false;
  }
  file.identity = identityFrom(opened);
  // Repeated on what was opened: the name may have been switched since it was looked at.
  error = refusal(opened, target, guarded, guardedCount, fd);
  const bool regular = S_ISREG(opened.st_mode);
  if (error == 0 && regular && ftruncate(fd, 0) != 0) {
    error = errno;
  }
  if (error == 0) {
    file.stream = streamFor(fd, "wb");
    if (file.stream != nullptr) {
      file.removable = regular;
      return true;
    }
    error = errno;
  } else {
    close(fd);
  }
  // Only a file that this call created goes again; an existing one is left as it was found.
  file.removable = !existed && regular && !isGuarded(opened, guarded, guardedCount);
  removeWrittenFile(name, file);
  file = WrittenFile();
  errno = error;
  return false;
}

bool removeWrittenFile(const char* name, const WrittenFile& file) {
  if (!file.removable) {
    return true;
  }
  struct stat now;
  if (stat(name, &now) != 0) {
    return errno == ENOENT;
  }
  // A name that denotes another file now holds nothing of this run's.
  return !(identityFrom(now) == file.identity) || unlink(name) == 0;
}

bool offsetsFitLong(FILE* stream) {
  // The position counts bytes still in the buffer; the length, bytes behind a seek back.
  struct stat status;
  return ftello(stream) <= LONG_MAX &&
         (fstat(fileno(stream), &status) != 0 || status.st_size <= LONG_MAX);
}
