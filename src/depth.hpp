// Read depth over one closed stretch of a contig, held as the positions where it changes: memory
// follows the number of aligned blocks added or the length of the stretch, whichever is
// smaller, never one counter per position of a stretch that may reach out megabases towards a
// distant gene.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace voskel::depth {

// Per-position counters saturate here.
inline constexpr uint64_t kDepthCap = std::numeric_limits<uint32_t>::max();

// Sums of depth over a stretch; wide enough for a saturated depth over any length.
using DepthSum = unsigned __int128;

// Collects blocks, then answers depth sums. Every answer equals what one saturating counter
// per position of the stretch would give: the depth of a position is the number of blocks
// covering it, capped.
class DepthProfile {
public:
  // `cap` above kDepthCap counts as kDepthCap.
  explicit DepthProfile(uint64_t cap = kDepthCap) : cap_(cap < kDepthCap ? cap : kDepthCap) {}

  // Starts over on the stretch [first, last] (first <= last) with depth 0 everywhere; keeps
  // the buffers' capacity.
  void reset(uint64_t first, uint64_t last);
  // Adds 1 over [start, end] clipped to the stretch; an empty or outside block adds nothing.
  void add(uint64_t start, uint64_t end);
  // Turns the collected blocks into runs of equal depth; call once after the last add, before
  // any query.
  void seal();

  // Depth sum over [a, b] clipped to the stretch (0 when nothing remains).
  DepthSum sum(uint64_t a, uint64_t b) const;
  // Depth at one position of the stretch.
  uint64_t at(uint64_t pos) const;

  uint64_t first() const { return first_; }
  uint64_t last() const { return last_; }

private:
  // The depth changes by `delta` at `pos`.
  struct Step {
    uint64_t pos;
    int64_t delta;
  };
  // Blocks wait unsorted until there are about twice as many as folded steps.
  static constexpr size_t kMinPending = 1 << 12;

  // Folds the waiting block ends into the steps: one entry per position, none of delta 0.
  void fold();
  // Run holding position x, x inside the stretch.
  size_t run_of(uint64_t x) const;
  // Depth sum over [first_, x], x inside the stretch.
  DepthSum upto(uint64_t x) const;

  uint64_t cap_;
  uint64_t first_ = 0, last_ = 0;
  std::vector<uint64_t> opens_;  // block starts, waiting
  std::vector<uint64_t> closes_; // one past block ends that end inside the stretch, waiting
  std::vector<Step> steps_, merged_;
  // Run k covers [begin_[k], begin_[k+1]) (the last one up to last_) at depth depth_[k];
  // before_[k] is the depth sum over [first_, begin_[k]).
  std::vector<uint64_t> begin_;
  std::vector<uint32_t> depth_;
  std::vector<DepthSum> before_;
};

} // namespace voskel::depth
