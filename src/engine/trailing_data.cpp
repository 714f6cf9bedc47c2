// What lies behind the MIDI data: stray bytes are dropped with a report, an XF information block
// is passed over, and every further MIDI file is saved unchanged as "extra%d.mid".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine.h"

namespace {

// Fewer bytes than this left behind the data are never taken for an XF information block.
constexpr long XF_INFO_MIN_BYTES = 16;

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool denotesStream(const struct stat& file, FILE* stream) {
  struct stat streamStat;
  return fstat(fileno(stream), &streamStat) == 0 && sameFile(file, streamStat);
}

// Creates an extra file for writing, or returns null with errno set. A name that denotes the
// input or the main output, or a FIFO, socket or device, is refused before it is opened: opening
// it would destroy the file being read, block the run or write into the device.
FILE* createExtraFile(const char* extraName, FILE* in, FILE* out) {
  struct stat existing;
  if (stat(extraName, &existing) == 0 &&
      (!S_ISREG(existing.st_mode) || denotesStream(existing, in) || denotesStream(existing, out))) {
    errno = EACCES;
    return nullptr;
  }
  // The checks are repeated on what was opened, before anything is truncated.
  const int fd = open(extraName, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    return nullptr;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || denotesStream(opened, in) ||
      denotesStream(opened, out)) {
    close(fd);
    errno = EACCES;
    return nullptr;
  }
  FILE* extra = nullptr;
  if (ftruncate(fd, 0) != 0 || (extra = fdopen(fd, "wb")) == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return extra;
}

// Closes an extra file; false (errno set) when it could not be written whole.
bool closeExtraFile(FILE* extra) {
  bool whole = std::fflush(extra) == 0 && !std::ferror(extra);
  int saved = errno;
  if (std::fclose(extra) != 0) {
    whole = false;
    saved = errno;
  }
  errno = saved != 0 ? saved : EIO;
  return whole;
}

}  // namespace

int handleTrailingData(ChunkWalk& walk, const char* name, FILE* out, FILE* in) {
  walk.extraCount = 0;
  if (std::ftell(in) >= g_inputSize) {
    return REPAIR_UNCHANGED;
  }
  for (;;) {
    walk.nextHeader = int32_t(findHeaderStart(in, &walk.search));
    const long limit = walk.nextHeader != NOT_FOUND ? walk.nextHeader : g_inputSize;
    const long position = std::ftell(in);
    if (position < limit) {
      if (position + XF_INFO_MIN_BYTES <= g_inputSize) {
        if (fread_unlocked(walk.tag, 1, 4, in) == 4 && tagEquals(XF_INFO_TAG, walk.tag)) {
          std::fseek(in, 0, SEEK_END);
        } else {
          std::fseek(in, position, SEEK_SET);
        }
      }
      const long garbageStart = std::ftell(in);
      if (garbageStart < limit) {
        walk.fileChanged = true;
        const long n = limit - garbageStart;
        std::printf("%s: remove garbage at end of midi (%ld byte%s)\n", name, n, n == 1 ? "" : "s");
      }
    }
    std::fseek(in, limit, SEEK_SET);
    if (walk.nextHeader == NOT_FOUND) {
      return REPAIR_UNCHANGED;
    }

    // This file ends where the next header begins; the search starts past this one's first byte.
    getc_unlocked(in);
    long end = findHeaderStart(in, &walk.search);
    if (end == NOT_FOUND) {
      end = g_inputSize;
    }
    std::fseek(in, walk.nextHeader, SEEK_SET);

    ++walk.extraCount;
    char extraName[32];
    std::snprintf(extraName, sizeof extraName, "extra%d.mid", walk.extraCount);
    std::printf("%s: Extra midi file found. Written to %s\n", name, extraName);
    FILE* extra = createExtraFile(extraName, in, out);
    if (extra == nullptr) {
      std::perror(extraName);
      return REPAIR_FAILED;
    }
    walk.fileChanged = true;
    copyBytes(end - walk.nextHeader, in, extra);
    if (!closeExtraFile(extra)) {
      std::perror(extraName);
      std::remove(extraName);  // an incomplete copy must not pass for the embedded file
      return REPAIR_FAILED;
    }
    if (std::ftell(in) >= g_inputSize) {
      return REPAIR_UNCHANGED;
    }
  }
}
