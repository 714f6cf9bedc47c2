// The forward searches of the walk: byte patterns found in blocks, the memos that keep a walk
// that only moves forward linear, and where the next header begins.
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "engine.h"

namespace {

// Large enough to search at memory speed, small enough for the stack.
constexpr size_t BLOCK_SIZE = 65536;

// Index of the first occurrence of pattern in bytes[0, size), or -1. The first byte is found with
// memchr, which runs many times faster than a general substring search on short patterns.
long indexOf(const unsigned char* bytes, size_t size, const unsigned char* pattern, size_t length) {
  if (size < length) {
    return -1;
  }
  const unsigned char* candidate = bytes;
  const unsigned char* const last = bytes + (size - length);  // the last start that fits
  while (candidate <= last) {
    candidate = static_cast<const unsigned char*>(
        std::memchr(candidate, pattern[0], size_t(last - candidate) + 1));
    if (candidate == nullptr) {
      return -1;
    }
    if (std::memcmp(candidate + 1, pattern + 1, length - 1) == 0) {
      return candidate - bytes;
    }
    ++candidate;
  }
  return -1;
}

// One pattern of a combined search and the memo that keeps its answer.
struct PatternQuery {
  const unsigned char* pattern;
  int length;
  PatternMemo* memo;
};

// One memo's part in a pass: hits before `limit` are new; at the limit the memo's old answer holds.
struct OpenSearch {
  const PatternQuery* query;
  long limit;
  long fallback;
};

// Reads forward from the current position until each open search has its answer, and stores the
// answers; the position is restored. Blocks start small, so that a near hit reads little, and
// overlap by the longest length - 1 bytes, so that a match across a block border is still seen.
void searchForward(FILE* in, OpenSearch* open, int count) {
  const long start = std::ftell(in);
  size_t keep = 0;
  long furthest = 0;
  for (int i = 0; i < count; ++i) {
    keep = std::max(keep, size_t(open[i].query->length) - 1);
    furthest = std::max(furthest, open[i].limit);
  }
  unsigned char block[BLOCK_SIZE];
  size_t filled = 0;
  size_t want = 256;
  long blockStart = start;
  while (count > 0 && blockStart < furthest) {
    const size_t got = readBlock(block + filled, want - filled, in);
    filled += got;
    for (int i = 0; i < count;) {
      const PatternQuery& query = *open[i].query;
      const long index = indexOf(block, filled, query.pattern, size_t(query.length));
      // Every start before `checked` has been looked at.
      const long checked = got == 0 ? LONG_MAX : blockStart + long(filled) - query.length + 1;
      long answer = NOT_FOUND;
      bool settled = true;
      if (index >= 0 && blockStart + index < open[i].limit) {
        answer = blockStart + index;
      } else if (index >= 0 || checked >= open[i].limit) {
        answer = open[i].fallback;
      } else {
        settled = false;
      }
      if (settled) {
        query.memo->hit = answer;
        open[i] = open[--count];
      } else {
        ++i;
      }
    }
    if (got == 0) {
      break;
    }
    if (filled > keep) {
      std::memmove(block, block + filled - keep, keep);
      blockStart += long(filled - keep);
      filled = keep;
    }
    want = want * 2 < sizeof block ? want * 2 : sizeof block;
  }
  // A search that stopped at its limit leaves the old answer.
  for (int i = 0; i < count; ++i) {
    open[i].query->memo->hit = open[i].fallback;
  }
  std::clearerr(in);
  std::fseek(in, start, SEEK_SET);
}

// Brings every query's memo up to date for the current position, as findPatternMemo would, but
// in a single pass over the input that ends once every pattern has its answer. The position is
// the same on return.
void updatePatternMemos(FILE* in, const PatternQuery* queries, int count) {
  const long position = std::ftell(in);
  OpenSearch open[8];
  int opened = 0;
  for (int i = 0; i < count; ++i) {
    if (opened == int(std::size(open))) {
      searchForward(in, open, opened);
      opened = 0;
    }
    PatternMemo& memo = *queries[i].memo;
    if (queries[i].pattern == nullptr || queries[i].length < 1 || position < 0) {
      memo.hit = NOT_FOUND;
    } else if (memo.from == NOT_FOUND || (memo.hit != NOT_FOUND && position > memo.hit)) {
      open[opened++] = {&queries[i], LONG_MAX, NOT_FOUND};
    } else if (position < memo.from) {
      // Only the stretch before the remembered start is new; behind it the old answer holds.
      open[opened++] = {&queries[i], memo.from, memo.hit};
    }
    memo.from = position;
  }
  if (opened > 0) {
    searchForward(in, open, opened);
  }
}

// Fills queries[0..3] with the header tags' searches, in the order they are tried.
void headerTagQueries(SearchMemos& memos, PatternQuery* queries) {
  for (int i = 0; i < 4; ++i) {
    queries[i] = {HEADER_TAGS[i], 4, &memos.headerTags[i]};
  }
}

}  // namespace

long findPattern(FILE* in, const unsigned char* pattern, int length) {
  PatternMemo memo;
  return findPatternMemo(in, pattern, length, memo);
}

long findPatternMemo(FILE* in, const unsigned char* pattern, int length, PatternMemo& memo) {
  const PatternQuery query = {pattern, length, &memo};
  updatePatternMemos(in, &query, 1);
  return memo.hit;
}

void updateLandmarkMemos(FILE* in, SearchMemos& memos, bool withEndOfTrack) {
  PatternQuery queries[6];
  headerTagQueries(memos, queries);
  queries[4] = {TRACK_TAG, 4, &memos.track};
  queries[5] = {END_OF_TRACK_BYTES, 3, &memos.endOfTrack};
  updatePatternMemos(in, queries, withEndOfTrack ? 6 : 5);
}

long findHeaderStart(FILE* in, SearchMemos& memos) {
  // "MThd" alone first: most files begin with it, and wherever it stands ahead the other tags
  // do not matter. Those come from one pass, and each is taken only when the ones before it
  // occur nowhere ahead, however close it is.
  long found = findPatternMemo(in, HEADER_TAGS[0], 4, memos.headerTags[0]);
  if (found == NOT_FOUND) {
    PatternQuery queries[4];
    headerTagQueries(memos, queries);
    updatePatternMemos(in, queries + 1, 3);
    for (int i = 1; i < 4 && found == NOT_FOUND; ++i) {
      found = memos.headerTags[i].hit;
    }
  }
  if (found == NOT_FOUND || found == 0) {
    return found;
  }
  // Anywhere but at the very start, only a header with the standard length of 6 counts.
  const long position = std::ftell(in);
  unsigned char length[4];
  std::fseek(in, found + 4, SEEK_SET);
  const bool lengthIsSix = readBlock(length, 4, in) == 4 && readUInt32BE(length) == 6;
  std::clearerr(in);
  std::fseek(in, position, SEEK_SET);
  return lengthIsSix ? found : NOT_FOUND;
}
