// What lies behind the MIDI data: stray bytes are dropped with a report, an XF information block
// is passed over, and every further MIDI file is saved unchanged as "extra%d.mid".
#include <cerrno>

#include "engine.h"
#include "platform.h"

namespace {

// Fewer bytes than this left behind the data are never taken for an XF information block.
constexpr long XF_INFO_MIN_BYTES = 16;

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
    walk.nextHeader = int32_t(findHeaderStart(in, walk.search));
    const long limit = walk.nextHeader != NOT_FOUND ? walk.nextHeader : g_inputSize;
    const long position = std::ftell(in);
    if (position < limit) {
      if (position + XF_INFO_MIN_BYTES <= g_inputSize) {
        if (readInput(walk.tag, 4, in) == 4 && tagEquals(XF_INFO_TAG, walk.tag)) {
          seekInput(in, g_inputSize);
        } else {
          seekInput(in, position);
        }
      }
      const long garbageStart = std::ftell(in);
      if (garbageStart < limit) {
        walk.fileChanged = true;
        const long n = limit - garbageStart;
        std::printf("%s: remove garbage at end of midi (%ld byte%s)\n", name, n, pluralEnding(n));
      }
    }
    seekInput(in, limit);
    if (walk.nextHeader == NOT_FOUND) {
      return REPAIR_UNCHANGED;
    }

    // This file ends where the next header begins; the search starts past this one's first byte.
    readInputByte(in);
    long end = findHeaderStart(in, walk.search);
    if (end == NOT_FOUND) {
      end = g_inputSize;
    }
    seekInput(in, walk.nextHeader);

    ++walk.extraCount;
    char extraName[32];
    std::snprintf(extraName, sizeof extraName, "extra%d.mid", walk.extraCount);
    std::printf("%s: Extra midi file found. Written to %s\n", name, extraName);
    // Never the input, the output or a file that takes what the run prints, nor a device.
    FILE* const guarded[] = {in, out, stdout, stderr};
    WrittenFile extra;
    if (!openFileForWriting(extraName, WriteTarget::REGULAR_FILE, guarded, 4, extra)) {
      std::perror(extraName);
      return REPAIR_FAILED;
    }
    walk.fileChanged = true;
    copyBytes(end - walk.nextHeader, in, extra.stream);
    if (!closeExtraFile(extra.stream)) {
      std::perror(extraName);
      // An incomplete copy must not pass for the embedded file; one that stays is reported.
      if (!removeWrittenFile(extraName, extra)) {
        std::perror(extraName);
      }
      return REPAIR_FAILED;
    }
    if (std::ftell(in) >= g_inputSize) {
      return REPAIR_UNCHANGED;
    }
  }
}
