// The chunk parse: the length field, then a body taken as it is or a track's events.
#include "chunk_parse.h"

#include <algorithm>

#include "engine.h"

namespace {

// A chunk longer than this cannot lie in an input below 2 GiB.
constexpr uint32_t LONGEST_CHUNK = 0x7FFFFFF0;
constexpr uint8_t END_OF_TRACK_TYPE = 0x2F;

bool die(ChunkParse& parse) {
  parse.phase = ParsePhase::DEAD;
  return false;
}

// Counts one thing a sound file seldom holds.
void charge(ChunkParse& parse, bool unusual) { parse.cost += unusual ? 1 : 0; }

bool isEndOfTrack(const ChunkParse& parse) {
  return parse.status == 0xFF && parse.metaType == END_OF_TRACK_TYPE;
}

// An event is complete: at the chunk's end it must be an end of track; before it, the next event
// follows.
bool finishEvent(ChunkParse& parse, bool endOfTrack) {
  parse.status = 0;
  parse.metaType = 0;
  parse.count = 0;
  parse.value = 0;
  parse.dataEnd = 0;
  if (parse.offset == parse.end) {
    parse.phase = endOfTrack ? ParsePhase::DONE : ParsePhase::DEAD;
  } else {
    charge(parse, endOfTrack);
    parse.phase = ParsePhase::DELTA_TIME;
  }
  return parse.phase != ParsePhase::DEAD;
}

bool takeLengthByte(ChunkParse& parse, unsigned byte) {
  parse.value = parse.value << 8 | byte;
  if (++parse.offset < 4) {
    return true;
  }
  const uint32_t length = parse.value;
  parse.value = 0;
  if (length > LONGEST_CHUNK || (parse.kind == ChunkKind::HEADER && length < 6)) {
    return die(parse);
  }
  charge(parse, parse.kind == ChunkKind::HEADER && length > 6);
  parse.end = 4 + length;
  if (parse.kind == ChunkKind::TRACK) {
    // An empty track lacks its end of track.
    parse.phase = length == 0 ? ParsePhase::DEAD : ParsePhase::DELTA_TIME;
  } else {
    parse.phase = length == 0 ? ParsePhase::DONE : ParsePhase::BODY;
    parse.dataEnd = parse.end;
  }
  return parse.phase != ParsePhase::DEAD;
}

bool takeStatus(ChunkParse& parse, unsigned byte) {
  if (byte < 0x80) {
    // Running status: the byte is the first data byte of a message like the last channel one.
    if (parse.runningStatus == 0) {
      return die(parse);
    }
    parse.status = parse.runningStatus;
    parse.count = uint8_t(channelDataBytes(parse.status) - 1);
    if (parse.count == 0) {
      return finishEvent(parse, false);
    }
    parse.phase = ParsePhase::MESSAGE_DATA;
    return true;
  }
  parse.status = uint8_t(byte);
  if (byte < 0xF0) {
    parse.runningStatus = uint8_t(byte);
    parse.count = uint8_t(channelDataBytes(int(byte)));
    parse.phase = ParsePhase::MESSAGE_DATA;
    return true;
  }
  const SystemRule& rule = systemRule(int(byte));
  switch (rule.inTrack) {
    case SystemEvent::SYSEX:
      parse.phase = ParsePhase::DATA_LENGTH;
      return true;
    case SystemEvent::META:
      parse.phase = ParsePhase::META_TYPE;
      return true;
    case SystemEvent::MESSAGE:
      // A system common or real-time message, which seqmend lets pass in a track.
      charge(parse, true);
      parse.count = uint8_t(rule.dataBytes);
      parse.phase = ParsePhase::MESSAGE_DATA;
      return parse.count > 0 || finishEvent(parse, false);
    case SystemEvent::REFUSED:
      break;
  }
  return die(parse);
}

bool takeDataLengthByte(ChunkParse& parse, unsigned byte) {
  if (addVarLenByte(parse.value, byte, parse.count++)) {
    return true;
  }
  charge(parse, byte >= 0x80);
  const uint32_t length = parse.value;
  if (length > parse.end - parse.offset) {
    return die(parse);  // the data would run past the chunk
  }
  charge(parse, parse.status == 0xF0 ? length == 0 : isEndOfTrack(parse) && length != 0);
  if (length == 0) {
    return finishEvent(parse, isEndOfTrack(parse));
  }
  parse.dataEnd = parse.offset + length;
  parse.phase = ParsePhase::DATA;
  return true;
}

bool takeDataByte(ChunkParse& parse, unsigned byte) {
  const bool last = parse.offset == parse.dataEnd;
  if (parse.status == 0xF0) {
    charge(parse, last ? byte != 0xF7 : byte >= 0x80);
  }
  return !last || finishEvent(parse, isEndOfTrack(parse));
}

}  // namespace

ChunkParse startChunkParse(ChunkKind kind) {
  ChunkParse parse;
  parse.kind = kind;
  return parse;
}

bool feedChunkByte(ChunkParse& parse, unsigned byte) {
  switch (parse.phase) {
    case ParsePhase::DONE:
    case ParsePhase::DEAD:
      return die(parse);
    case ParsePhase::LENGTH:
      return takeLengthByte(parse, byte);
    default:
      break;
  }
  if (parse.offset >= parse.end) {
    return die(parse);  // the chunk ends inside an event
  }
  ++parse.offset;
  switch (parse.phase) {
    case ParsePhase::BODY:
      if (parse.offset == parse.end) {
        parse.phase = ParsePhase::DONE;
      }
      return true;
    case ParsePhase::DELTA_TIME: {
      // The value of a delta time is of no account here.
      uint32_t ticks = 0;
      charge(parse, byte >= 0x80);
      if (!addVarLenByte(ticks, byte, parse.count++)) {
        parse.count = 0;
        parse.phase = ParsePhase::STATUS;
      }
      return true;
    }
    case ParsePhase::STATUS:
      return takeStatus(parse, byte);
    case ParsePhase::MESSAGE_DATA:
      charge(parse, byte >= 0x80);
      return --parse.count > 0 || finishEvent(parse, false);
    case ParsePhase::META_TYPE:
      charge(parse, byte >= 0x80);
      parse.metaType = uint8_t(byte);
      parse.phase = ParsePhase::DATA_LENGTH;
      return true;
    case ParsePhase::DATA_LENGTH:
      return takeDataLengthByte(parse, byte);
    case ParsePhase::DATA:
      return takeDataByte(parse, byte);
    default:
      return die(parse);
  }
}

bool feedChunkBytes(ChunkParse& parse, const uint8_t* bytes, size_t count, size_t& taken) {
  size_t i = 0;
  while (i < count && parse.phase != ParsePhase::DONE && parse.phase != ParsePhase::DEAD) {
    // Data and bodies are passed over up to their last byte, which ends the event.
    if ((parse.phase == ParsePhase::DATA || parse.phase == ParsePhase::BODY) &&
        parse.dataEnd - parse.offset > 1) {
      const size_t skip = std::min(count - i, size_t(parse.dataEnd - parse.offset - 1));
      if (parse.phase == ParsePhase::DATA && parse.status == 0xF0) {
        parse.cost += uint32_t(
            std::count_if(bytes + i, bytes + i + skip, [](uint8_t b) { return b >= 0x80; }));
      }
      parse.offset += uint32_t(skip);
      i += skip;
      continue;
    }
    feedChunkByte(parse, bytes[i++]);
  }
  taken = i;
  return parse.phase != ParsePhase::DEAD;
}
