// eolmend: undoes the damage a text-mode transfer does to a MIDI file, chunk by chunk, where the
// structure proves the restoration; the units of eolmend share this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk_parse.h"

constexpr uint8_t CR = 0x0D;
constexpr uint8_t LF = 0x0A;

// The work one run may do on parses and searches, so that no input makes it hang: a byte fed to
// a parse costs 1, a step of a search more.
struct WorkBudget {
  int64_t left = 0;

  // Takes cost from what is left; false once the budget is used up.
  bool spend(int64_t cost) {
    left -= cost;
    return left >= 0;
  }
};

// The budget of a run over an input of size bytes: in proportion to the size, with a floor of a
// 1 MiB input's. Far more than a damaged file needs; a hostile one ends within about a second
// per MiB.
int64_t workBudgetFor(size_t size);

// Whether a chunk may end at offset: the end of the file, or four printable ASCII characters that
// can be the next chunk's tag.
bool isChunkBoundary(const uint8_t* file, size_t size, size_t offset);

// What a search for the CR bytes that a chunk lost found.
struct LostCrSearch {
  enum Outcome { FOUND, NONE, GIVEN_UP } outcome = NONE;
  uint32_t end = 0;                // the offset in the file where the damaged chunk ends
  std::vector<uint32_t> crBefore;  // offsets of the LF bytes that get a CR back, ascending
  bool ambiguous = false;          // more than one restoration of the chunk proves sound
};

// Searches which LF bytes of the chunk whose tag is at `start` lost a CR before them, so that the
// chunk, with those CR bytes back, proves sound and its damaged bytes end at `end` (where the next
// chunk's tag stands), or with ANY_END at any chunk boundary. An LF that has a CR before it in the
// file must get one back (a CR LF pair always lost its CR). Of the restorations that prove sound,
// the one taken costs least (see ChunkParse); of those that cost the same, the one that puts each
// CR before the earliest LF: at the first LF where two differ, the one that restores a CR there.
// `ambiguous` tells that another restoration proved sound too. At each LF only the cheapest ways
// go on, so one that costs far more than others there is not found. GIVEN_UP once the budget is
// used up or too many ways are alive.
LostCrSearch searchLostCrs(const uint8_t* file, size_t size, size_t start, ChunkKind kind,
                           size_t end, WorkBudget& budget);

// For searchLostCrs: the damaged chunk may end at any chunk boundary.
constexpr size_t ANY_END = SIZE_MAX;
