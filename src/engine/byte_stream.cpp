// Raw byte work on the open streams: reads and seeks of the input, copying runs and big-endian
// fields.
#include "engine.h"

namespace {

// Large enough to copy at memory speed, small enough for the stack.
constexpr size_t BLOCK_SIZE = 65536;

}  // namespace

void copyBytes(long count, FILE* in, FILE* out) {
  unsigned char block[BLOCK_SIZE];
  while (count > 0) {
    const size_t want = count < long(BLOCK_SIZE) ? size_t(count) : BLOCK_SIZE;
    const size_t got = readBlock(block, want, in);
    writeBlock(block, got, out);
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
  if (writeBlock(bytes, 4, out) != 4) {
    failStream(g_inputName);  // a failed length field is reported under the input's name
  }
}

int readUInt16BE(FILE* in) {
  unsigned char bytes[2];
  if (readInput(bytes, 2, in) < 2) {
    return 0;
  }
  return bytes[0] * 256 + bytes[1];
}

void checkInputError(FILE* in) {
  if (std::ferror(in)) {
    failStream(g_inputName);
  }
}

void seekInput(FILE* in, long offset) {
  // Every seek costs a system call, even one inside the stream's buffer, and the walk is mostly
  // where it wants to be already. A seek also clears the end of file, which reads respect.
  if (std::ftell(in) == offset && !std::feof(in)) {
    return;
  }
  if (std::fseek(in, offset, SEEK_SET) != 0) {
    failStream(g_inputName);
  }
}

bool seekOutput(FILE* out, long offset) {
  if (std::fseek(out, offset, SEEK_SET) != 0) {
    std::perror(g_outputName);
    return false;
  }
  return true;
}
