// Finds where untagged track data begins: the first offset from which the events parse cleanly
// over a window of 100 bytes. Only reads.
//
// A candidate's examination passes from event boundary to event boundary, and from a boundary on
// the walk depends only on that offset and on the running status in force there, indeed only on
// how many data bytes that status takes. A candidate is accepted exactly when the last boundary
// that the walk from its first boundary reaches is 100 bytes or more past the candidate. Every
// walk that does not end the search stays within the 100 bytes past its candidate, so the last
// boundary of each (offset, running status) met there is remembered, and every state is walked
// once: the search takes time linear in the input.
#include <cstring>

#include "engine.h"

namespace {

constexpr int32_t WINDOW = 100;
constexpr unsigned char SYSEX_END[1] = {0xF7};

// The running status at a boundary, as far as the walk from there can tell: none, or the number
// of data bytes of its messages.
enum RunningStatus : uint8_t { NO_RUNNING_STATUS = 0, ONE_DATA_BYTE = 1, TWO_DATA_BYTES = 2 };

// The input bytes around the offsets being examined, read in blocks.
class InputBytes {
 public:
  InputBytes(FILE* in, long end) : in_(in), end_(end) {}

  long end() const { return end_; }

  // The byte at offset, or EOF past the end of the input.
  int at(long offset) {
    if (offset < blockStart_ || offset >= blockEnd_) {
      if (offset >= end_ || !fill(offset)) {
        return EOF;
      }
    }
    return block_[offset - blockStart_];
  }

 private:
  // Reads a block that holds offset, with room behind it for the candidates still to come.
  bool fill(long offset) {
    blockStart_ = offset > BEHIND ? offset - BEHIND : 0;
    std::fseek(in_, blockStart_, SEEK_SET);
    blockEnd_ = blockStart_ + long(readBlock(block_, sizeof block_, in_));
    std::clearerr(in_);
    return offset < blockEnd_;
  }

  static constexpr long BEHIND = 256;
  FILE* in_;
  long end_;
  long blockStart_ = 0;
  long blockEnd_ = 0;
  unsigned char block_[32768];
};

// Where one event took a walk: refused, or on to the next boundary.
struct Step {
  bool refused = true;
  long next = 0;
  RunningStatus runningStatus = NO_RUNNING_STATUS;
};

// The event at `offset` under the given running status, by the rules of track data. rangeEnd
// bounds the search for the F7 that ends a system exclusive event.
Step readEvent(InputBytes& input, FILE* in, PatternMemo& sysexEnds, long offset,
               RunningStatus runningStatus, long rangeEnd) {
  Step step;
  uint32_t value = 0;
  int byte = 0;
  for (int i = 0;; ++i) {  // the delta time
    if ((byte = input.at(offset++)) == EOF) {
      return step;
    }
    if (!addVarLenByte(value, unsigned(byte), i)) {
      break;
    }
  }
  const int status = input.at(offset);
  if (status == EOF || (status < 0x80 && runningStatus == NO_RUNNING_STATUS)) {
    return step;
  }
  int dataBytes = runningStatus;  // a data byte in place of the status is read again as data
  if (status >= 0x80) {
    ++offset;
    const bool channel = status < 0xF0;
    dataBytes = channel ? channelDataBytes(status) : systemRule(status).dataBytes;
    step.runningStatus = channel ? RunningStatus(dataBytes) : NO_RUNNING_STATUS;
    const SystemEvent kind = channel ? SystemEvent::MESSAGE : systemRule(status).inUntaggedData;
    if (kind == SystemEvent::REFUSED) {
      return step;
    }
    if (kind == SystemEvent::SYSEX) {
      for (int i = 0;; ++i) {  // the length, whose value plays no part
        if ((byte = input.at(offset++)) == EOF) {
          return step;
        }
        if (!addVarLenByte(value, unsigned(byte), i)) {
          break;
        }
      }
      // The event ends at the first F7 after its length, whatever the length says, and only
      // within the range.
      std::fseek(in, offset, SEEK_SET);
      const long end = findPatternMemo(in, SYSEX_END, 1, sysexEnds);
      if (end == NOT_FOUND || offset >= rangeEnd || end >= rangeEnd) {
        return step;
      }
      step.refused = false;
      step.next = end + 1;
      return step;
    }
    if (kind == SystemEvent::META) {
      const int type = input.at(offset++);
      if (type == EOF || type >= 0x80) {
        return step;
      }
      uint32_t length = 0;
      for (int i = 0;; ++i) {
        if ((byte = input.at(offset++)) == EOF) {
          return step;
        }
        if (!addVarLenByte(length, unsigned(byte), i)) {
          break;
        }
      }
      // The data are only dropped, so it is enough to know that the input holds them.
      if (offset + long(length) > input.end()) {
        return step;
      }
      step.refused = false;
      step.next = offset + long(length);
      return step;
    }
  } else {
    step.runningStatus = runningStatus;
  }
  for (int i = 0; i < dataBytes; ++i) {
    byte = input.at(offset++);
    if (byte == EOF || byte >= 0x80) {
      return step;
    }
  }
  step.refused = false;
  step.next = offset;
  return step;
}

// The last boundary of every (offset, running status) met within the window of the candidates,
// kept for as long as a later candidate can reach it.
class LastBoundaries {
 public:
  static constexpr long UNKNOWN = -1;

  long get(long offset, RunningStatus status) const {
    const Entry& entry = entries_[slot(offset)][status];
    return entry.offset == offset ? entry.last : UNKNOWN;
  }
  void set(long offset, RunningStatus status, long last) {
    entries_[slot(offset)][status] = {offset, last};
  }

 private:
  // A walk that does not end the search stays within the window past its candidate, and the
  // candidates move on one byte at a time, so offsets this far apart never meet.
  static constexpr long SLOTS = 256;
  static_assert(SLOTS > 2 * WINDOW);
  static size_t slot(long offset) { return size_t(offset % SLOTS); }

  struct Entry {
    long offset = -1;
    long last = UNKNOWN;
  };
  Entry entries_[SLOTS][3];
};

}  // namespace

int32_t recognizeTrackData(FILE* in, int32_t start, int32_t available) {
  if (available <= WINDOW) {
    return NOT_FOUND;
  }
  std::fseek(in, 0, SEEK_END);
  InputBytes input(in, std::ftell(in));
  const long rangeEnd = long(start) + available;
  PatternMemo sysexEnds;
  LastBoundaries lastBoundaries;
  long path[WINDOW + 1];
  RunningStatus pathStatus[WINDOW + 1];
  for (long candidate = start; rangeEnd - candidate > WINDOW; ++candidate) {
    const long accepted = candidate + WINDOW;
    Step step = readEvent(input, in, sysexEnds, candidate, NO_RUNNING_STATUS, rangeEnd);
    // Walk on from boundary to boundary until the window is passed, the range is used up, a
    // remembered boundary gives the answer, or an event is refused; then remember the last
    // boundary for every boundary on the way.
    int steps = 0;
    long last = LastBoundaries::UNKNOWN;
    while (!step.refused) {
      const long boundary = step.next;
      if (boundary >= accepted) {
        std::fseek(in, boundary, SEEK_SET);
        return int32_t(candidate);
      }
      if (boundary >= rangeEnd) {
        last = boundary;
        break;
      }
      last = lastBoundaries.get(boundary, step.runningStatus);
      if (last != LastBoundaries::UNKNOWN) {
        break;
      }
      path[steps] = boundary;
      pathStatus[steps++] = step.runningStatus;
      last = boundary;
      step = readEvent(input, in, sysexEnds, boundary, step.runningStatus, rangeEnd);
    }
    if (last >= accepted) {
      std::fseek(in, last, SEEK_SET);
      return int32_t(candidate);
    }
    for (int i = 0; i < steps; ++i) {
      lastBoundaries.set(path[i], pathStatus[i], last);
    }
  }
  return NOT_FOUND;
}
