// The walk over the chunks of a file that may have gone through a text-mode transfer. Each chunk
// is taken as it stands when it proves sound; otherwise with every CR before an LF removed (LF
// had become CR LF), or with CR bytes put back before LF bytes found by a search (CR LF had become
// LF); otherwise it is left as it is. The file is written only when a chunk was restored.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
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
  Restoration(const char* name, const uint8_t* file, size_t size)
      : name_(name), file_(file), size_(size) {
    budget_.left = workBudgetFor(size);
  }

  int run(FILE* out) {
    const size_t header = nextTag(0, HEADER_TAG, HEADER_TAG);
    if (header == size_) {
      std::printf("%s: No midi data found.\n", name_);
      return REPAIR_FAILED;
    }
    if (header > 0) {
      leaveUnchanged(0, header);
    }
    size_t at = takeChunk(header, ChunkKind::HEADER, "the header");
    const Stretch headerStretch = stretches_.back();
    int tracks = 0;
    while (at < size_) {
      char what[48];
      if (size_ - at >= 8 && tagEquals(TRACK_TAG, file_ + at)) {
        std::snprintf(what, sizeof what, "track %d", ++tracks);
        at = takeChunk(at, ChunkKind::TRACK, what);
      } else if (size_ - at >= XF_INFO_MIN_BYTES && tagEquals(XF_INFO_TAG, file_ + at)) {
        // XF information fills the rest of the file; it is passed over as seqmend does.
        keep(at, size_);
        at = size_;
      } else if (size_ - at >= 8 && isChunkBoundary(file_, size_, at)) {
        std::snprintf(what, sizeof what, "chunk %.4s at %08lX",
                      reinterpret_cast<const char*>(file_ + at), static_cast<unsigned long>(at));
        at = takeChunk(at, ChunkKind::OTHER, what);
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
      for (const Stretch& stretch : stretches_) {
        putRestored(file_, stretch,
                    [out](const uint8_t* bytes, size_t count) { writeBlock(bytes, count, out); });
      }
      return REPAIR_CHANGED;
    }
    if (proven_) {
      return REPAIR_UNCHANGED;
    }
    std::printf("%s: no damage of a text-mode transfer could be undone\n", name_);
    return REPAIR_FAILED;
  }

 private:
  // Takes the chunk whose tag is at start: as it stands, restored, or left as it is. Returns the
  // offset where the walk goes on.
  size_t takeChunk(size_t start, ChunkKind kind, const char* what) {
    ChunkParse parse = startChunkParse(kind);
    size_t end = feed(parse, start + 4, size_);
    // A body is proven only by what follows it; a track by its end of track as well.
    if (parse.phase == ParsePhase::DONE &&
        (kind == ChunkKind::TRACK || isChunkBoundary(file_, size_, end))) {
      keep(start, end);
      return end;
    }
    bool givenUp = isGivenUp(parse);
    if (!givenUp) {
      long removed = 0;
      end = undoCrLf(start, kind, removed, givenUp);
      if (end != 0) {
        std::printf("%s: CR LF changed back to LF in %s (%ld byte%s removed)\n", name_, what,
                    removed, pluralEnding(removed));
        keep(start, end, Fix::CR_LF_TO_LF);
        ++restored_;
        return end;
      }
    }
    if (!givenUp) {
      // Where the next chunk begins is where the damaged chunk ends, unless that is text inside it.
      LostCrSearch search = searchLostCrs(file_, size_, start, kind,
                                          nextTag(start + 4, TRACK_TAG, HEADER_TAG), budget_);
      if (search.outcome == LostCrSearch::NONE) {
        search = searchLostCrs(file_, size_, start, kind, ANY_END, budget_);
      }
      if (search.outcome == LostCrSearch::FOUND) {
        const long inserted = long(search.crBefore.size());
        std::printf("%s: LF changed back to CR LF in %s (%ld byte%s inserted)\n", name_, what,
                    inserted, pluralEnding(inserted));
        if (search.ambiguous) {
          std::printf(
              "%s: Warning - more than one restoration of %s proves sound; the one with the fewest unusual bytes was taken\n",
              name_, what);
        }
        keep(start, search.end, Fix::LF_TO_CR_LF, std::move(search.crBefore));
        ++restored_;
        return search.end;
      }
      givenUp = search.outcome == LostCrSearch::GIVEN_UP;
    }
    if (givenUp) {
      std::printf("%s: %s left unchanged: the search was given up, too much work\n", name_, what);
    } else {
      std::printf(
          "%s: %s left unchanged: not sound, and no restoration of its line ends makes it sound\n",
          name_, what);
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
    std::printf("%s: %ld byte%s at %08lX left unchanged: no chunk\n", name_, count,
                pluralEnding(count), static_cast<unsigned long>(start));
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
      std::printf("%s: the header counts %d track%s, %d found\n", name_, counted,
                  pluralEnding(counted), tracks);
      proven_ = false;
    }
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

  const char* name_;
  const uint8_t* file_;
  size_t size_;
  WorkBudget budget_;
  std::vector<Stretch> stretches_;
  int restored_ = 0;
  bool proven_ = true;  // everything so far is sound as it stands
};

}  // namespace

int restoreLineEnds(const char* name, FILE* out, FILE* in) {
  if (std::fseek(in, 0, SEEK_END) != 0) {
    failStream(name);
  }
  const long size = std::ftell(in);
  if (size < 0 || std::fseek(in, 0, SEEK_SET) != 0) {
    failStream(name);
  }
  if (size > MAX_INPUT_SIZE) {
    std::printf("%s: file too large\n", name);
    return REPAIR_FAILED;
  }
  std::unique_ptr<uint8_t[]> file(new (std::nothrow) uint8_t[size_t(size) + 1]);
  if (!file) {
    std::printf("%s: not enough memory\n", name);
    return REPAIR_FAILED;
  }
  if (readBlock(file.get(), size_t(size), in) != size_t(size)) {
    failStream(name, std::feof(in) ? "unexpected end of file" : nullptr);
  }
  Restoration restoration(name, file.get(), size_t(size));
  return restoration.run(out);
}
