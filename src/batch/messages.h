// The lines a run of seqmend prints, each known by a stable code with its numbers parsed out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One kind of line: its printf format as the program prints it, a stable code for the report,
// and one letter per conversion saying what it holds:
//   N  the input name         O  the output name       p  the plural ending of a count
//   t  track                  c  count                 v  value
//   o  offset (hexadecimal)   b  byte (hexadecimal)    S  signal     T  seconds
//   F  file name              E  system error text     g  chunk tag
// A format of several lines matches as many consecutive lines.
struct MessageFormat {
  const char* format;
  const char* code;
  const char* fields;
  bool perFile;  // printed for a file; the others belong to seqmend's own command line
};

// Every message format of seqmend and of seqmend-batch's own file reports, most specific first.
const std::vector<MessageFormat>& messageFormats();

// The formats seqmend-batch itself uses for a file that no run could judge.
extern const MessageFormat& CRASHED_FORMAT;       // "%s: run ended by signal %d\n"
extern const MessageFormat& EXIT_STATUS_FORMAT;   // "%s: run ended with exit status %d\n"
extern const MessageFormat& TIMEOUT_FORMAT;       // "%s: no verdict after %d s; run stopped\n"
extern const MessageFormat& NOT_REGULAR_FORMAT;   // "%s: not a regular file\n"
extern const MessageFormat& SYSTEM_ERROR_FORMAT;  // "%s: %s\n", the perror form

// A value parsed out of a line: a number, or text for the F and E letters.
struct MessageField {
  const char* key;  // "track", "count", "value", "offset", "byte", "signal", "seconds", ...
  bool isNumber = true;
  long long number = 0;
  std::string text;
};

// One line of a run, with its kind (null when no format matches) and its values.
struct Message {
  std::string text;  // without the newline; the lines of a multi-line format joined by "\n"
  const MessageFormat* kind = nullptr;
  std::vector<MessageField> fields;
};

// The names a run puts into its lines.
struct MessageNames {
  std::string_view input;
  std::string_view output;
};

// Splits a run's output into messages; a last line without a newline counts as one.
std::vector<Message> parseMessages(std::string_view output, const MessageNames& names);

// The line a format gives with these values: the format's own text with each conversion
// replaced, N and O by the names and p by the ending that the preceding count takes.
std::string formatMessage(const MessageFormat& kind, const MessageNames& names,
                          const std::vector<MessageField>& fields);

// The code of a message, "unknown" for a line that no format matches.
inline const char* messageCode(const Message& message) {
  return message.kind != nullptr ? message.kind->code : "unknown";
}
