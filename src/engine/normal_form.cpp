// The normal form of a track's events: values that strict readers refuse are brought into range
// or left out, every event after a non-channel one carries its status, and one end of track ends
// the track. The track loop hands each event here after the ordinary repair has read it.
#include "engine.h"

namespace {

// A delta time is at most 4 bytes of 7 bits: what several events left out owe beyond that is
// dropped, as no later event could carry it either.
constexpr uint32_t LONGEST_DELTA = 0x0FFFFFFF;

constexpr int META_SEQUENCE_NUMBER = 0x00;
constexpr int META_CHANNEL_PREFIX = 0x20;
constexpr int META_END_OF_TRACK = 0x2F;
constexpr int META_TEMPO = 0x51;
constexpr int META_SMPTE_OFFSET = 0x54;
constexpr int META_TIME_SIGNATURE = 0x58;
constexpr int META_KEY_SIGNATURE = 0x59;

// Frames per second by the two top bits of the hours byte: 24, 25, 30 with drop frames, 30.
constexpr int SMPTE_FRAME_RATES[4] = {24, 25, 30, 30};

// The shortest denominator a time signature may give: 2^7, a 128th note.
constexpr int LONGEST_DENOMINATOR_POWER = 7;

uint32_t addDelta(uint32_t owed, uint32_t delta) {
  return delta > LONGEST_DELTA - owed ? LONGEST_DELTA : owed + delta;
}

// Writes bytes as part of the track; false after a failed write.
bool writeTrackBytes(TrackScan& scan, const unsigned char* bytes, size_t count) {
  scan.repair->out.write(bytes, count);
  if (scan.repair->failed()) {
    scan.writeFailed = true;
    return false;
  }
  scan.written += long(count);
  return true;
}

// Encodes value as a variable-length quantity into bytes (room for 4); returns its length.
size_t encodeVarLen(uint32_t value, unsigned char* bytes) {
  size_t length = 1;
  for (uint32_t rest = value >> 7; rest != 0; rest >>= 7) {
    ++length;
  }
  for (size_t i = length; i-- > 0; value >>= 7) {
    bytes[i] = uint8_t((value & 0x7F) | (i + 1 < length ? 0x80 : 0));
  }
  return length;
}

// What the normal form does with an event.
enum class NormalChange : uint8_t {
  NONE,
  LEFT_OUT,
  END_OF_TRACK_EMPTIED,  // an end of track written without its data
};

// A data byte of 0x80 or more that the ordinary repair kept: the key of a key pressure or the
// number of a controller names nothing, so the event goes; any other value becomes 7F, the
// nearest one in range, as the ordinary repair does with controller values.
NormalChange normalizeChannelData(TrackScan& scan, int status, long offset) {
  unsigned char* data = scan.block + scan.dataStart;
  const int kind = status >> 4;
  for (int i = 0; i < channelDataBytes(status); ++i) {
    if (data[i] < 0x80) {
      continue;
    }
    if (i == 0 && (kind == 0xA || kind == 0xB)) {
      scan.repair->report(SEQMEND_CHANNEL_EVENT_REMOVED, {.byte = data[i], .offset = offset});
      return NormalChange::LEFT_OUT;
    }
    scan.repair->report(SEQMEND_DATA_BYTE_CLAMPED, {.byte = data[i], .offset = offset});
    data[i] = 0x7F;
    scan.changed = true;
  }
  return NormalChange::NONE;
}

// Whether an SMPTE offset names a time: hours of a day, minutes and seconds below 60, frames
// below the rate, hundredths of a frame below 100.
bool isSmpteOffsetInRange(const unsigned char* data) {
  const int rate = SMPTE_FRAME_RATES[data[0] >> 6];
  return (data[0] & 0x3F) < 24 && data[1] < 60 && data[2] < 60 && data[3] < rate && data[4] < 100;
}

// The finding of a meta event that the normal form leaves out, 0 for one it keeps. Only the
// kinds that readers decode into values are judged; their surplus bytes are nobody's concern.
int judgeMeta(int type, const unsigned char* data, uint32_t length) {
  switch (type) {
    case META_SEQUENCE_NUMBER:
      return length == 1 ? SEQMEND_META_EVENT_REMOVED : 0;
    case META_CHANNEL_PREFIX:
      return length == 0 ? SEQMEND_META_EVENT_REMOVED : 0;
    case META_TEMPO:
      // A tempo of 0 would play the rest of the music in no time.
      return length < 3 || (data[0] | data[1] | data[2]) == 0 ? SEQMEND_TEMPO_REMOVED : 0;
    case META_SMPTE_OFFSET:
      return length < 5 || !isSmpteOffsetInRange(data) ? SEQMEND_SMPTE_OFFSET_REMOVED : 0;
    case META_TIME_SIGNATURE:
      return length < 4 || data[0] == 0 || data[1] > LONGEST_DENOMINATOR_POWER
                 ? SEQMEND_TIME_SIGNATURE_REMOVED
                 : 0;
    case META_KEY_SIGNATURE: {
      const int sharps = int8_t(data[0]);
      return length < 2 || sharps < -7 || sharps > 7 || data[1] > 1 ? SEQMEND_KEY_SIGNATURE_REMOVED
                                                                    : 0;
    }
    default:
      return 0;
  }
}

// Meta events whose values no key, time or tempo can be made of are left out: any value put in
// their place would be a guess, and the one before them still holds. An end of track before the
// track's last byte is left out, so that the events after it stay; the last one loses its data.
NormalChange normalizeMeta(TrackScan& scan, long offset) {
  const unsigned char* p = scan.block + scan.dataStart;
  const unsigned char* const end = scan.block + scan.next;
  const int type = *p++;
  uint32_t length = 0;
  if (!decodeVarLen(p, end, length) || length > uint32_t(end - p)) {
    return NormalChange::NONE;  // not held whole here: streamed, and left as it is
  }
  if (type == META_END_OF_TRACK) {
    if (scan.remaining() > 0) {
      scan.endOfTrackSeen = false;
      scan.repair->report(SEQMEND_EARLY_END_OF_TRACK_REMOVED, {.offset = offset});
      return NormalChange::LEFT_OUT;
    }
    if (length == 0) {
      return NormalChange::NONE;
    }
    scan.repair->report(SEQMEND_END_OF_TRACK_DATA_REMOVED, {.offset = offset});
    return NormalChange::END_OF_TRACK_EMPTIED;
  }
  const int finding = judgeMeta(type, p, length);
  if (finding == 0) {
    return NormalChange::NONE;
  }
  scan.repair->report(finding, {.byte = type, .offset = offset});
  return NormalChange::LEFT_OUT;
}

// An F0 or F7 inside the data of a system exclusive message reads as its start or end; readers
// take a leading F0 for a repeated start and the last F7 for its end, anything else has bit 7
// cleared as the ordinary repair does with other bytes.
void normalizeSysex(TrackScan& scan, long offset) {
  const unsigned char* p = scan.block + scan.dataStart;
  unsigned char* const end = scan.block + scan.next;
  uint32_t length = 0;
  if (!decodeVarLen(p, end, length) || length != uint32_t(end - p) || length < 2) {
    return;
  }
  unsigned char* const data = scan.block + (p - scan.block);
  for (unsigned char* byte = data + (*data == 0xF0 ? 1 : 0); byte < end - 1; ++byte) {
    if (*byte >= 0x80) {
      const int cleared = *byte & 0x7F;
      scan.repair->report(SEQMEND_SYSEX_BYTE_CLEARED,
                          {.value = cleared, .byte = *byte, .offset = offset});
      *byte = uint8_t(cleared);
      scan.changed = true;
    }
  }
}

}  // namespace

bool writeEventHead(TrackScan& scan, bool withStatus, int status, long& written) {
  unsigned char head[5];
  size_t length = encodeVarLen(addDelta(scan.carriedDelta, scan.eventDelta), head);
  if (withStatus) {
    head[length++] = uint8_t(status);
  }
  scan.carriedDelta = 0;
  written = long(length);
  return writeTrackBytes(scan, head, length);
}

bool writeNormalEndOfTrack(TrackScan& scan) {
  unsigned char bytes[7];
  const size_t length = encodeVarLen(scan.carriedDelta, bytes);
  bytes[length] = 0xFF;
  bytes[length + 1] = META_END_OF_TRACK;
  bytes[length + 2] = 0x00;
  scan.carriedDelta = 0;
  return writeTrackBytes(scan, bytes, length + 3);
}

bool normalizeEvent(TrackScan& scan, int status) {
  if (scan.next == scan.eventStart) {
    // Streamed or removed: a system exclusive or meta event, never a running status to follow.
    scan.outputStatus = -1;
    return true;
  }
  const long offset = scan.eventOffset + long(scan.statusAt);
  NormalChange change = NormalChange::NONE;
  if (status < 0xF0) {
    change = normalizeChannelData(scan, status, offset);
  } else if (status == 0xFF) {
    change = normalizeMeta(scan, offset);
  } else if (status == 0xF0) {
    normalizeSysex(scan, offset);
  }

  if (change == NormalChange::LEFT_OUT) {
    if (!writeKeptBytes(scan)) {
      return false;
    }
    scan.unwritten = scan.next;
    scan.carriedDelta = addDelta(scan.carriedDelta, scan.eventDelta);
    scan.changed = true;
    return true;
  }
  // Readers differ on whether a running status survives a meta or system exclusive event, and
  // an event left out may have set the one that applies here.
  const bool statusNeeded = status < 0xF0 && scan.statusRunning && scan.outputStatus != status;
  scan.outputStatus = status < 0xF0 ? status : -1;
  if (!statusNeeded && scan.carriedDelta == 0 && change == NormalChange::NONE) {
    return true;
  }
  if (!writeKeptBytes(scan)) {
    return false;
  }
  long written = 0;
  if (!writeEventHead(scan, statusNeeded, status, written)) {
    return false;
  }
  scan.changed = scan.changed || statusNeeded || change != NormalChange::NONE;
  scan.statusesWritten += statusNeeded ? 1 : 0;
  scan.unwritten = scan.eventStart + scan.statusAt;
  if (change == NormalChange::END_OF_TRACK_EMPTIED) {
    static constexpr unsigned char EMPTY_END_OF_TRACK[3] = {0xFF, META_END_OF_TRACK, 0x00};
    scan.unwritten = scan.next;
    return writeTrackBytes(scan, EMPTY_END_OF_TRACK, 3);
  }
  return true;
}
