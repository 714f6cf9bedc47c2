// The library's interface: repairs from memory and from streams agree, failed streams come back
// as failed results with their error, contexts are reused and run on threads at once, and the
// findings render to the programs' lines.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "support/streams.h"

namespace {

// An input in memory read at offsets, failing with EIO from offset failAt on.
struct MemoryReader {
  const Bytes* bytes;
  long failAt = -1;

  static int read(void* context, uint64_t offset, void* buffer, size_t size, size_t* got) {
    const auto* reader = static_cast<const MemoryReader*>(context);
    *got = 0;
    if (reader->failAt >= 0 && offset + size > uint64_t(reader->failAt)) {
      return EIO;
    }
    if (offset < reader->bytes->size()) {
      *got = std::min(size, size_t(reader->bytes->size() - offset));
      std::memcpy(buffer, reader->bytes->data() + offset, *got);
    }
    return 0;
  }
};

// An output in memory written at offsets, each within what was written so far, failing once it
// would hold more than `room` bytes.
struct MemoryWriter {
  Bytes bytes;
  size_t room = SIZE_MAX;

  static int write(void* context, uint64_t offset, const void* from, size_t size) {
    auto* writer = static_cast<MemoryWriter*>(context);
    EXPECT_LE(offset, writer->bytes.size()) << "a write past the end of the output";
    if (offset + size > writer->room) {
      return ENOSPC;
    }
    if (offset + size > writer->bytes.size()) {
      writer->bytes.resize(offset + size);
    }
    std::memcpy(writer->bytes.data() + offset, from, size);
    return 0;
  }
};

// What a stream repair gave: its result, the lines of its findings, its output and its extras.
struct StreamRun {
  seqmend_result result = {};
  std::vector<seqmend_finding> findings;
  Bytes output;
  std::vector<std::pair<uint64_t, uint64_t>> extras;
  int extraError = 0;  // what the caller answers to an extra file

  static void onFinding(void* run, const seqmend_finding* finding) {
    static_cast<StreamRun*>(run)->findings.push_back(*finding);
  }
  static int onExtra(void* run, int, uint64_t offset, uint64_t size) {
    static_cast<StreamRun*>(run)->extras.emplace_back(offset, size);
    return static_cast<StreamRun*>(run)->extraError;
  }
};

// A repair from the reader, told the input is `size` bytes, to a writer with `room` bytes.
StreamRun repairStream(const Bytes& input, MemoryReader reader, size_t room = SIZE_MAX,
                       unsigned flags = 0, uint64_t size = 0, int extraError = 0) {
  StreamRun run;
  run.extraError = extraError;
  MemoryWriter writer;
  writer.room = room;
  const seqmend_reader in = {&reader, size > 0 ? size : input.size(), MemoryReader::read};
  const seqmend_writer out = {&writer, MemoryWriter::write};
  const seqmend_options options = {flags, StreamRun::onFinding, StreamRun::onExtra, &run};
  EXPECT_EQ(seqmend_repair_stream(newContext().get(), &options, &in, &out, &run.result),
            run.result.verdict);
  run.output = writer.bytes;
  return run;
}

// A repaired file with a finding in every phase, so that a failure can stop each of them.
Bytes damagedFile() {
  const Bytes notes = times(hex("00 90 3C 40 60 80 3C 00"), 3000);
  return text("junk") + smfHeader(0, 1, 96) + chunkWithLength("MTrk", 5, notes + END_OF_TRACK) +
         text("xx") + trackChunk(notes + hex("00 B0 07 85")) + text("tail") + smfHeader(0, 1, 96) +
         trackChunk(END_OF_TRACK);
}

}  // namespace

// The command line repairs from a stream, the languages and the page from memory: for every
// real file both give the same verdict, findings, repaired bytes and extra files, with and
// without the tracks-only option.
TEST(Library, StreamAndMemoryRepairsAgreeOnRealFiles) {
  std::vector<std::pair<std::string, Bytes>> files = realFiles();
  files.emplace_back("damaged", damagedFile());
  for (const auto& [name, file] : files) {
    SCOPED_TRACE(name);
    for (const unsigned flags : {0u, unsigned(SEQMEND_TRACKS_ONLY)}) {
      const EngineRun memory = repairFile(file, flags);
      const StreamRun stream = repairStream(file, {&file}, SIZE_MAX, flags);
      ASSERT_EQ(memory.result, stream.result.verdict);
      ASSERT_EQ(memory.messages, renderedLines(stream.findings));
      if (memory.result == REPAIR_CHANGED) {
        ASSERT_EQ(memory.output, stream.output);
      } else if (memory.result == REPAIR_UNCHANGED) {  // the stream's may lack an XF block
        ASSERT_TRUE(std::equal(stream.output.begin(), stream.output.end(), file.begin()));
      }
      ASSERT_EQ(memory.extras.size(), stream.extras.size());
      for (size_t i = 0; i < stream.extras.size(); ++i) {
        const auto [offset, size] = stream.extras[i];
        ASSERT_EQ(memory.extras[i],
                  Bytes(file.begin() + long(offset), file.begin() + long(offset + size)));
      }
    }
  }
}

// A read or a write that fails anywhere in a repair, or an extra file the caller refuses, fails
// it with that stream and its error; the findings before it are those of a whole run, and none
// follows it.
TEST(Library, FailedStreamsFailTheRepairWithTheirError) {
  const Bytes file = damagedFile();
  const StreamRun whole = repairStream(file, {&file});
  ASSERT_EQ(SEQMEND_REPAIRED, whole.result.verdict);
  const auto expectFailed = [&whole](const StreamRun& run, int stream, int error) {
    EXPECT_EQ(SEQMEND_FAILED, run.result.verdict);
    EXPECT_EQ(stream, run.result.failed_stream);
    EXPECT_EQ(error, run.result.error);
    const size_t n = run.findings.size();
    EXPECT_TRUE(n <= whole.findings.size() &&
                renderedLines(run.findings) ==
                    renderedLines({whole.findings.begin(), whole.findings.begin() + long(n)}));
  };
  for (size_t at = 0; at < file.size(); at += 997) {
    SCOPED_TRACE(at);
    expectFailed(repairStream(file, {&file, long(at)}), SEQMEND_STREAM_INPUT, EIO);
    if (at < whole.output.size()) {
      expectFailed(repairStream(file, {&file}, at), SEQMEND_STREAM_OUTPUT, ENOSPC);
    }
  }
  expectFailed(repairStream(file, {&file}, SIZE_MAX, 0, 0, EACCES), SEQMEND_STREAM_EXTRA, EACCES);
  // An input that ends before the size it was given changed under the repair.
  const Bytes shorter(file.begin(), file.begin() + 5000);
  expectFailed(repairStream(shorter, {&shorter}, SIZE_MAX, 0, file.size()), SEQMEND_STREAM_INPUT,
               0);
}

// One context serves repair after repair, and contexts on threads at once give what one
// context gives alone: nothing of one repair reaches another.
TEST(Library, ContextsAreReusedAndRunOnThreadsAtOnce) {
  std::vector<Bytes> files = {
      damagedFile(),
      // GM ON pending at the end of a file must not reach the next one.
      smfHeader(0, 1, 96) + trackChunk(hex("00 F0 05 7E 7F 09 01 F7") + END_OF_TRACK),
      smfHeader(0, 1, 96) + trackChunk(hex("00 90 3C 40") + END_OF_TRACK)};
  for (const auto& [name, file] : realFiles()) {
    files.push_back(file);
  }
  const auto summary = [](const EngineRun& run) {
    return std::to_string(run.result) + run.messages +
           std::string(run.output.begin(), run.output.end());
  };
  std::vector<std::string> alone;
  for (const Bytes& file : files) {
    alone.push_back(summary(repairFile(file)));
  }
  std::vector<std::vector<std::string>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      const ContextPointer context = newContext();
      for (const Bytes& file : files) {
        result.push_back(summary(repairFile(file, 0, context.get())));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const auto& result : results) {
    EXPECT_EQ(alone, result);
  }
}

// Writes at offsets through the buffer give what the same writes give in memory: fields
// rewritten inside the buffer, in what was passed on already, and across the buffer's start.
TEST(Output, WriterGetsWhatMemoryHolds) {
  std::mt19937 random(3);
  for (int round = 0; round < 20; ++round) {
    Failure failure;
    std::vector<unsigned char> memory, buffer(STREAM_BLOCK_SIZE);
    MemoryWriter writer;
    Output toMemory, toWriter;
    toMemory.attachMemory(memory, failure);
    toWriter.attachWriter({&writer, MemoryWriter::write}, buffer.data(), failure);
    Bytes bytes(200000);
    std::generate(bytes.begin(), bytes.end(), [&] { return uint8_t(random()); });
    for (int step = 0; step < 200; ++step) {
      const size_t count = random() % 3 == 0 ? random() % 100000 : random() % 40;
      const long end = toMemory.size();
      if (random() % 4 == 0 && end > 8) {
        const long field = long(random() % size_t(end - 4));
        const uint32_t value = uint32_t(random());
        for (Output* out : {&toMemory, &toWriter}) {
          out->seek(field);
          writeUInt32BE(value, *out);
          out->seek(end);
        }
        continue;
      }
      toMemory.write(bytes.data(), count);
      toWriter.write(bytes.data(), count);
    }
    toWriter.flush();
    ASSERT_FALSE(failure.happened());
    ASSERT_EQ(Bytes(memory.begin(), memory.end()), writer.bytes);
  }
}

TEST(Findings, RenderLikeSnprintfAndKeepTheirNames) {
  seqmend_finding finding = {};
  finding.code = SEQMEND_INVALID_STATUS;
  finding.byte = 0xF4;
  finding.offset = 0x1A2B;
  const std::string line = "a.mid: removing invalid command F4 at 00001A2B\n";
  char buffer[64];
  EXPECT_EQ(line.size(), seqmend_render(&finding, "a.mid", buffer, sizeof buffer));
  EXPECT_EQ(line, buffer);
  EXPECT_EQ(line.size(), seqmend_render(&finding, "a.mid", buffer, 10));  // cut, and terminated
  EXPECT_STREQ("a.mid: re", buffer);
  finding.code = SEQMEND_NO_CHUNK;
  finding.count = 1;
  seqmend_render(&finding, "a.mid", buffer, sizeof buffer);
  EXPECT_STREQ("a.mid: 1 byte at 00001A2B left unchanged: no chunk\n", buffer);
  finding.code = 0;
  EXPECT_EQ(0u, seqmend_render(&finding, "a.mid", buffer, sizeof buffer));
  // The codes are the report's schema: numbered from 1 without a gap, no name twice.
  std::vector<std::string> names;
  for (int code = 1; seqmend_code_name(code) != nullptr; ++code) {
    names.emplace_back(seqmend_code_name(code));
  }
  EXPECT_LE(size_t(SEQMEND_NOT_ENOUGH_MEMORY), names.size());
  EXPECT_EQ(nullptr, seqmend_code_name(0));
  EXPECT_EQ("track-length-updated", names[SEQMEND_TRACK_LENGTH_UPDATED - 1]);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
  EXPECT_EQ(unsigned(SEQMEND_VERSION_NUMBER), seqmend_version_number());
}

// Offsets in a MIDI file are signed 32-bit: a larger input is refused before anything is read.
TEST(Library, InputsOf2GiBAreRefusedUnread) {
  const Bytes none;
  const StreamRun run = repairStream(none, {&none, 0}, SIZE_MAX, 0, 0x80000000ULL);  // no reads
  EXPECT_EQ(SEQMEND_FAILED, run.result.verdict);
  EXPECT_EQ(SEQMEND_STREAM_NONE, run.result.failed_stream);
  EXPECT_EQ("in.mid: file too large\n", renderedLines(run.findings));
  const unsigned char byte = 0;
  const ContextPointer context = newContext();
  EXPECT_EQ(SEQMEND_FAILED,
            seqmend_repair_memory(context.get(), nullptr, &byte, 0x80000000ULL, nullptr));
  EXPECT_EQ(SEQMEND_FILE_TOO_LARGE, seqmend_finding_at(context.get(), 0)->code);
}
