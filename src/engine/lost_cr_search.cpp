// The search for the CR bytes a chunk lost when CR LF became LF. Every LF of the chunk may have
// lost a CR, so each one splits the search in two; the chunk parse decides which branches live on.
// Branches are kept in one queue in the order of the file, so that two that reach the same byte
// with the same parse meet there and go on as one: the work grows with the branches alive at a
// time, not with the number of ways to reach them. A branch that has lost step with the events
// mostly still parses, but its cost grows with nearly every event; once it costs far more than the
// cheapest branch at an LF, it is dropped. Where the damaged chunk must end, its length tells how
// many CR bytes it lost: a branch that has put back more, or can no longer put back enough, is
// dropped too.
#include <algorithm>
#include <cstring>
#include <queue>
#include <tuple>

#include "line_ends.h"

namespace {

constexpr uint32_t NO_CR = UINT32_MAX;

// A step of a search costs as much as feeding this many bytes to a parse.
constexpr int64_t STEP_COST = 32;

// Beyond these many branches alive at once, or CR bytes tried, the search gives up.
constexpr size_t MOST_BRANCHES = size_t(1) << 16;
constexpr size_t MOST_CRS = size_t(1) << 22;

// At each LF only the cheapest branches go on: at most this many, each costing no more than the
// cheapest by this margin.
constexpr size_t MOST_AT_LF = 32;
constexpr uint32_t COST_MARGIN = 64;

// A CR put back before the LF at `lf`, after the CR `previous` (an index in the list of CRs
// tried, or NO_CR). The branches share their earlier CRs.
struct PutBackCr {
  uint32_t lf;
  uint32_t previous;
};

struct Branch {
  uint32_t at = 0;  // offset in the file of the next byte to take
  uint32_t lastCr = NO_CR;
  bool crTaken = false;    // the CR before the LF at `at` is taken; the LF is next
  bool ambiguous = false;  // more than one restoration leads to this branch
  ChunkParse parse;
};

auto branchKey(const Branch& branch) {
  return std::tuple_cat(std::tie(branch.at, branch.crTaken), branch.parse.state());
}

// The queue's order: the branch furthest back in the file first.
struct FurtherAhead {
  bool operator()(const Branch& a, const Branch& b) const { return branchKey(a) > branchKey(b); }
};

// The next LF at or after an offset; searches only ever move forward.
class LfFinder {
 public:
  LfFinder(const uint8_t* file, size_t size) : file_(file), size_(size) {}

  size_t nextFrom(size_t offset) {
    if (offset < from_ || offset > hit_) {
      const void* lf = offset < size_ ? std::memchr(file_ + offset, LF, size_ - offset) : nullptr;
      hit_ = lf != nullptr ? size_t(static_cast<const uint8_t*>(lf) - file_) : size_;
      from_ = offset;
    }
    return hit_;
  }

 private:
  const uint8_t* file_;
  size_t size_;
  size_t from_ = 1;
  size_t hit_ = 0;
};

class Search {
 public:
  Search(const uint8_t* file, size_t size, WorkBudget& budget)
      : file_(file), size_(size), budget_(budget), lfs_(file, size) {}

  LostCrSearch run(size_t start, ChunkKind kind, size_t end) {
    start_ = start;
    end_ = end;
    if (end != ANY_END) {
      // The LF bytes of the damaged chunk, to tell how many CR bytes a branch can still put back.
      for (size_t lf = lfs_.nextFrom(start); lf < end; lf = lfs_.nextFrom(lf + 1)) {
        chunkLfs_.push_back(uint32_t(lf));
      }
    }
    Branch first;
    first.at = uint32_t(start + 4);
    first.parse = startChunkParse(kind);
    settle(first);
    while (!queue_.empty()) {
      Branch branch = nextBranch();
      if (branch.crTaken || file_[branch.at] != LF) {
        step(branch);
      } else {
        // Every branch alive stops at every LF: all that reach this one are in the queue.
        wave_.assign(1, branch);
        while (!queue_.empty() && queue_.top().at == branch.at && !queue_.top().crTaken) {
          wave_.push_back(nextBranch());
        }
        std::stable_sort(wave_.begin(), wave_.end(), [](const Branch& a, const Branch& b) {
          return a.parse.cost < b.parse.cost;
        });
        const uint32_t cheapest = wave_.front().parse.cost;
        for (size_t i = 0; i < wave_.size() && i < MOST_AT_LF; ++i) {
          if (wave_[i].parse.cost > cheapest + COST_MARGIN) {
            break;
          }
          stepAtLf(wave_[i]);
        }
      }
      if (budget_.left < 0 || queue_.size() > MOST_BRANCHES || crs_.size() > MOST_CRS) {
        result_.outcome = LostCrSearch::GIVEN_UP;
        return result_;
      }
    }
    if (found_) {
      result_.outcome = LostCrSearch::FOUND;
      result_.end = best_.at;
      result_.crBefore = crsOf(best_);
      result_.ambiguous = result_.ambiguous || best_.ambiguous;
    }
    return result_;
  }

 private:
  // The next branch in the order of the file, merged with every other that reached the same byte
  // with the same parse: they go on as one.
  Branch nextBranch() {
    Branch branch = queue_.top();
    queue_.pop();
    while (!queue_.empty() && branchKey(queue_.top()) == branchKey(branch)) {
      branch = merged(branch, queue_.top());
      queue_.pop();
    }
    budget_.spend(STEP_COST);
    return branch;
  }

  // Takes the bytes up to the next LF, or the LF after its CR.
  void step(Branch& branch) {
    if (branch.crTaken) {
      feedChunkByte(branch.parse, LF);
      branch.crTaken = false;
      ++branch.at;
    } else {
      const size_t lf = lfs_.nextFrom(branch.at);
      size_t taken = 0;
      feedChunkBytes(branch.parse, file_ + branch.at, lf - branch.at, taken);
      budget_.spend(int64_t(taken));
      branch.at += uint32_t(taken);
    }
    settle(branch);
  }

  // At an LF: with a CR before it, and unless the file has one there, without.
  void stepAtLf(Branch& branch) {
    // A CR LF pair lost its CR for sure; a lone LF may have lost one.
    if (file_[branch.at - 1] != CR) {
      Branch without = branch;
      feedChunkByte(without.parse, LF);
      ++without.at;
      settle(without);
    }
    // A chunk that would end with the CR leaves the LF outside, where no chunk begins.
    if (feedChunkByte(branch.parse, CR) && branch.parse.phase != ParsePhase::DONE) {
      crs_.push_back({branch.at, branch.lastCr});
      branch.lastCr = uint32_t(crs_.size() - 1);
      branch.crTaken = true;
      queue_.push(branch);
    }
  }

  // Whether a branch can still end where the chunk must end: with the chunk's length known, the
  // CR bytes still missing must be no more than the LF bytes ahead of it.
  bool canEndInPlace(const Branch& branch) const {
    if (branch.at > end_) {
      return false;
    }
    if (end_ == ANY_END || branch.parse.phase == ParsePhase::LENGTH) {
      return true;
    }
    const int64_t missing =
        int64_t(branch.parse.end) - branch.parse.offset - int64_t(end_ - branch.at);
    const size_t from = branch.at + (branch.crTaken ? 1 : 0);
    const auto ahead = chunkLfs_.end() - std::lower_bound(chunkLfs_.begin(), chunkLfs_.end(), from);
    return missing >= 0 && missing <= ahead;
  }

  // Queues a branch that lives on, or takes a complete chunk as a restoration.
  void settle(const Branch& branch) {
    if (branch.parse.phase == ParsePhase::DEAD || !canEndInPlace(branch)) {
      return;
    }
    if (branch.parse.phase == ParsePhase::DONE) {
      if (end_ == ANY_END ? isChunkBoundary(file_, size_, branch.at) : branch.at == end_) {
        takeRestoration(branch);
      }
      return;
    }
    if (branch.at < size_) {
      queue_.push(branch);
    }
  }

  void takeRestoration(const Branch& branch) {
    if (!found_) {
      best_ = branch;
      found_ = true;
      return;
    }
    result_.ambiguous = true;
    if (branch.parse.cost != best_.parse.cost ? branch.parse.cost < best_.parse.cost
                                              : putsCrEarlier(crsOf(branch), crsOf(best_))) {
      best_ = branch;
    }
  }

  // Whether restoration a puts a CR before an earlier LF than b where they first differ.
  static bool putsCrEarlier(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end()) {
      return false;
    }
    return ib == b.end() || *ia < *ib;
  }

  // Two branches at the same byte with the same parse have put back as many CRs. The cheaper one
  // is kept; of two that cost the same, the one whose next CR after their last shared one comes
  // first.
  Branch merged(const Branch& a, const Branch& b) {
    if (a.parse.cost != b.parse.cost) {
      Branch kept = a.parse.cost < b.parse.cost ? a : b;
      kept.ambiguous = true;
      return kept;
    }
    uint32_t x = a.lastCr;
    uint32_t y = b.lastCr;
    bool keepA = true;
    while (x != y && x != NO_CR && y != NO_CR) {
      budget_.spend(1);
      if (crs_[x].previous == crs_[y].previous) {
        keepA = crs_[x].lf <= crs_[y].lf;
        break;
      }
      x = crs_[x].previous;
      y = crs_[y].previous;
    }
    Branch kept = keepA ? a : b;
    kept.ambiguous = a.lastCr != b.lastCr || a.ambiguous || b.ambiguous;
    return kept;
  }

  std::vector<uint32_t> crsOf(const Branch& branch) const {
    std::vector<uint32_t> lfs;
    for (uint32_t cr = branch.lastCr; cr != NO_CR; cr = crs_[cr].previous) {
      lfs.push_back(crs_[cr].lf);
    }
    std::reverse(lfs.begin(), lfs.end());
    return lfs;
  }

  const uint8_t* file_;
  size_t size_;
  size_t start_ = 0;
  size_t end_ = ANY_END;
  std::vector<uint32_t> chunkLfs_;
  WorkBudget& budget_;
  LfFinder lfs_;
  std::priority_queue<Branch, std::vector<Branch>, FurtherAhead> queue_;
  std::vector<PutBackCr> crs_;
  std::vector<Branch> wave_;
  bool found_ = false;
  Branch best_;
  LostCrSearch result_;
};

}  // namespace

int64_t workBudgetFor(size_t size) {
  constexpr int64_t PER_BYTE = 24;
  return PER_BYTE * int64_t(std::max(size, size_t(1) << 20));
}

bool isChunkBoundary(const uint8_t* file, size_t size, size_t offset) {
  if (offset == size) {
    return true;
  }
  if (offset > size || size - offset < 4) {
    return false;
  }
  return std::all_of(file + offset, file + offset + 4,
                     [](uint8_t b) { return b >= 0x20 && b < 0x7F; });
}

LostCrSearch searchLostCrs(const uint8_t* file, size_t size, size_t start, ChunkKind kind,
                           size_t end, WorkBudget& budget) {
  Search search(file, size, budget);
  return search.run(start, kind, end);
}
