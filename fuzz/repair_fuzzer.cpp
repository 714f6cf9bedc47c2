// Fuzz target: libseqmend's repair from memory on arbitrary bytes, with and without tracks only,
// checked against the same repair from a stream and once more on the file it gave; eolmend's
// restoration on the same bytes and, where it finds them sound, on both kinds of text-mode damage
// done to them. Nothing but the C interface is used.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "seqmend.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "repair_fuzzer: %s\n", what);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) {
    fail(what);
  }
}

bool sameFinding(const seqmend_finding& a, const seqmend_finding& b) {
  return a.code == b.code && a.track == b.track && a.value == b.value && a.byte == b.byte &&
         a.offset == b.offset && a.count == b.count &&
         std::strncmp(a.tag, b.tag, sizeof a.tag) == 0 &&
         std::strncmp(a.file, b.file, sizeof a.file) == 0;
}

// What the callbacks of one call were given.
struct Delivered {
  std::vector<seqmend_finding> findings;
  std::vector<std::pair<uint64_t, uint64_t>> extras;  // offset and size, in their order
  bool extraNumbersInOrder = true;
};

void onFinding(void* context, const seqmend_finding* finding) {
  static_cast<Delivered*>(context)->findings.push_back(*finding);
}

int onExtra(void* context, int number, uint64_t offset, uint64_t size) {
  auto* delivered = static_cast<Delivered*>(context);
  delivered->extraNumbersInOrder =
      delivered->extraNumbersInOrder && size_t(number) == delivered->extras.size() + 1;
  delivered->extras.emplace_back(offset, size);
  return 0;
}

seqmend_options optionsFor(unsigned flags, Delivered& delivered) {
  seqmend_options options = {};
  options.flags = flags;
  options.on_finding = onFinding;
  options.on_extra = onExtra;
  options.context = &delivered;
  return options;
}

// Every finding renders to one line, and a small buffer gets a cut, terminated copy of its start
// while the length returned is the whole line's.
void checkRendering(const seqmend_finding& finding) {
  check(seqmend_code_name(finding.code) != nullptr, "a finding without a code name");
  char whole[512];
  char cut[8];
  const size_t length = seqmend_render(&finding, "fuzz.mid", whole, sizeof whole);
  check(length > 0 && length < sizeof whole, "a rendered line is empty or overly long");
  check(whole[length - 1] == '\n' && std::strlen(whole) == length,
        "a rendered line is not one terminated line");
  check(seqmend_render(&finding, "fuzz.mid", cut, sizeof cut) == length,
        "a small buffer and a large one disagree on the length of a line");
  const size_t kept = std::min(length, sizeof cut - 1);
  check(cut[kept] == '\0' && std::memcmp(cut, whole, kept) == 0,
        "a cut line is not the start of the whole line");
  check(seqmend_render(&finding, "fuzz.mid", nullptr, 0) == length,
        "rendering into no buffer gives another length");
}

// What a memory call left in its context, checked against its result and its callbacks; returns
// the output (the input itself when it is sound).
Bytes checkMemoryCall(const seqmend_context* context, int verdict, const seqmend_result& result,
                      const Delivered& delivered, const uint8_t* data, size_t size) {
  check(verdict == result.verdict, "the verdict returned is not the one in the result");
  check(verdict >= SEQMEND_FAILED && verdict <= SEQMEND_REPAIRED, "a verdict out of range");
  check(result.failed_stream == SEQMEND_STREAM_NONE && result.error == 0,
        "a repair from memory failed on a stream");
  check(verdict != SEQMEND_SOUND || result.crlf_hint == 0, "a sound file with the CR LF hint");

  const size_t findings = seqmend_finding_count(context);
  check(findings == delivered.findings.size(), "the findings kept are not those delivered");
  check(verdict != SEQMEND_FAILED || findings > 0, "a failure with no finding to say why");
  int extraFindings = 0;
  for (size_t i = 0; i < findings; ++i) {
    const seqmend_finding* finding = seqmend_finding_at(context, i);
    check(finding != nullptr && sameFinding(*finding, delivered.findings[i]),
          "a finding kept differs from the one delivered");
    checkRendering(*finding);
    extraFindings += finding->code == SEQMEND_EXTRA_FILE ? 1 : 0;
  }
  check(seqmend_finding_at(context, findings) == nullptr, "a finding past the last one");

  // Every extra file is an unchanged stretch of the input, announced by its finding.
  check(result.extra_count == int(delivered.extras.size()) && delivered.extraNumbersInOrder,
        "the extra files counted are not those handed over");
  check(result.extra_count == extraFindings, "an extra file without its finding");
  for (int number = 1; number <= result.extra_count; ++number) {
    size_t extraSize = 0;
    const unsigned char* extra = seqmend_extra(context, number, &extraSize);
    const auto& [offset, length] = delivered.extras[size_t(number) - 1];
    check(extra != nullptr && extraSize > 0 && extra == data + offset && extraSize == length &&
              offset <= size && length <= size - offset,
          "an extra file does not lie inside the input");
  }
  size_t none = 1;
  check(seqmend_extra(context, result.extra_count + 1, &none) == nullptr && none == 0,
        "an extra file past the last one");

  size_t outputSize = 0;
  const unsigned char* output = seqmend_output(context, &outputSize);
  if (verdict == SEQMEND_SOUND) {
    check(output == data && outputSize == size, "a sound result is not the input");
    return Bytes(data, data + size);
  }
  if (verdict == SEQMEND_FAILED) {
    check(output == nullptr && outputSize == 0, "a failed result with an output");
    return {};
  }
  check(output != nullptr && outputSize > 0 && outputSize == result.output_size,
        "a repaired file whose size is not the one in the result");
  return Bytes(output, output + outputSize);
}

// The input of a stream call: the bytes, all of them that are asked for, unless a read reaches
// failFrom, which fails.
struct MemoryReader {
  const uint8_t* data;
  size_t size;
  uint64_t failFrom = UINT64_MAX;
  bool failed = false;
};

int readAt(void* context, uint64_t offset, void* buffer, size_t count, size_t* got) {
  auto* reader = static_cast<MemoryReader*>(context);
  *got = offset < reader->size ? std::min(count, reader->size - size_t(offset)) : 0;
  if (*got > 0 && offset + *got > reader->failFrom) {
    reader->failed = true;
    *got = 0;
    return EIO;
  }
  std::copy_n(reader->data + (*got > 0 ? offset : 0), *got, static_cast<uint8_t*>(buffer));
  return 0;
}

// The output of a stream call: writes come in order, and may go back only to rewrite a field. A
// write that reaches failFrom fails.
struct MemoryWriter {
  Bytes bytes;
  bool outOfOrder = false;
  uint64_t failFrom = UINT64_MAX;
  bool failed = false;
};

int writeAt(void* context, uint64_t offset, const void* bytes, size_t count) {
  auto* writer = static_cast<MemoryWriter*>(context);
  if (offset > writer->bytes.size()) {
    writer->outOfOrder = true;
    return EINVAL;
  }
  if (count > 0 && offset + count > writer->failFrom) {
    writer->failed = true;
    return ENOSPC;
  }
  const auto* from = static_cast<const uint8_t*>(bytes);
  const size_t overlap = std::min(count, writer->bytes.size() - size_t(offset));
  std::copy(from, from + overlap, writer->bytes.begin() + ptrdiff_t(offset));
  writer->bytes.insert(writer->bytes.end(), from + overlap, from + count);
  return 0;
}

// A read that fails halfway through the input, or a write halfway through the output, ends the
// call failed with that stream and its error; a call that never met the failure is untouched.
template <typename Call>
void checkFailingStreams(Call call, seqmend_context* context, unsigned flags, const uint8_t* data,
                         size_t size, int verdict, size_t outputSize) {
  for (const bool inputFails : {true, false}) {
    MemoryReader reader = {data, size};
    MemoryWriter writer;
    (inputFails ? reader.failFrom : writer.failFrom) = (inputFails ? size : outputSize) / 2;
    const seqmend_reader input = {&reader, size, readAt};
    const seqmend_writer sink = {&writer, writeAt};
    Delivered ignored;
    const seqmend_options options = optionsFor(flags, ignored);
    seqmend_result result = {};
    const int got = call(context, &options, &input, &sink, &result);
    if (reader.failed || writer.failed) {
      check(
          got == SEQMEND_FAILED &&
              result.failed_stream == (inputFails ? SEQMEND_STREAM_INPUT : SEQMEND_STREAM_OUTPUT) &&
              result.error == (inputFails ? EIO : ENOSPC),
          "a failed read or write does not fail the call with its stream and error");
    } else {
      check(got == verdict && result.failed_stream == SEQMEND_STREAM_NONE,
            "a failure the call never met changed its verdict");
    }
  }
}

// The same call from a reader to a writer gives the same verdict, findings, extra files and bytes.
// A repair writes a sound input out as it is; a restoration writes only what it restored.
template <typename Call>
void checkStreamCall(Call call, seqmend_context* context, unsigned flags, const uint8_t* data,
                     size_t size, int verdict, const Delivered& delivered, const Bytes& output,
                     bool soundIsCopied) {
  MemoryReader reader = {data, size};
  MemoryWriter writer;
  const seqmend_reader input = {&reader, size, readAt};
  const seqmend_writer sink = {&writer, writeAt};
  Delivered streamed;
  const seqmend_options options = optionsFor(flags, streamed);
  seqmend_result result = {};
  check(call(context, &options, &input, &sink, &result) == verdict,
        "the stream call gives another verdict");
  check(!writer.outOfOrder, "the stream call wrote past the end of its output");
  check(result.failed_stream == SEQMEND_STREAM_NONE, "the stream call failed on a stream");
  check(streamed.findings.size() == delivered.findings.size() &&
            std::equal(streamed.findings.begin(), streamed.findings.end(),
                       delivered.findings.begin(), sameFinding),
        "the stream call gives other findings");
  check(streamed.extras == delivered.extras, "the stream call gives other extra files");
  if (verdict == SEQMEND_REPAIRED) {
    check(writer.bytes == output && result.output_size == output.size(),
          "the stream call gives another repaired file");
  } else if (verdict == SEQMEND_SOUND && soundIsCopied) {
    // The copy is the input up to the end of its MIDI data: what the walk passes over without a
    // finding behind them (an XF information block, a chunk head cut off) is not copied.
    const size_t copied = writer.bytes.size();
    check(copied <= size && std::equal(writer.bytes.begin(), writer.bytes.end(), data),
          "the stream call's copy of a sound file is not the input");
  } else if (verdict == SEQMEND_SOUND) {
    check(writer.bytes.empty(), "the stream call wrote a file it found sound");
  }
}

// The contexts live as long as the process; one repair after another reuses them.
struct Contexts {
  seqmend_context* memory = seqmend_context_new();
  seqmend_context* stream = seqmend_context_new();
  seqmend_context* again = seqmend_context_new();

  Contexts() { check(memory != nullptr && stream != nullptr && again != nullptr, "no context"); }
  ~Contexts() {
    seqmend_context_free(memory);
    seqmend_context_free(stream);
    seqmend_context_free(again);
  }
};

Contexts& contexts() {
  static Contexts all;
  return all;
}

// A repair from memory, from a stream, and of its own result. Returns its verdict.
int checkRepair(const uint8_t* data, size_t size, unsigned flags) {
  Contexts& all = contexts();
  Delivered delivered;
  const seqmend_options options = optionsFor(flags, delivered);
  seqmend_result result = {};
  const int verdict = seqmend_repair_memory(all.memory, &options, data, size, &result);
  const Bytes output = checkMemoryCall(all.memory, verdict, result, delivered, data, size);
  checkStreamCall(seqmend_repair_stream, all.stream, flags, data, size, verdict, delivered, output,
                  true);

  if (verdict == SEQMEND_REPAIRED) {
    // The repaired file begins with a header chunk, so it can always be treated. It need not
    // come back sound: a text that holds FF 2F 00 still cuts its track short each time, and a
    // track recovered behind a lost head may still lack its end of track.
    Delivered again;
    const seqmend_options againOptions = optionsFor(flags, again);
    seqmend_result againResult = {};
    const int againVerdict =
        seqmend_repair_memory(all.again, &againOptions, output.data(), output.size(), &againResult);
    checkMemoryCall(all.again, againVerdict, againResult, again, output.data(), output.size());
    check(againVerdict != SEQMEND_FAILED, "the repaired file could not be treated");
  }
  return verdict;
}

// One restoration from memory and, where it does not fail, from a stream. Returns its verdict.
int checkRestore(const uint8_t* data, size_t size) {
  Contexts& all = contexts();
  Delivered delivered;
  const seqmend_options options = optionsFor(0, delivered);
  seqmend_result result = {};
  const int verdict = seqmend_restore_memory(all.memory, &options, data, size, &result);
  const Bytes output = checkMemoryCall(all.memory, verdict, result, delivered, data, size);
  check(result.extra_count == 0, "a restoration with extra files");
  // The stream call holds the input and runs the same restoration; where that fails, which for
  // hostile bytes takes the whole work budget, it is not run again.
  if (verdict != SEQMEND_FAILED) {
    checkStreamCall(seqmend_restore_stream, all.stream, 0, data, size, verdict, delivered, output,
                    false);
    checkFailingStreams(seqmend_restore_stream, all.stream, 0, data, size, verdict, output.size());
  }
  return verdict;
}

// Text-mode damage: a CR before every LF, or the CR of every CR LF pair gone.
Bytes damaged(const uint8_t* data, size_t size, bool crLfBecameLf) {
  Bytes bytes;
  for (size_t i = 0; i < size; ++i) {
    const bool crOfPair = data[i] == 0x0D && i + 1 < size && data[i + 1] == 0x0A;
    if (data[i] == 0x0A && !crLfBecameLf) {
      bytes.push_back(0x0D);
    }
    if (!crOfPair || !crLfBecameLf) {
      bytes.push_back(data[i]);
    }
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int verdict = checkRepair(data, size, 0);
  checkRepair(data, size, SEQMEND_TRACKS_ONLY);

  // eolmend never restores a file that seqmend finds sound: nothing a text-mode transfer does
  // leaves one. A file it finds sound itself drives its restorations once damaged either way.
  const int restored = checkRestore(data, size);
  check(verdict != SEQMEND_SOUND || restored != SEQMEND_REPAIRED,
        "eolmend restored a file that seqmend finds sound");
  if (restored == SEQMEND_SOUND) {
    for (const bool crLfBecameLf : {false, true}) {
      const Bytes bytes = damaged(data, size, crLfBecameLf);
      checkRestore(bytes.data(), bytes.size());
    }
  }
  return 0;
}
