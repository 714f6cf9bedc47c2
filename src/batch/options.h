// seqmend-batch's command line: GNU-style options and the PATHs to walk.
#pragma once

#include <string>
#include <vector>

struct BatchOptions {
  std::vector<std::string> paths;
  std::string outDir;  // --out; empty with --check
  bool check = false;
  std::string report;       // --report: empty for none, "-" for standard output
  int jobs = 0;             // files at a time; 0 until settled
  int timeoutSeconds = 60;  // per file with isolate; 0 for no limit
  bool isolate = false;     // a process per file rather than threads of this one
  bool resume = false;      // skip the files the report holds, and append to it
  bool failOnRepair = false;
  bool tracksOnly = false;
  bool normalize = false;
  bool allFiles = false;
  bool copySound = false;
  bool quiet = false;  // no "is ok." lines on standard output
};

// Reads the options and PATHs. Returns -1 when the batch is to run, otherwise the exit status:
// 0 after --help or --version, 2 after a usage error (reported on standard error).
int parseOptions(int argc, char* argv[], BatchOptions& options);
