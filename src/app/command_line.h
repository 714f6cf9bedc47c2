// The front end of seqmend: its options, names and verdict, on the shared run driver.
#pragma once

#include "run_driver.h"

// The default output name, and the one name an input may never have without an output name.
constexpr const char* DEFAULT_OUTPUT_NAME = "seqmend.mid";

// seqmend as the shared front end runs it.
extern const Program SEQMEND;

// Reads the options (before the file names) and the two names into the run settings, then runs
// the repair. Returns the exit status: 0 when the input was sound or was repaired, 1 otherwise.
int handleCommandLine(int argc, const char* const argv[]);

// Opens the input and creates the output named by the run settings, repairs once, closes both,
// prints the verdict and removes an output that is not needed. Returns the exit status.
int runRepair();
