// The chunk walk: settles where every chunk really ends from the landmarks ahead of it, writes
// each recognised chunk with a corrected length, drops stretches with unknown tags, rebuilds a
// lost track head, and afterwards corrects the header's track count and format.
#include <cstring>
#include <initializer_list>

#include "engine.h"

namespace {

// Finds the landmarks ahead of the current chunk and settles its end. The input stands just
// after the chunk's length field, or at the start of a chunk without a known tag.
void settleChunkEnd(ChunkWalk& walk, Repair& repair) {
  walk.lastChunk = false;
  const long position = walk.chunkStart + (walk.tagOk ? 8 : 0);
  walk.nextHeader = int32_t(updateLandmarkMemos(repair.in, position, walk.search, walk.tagOk));
  walk.endOfTrackEnd = NOT_FOUND;
  if (walk.tagOk && walk.search.endOfTrack.hit != NOT_FOUND) {
    walk.endOfTrackEnd = int32_t(walk.search.endOfTrack.hit + 3);
  }
  walk.nextTrack = int32_t(walk.search.track.hit);

  // Landmarks beyond the next header belong to the file that begins there.
  if (walk.nextHeader != NOT_FOUND) {
    if (walk.nextTrack > walk.nextHeader) {
      walk.nextTrack = NOT_FOUND;
    }
    if (walk.endOfTrackEnd > walk.nextHeader) {
      walk.endOfTrackEnd = NOT_FOUND;
    }
  }

  walk.chunkEnd = NOT_FOUND;
  for (const int32_t landmark : {walk.nextTrack, walk.nextHeader, walk.endOfTrackEnd}) {
    if (landmark != NOT_FOUND && (walk.chunkEnd == NOT_FOUND || landmark < walk.chunkEnd)) {
      walk.chunkEnd = landmark;
    }
  }
  if (walk.chunkEnd == NOT_FOUND) {
    if (walk.chunkNumber == 0) {
      walk.chunkEnd = walk.chunkStart + 14;  // a header of 6 body bytes
    } else {
      walk.chunkEnd = int32_t(repair.inputSize());
      walk.lastChunk = true;
    }
  }
  if (walk.nextHeader != NOT_FOUND && walk.chunkEnd == walk.nextHeader) {
    walk.lastChunk = true;
  }
}

// Writes the current chunk with its settled length, then patches the length to the body bytes
// actually written. REPAIR_FAILED when a stream failed.
int writeChunk(ChunkWalk& walk, Repair& repair) {
  Input& in = repair.in;
  Output& out = repair.out;
  const bool isHeader = walk.chunkNumber == 0;
  walk.settledLength = walk.chunkEnd - walk.chunkStart - 8;
  // A header shorter than its 6 fields is always written whole, so it is never a plain copy.
  if (walk.settledLength != walk.storedLength || (isHeader && walk.settledLength < 6)) {
    walk.fileChanged = true;
    if (isHeader) {
      repair.report(SEQMEND_HEADER_LENGTH_UPDATED);
    } else {
      repair.report(SEQMEND_TRACK_LENGTH_UPDATED, {.track = walk.chunkNumber});
    }
  }

  walk.outChunkStart = walk.outPosition;
  // Tag and length in one write: a call to the stream costs more than a small chunk's events.
  const uint32_t length = uint32_t(walk.settledLength);
  const unsigned char head[8] = {walk.tag[0],          walk.tag[1],           walk.tag[2],
                                 walk.tag[3],          uint8_t(length >> 24), uint8_t(length >> 16),
                                 uint8_t(length >> 8), uint8_t(length)};
  out.write(head, 8);
  // The input stands just after the length field, where the landmark search left it.
  long written = 0;
  if (isHeader) {
    repairHeaderBody(walk, repair, walk.settledLength);
    written = out.tell() - walk.outChunkStart - 8;
    seekInput(in, walk.chunkEnd);
  } else {
    repair.trackNumber = walk.chunkNumber;
    const int result = repairTrackEvents(repair, walk.chunkStart + 8, walk.settledLength, written);
    if (result == REPAIR_FAILED) {
      return REPAIR_FAILED;
    }
    if (result == REPAIR_CHANGED) {
      walk.fileChanged = true;
    }
  }
  walk.outPosition = walk.outChunkStart + 8 + written;

  // Seeking the output flushes it, so the length is only rewritten where it differs.
  if (written != walk.settledLength) {
    out.seek(walk.outChunkStart + 4);
    writeUInt32BE(uint32_t(written), out);
    out.seek(walk.outChunkStart + 8 + written);
  }
  return repair.failed() ? REPAIR_FAILED : REPAIR_UNCHANGED;
}

// Behind a format 0 header with no "MTrk" ahead, makes a track of the untagged events that
// follow, from where they parse to the end of the input. True when a track was rebuilt.
bool rebuildLostTrack(ChunkWalk& walk, Repair& repair) {
  Input& in = repair.in;
  const long inputSize = repair.inputSize();
  const int32_t dataStart =
      recognizeTrackData(repair, walk.chunkEnd, int32_t(inputSize - walk.chunkEnd));
  if (dataStart == NOT_FOUND) {
    seekInput(in, walk.chunkEnd);
    return false;
  }
  const long outChunkStart = repair.out.tell();
  const long length = inputSize - dataStart;
  repair.out.write(TRACK_TAG, 4);
  writeUInt32BE(uint32_t(length), repair.out);
  seekInput(in, dataStart);
  if (repair.normalize) {
    // The normal form holds no event unread: the rebuilt track is repaired like any other.
    long written = 0;
    repair.trackNumber = 1;
    repairTrackEvents(repair, dataStart, int32_t(length), written);
    if (written != length) {
      repair.out.seek(outChunkStart + 4);
      writeUInt32BE(uint32_t(written), repair.out);
      repair.out.seek(outChunkStart + 8 + written);
    }
  } else {
    copyBytes(length, in, repair.out, repair.failure);
  }
  walk.chunkNumber = 1;
  std::memcpy(walk.tag, TRACK_TAG, 4);
  walk.fileChanged = true;
  return true;
}

}  // namespace

int walkChunks(ChunkWalk& walk, Repair& repair) {
  Input& in = repair.in;
  walk.outPosition = repair.out.tell();
  for (;;) {
    if (repair.failed()) {
      return REPAIR_FAILED;
    }
    walk.tagOk = isHeaderTag(walk.tag) || isTrackTag(walk.tag);
    if (walk.tagOk) {
      const bool isHeader = walk.chunkNumber == -1;
      unsigned char field[4];
      if (readInput(field, 4, in) != 4) {
        if (isHeader) {
          // Nothing has been written yet; without a length there is no header to build on.
          repair.report(SEQMEND_NO_MIDI_DATA);
          return REPAIR_FAILED;
        }
        return REPAIR_UNCHANGED;
      }
      walk.storedLength = int32_t(readUInt32BE(field));
      // A track length with bit 31 set ends the walk; the header's is only a wrong length.
      if (walk.storedLength < 0 && !isHeader) {
        return REPAIR_UNCHANGED;
      }
      ++walk.chunkNumber;
    } else {
      seekInput(in, walk.chunkStart);
    }
    rewriteForeignTag(walk, repair);

    settleChunkEnd(walk, repair);
    if (!walk.tagOk && walk.nextTrack == NOT_FOUND) {
      return REPAIR_UNCHANGED;  // the garbage is left to the trailing data
    }

    if (walk.tagOk) {
      if (writeChunk(walk, repair) == REPAIR_FAILED) {
        return REPAIR_FAILED;
      }
    } else {
      walk.fileChanged = true;
      const long n = walk.chunkEnd - walk.chunkStart;
      repair.report(SEQMEND_GARBAGE_BETWEEN_TRACKS, {.count = n});
    }

    // The next chunk begins at the settled end, however much the body repair consumed: a track's
    // repair leaves the input there, a header's repair was followed by a seek.
    if (!walk.tagOk) {
      seekInput(in, walk.chunkEnd);
    }
    walk.chunkStart = walk.chunkEnd;

    if (walk.tagOk && walk.nextTrack == NOT_FOUND) {
      if (walk.chunkNumber != 0 || repair.midiType != 0) {
        return REPAIR_UNCHANGED;
      }
      if (rebuildLostTrack(walk, repair)) {
        return REPAIR_UNCHANGED;
      }
    }
    if (walk.lastChunk) {
      return REPAIR_UNCHANGED;
    }
    if (readInput(walk.tag, 4, in) != 4) {
      return REPAIR_UNCHANGED;
    }
  }
}

void applyCountAndTypeRules(ChunkWalk& walk, Repair& repair) {
  const int found = walk.chunkNumber;
  if (found != walk.headerTrackCount) {
    if (found < walk.headerTrackCount) {
      const int missing = walk.headerTrackCount - found;
      repair.report(SEQMEND_TRACKS_MISSING, {.count = missing});
    } else {
      const int extra = found - walk.headerTrackCount;
      repair.report(SEQMEND_NEW_TRACKS_FOUND, {.count = extra});
    }
    updateTrackCount(repair, found);
    walk.headerTrackCount = found;
    walk.fileChanged = true;
  }
  if (repair.midiType == 0 && walk.headerTrackCount > 1) {
    repair.report(SEQMEND_FORMAT_0_SEVERAL_TRACKS, {.value = 0, .count = walk.headerTrackCount});
    updateMidiType(repair);
    repair.midiType = 1;
    walk.fileChanged = true;
  }
}
