// The C interface of the library: contexts, the repairs from memory and from streams, the
// undoing of text-mode damage, and the findings' names and lines.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>

#include "engine.h"
#include "seqmend.h"

struct seqmend_context {
  RepairBuffers* buffers = nullptr;
  std::vector<unsigned char> output;
  std::vector<seqmend_finding> findings;
  std::vector<std::pair<long, long>> extras;
  std::vector<unsigned char> wholeInput;  // a reader's input, held for the undoing of text damage
  const unsigned char* input = nullptr;   // the input of the last memory repair
  const unsigned char* result = nullptr;  // its output
  size_t resultSize = 0;
};

namespace {

// What a finding's line looks like: its format as the programs print it and one letter per
// conversion saying what it holds:
//   N  the input name    t  track     v  value     c  count     o  offset    b  byte
//   g  tag               F  file      p  the ending "s" unless the number before it is 1
//   W  the chunk a finding of the undoing names: the header, a track, or a chunk at an offset
struct CodeInfo {
  const char* name;
  const char* format;
  const char* fields;
};

// By code, from 1. A code keeps its place, its name and its meaning.
constexpr CodeInfo CODES[] = {
    {"file-too-large", "%s: file too large\n", "N"},
    {"no-midi-data", "%s: No midi data found.\n", "N"},
    {"not-a-midi-file", "%s: not a midifile (missing %s)\n", "Ng"},
    {"snio-header", "%s: SNio changed to MThd\n", "N"},
    {"song-header", "%s: SONG changed to MThd\n", "N"},
    {"strange-header", "%s: strange midi header changed to MThd\n", "N"},
    {"invalid-format", "%s: invalid version %u changed to 1\n", "Nv"},
    {"invalid-division", "%s: invalid resolution %u changed to 96\n", "Nv"},
    {"header-length-updated", "%s: length of header updated\n", "N"},
    {"track-length-updated", "%s: length of track %d updated\n", "Nt"},
    {"garbage-between-tracks", "%s: remove garbage at end of track (%ld byte%s)\n", "Ncp"},
    {"tracks-missing", "%s: %d track%s missing\n", "Ncp"},
    {"new-tracks-found", "%s: %d new track%s found\n", "Ncp"},
    {"track-count-updated", "%s: number of tracks updated: %d\n", "Nc"},
    {"format-0-several-tracks", "%s: wrong midi type %d used together with %d tracks\n", "Nvc"},
    {"format-updated", "%s: midi type updated: %d\n", "Nv"},
    {"trailing-garbage", "%s: remove garbage at end of midi (%ld byte%s)\n", "Ncp"},
    {"extra-file", "%s: Extra midi file found. Written to %s\n", "NF"},
    {"incomplete-event", "%s: removing incomplete midi command at %08lX\n", "No"},
    {"invalid-event", "%s: removing invalid midi command at %08lX\n", "No"},
    {"invalid-status", "%s: removing invalid command %02X at %08lX\n", "Nbo"},
    {"invalid-note", "%s: removing invalid note command at %08lX\n", "No"},
    {"invalid-control-value", "%s: invalid control value used at %08lX\n", "No"},
    {"invalid-program", "%s: invalid program number changed at %08lX\n", "No"},
    {"invalid-aftertouch", "%s: invalid aftertouch command changed at %08lX\n", "No"},
    {"incomplete-sysex", "%s: remove incomplete sysex command\n", "N"},
    {"bytes-lost", "%s: Warning - %ld bytes lost.\n", "Nc"},
    {"end-of-track-added", "%s: Missing end of track added.\n", "N"},
    {"mixed-channels", "%s: Warning - format 1 track contains different channel commands\n", "N"},
    {"sysex-byte-out-of-range", "%s: Warning - sysex contains byte out of range %02X\"\n", "Nb"},
    {"gm-on-pause", "%s: Warning - pause might be too small after \"GM ON sysex\"\n", "N"},
    {"crlf-to-lf", "%s: CR LF changed back to LF in %s (%ld byte%s removed)\n", "NWcp"},
    {"lf-to-crlf", "%s: LF changed back to CR LF in %s (%ld byte%s inserted)\n", "NWcp"},
    {"restoration-ambiguous",
     "%s: Warning - more than one restoration of %s proves sound; the one with the fewest unusual bytes was taken\n",
     "NW"},
    {"search-given-up", "%s: %s left unchanged: the search was given up, too much work\n", "NW"},
    {"not-restorable",
     "%s: %s left unchanged: not sound, and no restoration of its line ends makes it sound\n",
     "NW"},
    {"no-chunk", "%s: %ld byte%s at %08lX left unchanged: no chunk\n", "Ncpo"},
    {"track-count-differs", "%s: the header counts %d track%s, %d found\n", "Nvpc"},
    {"nothing-undone", "%s: no damage of a text-mode transfer could be undone\n", "N"},
    {"not-enough-memory", "%s: not enough memory\n", "N"},
    {"header-surplus-removed", "%s: remove surplus of header (%ld byte%s)\n", "Ncp"},
    {"data-byte-clamped", "%s: invalid data byte %02X changed to 7F at %08lX\n", "Nbo"},
    {"channel-event-removed", "%s: removing channel command with data byte %02X at %08lX\n", "Nbo"},
    {"key-signature-removed", "%s: removing key signature out of range at %08lX\n", "No"},
    {"smpte-offset-removed", "%s: removing SMPTE offset out of range at %08lX\n", "No"},
    {"time-signature-removed", "%s: removing time signature out of range at %08lX\n", "No"},
    {"tempo-removed", "%s: removing invalid tempo at %08lX\n", "No"},
    {"meta-event-removed", "%s: removing too short meta event %02X at %08lX\n", "Nbo"},
    {"sysex-byte-cleared", "%s: sysex byte %02X changed to %02X at %08lX\n", "Nbvo"},
    {"end-of-track-data-removed", "%s: data of end of track removed at %08lX\n", "No"},
    {"early-end-of-track-removed", "%s: removing end of track before the end at %08lX\n", "No"},
    {"status-written-again", "%s: running status written out in track %d (%ld event%s)\n", "Ntcp"},
};
constexpr int CODE_COUNT = int(std::size(CODES));
static_assert(CODE_COUNT == SEQMEND_STATUS_WRITTEN_AGAIN);

const CodeInfo* codeInfo(int code) {
  return code >= 1 && code <= CODE_COUNT ? &CODES[code - 1] : nullptr;
}

// Builds a line piece by piece into a caller's buffer, counting what does not fit.
class LineWriter {
 public:
  LineWriter(char* buffer, size_t size) : buffer_(buffer), size_(size) {}

  void add(const char* text, size_t length) {
    if (buffer_ != nullptr && length_ < size_) {
      std::memcpy(buffer_ + length_, text, std::min(length, size_ - length_));
    }
    length_ += length;
  }
  void add(const char* text) { add(text, std::strlen(text)); }
  // A number as a printf conversion gives it: decimal, or upper-case hexadecimal ('X'), padded
  // with zeros to width.
  void addNumber(char type, int width, long long number) {
    char digits[24];
    int length = 0;
    const unsigned base = type == 'X' ? 16 : 10;
    unsigned long long rest =
        number < 0 && base == 10 ? 0ULL - (unsigned long long)number : (unsigned long long)number;
    do {
      digits[length++] = "0123456789ABCDEF"[rest % base];
      rest /= base;
    } while (rest != 0);
    if (number < 0 && base == 10) {
      add("-", 1);
    }
    for (int pad = length; pad < width; ++pad) {
      add("0", 1);
    }
    while (length > 0) {
      add(&digits[--length], 1);
    }
  }
  size_t finish() {
    if (buffer_ != nullptr && size_ > 0) {
      buffer_[std::min(length_, size_ - 1)] = '\0';
    }
    return length_;
  }

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
};

// The chunk a finding of the undoing names, as its lines say it.
void addChunk(LineWriter& line, const seqmend_finding& finding) {
  if (finding.track == 0) {
    line.add("the header");
  } else if (finding.track > 0) {
    line.add("track ");
    line.addNumber('d', 0, finding.track);
  } else {
    line.add("chunk ");
    line.add(finding.tag, strnlen(finding.tag, 4));
    line.add(" at ");
    line.addNumber('X', 8, finding.offset);
  }
}

// Makes a repair over the context's buffers; the findings and extra files are kept when wanted.
void startRepair(seqmend_context* context, const seqmend_options* options, Repair& repair,
                 bool keep) {
  context->findings.clear();
  context->extras.clear();
  context->input = nullptr;
  context->result = nullptr;
  context->resultSize = 0;
  repair.buffers = context->buffers;
  repair.options = options;
  repair.tracksOnly = options != nullptr && (options->flags & SEQMEND_TRACKS_ONLY) != 0;
  repair.normalize = options != nullptr && (options->flags & SEQMEND_NORMALIZE) != 0;
  if (keep) {
    repair.findings = &context->findings;
    repair.extras = &context->extras;
  }
}

// A CR LF pair after the very start hints at a file that went through a text-mode transfer,
// which no structural repair can undo.
bool hasLineEndHint(Repair& repair) {
  repair.in.seek(0);
  return findPattern(repair.in, CR_LF, 2, repair.buffers->searchBlock) > 0;
}

int finishRepair(Repair& repair, int verdict, seqmend_result* result, bool hintsAtLineEnds = true) {
  repair.out.flush();
  if (repair.failed()) {
    verdict = REPAIR_FAILED;
  }
  seqmend_result summary = {};
  summary.verdict = verdict;
  summary.failed_stream = repair.failure.stream;
  summary.error = repair.failure.error;
  summary.extra_count = repair.extraCount;
  summary.output_size = uint64_t(repair.out.size());
  if (hintsAtLineEnds && verdict != REPAIR_UNCHANGED && !repair.failed() && !repair.inputTooLarge) {
    summary.crlf_hint = hasLineEndHint(repair) ? 1 : 0;
  }
  if (result != nullptr) {
    *result = summary;
  }
  return verdict;
}

// Keeps a memory repair's results in its context: a sound input stands for itself, even where
// the copy left out what follows the data unchanged (an XF information block).
void keepMemoryResults(seqmend_context* context, const unsigned char* data, size_t size,
                       int verdict) {
  context->input = data;
  if (verdict == REPAIR_UNCHANGED) {
    context->result = data;
    context->resultSize = size;
  } else if (verdict == REPAIR_CHANGED) {
    context->result = context->output.data();
    context->resultSize = context->output.size();
  }
}

// Runs a call of the interface; running out of memory fails the repair instead of throwing
// across the C boundary.
template <typename Call>
int guarded(seqmend_result* result, Call call) {
#if defined(__cpp_exceptions)
  try {
    return call();
  } catch (const std::bad_alloc&) {
    if (result != nullptr) {
      *result = {};
      result->verdict = SEQMEND_FAILED;
      result->failed_stream = SEQMEND_STREAM_MEMORY;
      result->error = ENOMEM;
    }
    return SEQMEND_FAILED;
  }
#else
  (void)result;
  return call();
#endif
}

}  // namespace

extern "C" {

unsigned seqmend_version_number(void) { return SEQMEND_VERSION_NUMBER; }

const char* seqmend_version_string(void) { return SEQMEND_VERSION_STRING; }

const char* seqmend_code_name(int code) {
  const CodeInfo* info = codeInfo(code);
  return info != nullptr ? info->name : nullptr;
}

size_t seqmend_render(const seqmend_finding* finding, const char* input_name, char* buffer,
                      size_t size) {
  LineWriter line(buffer, size);
  const CodeInfo* info = finding != nullptr ? codeInfo(finding->code) : nullptr;
  if (info == nullptr) {
    return line.finish();
  }
  const char* letters = info->fields;
  long long lastNumber = 0;
  for (const char* c = info->format; *c != '\0'; ++c) {
    if (*c != '%') {
      const char* run = c;
      while (c[1] != '\0' && c[1] != '%') {
        ++c;
      }
      line.add(run, size_t(c - run) + 1);
      continue;
    }
    // Only "%0N" widths and the conversions s, d, u, X, with or without l, stand in the formats.
    int width = 0;
    for (++c; *c >= '0' && *c <= '9'; ++c) {
      width = width * 10 + (*c - '0');
    }
    while (*c == 'l') {
      ++c;
    }
    const char type = *c;
    const char letter = *letters++;
    long long number = 0;
    switch (letter) {
      case 'N':
        line.add(input_name != nullptr ? input_name : "");
        continue;
      case 'g':
        line.add(finding->tag, strnlen(finding->tag, 4));
        continue;
      case 'F':
        line.add(finding->file, strnlen(finding->file, sizeof finding->file));
        continue;
      case 'W':
        addChunk(line, *finding);
        continue;
      case 'p':
        line.add(lastNumber == 1 ? "" : "s");
        continue;
      case 't':
        number = finding->track;
        break;
      case 'v':
        number = finding->value;
        break;
      case 'b':
        number = finding->byte;
        break;
      case 'o':
        number = finding->offset;
        break;
      default:
        number = finding->count;
        break;
    }
    line.addNumber(type, width, number);
    lastNumber = number;
  }
  return line.finish();
}

seqmend_context* seqmend_context_new(void) {
  auto* context = new (std::nothrow) seqmend_context;
  if (context == nullptr) {
    return nullptr;
  }
  context->buffers = new (std::nothrow) RepairBuffers;
  if (context->buffers == nullptr) {
    delete context;
    return nullptr;
  }
  return context;
}

void seqmend_context_free(seqmend_context* context) {
  if (context != nullptr) {
    delete context->buffers;
    delete context;
  }
}

int seqmend_repair_stream(seqmend_context* context, const seqmend_options* options,
                          const seqmend_reader* input, const seqmend_writer* output,
                          seqmend_result* result) {
  return guarded(result, [&] {
    Repair repair;
    startRepair(context, options, repair, false);
    repair.inputTooLarge = input->size > uint64_t(MAX_INPUT_SIZE);
    const long size = repair.inputTooLarge ? 0 : long(input->size);
    repair.in.attachReader(*input, size, context->buffers->inputBlock, repair.failure);
    repair.out.attachWriter(*output, context->buffers->outputBlock, repair.failure);
    return finishRepair(repair, repairMidiFile(repair), result);
  });
}

int seqmend_repair_memory(seqmend_context* context, const seqmend_options* options,
                          const void* data, size_t size, seqmend_result* result) {
  return guarded(result, [&] {
    Repair repair;
    startRepair(context, options, repair, true);
    const auto* bytes = static_cast<const unsigned char*>(data);
    repair.inputTooLarge = size > size_t(MAX_INPUT_SIZE);
    repair.in.attachMemory(bytes, repair.inputTooLarge ? 0 : long(size), repair.failure);
    if (!repair.inputTooLarge) {
      context->output.reserve(size + 64);
    }
    repair.out.attachMemory(context->output, repair.failure);
    const int verdict = finishRepair(repair, repairMidiFile(repair), result);
    keepMemoryResults(context, bytes, size, verdict);
    return verdict;
  });
}

int seqmend_restore_memory(seqmend_context* context, const seqmend_options* options,
                           const void* data, size_t size, seqmend_result* result) {
  return guarded(result, [&] {
    Repair repair;
    startRepair(context, options, repair, true);
    const auto* bytes = static_cast<const unsigned char*>(data);
    repair.in.attachMemory(bytes, long(std::min<size_t>(size, size_t(MAX_INPUT_SIZE))),
                           repair.failure);
    repair.out.attachMemory(context->output, repair.failure);
    const int verdict = finishRepair(repair, restoreLineEnds(repair, bytes, size), result, false);
    keepMemoryResults(context, bytes, size, verdict);
    return verdict;
  });
}

int seqmend_restore_stream(seqmend_context* context, const seqmend_options* options,
                           const seqmend_reader* input, const seqmend_writer* output,
                           seqmend_result* result) {
  return guarded(result, [&] {
    Repair repair;
    startRepair(context, options, repair, false);
    repair.out.attachWriter(*output, context->buffers->outputBlock, repair.failure);
    if (input->size > uint64_t(MAX_INPUT_SIZE)) {
      repair.report(SEQMEND_FILE_TOO_LARGE);
      return finishRepair(repair, REPAIR_FAILED, result, false);
    }
    const size_t size = size_t(input->size);
    std::vector<unsigned char>& whole = context->wholeInput;
#if defined(__cpp_exceptions)
    try {
      whole.resize(size);
    } catch (const std::bad_alloc&) {
      repair.report(SEQMEND_NOT_ENOUGH_MEMORY);
      return finishRepair(repair, REPAIR_FAILED, result, false);
    }
#else
    whole.resize(size);
#endif
    repair.in.attachReader(*input, long(size), context->buffers->inputBlock, repair.failure);
    if (readInput(whole.data(), size, repair.in) != size) {
      repair.failure.set(SEQMEND_STREAM_INPUT, 0);
    }
    int verdict = REPAIR_FAILED;
    if (!repair.failed()) {
      verdict = restoreLineEnds(repair, whole.data(), size);
    }
    verdict = finishRepair(repair, verdict, result, false);
    // The held input is not kept beyond the call: a large file's memory goes back at once.
    std::vector<unsigned char>().swap(whole);
    return verdict;
  });
}

const unsigned char* seqmend_output(const seqmend_context* context, size_t* size) {
  if (size != nullptr) {
    *size = context->resultSize;
  }
  return context->result;
}

size_t seqmend_finding_count(const seqmend_context* context) { return context->findings.size(); }

const seqmend_finding* seqmend_finding_at(const seqmend_context* context, size_t index) {
  return index < context->findings.size() ? &context->findings[index] : nullptr;
}

const unsigned char* seqmend_extra(const seqmend_context* context, int number, size_t* size) {
  if (number < 1 || size_t(number) > context->extras.size() || context->input == nullptr) {
    if (size != nullptr) {
      *size = 0;
    }
    return nullptr;
  }
  const std::pair<long, long>& extra = context->extras[size_t(number) - 1];
  if (size != nullptr) {
    *size = size_t(extra.second);
  }
  return context->input + extra.first;
}

}  // extern "C"
