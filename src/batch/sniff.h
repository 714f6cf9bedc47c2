// What a file without MIDI data seems to be, told by its first bytes: collections gathered from
// the web hold many pages, sounds and archives under MIDI names.
#pragma once

#include <cstddef>

// Bytes enough for every kind below.
constexpr size_t SNIFF_SIZE = 512;

// "empty", "html", "xml", "riff-wave", "riff", "zip", "gzip", "pdf", "png", "jpeg", "gif", "mp3",
// "ogg", "flac", "rar", "7z", "text", or "unknown", from the first bytes of a file (up to
// SNIFF_SIZE of them; `size` is the whole file's size when it is smaller).
const char* sniffContent(const unsigned char* head, size_t size);
