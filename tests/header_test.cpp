// Header detection, the foreign tags, the header body repair and the later header rewrites.
#include <algorithm>

#include "engine.h"
#include "support/streams.h"

TEST(FindHeaderStart, TriesTheTagsInOrderAndWantsLengthSixAwayFromOffsetZero) {
  const Bytes fields = uint16BE(1) + uint16BE(1) + uint16BE(96);
  const std::pair<Bytes, long> cases[] = {
      {text("MTrk MTh"), NOT_FOUND},
      {chunkWithLength("MThd", 7, fields), 0},  // any length at offset 0
      {text("junk ") + chunkWithLength("MThd", 7, fields), NOT_FOUND},
      {text("junk MThd") + Bytes{0, 0}, NOT_FOUND},                           // length cut off
      {chunk("SONG", fields) + repeat(0, 1986) + smfHeader(0, 1, 96), 2000},  // MThd first
      {text("xSONG") + uint32BE(6) + text("MThd") + uint32BE(7), NOT_FOUND},  // no retry
      {text("xx") + chunk("SNio", fields) + text("SONG"), 2},
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

// SNio and SONG, and the header repairs that follow them, are checked whole through the binary.
TEST(RewriteForeignTag, RenamesTheStrangeTagButNoTrackTag) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0xF2, 0xF8, 0x08, 0x4E}, "in.mid: strange midi header changed to MThd\n"},
      {text("MTrk"), ""},
  };
  for (const auto& [tag, message] : cases) {
    ChunkWalk walk;
    std::copy(tag.begin(), tag.end(), walk.tag);
    EXPECT_EQ(message, capturedStdout([&] { rewriteForeignTag(walk, "in.mid"); }));
    EXPECT_EQ(*message != '\0' ? text("MThd") : tag, Bytes(walk.tag, walk.tag + 4));
    EXPECT_EQ(*message != '\0', walk.fileChanged);
  }
}

// Header lengths below 6 and bodies cut off are checked whole through the binary.
TEST(RepairHeaderBody, RepairsFormatAndDivisionAndCopiesTheSurplus) {
  const struct {
    Bytes body;
    int32_t length;
    Bytes written;
    const char* messages;
  } cases[] = {
      {{0, 2, 0, 3, 0xE7, 0x28}, 6, {0, 2, 0, 3, 0xE7, 0x28}, ""},  // SMPTE division
      {{0, 3, 0, 1, 0, 96}, 6, {0, 1, 0, 1, 0, 96}, "in.mid: invalid version 3 changed to 1\n"},
      {{0, 1, 0, 2, 0, 0}, 6, {0, 1, 0, 2, 0, 96}, "in.mid: invalid resolution 0 changed to 96\n"},
      {{0, 1, 0, 2, 0, 96, 0xAA, 0xBB, 'M'}, 8, {0, 1, 0, 2, 0, 96, 0xAA, 0xBB}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.messages);
    TempStream in(c.body), out;
    ChunkWalk walk;
    EXPECT_EQ(c.messages, capturedStdout([&] {
                repairHeaderBody(walk, "in.mid", out.get(), in.get(), c.length);
              }));
    EXPECT_EQ(c.written, out.contents());
    EXPECT_EQ(*c.messages != '\0', walk.fileChanged);
  }
}

// The messages and the bytes are checked whole through the binary; what only a unit test sees is
// that the position stays where the writing goes on.
TEST(UpdateHeaderFields, RewriteInPlaceAndKeepThePosition) {
  TempStream out(smfHeader(0, 2, 96) + text("MTrk"));
  std::fseek(out.get(), 16, SEEK_SET);
  capturedStdout([&] {
    updateTrackCount("in.mid", 300, out.get());
    updateMidiType("in.mid", out.get());
  });
  EXPECT_EQ(16, std::ftell(out.get()));
  EXPECT_EQ(smfHeader(1, 300, 96) + text("MTrk"), out.contents());
}
