// The byte stream primitives: copying, big-endian fields, and forward pattern searches.
#include <algorithm>
#include <random>

#include "engine.h"
#include "support/streams.h"

namespace {

// findPattern from position; the look-ahead must leave the position as it was.
long findAt(TempStream& in, long position, const Bytes& pattern) {
  std::fseek(in.get(), position, SEEK_SET);
  const long found = findPattern(in.get(), pattern.data(), int(pattern.size()));
  EXPECT_EQ(position, std::ftell(in.get()));
  return found;
}

Bytes randomBytes(size_t size, const std::string& alphabet, std::mt19937& random) {
  Bytes bytes;
  while (bytes.size() < size) {
    bytes.push_back(uint8_t(alphabet[random() % alphabet.size()]));
  }
  return bytes;
}

}  // namespace

TEST(FindPattern, FindsTheFirstOccurrenceAtOrAfterThePosition) {
  struct Case {
    const char* name;
    Bytes bytes, pattern;
    long from, expected;
  } cases[] = {
      {"overlaps a failed candidate", {0x4D, 0x4D, 0x54, 0x72, 0x6B}, text("MTrk"), 0, 1},
      {"a failed candidate shares a prefix", text("MTrMTrk"), text("MTrk"), 0, 3},
      {"at the current position", text("xxMTrk"), text("MTrk"), 2, 2},
      {"CR LF at offset 0", {0x0D, 0x0A}, {0x0D, 0x0A}, 0, 0},
      {"only behind the position", text("MTrkxx"), text("MTrk"), 1, NOT_FOUND},
      {"cut off by the end", text("xMTr"), text("MTrk"), 0, NOT_FOUND},
      {"empty pattern", text("MTrk"), {}, 0, NOT_FOUND},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempStream in(c.bytes);
    EXPECT_EQ(c.expected, findAt(in, c.from, c.pattern));
    EXPECT_EQ(c.bytes[c.from], std::fgetc(in.get()));
  }
}

TEST(FindPattern, FindsHitsAcrossEveryBlockBorder) {
  // Partial matches everywhere, one whole pattern at HIT. A 4-byte hit straddles a block border
  // from three neighbouring starts, so every third start catches each border.
  constexpr long HIT = 33000;
  std::mt19937 random(1);
  TempStream in(randomBytes(HIT, "MTr", random) + text("MTrkMTrk"));
  for (long from = HIT; from >= 0; from -= 3) {
    ASSERT_EQ(HIT, findAt(in, from, text("MTrk"))) << "searched from " << from;
  }
  EXPECT_EQ(HIT + 4, findAt(in, HIT + 1, text("MTrk")));
}

TEST(FindPatternMemo, AgreesWithThePlainSearchForAnySequenceOfPositions) {
  std::mt19937 random(7);
  const Bytes bytes = randomBytes(40000, "MTrkxyzw", random);
  TempStream in(bytes);
  for (const Bytes& pattern : {text("k"), text("rk"), text("MTrk")}) {
    PatternMemo memo;
    long position = 0;
    for (int i = 0; i < 400; ++i) {
      // Mostly steps forward, as the walk makes them, with jumps back and ahead.
      position = random() % 4 == 0 ? long(random() % bytes.size())
                                   : std::min(long(bytes.size()), position + long(random() % 300));
      const long expected = findAt(in, position, pattern);
      ASSERT_EQ(expected, findPatternMemo(in.get(), pattern.data(), int(pattern.size()), memo))
          << "step " << i << " at " << position;
      ASSERT_EQ(position, std::ftell(in.get()));
    }
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
