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

// Sets a 16-bit field of the header already written; the position of out is kept.
void patchHeaderField(long offset, int value, FILE* out) {
  const long position = std::ftell(out);
  std::fseek(out, offset, SEEK_SET);
  writeUInt16BE(value, out);
  std::fseek(out, position, SEEK_SET);
}

}  // namespace

bool tagEquals(const unsigned char* expected, const unsigned char* tag) {
  return std::memcmp(expected, tag, 4) == 0;
}

bool isHeaderTag(const unsigned char* tag) {
  for (const unsigned char* headerTag : HEADER_TAGS) {
    if (tagEquals(headerTag, tag)) {
      return true;
    }
  }
  return false;
}

bool isTrackTag(const unsigned char* tag) { return tagEquals(TRACK_TAG, tag); }

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

void updateMidiType(const char* name, FILE* out) {
  patchHeaderField(8, 1, out);
  std::printf("%s: midi type updated: %d\n", name, 1);
}

void updateTrackCount(const char* name, int count, FILE* out) {
  patchHeaderField(10, count & 0xFFFF, out);
  std::printf("%s: number of tracks updated: %d\n", name, count);
}

int repairMidiFile(const char* name, FILE* out, FILE* in) {
  ChunkWalk walk;
  g_gmOnTick = -1;  // a GM ON message of an earlier call has no bearing on this file
  // A seek gives a stream a known offset; without one every ftell asks the system.
  std::fseek(out, 0, SEEK_CUR);
  std::fseek(in, 0, SEEK_END);
  g_inputSize = std::ftell(in);
  std::fseek(in, 0, SEEK_SET);
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
  std::fseek(in, walk.headerStart, SEEK_SET);
  if (readBlock(walk.tag, 4, in) != 4 || !isHeaderTag(walk.tag)) {
    std::printf("%s: not a midifile (missing %s)\n", name, "MThd");
    return REPAIR_FAILED;
  }
  std::fseek(in, walk.headerStart + 8, SEEK_SET);
  g_midiType = readUInt16BE(in);
  walk.headerTrackCount = readUInt16BE(in);
  std::clearerr(in);
  std::fseek(in, walk.headerStart + 4, SEEK_SET);
  walk.chunkStart = walk.headerStart;

  if (walkChunks(walk, name, out, in) == REPAIR_FAILED) {
    return REPAIR_FAILED;
  }
  applyCountAndTypeRules(walk, name, out);
  if (handleTrailingData(walk, name, out, in) == REPAIR_FAILED) {
    return REPAIR_FAILED;
  }
  return walk.fileChanged ? REPAIR_CHANGED : REPAIR_UNCHANGED;
}
