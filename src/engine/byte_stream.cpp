// Raw byte work on the open streams: copying runs, big-endian fields, forward pattern searches.
#include <climits>
#include <cstring>

#include "engine.h"

namespace {

// Large enough to copy and search at memory speed, small enough for the stack.
constexpr size_t BLOCK_SIZE = 16384;

}  // namespace

void copyBytes(long count, FILE* in, FILE* out) {
  unsigned char block[BLOCK_SIZE];
  while (count > 0) {
    const size_t want = count < long(BLOCK_SIZE) ? size_t(count) : BLOCK_SIZE;
    const size_t got = fread_unlocked(block, 1, want, in);
    fwrite_unlocked(block, 1, got, out);
    if (got < want) {
      // At a plain end of file errno holds nothing that belongs to this read.
      if (std::ferror(in)) {
        failStream(g_inputName);
      }
      failStream(g_inputName, "unexpected end of file");
    }
    count -= long(got);
  }
}

void writeUInt32BE(uint32_t value, FILE* out) {
  const unsigned char bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                                  uint8_t(value)};
  if (fwrite_unlocked(bytes, 1, 4, out) != 4) {
    failStream(g_inputName);  // a failed length field is reported under the input's name
  }
}

int readUInt16BE(FILE* in) {
  unsigned char bytes[2];
  if (fread_unlocked(bytes, 1, 2, in) < 2) {
    return 0;
  }
  return bytes[0] * 256 + bytes[1];
}

namespace {

// The first occurrence of pattern that begins at or after the current position and before
// `limit`; the position is restored. Blocks start small, so that a near hit reads little, and
// overlap by length - 1 bytes, so that a match across a block border is still seen.
long searchForward(FILE* in, const unsigned char* pattern, int length, long limit) {
  const long start = std::ftell(in);
  long result = NOT_FOUND;
  if (pattern != nullptr && length >= 1 && start >= 0) {
    unsigned char block[BLOCK_SIZE];
    const size_t keep = size_t(length) - 1;
    size_t filled = 0;
    size_t want = 256;
    long blockStart = start;
    while (blockStart < limit) {
      const size_t got = fread_unlocked(block + filled, 1, want - filled, in);
      filled += got;
      if (filled >= size_t(length)) {
        const void* hit = memmem(block, filled, pattern, size_t(length));
        if (hit != nullptr) {
          const long offset = blockStart + (static_cast<const unsigned char*>(hit) - block);
          if (offset < limit) {
            result = offset;
          }
          break;
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
    std::clearerr(in);
  }
  std::fseek(in, start, SEEK_SET);
  return result;
}

}  // namespace

long findPattern(FILE* in, const unsigned char* pattern, int length) {
  return searchForward(in, pattern, length, LONG_MAX);
}

long findPatternMemo(FILE* in, const unsigned char* pattern, int length, PatternMemo& memo) {
  const long position = std::ftell(in);
  if (memo.from == NOT_FOUND || (memo.hit != NOT_FOUND && position > memo.hit)) {
    memo.hit = searchForward(in, pattern, length, LONG_MAX);
  } else if (position < memo.from) {
    // Only the stretch before the remembered start is new; behind it the old answer holds.
    const long earlier = searchForward(in, pattern, length, memo.from);
    if (earlier != NOT_FOUND) {
      memo.hit = earlier;
    }
  }
  memo.from = position;
  return memo.hit;
}
