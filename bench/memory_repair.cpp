// Times the library's repair from memory to memory: the input read into memory first, then
// repaired RUNS times in one context, as a program linking libseqmend repairs a buffer. Prints
// the median milliseconds of one repair.
//
// usage: memory_repair FILE [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "seqmend.h"

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: memory_repair FILE [RUNS]\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<char> input((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  seqmend_context* context = seqmend_context_new();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    seqmend_repair_memory(context, nullptr, input.data(), input.size(), nullptr);
    times.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  seqmend_context_free(context);
  std::sort(times.begin(), times.end());
  std::printf("%.0f\n", times[times.size() / 2]);
  return 0;
}
