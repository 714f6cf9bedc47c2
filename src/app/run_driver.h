// The front end that seqmend and its sibling programs share: options by their first two
// characters, the two file names, the input opened read-only, the output created safely, one
// call of the library, its findings printed, the verdict, the removal of an output not needed,
// the exit status.
#pragma once

#include <cstdint>
#include <cstdio>

#include "seqmend.h"

// The run settings: set only while the command line is read, then only read.
extern const char* g_inputName;   // as typed; prefix of every message, name in most error reports
extern const char* g_outputName;  // the output name, or the program's default
extern int g_tracksOnly;          // copy each track's events unchanged
extern int g_normalize;           // write the normal form
extern int g_quiet;               // suppress the "is ok" verdict

// What one program brings to the shared front end.
struct Program {
  const char* versionBanner;      // one line, without its newline
  const char* defaultOutputName;  // in the current folder
  void (*printUsage)();           // the usage screen, on standard output
  // "-t..." sets g_tracksOnly and "-n..." g_normalize; otherwise they are invalid options.
  bool takesRepairOptions;
  bool hintsAtLineEnds;  // after a repair, point to eolmend when CR LF pairs stand inside
  // The library's repair from the input to the output (seqmend_repair_stream, ...).
  int (*repair)(seqmend_context* context, const seqmend_options* options,
                const seqmend_reader* input, const seqmend_writer* output, seqmend_result* result);
};

// The program entry: the banner when started without arguments, then the command line.
int runProgram(const Program& program, int argc, const char* const argv[]);

// Reads the options (before the file names) and the two names into the run settings, then runs
// the repair. Returns the exit status: 0 when the input was sound or was repaired, 1 otherwise.
int handleProgramCommandLine(const Program& program, int argc, const char* const argv[]);

// Repairs in (inputSize bytes) into out with the program's repair, printing every finding and
// writing the extra files into the current folder; a failure is reported under the name of the
// file that failed. The result's verdict is returned.
int repairOpenFiles(const Program& program, FILE* in, int64_t inputSize, FILE* out,
                    seqmend_result& result);

// Opens the input and creates the output named by the run settings, repairs once, closes both,
// prints the verdict and removes an output that is not needed. Returns the exit status.
int runProgramRepair(const Program& program);
