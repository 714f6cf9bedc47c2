// The program entry of seqmend.
#include "command_line.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  const char* const* arguments = startProgram(argc, argv);
  return runProgram(SEQMEND, argc, arguments);
}
