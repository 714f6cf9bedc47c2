// Finds where untagged track data begins: the first offset from which the events parse cleanly
// over a window of 100 bytes. Only reads.
//
// A candidate's examination passes from event boundary to event boundary, and from a boundary on
// the walk depends only on that offset and on the running status in force there, indeed only on
// how many data bytes that status takes. A candidate is accepted exactly when the last boundary
// that the walk from its first boundary reaches is 100 bytes or more past the candidate. Every
// walk that does not end the search stays within the 100 bytes past its candidate, so the last
// boundary of each (offset, running status) met there is remembered, and every state is walked
// once: the search takes time linear in the input. Where the first event from a boundary has a
// status byte of its own, the running status plays no part and the boundary is remembered once
// for all of them; offsets where no status byte can follow a delta time are passed over in place.
#include <algorithm>

#include "engine.h"

namespace {

constexpr int32_t WINDOW = 100;
constexpr unsigned char SYSEX_END[1] = {0xF7};

// The running status at a boundary, as far as the walk from there can tell: none, or the number
// of data bytes of its messages.
enum RunningStatus : uint8_t { NO_RUNNING_STATUS = 0, ONE_DATA_BYTE = 1, TWO_DATA_BYTES = 2 };

// The longest head of an event that the walk reads byte by byte: a delta time and a length of 4
// bytes each, the status and the meta type.
constexpr long EVENT_HEAD_BYTES = 10;

// The input bytes around the offsets being examined, read in blocks.
class InputBytes {
 public:
  InputBytes(Input& in, unsigned char* block) : in_(in), end_(in.size()), block_(block) {}

  long end() const { return end_; }

  // The bytes from offset on that the block holds, [result, until): at least EVENT_HEAD_BYTES of
  // them unless the input ends first.
  const unsigned char* from(long offset, const unsigned char*& until) {
    if (offset < blockStart_ || (offset + EVENT_HEAD_BYTES > blockEnd_ && blockEnd_ < end_)) {
      fill(offset);
    }
    const long held = std::min(blockEnd_, end_);
    until = block_ + (held - blockStart_);
    return offset < held ? block_ + (offset - blockStart_) : until;
  }

 private:
  // Reads a block that holds offset, with room behind it for the candidates still to come.
  void fill(long offset) {
    blockStart_ = offset > BEHIND ? offset - BEHIND : 0;
    seekInput(in_, blockStart_);
    blockEnd_ = blockStart_ + long(readInput(block_, RECOGNIZER_BLOCK_SIZE, in_));
  }

  static constexpr long BEHIND = 256;
  Input& in_;
  long end_;
  unsigned char* block_;  // RECOGNIZER_BLOCK_SIZE bytes of the context's
  long blockStart_ = 0;
  long blockEnd_ = 0;
};

// The F7 that ends a system exclusive event: the first at or after an offset. Asked from every
// candidate that starts with such an event, it mostly answers from its memo.
class SysexEnds {
 public:
  SysexEnds(Input& in, unsigned char* buffer) : in_(in) { block_.bytes = buffer; }

  long firstFrom(long offset) {
    if (memo_.answers(offset)) {
      return memo_.hit;
    }
    return findPatternMemo(in_, offset, SYSEX_END, 1, memo_, block_);
  }

 private:
  Input& in_;
  PatternMemo memo_;
  SearchBlock block_;
};

// Where one event took a walk: refused, or on to the next boundary.
struct Step {
  bool refused = true;
  long next = 0;
  RunningStatus runningStatus = NO_RUNNING_STATUS;
};

// The event at `offset` under the given running status, by the rules of track data; its bytes
// are [first, end) as input.from gives them. rangeEnd bounds the search for the F7 that ends a
// system exclusive event.
Step readEvent(const InputBytes& input, SysexEnds& sysexEnds, long offset,
               const unsigned char* first, const unsigned char* end, RunningStatus runningStatus,
               long rangeEnd) {
  Step step;
  const unsigned char* p = first;
  uint32_t value = 0;
  if (!decodeVarLen(p, end, value) || p == end) {  // the delta time, then the status
    return step;
  }
  const int status = *p;
  if (status < 0x80 && runningStatus == NO_RUNNING_STATUS) {
    return step;
  }
  int dataBytes = runningStatus;  // a data byte in place of the status is read again as data
  if (status >= 0x80) {
    ++p;
    const bool channel = status < 0xF0;
    dataBytes = channel ? channelDataBytes(status) : systemRule(status).dataBytes;
    step.runningStatus = channel ? RunningStatus(dataBytes) : NO_RUNNING_STATUS;
    const SystemEvent kind = channel ? SystemEvent::MESSAGE : systemRule(status).inUntaggedData;
    if (kind == SystemEvent::REFUSED) {
      return step;
    }
    if (kind == SystemEvent::SYSEX) {
      if (!decodeVarLen(p, end, value)) {  // the length, whose value plays no part
        return step;
      }
      // The event ends at the first F7 after its length, whatever the length says, and only
      // within the range.
      const long data = offset + (p - first);
      const long f7 = sysexEnds.firstFrom(data);
      if (f7 == NOT_FOUND || data >= rangeEnd || f7 >= rangeEnd) {
        return step;
      }
      step.refused = false;
      step.next = f7 + 1;
      return step;
    }
    if (kind == SystemEvent::META) {
      uint32_t length = 0;
      if (p == end || *p++ >= 0x80 || !decodeVarLen(p, end, length)) {  // the type, the length
        return step;
      }
      // The data are only dropped, so it is enough to know that the input holds them.
      const long data = offset + (p - first);
      if (data + long(length) > input.end()) {
        return step;
      }
      step.refused = false;
      step.next = data + long(length);
      return step;
    }
  } else {
    step.runningStatus = runningStatus;
  }
  for (int i = 0; i < dataBytes; ++i, ++p) {
    if (p == end || *p >= 0x80) {
      return step;
    }
  }
  step.refused = false;
  step.next = offset + (p - first);
  return step;
}

// Whether a byte with bit 7 set follows the delta time at p, which must hold EVENT_HEAD_BYTES:
// without a running status, nothing else can be the status of a first event.
bool hasStatusAfterDeltaTime(const unsigned char* p) {
  if (p[0] < 0x80) {
    return p[1] >= 0x80;  // the most common delta time, in place
  }
  int length = 1;
  while (length < VAR_LEN_MAX_BYTES && p[length - 1] >= 0x80) {
    ++length;
  }
  return p[length] >= 0x80;
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
  static size_t slot(long offset) { return size_t(offset) % SLOTS; }

  struct Entry {
    long offset = -1;
    long last = UNKNOWN;
  };
  Entry entries_[SLOTS][3];
};

}  // namespace

int32_t recognizeTrackData(Repair& repair, int32_t start, int32_t available) {
  if (available <= WINDOW) {
    return NOT_FOUND;
  }
  Input& in = repair.in;
  InputBytes input(in, repair.buffers->recognizerBlock);
  const long rangeEnd = long(start) + available;
  SysexEnds sysexEnds(in, repair.buffers->sysexSearchBlock);
  LastBoundaries lastBoundaries;
  long path[WINDOW + 1];  // the candidate and every boundary within the window after it
  RunningStatus pathStatus[WINDOW + 1];
  for (long candidate = start; rangeEnd - candidate > WINDOW; ++candidate) {
    // Most candidates in anything but track data fail at once, with a data byte where the status
    // of their first event should stand. They are passed over here, in the block, as readEvent
    // would refuse them: every other candidate goes through readEvent.
    const unsigned char* end = nullptr;
    const unsigned char* p = input.from(candidate, end);
    const long passable =
        std::min(long(end - p) - EVENT_HEAD_BYTES, rangeEnd - candidate - WINDOW - 1);
    const unsigned char* const lastPassable = p + std::max(passable, 0L);
    const unsigned char* const from = p;
    while (p < lastPassable && !hasStatusAfterDeltaTime(p)) {
      ++p;
    }
    candidate += p - from;
    const long accepted = candidate + WINDOW;
    // Walk from boundary to boundary, the candidate being the first, until the window is passed,
    // the range is used up, a remembered boundary gives the answer, or an event is refused; then
    // remember the last boundary for every boundary on the way. (One call of readEvent, which
    // the compiler then puts in place: it runs for every byte of the range.)
    int steps = 0;
    long last = LastBoundaries::UNKNOWN;
    long at = candidate;
    RunningStatus runningStatus = NO_RUNNING_STATUS;
    for (;;) {
      // The running status plays no part in a walk whose first event has its own status byte, so
      // such a boundary is remembered once for all: a candidate at the boundary of an earlier
      // walk then has its answer at once.
      const RunningStatus key = end - p >= EVENT_HEAD_BYTES && hasStatusAfterDeltaTime(p)
                                    ? NO_RUNNING_STATUS
                                    : runningStatus;
      last = lastBoundaries.get(at, key);
      if (last != LastBoundaries::UNKNOWN) {
        break;
      }
      path[steps] = at;
      pathStatus[steps++] = key;
      last = at;
      const Step step = readEvent(input, sysexEnds, at, p, end, runningStatus, rangeEnd);
      if (step.refused) {
        break;
      }
      if (step.next >= accepted) {
        seekInput(in, step.next);
        return int32_t(candidate);
      }
      if (step.next >= rangeEnd) {
        last = step.next;
        break;
      }
      at = step.next;
      runningStatus = step.runningStatus;
      p = input.from(at, end);
    }
    if (last >= accepted) {
      seekInput(in, last);
      return int32_t(candidate);
    }
    for (int i = 0; i < steps; ++i) {
      lastBoundaries.set(path[i], pathStatus[i], last);
    }
  }
  return NOT_FOUND;
}
