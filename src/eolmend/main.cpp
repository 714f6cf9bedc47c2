// The program entry of eolmend.
#include "eolmend_program.h"
#include "platform.h"

int main(int argc, char* argv[]) {
  const char* const* arguments = startProgram(argc, argv);
  return runProgram(EOLMEND, argc, arguments);
}
