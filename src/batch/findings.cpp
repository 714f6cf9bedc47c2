// Findings as the report's messages: the library renders each line and names each code; which
// values a line shows is kept here, so that the report's keys stay what they have always been.
#include "findings.h"

#include <cstring>
#include <string_view>

namespace {

// The values a code's line shows, in the order it shows them: t track, v value, b byte,
// o offset, c count, g tag, F file. A code not listed here shows every value it carries.
struct CodeValues {
  int code;
  const char* letters;
};
constexpr CodeValues CODE_VALUES[] = {
    {SEQMEND_FILE_TOO_LARGE, ""},
    {SEQMEND_NO_MIDI_DATA, ""},
    {SEQMEND_NOT_A_MIDI_FILE, "g"},
    {SEQMEND_SNIO_HEADER, ""},
    {SEQMEND_SONG_HEADER, ""},
    {SEQMEND_STRANGE_HEADER, ""},
    {SEQMEND_INVALID_FORMAT, "v"},
    {SEQMEND_INVALID_DIVISION, "v"},
    {SEQMEND_HEADER_LENGTH_UPDATED, ""},
    {SEQMEND_TRACK_LENGTH_UPDATED, "t"},
    {SEQMEND_GARBAGE_BETWEEN_TRACKS, "c"},
    {SEQMEND_TRACKS_MISSING, "c"},
    {SEQMEND_NEW_TRACKS_FOUND, "c"},
    {SEQMEND_TRACK_COUNT_UPDATED, "c"},
    {SEQMEND_FORMAT_0_SEVERAL_TRACKS, "vc"},
    {SEQMEND_FORMAT_UPDATED, "v"},
    {SEQMEND_TRAILING_GARBAGE, "c"},
    {SEQMEND_EXTRA_FILE, "F"},
    {SEQMEND_INCOMPLETE_EVENT, "o"},
    {SEQMEND_INVALID_EVENT, "o"},
    {SEQMEND_INVALID_STATUS, "bo"},
    {SEQMEND_INVALID_NOTE, "o"},
    {SEQMEND_INVALID_CONTROL_VALUE, "o"},
    {SEQMEND_INVALID_PROGRAM, "o"},
    {SEQMEND_INVALID_AFTERTOUCH, "o"},
    {SEQMEND_INCOMPLETE_SYSEX, ""},
    {SEQMEND_BYTES_LOST, "c"},
    {SEQMEND_END_OF_TRACK_ADDED, ""},
    {SEQMEND_MIXED_CHANNELS, ""},
    {SEQMEND_SYSEX_BYTE_OUT_OF_RANGE, "b"},
    {SEQMEND_GM_ON_PAUSE, ""},
};

const char* lettersOf(int code) {
  for (const CodeValues& entry : CODE_VALUES) {
    if (entry.code == code) {
      return entry.letters;
    }
  }
  return nullptr;
}

MessageField number(const char* key, long long value) { return {key, true, value, {}}; }
MessageField text(const char* key, std::string value) { return {key, false, 0, std::move(value)}; }

void addField(Message& message, char letter, const seqmend_finding& finding) {
  switch (letter) {
    case 't':
      message.fields.push_back(number("track", finding.track));
      break;
    case 'v':
      message.fields.push_back(number("value", finding.value));
      break;
    case 'b':
      message.fields.push_back(number("byte", finding.byte));
      break;
    case 'o':
      message.fields.push_back(number("offset", finding.offset));
      break;
    case 'c':
      message.fields.push_back(number("count", finding.count));
      break;
    case 'g':
      message.fields.push_back(text("tag", finding.tag));
      break;
    case 'F':
      message.fields.push_back(text("file", finding.file));
      break;
    default:
      break;
  }
}

// Whether a finding carries the value of a letter: numbers other than -1, texts not empty.
bool carries(char letter, const seqmend_finding& finding) {
  switch (letter) {
    case 't':
      return finding.track >= 0;
    case 'v':
      return finding.value != -1;
    case 'b':
      return finding.byte != -1;
    case 'o':
      return finding.offset != -1;
    case 'c':
      return finding.count != -1;
    case 'g':
      return finding.tag[0] != '\0';
    case 'F':
      return finding.file[0] != '\0';
    default:
      return false;
  }
}

Message plain(std::string line, const char* code) { return {std::move(line), code, {}}; }

}  // namespace

Message messageOf(const seqmend_finding& finding, const std::string& input) {
  Message message;
  char buffer[256];
  const size_t length = seqmend_render(&finding, input.c_str(), buffer, sizeof buffer);
  if (length < sizeof buffer) {
    message.text.assign(buffer, length);
  } else {  // a long name
    message.text.resize(length + 1);
    seqmend_render(&finding, input.c_str(), message.text.data(), length + 1);
    message.text.resize(length);
  }
  if (!message.text.empty() && message.text.back() == '\n') {
    message.text.pop_back();
  }
  const char* name = seqmend_code_name(finding.code);
  message.code = name != nullptr ? name : "unknown";
  const char* letters = lettersOf(finding.code);
  for (const char letter : std::string_view(letters != nullptr ? letters : "tvbocgF")) {
    if (letters != nullptr || carries(letter, finding)) {
      addField(message, letter, finding);
    }
  }
  return message;
}

Message soundMessage(const std::string& input) { return plain(input + " is ok.", "sound"); }

Message repairedMessage(const std::string& input, const std::string& output) {
  return plain(input + " contains errors. Fixed output written to " + output, "repaired");
}

Message crlfHintMessage() {
  return plain(
      "if the results are not sufficient then try eolmend,\nbecause this file might contain cr/lf problems",
      "crlf-hint");
}

Message unexpectedEndMessage(const std::string& input) {
  return plain(input + ": unexpected end of file", "unexpected-end-of-file");
}

Message systemErrorMessage(const std::string& name, int error) {
  const std::string reason = std::strerror(error);
  return {name + ": " + reason, "system-error", {text("file", name), text("error", reason)}};
}

Message crashedMessage(const std::string& input, int signal) {
  return {input + ": run ended by signal " + std::to_string(signal),
          "crashed",
          {number("signal", signal)}};
}

Message exitStatusMessage(const std::string& input, int status) {
  return {input + ": run ended with exit status " + std::to_string(status),
          "crashed",
          {number("value", status)}};
}

Message timeoutMessage(const std::string& input, int seconds) {
  return {input + ": no verdict after " + std::to_string(seconds) + " s; run stopped",
          "timeout",
          {number("seconds", seconds)}};
}

Message notRegularMessage(const std::string& input) {
  return plain(input + ": not a regular file", "not-regular-file");
}
