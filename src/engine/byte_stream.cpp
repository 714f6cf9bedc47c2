// The input and output of a repair: memory or the caller's reader and writer behind a buffer,
// and the raw byte work on them: copying runs and big-endian fields.
#include <algorithm>

#include "engine.h"

namespace {

constexpr long FILE_PAGE_SIZE = 4096;

}  // namespace

void Input::attachMemory(const unsigned char* data, long size, Failure& failure) {
  *this = Input();
  failure_ = &failure;
  window_ = data;
  windowEnd_ = size;
  size_ = size;
}

void Input::attachReader(const seqmend_reader& reader, long size, unsigned char* buffer,
                         Failure& failure) {
  *this = Input();
  readerCopy_ = reader;
  reader_ = &readerCopy_;
  failure_ = &failure;
  buffer_ = buffer;
  window_ = buffer;
  size_ = size;
}

bool Input::fill(long offset) {
  // From the page that holds offset on: the system copies whole pages of a file faster.
  const long start = offset & ~long(FILE_PAGE_SIZE - 1);
  windowStart_ = start;
  windowEnd_ = start;
  if (reader_ == nullptr || failure_->happened() || offset >= size_) {
    return false;
  }
  const size_t want = size_t(std::min<long>(long(STREAM_BLOCK_SIZE), size_ - start));
  size_t got = 0;
  const int error = reader_->read(reader_->context, uint64_t(start), buffer_, want, &got);
  if (error != 0 || start + long(got) <= offset) {
    // An input that ends before its size changed under the repair.
    failure_->set(SEQMEND_STREAM_INPUT, error);
    return false;
  }
  windowEnd_ = start + long(std::min(got, want));
  return true;
}

int Input::readByteSlowly() {
  if (position_ < 0 || position_ >= size_ || !fill(position_)) {
    return END_OF_INPUT;
  }
  return window_[position_++ - windowStart_];
}

const unsigned char* Input::take(size_t count, size_t& got) {
  got = 0;
  if (position_ < 0 || position_ >= size_ || count == 0) {
    return nullptr;
  }
  if ((position_ < windowStart_ || position_ >= windowEnd_) && !fill(position_)) {
    return nullptr;
  }
  got = std::min(count, size_t(windowEnd_ - position_));
  const unsigned char* bytes = window_ + (position_ - windowStart_);
  position_ += long(got);
  return bytes;
}

size_t Input::read(void* to, size_t count) {
  auto* const bytes = static_cast<unsigned char*>(to);
  size_t done = 0;
  while (done < count) {
    size_t got = 0;
    const unsigned char* from = take(count - done, got);
    if (from == nullptr) {
      break;
    }
    std::memcpy(bytes + done, from, got);
    done += got;
  }
  return done;
}

void Output::attachMemory(std::vector<unsigned char>& bytes, Failure& failure) {
  *this = Output();
  bytes.clear();
  memory_ = &bytes;
  failure_ = &failure;
}

void Output::attachWriter(const seqmend_writer& writer, unsigned char* buffer, Failure& failure) {
  *this = Output();
  writer_ = writer;
  buffer_ = buffer;
  failure_ = &failure;
}

void Output::pass(long offset, const unsigned char* bytes, size_t count) {
  if (count == 0 || failure_->happened()) {
    return;
  }
  const int error = writer_.write(writer_.context, uint64_t(offset), bytes, count);
  if (error != 0) {
    failure_->set(SEQMEND_STREAM_OUTPUT, error);
  }
}

void Output::flush() {
  if (memory_ == nullptr) {
    pass(bufferStart_, buffer_, buffered_);
  }
  buffered_ = 0;
}

void Output::writeSlowly(const void* bytes, size_t count) {
  if (failure_->happened()) {
    return;
  }
  const auto* from = static_cast<const unsigned char*>(bytes);
  const long end = position_ + long(count);
  if (memory_ != nullptr) {
    // A field rewritten in place, or a write that reaches past it.
    if (size_t(end) > memory_->size()) {
      memory_->resize(size_t(end));
    }
    std::memcpy(memory_->data() + position_, from, count);
  } else if (position_ >= bufferStart_ && end <= bufferStart_ + long(STREAM_BLOCK_SIZE) &&
             position_ <= bufferStart_ + long(buffered_)) {
    std::memcpy(buffer_ + (position_ - bufferStart_), from, count);
    buffered_ = std::max(buffered_, size_t(end - bufferStart_));
  } else if (position_ < bufferStart_ && end <= bufferStart_) {
    pass(position_, from, count);  // a field of what was passed on already
  } else {
    flush();
    if (count >= STREAM_BLOCK_SIZE) {
      pass(position_, from, count);
      bufferStart_ = end;
    } else {
      bufferStart_ = position_;
      std::memcpy(buffer_, from, count);
      buffered_ = count;
    }
  }
  position_ = end;
  size_ = std::max(size_, end);
}

void Repair::report(int code, const FindingValues& values) {
  if (failed()) {
    return;
  }
  seqmend_finding finding = {};
  finding.code = code;
  finding.track = values.track;
  finding.value = values.value;
  finding.byte = values.byte;
  finding.offset = values.offset;
  finding.count = values.count;
  if (values.tag != nullptr) {
    std::memcpy(finding.tag, values.tag, 4);
  }
  if (values.file != nullptr) {
    std::strncpy(finding.file, values.file, sizeof finding.file - 1);
  }
  if (findings != nullptr) {
    findings->push_back(finding);
  }
  if (options != nullptr && options->on_finding != nullptr) {
    options->on_finding(options->context, &finding);
  }
}

void copyBytes(long count, Input& in, Output& out, Failure& failure) {
  while (count > 0) {
    size_t got = 0;
    const unsigned char* bytes = in.take(size_t(count), got);
    if (bytes == nullptr) {
      failure.set(SEQMEND_STREAM_INPUT, 0);
      return;
    }
    out.write(bytes, got);
    count -= long(got);
  }
}

void writeUInt32BE(uint32_t value, Output& out) {
  const unsigned char bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                                  uint8_t(value)};
  out.write(bytes, 4);
}

int readUInt16BE(Input& in) {
  unsigned char bytes[2];
  if (readInput(bytes, 2, in) < 2) {
    return 0;
  }
  return bytes[0] * 256 + bytes[1];
}
