// The repair engine of seqmend: its entry point, the chunk tags and the values its units share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Stream calls without the per-call lock: each stream is used from one thread only ----

#ifdef _WIN32
inline int readByte(FILE* in) { return _getc_nolock(in); }
inline int writeByte(int byte, FILE* out) { return _putc_nolock(byte, out); }
// The system's msvcrt.dll has no unlocked block calls; one lock per block costs nothing.
inline size_t readBlock(void* bytes, size_t count, FILE* in) {
  return std::fread(bytes, 1, count, in);
}
inline size_t writeBlock(const void* bytes, size_t count, FILE* out) {
  return std::fwrite(bytes, 1, count, out);
}
#else
inline int readByte(FILE* in) { return getc_unlocked(in); }
inline int writeByte(int byte, FILE* out) { return putc_unlocked(byte, out); }
inline size_t readBlock(void* bytes, size_t count, FILE* in) {
  return fread_unlocked(bytes, 1, count, in);
}
inline size_t writeBlock(const void* bytes, size_t count, FILE* out) {
  return fwrite_unlocked(bytes, 1, count, out);
}
#endif

// ---- Results and limits ----

constexpr int REPAIR_CHANGED = 1;    // at least one repair; the output is the fixed file
constexpr int REPAIR_UNCHANGED = 0;  // the output is an unchanged copy of the MIDI data
constexpr int REPAIR_FAILED = -1;    // the input could not be treated; the reason is printed
constexpr long NOT_FOUND = -1;

// Offsets inside a MIDI file are signed 32-bit; larger inputs are refused up front.
constexpr long MAX_INPUT_SIZE = 0x7FFFFFFFL;

// ---- Chunk tags: four bytes compared exactly ----

using ChunkTag = unsigned char[4];
constexpr unsigned char HEADER_TAG[4] = {'M', 'T', 'h', 'd'};
constexpr unsigned char TRACK_TAG[4] = {'M', 'T', 'r', 'k'};
constexpr unsigned char SNIO_TAG[4] = {'S', 'N', 'i', 'o'};
constexpr unsigned char SONG_TAG[4] = {'S', 'O', 'N', 'G'};
constexpr unsigned char STRANGE_HEADER_TAG[4] = {0xF2, 0xF8, 0x08, 0x4E};
constexpr unsigned char XF_INFO_TAG[4] = {'X', 'F', 'I', 'H'};
constexpr unsigned char END_OF_TRACK_BYTES[3] = {0xFF, 0x2F, 0x00};
constexpr unsigned char CR_LF[2] = {0x0D, 0x0A};

// ---- Process-wide values ----

// Run settings: set only while the command line is read, then only read.
extern const char* g_inputName;   // as typed; prefix of every message, name in most error reports
extern const char* g_outputName;  // the output name, or "seqmend.mid"
extern int g_tracksOnly;          // copy each track's events unchanged
extern int g_quiet;               // suppress the "is ok" verdict

extern long g_inputSize;  // size of the input in bytes, measured by the opening
extern int g_midiType;    // the header's format as read; the type rule may set it to 1

// ---- Fatal stream errors ----

// The one place that ends the process: the system error report for `name` (or `name: text` when
// text is given), then exit status 1. The fuzzer links a stand-in that throws instead.
[[noreturn]] void failStream(const char* name, const char* text = nullptr);

// ---- Byte stream primitives ----

// Copies exactly `count` bytes from in to out; nothing for count <= 0. A short read ends the
// process with the report for g_inputName ("unexpected end of file" at a plain end). A failed
// write is left in out's error indicator, which the owner of out checks before it trusts the file.
void copyBytes(long count, FILE* in, FILE* out);

// Writes value as 4 bytes, most significant first; a short write ends the process (reported
// under g_inputName, as for every header and length field).
void writeUInt32BE(uint32_t value, FILE* out);

// Reads 2 bytes, most significant first; 0 if fewer than 2 could be read (position after them).
int readUInt16BE(FILE* in);

// Absolute offset of the first occurrence of pattern at or after the current position, or
// NOT_FOUND. The position is the same on return. Lengths below 1 never match.
long findPattern(FILE* in, const unsigned char* pattern, int length);

// Remembers one pattern's last search, so that a walk that only moves forward reads each byte
// of the input a bounded number of times: a search from `from` found `hit` (or nothing ahead).
struct PatternMemo {
  long from = NOT_FOUND;
  long hit = NOT_FOUND;
};

// findPattern with a memo: a search from a position at or after the remembered start and not
// past the remembered hit gives the same hit without reading.
long findPatternMemo(FILE* in, const unsigned char* pattern, int length, PatternMemo& memo);

// One pattern of a combined search and the memo that keeps its answer.
struct PatternQuery {
  const unsigned char* pattern;
  int length;
  PatternMemo* memo;
};

// Brings every query's memo up to date for the current position, as findPatternMemo would, but
// in a single pass over the input that ends once every pattern has its answer. The position is
// the same on return.
void updatePatternMemos(FILE* in, const PatternQuery* queries, int count);

// ---- Header detection and repair ----

bool tagEquals(const unsigned char* expected, const unsigned char* tag);
bool isHeaderTag(const unsigned char* tag);
bool isTrackTag(const unsigned char* tag);

// The landmark searches of one repair call; every search only moves forward.
struct SearchMemos {
  PatternMemo headerTags[4];  // "MThd", "SNio", "SONG", STRANGE_HEADER_TAG
  PatternMemo endOfTrack;
  PatternMemo track;
};

// Brings the memos of the four header tags, "MTrk" and, when withEndOfTrack, FF 2F 00 up to date
// in one pass, so that the walk's searches from the current position read nothing more.
void updateLandmarkMemos(FILE* in, SearchMemos& memos, bool withEndOfTrack);

// Offset of the next acceptable header at or after the current position, or NOT_FOUND. The tags
// are tried in a fixed order, each over the whole rest of the input; a tag found anywhere but at
// offset 0 must be followed by a length field of exactly 6. The position is restored.
long findHeaderStart(FILE* in, SearchMemos* memos = nullptr);

// The working state of one call of repairMidiFile, shared by the chunk walk and the trailing data.
struct ChunkWalk {
  bool fileChanged = false;
  int32_t headerStart = -1;
  int headerTrackCount = 0;
  ChunkTag tag = {};
  int32_t chunkStart = -1;
  int32_t storedLength = 0;
  int chunkNumber = -1;  // 0 for the header chunk, 1, 2, ... for the tracks
  bool tagOk = false;
  bool lastChunk = false;
  int32_t nextHeader = -1;
  int32_t nextTrack = -1;
  int32_t endOfTrackEnd = -1;
  int32_t chunkEnd = -1;
  long outChunkStart = 0;
  int extraCount = 0;
  SearchMemos search;
};

// Checks the MIDI data of `in` and writes the repaired file to `out` (empty, seekable).
// Returns REPAIR_CHANGED, REPAIR_UNCHANGED or REPAIR_FAILED; prints its messages prefixed with
// name. May create "extra%d.mid" files in the current folder.
int repairMidiFile(const char* name, FILE* out, FILE* in);

// Rewrites the foreign header tags to "MThd", announcing each; a no-op for other tags.
void rewriteForeignTag(ChunkWalk& walk, const char* name);

// Reads the 6 header fields at in, writes them repaired to out, then copies the surplus bytes
// of a header longer than 6.
void repairHeaderBody(ChunkWalk& walk, const char* name, FILE* out, FILE* in, int32_t length);

// Rewrite fields of the header already written; the position of out is kept.
void updateMidiType(const char* name, FILE* out);
void updateTrackCount(const char* name, int count, FILE* out);

// ---- Chunk walk and trailing data (phases of repairMidiFile) ----

// Walks the chunks from the header's length field on. REPAIR_FAILED ends the call.
int walkChunks(ChunkWalk& walk, const char* name, FILE* out, FILE* in);

// The count rule and the type rule after the walk.
void applyCountAndTypeRules(ChunkWalk& walk, const char* name, FILE* out);

// Drops and reports what lies behind the MIDI data; saves every further MIDI file found there
// as "extra%d.mid". REPAIR_FAILED when an extra file cannot be created or written whole.
int handleTrailingData(ChunkWalk& walk, const char* name, FILE* out, FILE* in);

// ---- Track event stream repair ----

constexpr int EVENT_BUFFER_SIZE = 1024;
extern unsigned char g_eventBuffer[EVENT_BUFFER_SIZE];  // the event being read, as it is written
extern unsigned char* g_eventStatus;                    // where its status byte was stored
extern unsigned char* g_eventData;                      // just after its status byte

// The working state of one call of repairTrackEvents, that is of one track.
struct TrackScan {
  int32_t remaining = 0;        // input bytes of the track not read yet
  int32_t bufferFill = 0;       // bytes of the current event in g_eventBuffer
  int32_t runningStatus = -1;   // last channel status; -1 before the first
  int32_t tick = 0;             // sum of the delta times read, removed events' included
  bool endOfTrackSeen = false;  // the last event that got as far as its status was FF 2F
  int32_t trackChannel = -1;    // channel of the track's first channel message (format 1)
  bool channelWarningGiven = false;
  bool changed = false;  // a kept event was altered or an incomplete sysex removed
};

// Repairs the events of one track of `length` input bytes while copying them from in to out.
// REPAIR_CHANGED, REPAIR_UNCHANGED, or REPAIR_FAILED after a failed write (reported for
// g_outputName). In tracks-only mode the bytes are copied unchanged.
int repairTrackEvents(const char* name, FILE* out, FILE* in, int32_t length);

// Appends count input bytes to the event buffer, bounded by the track's remaining bytes.
bool readEventBytes(TrackScan& scan, const char* name, FILE* in, int count);

// Reads a variable-length quantity (1 to 4 bytes) into the event buffer.
bool readEventVarLen(TrackScan& scan, const char* name, FILE* in, uint32_t& value);

// Reads a variable-length quantity straight from in, taking one off remaining for every byte it
// tries to read; -1 at the end of the input.
int32_t readVarLen(FILE* in, int32_t& remaining);

// ---- System exclusive and meta events ----

// How a handler leaves an event to the track loop.
enum class EventOutcome {
  Buffered,  // the complete event is in the buffer, to be written
  Done,      // streamed or removed; the buffer is empty
  EndTrack,  // the track ends here
};

extern int32_t g_gmOnTick;  // tick of the pending GM ON message, -1 for none; spans tracks

EventOutcome handleSysex(TrackScan& scan, const char* name, FILE* in, FILE* out);
EventOutcome handleMeta(TrackScan& scan, const char* name, FILE* in, FILE* out);

// Whether an event with this status at tick comes 0 to 12 ticks after a pending GM ON message.
bool isTooSoonAfterGmOn(int status, int32_t tick);

// Warns when an event comes 0 to 12 ticks after a pending GM ON message.
void checkGmOnPause(const char* name, int status, int32_t tick);

// Reads past the data of an incomplete system exclusive event, up to and including the first F7.
bool skipSysexData(FILE* in, int32_t count, int32_t& skipped);

// ---- Track data recognizer ----

// The first offset at or after start from which well-formed track events run over at least 100
// bytes, searching the `available` bytes from start; NOT_FOUND if none. Only reads; the position
// is left wherever the search stopped.
int32_t recognizeTrackData(FILE* in, int32_t start, int32_t available);
