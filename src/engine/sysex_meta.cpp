// System exclusive and meta events of a track: completeness, data bytes, events too large for the
// event buffer, the end of track, and the pause that a GM ON message needs.
#include <cstdio>

#include "engine.h"

int32_t g_gmOnTick = -1;

namespace {

// Events that follow a GM ON message sooner than this many ticks may reach a device that is still
// resetting, whatever the file's resolution.
constexpr int32_t GM_ON_MIN_PAUSE = 13;

constexpr unsigned char GM_ON_DATA[5] = {0x7E, 0x7F, 0x09, 0x01, 0xF7};

bool isGmOn(const unsigned char* data, int32_t length) {
  if (length != sizeof GM_ON_DATA) {
    return false;
  }
  for (int i = 0; i < length; ++i) {
    if (data[i] != GM_ON_DATA[i]) {
      return false;
    }
  }
  return true;
}

// Writes the current event exactly as it stands in the input, `length` data bytes after what is
// buffered, with the input at the event's first byte: the buffered bytes are read again from their
// place rather than kept.
void copyEventFromStart(TrackScan& scan, FILE* in, FILE* out, int32_t length) {
  copyBytes(long(scan.bufferFill) + length, in, out);
  scan.remaining -= length;
  scan.bufferFill = 0;
}

void streamEvent(TrackScan& scan, FILE* in, FILE* out, int32_t length) {
  if (fseek(in, -long(scan.bufferFill), SEEK_CUR) != 0) {
    failStream(g_inputName);
  }
  copyEventFromStart(scan, in, out, length);
}

// Streams a system exclusive event too large for the buffer when the last of its `length` data
// bytes is F7. Otherwise (also when the input ends before that byte) the input is left where it
// was.
bool streamCompleteSysex(TrackScan& scan, FILE* in, FILE* out, int32_t length) {
  const long start = ftell(in);
  if (start < 0 || fseek(in, start + length - 1, SEEK_SET) != 0) {
    return false;
  }
  const bool complete = readByte(in) == 0xF7;
  // Back to the data, or on to the event's first byte in one move.
  if (fseek(in, complete ? start - scan.bufferFill : start, SEEK_SET) != 0) {
    failStream(g_inputName);
  }
  if (complete) {
    copyEventFromStart(scan, in, out, length);
  }
  return complete;
}

// Reads the `length` data bytes of an event that fits the buffer into place behind it, without
// counting them yet. True when they all came and the last is F7; otherwise the input goes back to
// where it stood, as a look-ahead would have left it, and nothing counts as read.
bool readCompleteSysexData(TrackScan& scan, FILE* in, int32_t length) {
  unsigned char* data = g_eventBuffer + scan.bufferFill;
  int32_t got = 0;
  int byte = 0;
  while (got < length && (byte = readByte(in)) != EOF) {
    data[got++] = static_cast<unsigned char>(byte);
  }
  if (got == length && data[length - 1] == 0xF7) {
    scan.bufferFill += length;
    scan.remaining -= length;
    return true;
  }
  if (fseek(in, -long(got), SEEK_CUR) != 0) {
    failStream(g_inputName);
  }
  return false;
}

// Clears bit 7 of the data bytes that must not have it; F0 and F7 may stand in the data.
void repairSysexData(TrackScan& scan, const char* name, unsigned char* data, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (data[i] >= 0x80 && data[i] != 0xF0 && data[i] != 0xF7) {
      printf("%s: Warning - sysex contains byte out of range %02X\"\n", name, unsigned(data[i]));
      data[i] &= 0x7F;
      scan.changed = true;
    }
  }
}

}  // namespace

bool skipSysexData(FILE* in, int32_t count, int32_t& skipped) {
  skipped = 0;
  while (count > 0) {
    --count;
    const int byte = readByte(in);
    if (byte == EOF) {
      return false;
    }
    ++skipped;
    if (byte == 0xF7) {
      // An F7 as the last byte the track allows leaves nothing to go on with.
      return count > 0;
    }
  }
  return true;
}

EventOutcome handleSysex(TrackScan& scan, const char* name, FILE* in, FILE* out) {
  uint32_t declared = 0;
  if (!readEventVarLen(scan, name, in, declared)) {
    printf("%s: remove incomplete sysex command\n", name);
    scan.changed = true;
    return EventOutcome::EndTrack;
  }
  const bool withinTrack = declared <= uint32_t(scan.remaining);
  const int32_t length = withinTrack ? int32_t(declared) : scan.remaining;
  if (withinTrack && length > 0) {
    if (scan.bufferFill + length > EVENT_BUFFER_SIZE) {
      // Streamed events are passed on as they are: no data check, no GM ON detection.
      if (streamCompleteSysex(scan, in, out, length)) {
        return EventOutcome::Done;
      }
    } else if (readCompleteSysexData(scan, in, length)) {
      unsigned char* data = g_eventBuffer + scan.bufferFill - length;
      repairSysexData(scan, name, data, length);
      if (isGmOn(data, length)) {
        g_gmOnTick = scan.tick;
      }
      return EventOutcome::Buffered;
    }
  }
  // Incomplete: dropped up to its first F7, delta time included, and not counted as lost.
  printf("%s: remove incomplete sysex command\n", name);
  scan.changed = true;
  int32_t skipped = 0;
  if (!skipSysexData(in, length, skipped)) {
    return EventOutcome::EndTrack;
  }
  scan.remaining -= skipped;
  scan.bufferFill = 0;
  return EventOutcome::Done;
}

EventOutcome handleMeta(TrackScan& scan, const char* name, FILE* in, FILE* out) {
  if (!readEventBytes(scan, name, in, 1)) {
    return EventOutcome::EndTrack;
  }
  const unsigned char type = *g_eventData;
  uint32_t length = 0;
  if (!readEventVarLen(scan, name, in, length)) {
    return EventOutcome::EndTrack;
  }
  // An event that runs past the track ends it; the lost bytes tell the user.
  if (uint32_t(scan.remaining) < length) {
    return EventOutcome::EndTrack;
  }
  EventOutcome outcome = EventOutcome::Buffered;
  if (scan.bufferFill + length > uint32_t(EVENT_BUFFER_SIZE)) {
    streamEvent(scan, in, out, int32_t(length));
    outcome = EventOutcome::Done;
  } else if (!readEventBytes(scan, name, in, int(length))) {
    return EventOutcome::EndTrack;
  }
  if (type == 0x2F) {
    scan.endOfTrackSeen = true;  // whatever its length
  }
  return outcome;
}

bool isTooSoonAfterGmOn(int status, int32_t tick) {
  return status <= 0xF0 && g_gmOnTick >= 0 && tick >= g_gmOnTick &&
         tick - g_gmOnTick < GM_ON_MIN_PAUSE;
}

void checkGmOnPause(const char* name, int status, int32_t tick) {
  if (!isTooSoonAfterGmOn(status, tick)) {
    return;
  }
  printf("%s: Warning - pause might be too small after \"GM ON sysex\"\n", name);
  g_gmOnTick = -1;
}
