// The engine's entry: where the MIDI data begins, the header chunk's tags and body, and the later
// rewrites of header fields already written.
#include "engine.h"

namespace {

void writeUInt16BE(int value, Output& out) {
  const unsigned char bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
  out.write(bytes, 2);
}

// Sets a 16-bit field of the header already written; the position of out is kept.
void patchHeaderField(long offset, int value, Output& out) {
  const long position = out.tell();
  out.seek(offset);
  writeUInt16BE(value, out);
  out.seek(position);
}

}  // namespace

void rewriteForeignTag(ChunkWalk& walk, Repair& repair) {
  if (tagEquals(SNIO_TAG, walk.tag)) {
    repair.report(SEQMEND_SNIO_HEADER);
  } else if (tagEquals(SONG_TAG, walk.tag)) {
    repair.report(SEQMEND_SONG_HEADER);
  } else if (tagEquals(STRANGE_HEADER_TAG, walk.tag)) {
    repair.report(SEQMEND_STRANGE_HEADER);
  } else {
    return;
  }
  std::memcpy(walk.tag, HEADER_TAG, 4);
  walk.fileChanged = true;
}

void repairHeaderBody(ChunkWalk& walk, Repair& repair, int32_t length) {
  Input& in = repair.in;
  Output& out = repair.out;
  int format = readUInt16BE(in);
  if (format >= 3) {
    repair.report(SEQMEND_INVALID_FORMAT, {.value = format});
    format = 1;
    walk.fileChanged = true;
  }
  writeUInt16BE(format, out);
  writeUInt16BE(readUInt16BE(in), out);
  int division = readUInt16BE(in);
  if (division == 0) {
    repair.report(SEQMEND_INVALID_DIVISION, {.value = division});
    division = 96;
    walk.fileChanged = true;
  }
  writeUInt16BE(division, out);
  if (length > 6 && repair.normalize) {
    // Widely used readers take the surplus for the first track's head.
    repair.report(SEQMEND_HEADER_SURPLUS_REMOVED, {.count = length - 6});
    walk.fileChanged = true;
  } else if (length > 6) {
    copyBytes(length - 6, in, out, repair.failure);
  }
}

void updateMidiType(Repair& repair) {
  patchHeaderField(8, 1, repair.out);
  repair.report(SEQMEND_FORMAT_UPDATED, {.value = 1});
}

void updateTrackCount(Repair& repair, int count) {
  patchHeaderField(10, count & 0xFFFF, repair.out);
  repair.report(SEQMEND_TRACK_COUNT_UPDATED, {.count = count});
}

int repairMidiFile(Repair& repair) {
  Input& in = repair.in;
  ChunkWalk walk;
  walk.search.block.bytes = repair.buffers->searchBlock;
  repair.gmOnTick = -1;  // a GM ON message of an earlier repair has no bearing on this file
  if (repair.inputTooLarge) {
    repair.report(SEQMEND_FILE_TOO_LARGE);
    return REPAIR_FAILED;
  }
  seekInput(in, 0);
  walk.headerStart = int32_t(findHeaderStart(in, walk.search));
  if (walk.headerStart == NOT_FOUND) {
    repair.report(SEQMEND_NO_MIDI_DATA);
    return REPAIR_FAILED;
  }
  if (walk.headerStart > 0) {
    walk.fileChanged = true;  // what stands before the header is dropped without a word
  }
  seekInput(in, walk.headerStart);
  if (readInput(walk.tag, 4, in) != 4 || !isHeaderTag(walk.tag)) {
    repair.report(SEQMEND_NOT_A_MIDI_FILE, {.tag = "MThd"});
    return REPAIR_FAILED;
  }
  seekInput(in, walk.headerStart + 8);
  repair.midiType = readUInt16BE(in);
  walk.headerTrackCount = readUInt16BE(in);
  seekInput(in, walk.headerStart + 4);
  walk.chunkStart = walk.headerStart;

  if (walkChunks(walk, repair) == REPAIR_FAILED || repair.failed()) {
    return REPAIR_FAILED;
  }
  applyCountAndTypeRules(walk, repair);
  if (handleTrailingData(walk, repair) == REPAIR_FAILED || repair.failed()) {
    return REPAIR_FAILED;
  }
  return walk.fileChanged ? REPAIR_CHANGED : REPAIR_UNCHANGED;
}
