// The program entry of seqmend.
#include "command_line.h"

int main(int argc, char* argv[]) { return runProgram(SEQMEND, argc, argv); }
