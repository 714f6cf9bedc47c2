// The byte stream primitives and the forward searches for the landmarks.
#include <algorithm>
#include <random>

#include "support/streams.h"

namespace {

// Where pattern first stands at or after from, by looking at every start.
long naiveFind(const Bytes& bytes, long from, const Bytes& pattern) {
  if (pattern.empty()) {
    return NOT_FOUND;
  }
  const auto hit = std::search(bytes.begin() + from, bytes.end(), pattern.begin(), pattern.end());
  return hit == bytes.end() ? NOT_FOUND : long(hit - bytes.begin());
}

}  // namespace

// Inputs of every size from empty to several search blocks, made of the pattern's own letters so
// that partial matches and matches across block borders abound; positions that mostly step
// forward, as the walk does, with jumps back and ahead. Both searches keep the position.
TEST(FindPattern, AgreesWithALookAtEveryStart) {
  std::mt19937 random(7);
  for (const size_t size : {0, 1, 3, 4, 5, 300, 70000, 140000}) {
    Bytes bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&] { return "MTrkx"[random() % 5]; });
    EngineRepair engine(bytes);
    Input& in = engine.repair.in;
    std::vector<unsigned char> buffer(SEARCH_BLOCK_SIZE), memoBuffer(SEARCH_BLOCK_SIZE);
    for (const Bytes& pattern : {text("k"), text("rk"), text("MTrk"), Bytes{}}) {
      PatternMemo memo;
      SearchBlock block;
      block.bytes = memoBuffer.data();
      long position = 0;
      for (int i = 0; i < 300; ++i) {
        position = random() % 4 == 0 ? long(random() % (size + 1))
                                     : std::min(long(size), position + long(random() % 900));
        in.seek(position);
        const long expected = naiveFind(bytes, position, pattern);
        ASSERT_EQ(expected, findPattern(in, pattern.data(), int(pattern.size()), buffer.data()))
            << size << " bytes, from " << position;
        ASSERT_EQ(expected,
                  findPatternMemo(in, position, pattern.data(), int(pattern.size()), memo, block));
        ASSERT_EQ(position, in.tell());
      }
    }
  }
}

TEST(FindHeaderStart, TriesTheTagsInOrderAndWantsLengthSixAwayFromOffsetZero) {
  const Bytes fields = uint16BE(1) + uint16BE(1) + uint16BE(96);
  const std::pair<Bytes, long> cases[] = {
      {text("MTrk MTh"), NOT_FOUND},
      {chunkWithLength("MThd", 7, fields), 0},  // any length at offset 0
      {text("junk ") + chunkWithLength("MThd", 7, fields), NOT_FOUND},
      {text("junk MThd") + Bytes{0, 0, 0}, NOT_FOUND},                        // length cut off
      {chunk("SONG", fields) + repeat(0, 1986) + smfHeader(0, 1, 96), 2000},  // MThd first
      {text("xSONG") + uint32BE(6) + text("MThd") + uint32BE(7), NOT_FOUND},  // no retry
      {text("xx") + chunk("SNio", fields) + text("SONG"), 2},
      {text("xSONG") + uint32BE(6) + text("SNio") + uint32BE(6), 9},
      {text("xxxSONG") + uint32BE(6) + Bytes{0xF2, 0xF8, 0x08, 0x4E} + uint32BE(6), 3},
      {text("xx") + Bytes{0xF2, 0xF8, 0x08, 0x4E} + uint32BE(6) + fields, 2},
  };
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(std::string(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 9)));
    EngineRepair engine(bytes);
    SearchMemos memos;
    memos.block.bytes = engine.repair.buffers->searchBlock;
    EXPECT_EQ(expected, findHeaderStart(engine.repair.in, memos));
    EXPECT_EQ(0, engine.repair.in.tell());
  }
}

// The end of the input is no error; an input that ends before its size is a failure of the
// input, with what was copied before it kept in the output.
TEST(CopyBytes, ShortInputFailsTheRepairAsTheInputsUnexpectedEnd) {
  EngineRepair engine(text("abcd"));
  Repair& repair = engine.repair;
  copyBytes(0, repair.in, repair.out, repair.failure);
  copyBytes(-3, repair.in, repair.out, repair.failure);
  EXPECT_EQ(0, repair.in.tell());
  unsigned char bytes[8];
  EXPECT_EQ(4u, readInput(bytes, 8, repair.in));
  EXPECT_EQ(END_OF_INPUT, readInputByte(repair.in));
  EXPECT_FALSE(repair.failed());
  repair.in.seek(0);
  copyBytes(10, repair.in, repair.out, repair.failure);
  EXPECT_EQ(SEQMEND_STREAM_INPUT, repair.failure.stream);
  EXPECT_EQ(0, repair.failure.error);
  EXPECT_EQ(text("abcd"), engine.output);
}
