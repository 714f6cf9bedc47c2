// eolmend's own part of the front end: its banner, its usage screen and its repair.
#include "eolmend_program.h"

#include <cstdio>

namespace {

void printUsage() {
  std::printf("eolmend undoes the damage a text-mode transfer did to a Standard MIDI File.\n\n");
  std::printf("usage: eolmend [-quiet] [-version] filename.mid [result.mid]\n");
  std::printf("-quiet\tdo not report a file that is sound\n");
  std::printf("-version\tprint the version\n");
  std::printf("if output filename is not given and changes are necessary then\n");
  std::printf("output will be written to eolmend.mid\n");
}

}  // namespace

const Program EOLMEND = {
    "eolmend v" SEQMEND_PROGRAM_VERSION " (" SEQMEND_BUILD_DATE ")",
    EOLMEND_OUTPUT_NAME,
    printUsage,
    false,
    false,
    seqmend_restore_stream,
};
