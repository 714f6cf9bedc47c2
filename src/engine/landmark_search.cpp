// The forward searches of the walk: byte patterns found in blocks, the memos that keep a walk
// that only moves forward linear, and where the next header begins.
#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "engine.h"

namespace {

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
    // Patterns are a few bytes long: compared in place rather than by a call.
    size_t matched = 1;
    while (matched < length && candidate[matched] == pattern[matched]) {
      ++matched;
    }
    if (matched == length) {
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

// Searches forward from position, the stream's position, until each open search has its answer,
// and stores the answers. The bytes from position on are taken from the block where it holds
// them; what is read goes into the block, for the searches after this one, and then the position
// is restored. Blocks overlap by the longest length - 1 bytes, so that a match across a block
// border is still seen.
void searchForward(Input& in, long position, OpenSearch* open, int count, SearchBlock& block) {
  size_t keep = 0;
  for (int i = 0; i < count; ++i) {
    keep = std::max(keep, size_t(open[i].query->length) - 1);
  }
  if (position < block.start || position > block.start + long(block.filled)) {
    block.start = position;
    block.filled = 0;
    block.reachesEnd = false;
  }
  size_t from = size_t(position - block.start);  // no match starts before position
  bool moved = false;                            // the stream is not at position any more
  for (;;) {
    for (int i = 0; i < count;) {
      const PatternQuery& query = *open[i].query;
      const long index =
          indexOf(block.bytes + from, block.filled - from, query.pattern, size_t(query.length));
      // Every start before `checked` has been looked at.
      const long checked =
          block.reachesEnd ? LONG_MAX : block.start + long(block.filled) - query.length + 1;
      long answer = NOT_FOUND;
      bool settled = true;
      if (index >= 0 && block.start + long(from) + index < open[i].limit) {
        answer = block.start + long(from) + index;
      } else if (index >= 0 || checked >= open[i].limit) {
        answer = open[i].fallback;
      } else {
        settled = false;
      }
      if (settled) {
        query.memo->remember(query.memo->from, answer);
        open[i] = open[--count];
      } else {
        ++i;
      }
    }
    // A search still open has not looked at every start before its limit.
    if (count == 0 || block.reachesEnd) {
      break;
    }
    // Read on behind the block, keeping its last bytes in front of what comes.
    const size_t kept = std::min(keep, block.filled - from);
    std::memmove(block.bytes, block.bytes + block.filled - kept, kept);
    block.start += long(block.filled - kept);
    block.filled = kept;
    from = 0;
    if (!moved) {
      seekInput(in, block.start + long(kept));
      moved = true;
    }
    const size_t want = SEARCH_BLOCK_SIZE - kept;
    const size_t got = readInput(block.bytes + kept, want, in);
    block.filled += got;
    block.reachesEnd = got < want;
  }
  // A search that stopped at its limit leaves the old answer.
  for (int i = 0; i < count; ++i) {
    PatternMemo& memo = *open[i].query->memo;
    memo.remember(memo.from, open[i].fallback);
  }
  if (moved) {
    seekInput(in, position);
  }
}

// A hit in the block from position on is the answer without more ado: where chunks are small,
// the next landmark mostly is. The occurrences close behind it are kept with it. False when the
// block holds none.
bool findInBlock(const SearchBlock& block, long position, const PatternQuery& query,
                 PatternMemo& memo) {
  // How far behind a hit the following occurrences are looked for: a bounded look per search.
  constexpr size_t FOLLOWING_WINDOW = 256;
  if (position < block.start || position >= block.start + long(block.filled)) {
    return false;
  }
  const size_t from = size_t(position - block.start);
  const long index =
      indexOf(block.bytes + from, block.filled - from, query.pattern, size_t(query.length));
  if (index < 0) {
    return false;
  }
  const size_t hit = from + size_t(index);
  memo.remember(position, block.start + long(hit));
  const size_t windowEnd = std::min(block.filled, hit + FOLLOWING_WINDOW);
  for (size_t last = hit; memo.followingCount < int(std::size(memo.following));) {
    const long next =
        indexOf(block.bytes + last + 1, windowEnd - last - 1, query.pattern, size_t(query.length));
    if (next < 0) {
      break;
    }
    last += 1 + size_t(next);
    memo.following[memo.followingCount++] = block.start + long(last);
  }
  return true;
}

// Brings every query's memo up to date for position, the stream's position, as findPatternMemo
// would, but in a single pass over the input that ends once every pattern has its answer. The
// position is the same on return.
void updatePatternMemos(Input& in, long position, const PatternQuery* queries, int count,
                        SearchBlock& block) {
  OpenSearch open[8];
  int opened = 0;
  for (int i = 0; i < count; ++i) {
    if (opened == int(std::size(open))) {
      searchForward(in, position, open, opened, block);
      opened = 0;
    }
    const PatternQuery& query = queries[i];
    PatternMemo& memo = *query.memo;
    if (query.pattern == nullptr || query.length < 1 || position < 0) {
      memo.remember(position, NOT_FOUND);
    } else if (memo.answers(position)) {
      memo.from = position;
    } else if (position < memo.from && (memo.hit == NOT_FOUND || position <= memo.hit)) {
      // Only the stretch before the remembered start is new; behind it the old answer holds.
      open[opened++] = {&query, memo.from, memo.hit};
      memo.from = position;
    } else if (!memo.takeFollowing(position) && !findInBlock(block, position, query, memo)) {
      open[opened++] = {&query, LONG_MAX, NOT_FOUND};
      memo.remember(position, NOT_FOUND);
    }
  }
  if (opened > 0) {
    searchForward(in, position, open, opened, block);
  }
}

// Fills queries[0..3] with the header tags' searches, in the order they are tried.
void headerTagQueries(SearchMemos& memos, PatternQuery* queries) {
  for (int i = 0; i < 4; ++i) {
    queries[i] = {HEADER_TAGS[i], 4, &memos.headerTags[i]};
  }
}

// findHeaderStart from position, the stream's position, once the memos of the header tags that it
// asks for are up to date.
long headerStartFromMemos(Input& in, long position, SearchMemos& memos) {
  long found = NOT_FOUND;
  for (int i = 0; i < 4 && found == NOT_FOUND; ++i) {
    found = memos.headerTags[i].hit;
  }
  if (found == NOT_FOUND || found == 0) {
    return found;
  }
  // Anywhere but at the very start, only a header with the standard length of 6 counts. The
  // answer is kept: every chunk ahead of an appended file asks again.
  if (found != memos.lengthChecked) {
    unsigned char length[4];
    seekInput(in, found + 4);
    memos.lengthChecked = found;
    memos.lengthIsSix = readInput(length, 4, in) == 4 && readUInt32BE(length) == 6;
    seekInput(in, position);
  }
  return memos.lengthIsSix ? found : NOT_FOUND;
}

}  // namespace

long findPattern(Input& in, const unsigned char* pattern, int length, unsigned char* buffer) {
  PatternMemo memo;
  SearchBlock block;
  block.bytes = buffer;
  return findPatternMemo(in, in.tell(), pattern, length, memo, block);
}

long findPatternMemo(Input& in, long from, const unsigned char* pattern, int length,
                     PatternMemo& memo, SearchBlock& block) {
  const PatternQuery query = {pattern, length, &memo};
  updatePatternMemos(in, from, &query, 1, block);
  return memo.hit;
}

long updateLandmarkMemos(Input& in, long position, SearchMemos& memos, bool withEndOfTrack) {
  // Only the memos that cannot answer go to the search: in a walk over small chunks those of
  // "MTrk" and FF 2F 00 alone, since most header tags occur nowhere ahead.
  PatternQuery queries[6];
  int count = 0;
  const auto ask = [&](const unsigned char* pattern, int length, PatternMemo& memo) {
    if (!memo.answers(position)) {
      queries[count++] = {pattern, length, &memo};
    }
  };
  for (int i = 0; i < 4; ++i) {
    ask(HEADER_TAGS[i], 4, memos.headerTags[i]);
  }
  ask(TRACK_TAG, 4, memos.track);
  if (withEndOfTrack) {
    ask(END_OF_TRACK_BYTES, 3, memos.endOfTrack);
  }
  updatePatternMemos(in, position, queries, count, memos.block);
  return headerStartFromMemos(in, position, memos);
}

long findHeaderStart(Input& in, SearchMemos& memos) {
  // "MThd" alone first: most files begin with it, and wherever it stands ahead the other tags
  // do not matter. Those come from one pass, and each is taken only when the ones before it
  // occur nowhere ahead, however close it is.
  const long position = in.tell();
  PatternQuery queries[4];
  headerTagQueries(memos, queries);
  updatePatternMemos(in, position, queries, 1, memos.block);
  if (memos.headerTags[0].hit == NOT_FOUND) {
    updatePatternMemos(in, position, queries + 1, 3, memos.block);
  }
  return headerStartFromMemos(in, position, memos);
}
