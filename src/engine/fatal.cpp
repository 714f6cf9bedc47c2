// failStream: the one place that ends the process, after a stream failure mid-repair.
#include <cstdio>
#include <cstdlib>

#include "engine.h"

void failStream(const char* name, const char* text) {
  if (text != nullptr) {
    std::fprintf(stderr, "%s: %s\n", name, text);
  } else {
    std::perror(name);
  }
  std::exit(1);
}
