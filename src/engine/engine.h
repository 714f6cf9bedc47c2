// The repair engine behind libseqmend: the repair context, its byte streams, the chunk tags and
// the rules its units share. Nothing here prints, exits or lives beyond one repair's context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "seqmend.h"

// ---- Results and limits ----

constexpr int REPAIR_CHANGED = SEQMEND_REPAIRED;  // at least one repair; the output is the fix
constexpr int REPAIR_UNCHANGED = SEQMEND_SOUND;   // the output is an unchanged copy of the data
constexpr int REPAIR_FAILED = SEQMEND_FAILED;     // the input could not be treated; see findings
constexpr long NOT_FOUND = -1;
constexpr int END_OF_INPUT = -1;  // what a byte read returns where the input ends

// Offsets inside a MIDI file are signed 32-bit; larger inputs are refused up front.
constexpr long MAX_INPUT_SIZE = 0x7FFFFFFFL;

// ---- Buffers ----

// Large enough to search and copy at memory speed; every one lives on the heap with the context,
// so that a repair needs little stack (a WebAssembly stack is 64 KiB). A reader's and a writer's
// buffer are larger still: the landmark searches read ahead of the track being copied, and find
// what they read still there when the copy gets to it; and a call to the caller's stream may cost
// a system call.
constexpr size_t STREAM_BLOCK_SIZE = 262144;
constexpr size_t TRACK_BLOCK_SIZE = 65536;
constexpr size_t SEARCH_BLOCK_SIZE = 65536;
constexpr size_t RECOGNIZER_BLOCK_SIZE = 32768;

// The buffers of a context, reused by one repair after another. Aligned to a page: the system
// copies into and out of an aligned buffer markedly faster.
struct alignas(4096) RepairBuffers {
  unsigned char inputBlock[STREAM_BLOCK_SIZE];
  unsigned char outputBlock[STREAM_BLOCK_SIZE];
  unsigned char trackBlock[TRACK_BLOCK_SIZE];
  unsigned char searchBlock[SEARCH_BLOCK_SIZE];       // the walk's landmark searches
  unsigned char sysexSearchBlock[SEARCH_BLOCK_SIZE];  // the recognizer's search for F7
  unsigned char recognizerBlock[RECOGNIZER_BLOCK_SIZE];
};

// ---- The failure that ends a repair ----

// The first stream failure of a repair, sticky like a stream's error indicator: once it is set,
// reads give the end of the input, writes are dropped and no finding is reported, so every phase
// runs out quickly and the repair comes back failed.
struct Failure {
  int stream = SEQMEND_STREAM_NONE;
  int error = 0;

  bool happened() const { return stream != SEQMEND_STREAM_NONE; }
  void set(int failedStream, int errorNumber) {
    if (!happened()) {
      stream = failedStream;
      error = errorNumber;
    }
  }
};

// ---- The input: read at offsets ----

// The input of a repair: a block of memory, or a reader seen through a buffer. Offsets past the
// input's size read as its end; a reader that ends earlier, or fails, is a failure of the input.
class Input {
 public:
  void attachMemory(const unsigned char* data, long size, Failure& failure);
  void attachReader(const seqmend_reader& reader, long size, unsigned char* buffer,
                    Failure& failure);

  long size() const { return size_; }
  long tell() const { return position_; }
  void seek(long offset) { position_ = offset; }
  // Whether the input is all in memory, at bytes().
  const unsigned char* bytes() const { return reader_ == nullptr ? window_ : nullptr; }

  // One byte, or END_OF_INPUT.
  int readByte() {
    if (position_ >= windowStart_ && position_ < windowEnd_) {
      return window_[position_++ - windowStart_];
    }
    return readByteSlowly();
  }

  // Reads up to count bytes; fewer only at the end of the input.
  size_t read(void* to, size_t count);

  // The bytes from the position on that stand together in memory, at most count of them and at
  // least one unless the input ends; moves past them.
  const unsigned char* take(size_t count, size_t& got);

 private:
  int readByteSlowly();
  bool fill(long offset);

  const seqmend_reader* reader_ = nullptr;
  Failure* failure_ = nullptr;
  const unsigned char* window_ = nullptr;  // the bytes from windowStart_ to windowEnd_
  unsigned char* buffer_ = nullptr;
  long windowStart_ = 0;
  long windowEnd_ = 0;
  long position_ = 0;
  long size_ = 0;
  seqmend_reader readerCopy_ = {};
};

// ---- The output: written in order, its fields rewritten in place ----

// The repaired file: grown in memory, or passed to a writer through a buffer. Writes go to the
// position, which only moves back to rewrite a header or length field.
class Output {
 public:
  void attachMemory(std::vector<unsigned char>& bytes, Failure& failure);
  void attachWriter(const seqmend_writer& writer, unsigned char* buffer, Failure& failure);

  long tell() const { return position_; }
  void seek(long offset) { position_ = offset; }
  // Bytes in the file, the ones still buffered included.
  long size() const { return size_; }

  void write(const void* bytes, size_t count) {
    const auto* from = static_cast<const unsigned char*>(bytes);
    if (memory_ != nullptr && size_t(position_) == memory_->size() && !failure_->happened()) {
      memory_->insert(memory_->end(), from, from + count);
    } else if (buffer_ != nullptr && position_ == bufferStart_ + long(buffered_) &&
               count <= STREAM_BLOCK_SIZE - buffered_) {
      std::memcpy(buffer_ + buffered_, from, count);
      buffered_ += count;
    } else {
      writeSlowly(bytes, count);
      return;
    }
    position_ += long(count);
    if (position_ > size_) {
      size_ = position_;
    }
  }
  void writeByte(unsigned char byte) { write(&byte, 1); }

  // Passes what is buffered to the writer.
  void flush();

 private:
  void writeSlowly(const void* bytes, size_t count);
  void pass(long offset, const unsigned char* bytes, size_t count);

  std::vector<unsigned char>* memory_ = nullptr;
  seqmend_writer writer_ = {};
  Failure* failure_ = nullptr;
  unsigned char* buffer_ = nullptr;
  long bufferStart_ = 0;  // output offset of buffer_[0]
  size_t buffered_ = 0;
  long position_ = 0;
  long size_ = 0;
};

// ---- The context of one repair ----

// What a finding says beyond its code; unset values stay as they are here.
struct FindingValues {
  int track = -1;
  int value = -1;
  int byte = -1;
  long offset = -1;
  long count = -1;
  const char* tag = nullptr;
  const char* file = nullptr;
};

// Everything one repair reads, writes and remembers; the units take it by reference.
struct Repair {
  Input in;
  Output out;
  Failure failure;
  RepairBuffers* buffers = nullptr;
  const seqmend_options* options = nullptr;
  std::vector<seqmend_finding>* findings = nullptr;      // kept for a memory repair
  std::vector<std::pair<long, long>>* extras = nullptr;  // offset and size of each extra file
  bool tracksOnly = false;
  bool inputTooLarge = false;  // 2 GiB or more: offsets in a MIDI file are signed 32-bit
  bool normalize = false;      // write the normal form (SEQMEND_NORMALIZE)
  int trackNumber = 0;         // of the track being repaired, from 1
  int midiType = 0;            // the header's format as read; the type rule may set it to 1
  int32_t gmOnTick = -1;       // tick of the pending GM ON message, -1 for none; spans tracks
  int extraCount = 0;          // further MIDI files found behind the data

  long inputSize() const { return in.size(); }
  bool failed() const { return failure.happened(); }

  // Hands a finding to the caller; none once the repair has failed.
  void report(int code, const FindingValues& values = {});
};

// The ending of "byte%s" and "track%s" after a count.
constexpr const char* pluralEnding(long count) { return count == 1 ? "" : "s"; }

// ---- Chunk tags: four bytes compared exactly ----

using ChunkTag = unsigned char[4];
constexpr unsigned char HEADER_TAG[4] = {'M', 'T', 'h', 'd'};
constexpr unsigned char TRACK_TAG[4] = {'M', 'T', 'r', 'k'};
constexpr unsigned char SNIO_TAG[4] = {'S', 'N', 'i', 'o'};
constexpr unsigned char SONG_TAG[4] = {'S', 'O', 'N', 'G'};
constexpr unsigned char STRANGE_HEADER_TAG[4] = {0xF2, 0xF8, 0x08, 0x4E};
// The header tags in the order they are searched for.
constexpr const unsigned char* HEADER_TAGS[4] = {HEADER_TAG, SNIO_TAG, SONG_TAG,
                                                 STRANGE_HEADER_TAG};
constexpr unsigned char XF_INFO_TAG[4] = {'X', 'F', 'I', 'H'};
constexpr unsigned char END_OF_TRACK_BYTES[3] = {0xFF, 0x2F, 0x00};
constexpr unsigned char CR_LF[2] = {0x0D, 0x0A};

// ---- Byte stream primitives ----

// Reads up to count bytes; fewer only at the end of the input.
inline size_t readInput(void* bytes, size_t count, Input& in) { return in.read(bytes, count); }

// One byte, or END_OF_INPUT at the end of the input.
inline int readInputByte(Input& in) { return in.readByte(); }

inline void seekInput(Input& in, long offset) { in.seek(offset); }

// Copies exactly `count` bytes from in to out; nothing for count <= 0. An input that ends first
// is a failure of the input: the repair was measured on bytes that are no longer there.
void copyBytes(long count, Input& in, Output& out, Failure& failure);

// Writes value as 4 bytes, most significant first.
void writeUInt32BE(uint32_t value, Output& out);

// Reads 2 bytes, most significant first; 0 if fewer than 2 could be read (position after them).
int readUInt16BE(Input& in);

// The 4 bytes at `bytes`, most significant first.
constexpr uint32_t readUInt32BE(const unsigned char* bytes) {
  return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
         uint32_t(bytes[3]);
}

// ---- Landmark search: forward searches for the tags and the end of track ----

// Remembers one pattern's last search, so that a walk that only moves forward reads each byte
// of the input a bounded number of times: a search from `from` found `hit` (or nothing ahead).
struct PatternMemo {
  long from = NOT_FOUND;
  long hit = NOT_FOUND;
  // The occurrences right after hit, in order and with none between them, as far as the search
  // that found hit saw them close behind it: a walk over small chunks that has passed hit takes
  // the next of them without a search.
  long following[7] = {};
  int followingCount = 0;
  int followingTaken = 0;

  // Whether a search from position has the remembered answer.
  bool answers(long position) const {
    return from != NOT_FOUND && from <= position && (hit == NOT_FOUND || position <= hit);
  }

  // Sets the answer of a search from position; the occurrences known to follow the old one no
  // longer count when it changes.
  void remember(long position, long found) {
    if (found != hit) {
      followingCount = 0;
      followingTaken = 0;
    }
    from = position;
    hit = found;
  }

  // Takes the first of the following occurrences at or after position, which is past hit; false
  // when none is known.
  bool takeFollowing(long position) {
    while (followingTaken < followingCount && following[followingTaken] < position) {
      ++followingTaken;
    }
    if (followingTaken == followingCount) {
      return false;
    }
    from = position;
    hit = following[followingTaken++];
    return true;
  }
};

// The bytes of the input that the last search read, kept for the searches after it: a walk over
// many small chunks then finds their landmarks in memory, where every read and every seek back of
// the stream would cost a system call per chunk.
struct SearchBlock {
  long start = 0;                  // input offset of bytes[0]
  size_t filled = 0;               // bytes held
  bool reachesEnd = false;         // the input ends at start + filled
  unsigned char* bytes = nullptr;  // SEARCH_BLOCK_SIZE bytes of the context's
};

// Absolute offset of the first occurrence of pattern at or after the current position, or
// NOT_FOUND, searched in buffer (SEARCH_BLOCK_SIZE bytes). The position is the same on return.
// Lengths below 1 never match.
long findPattern(Input& in, const unsigned char* pattern, int length, unsigned char* buffer);

// findPattern from offset `from` with a memo: a search from a position at or after the
// remembered start and not past the remembered hit gives the same hit without reading. The bytes
// read are kept in block, which must only ever serve this input. The stream's position plays no
// part; a search that reads leaves it at `from`.
long findPatternMemo(Input& in, long from, const unsigned char* pattern, int length,
                     PatternMemo& memo, SearchBlock& block);

// The landmark searches of one repair call: every search only moves forward.
struct SearchMemos {
  PatternMemo headerTags[4];  // "MThd", "SNio", "SONG", STRANGE_HEADER_TAG, in the order tried
  PatternMemo endOfTrack;
  PatternMemo track;
  long lengthChecked = NOT_FOUND;  // the last header found ahead whose length field was read
  bool lengthIsSix = false;        // and whether it holds 6
  SearchBlock block;
};

// Brings the memos of the four header tags, "MTrk" and, when withEndOfTrack, FF 2F 00 up to date
// in one pass, so that each `hit` is the pattern's next occurrence from position on, the stream's
// position (which the walk knows without asking the stream). Returns findHeaderStart's answer,
// which then needs no further search. The position is the same on return.
long updateLandmarkMemos(Input& in, long position, SearchMemos& memos, bool withEndOfTrack);

// Offset of the next acceptable header at or after the current position, or NOT_FOUND. The tags
// are tried in a fixed order, each over the whole rest of the input, so a "MThd" far ahead wins
// over a "SONG" close by; a tag found anywhere but at offset 0 must be followed by a length field
// of exactly 6. The position is restored.
long findHeaderStart(Input& in, SearchMemos& memos);

// ---- Header detection and repair ----

// Inline: the walk asks for every chunk, and a comparison of four bytes is one instruction.
inline bool tagEquals(const unsigned char* expected, const unsigned char* tag) {
  return readUInt32BE(expected) == readUInt32BE(tag);
}
inline bool isHeaderTag(const unsigned char* tag) {
  for (const unsigned char* headerTag : HEADER_TAGS) {
    if (tagEquals(headerTag, tag)) {
      return true;
    }
  }
  return false;
}
inline bool isTrackTag(const unsigned char* tag) { return tagEquals(TRACK_TAG, tag); }

// The working state of one call of repairMidiFile, shared by the chunk walk and the trailing data.
struct ChunkWalk {
  bool fileChanged = false;
  int32_t headerStart = -1;
  int headerTrackCount = 0;
  ChunkTag tag = {};
  int32_t chunkStart = -1;
  int32_t storedLength = 0;   // the current chunk's length field as read
  int32_t settledLength = 0;  // its length as the landmarks settle it, written in its head
  int chunkNumber = -1;       // 0 for the header chunk, 1, 2, ... for the tracks
  bool tagOk = false;         // the current chunk has a header or track tag
  bool lastChunk = false;     // the walk ends after the current chunk
  int32_t nextHeader = -1;
  int32_t nextTrack = -1;
  int32_t endOfTrackEnd = -1;  // just past the next FF 2F 00
  int32_t chunkEnd = -1;       // where the current chunk settles to end
  long outChunkStart = 0;
  long outPosition = 0;  // the output's offset, as the walk's own writes moved it
  int extraCount = 0;
  SearchMemos search;
};

// Checks the MIDI data of repair.in and writes the repaired file to repair.out (empty).
// Returns REPAIR_CHANGED, REPAIR_UNCHANGED or REPAIR_FAILED; reports its findings and hands the
// extra files to the caller.
int repairMidiFile(Repair& repair);

// Rewrites the foreign header tags to "MThd", announcing each; a no-op for other tags.
void rewriteForeignTag(ChunkWalk& walk, Repair& repair);

// Reads the 6 header fields at in, writes them repaired to out, then copies the surplus bytes
// of a header longer than 6.
void repairHeaderBody(ChunkWalk& walk, Repair& repair, int32_t length);

// Rewrite fields of the header already written; the position of out is kept.
void updateMidiType(Repair& repair);
void updateTrackCount(Repair& repair, int count);

// ---- Chunk walk and trailing data (phases of repairMidiFile) ----

// Walks the chunks from the header's length field on. REPAIR_FAILED ends the call.
int walkChunks(ChunkWalk& walk, Repair& repair);

// The count rule and the type rule after the walk.
void applyCountAndTypeRules(ChunkWalk& walk, Repair& repair);

// Drops and reports what lies behind the MIDI data; hands every further MIDI file found there to
// the caller as "extra%d.mid". REPAIR_FAILED when the caller refuses one.
int handleTrailingData(ChunkWalk& walk, Repair& repair);

// ---- Event encoding: the rules that every reader of track events shares ----

// A variable-length quantity: 1 to 4 bytes, 7 bits each, most significant group first.
constexpr int VAR_LEN_MAX_BYTES = 4;

// Adds `byte`, the index-th byte of a quantity (from 0), to value; true when another byte
// follows. The fourth byte ends a quantity even with bit 7 set.
constexpr bool addVarLenByte(uint32_t& value, unsigned byte, int index) {
  value = (value << 7) + (byte & 0x7Fu);
  return byte >= 0x80 && index + 1 < VAR_LEN_MAX_BYTES;
}

// Decodes the quantity at p, moving p past it; false when it does not end before `end`.
inline bool decodeVarLen(const unsigned char*& p, const unsigned char* end, uint32_t& value) {
  value = 0;
  for (int i = 0;; ++i) {
    if (p == end) {
      return false;
    }
    if (!addVarLenByte(value, *p++, i)) {
      return true;
    }
  }
}

// What the track repair does with a data byte of a channel message that has bit 7 set.
enum class ValueRule : uint8_t {
  KEPT,      // passed on as it is: key pressure, pitch bend, a controller number
  REFUSED,   // the event is removed and the track ends there: the notes
  REPLACED,  // set to the rule's replacement, the event kept
};

struct ChannelRule {
  int dataBytes;
  ValueRule values[2];
  unsigned char replacements[2];
};

// By the high four bits of the status, from 8 (note off) to E (pitch bend).
constexpr ChannelRule CHANNEL_RULES[7] = {
    {2, {ValueRule::REFUSED, ValueRule::REFUSED}, {}},       // note off
    {2, {ValueRule::REFUSED, ValueRule::REFUSED}, {}},       // note on
    {2, {ValueRule::KEPT, ValueRule::KEPT}, {}},             // polyphonic key pressure
    {2, {ValueRule::KEPT, ValueRule::REPLACED}, {0, 0x7F}},  // control change: the value
    {1, {ValueRule::REPLACED, ValueRule::KEPT}, {0x00, 0}},  // program change
    {1, {ValueRule::REPLACED, ValueRule::KEPT}, {0x7F, 0}},  // channel pressure
    {2, {ValueRule::KEPT, ValueRule::KEPT}, {}},             // pitch bend
};

constexpr const ChannelRule& channelRule(int status) { return CHANNEL_RULES[(status >> 4) - 8]; }

// The data bytes of a channel status, worked out rather than looked up: on a run of events the
// place of the next event waits for it.
constexpr int channelDataBytes(int status) { return 2 - int((status & 0xE0) == 0xC0); }

constexpr bool channelDataBytesFollowTheRules() {
  for (int status = 0x80; status < 0xF0; ++status) {
    if (channelDataBytes(status) != channelRule(status).dataBytes) {
      return false;
    }
  }
  return true;
}
static_assert(channelDataBytesFollowTheRules());

// What an event with a status from F0 on is, in a track and in untagged track data.
enum class SystemEvent : uint8_t {
  SYSEX,    // a length quantity and data
  META,     // a type byte, a length quantity and data
  MESSAGE,  // `dataBytes` data bytes
  REFUSED,  // no event: the track ends there, or the candidate is refused
};

struct SystemRule {
  SystemEvent inTrack;
  SystemEvent inUntaggedData;
  int dataBytes;
};

// By the low four bits of the status. Untagged data takes F7 as a system exclusive start, as
// a sequencer may have written it, but never a song position pointer.
constexpr SystemRule SYSTEM_RULES[16] = {
    {SystemEvent::SYSEX, SystemEvent::SYSEX, 0},      // F0 system exclusive
    {SystemEvent::REFUSED, SystemEvent::REFUSED, 0},  // F1
    {SystemEvent::MESSAGE, SystemEvent::REFUSED, 2},  // F2 song position pointer
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 1},  // F3 song select
    {SystemEvent::REFUSED, SystemEvent::REFUSED, 0},  // F4
    {SystemEvent::REFUSED, SystemEvent::REFUSED, 0},  // F5
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // F6 tune request
    {SystemEvent::REFUSED, SystemEvent::SYSEX, 0},    // F7
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // F8 timing clock
    {SystemEvent::REFUSED, SystemEvent::REFUSED, 0},  // F9
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // FA start
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // FB continue
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // FC stop
    {SystemEvent::REFUSED, SystemEvent::REFUSED, 0},  // FD
    {SystemEvent::MESSAGE, SystemEvent::MESSAGE, 0},  // FE active sensing
    {SystemEvent::META, SystemEvent::META, 0},        // FF meta event
};

constexpr const SystemRule& systemRule(int status) { return SYSTEM_RULES[status & 0x0F]; }

// ---- Track event stream repair ----

// Events whose bytes would exceed this are streamed: passed on as they stand, unchecked.
constexpr int EVENT_BUFFER_SIZE = 1024;

// The working state of one call of repairTrackEvents, that is of one track, shared with the
// system exclusive and meta handlers. Places in the block are indexes.
struct TrackScan {
  Repair* repair = nullptr;
  // The block in which the track's bytes are read and checked (TRACK_BLOCK_SIZE bytes). Events
  // that pass unchanged are written from it in runs; a repaired value is set in place.
  unsigned char* block = nullptr;
  long blockStart = 0;          // input offset of block[0]
  long trackEnd = 0;            // input offset just past the track's bytes
  size_t filled = 0;            // bytes read into the block
  size_t next = 0;              // the next byte to read
  long eventOffset = 0;         // input offset of the current event's first byte
  size_t eventStart = 0;        // its place in the block, while it is there
  size_t dataStart = 0;         // just after its status byte
  size_t unwritten = 0;         // the first kept byte not written yet; kept bytes end at eventStart
  bool inputEnded = false;      // the input ended before the track's bytes
  bool writeFailed = false;     // the output failed; the track is abandoned
  int32_t runningStatus = -1;   // last channel status; -1 before the first
  int32_t tick = 0;             // sum of the delta times read, removed events' included
  bool endOfTrackSeen = false;  // the last event that got as far as its status was FF 2F
  int32_t trackChannel = -1;    // channel of the track's first channel message (format 1)
  bool channelWarningGiven = false;
  bool changed = false;  // a kept event was altered or an incomplete sysex removed
  long written = 0;      // bytes written to out
  // The current event as the normal form rewrites it.
  uint32_t eventDelta = 0;     // its delta time
  size_t statusAt = 0;         // bytes of its delta time: its status stands that far in
  bool statusRunning = false;  // the byte there is a data byte under running status
  // The normal form's own state across events.
  int32_t outputStatus = -1;  // running status of the output; -1 after any other event
  uint32_t carriedDelta = 0;  // delta times of events left out, owed to the next one written
  long statusesWritten = 0;   // events whose running status became a written one

  long position() const { return blockStart + long(next); }
  // Input bytes of the track not read yet.
  int32_t remaining() const { return int32_t(trackEnd - position()); }
  // Bytes of the current event read so far.
  int32_t bufferFill() const { return int32_t(position() - eventOffset); }
};

// Repairs the events of one track of `length` input bytes while copying them from the input,
// which stands at offset start, to the output. REPAIR_CHANGED, REPAIR_UNCHANGED, or
// REPAIR_FAILED after a failed stream. In tracks-only mode the bytes are copied unchanged. Sets
// written to the bytes written for the track. Leaves the input just past the track's bytes.
int repairTrackEvents(Repair& repair, long start, int32_t length, long& written);

// Makes `count` bytes from the next one readable in the block, reading on as far as the track
// and the input go; false when they end first.
bool fillTrackBlock(TrackScan& scan, size_t count);

// Takes `count` bytes into the current event. False, after "removing incomplete midi command",
// when the track or the input ends first; the bytes read so far stay the event's.
bool readEventBytes(TrackScan& scan, int count);

// Takes a variable-length quantity into the current event, failing as readEventBytes does.
bool readEventVarLen(TrackScan& scan, uint32_t& value);

// Writes the kept bytes up to the current event; false after a failed write.
bool writeKeptBytes(TrackScan& scan);

// ---- System exclusive and meta events ----

// How a handler leaves an event to the track loop.
enum class EventOutcome {
  KEPT,       // the event stays in the block, to be passed on with the kept bytes
  DONE,       // streamed to the output or removed; nothing of it is left to write
  END_TRACK,  // the track ends before this event
};

// Both handlers start with the next byte just after the status (F0, or FF).
// handleSysex: a complete event (its last data byte, as its length says, is F7) is KEPT with
// the data bytes repaired, or DONE when streamed; an incomplete one is removed (DONE) up to its
// first F7, or ends the track when the length cannot be read or nothing follows the removal.
EventOutcome handleSysex(TrackScan& scan);
// handleMeta: KEPT, or DONE when streamed; END_TRACK when the event runs past the track or the
// input. Notes an end of track (type 2F, whatever its length).
EventOutcome handleMeta(TrackScan& scan);

// Whether an event with this status at tick comes 0 to 12 ticks after a pending GM ON message.
bool isTooSoonAfterGmOn(const Repair& repair, int status, int32_t tick);

// Warns when an event comes 0 to 12 ticks after a pending GM ON message.
void checkGmOnPause(Repair& repair, int status, int32_t tick);

// Reads past the data of an incomplete system exclusive event: at most `count` bytes, up to and
// including the first F7. False at the end of the input, and also at an F7 that is the last byte
// allowed: the removal then leaves nothing of the track to go on with, so the track ends.
bool skipSysexData(TrackScan& scan, int32_t count, int32_t& skipped);

// ---- The normal form ----

// Brings the event just read (its bytes from eventStart to next, or already streamed or removed
// when those are equal) into the normal form: leaves it out, its delta time carried to the next
// event, or writes it with its status and the delta times owed to it. False after a failed write.
bool normalizeEvent(TrackScan& scan, int status);

// Writes the delta time of the current event with what is owed to it, then its status byte when
// withStatus; the event's bytes from statusAt on are still to be written. False after a failed
// write. Returns the bytes written in written.
bool writeEventHead(TrackScan& scan, bool withStatus, int status, long& written);

// The end of track that the normal form appends, carrying what is owed: false after a failed
// write.
bool writeNormalEndOfTrack(TrackScan& scan);

// ---- Track data recognizer ----

// The first offset at or after start from which well-formed track events run over at least 100
// bytes, searching the `available` bytes from start; NOT_FOUND if none. Only reads; the position
// is left wherever the search stopped.
int32_t recognizeTrackData(Repair& repair, int32_t start, int32_t available);

// ---- eolmend ----

// Undoes the damage of a text-mode transfer in the input, held whole at `file`. See
// seqmend_restore_memory.
int restoreLineEnds(Repair& repair, const unsigned char* file, size_t size);
