// The front end that seqmend and its sibling programs share: options by their first two
// characters, the two file names, the input opened read-only, the output created safely, one
// call of the program's repair, the verdict, the removal of an output not needed, the exit status.
#pragma once

#include <cstdio>

#include "engine.h"

// What one program brings to the shared front end.
struct Program {
  const char* versionBanner;      // one line, without its newline
  const char* defaultOutputName;  // in the current folder
  void (*printUsage)();           // the usage screen, on standard output
  bool takesTracksOnly;           // "-t..." sets g_tracksOnly; otherwise it is an invalid option
  bool hintsAtLineEnds;           // after a repair, point to eolmend when CR LF pairs stand inside
  // Reads in, writes the repaired file to out: REPAIR_CHANGED, REPAIR_UNCHANGED or REPAIR_FAILED.
  int (*repair)(const char* name, FILE* out, FILE* in);
};

// The program entry: the banner when started without arguments, then the command line.
int runProgram(const Program& program, int argc, const char* const argv[]);

// Reads the options (before the file names) and the two names into the run settings, then runs
// the repair. Returns the exit status: 0 when the input was sound or was repaired, 1 otherwise.
int handleProgramCommandLine(const Program& program, int argc, const char* const argv[]);

// Opens the input and creates the output named by the run settings, repairs once, closes both,
// prints the verdict and removes an output that is not needed. Returns the exit status.
int runProgramRepair(const Program& program);
