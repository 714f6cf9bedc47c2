// What lies behind the MIDI data: stray bytes are dropped with a report, an XF information block
// is passed over, and every further MIDI file is handed to the caller as "extra%d.mid".
#include <cstdio>

#include "engine.h"

namespace {

// Fewer bytes than this left behind the data are never taken for an XF information block.
constexpr long XF_INFO_MIN_BYTES = 16;

}  // namespace

int handleTrailingData(ChunkWalk& walk, Repair& repair) {
  Input& in = repair.in;
  const long inputSize = repair.inputSize();
  walk.extraCount = 0;
  if (in.tell() >= inputSize) {
    return REPAIR_UNCHANGED;
  }
  for (;;) {
    walk.nextHeader = int32_t(findHeaderStart(in, walk.search));
    const long limit = walk.nextHeader != NOT_FOUND ? walk.nextHeader : inputSize;
    const long position = in.tell();
    if (position < limit) {
      if (position + XF_INFO_MIN_BYTES <= inputSize) {
        if (readInput(walk.tag, 4, in) == 4 && tagEquals(XF_INFO_TAG, walk.tag)) {
          seekInput(in, inputSize);
        } else {
          seekInput(in, position);
        }
      }
      const long garbageStart = in.tell();
      if (garbageStart < limit) {
        walk.fileChanged = true;
        repair.report(SEQMEND_TRAILING_GARBAGE, {.count = limit - garbageStart});
      }
    }
    seekInput(in, limit);
    if (walk.nextHeader == NOT_FOUND || repair.failed()) {
      return REPAIR_UNCHANGED;
    }

    // This file ends where the next header begins; the search starts past this one's first byte.
    readInputByte(in);
    long end = findHeaderStart(in, walk.search);
    if (end == NOT_FOUND) {
      end = inputSize;
    }

    ++walk.extraCount;
    repair.extraCount = walk.extraCount;
    char extraName[24];
    std::snprintf(extraName, sizeof extraName, "extra%d.mid", walk.extraCount);
    repair.report(SEQMEND_EXTRA_FILE, {.file = extraName});
    if (repair.extras != nullptr) {
      repair.extras->emplace_back(walk.nextHeader, end - walk.nextHeader);
    }
    const seqmend_options* options = repair.options;
    if (options != nullptr && options->on_extra != nullptr && !repair.failed()) {
      const int error =
          options->on_extra(options->context, walk.extraCount, uint64_t(walk.nextHeader),
                            uint64_t(end - walk.nextHeader));
      if (error != 0) {
        repair.failure.set(SEQMEND_STREAM_EXTRA, error);
        return REPAIR_FAILED;
      }
    }
    walk.fileChanged = true;
    seekInput(in, end);
    if (end >= inputSize) {
      return REPAIR_UNCHANGED;
    }
  }
}
