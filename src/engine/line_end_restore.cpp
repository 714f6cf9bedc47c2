// The walk over the chunks of a file that may have gone through a text-mode transfer. Each chunk
// is taken as it stands when it proves sound; otherwise with every CR before an LF removed (LF
// had become CR LF), or with CR bytes put back before LF bytes found by a search (CR LF had become
// LF); otherwise it is left as it is. The file is written only when a chunk was restored.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine.h"
#include "line_ends.h"

namespace {

// Fewer bytes than this behind the last chunk are never taken for an XF information block.
constexpr size_t XF_INFO_MIN_BYTES = 16;

// How a stretch of the input goes into the output.
enum class Fix : uint8_t {
  NONE,
  CR_LF_TO_LF,  // every CR that stands before an LF is dropped
  LF_TO_CR_LF,  // a CR goes before each LF listed
};

// The chunk a finding names: the header (track 0), a track (from 1), or another chunk (track -1)
// by its tag and offset.
struct Chunk {
  int track;
  const char* tag;
  long offset;
};

struct Stretch {
  size_t start = 0;
  size_t end = 0;
  Fix fix = Fix::NONE;
  std::vector<uint32_t> crBefore;  // for LF_TO_CR_LF: offsets of the LF bytes, ascending
  bool sound = true;               // as it stands or restored
};

// Passes the bytes of a stretch as restored to put(bytes, count), run by run.
template <typename Put>
void putRestored(const uint8_t* file, const Stretch& stretch, Put put) {
  static constexpr uint8_t CR_BYTE[1] = {CR};
  size_t from = stretch.start;
  if (stretch.fix == Fix::CR_LF_TO_LF) {
    for (size_t i = stretch.start; i + 1 < stretch.end; ++i) {
      if (file[i] == CR && file[i + 1] == LF) {
        put(file + from, i - from);
        from = i + 1;
      }
    }
  } else if (stretch.fix == Fix::LF_TO_CR_LF) {
    for (const uint32_t lf : stretch.crBefore) {
      put(file + from, lf - from);
      put(CR_BYTE, 1);
      from = lf;
    }
  }
  put(file + from, stretch.end - from);
}

class Restoration {
 public:
  Restoration(Repair& repair, const uint8_t* file, size_t size)
      : repair_(repair), file_(file), size_(size) {
    budget_.left = workBudgetFor(size);
  }

  int run() {
    const size_t header = nextTag(0, HEADER_TAG, HEADER_TAG);
    if (header == size_) {
      repair_.report(SEQMEND_NO_MIDI_DATA);
      return REPAIR_FAILED;
    }
    if (header > 0) {
      leaveUnchanged(0, header);
    }
    size_t at = takeChunk(header, ChunkKind::HEADER, Chunk{0, nullptr, -1});
    const Stretch headerStretch = stretches_.back();
    int tracks = 0;
    while (at < size_) {
      if (size_ - at >= 8 && tagEquals(TRACK_TAG, file_ + at)) {
        at = takeChunk(at, ChunkKind::TRACK, Chunk{++tracks, nullptr, -1});
      } else if (size_ - at >= XF_INFO_MIN_BYTES && tagEquals(XF_INFO_TAG, file_ + at)) {
        // XF information fills the rest of the file; it is passed over as seqmend does.
        keep(at, size_);
        at = size_;
      } else if (size_ - at >= 8 && isChunkBoundary(file_, size_, at)) {
        at = takeChunk(at, ChunkKind::OTHER,
                       Chunk{-1, reinterpret_cast<const char*>(file_ + at), long(at)});
      } else {
        const size_t next = nextTag(at + 1, TRACK_TAG, HEADER_TAG);
        leaveUnchanged(at, next);
        at = next;
      }
    }
    if (headerStretch.sound) {
      checkTrackCount(headerStretch, tracks);
    }
    if (restored_ > 0) {
      Output& out = repair_.out;
      for (const Stretch& stretch : stretches_) {
        putRestored(file_, stretch,
                    [&out](const uint8_t* bytes, size_t count) { out.write(bytes, count); });
      }
      return REPAIR_CHANGED;
    }
    if (proven_) {
      return REPAIR_UNCHANGED;
    }
    repair_.report(SEQMEND_NOTHING_UNDONE);
    return REPAIR_FAILED;
  }

 private:
  // Takes the chunk whose tag is at start: as it stands, restored, or left as it is. Returns the
  // offset where the walk goes on.
  size_t takeChunk(size_t start, ChunkKind kind, const Chunk& chunk) {
    ChunkParse parse = startChunkParse(kind);
    const size_t endAsItStands = feed(parse, start + 4, size_);
    // A body is proven only by what follows it; a track by its end of track as well.
    const bool soundAsItStands =
        parse.phase == ParsePhase::DONE &&
        (kind == ChunkKind::TRACK || isChunkBoundary(file_, size_, endAsItStands));
    // The header's fields go through the transfer like any other bytes. A damaged header that
    // ends before four printable bytes (a track count of 10 became 00 0D 0A, and the division's
    // low byte is a letter) proves less than one that ends where a track's tag stands: the
    // header as it stands is taken only when no restoration of it ends there.
    const bool weakHeader =
        soundAsItStands && kind == ChunkKind::HEADER && !isKnownChunkStart(endAsItStands);
    if (soundAsItStands && !weakHeader) {
      keep(start, endAsItStands);
      return endAsItStands;
    }
    bool givenUp = isGivenUp(parse);
    if (!givenUp) {
      long removed = 0;
      const size_t end = undoCrLf(start, kind, removed, givenUp);
      if (end != 0 && (!weakHeader || isKnownChunkStart(end))) {
        report(SEQMEND_CRLF_TO_LF, chunk, removed);
        keep(start, end, Fix::CR_LF_TO_LF);
        ++restored_;
        return end;
      }
    }
    if (!givenUp) {
      // Where the next chunk begins is where the damaged chunk ends, unless that is text inside it.
      LostCrSearch search = searchLostCrs(file_, size_, start, kind,
                                          nextTag(start + 4, TRACK_TAG, HEADER_TAG), budget_);
      if (search.outcome == LostCrSearch::NONE && !weakHeader) {
        search = searchLostCrs(file_, size_, start, kind, ANY_END, budget_);
      }
      if (search.outcome == LostCrSearch::FOUND) {
        const long inserted = long(search.crBefore.size());
        report(SEQMEND_LF_TO_CRLF, chunk, inserted);
        if (search.ambiguous) {
          report(SEQMEND_RESTORATION_AMBIGUOUS, chunk);
        }
        keep(start, search.end, Fix::LF_TO_CR_LF, std::move(search.crBefore));
        ++restored_;
        return search.end;
      }
      givenUp = search.outcome == LostCrSearch::GIVEN_UP;
    }
    if (weakHeader) {
      keep(start, endAsItStands);
      return endAsItStands;
    }
    if (givenUp) {
      report(SEQMEND_SEARCH_GIVEN_UP, chunk);
    } else {
      report(SEQMEND_NOT_RESTORABLE, chunk);
    }
    const size_t next = nextTag(start + 4, TRACK_TAG, HEADER_TAG);
    keep(start, next, Fix::NONE, {}, false);
    proven_ = false;
    return next;
  }

  // Undoes LF -> CR LF in the chunk at start, if every LF in it has a CR before it: the chunk
  // without those CR bytes must prove sound as it would stand (which is a fixed undoing, so a
  // track needs no more proof than its end of track). Returns the offset where
  // the damaged chunk ends, or 0 when that is not so.
  size_t undoCrLf(size_t start, ChunkKind kind, long& removed, bool& givenUp) {
    ChunkParse parse = startChunkParse(kind);
    size_t at = start + 4;
    size_t searchFrom = at;
    removed = 0;
    for (;;) {
      const void* found = std::memchr(file_ + searchFrom, LF, size_ - searchFrom);
      const size_t lf =
          found != nullptr ? size_t(static_cast<const uint8_t*>(found) - file_) : size_;
      const bool crBefore = lf < size_ && file_[lf - 1] == CR;
      const size_t end = feed(parse, at, crBefore ? lf - 1 : lf);
      if (parse.phase == ParsePhase::DONE) {
        return removed > 0 && (kind == ChunkKind::TRACK || isChunkBoundary(file_, size_, end)) ? end
                                                                                               : 0;
      }
      givenUp = isGivenUp(parse);
      if (parse.phase == ParsePhase::DEAD || givenUp || !crBefore) {
        return 0;  // not sound, or an LF in the chunk without a CR before it
      }
      ++removed;
      at = lf;
      searchFrom = lf + 1;
    }
  }

  // Feeds the bytes from `from` up to `to`, as far as the budget goes; returns the offset after
  // the last byte taken.
  size_t feed(ChunkParse& parse, size_t from, size_t to) {
    const size_t allowed = budget_.left > 0 ? std::min(to - from, size_t(budget_.left)) : 0;
    size_t taken = 0;
    feedChunkBytes(parse, file_ + from, allowed, taken);
    budget_.spend(int64_t(taken));
    return from + taken;
  }

  // A parse that wants more bytes while the budget is used up.
  bool isGivenUp(const ChunkParse& parse) const {
    return budget_.left <= 0 && parse.phase != ParsePhase::DONE && parse.phase != ParsePhase::DEAD;
  }

  void keep(size_t start, size_t end, Fix fix = Fix::NONE, std::vector<uint32_t> crBefore = {},
            bool sound = true) {
    stretches_.push_back({start, end, fix, std::move(crBefore), sound});
  }

  // Bytes that belong to no chunk.
  void leaveUnchanged(size_t start, size_t end) {
    const long count = long(end - start);
    repair_.report(SEQMEND_NO_CHUNK, {.offset = long(start), .count = count});
    keep(start, end, Fix::NONE, {}, false);
    proven_ = false;
  }

  void checkTrackCount(const Stretch& header, int tracks) {
    std::vector<uint8_t> bytes;
    putRestored(file_, header, [&bytes](const uint8_t* from, size_t count) {
      bytes.insert(bytes.end(), from, from + count);
    });
    const int counted = bytes[10] << 8 | bytes[11];
    if (counted != tracks) {
      repair_.report(SEQMEND_TRACK_COUNT_DIFFERS, {.value = counted, .count = tracks});
      proven_ = false;
    }
  }

  // Whether a track or a header begins at offset, or the file ends there.
  bool isKnownChunkStart(size_t offset) const {
    return offset == size_ ||
           (offset < size_ && size_ - offset >= 4 &&
            (tagEquals(TRACK_TAG, file_ + offset) || tagEquals(HEADER_TAG, file_ + offset)));
  }

  // The offset of the first of two tags at or after from; the size when neither follows.
  size_t nextTag(size_t from, const unsigned char* tag, const unsigned char* other) const {
    for (size_t at = from; at + 4 <= size_; ++at) {
      const void* m = std::memchr(file_ + at, 'M', size_ - at - 3);
      if (m == nullptr) {
        break;
      }
      at = size_t(static_cast<const uint8_t*>(m) - file_);
      if (tagEquals(tag, file_ + at) || tagEquals(other, file_ + at)) {
        return at;
      }
    }
    return size_;
  }

  // A finding about a chunk: the header, a track or another chunk.
  void report(int code, const Chunk& chunk, long count = -1) {
    repair_.report(
        code, {.track = chunk.track, .offset = chunk.offset, .count = count, .tag = chunk.tag});
  }

  Repair& repair_;
  const uint8_t* file_;
  size_t size_;
  WorkBudget budget_;
  std::vector<Stretch> stretches_;
  int restored_ = 0;
  bool proven_ = true;  // everything so far is sound as it stands
};

}  // namespace

int restoreLineEnds(Repair& repair, const unsigned char* file, size_t size) {
  if (size > size_t(MAX_INPUT_SIZE)) {
    repair.report(SEQMEND_FILE_TOO_LARGE);
    return REPAIR_FAILED;
  }
  Restoration restoration(repair, file, size);
  return restoration.run();
}
