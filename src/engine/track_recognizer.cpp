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

  // The fourth byte ends a quantity even with bit 7 set.
  bool skipVarLen() {
    for (int i = 0; i < 4; ++i) {
      const int byte = next();
      if (byte == EOF) {
        return false;
      }
      if ((byte & 0x80) == 0) {
        return true;
      }
    }
    return true;
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

int dataBytesOf(int status) {
  switch (status >> 4) {
    case 0xC:
    case 0xD:
      return 1;
    default:
      return 2;  // note off and on, key pressure, control change, pitch bend
  }
}

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

    if (status < 0xF0) {
      if (!scan.skipDataBytes(dataBytesOf(status))) {
        return false;
      }
    } else if (status == 0xF0 || status == 0xF7) {
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
    } else if (status == 0xF3) {
      if (!scan.skipDataBytes(1)) {
        return false;
      }
    } else if (status == 0xFF) {
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
    } else if (status != 0xF6 && status < 0xF8) {
      return false;  // F1, F2, F4, F5 have no place in track data
    } else if (status == 0xF9 || status == 0xFD) {
      return false;
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
