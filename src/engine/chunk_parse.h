// A chunk of a MIDI file judged one byte at a time, from its length field on: whether its bytes
// form a chunk whose length is right and, for a track, whose events parse and end with an end of
// track exactly where the length says. Fed byte by byte, it lets a search try bytes that are not
// in the file (a CR put back) without building the chunk first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>

// What the bytes after the tag are read as.
enum class ChunkKind : uint8_t {
  HEADER,  // "MThd": a length of 6 or more, a body taken as it is
  TRACK,   // "MTrk": events that end with an end of track at the chunk's end
  OTHER,   // any other tag: a body taken as it is
};

// Where a chunk parse is.
enum class ParsePhase : uint8_t {
  LENGTH,
  BODY,  // a header's or another chunk's body
  DELTA_TIME,
  STATUS,
  MESSAGE_DATA,  // data bytes of a channel or system common message
  META_TYPE,
  DATA_LENGTH,  // the quantity that gives the length of system exclusive or meta data
  DATA,
  DONE,  // the chunk is complete and sound
  DEAD,  // the bytes cannot form a sound chunk
};

// The state of one parse, and what it cost. The rules are those a sound chunk must satisfy: the
// extent of every event is known (the statuses and quantities seqmend reads) and the last one is
// an end of track. Within them, the cost counts what a sound file seldom holds and a parse that
// has lost step with the events meets all the time: each byte of a delta time with bit 7 set (a
// status byte read as a time), and each thing seqmend would repair or that the standard does not
// allow (a data byte of 0x80 or more, a system common or real-time message in a track, a meta type
// of 0x80 or more, a system exclusive message that does not end with F7, a fourth quantity byte
// with bit 7 set, an end of track with data or before the end, a header longer than 6 bytes).
// Offsets count the bytes after the tag.
struct ChunkParse {
  uint32_t offset = 0;   // bytes taken
  uint32_t end = 0;      // offset of the chunk's end, once the length is read
  uint32_t value = 0;    // the length or quantity being read
  uint32_t dataEnd = 0;  // offset of the end of the current event's data or the body
  ChunkKind kind = ChunkKind::TRACK;
  ParsePhase phase = ParsePhase::LENGTH;
  uint8_t count = 0;          // bytes of a quantity read, or data bytes still to come
  uint8_t runningStatus = 0;  // 0 before the first channel message
  uint8_t status = 0;         // of the current event
  uint8_t metaType = 0;
  uint32_t cost = 0;

  // Everything but the cost: two parses alike in this take every further byte alike.
  auto state() const {
    return std::tie(offset, end, value, dataEnd, kind, phase, count, runningStatus, status,
                    metaType);
  }
};

// A fresh parse, to be fed the bytes after the tag.
ChunkParse startChunkParse(ChunkKind kind);

// Takes one byte; returns false when the parse is DEAD. A parse that is DONE takes no more.
bool feedChunkByte(ChunkParse& parse, unsigned byte);

// Takes up to count bytes, stopping early once the parse is DONE or DEAD; `taken` is set to the
// bytes it took. Returns false when the parse is DEAD. Event data are passed over in one step.
bool feedChunkBytes(ChunkParse& parse, const uint8_t* bytes, size_t count, size_t& taken);
