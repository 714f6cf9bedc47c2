// seqmend's own part of the front end: its banner, its usage screen and its repair.
#include "command_line.h"

#include <cstdio>

namespace {

void printUsage() {
  std::printf(
      "This program is a Win32 DOS commandline utility.\nIt requires knowledge in using DOS command line.\n");
  std::printf("seqmend checks a Standard MIDI File for damage and writes a repaired copy.\n\n");
  std::printf("usage: seqmend [-tracksonly] filename.mid [result.mid]\n");
  std::printf("-tracksonly\tcheck and repair only track headers\n");
  std::printf("if output filename is not given and changes are necessary then\n");
  std::printf("output will be written to seqmend.mid\n");
}

}  // namespace

const Program SEQMEND = {
    "seqmend v" SEQMEND_PROGRAM_VERSION " (" SEQMEND_BUILD_DATE ")",
    DEFAULT_OUTPUT_NAME,
    printUsage,
    true,
    true,
    seqmend_repair_stream,
};

int handleCommandLine(int argc, const char* const argv[]) {
  return handleProgramCommandLine(SEQMEND, argc, argv);
}

int runRepair() { return runProgramRepair(SEQMEND); }
