// The input is read a bounded number of times per byte, whatever the number of tracks and however
// rare the landmarks: the engine reads through a stream that counts what it hands out.
#include <algorithm>
#include <cstring>
#include <functional>

#include "engine.h"
#include "support/streams.h"

namespace {

// Bytes held in memory, served through a stdio stream that counts every byte it hands out.
struct CountingSource {
  const Bytes& bytes;
  long position = 0;
  long served = 0;
};

ssize_t readSource(void* cookie, char* buffer, size_t size) {
  CountingSource& source = *static_cast<CountingSource*>(cookie);
  const long left = std::max(0L, long(source.bytes.size()) - source.position);
  const size_t count = std::min(size, size_t(left));
  std::memcpy(buffer, source.bytes.data() + source.position, count);
  source.position += long(count);
  source.served += long(count);
  return ssize_t(count);
}

int seekSource(void* cookie, off64_t* offset, int whence) {
  CountingSource& source = *static_cast<CountingSource*>(cookie);
  const long base = whence == SEEK_SET   ? 0
                    : whence == SEEK_CUR ? source.position
                                         : long(source.bytes.size());
  if (base + *offset < 0) {
    return -1;
  }
  source.position = long(base + *offset);
  *offset = source.position;
  return 0;
}

// Input bytes read by one repair of file. The stream has no buffer of its own, so the count is
// exactly what the engine asked for.
long bytesReadToRepair(const Bytes& file) {
  CountingSource source{file};
  FILE* in = fopencookie(&source, "rb", {readSource, nullptr, seekSource, nullptr});
  std::setvbuf(in, nullptr, _IONBF, 0);
  TempStream out;
  g_inputName = "in.mid";
  capturedStdout([&] { repairMidiFile("in.mid", out.get(), in); });
  std::fclose(in);
  return source.served;
}

// 30 note events on channel 0 without an end of track: 120 bytes.
Bytes notesWithoutEnd() {
  Bytes events;
  for (int i = 0; i < 30; ++i) {
    events += noteOn(0x10, 0, uint8_t(0x30 + i % 16), 0x40);
  }
  return events;
}

}  // namespace

TEST(Linearity, BytesReadGrowInProportionToTheInput) {
  // Each shape, made with n tracks; none holds a second header, so every header search finds
  // nothing ahead, which a search without memory would learn again at every track.
  struct Case {
    const char* name;
    std::function<Bytes(int)> make;
  } cases[] = {
      {"sound tracks", [](int n) { return soundFile(n, 15); }},
      {"no end of track anywhere",
       [](int n) {
         Bytes file = smfHeader(1, uint16_t(n), 480);
         for (int t = 0; t < n; ++t) {
           file += trackChunk(notesWithoutEnd());
         }
         return file;
       }},
      {"garbage and lying lengths between tracks",
       [](int n) {
         Bytes file = smfHeader(1, uint16_t(n), 480);
         for (int t = 0; t < n; ++t) {
           file += chunkWithLength("MTrk", t % 2 == 0 ? 0 : 100000, soundTrackEvents(15));
           file += text("JUNK") + repeat(0x01, 20);
         }
         return file;
       }},
      {"untagged format 0 data behind system exclusive starts without F7",
       [](int n) {
         Bytes junk;
         for (int i = 0; i < 40 * n; ++i) {
           junk += Bytes{0x00, 0xF0, 0x05};
         }
         return smfHeader(0, 1, 480) + junk;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes small = c.make(1000), large = c.make(2000);
    const double perByteSmall = double(bytesReadToRepair(small)) / double(small.size());
    const double perByteLarge = double(bytesReadToRepair(large)) / double(large.size());
    // A search that read to the end at every track would double the reads per byte here.
    EXPECT_LE(perByteLarge, perByteSmall * 1.1);
    EXPECT_LE(perByteLarge, 8.0);
  }
}

TEST(LandmarkMemos, OnePassAgreesWithSeparateSearches) {
  // Dense partial matches of every landmark; the walk's positions only move forward.
  Bytes bytes;
  const Bytes pieces[] = {text("MT"),   text("MTrk"),    text("MThd"), text("SNio"),
                          text("SONG"), text("SO"),      {0xFF, 0x2F}, {0xFF, 0x2F, 0x00},
                          text("xyz"),  repeat('q', 300)};
  for (int i = 0; i < 3000; ++i) {
    bytes += pieces[(i * 7 + i / 5) % std::size(pieces)];
  }
  TempStream in(bytes);
  SearchMemos memos;
  for (long position = 0; position < long(bytes.size()); position += 1 + position % 97) {
    std::fseek(in.get(), position, SEEK_SET);
    updateLandmarkMemos(in.get(), memos, true);
    ASSERT_EQ(position, std::ftell(in.get()));
    const long separate[] = {
        findPattern(in.get(), HEADER_TAG, 4), findPattern(in.get(), SNIO_TAG, 4),
        findPattern(in.get(), SONG_TAG, 4),   findPattern(in.get(), STRANGE_HEADER_TAG, 4),
        findPattern(in.get(), TRACK_TAG, 4),  findPattern(in.get(), END_OF_TRACK_BYTES, 3)};
    const long combined[] = {memos.headerTags[0].hit, memos.headerTags[1].hit,
                             memos.headerTags[2].hit, memos.headerTags[3].hit,
                             memos.track.hit,         memos.endOfTrack.hit};
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(separate[i], combined[i]) << "landmark " << i << " from " << position;
    }
  }
}
