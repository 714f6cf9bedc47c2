// The front end of seqmend: options and file names, the two open files, the verdict.
#pragma once

#include "engine.h"

// The default output name, and the one name an input may never have without an output name.
constexpr const char* DEFAULT_OUTPUT_NAME = "seqmend.mid";

// Prints "seqmend v1.15 (Mmm d yyyy)" with the build date on standard output.
void printVersionBanner();

// Reads the options (before the file names) and the two names into the run settings, then runs
// the repair. Returns the exit status: 0 when the input was sound or was repaired, 1 otherwise.
int handleCommandLine(int argc, const char* const argv[]);

// Opens the input and creates the output named by the run settings, repairs once, closes both,
// prints the verdict and removes an output that is not needed. Returns the exit status.
int runRepair();
