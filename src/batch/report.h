// What the batch says about each file: the JSON Lines report, the lines on standard output, the
// progress and the summary.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "findings.h"

// Everything the report says about one input.
struct FileRecord {
  std::string path;
  long long size = -1;             // -1: not opened
  std::string verdict = "failed";  // sound, repaired, failed, crashed, timeout
  int exitStatus = -1;             // seqmend's exit status; -1 when the run did not end with one
  std::string looksLike;           // what a file without MIDI data seems to be; else empty
  int signal = 0;                  // the signal that ended the run; 0 for none
  std::vector<Message> messages;
  long omittedMessages = 0;  // lines past MESSAGE_LIMIT
  size_t keptBytes = 0;      // of the lines in messages, newlines included
  std::string output;        // the copy under DIR; empty for none
  std::vector<std::string> extras;
  double milliseconds = 0;
};

// Bytes of lines kept per file; the lines past them are only counted.
constexpr size_t MESSAGE_LIMIT = 1 << 20;

// Adds a message to the record, or counts it once the record's lines reach MESSAGE_LIMIT.
void addMessage(FileRecord& record, Message message);

// The record as one line of JSON, with its newline.
std::string reportLine(const FileRecord& record);

// The record as bytes and back, to hand it from a process to the batch whole (time aside).
std::string encodeRecord(const FileRecord& record);
bool decodeRecord(std::string_view bytes, FileRecord& record);

// Base64 of bytes (RFC 4648, with padding).
std::string base64(std::string_view bytes);

// Whether bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Writes through a buffer of its own to a file descriptor: with --isolate the runs are forks of
// this process, so nothing of the batch's may sit in a stdio buffer that a run could flush.
class LineSink {
 public:
  explicit LineSink(int fd) : fd_(fd) {}
  ~LineSink() { flush(); }
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  void add(std::string_view text);
  bool flush();  // false once any write failed; errno tells why
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

 private:
  int fd_;
  int error_ = 0;
  std::string buffer_;
};

// The counts of the summary and of the progress line.
class Tally {
 public:
  explicit Tally(long expected) : expected_(expected) {}
  void add(const FileRecord& record);
  // A file that an earlier batch reported, which this one resumes: it counts only for allGood
  // and anyRepaired.
  void addEarlier(const std::string& verdict);
  long done() const { return done_; }
  bool allGood() const;      // every file sound or repaired
  bool anyRepaired() const;  // a file repaired, or found to need it with --check

  // "done/total files, files/s, repaired and failed so far, time left" on one terminal line.
  void printProgress(FILE* stream, double seconds) const;
  // The counts per verdict and per message code.
  void printSummary(FILE* stream, double seconds) const;

 private:
  long expected_;
  long done_ = 0;
  std::map<std::string, long> verdicts_;
  std::map<std::string, long> codes_;
  long earlierBad_ = 0;
  long earlierRepaired_ = 0;
};
