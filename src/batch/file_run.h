// The run of one file, in a process of its own: seqmend's treatment of the file with the path
// as its name, its lines on the process's standard output, its results placed under DIR.
#pragma once

#include <string>

// What a run is given: the file, and where its results go below DIR.
struct FileJob {
  std::string path;      // the input's name in every line, as seqmend would be given it
  std::string relative;  // the copy's path below DIR
};

// The same for every run of a batch.
struct RunSetup {
  bool check = false;  // nothing is kept: the copy goes to /dev/null, extra files are removed
  bool tracksOnly = false;
  bool copySound = false;
  int outFd = -1;       // DIR, open; -1 with check
  std::string outName;  // DIR as given, without a trailing slash
};

// What a run tells beside its lines, through memory it shares with the batch.
struct FileRunResult {
  long long size = -1;  // of the input as opened; -1 until it is
  bool outputPlaced = false;
  int extrasPlaced = 0;
};

// Exit statuses of a run. A failed run exits with 1, as seqmend does.
constexpr int RUN_SOUND = 10;
constexpr int RUN_REPAIRED = 11;
constexpr int RUN_FAILED = 1;

// The name a run gives its copy in its verdict line and in the report: DIR/relative, or
// /dev/null with check, where seqmend would give the same lines with /dev/null as its output.
std::string outputNameOf(const RunSetup& setup, const std::string& relative);

// Where the n-th extra MIDI file found behind a file goes: beside its copy, as NAME.extraN.mid.
std::string extraNameOf(const RunSetup& setup, const std::string& relative, int n);

// Runs seqmend's treatment of one file with the current folder set to `scratchFd`, where the
// engine writes its extra files, then moves what is kept under DIR and exits: RUN_SOUND,
// RUN_REPAIRED or RUN_FAILED. Standard output and standard error must be where the lines go.
// SEQMEND_BATCH_TEST_HOOK, read only here, lets tests make a run crash ("crash:NAME"), hang
// ("hang:NAME") or wait before it opens its file ("delay:MILLISECONDS"); NAME is a file name.
[[noreturn]] void runFile(const FileJob& job, const RunSetup& setup, int scratchFd,
                          FileRunResult& result);
