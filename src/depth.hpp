// Read depth over one closed stretch of a contig, held as runs of equal depth: memory follows
// the number of aligned blocks added, not the length of the stretch, which may reach out
// megabases towards a distant gene.
#pragma once

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
  explicit DepthProfile(uint64_t cap = kDepthCap) : cap_(cap) {}

  // Starts over on the stretch [first, last] (first <= last) with depth 0 everywhere; keeps
  // the buffers' capacity.
  void reset(uint64_t first, uint64_t last);
  // Adds 1 over [start, end] clipped to the stretch; an empty or outside block adds nothing.
  void add(uint64_t start, uint64_t end);
  // Turns the collected blocks into runs; call once after the last add, before any query.
  void seal();

  // Depth sum over [a, b] clipped to the stretch (0 when nothing remains).
  DepthSum sum(uint64_t a, uint64_t b) const;
  // Depth at one position of the stretch.
  uint64_t at(uint64_t pos) const;

  uint64_t first() const { return first_; }
  uint64_t last() const { return last_; }

private:
  // Depth sum over [first_, x], x inside the stretch.
  DepthSum upto(uint64_t x) const;

  uint64_t cap_;
  uint64_t first_ = 0, last_ = 0;
  std::vector<uint64_t> opens_;  // block starts
  std::vector<uint64_t> closes_; // one past block ends that end inside the stretch
  // Run k covers [begin_[k], begin_[k+1]) (the last one up to last_) at depth depth_[k];
  // before_[k] is the depth sum over [first_, begin_[k]).
  std::vector<uint64_t> begin_;
  std::vector<uint64_t> depth_;
  std::vector<DepthSum> before_;
};

} // namespace voskel::depth
