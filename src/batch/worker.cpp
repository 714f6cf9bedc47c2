// One file over the library. The input is read whole when it is small, which most files of a
// collection are, and only a repaired copy reaches the disk: most files are sound, and creating
// a file costs far more than repairing a small one.
#include "worker.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

#include "sniff.h"

namespace {

void applyTestHook(const std::string& path) {
  const char* hook = std::getenv("SEQMEND_BATCH_TEST_HOOK");
  if (hook == nullptr) {
    return;
  }
  const std::string_view name = std::string_view(path).substr(path.find_last_of('/') + 1);
  for (std::string_view rest = hook; !rest.empty();) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
    if (item.starts_with("crash:") && item.substr(6) == name) {
      std::abort();
    }
    if (item.starts_with("hang:") && item.substr(5) == name) {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
      }
    }
    if (item.starts_with("delay:")) {
      const int milliseconds = std::atoi(std::string(item.substr(6)).c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
  }
}

// Copies size bytes at offset of one file to a new file; 0 or the system's error number.
int copyRange(int from, uint64_t offset, uint64_t size, int to) {
  char buffer[1 << 16];
  for (uint64_t done = 0; done < size;) {
    size_t got = 0;
    const size_t want = size - done < sizeof buffer ? size_t(size - done) : sizeof buffer;
    const int error = readAt(from, offset + done, buffer, want, &got);
    if (error != 0 || got == 0) {
      return error != 0 ? error : EIO;
    }
    if (const int failed = writeAt(to, done, buffer, got); failed != 0) {
      return failed;
    }
    done += got;
  }
  return 0;
}

// Writes bytes to a new file in the scratch folder; 0 or the system's error number.
int writeScratch(const RunSetup& setup, const std::string& name, const void* bytes, size_t size) {
  const int fd = createScratch(setup, name);
  if (fd < 0) {
    return errno;
  }
  const int error = writeAt(fd, 0, bytes, size);
  const int closeError = closeFile(fd);
  return error != 0 ? error : closeError;
}

std::string baseName(const std::string& relative) {
  return relative.substr(relative.find_last_of('/') + 1);
}

// The input to the library: reads at offsets of the open file.
int readInput(void* context, uint64_t offset, void* buffer, size_t size, size_t* got) {
  return readAt(*static_cast<int*>(context), offset, buffer, size, got);
}

int writeOutput(void* context, uint64_t offset, const void* bytes, size_t size) {
  const int fd = *static_cast<int*>(context);
  return fd < 0 ? 0 : writeAt(fd, offset, bytes, size);  // -1: a check keeps nothing
}

// What the library's callbacks work on during one treatment.
struct Treatment {
  const Worker* worker;
  const RunSetup* setup;
  FileRecord* record;
  int inputFd;
  bool noMidiData = false;
  int extras = 0;  // extra files found: the result of a streamed repair does not count them
};

void takeFinding(void* context, const seqmend_finding* finding) {
  Treatment& treatment = *static_cast<Treatment*>(context);
  treatment.noMidiData = treatment.noMidiData || finding->code == SEQMEND_NO_MIDI_DATA;
  treatment.extras += finding->code == SEQMEND_EXTRA_FILE ? 1 : 0;
  addMessage(*treatment.record, messageOf(*finding, treatment.record->path));
}

// A streamed input's extra file, copied into the scratch folder at once.
int takeExtra(void* context, int number, uint64_t offset, uint64_t size) {
  const Treatment& treatment = *static_cast<const Treatment*>(context);
  const int fd = createScratch(*treatment.setup, treatment.worker->scratchName(number));
  if (fd < 0) {
    return errno;
  }
  const int error = copyRange(treatment.inputFd, offset, size, fd);
  const int closeError = closeFile(fd);
  return error != 0 ? error : closeError;
}

void fail(FileRecord& record, Message message) {
  addMessage(record, std::move(message));
  record.verdict = "failed";
  record.exitStatus = 1;
}

}  // namespace

std::string outputNameOf(const RunSetup& setup, const std::string& relative) {
  if (setup.check) {
    return "/dev/null";
  }
  return setup.outName + (setup.outName.ends_with('/') ? "" : "/") + relative;
}

std::string extraNameOf(const RunSetup& setup, const std::string& relative, int n) {
  return outputNameOf(setup, relative) + ".extra" + std::to_string(n) + ".mid";
}

Worker::Worker(std::string tag) : tag_(std::move(tag)), context_(seqmend_context_new()) {}

Worker::~Worker() { seqmend_context_free(context_); }

std::string Worker::scratchName(int n) const {
  return tag_ + (n == 0 ? ".mid" : ".extra" + std::to_string(n));
}

FileRecord Worker::treat(const FileJob& job, const RunSetup& setup) {
  const auto started = std::chrono::steady_clock::now();
  applyTestHook(job.path);
  FileRecord record;
  record.path = job.path;
  const std::string outputName = outputNameOf(setup, job.relative);
  int64_t size = 0;
  int inputFd = context_ != nullptr ? openInput(job.path, size) : -1;
  if (inputFd < 0) {
    fail(record, systemErrorMessage(job.path, context_ == nullptr ? ENOMEM : errno));
    return record;
  }
  record.size = size;
  Treatment treatment{this, &setup, &record, inputFd};
  const unsigned flags =
      (setup.tracksOnly ? SEQMEND_TRACKS_ONLY : 0u) | (setup.normalize ? SEQMEND_NORMALIZE : 0u);
  seqmend_options options = {flags, takeFinding, nullptr, &treatment};
  seqmend_result result = {};
  const bool inMemory = size <= MEMORY_INPUT_LIMIT;
  int outputFd = -1;
  if (inMemory) {
    int error = 0;
    size_t got = 0;
    try {
      data_.resize(size_t(size));
    } catch (const std::bad_alloc&) {
      error = ENOMEM;  // this file fails, and the batch goes on
    }
    if (error == 0) {
      error = readAt(inputFd, 0, data_.data(), data_.size(), &got);
    }
    if (error != 0 || got < data_.size()) {
      fail(record,
           error != 0 ? systemErrorMessage(job.path, error) : unexpectedEndMessage(job.path));
      closeFile(inputFd);
      return record;
    }
    seqmend_repair_memory(context_, &options, data_.data(), data_.size(), &result);
  } else {
    if (!setup.check) {
      outputFd = createScratch(setup, scratchName());
      if (outputFd < 0) {
        fail(record, systemErrorMessage(outputName, errno));
        closeFile(inputFd);
        return record;
      }
      options.on_extra = takeExtra;
    }
    const seqmend_reader reader = {&inputFd, uint64_t(size), readInput};
    const seqmend_writer writer = {&outputFd, writeOutput};
    seqmend_repair_stream(context_, &options, &reader, &writer, &result);
    const int closeError = outputFd >= 0 ? closeFile(outputFd) : 0;
    if (closeError != 0 && result.verdict == SEQMEND_REPAIRED) {
      result = {SEQMEND_FAILED, 0, SEQMEND_STREAM_OUTPUT, closeError, 0, 0};
    }
  }

  if (result.verdict == SEQMEND_FAILED) {
    if (treatment.noMidiData) {
      unsigned char head[SNIFF_SIZE];
      size_t got = 0;
      readAt(inputFd, 0, head, sizeof head, &got);
      record.looksLike = sniffContent(head, got);
    }
    if (result.failed_stream == SEQMEND_STREAM_INPUT) {
      fail(record, result.error != 0 ? systemErrorMessage(job.path, result.error)
                                     : unexpectedEndMessage(job.path));
    } else if (result.failed_stream == SEQMEND_STREAM_OUTPUT) {
      fail(record, systemErrorMessage(outputName, result.error));
    } else if (result.failed_stream == SEQMEND_STREAM_EXTRA) {
      fail(record,
           systemErrorMessage(extraNameOf(setup, job.relative, treatment.extras), result.error));
    } else if (result.failed_stream == SEQMEND_STREAM_MEMORY) {
      fail(record, systemErrorMessage(job.path, ENOMEM));
    }
    record.verdict = "failed";
    record.exitStatus = 1;
  } else if (result.verdict == SEQMEND_SOUND) {
    record.verdict = "sound";
    record.exitStatus = 0;
    if (setup.copySound) {
      // A hard link to the very file that was checked where the file system allows one, else a
      // copy of it.
      int error = linkInput(setup, job.path, inputFd, scratchName());
      if (error != 0) {
        const int fd = createScratch(setup, scratchName());
        error = fd < 0 ? errno : copyRange(inputFd, 0, uint64_t(size), fd);
        const int closeError = fd >= 0 ? closeFile(fd) : 0;
        error = error != 0 ? error : closeError;
      }
      if (error == 0) {
        error = placeScratch(setup, scratchName(), job.relative, baseName(job.relative), inputFd);
      }
      if (error != 0) {
        fail(record, systemErrorMessage(outputName, error));
      } else {
        record.output = outputName;
      }
    }
    if (record.exitStatus == 0) {
      addMessage(record, soundMessage(job.path));
    }
  } else if (setup.check) {
    record.verdict = "repaired";
    record.exitStatus = 0;
  } else {
    // The copy and the extra files of a memory repair go to the scratch folder now; a streamed
    // repair has put them there already.
    int error = 0;
    for (int n = 0; inMemory && error == 0 && n <= treatment.extras; ++n) {
      size_t bytes = 0;
      const unsigned char* file =
          n == 0 ? seqmend_output(context_, &bytes) : seqmend_extra(context_, n, &bytes);
      error = writeScratch(setup, scratchName(n), file, bytes);
      if (error != 0 && n > 0) {
        fail(record, systemErrorMessage(extraNameOf(setup, job.relative, n), error));
      }
    }
    if (error != 0 && record.exitStatus != 1) {
      fail(record, systemErrorMessage(outputName, error));
    }
    for (int n = 0; error == 0 && n <= treatment.extras; ++n) {
      const std::string destName =
          baseName(job.relative) + (n == 0 ? "" : ".extra" + std::to_string(n) + ".mid");
      error = placeScratch(setup, scratchName(n), job.relative, destName, inputFd);
      if (error != 0) {
        fail(record,
             systemErrorMessage(n == 0 ? outputName : extraNameOf(setup, job.relative, n), error));
      } else if (n == 0) {
        record.output = outputName;
      } else {
        record.extras.push_back(extraNameOf(setup, job.relative, n));
      }
    }
    if (record.exitStatus != 1) {
      record.verdict = "repaired";
      record.exitStatus = 0;
    }
  }
  if (record.verdict == "repaired") {
    addMessage(record, repairedMessage(job.path, outputName));
    if (result.crlf_hint != 0) {
      addMessage(record, crlfHintMessage());
    }
  }
  // Whatever was not placed goes: a failed copy, the extra files after a failure.
  const bool scratchUsed = !inMemory || setup.copySound || result.verdict == SEQMEND_REPAIRED;
  for (int n = 0; scratchUsed && !setup.check && n <= treatment.extras; ++n) {
    removeScratch(setup, scratchName(n));
  }
  closeFile(inputFd);
  if (data_.capacity() > (8u << 20)) {
    std::vector<unsigned char>().swap(data_);  // a worker holds no large buffer between files
  }
  record.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  return record;
}
