// The program entry: the banner when started bare, then the command line decides the rest.
#include "command_line.h"

int main(int argc, char* argv[]) {
  if (argc == 1) {
    printVersionBanner();
  }
  return handleCommandLine(argc, argv);
}
