// The byte stream primitives and the forward searches for the landmarks.
#ifndef _WIN32
#include <unistd.h>
#endif

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
    TempStream in(bytes);
    for (const Bytes& pattern : {text("k"), text("rk"), text("MTrk"), Bytes{}}) {
      PatternMemo memo;
      SearchBlock block;
      long position = 0;
      for (int i = 0; i < 300; ++i) {
        position = random() % 4 == 0 ? long(random() % (size + 1))
                                     : std::min(long(size), position + long(random() % 900));
        std::fseek(in.get(), position, SEEK_SET);
        const long expected = naiveFind(bytes, position, pattern);
        ASSERT_EQ(expected, findPattern(in.get(), pattern.data(), int(pattern.size())))
            << size << " bytes, from " << position;
        ASSERT_EQ(expected, findPatternMemo(in.get(), position, pattern.data(), int(pattern.size()),
                                            memo, block));
        ASSERT_EQ(position, std::ftell(in.get()));
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
    TempStream in(bytes);
    SearchMemos memos;
    EXPECT_EQ(expected, findHeaderStart(in.get(), memos));
    EXPECT_EQ(0, std::ftell(in.get()));
  }
}

TEST(BigEndianFields, WriteUInt32AndReadUInt16) {
  TempStream out, in(Bytes{0xE0, 0x81, 0xFF});
  writeUInt32BE(0x81F2E3D4, out.get());
  EXPECT_EQ((Bytes{0x81, 0xF2, 0xE3, 0xD4}), out.contents());
  EXPECT_EQ(0xE081, readUInt16BE(in.get()));
  EXPECT_EQ(0, readUInt16BE(in.get()));  // one byte left
}

TEST(CopyBytesDeathTest, ShortReadEndsTheRunUnderTheInputName) {
  g_inputName = "in.mid";
  TempStream in(text("abcd")), out;
  copyBytes(0, in.get(), out.get());
  copyBytes(-3, in.get(), out.get());
  EXPECT_EQ(0, std::ftell(in.get()));
  EXPECT_EXIT(copyBytes(10, in.get(), out.get()), testing::ExitedWithCode(1),
              "^in\\.mid: unexpected end of file\n$");
#ifndef _WIN32  // there the dying copy runs in a fresh process, with temporary files of its own
  EXPECT_EQ(text("abcd"), out.contents());  // what was copied before the end stays
#endif
}

// A read error or a failed seek of the input ends the run under the input's name; the end of the
// input is no error.
TEST(InputDeathTest, ReadErrorsAndFailedSeeksEndTheRunUnderTheInputName) {
  g_inputName = "in.mid";
  TempStream in(text("ab"));
  unsigned char bytes[4];
  EXPECT_EQ(2u, readInput(bytes, 4, in.get()));
  EXPECT_EQ(EOF, readInputByte(in.get()));
#ifndef _WIN32  // a stream that fails to read and one that cannot seek, from POSIX calls
  FILE* const unreadable = std::fopen("/dev/null", "wb");
  ASSERT_NE(nullptr, unreadable);
  EXPECT_EXIT(readInput(bytes, 4, unreadable), testing::ExitedWithCode(1),
              "^in\\.mid: Bad file descriptor\n$");
  EXPECT_EXIT(readInputByte(unreadable), testing::ExitedWithCode(1),
              "^in\\.mid: Bad file descriptor\n$");
  std::fclose(unreadable);
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  FILE* const pipeIn = fdopen(ends[0], "rb");
  FILE* const pipeOut = fdopen(ends[1], "wb");
  EXPECT_EXIT(seekInput(pipeIn, 5), testing::ExitedWithCode(1), "^in\\.mid: Illegal seek\n$");
  g_outputName = "out.mid";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(seekOutput(pipeOut, 5));  // the repair is given up, the output named
  EXPECT_EQ("out.mid: Illegal seek\n", testing::internal::GetCapturedStderr());
  std::fclose(pipeIn);
  std::fclose(pipeOut);
#endif
}
