// seqmend-batch's options, read with getopt_long: long options, their short forms, "--".
#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "files.h"

namespace {

constexpr char USAGE[] =
    "usage: seqmend-batch [options] (--out DIR | --check) PATH...\n"
    "Checks every MIDI file under each PATH as seqmend does, several files at a time, and\n"
    "writes the repaired copies under DIR.\n"
    "\n"
    "  -o, --out DIR        write repaired copies under DIR, mirroring each PATH's tree\n"
    "  -c, --check          write nothing; report only\n"
    "  -r, --report FILE    a JSON Lines report, one object per file (- for standard output)\n"
    "  -j, --jobs N         files treated at a time (default: the number of processors)\n"
    "      --isolate        treat each file in a process of its own, so that a crash or a\n"
    "                       hang costs only that file\n"
    "  -t, --timeout SECS   with --isolate, stop a file's run after SECS seconds (default 60,\n"
    "                       0 for none)\n"
    "      --resume         skip the files the --report FILE holds already; append to it\n"
    "      --fail-on-repair exit with 1 when any file is repaired (or would be, with --check)\n"
    "      --tracks-only    check and repair only the chunk structure (seqmend -tracksonly)\n"
    "      --normalize      write the normal form, which strict readers load (seqmend -normalize)\n"
    "  -a, --all-files      take every regular file, not only *.mid *.midi *.kar *.rmi *.smf\n"
    "      --copy-sound     also place the sound files under DIR (hard link, else copy)\n"
    "  -q, --quiet          leave the \"is ok.\" lines out of standard output\n"
    "  -h, --help           print this help and exit\n"
    "  -V, --version        print the version and exit\n"
    "\n"
    "Exit status: 0 when every file is sound or repaired, 1 when any failed, crashed or timed\n"
    "out (or was repaired, with --fail-on-repair), 2 for a usage error.\n";

enum LongOnly { TRACKS_ONLY = 256, COPY_SOUND, ISOLATE, RESUME, FAIL_ON_REPAIR, NORMALIZE };

const struct option LONG_OPTIONS[] = {
    {"out", required_argument, nullptr, 'o'},
    {"check", no_argument, nullptr, 'c'},
    {"report", required_argument, nullptr, 'r'},
    {"jobs", required_argument, nullptr, 'j'},
    {"timeout", required_argument, nullptr, 't'},
    {"tracks-only", no_argument, nullptr, TRACKS_ONLY},
    {"normalize", no_argument, nullptr, NORMALIZE},
    {"all-files", no_argument, nullptr, 'a'},
    {"copy-sound", no_argument, nullptr, COPY_SOUND},
    {"quiet", no_argument, nullptr, 'q'},
    {"isolate", no_argument, nullptr, ISOLATE},
    {"resume", no_argument, nullptr, RESUME},
    {"fail-on-repair", no_argument, nullptr, FAIL_ON_REPAIR},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// A whole decimal number from min to max, or -1.
int readCount(const char* text, int min, int max) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
    return -1;
  }
  return int(value);
}

int usageError(const char* text, const char* argument) {
  std::fprintf(stderr, "seqmend-batch: %s%s\n", text, argument);
  std::fprintf(stderr, "Try 'seqmend-batch --help' for more information.\n");
  return 2;
}

}  // namespace

int parseOptions(int argc, char* argv[], BatchOptions& options) {
  opterr = 0;  // the messages below say the same in this program's words
  for (int option;
       (option = getopt_long(argc, argv, ":o:cr:j:t:aqhV", LONG_OPTIONS, nullptr)) != -1;) {
    switch (option) {
      case 'o':
        options.outDir = optarg;
        break;
      case 'c':
        options.check = true;
        break;
      case 'r':
        options.report = optarg;
        break;
      case 'j':
        options.jobs = readCount(optarg, 1, 1024);
        if (options.jobs < 0) {
          return usageError("--jobs takes a number from 1 to 1024: ", optarg);
        }
        break;
      case 't':
        options.timeoutSeconds = readCount(optarg, 0, INT_MAX / 1000);
        if (options.timeoutSeconds < 0) {
          return usageError("--timeout takes a number of seconds: ", optarg);
        }
        break;
      case TRACKS_ONLY:
        options.tracksOnly = true;
        break;
      case NORMALIZE:
        options.normalize = true;
        break;
      case 'a':
        options.allFiles = true;
        break;
      case COPY_SOUND:
        options.copySound = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case ISOLATE:
        options.isolate = true;
        break;
      case RESUME:
        options.resume = true;
        break;
      case FAIL_ON_REPAIR:
        options.failOnRepair = true;
        break;
      case 'h':
        std::fputs(USAGE, stdout);
        return 0;
      case 'V':
        std::printf("seqmend-batch %s\n", SEQMEND_VERSION);
        return 0;
      case ':':
        return usageError("option needs a value: ", argv[optind - 1]);
      default: {
        const char shortName[3] = {'-', char(optopt), '\0'};
        return usageError("unknown option: ", optopt != 0 ? shortName : argv[optind - 1]);
      }
    }
  }
  options.paths.assign(argv + optind, argv + argc);
  if (options.paths.empty()) {
    return usageError("no PATH given", "");
  }
  if (options.check == !options.outDir.empty()) {
    return usageError("give either --out DIR or --check", "");
  }
  if (options.copySound && options.check) {
    return usageError("--copy-sound needs --out", "");
  }
  if (options.resume && (options.report.empty() || options.report == "-")) {
    return usageError("--resume needs --report FILE", "");
  }
#ifdef _WIN32
  if (options.isolate) {
    return usageError("--isolate is not available on Windows", "");
  }
#endif
  if (options.jobs == 0) {
    options.jobs = processorCount();
  }
  return -1;
}
