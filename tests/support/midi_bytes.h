// Readable builders for MIDI test inputs: chunks and events as byte vectors that concatenate.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes& operator+=(Bytes& a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes operator+(Bytes a, const Bytes& b) { return a += b; }

// The characters of a text as bytes, without a terminator.
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes uint32BE(uint32_t v) {
  return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

inline Bytes uint16BE(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }

// Bytes written as hex pairs, blanks between them ignored: hex("00 90 3C 40").
inline Bytes hex(const std::string& pairs) {
  Bytes bytes;
  for (size_t i = pairs.find_first_not_of(' '); i != std::string::npos;
       i = pairs.find_first_not_of(' ', i + 2)) {
    bytes.push_back(uint8_t(std::stoi(pairs.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A variable-length quantity in its shortest form.
inline Bytes varLen(uint32_t value) {
  Bytes bytes = {uint8_t(value & 0x7F)};
  while (value >>= 7) {
    bytes.insert(bytes.begin(), uint8_t(0x80 | (value & 0x7F)));
  }
  return bytes;
}

// n copies of one byte.
inline Bytes repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }

// n copies of a byte sequence or a text, one after another.
template <typename T>
T times(const T& part, size_t n) {
  T all;
  while (n-- > 0) {
    all += part;
  }
  return all;
}

// A chunk whose length field says `length`, whatever the body holds.
inline Bytes chunkWithLength(const std::string& tag, uint32_t length, const Bytes& body) {
  return text(tag) + uint32BE(length) + body;
}

// A chunk whose length field is right.
inline Bytes chunk(const std::string& tag, const Bytes& body) {
  return chunkWithLength(tag, uint32_t(body.size()), body);
}

inline Bytes smfHeader(uint16_t format, uint16_t tracks, uint16_t division) {
  return chunk("MThd", uint16BE(format) + uint16BE(tracks) + uint16BE(division));
}

inline Bytes trackChunk(const Bytes& events) { return chunk("MTrk", events); }

// Delta time 0, end of track.
inline const Bytes END_OF_TRACK = {0x00, 0xFF, 0x2F, 0x00};

inline Bytes noteOn(uint8_t delta, uint8_t channel, uint8_t key, uint8_t velocity) {
  return {delta, uint8_t(0x90 | channel), key, velocity};
}

// A text meta event (type 01) with a one-byte length.
inline Bytes textEvent(uint8_t delta, const std::string& s) {
  return Bytes{delta, 0xFF, 0x01, uint8_t(s.size())} + text(s);
}

// A sound track of n note pairs on channel 0, ending with an end of track.
inline Bytes soundTrackEvents(int notes) {
  Bytes events;
  for (int i = 0; i < notes; ++i) {
    const uint8_t key = uint8_t(0x3C + i % 12);
    events += Bytes{0x00, 0x90, key, 0x40, 0x60, 0x80, key, 0x00};
  }
  return events + END_OF_TRACK;
}
