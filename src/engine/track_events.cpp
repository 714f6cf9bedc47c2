// Repairs the event stream of one track while copying it: running status, channel and system
// common messages, the end of track and the count of lost bytes. The track's bytes are read in
// blocks; kept events are written from the block in runs.
#include <cstring>

#include "engine.h"

namespace {

constexpr unsigned char ADDED_END_OF_TRACK[4] = {0x00, 0xFF, 0x2F, 0x00};

// A channel message takes 7 bytes at most: 4 of delta time, the status, 2 data bytes.
constexpr size_t LONGEST_CHANNEL_MESSAGE = 7;

// Before every event at least this many bytes are made readable, so that a whole channel message
// is in the block unless the track ends first, and a run of events can be taken at once.
constexpr size_t EVENT_LOOKAHEAD = 4096;

// By the high four bits of a status: bit 7 where a data byte with bit 7 set makes the channel
// rules refuse or replace it; the first data byte in the low byte, the second in the high one.
constexpr uint16_t dataCheckOf(int kind) {
  if (kind < 8 || kind > 0xE) {
    return 0;
  }
  const ChannelRule& rule = CHANNEL_RULES[kind - 8];
  uint16_t check = 0;
  for (int i = 0; i < rule.dataBytes; ++i) {
    if (rule.values[i] != ValueRule::KEPT) {
      check |= uint16_t(0x80 << (8 * i));
    }
  }
  return check;
}
constexpr uint16_t DATA_CHECKS[16] = {
    dataCheckOf(0),  dataCheckOf(1),  dataCheckOf(2),  dataCheckOf(3),
    dataCheckOf(4),  dataCheckOf(5),  dataCheckOf(6),  dataCheckOf(7),
    dataCheckOf(8),  dataCheckOf(9),  dataCheckOf(10), dataCheckOf(11),
    dataCheckOf(12), dataCheckOf(13), dataCheckOf(14), dataCheckOf(15),
};

bool writeOutput(TrackScan& scan, const unsigned char* bytes, size_t count) {
  scan.repair->out.write(bytes, count);
  if (scan.repair->failed()) {
    return false;
  }
  scan.written += long(count);
  return true;
}

// Leaves the input just past the track's bytes, where the walk goes on. Only a track that ended
// before its bytes were used up needs a seek.
int leaveTrack(const TrackScan& scan, int result) {
  if (scan.inputEnded || scan.blockStart + long(scan.filled) != scan.trackEnd) {
    seekInput(scan.repair->in, scan.trackEnd);
  }
  return result;
}

// The end of a track, reached when its bytes are used up and from every failure: reports what was
// read but not written and appends an end of track unless the last event that got as far as its
// status was one.
int finishTrack(TrackScan& scan) {
  if (scan.writeFailed || !writeKeptBytes(scan)) {
    return REPAIR_FAILED;
  }
  // The current event's bytes read so far and the track's bytes not read: all from its first byte.
  const long lost = scan.trackEnd - scan.eventOffset;
  if (lost > 0) {
    scan.repair->report(SEQMEND_BYTES_LOST, {.count = lost});
  }
  if (scan.statusesWritten > 0) {
    scan.repair->report(SEQMEND_STATUS_WRITTEN_AGAIN,
                        {.track = scan.repair->trackNumber, .count = scan.statusesWritten});
  }
  if (scan.endOfTrackSeen) {
    return scan.changed || lost != 0 ? REPAIR_CHANGED : REPAIR_UNCHANGED;
  }
  if (scan.repair->normalize ? !writeNormalEndOfTrack(scan)
                             : !writeOutput(scan, ADDED_END_OF_TRACK, sizeof ADDED_END_OF_TRACK)) {
    return REPAIR_FAILED;
  }
  scan.repair->report(SEQMEND_END_OF_TRACK_ADDED);
  return REPAIR_CHANGED;
}

// Ends a read into the current event that cannot go on; the bytes read so far stay the event's.
[[gnu::cold, gnu::noinline]] bool stopIncomplete(const TrackScan& scan) {
  scan.repair->report(SEQMEND_INCOMPLETE_EVENT, {.offset = scan.eventOffset});
  return false;
}

// Offset of the byte `back` bytes before the next one.
long offsetBehind(const TrackScan& scan, long back) { return scan.position() - back; }

void checkTrackChannel(TrackScan& scan, int status) {
  if (scan.repair->midiType != 1) {
    return;
  }
  const int channel = status & 0x0F;
  if (scan.trackChannel < 0) {
    scan.trackChannel = channel;
  } else if (channel != scan.trackChannel && !scan.channelWarningGiven) {
    scan.repair->report(SEQMEND_MIXED_CHANNELS);
    scan.channelWarningGiven = true;
  }
}

// The report for a data value that the channel rules refuse or replace. offset is that of the
// status byte, or under running status of the byte before the first data byte.
void reportValue(Repair& repair, int status, long offset) {
  switch (status >> 4) {
    case 0xB:
      repair.report(SEQMEND_INVALID_CONTROL_VALUE, {.offset = offset});
      break;
    case 0xC:
      repair.report(SEQMEND_INVALID_PROGRAM, {.offset = offset});
      break;
    case 0xD:
      repair.report(SEQMEND_INVALID_AFTERTOUCH, {.offset = offset});
      break;
    default:
      repair.report(SEQMEND_INVALID_NOTE, {.offset = offset});
      break;
  }
}

// Reads and checks the data of a channel message by the channel rules, repairing values in
// place. False ends the track.
bool readChannelMessage(TrackScan& scan, int status) {
  checkTrackChannel(scan, status);
  scan.runningStatus = status;
  const ChannelRule& rule = channelRule(status);
  if (!readEventBytes(scan, rule.dataBytes)) {
    return false;
  }
  unsigned char* data = scan.block + scan.dataStart;
  for (int i = 0; i < rule.dataBytes; ++i) {
    if (data[i] < 0x80 || rule.values[i] == ValueRule::KEPT) {
      continue;
    }
    reportValue(*scan.repair, status, offsetBehind(scan, 1 + rule.dataBytes));
    if (rule.values[i] == ValueRule::REFUSED) {
      return false;
    }
    data[i] = rule.replacements[i];
    scan.changed = true;
  }
  return true;
}

// A meta event at p whose bytes all stand before end and that the event buffer holds: the track
// loop would keep it as it stands. Sets next to just past it; nullptr for anything else.
const unsigned char* takeMetaEvent(const unsigned char* p, const unsigned char* end,
                                   uint32_t& delta, unsigned char& type) {
  const unsigned char* e = p;
  uint32_t length = 0;
  if (!decodeVarLen(e, end, delta) || end - e < 2 || e[0] != 0xFF) {
    return nullptr;
  }
  type = e[1];
  e += 2;
  if (!decodeVarLen(e, end, length) || length > size_t(end - e) ||
      size_t(e - p) + length > size_t(EVENT_BUFFER_SIZE)) {
    return nullptr;
  }
  return e + length;
}

// Takes the events from the next byte on that the track loop would keep as they stand and that
// draw no warning: channel messages that the channel rules pass unchanged, while a whole one
// surely stands in the block, and meta events held whole in the block. They stay with the kept
// bytes. This is the track loop's own way with the bulk of a track, without a bounds check per
// byte of a channel message; the first event that is anything else is left to the loop from its
// first byte.
void takeRun(TrackScan& scan) {
  const unsigned char* p = scan.block + scan.next;
  const unsigned char* const end = scan.block + scan.filled;
  const unsigned char* const first = p;
  uint32_t tick = uint32_t(scan.tick);
  int32_t runningStatus = scan.runningStatus;
  bool endOfTrack = scan.endOfTrackSeen;
  const bool gmOnPending = scan.repair->gmOnTick >= 0;
  // A status that repeats the running one has the channel it had when it began to run, so every
  // status can be checked alike; a track whose messages keep to one channel never misses here.
  bool checkChannels = scan.repair->midiType == 1 && !scan.channelWarningGiven;
  while (p < end) {
    if (size_t(end - p) >= LONGEST_CHANNEL_MESSAGE) {
      const unsigned char* e = p;
      uint32_t delta = 0;
      for (int i = 0; addVarLenByte(delta, *e++, i); ++i) {
      }
      // A data byte in place of the status stays in place as the first data byte.
      const unsigned byteAtStatus = *e;
      const int status = byteAtStatus >= 0x80 ? int(byteAtStatus) : runningStatus;
      if (unsigned(status - 0x80) < 0x70) {
        e += byteAtStatus >> 7;
        if (((e[0] | e[1] << 8) & DATA_CHECKS[status >> 4]) != 0) {
          break;
        }
        const uint32_t at = tick + delta;
        if (gmOnPending && isTooSoonAfterGmOn(*scan.repair, status, int32_t(at))) {
          break;
        }
        if (checkChannels && (status & 0x0F) != scan.trackChannel) {
          checkTrackChannel(scan, status);
          checkChannels = !scan.channelWarningGiven;
        }
        tick = at;
        runningStatus = status;
        endOfTrack = false;
        p = e + channelDataBytes(status);
        continue;
      }
    }
    // Not a channel message, or too close to the end of the block to tell.
    uint32_t delta = 0;
    unsigned char type = 0;
    const unsigned char* const next = takeMetaEvent(p, end, delta, type);
    if (next == nullptr) {
      break;
    }
    tick += delta;
    endOfTrack = type == 0x2F;  // whatever its length
    p = next;
  }
  if (p != first) {
    scan.tick = int32_t(tick);
    scan.runningStatus = runningStatus;
    scan.endOfTrackSeen = endOfTrack;
    scan.next = size_t(p - scan.block);
  }
}

// Reads the message behind a resolved status.
EventOutcome readMessage(TrackScan& scan, int status) {
  if (status < 0x80) {
    scan.repair->report(SEQMEND_INVALID_EVENT, {.offset = offsetBehind(scan, 1)});
    return EventOutcome::END_TRACK;
  }
  if (status < 0xF0) {
    return readChannelMessage(scan, status) ? EventOutcome::KEPT : EventOutcome::END_TRACK;
  }
  const SystemRule& rule = systemRule(status);
  switch (rule.inTrack) {
    case SystemEvent::SYSEX:
      return handleSysex(scan);
    case SystemEvent::META:
      return handleMeta(scan);
    case SystemEvent::REFUSED:
      scan.repair->report(SEQMEND_INVALID_STATUS,
                          {.byte = status, .offset = offsetBehind(scan, 1)});
      return EventOutcome::END_TRACK;
    case SystemEvent::MESSAGE:
      break;
  }
  return readEventBytes(scan, rule.dataBytes) ? EventOutcome::KEPT : EventOutcome::END_TRACK;
}

// The event loop of repairTrackEvents over a scan set up for the track.
int repairTrackScan(TrackScan& scan) {
  while (scan.remaining() > 0) {
    scan.eventStart = scan.next;
    scan.eventOffset = scan.position();
    if (!fillTrackBlock(scan, EVENT_LOOKAHEAD) && scan.writeFailed) {
      return REPAIR_FAILED;
    }
    // The normal form looks at every event on its own.
    if (!scan.repair->normalize) {
      takeRun(scan);
    }
    if (scan.remaining() == 0) {
      break;
    }
    scan.eventStart = scan.next;
    scan.eventOffset = scan.position();
    uint32_t delta = 0;
    if (!readEventVarLen(scan, delta)) {
      return finishTrack(scan);
    }
    // Wraps instead of overflowing on hostile delta times; only the pause check reads it.
    scan.tick = static_cast<int32_t>(static_cast<uint32_t>(scan.tick) + delta);
    scan.eventDelta = delta;
    scan.statusAt = scan.next - scan.eventStart;
    if (!readEventBytes(scan, 1)) {
      return finishTrack(scan);
    }
    int status = scan.block[scan.next - 1];
    scan.statusRunning = status < 0x80 && scan.runningStatus >= 0;
    if (scan.statusRunning) {
      // Running status: the byte is the first data byte, read again as such.
      status = scan.runningStatus;
      --scan.next;
    }
    checkGmOnPause(*scan.repair, status, scan.tick);
    scan.dataStart = scan.next;
    scan.endOfTrackSeen = false;
    if (readMessage(scan, status) == EventOutcome::END_TRACK) {
      return finishTrack(scan);
    }
    if (scan.writeFailed || (scan.repair->normalize && !normalizeEvent(scan, status))) {
      return REPAIR_FAILED;
    }
  }
  // The bytes are used up: only a missing end of track can still change the track.
  scan.eventStart = scan.next;
  scan.eventOffset = scan.position();
  return finishTrack(scan);
}

}  // namespace

bool writeKeptBytes(TrackScan& scan) {
  if (!writeOutput(scan, scan.block + scan.unwritten, scan.eventStart - scan.unwritten)) {
    scan.writeFailed = true;
    return false;
  }
  scan.unwritten = scan.eventStart;
  return true;
}

bool fillTrackBlock(TrackScan& scan, size_t count) {
  if (scan.filled - scan.next >= count) {
    return true;
  }
  // Never past the track: the chunk walk goes on from its end without a seek.
  long unread = scan.trackEnd - (scan.blockStart + long(scan.filled));
  if (unread <= 0 || scan.inputEnded) {
    return false;
  }
  // The kept bytes go out and the current event moves to the front, to make room.
  if (TRACK_BLOCK_SIZE - scan.filled < EVENT_LOOKAHEAD && scan.eventStart > 0) {
    if (!writeKeptBytes(scan)) {
      return false;
    }
    const size_t shift = scan.eventStart;
    std::memmove(scan.block, scan.block + shift, scan.filled - shift);
    scan.blockStart += long(shift);
    scan.filled -= shift;
    scan.next -= shift;
    scan.dataStart -= shift < scan.dataStart ? shift : scan.dataStart;
    scan.eventStart = 0;
    scan.unwritten = 0;
  }
  while (scan.filled - scan.next < count && unread > 0) {
    const size_t space = TRACK_BLOCK_SIZE - scan.filled;
    const size_t want = long(space) < unread ? space : size_t(unread);
    const size_t got = readInput(scan.block + scan.filled, want, scan.repair->in);
    scan.filled += got;
    unread -= long(got);
    if (got < want) {
      scan.inputEnded = true;
      break;
    }
  }
  return scan.filled - scan.next >= count;
}

bool readEventBytes(TrackScan& scan, int count) {
  if (count <= 0) {
    return true;
  }
  if (!fillTrackBlock(scan, size_t(count))) {
    return scan.writeFailed ? false : stopIncomplete(scan);
  }
  scan.next += size_t(count);
  return true;
}

bool readEventVarLen(TrackScan& scan, uint32_t& value) {
  value = 0;
  for (int i = 0;; ++i) {
    if (scan.next == scan.filled && !fillTrackBlock(scan, 1)) {
      return scan.writeFailed ? false : stopIncomplete(scan);
    }
    if (!addVarLenByte(value, scan.block[scan.next++], i)) {
      return true;
    }
  }
}

int repairTrackEvents(Repair& repair, long start, int32_t length, long& written) {
  written = length > 0 ? length : 0;
  if (repair.tracksOnly) {
    copyBytes(length, repair.in, repair.out, repair.failure);
    return repair.failed() ? REPAIR_FAILED : REPAIR_UNCHANGED;
  }
  TrackScan scan;
  scan.repair = &repair;
  scan.block = repair.buffers->trackBlock;
  scan.blockStart = start;
  scan.trackEnd = scan.blockStart + (length > 0 ? length : 0);
  const int result = repairTrackScan(scan);
  written = scan.written;
  return leaveTrack(scan, result);
}
