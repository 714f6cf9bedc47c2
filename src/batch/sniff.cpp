// Magic numbers first, then markup, then a test for text: nothing but printable bytes, blanks
// and well-formed UTF-8 sequences.
#include "sniff.h"

#include <cstring>
#include <string_view>

namespace {

struct Magic {
  size_t offset;
  std::string_view bytes;
  const char* kind;
};

using namespace std::string_view_literals;

constexpr Magic MAGICS[] = {
    {0, "PK\x03\x04"sv, "zip"},
    {0, "PK\x05\x06"sv, "zip"},  // an empty archive
    {0, "\x1f\x8b"sv, "gzip"},
    {0, "%PDF-"sv, "pdf"},
    {0, "\x89PNG\r\n\x1a\n"sv, "png"},
    {0, "\xff\xd8\xff"sv, "jpeg"},
    {0, "GIF8"sv, "gif"},
    {0, "ID3"sv, "mp3"},
    {0, "OggS"sv, "ogg"},
    {0, "fLaC"sv, "flac"},
    {0, "Rar!\x1a\x07"sv, "rar"},
    {0, "7z\xbc\xaf\x27\x1c"sv, "7z"},
};

bool startsWith(std::string_view text, size_t offset, std::string_view bytes) {
  return text.size() >= offset + bytes.size() && text.substr(offset, bytes.size()) == bytes;
}

// Whether markup opens with one of these, in any letter case, after blanks.
bool opensWith(std::string_view text, std::initializer_list<std::string_view> openings) {
  const size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) {
    return false;
  }
  for (std::string_view opening : openings) {
    if (text.size() - start < opening.size()) {
      continue;
    }
    bool same = true;
    for (size_t i = 0; same && i < opening.size(); ++i) {
      const char c = text[start + i];
      same = (c >= 'A' && c <= 'Z' ? char(c + 32) : c) == opening[i];
    }
    if (same) {
      return true;
    }
  }
  return false;
}

// Printable ASCII, blanks and UTF-8 sequences; a sequence cut by the end of the sample counts.
bool looksLikeText(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f) {
      ++i;
      continue;
    }
    if (c == '\t' || c == '\n' || c == '\r' || c == '\f') {
      ++i;
      continue;
    }
    const size_t length = c >= 0xc2 && c <= 0xdf   ? 2
                          : c >= 0xe0 && c <= 0xef ? 3
                          : c >= 0xf0 && c <= 0xf4 ? 4
                                                   : 0;
    if (length == 0) {
      return false;
    }
    for (size_t k = 1; k < length && i + k < text.size(); ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
        return false;
      }
    }
    i += length;
  }
  return true;
}

}  // namespace

const char* sniffContent(const unsigned char* head, size_t size) {
  if (size == 0) {
    return "empty";
  }
  std::string_view text(reinterpret_cast<const char*>(head), size < SNIFF_SIZE ? size : SNIFF_SIZE);
  if (startsWith(text, 0, "\xef\xbb\xbf"sv)) {  // a UTF-8 byte order mark
    text.remove_prefix(3);
  }
  if (startsWith(text, 0, "RIFF"sv)) {
    return startsWith(text, 8, "WAVE"sv) ? "riff-wave" : "riff";
  }
  for (const Magic& magic : MAGICS) {
    if (startsWith(text, magic.offset, magic.bytes)) {
      return magic.kind;
    }
  }
  if (size >= 2 && (head[0] == 0xff && (head[1] & 0xe0) == 0xe0) && (head[1] & 0x06) != 0) {
    return "mp3";  // an MPEG audio frame without a tag
  }
  if (opensWith(text, {"<!doctype html", "<html", "<head", "<body", "<!--", "<meta", "<title"})) {
    return "html";
  }
  if (opensWith(text, {"<?xml"})) {
    return "xml";
  }
  return looksLikeText(text) ? "text" : "unknown";
}
