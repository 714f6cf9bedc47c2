// Finds where untagged track data begins: the first offset from which the events parse cleanly
// over a window of 100 bytes. Only reads.
#include "engine.h"

namespace {

constexpr int32_t WINDOW = 100;
constexpr unsigned char SYSEX_END[1] = {0xF7};

// One candidate's examination: the input position and the bytes left up to the end of the range.
struct Examination {
  FILE* in;
  long position;
  int32_t left;
  int32_t pending = -1;  // a data byte read where a status was expected, to be read again

  int next() {
    if (pending >= 0) {
      const int byte = pending;
      pending = -1;
      return byte;
    }
    const int byte = readByte(in);
    --left;
    if (byte != EOF) {
      ++position;
    }
    return byte;
  }

  bool skipVarLen() {
    uint32_t value = 0;
    for (int i = 0;; ++i) {
      const int byte = next();
      if (byte == EOF) {
        return false;
      }
      if (!addVarLenByte(value, unsigned(byte), i)) {
        return true;
      }
    }
  }

  bool skipDataBytes(int count) {
    for (int i = 0; i < count; ++i) {
      const int byte = next();
      if (byte == EOF || byte >= 0x80) {
        return false;
      }
    }
    return true;
  }
};

// Whether the events from `start` parse by the rules of track data over the window. `inputEnd`
// bounds skipped meta data; `sysexEnds` remembers where the next F7 stands.
bool examineCandidate(FILE* in, long start, int32_t left, long inputEnd, PatternMemo& sysexEnds) {
  std::fseek(in, start, SEEK_SET);
  Examination scan{in, start, left};
  int runningStatus = -1;
  for (;;) {
    if (scan.position >= start + WINDOW) {
      return true;
    }
    if (!scan.skipVarLen()) {
      return false;
    }
    int status = scan.next();
    if (status == EOF) {
      return false;
    }
    if (status < 0x80) {
      if (runningStatus < 0) {
        return false;
      }
      // Given back: the byte is read again as the first data byte. It was counted when it was
      // read here, and reading it again does not count it twice.
      scan.pending = status;
      status = runningStatus;
    } else {
      runningStatus = status < 0xF0 ? status : -1;
    }

    const SystemEvent kind =
        status < 0xF0 ? SystemEvent::MESSAGE : systemRule(status).inUntaggedData;
    if (kind == SystemEvent::MESSAGE) {
      const int dataBytes = status < 0xF0 ? channelDataBytes(status) : systemRule(status).dataBytes;
      if (!scan.skipDataBytes(dataBytes)) {
        return false;
      }
    } else if (kind == SystemEvent::SYSEX) {
      if (!scan.skipVarLen()) {
        return false;
      }
      // The event ends at the first F7 after its length, whatever the length says; an F7 that
      // is not within the range leaves the input ending inside the event.
      const long end = findPatternMemo(in, SYSEX_END, 1, sysexEnds);
      if (end == NOT_FOUND || scan.left <= 0 || end - scan.position >= scan.left) {
        return false;
      }
      scan.left -= int32_t(end + 1 - scan.position);
      scan.position = end + 1;
      std::fseek(in, scan.position, SEEK_SET);
    } else if (kind == SystemEvent::META) {
      const int type = scan.next();
      if (type == EOF || type >= 0x80) {
        return false;
      }
      const int32_t leftBefore = scan.left;
      const int32_t length = readVarLen(in, scan.left);
      if (length < 0) {
        return false;
      }
      scan.position += leftBefore - scan.left;
      // The data are only dropped, so it is enough to know that the input holds them.
      if (scan.position + length > inputEnd) {
        return false;
      }
      scan.position += length;
      scan.left -= length;
      std::fseek(in, scan.position, SEEK_SET);
    } else {
      return false;  // no event of track data begins with this status
    }

    if (scan.left <= 0) {
      return scan.position >= start + WINDOW;
    }
  }
}

}  // namespace

int32_t recognizeTrackData(FILE* in, int32_t start, int32_t available) {
  if (available <= WINDOW) {
    return NOT_FOUND;
  }
  std::fseek(in, 0, SEEK_END);
  const long inputEnd = std::ftell(in);
  PatternMemo sysexEnds;
  for (int32_t candidate = start, left = available; left > WINDOW; ++candidate, --left) {
    if (examineCandidate(in, candidate, left, inputEnd, sysexEnds)) {
      return candidate;
    }
  }
  return NOT_FOUND;
}
