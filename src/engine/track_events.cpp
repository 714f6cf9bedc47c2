// Repairs the event stream of one track while copying it: running status, channel and system
// common messages, the end of track and the count of lost bytes.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "engine.h"

unsigned char g_eventBuffer[EVENT_BUFFER_SIZE];
unsigned char* g_eventStatus = g_eventBuffer;
unsigned char* g_eventData = g_eventBuffer;

namespace {

constexpr unsigned char ADDED_END_OF_TRACK[4] = {0x00, 0xFF, 0x2F, 0x00};

// Ends a read into the event buffer that cannot go on: the bytes read so far stay counted as
// the event's. Like every offset in a message, this one is asked of ftell only when it is printed,
// never on the way through a sound track.
[[gnu::cold, gnu::noinline]] bool stopReading(TrackScan& scan, const char* name, FILE* in,
                                              int32_t fill, int32_t left, bool tooLarge) {
  scan.bufferFill = fill;
  scan.remaining = left;
  if (tooLarge) {
    fprintf(stderr, "%s: cannot process too large event\n", name);
  } else {
    // The offset of the current event's first byte.
    printf("%s: removing incomplete midi command at %08lX\n", name,
           static_cast<unsigned long>(ftell(in) - fill));
  }
  return false;
}

// The readers of the event buffer, inlined into the track loop; the exported names wrap them.
[[gnu::always_inline]] inline bool takeEventBytes(TrackScan& scan, const char* name, FILE* in,
                                                  int count) {
  if (count <= 0) {
    return true;
  }
  if (scan.bufferFill + count > EVENT_BUFFER_SIZE) {
    return stopReading(scan, name, in, scan.bufferFill, scan.remaining, true);
  }
  // Local counts: stores through the byte buffer could otherwise alias the scan's fields.
  int32_t fill = scan.bufferFill;
  int32_t left = scan.remaining;
  const int32_t end = fill + count;
  while (fill < end) {
    const int byte = left > 0 ? readByte(in) : EOF;
    if (byte == EOF) {
      return stopReading(scan, name, in, fill, left, false);
    }
    g_eventBuffer[fill++] = static_cast<unsigned char>(byte);
    --left;
  }
  scan.bufferFill = fill;
  scan.remaining = left;
  return true;
}

[[gnu::always_inline]] inline bool takeEventVarLen(TrackScan& scan, const char* name, FILE* in,
                                                   uint32_t& value) {
  int32_t fill = scan.bufferFill;
  int32_t left = scan.remaining;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (fill >= EVENT_BUFFER_SIZE) {
      return stopReading(scan, name, in, fill, left, true);
    }
    const int byte = left > 0 ? readByte(in) : EOF;
    if (byte == EOF) {
      return stopReading(scan, name, in, fill, left, false);
    }
    g_eventBuffer[fill++] = static_cast<unsigned char>(byte);
    --left;
    value = (value << 7) + (unsigned(byte) & 0x7Fu);
    if (byte < 0x80) {
      break;
    }
  }
  scan.bufferFill = fill;
  scan.remaining = left;
  return true;
}

// Offset `back` bytes before the input position.
unsigned long offsetBehind(FILE* in, long back) {
  return static_cast<unsigned long>(ftell(in) - back);
}

bool writeOutput(const unsigned char* bytes, size_t count, FILE* out) {
  // Most events are a few bytes long, for which single puts cost less than a block write.
  bool written = true;
  if (count <= 8) {
    for (size_t i = 0; i < count && written; ++i) {
      written = writeByte(bytes[i], out) != EOF;
    }
  } else {
    written = writeBlock(bytes, count, out) == count;
  }
  if (!written) {
    perror(g_outputName);
  }
  return written;
}

// The end of a track, reached when its bytes are used up and from every failure: reports what was
// read but not written and appends an end of track unless the last event that got as far as its
// status was one.
int finishTrack(const TrackScan& scan, const char* name, FILE* out) {
  const long lost = long(scan.remaining) + scan.bufferFill;
  if (lost > 0) {
    printf("%s: Warning - %ld bytes lost.\n", name, lost);
  }
  if (scan.endOfTrackSeen) {
    return scan.changed || lost != 0 ? REPAIR_CHANGED : REPAIR_UNCHANGED;
  }
  if (!writeOutput(ADDED_END_OF_TRACK, sizeof ADDED_END_OF_TRACK, out)) {
    return REPAIR_FAILED;
  }
  printf("%s: Missing end of track added.\n", name);
  return REPAIR_CHANGED;
}

bool isRejectedSystemStatus(int status) {
  return status == 0xF1 || status == 0xF4 || status == 0xF5 || status == 0xF7 || status == 0xF9 ||
         status == 0xFD;
}

// Data bytes after a system common or real-time status that is accepted.
int systemDataCount(int status) { return status == 0xF2 ? 2 : status == 0xF3 ? 1 : 0; }

void checkTrackChannel(TrackScan& scan, const char* name, int status) {
  if (g_midiType != 1) {
    return;
  }
  const int channel = status & 0x0F;
  if (scan.trackChannel < 0) {
    scan.trackChannel = channel;
  } else if (channel != scan.trackChannel && !scan.channelWarningGiven) {
    printf("%s: Warning - format 1 track contains different channel commands\n", name);
    scan.channelWarningGiven = true;
  }
}

// ---- Runs of plain events ----
//
// Most of a sound track is channel messages and meta events that pass unchanged. Those are
// checked in place, in a block read from the input, and written on as whole runs, which saves the
// event loop's work per byte. The first event that is anything else (one to repair or report, a
// system exclusive or system common message, one that the track or the input cuts off) is left
// to the event loop from its first byte.

// A run reads a small block first and doubles it with every read, so that an event that ends the
// run soon costs little reading twice.
constexpr size_t RUN_FIRST_READ = 512;
constexpr size_t RUN_BLOCK_SIZE = 32768;

// After a run, the event loop takes at least this many bytes before the next run is tried: going
// back to the first byte of the event that ended a run costs a seek, which a track that mixes
// plain and other events must not pay at every event.
constexpr int32_t EVENT_LOOP_STRETCH = 4096;

constexpr long NEEDS_MORE_BYTES = 0;
constexpr long NOT_PLAIN = -1;

// By status >> 4: the bits of a channel message's first and second data byte that make the event
// loop repair or refuse it (key pressure and pitch bend take any value).
constexpr unsigned char FIRST_DATA_CHECK[16] = {0,    0,    0, 0, 0,    0,    0, 0,
                                                0x80, 0x80, 0, 0, 0x80, 0x80, 0, 0};
constexpr unsigned char SECOND_DATA_CHECK[16] = {0,    0,    0, 0,    0, 0, 0, 0,
                                                 0x80, 0x80, 0, 0x80, 0, 0, 0, 0};
// A channel message takes 7 bytes at most: 4 of delta time, the status, 2 data bytes.
constexpr ptrdiff_t LONGEST_CHANNEL_MESSAGE = 7;

// What the event loop would have recorded for a plain event.
struct PlainEvent {
  uint32_t delta = 0;
  int status = 0;  // the status in effect, also under running status
  bool endOfTrack = false;
};

// Reads a variable-length quantity at p, moving p past it; false if it does not end before end.
[[gnu::always_inline]] inline bool takeVarLenAt(const unsigned char*& p, const unsigned char* end,
                                                uint32_t& value) {
  value = 0;
  for (int i = 0; i < 4; ++i) {
    if (p == end) {
      return false;
    }
    const unsigned char byte = *p++;
    value = (value << 7) + (byte & 0x7Fu);
    if (byte < 0x80) {
      break;
    }
  }
  return true;
}

// The size of the event at bytes[0, available) when the event loop would pass it on unchanged
// without a word, as far as the bytes themselves tell; NEEDS_MORE_BYTES when it does not end
// within them, NOT_PLAIN otherwise.
[[gnu::always_inline]] inline long measurePlainEvent(const unsigned char* bytes, size_t available,
                                                     int32_t runningStatus, PlainEvent& event) {
  const unsigned char* p = bytes;
  const unsigned char* const end = bytes + available;
  if (!takeVarLenAt(p, end, event.delta) || p == end) {
    return NEEDS_MORE_BYTES;
  }
  int status = *p;
  if (status >= 0x80) {
    ++p;
  } else if (runningStatus >= 0) {
    status = runningStatus;  // the byte is the first data byte
  } else {
    return NOT_PLAIN;
  }
  event.status = status;
  event.endOfTrack = false;
  if (status < 0xF0) {
    const int kind = status >> 4;
    const long count = kind == 0xC || kind == 0xD ? 1 : 2;
    if (end - p < count) {
      return NEEDS_MORE_BYTES;
    }
    // The checks of readChannelMessage: a value it would repair or refuse ends the run.
    const bool repaired = kind <= 0x9   ? (p[0] | p[1]) >= 0x80
                          : kind == 0xB ? p[1] >= 0x80
                          : count == 1  ? p[0] >= 0x80
                                        : false;
    if (repaired) {
      return NOT_PLAIN;
    }
    return p + count - bytes;
  }
  if (status != 0xFF) {
    return NOT_PLAIN;
  }
  uint32_t length = 0;
  if (p == end) {
    return NEEDS_MORE_BYTES;
  }
  event.endOfTrack = *p++ == 0x2F;  // whatever its length
  if (!takeVarLenAt(p, end, length) || uint32_t(end - p) < length) {
    return NEEDS_MORE_BYTES;
  }
  return p + length - bytes;
}

// Passes on the plain events from the input position on, exactly as the event loop would, with
// the same reports. Returns at the end of the track or with the input at the first byte of the
// first event that is not plain; false after a failed write (reported for g_outputName).
bool copyPlainEvents(TrackScan& scan, const char* name, FILE* in, FILE* out) {
  unsigned char block[RUN_BLOCK_SIZE];
  size_t filled = 0;  // bytes read into the block
  size_t done = 0;    // bytes of the block taken as events
  size_t want = RUN_FIRST_READ;
  bool inputEnded = false;
  // A copy that the compiler can keep in registers, given back when the run ends. Only the event
  // loop changes the pending GM ON message.
  TrackScan run = scan;
  const bool gmOnPending = g_gmOnTick >= 0;
  bool written = true;
  PlainEvent event;
  bool checkChannels = g_midiType == 1 && !run.channelWarningGiven;
  while (run.remaining > 0) {
    // Channel messages first, without a bounds check per byte while a whole one surely fits. A
    // status that repeats the running one was checked for its channel when it began to run.
    const unsigned char* const first = block + done;
    const unsigned char* const end = block + filled;
    const unsigned char* p = first;
    uint32_t runTick = uint32_t(run.tick);
    int32_t runningStatus = run.runningStatus;
    while (end - p >= LONGEST_CHANNEL_MESSAGE) {
      const unsigned char* e = p;
      unsigned byte = *e++;
      uint32_t delta = byte & 0x7Fu;
      for (int i = 1; i < 4 && byte >= 0x80; ++i) {
        byte = *e++;
        delta = (delta << 7) + (byte & 0x7Fu);
      }
      // A data byte in place of the status stays in place as the first data byte.
      const int byteAtStatus = *e;
      const int status = byteAtStatus >= 0x80 ? byteAtStatus : runningStatus;
      if (unsigned(status - 0x80) >= 0x70) {
        break;  // no running status yet, or a system or meta event
      }
      e += byteAtStatus >> 7;
      const int kind = status >> 4;
      if (((e[0] & FIRST_DATA_CHECK[kind]) | (e[1] & SECOND_DATA_CHECK[kind])) != 0) {
        break;
      }
      const uint32_t at = runTick + delta;
      if (gmOnPending && isTooSoonAfterGmOn(status, int32_t(at))) {
        break;
      }
      if (status != runningStatus && checkChannels && (status & 0x0F) != run.trackChannel) {
        checkTrackChannel(run, name, status);
        checkChannels = !run.channelWarningGiven;
      }
      runTick = at;
      runningStatus = status;
      // Program change and channel pressure have one data byte. Worked out rather than looked
      // up: the next event's bytes wait for this sum.
      p = e + 2 - ((status & 0xE0) == 0xC0);
    }
    if (p != first) {
      run.tick = int32_t(runTick);
      run.runningStatus = runningStatus;
      run.endOfTrackSeen = false;
      run.remaining -= int32_t(p - first);
      done += size_t(p - first);
      continue;
    }

    // Meta events, events near the end of the block, and whatever ends the run.
    const long size = measurePlainEvent(block + done, filled - done, run.runningStatus, event);
    const int32_t tick = int32_t(uint32_t(run.tick) + event.delta);
    if (size == NEEDS_MORE_BYTES) {
      const size_t unread = size_t(run.remaining) - (filled - done);
      if (unread == 0 || inputEnded || filled - done == sizeof block) {
        break;  // the event loop tells what cuts the event off
      }
      written = writeOutput(block, done, out);
      if (!written) {
        break;
      }
      std::memmove(block, block + done, filled - done);
      filled -= done;
      done = 0;
      const size_t count = std::min({want, sizeof block - filled, unread});
      const size_t got = readBlock(block + filled, count, in);
      inputEnded = got < count;
      filled += got;
      want = std::min(want * 2, sizeof block);
      continue;
    }
    if (size == NOT_PLAIN || (gmOnPending && isTooSoonAfterGmOn(event.status, tick))) {
      break;
    }
    run.tick = tick;
    if (event.status < 0xF0) {
      checkTrackChannel(run, name, event.status);
      run.runningStatus = event.status;
    }
    run.endOfTrackSeen = event.endOfTrack;
    run.remaining -= int32_t(size);
    done += size_t(size);
  }
  scan = run;
  if (!written || !writeOutput(block, done, out)) {
    return false;
  }
  // Back to the first byte of the event that ended the run.
  if (filled > done && fseek(in, -long(filled - done), SEEK_CUR) != 0) {
    failStream(g_inputName);
  }
  return true;
}

// Reads and checks the data of a channel message. `held` data bytes are in the buffer already
// (the byte that stood where a status was expected, under running status). False ends the track.
bool readChannelMessage(TrackScan& scan, const char* name, FILE* in, int status, int held) {
  checkTrackChannel(scan, name, status);
  scan.runningStatus = status;
  const int kind = status >> 4;
  const int dataCount = kind == 0xC || kind == 0xD ? 1 : 2;
  if (!takeEventBytes(scan, name, in, dataCount - held)) {
    return false;
  }
  // Offsets of the checks are those of the status byte, or under running status of the byte
  // before the first data byte.
  unsigned char* data = g_eventData;
  switch (kind) {
    case 0x8:
    case 0x9:
      if (data[0] >= 0x80 || data[1] >= 0x80) {
        printf("%s: removing invalid note command at %08lX\n", name, offsetBehind(in, 3));
        return false;
      }
      break;
    case 0xB:
      if (data[1] >= 0x80) {
        printf("%s: invalid control value used at %08lX\n", name, offsetBehind(in, 3));
        data[1] = 0x7F;
        scan.changed = true;
      }
      break;
    case 0xC:
      if (data[0] >= 0x80) {
        printf("%s: invalid program number changed at %08lX\n", name, offsetBehind(in, 2));
        data[0] = 0x00;
        scan.changed = true;
      }
      break;
    case 0xD:
      if (data[0] >= 0x80) {
        printf("%s: invalid aftertouch command changed at %08lX\n", name, offsetBehind(in, 2));
        data[0] = 0x7F;
        scan.changed = true;
      }
      break;
    default:  // key pressure and pitch bend carry any values
      break;
  }
  return true;
}

// Reads the message behind a resolved status into the buffer. Buffered: write it; Done: nothing
// left to write; EndTrack: the track ends at this event.
EventOutcome readMessage(TrackScan& scan, const char* name, FILE* in, FILE* out, int status,
                         int held) {
  if (status < 0x80) {
    printf("%s: removing invalid midi command at %08lX\n", name, offsetBehind(in, 1));
    return EventOutcome::EndTrack;
  }
  if (status < 0xF0) {
    return readChannelMessage(scan, name, in, status, held) ? EventOutcome::Buffered
                                                            : EventOutcome::EndTrack;
  }
  if (status == 0xF0) {
    return handleSysex(scan, name, in, out);
  }
  if (status == 0xFF) {
    return handleMeta(scan, name, in, out);
  }
  if (isRejectedSystemStatus(status)) {
    printf("%s: removing invalid command %02X at %08lX\n", name, unsigned(status),
           offsetBehind(in, 1));
    return EventOutcome::EndTrack;
  }
  return takeEventBytes(scan, name, in, systemDataCount(status)) ? EventOutcome::Buffered
                                                                 : EventOutcome::EndTrack;
}

}  // namespace

bool readEventBytes(TrackScan& scan, const char* name, FILE* in, int count) {
  return takeEventBytes(scan, name, in, count);
}

bool readEventVarLen(TrackScan& scan, const char* name, FILE* in, uint32_t& value) {
  return takeEventVarLen(scan, name, in, value);
}

int32_t readVarLen(FILE* in, int32_t& remaining) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const int byte = readByte(in);
    --remaining;
    if (byte == EOF) {
      return -1;
    }
    value = (value << 7) + (unsigned(byte) & 0x7Fu);
    if (byte < 0x80) {
      break;
    }
  }
  return static_cast<int32_t>(value);
}

int repairTrackEvents(const char* name, FILE* out, FILE* in, int32_t length) {
  if (g_tracksOnly) {
    copyBytes(length, in, out);
    return REPAIR_UNCHANGED;
  }
  TrackScan scan;
  scan.remaining = length;
  int32_t runsFrom = length;  // runs of plain events are tried with this many bytes left or fewer
  while (scan.remaining > 0) {
    if (scan.remaining <= runsFrom) {
      if (!copyPlainEvents(scan, name, in, out)) {
        return REPAIR_FAILED;
      }
      if (scan.remaining == 0) {
        break;
      }
      runsFrom = scan.remaining - EVENT_LOOP_STRETCH;
    }
    scan.bufferFill = 0;
    uint32_t delta = 0;
    if (!takeEventVarLen(scan, name, in, delta)) {
      return finishTrack(scan, name, out);
    }
    // Wraps instead of overflowing on hostile delta times; only the pause check reads it.
    scan.tick = static_cast<int32_t>(static_cast<uint32_t>(scan.tick) + delta);
    g_eventStatus = g_eventBuffer + scan.bufferFill;
    if (!takeEventBytes(scan, name, in, 1)) {
      return finishTrack(scan, name, out);
    }
    int status = *g_eventStatus;
    // Under running status the byte just read is the first data byte. It stays in the buffer as
    // such, with the counts it would have after being given back and read again.
    int held = 0;
    if (status < 0x80 && scan.runningStatus >= 0) {
      status = scan.runningStatus;
      held = 1;
    }
    checkGmOnPause(name, status, scan.tick);
    g_eventData = g_eventBuffer + scan.bufferFill - held;
    scan.endOfTrackSeen = false;

    const EventOutcome outcome = readMessage(scan, name, in, out, status, held);
    if (outcome == EventOutcome::EndTrack) {
      return finishTrack(scan, name, out);
    }
    if (outcome == EventOutcome::Buffered && scan.bufferFill > 0) {
      if (!writeOutput(g_eventBuffer, size_t(scan.bufferFill), out)) {
        return REPAIR_FAILED;
      }
      scan.bufferFill = 0;
    }
  }
  // The bytes are used up: only a missing end of track can still change the track.
  return finishTrack(scan, name, out);
}
