// The engine's entry: where the MIDI data begins, the header chunk's tags and body, and the later
// rewrites of header fields already written.
#include <cstring>

#include "engine.h"

long g_inputSize = 0;
int g_midiType = 0;

namespace {

void writeUInt16BE(int value, FILE* out) {
  const unsigned char bytes[2] = {uint8_t(value >> 8), uint8_t(value)};
  if (writeBlock(bytes, 2, out) != 2) {
    failStream(g_inputName);
  }
}

// Sets a 16-bit field of the header already written; the position of out is kept. False after
// a failed seek.
bool patchHeaderField(long offset, int value, FILE* out) {
  const long position = std::ftell(out);
  if (!seekOutput(out, offset)) {
    return false;
  }
  writeUInt16BE(value, out);
  return seekOutput(out, position);
}

}  // namespace

void rewriteForeignTag(ChunkWalk& walk, const char* name) {
  if (tagEquals(SNIO_TAG, walk.tag)) {
    std::printf("%s: SNio changed to MThd\n", name);
  } else if (tagEquals(SONG_TAG, walk.tag)) {
    std::printf("%s: SONG changed to MThd\n", name);
  } else if (tagEquals(STRANGE_HEADER_TAG, walk.tag)) {
    std::printf("%s: strange midi header changed to MThd\n", name);
  } else {
    return;
  }
  std::memcpy(walk.tag, HEADER_TAG, 4);
  walk.fileChanged = true;
}

void repairHeaderBody(ChunkWalk& walk, const char* name, FILE* out, FILE* in, int32_t length) {
  int format = readUInt16BE(in);
  if (format >= 3) {
    std::printf("%s: invalid version %u changed to 1\n", name, unsigned(format));
    format = 1;
    walk.fileChanged = true;
  }
  writeUInt16BE(format, out);
  writeUInt16BE(readUInt16BE(in), out);
  int division = readUInt16BE(in);
  if (division == 0) {
    std::printf("%s: invalid resolution %u changed to 96\n", name, unsigned(division));
    division = 96;
    walk.fileChanged = true;
  }
  writeUInt16BE(division, out);
  if (length > 6) {
    copyBytes(length - 6, in, out);
  }
}

bool updateMidiType(const char* name, FILE* out) {
  if (!patchHeaderField(8, 1, out)) {
    return false;
  }
  std::printf("%s: midi type updated: %d\n", name, 1);
  return true;
}

bool updateTrackCount(const char* name, int count, FILE* out) {
  if (!patchHeaderField(10, count & 0xFFFF, out)) {
    return false;
  }
  std::printf("%s: number of tracks updated: %d\n", name, count);
  return true;
}

int repairMidiFile(const char* name, FILE* out, FILE* in) {
  ChunkWalk walk;
  g_gmOnTick = -1;  // a GM ON message of an earlier call has no bearing on this file
  // A seek gives a stream a known offset; without one every ftell asks the system.
  if (std::fseek(out, 0, SEEK_CUR) != 0 || std::fseek(in, 0, SEEK_END) != 0 ||
      (g_inputSize = std::ftell(in)) < 0) {
    failStream(g_inputName);
  }
  seekInput(in, 0);
  if (g_inputSize > MAX_INPUT_SIZE) {
    std::printf("%s: file too large\n", name);
    return REPAIR_FAILED;
  }

  walk.headerStart = int32_t(findHeaderStart(in, walk.search));
  if (walk.headerStart == NOT_FOUND) {
    std::printf("%s: No midi data found.\n", name);
    return REPAIR_FAILED;
  }
  if (walk.headerStart > 0) {
    walk.fileChanged = true;  // what stands before the header is dropped without a word
  }
  seekInput(in, walk.headerStart);
  if (readInput(walk.tag, 4, in) != 4 || !isHeaderTag(walk.tag)) {
    std::printf("%s: not a midifile (missing %s)\n", name, "MThd");
    return REPAIR_FAILED;
  }
  seekInput(in, walk.headerStart + 8);
  g_midiType = readUInt16BE(in);
  walk.headerTrackCount = readUInt16BE(in);
  std::clearerr(in);
  seekInput(in, walk.headerStart + 4);
  walk.chunkStart = walk.headerStart;

  if (walkChunks(walk, name, out, in) == REPAIR_FAILED) {
    return REPAIR_FAILED;
  }
  if (applyCountAndTypeRules(walk, name, out) == REPAIR_FAILED ||
      handleTrailingData(walk, name, out, in) == REPAIR_FAILED) {
    return REPAIR_FAILED;
  }
  return walk.fileChanged ? REPAIR_CHANGED : REPAIR_UNCHANGED;
}
