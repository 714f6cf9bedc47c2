// System exclusive and meta events of a track: completeness, data bytes, events too large for the
// event buffer, the end of track, and the pause that a GM ON message needs.
#include <cstring>

#include "engine.h"

namespace {

// Events that follow a GM ON message sooner than this many ticks may reach a device that is still
// resetting, whatever the file's resolution.
constexpr int32_t GM_ON_MIN_PAUSE = 13;

constexpr unsigned char GM_ON_DATA[5] = {0x7E, 0x7F, 0x09, 0x01, 0xF7};

bool isGmOn(const unsigned char* data, int32_t length) {
  return length == sizeof GM_ON_DATA && std::memcmp(data, GM_ON_DATA, sizeof GM_ON_DATA) == 0;
}

// Passes on the current event exactly as it stands in the input, its `length` data bytes after
// the next byte, without holding more of it than the block has: an event that ends inside the
// block simply stays with the kept bytes, a longer one goes out from the block and then straight
// from the input. Either way nothing of it is checked.
void streamEvent(TrackScan& scan, int32_t length) {
  const long total = long(scan.bufferFill()) + length;
  const long inBlock = long(scan.filled - scan.eventStart);
  if (total <= inBlock) {
    scan.next = scan.eventStart + size_t(total);
    return;
  }
  if (!writeKeptBytes(scan)) {
    return;
  }
  Repair& repair = *scan.repair;
  // The normal form writes the delta time anew when events left out before owe it theirs.
  long head = 0;
  if (repair.normalize && scan.carriedDelta != 0 && !writeEventHead(scan, false, 0, head)) {
    return;
  }
  const long skipped = head != 0 ? long(scan.statusAt) : 0;
  repair.out.write(scan.block + scan.eventStart + skipped, size_t(inBlock - skipped));
  // The input stands just after what the block holds.
  copyBytes(total - inBlock, repair.in, repair.out, repair.failure);
  if (repair.failed()) {
    scan.writeFailed = true;
    return;
  }
  scan.written += total - skipped;
  scan.blockStart = scan.eventOffset + total;
  scan.filled = 0;
  scan.next = 0;
  scan.eventStart = 0;
  scan.unwritten = 0;
}

// The byte `ahead` bytes after the next one, without reading past it; END_OF_INPUT where the input
// ends.
int peekAhead(TrackScan& scan, int32_t ahead) {
  if (scan.next + size_t(ahead) < scan.filled) {
    return scan.block[scan.next + size_t(ahead)];
  }
  Input& in = scan.repair->in;
  const long readTo = scan.blockStart + long(scan.filled);
  seekInput(in, scan.position() + ahead);
  const int byte = readInputByte(in);
  seekInput(in, readTo);
  return byte;
}

// Clears bit 7 of the data bytes that must not have it; F0 and F7 may stand in the data.
void repairSysexData(TrackScan& scan, unsigned char* data, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    if (data[i] >= 0x80 && data[i] != 0xF0 && data[i] != 0xF7) {
      scan.repair->report(SEQMEND_SYSEX_BYTE_OUT_OF_RANGE, {.byte = data[i]});
      data[i] &= 0x7F;
      scan.changed = true;
    }
  }
}

}  // namespace

bool skipSysexData(TrackScan& scan, int32_t count, int32_t& skipped) {
  skipped = 0;
  while (count > 0) {
    if (scan.next == scan.filled) {
      // Nothing read so far is needed again: the kept bytes went out before the removal began.
      scan.eventStart = scan.next;
      scan.unwritten = scan.next;
      if (!fillTrackBlock(scan, 1)) {
        return false;
      }
    }
    const size_t readable = scan.filled - scan.next;
    const size_t span = size_t(count) < readable ? size_t(count) : readable;
    const unsigned char* const from = scan.block + scan.next;
    const auto* f7 = static_cast<const unsigned char*>(std::memchr(from, 0xF7, span));
    const size_t taken = f7 != nullptr ? size_t(f7 - from) + 1 : span;
    scan.next += taken;
    skipped += int32_t(taken);
    count -= int32_t(taken);
    if (f7 != nullptr) {
      // An F7 as the last byte allowed is the track's own last byte, reached by a length that
      // ran past the track: the event was cut off there, so the track ends with it.
      return count > 0;
    }
  }
  return true;
}

EventOutcome handleSysex(TrackScan& scan) {
  uint32_t declared = 0;
  if (!readEventVarLen(scan, declared)) {
    if (!scan.writeFailed) {
      scan.repair->report(SEQMEND_INCOMPLETE_SYSEX);
      scan.changed = true;
    }
    return EventOutcome::END_TRACK;
  }
  const bool withinTrack = declared <= uint32_t(scan.remaining());
  const int32_t length = withinTrack ? int32_t(declared) : scan.remaining();
  if (withinTrack && length > 0) {
    if (scan.bufferFill() + length > EVENT_BUFFER_SIZE) {
      // Streamed events are passed on as they are: no data check, no GM ON detection.
      if (peekAhead(scan, length - 1) == 0xF7) {
        streamEvent(scan, length);
        return EventOutcome::DONE;
      }
    } else if (fillTrackBlock(scan, size_t(length)) &&
               scan.block[scan.next + size_t(length) - 1] == 0xF7) {
      unsigned char* data = scan.block + scan.next;
      scan.next += size_t(length);
      repairSysexData(scan, data, length);
      if (isGmOn(data, length)) {
        scan.repair->gmOnTick = scan.tick;
      }
      return EventOutcome::KEPT;
    }
  }
  if (scan.writeFailed || !writeKeptBytes(scan)) {
    return EventOutcome::END_TRACK;
  }
  // Incomplete: dropped up to its first F7, delta time included, and not counted as lost.
  scan.repair->report(SEQMEND_INCOMPLETE_SYSEX);
  scan.changed = true;
  int32_t skipped = 0;
  if (!skipSysexData(scan, length, skipped)) {
    return EventOutcome::END_TRACK;
  }
  scan.eventStart = scan.next;
  scan.unwritten = scan.next;
  return EventOutcome::DONE;
}

EventOutcome handleMeta(TrackScan& scan) {
  if (!readEventBytes(scan, 1)) {
    return EventOutcome::END_TRACK;
  }
  const unsigned char type = scan.block[scan.dataStart];
  uint32_t length = 0;
  if (!readEventVarLen(scan, length)) {
    return EventOutcome::END_TRACK;
  }
  // An event that runs past the track ends it; the lost bytes tell the user.
  if (uint32_t(scan.remaining()) < length) {
    return EventOutcome::END_TRACK;
  }
  EventOutcome outcome = EventOutcome::KEPT;
  if (scan.bufferFill() + length > uint32_t(EVENT_BUFFER_SIZE)) {
    streamEvent(scan, int32_t(length));
    outcome = EventOutcome::DONE;
  } else if (!readEventBytes(scan, int(length))) {
    return EventOutcome::END_TRACK;
  }
  if (type == 0x2F) {
    scan.endOfTrackSeen = true;  // whatever its length
  }
  return outcome;
}

bool isTooSoonAfterGmOn(const Repair& repair, int status, int32_t tick) {
  return status <= 0xF0 && repair.gmOnTick >= 0 && tick >= repair.gmOnTick &&
         tick - repair.gmOnTick < GM_ON_MIN_PAUSE;
}

void checkGmOnPause(Repair& repair, int status, int32_t tick) {
  if (!isTooSoonAfterGmOn(repair, status, tick)) {
    return;
  }
  repair.report(SEQMEND_GM_ON_PAUSE);
  repair.gmOnTick = -1;
}
