// The track data recognizer: where 100 bytes of well-formed events begin.
#include <random>

#include "support/streams.h"

namespace {

const Bytes NOTE = {0x00, 0x90, 0x3C, 0x40};

// 25 note ons from offset 0 with one byte behind them: only offset 0 is a candidate.
const Bytes WINDOW = times(NOTE, 25) + Bytes{0x00};

// The search as its rules state it, over bytes in memory: every candidate examined from scratch.
int32_t searchByTheRules(const Bytes& input, int32_t start, int32_t available) {
  const long size = long(input.size()), rangeEnd = long(start) + available;
  long at = 0;
  const auto next = [&]() { return at < size ? int(input[size_t(at++)]) : EOF; };
  const auto varLen = [&](uint32_t& value) {
    int i = 0, byte = int(value = 0);
    while ((byte = next()) != EOF && addVarLenByte(value, unsigned(byte), i++)) {
    }
    return byte != EOF;
  };
  for (long candidate = start; rangeEnd - candidate > 100; ++candidate) {
    at = candidate;
    int running = -1;
    for (;;) {
      uint32_t value = 0;
      int status = 0;
      if (!varLen(value) || (status = next()) == EOF || (status < 0x80 && running < 0)) {
        break;
      }
      int data = 0;
      if (status < 0x80) {
        --at;  // read again as the first data byte
        data = channelDataBytes(running);
      } else if (status < 0xF0) {
        data = channelDataBytes(running = status);
      } else {
        running = -1;
        const SystemRule& rule = systemRule(status);
        if (rule.inUntaggedData == SystemEvent::REFUSED) {
          break;
        }
        data = rule.inUntaggedData == SystemEvent::MESSAGE ? rule.dataBytes : 0;
        if (rule.inUntaggedData == SystemEvent::SYSEX) {
          if (!varLen(value)) {
            break;
          }
          while (at < rangeEnd && at < size && input[size_t(at)] != 0xF7) {
            ++at;
          }
          if (at++ >= rangeEnd || at > size) {
            break;
          }
        } else if (rule.inUntaggedData == SystemEvent::META) {
          const int type = next();
          if (type == EOF || type >= 0x80 || !varLen(value) || at + long(value) > size) {
            break;
          }
          at += long(value);
        }
      }
      int byte = 0;
      while (data-- > 0 && (byte = next()) != EOF && byte < 0x80) {
      }
      if (data >= 0) {
        break;  // a data byte out of range, or the end of the input
      }
      if (at >= candidate + 100) {
        return int32_t(candidate);
      }
      if (at >= rangeEnd) {
        break;
      }
    }
  }
  return NOT_FOUND;
}

}  // namespace

// Inputs full of near misses: events that mostly parse, from bytes that are often status bytes,
// F7 or tags, behind offsets and within ranges of every kind.
TEST(RecognizeTrackData, FindsWhatTheRulesFindCandidateByCandidate) {
  std::vector<Bytes> pieces;  // "MTrk" among them
  for (const char* piece :
       {"00 90 3C 40", "01 3C 00", "00 C0 05", "00 F8", "00 F0 03 01 02 F7", "00 F0 05 01",
        "00 FF 01 02 41 42", "00 FF 7F 83 00", "F7", "00 90 3C 80", "00 F2", "81 82 83 84 C0 01",
        "4D 54 72 6B", "00 F3 01", "7F"}) {
    pieces.push_back(hex(piece));
  }
  std::mt19937 random(11);
  int found = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes input;
    const size_t size = random() % 600;
    while (input.size() < size) {
      input += random() % 8 == 0 ? Bytes{uint8_t(random())} : pieces[random() % pieces.size()];
    }
    const int32_t start = int32_t(random() % (input.size() / 2 + 1));
    const int32_t available = random() % 4 == 0 ? int32_t(random() % (input.size() - start + 1))
                                                : int32_t(input.size()) - start;
    EngineRepair engine(input);
    const int32_t expected = searchByTheRules(input, start, available);
    ASSERT_EQ(expected, recognizeTrackData(engine.repair, start, available))
        << testing::PrintToString(input) << " from " << start << ", " << available;
    found += expected != NOT_FOUND;
  }
  EXPECT_GT(found, 300);  // the inputs reach both answers
}

TEST(RecognizeTrackData, MovesOnByteByByteAndLeavesThePositionPastTheWindow) {
  // Offsets 0 to 2 hold data bytes where a status must stand; offset 3 begins a window.
  EngineRepair engine(Bytes{0x3C, 0x3C, 0x3C} + WINDOW);
  EXPECT_EQ(3, recognizeTrackData(engine.repair, 1, 103));
  EXPECT_LE(103, engine.repair.in.tell());

  engine.repair.in.seek(7);
  EXPECT_EQ(NOT_FOUND, recognizeTrackData(engine.repair, 4, 100));
  EXPECT_EQ(7, engine.repair.in.tell());  // nothing is read with only 100 bytes available

  // Far into the input, past the blocks read before.
  EngineRepair far(repeat(0x3C, 100000) + WINDOW);
  EXPECT_EQ(100000, recognizeTrackData(far.repair, 1, 100100));
}
