// What the batch says about a file, message by message: the library's findings rendered to the
// lines seqmend prints, and the batch's own lines, each with its stable code and its values.
#pragma once

#include <string>
#include <vector>

#include "seqmend.h"

// A value of a message: a number, or a text (a file name, a system error's text, a tag).
struct MessageField {
  std::string key;  // "track", "count", "value", "offset", "byte", "signal", "seconds", ...
  bool isNumber = true;
  long long number = 0;
  std::string text;
};

// One line for a file, as seqmend would print it, without its newline (the two lines of the
// line-end hint are one message).
struct Message {
  std::string text;
  std::string code;
  std::vector<MessageField> fields;
};

// A finding of the library for the file named `input`: its line, its code's name and the
// values its line shows, in the order the line shows them.
Message messageOf(const seqmend_finding& finding, const std::string& input);

// The batch's lines: the verdicts and the hint that seqmend prints beside its findings, and the
// reports of files that no repair judged.
Message soundMessage(const std::string& input);                                // "sound"
Message repairedMessage(const std::string& input, const std::string& output);  // "repaired"
Message crlfHintMessage();                                                     // "crlf-hint"
Message unexpectedEndMessage(const std::string& input);  // "unexpected-end-of-file"
// The perror form "name: text", code "system-error".
Message systemErrorMessage(const std::string& name, int error);
Message crashedMessage(const std::string& input, int signal);     // "crashed", signal
Message exitStatusMessage(const std::string& input, int status);  // "crashed", value
Message timeoutMessage(const std::string& input, int seconds);    // "timeout"
Message notRegularMessage(const std::string& input);              // "not-regular-file"
