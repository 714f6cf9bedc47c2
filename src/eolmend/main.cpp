// The program entry of eolmend.
#include "eolmend_program.h"

int main(int argc, char* argv[]) { return runProgram(EOLMEND, argc, argv); }
