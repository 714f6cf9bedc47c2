// The table of every line seqmend prints, and the parsing of a run's output against it.
#include "messages.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// Codes are part of the report's schema: a code, once given, is never changed or reused.
const std::vector<MessageFormat> FORMATS = {
    // Verdicts and notes of the front end.
    {"%s is ok.\n", "sound", "N", true},
    {"%s contains errors. Fixed output written to %s\n", "repaired", "NO", true},
    {"if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems\n",
     "crlf-hint", "", true},
    {"%s: file too large\n", "file-too-large", "N", true},
    // Finding the data and the header.
    {"%s: No midi data found.\n", "no-midi-data", "N", true},
    {"%s: not a midifile (missing %s)\n", "not-a-midi-file", "Ng", true},
    {"%s: SNio changed to MThd\n", "snio-header", "N", true},
    {"%s: SONG changed to MThd\n", "song-header", "N", true},
    {"%s: strange midi header changed to MThd\n", "strange-header", "N", true},
    {"%s: invalid version %u changed to 1\n", "invalid-format", "Nv", true},
    {"%s: invalid resolution %u changed to 96\n", "invalid-division", "Nv", true},
    // Chunks.
    {"%s: length of header updated\n", "header-length-updated", "N", true},
    {"%s: length of track %d updated\n", "track-length-updated", "Nt", true},
    {"%s: remove garbage at end of track (%ld byte%s)\n", "garbage-between-tracks", "Ncp", true},
    {"%s: %d track%s missing\n", "tracks-missing", "Ncp", true},
    {"%s: %d new track%s found\n", "new-tracks-found", "Ncp", true},
    {"%s: number of tracks updated: %d\n", "track-count-updated", "Nc", true},
    {"%s: wrong midi type %d used together with %d tracks\n", "format-0-several-tracks", "Nvc",
     true},
    {"%s: midi type updated: %d\n", "format-updated", "Nv", true},
    // Behind the data.
    {"%s: remove garbage at end of midi (%ld byte%s)\n", "trailing-garbage", "Ncp", true},
    {"%s: Extra midi file found. Written to %s\n", "extra-file", "NF", true},
    // Events.
    {"%s: removing incomplete midi command at %08lX\n", "incomplete-event", "No", true},
    {"%s: removing invalid midi command at %08lX\n", "invalid-event", "No", true},
    {"%s: removing invalid command %02X at %08lX\n", "invalid-status", "Nbo", true},
    {"%s: removing invalid note command at %08lX\n", "invalid-note", "No", true},
    {"%s: invalid control value used at %08lX\n", "invalid-control-value", "No", true},
    {"%s: invalid program number changed at %08lX\n", "invalid-program", "No", true},
    {"%s: invalid aftertouch command changed at %08lX\n", "invalid-aftertouch", "No", true},
    {"%s: remove incomplete sysex command\n", "incomplete-sysex", "N", true},
    {"%s: Warning - %ld bytes lost.\n", "bytes-lost", "Nc", true},
    {"%s: Missing end of track added.\n", "end-of-track-added", "N", true},
    // Warnings.
    {"%s: Warning - format 1 track contains different channel commands\n", "mixed-channels", "N",
     true},
    {"%s: Warning - sysex contains byte out of range %02X\"\n", "sysex-byte-out-of-range", "Nb",
     true},
    {"%s: Warning - pause might be too small after \"GM ON sysex\"\n", "gm-on-pause", "N", true},
    // Failures.
    {"%s: unexpected end of file\n", "unexpected-end-of-file", "N", true},
    // seqmend-batch's own reports, for files that no run judged.
    {"%s: run ended by signal %d\n", "crashed", "NS", true},
    {"%s: run ended with exit status %d\n", "crashed", "Nv", true},
    {"%s: no verdict after %d s; run stopped\n", "timeout", "NT", true},
    {"%s: not a regular file\n", "not-regular-file", "N", true},
    // The system error report of any file; last, since it matches any "name: text".
    {"%s: %s\n", "system-error", "FE", true},
    // seqmend's command line: never printed for a file by a batch.
    {"%s\n", "version", "-", false},
    {"This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command line.\n",
     "usage", "", false},
    {"seqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\n", "usage", "",
     false},
    {"usage: seqmend [-tracksonly] filename.mid [result.mid]\n", "usage", "", false},
    {"-tracksonly\tcheck and repair only track headers\n", "usage", "", false},
    {"if output filename is not given and changes are necessary then\n", "usage", "", false},
    {"output will be written to seqmend.mid\n", "usage", "", false},
    {"Invalid option %s.\n", "invalid-option", "-", false},
    {"Cannot write to %s. Must specify alternate outputname!\n", "same-name", "-", false},
    {"Cannot change input file. Write output to %s!\n", "same-name", "-", false},
};

const MessageFormat& findFormat(const char* format) {
  for (const MessageFormat& kind : FORMATS) {
    if (std::strcmp(kind.format, format) == 0) {
      return kind;
    }
  }
  return FORMATS.back();  // not reached: every caller names a format of the table
}

const char* fieldKey(char letter) {
  switch (letter) {
    case 't':
      return "track";
    case 'c':
      return "count";
    case 'v':
      return "value";
    case 'o':
      return "offset";
    case 'b':
      return "byte";
    case 'S':
      return "signal";
    case 'T':
      return "seconds";
    case 'F':
      return "file";
    case 'E':
      return "error";
    case 'g':
      return "tag";
    default:
      return nullptr;  // N, O, p: known or implied, not kept
  }
}

// One conversion of a format: its letter ('s', 'd', 'u', 'X') and where the format goes on.
struct Conversion {
  char type;
  const char* next;
};

Conversion readConversion(const char* percent) {
  const char* c = percent + 1;
  while (*c == '0' || (*c >= '1' && *c <= '9') || *c == 'l') {
    ++c;
  }
  return {*c, c + 1};
}

bool isDigitOf(char c, int base) {
  return (c >= '0' && c <= '9') || (base == 16 && c >= 'A' && c <= 'F');
}

// Matches the output from `at` against the format, each conversion taking the next letter; the
// values go to fields and `end` to just past the match. On a miss, fields are as they were.
// Only the names may hold a newline.
bool matchFrom(const char* format, const char* letters, std::string_view text, size_t at,
               const MessageNames& names, std::vector<MessageField>& fields, size_t& end) {
  for (; *format != '\0'; ++format, ++at) {
    if (*format != '%') {
      if (at >= text.size() || text[at] != *format) {
        return false;
      }
      continue;
    }
    const Conversion conversion = readConversion(format);
    const char letter = *letters++;
    const size_t keep = fields.size();
    const std::string_view rest = text.substr(at);
    if (conversion.type == 's') {
      // The texts this conversion may stand for, in the order they are tried.
      std::vector<std::string_view> candidates;
      if (letter == 'N' || letter == 'O' || letter == 'F') {
        for (std::string_view name : {names.input, names.output}) {
          if ((letter == 'F' || name == (letter == 'N' ? names.input : names.output)) &&
              !name.empty() && rest.starts_with(name)) {
            candidates.push_back(name);
          }
        }
      }
      if (letter == 'p') {
        candidates = {rest.substr(0, rest.starts_with('s') ? 1 : 0), rest.substr(0, 0)};
      } else if (letter != 'N' && letter != 'O') {
        // Free text up to the line's end, the longest first: a name may hold ": ".
        for (size_t length = std::min(rest.find('\n'), rest.size()) + 1; length-- > 0;) {
          candidates.push_back(rest.substr(0, length));
        }
      }
      for (std::string_view candidate : candidates) {
        const char* key = fieldKey(letter);
        if (key != nullptr) {
          fields.push_back({key, false, 0, std::string(candidate)});
        }
        if (matchFrom(conversion.next, letters, text, at + candidate.size(), names, fields, end)) {
          return true;
        }
        fields.resize(keep);
      }
      return false;
    }
    const int base = conversion.type == 'X' ? 16 : 10;
    const size_t start = at;
    if (conversion.type == 'd' && at < text.size() && text[at] == '-') {
      ++at;
    }
    long long number = 0;
    for (; at < text.size() && isDigitOf(text[at], base) && number < (1LL << 56); ++at) {
      number = number * base + (text[at] <= '9' ? text[at] - '0' : text[at] - 'A' + 10);
    }
    if (at == start || !isDigitOf(text[at - 1], base)) {
      return false;
    }
    fields.push_back({fieldKey(letter), true, text[start] == '-' ? -number : number, {}});
    format = conversion.next - 1;
    --at;  // the loop steps past the conversion
  }
  end = at;
  return true;
}

}  // namespace

const std::vector<MessageFormat>& messageFormats() { return FORMATS; }

const MessageFormat& CRASHED_FORMAT = findFormat("%s: run ended by signal %d\n");
const MessageFormat& EXIT_STATUS_FORMAT = findFormat("%s: run ended with exit status %d\n");
const MessageFormat& TIMEOUT_FORMAT = findFormat("%s: no verdict after %d s; run stopped\n");
const MessageFormat& NOT_REGULAR_FORMAT = findFormat("%s: not a regular file\n");
const MessageFormat& SYSTEM_ERROR_FORMAT = findFormat("%s: %s\n");

std::vector<Message> parseMessages(std::string_view output, const MessageNames& names) {
  std::vector<Message> messages;
  for (size_t at = 0; at < output.size();) {
    Message message;
    size_t end = 0;
    for (const MessageFormat& kind : FORMATS) {
      if (kind.perFile &&
          matchFrom(kind.format, kind.fields, output, at, names, message.fields, end)) {
        message.kind = &kind;
        break;
      }
    }
    if (message.kind == nullptr) {
      end = std::min(output.find('\n', at), output.size() - 1) + 1;
    }
    message.text = output.substr(at, end - at - (output[end - 1] == '\n' ? 1 : 0));
    messages.push_back(std::move(message));
    at = end;
  }
  return messages;
}

std::string formatMessage(const MessageFormat& kind, const MessageNames& names,
                          const std::vector<MessageField>& fields) {
  std::string text;
  const char* letters = kind.fields;
  size_t next = 0;
  long long lastCount = 0;
  for (const char* c = kind.format; *c != '\0'; ++c) {
    if (*c != '%') {
      text += *c;
      continue;
    }
    const Conversion conversion = readConversion(c);
    const char letter = *letters++;
    if (letter == 'N' || letter == 'O') {
      text += letter == 'N' ? names.input : names.output;
    } else if (letter == 'p') {
      text += lastCount == 1 ? "" : "s";
    } else if (next < fields.size()) {
      const MessageField& field = fields[next++];
      if (!field.isNumber) {
        text += field.text;
      } else if (conversion.type == 'X') {
        char hex[32];
        if (std::strncmp(c, "%08", 3) == 0) {
          std::snprintf(hex, sizeof hex, "%08llX", field.number);
        } else {
          std::snprintf(hex, sizeof hex, "%02llX", field.number);
        }
        text += hex;
      } else {
        text += std::to_string(field.number);
        lastCount = field.number;
      }
    }
    c = conversion.next - 1;
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}
