// The report's JSON (nlohmann::json keeps the keys in the documented order), the buffered sinks,
// the progress line and the summary.
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "files.h"

namespace {

using Json = nlohmann::ordered_json;

// A text that may hold any bytes: as UTF-8 under `key`, each byte that is not part of well-formed
// UTF-8 replaced by U+FFFD when written; then, only then, the bytes themselves in base64 under
// key + "_bytes".
void putText(Json& object, const std::string& key, const std::string& text) {
  object[key] = text;
  if (!isValidUtf8(text)) {
    object[key + "_bytes"] = base64(text);
  }
}

Json messageObject(const Message& message) {
  Json object = Json::object();
  putText(object, "text", message.text);
  object["code"] = message.code;
  for (const MessageField& field : message.fields) {
    if (field.isNumber) {
      object[field.key] = field.number;
    } else {
      putText(object, field.key, field.text);
    }
  }
  return object;
}

}  // namespace

std::string reportLine(const FileRecord& record) {
  Json line = Json::object();
  putText(line, "path", record.path);
  line["size"] = record.size >= 0 ? Json(record.size) : Json(nullptr);
  line["verdict"] = record.verdict;
  line["exit_status"] = record.exitStatus >= 0 ? Json(record.exitStatus) : Json(nullptr);
  if (!record.looksLike.empty()) {
    line["looks_like"] = record.looksLike;
  }
  if (record.signal != 0) {
    line["signal"] = record.signal;
  }
  Json messages = Json::array();
  for (const Message& message : record.messages) {
    messages.push_back(messageObject(message));
  }
  line["messages"] = std::move(messages);
  if (record.omittedMessages > 0) {
    line["messages_omitted"] = record.omittedMessages;
  }
  if (record.output.empty()) {
    line["output"] = nullptr;
  } else {
    putText(line, "output", record.output);
  }
  line["extras"] = record.extras;
  bool extrasValid = true;
  for (const std::string& extra : record.extras) {
    extrasValid = extrasValid && isValidUtf8(extra);
  }
  if (!extrasValid) {
    Json bytes = Json::array();
    for (const std::string& extra : record.extras) {
      bytes.push_back(base64(extra));
    }
    line["extras_bytes"] = std::move(bytes);
  }
  line["ms"] = std::round(record.milliseconds * 1000) / 1000;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string base64(std::string_view bytes) {
  static constexpr char DIGITS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t count = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < count ? uint8_t(bytes[i + k]) : 0);
    }
    for (size_t k = 0; k < 4; ++k) {
      text += k <= count ? DIGITS[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t lead = uint8_t(bytes[i]);
    size_t length = 0;
    uint32_t point = 0, least = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, point = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, point = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, point = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + length > bytes.size()) {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      const uint8_t next = uint8_t(bytes[i + k]);
      if ((next & 0xC0) != 0x80) {
        return false;
      }
      point = point << 6 | (next & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

void LineSink::add(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= 64 * 1024) {
    flush();
  }
}

bool LineSink::flush() {
  size_t written = 0;
  while (error_ == 0 && written < buffer_.size()) {
    const long count = writeSome(fd_, buffer_.data() + written, buffer_.size() - written);
    if (count < 0 && errno != EINTR) {
      error_ = errno;
    } else if (count > 0) {
      written += size_t(count);
    }
  }
  buffer_.clear();
  errno = error_;
  return error_ == 0;
}

void Tally::add(const FileRecord& record) {
  ++done_;
  ++verdicts_[record.verdict];
  for (const Message& message : record.messages) {
    ++codes_[message.code];
  }
}

void Tally::addEarlier(const std::string& verdict) {
  earlierBad_ += verdict != "sound" && verdict != "repaired";
  earlierRepaired_ += verdict == "repaired";
}

bool Tally::anyRepaired() const {
  const auto found = verdicts_.find("repaired");
  return earlierRepaired_ > 0 || (found != verdicts_.end() && found->second > 0);
}

bool Tally::allGood() const {
  long good = 0;
  for (const char* verdict : {"sound", "repaired"}) {
    const auto found = verdicts_.find(verdict);
    good += found != verdicts_.end() ? found->second : 0;
  }
  return good == done_ && earlierBad_ == 0;
}

void Tally::printProgress(FILE* stream, double seconds) const {
  const long total = std::max(expected_, done_);
  const double rate = seconds > 0 ? double(done_) / seconds : 0;
  const auto count = [this](const char* verdict) {
    const auto found = verdicts_.find(verdict);
    return found != verdicts_.end() ? found->second : 0L;
  };
  const long failed = count("failed") + count("crashed") + count("timeout");
  std::fprintf(stream, "\r\033[K%ld/%ld files, %.0f files/s, %ld repaired, %ld failed", done_,
               total, rate, count("repaired"), failed);
  if (rate > 0 && total > done_) {
    std::fprintf(stream, ", %.0f s left", double(total - done_) / rate);
  }
  std::fflush(stream);
}

void Tally::printSummary(FILE* stream, double seconds) const {
  std::fprintf(stream, "seqmend-batch: %ld file%s in %.2f s (%.0f files/s):", done_,
               done_ == 1 ? "" : "s", seconds, seconds > 0 ? double(done_) / seconds : 0.0);
  const char* separator = " ";
  for (const char* verdict : {"sound", "repaired", "failed", "crashed", "timeout"}) {
    const auto found = verdicts_.find(verdict);
    std::fprintf(stream, "%s%ld %s", separator, found != verdicts_.end() ? found->second : 0L,
                 verdict);
    separator = ", ";
  }
  std::fprintf(stream, "\n");
  for (const auto& [code, count] : codes_) {
    if (code != "sound" && code != "repaired") {
      std::fprintf(stream, "seqmend-batch: %8ld %s\n", count, code.c_str());
    }
  }
}

void addMessage(FileRecord& record, Message message) {
  if (record.omittedMessages > 0 || record.keptBytes + message.text.size() + 1 > MESSAGE_LIMIT) {
    ++record.omittedMessages;
    return;
  }
  record.keptBytes += message.text.size() + 1;
  record.messages.push_back(std::move(message));
}

namespace {

// The encoding of a record: numbers as 8 bytes in the machine's order (both ends are this
// program), texts as their length and their bytes.
struct Encoder {
  std::string bytes;
  void number(long long value) { bytes.append(reinterpret_cast<const char*>(&value), 8); }
  void text(const std::string& value) {
    number(static_cast<long long>(value.size()));
    bytes += value;
  }
};

struct Decoder {
  std::string_view bytes;
  bool failed = false;
  long long number() {
    long long value = 0;
    if (bytes.size() < 8) {
      failed = true;
      return 0;
    }
    std::memcpy(&value, bytes.data(), 8);
    bytes.remove_prefix(8);
    return value;
  }
  std::string text() {
    const long long size = number();
    if (failed || size < 0 || static_cast<unsigned long long>(size) > bytes.size()) {
      failed = true;
      return {};
    }
    std::string value(bytes.substr(0, size_t(size)));
    bytes.remove_prefix(size_t(size));
    return value;
  }
};

}  // namespace

std::string encodeRecord(const FileRecord& record) {
  Encoder out;
  out.text(record.path);
  out.number(record.size);
  out.text(record.verdict);
  out.number(record.exitStatus);
  out.text(record.looksLike);
  out.number(record.signal);
  out.number(static_cast<long long>(record.messages.size()));
  for (const Message& message : record.messages) {
    out.text(message.text);
    out.text(message.code);
    out.number(static_cast<long long>(message.fields.size()));
    for (const MessageField& field : message.fields) {
      out.text(field.key);
      out.number(field.isNumber);
      out.number(field.number);
      out.text(field.text);
    }
  }
  out.number(record.omittedMessages);
  out.text(record.output);
  out.number(static_cast<long long>(record.extras.size()));
  for (const std::string& extra : record.extras) {
    out.text(extra);
  }
  return out.bytes;
}

bool decodeRecord(std::string_view bytes, FileRecord& record) {
  Decoder in{bytes};
  record.path = in.text();
  record.size = in.number();
  record.verdict = in.text();
  record.exitStatus = int(in.number());
  record.looksLike = in.text();
  record.signal = int(in.number());
  record.messages.clear();
  for (long long n = in.number(); !in.failed && n > 0; --n) {
    Message& message = record.messages.emplace_back();
    message.text = in.text();
    message.code = in.text();
    for (long long k = in.number(); !in.failed && k > 0; --k) {
      MessageField& field = message.fields.emplace_back();
      field.key = in.text();
      field.isNumber = in.number() != 0;
      field.number = in.number();
      field.text = in.text();
    }
  }
  record.omittedMessages = in.number();
  record.output = in.text();
  record.extras.clear();
  for (long long n = in.number(); !in.failed && n > 0; --n) {
    record.extras.push_back(in.text());
  }
  return !in.failed && in.bytes.empty();
}
