#include "command_line.h"
int main() { return 0; }
