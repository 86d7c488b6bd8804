// Terminal extension: for each intron of a loci table, how far the reads of all samples, pooled,
// keep covering the genome outward from the intron on both sides.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "error.hpp"
#include "geometry.hpp"
#include "table.hpp"

namespace voskel::terminal {

using Locus = table::Locus;

// Contig lengths that clip the search windows, by name.
using LengthMap = std::map<std::string, uint64_t, std::less<>>;

// The positions one walk may visit, counted in steps away from its anchor: anchor - 1 down to
// anchor - steps on the left, anchor + 1 up to anchor + steps on the right.
struct Flank {
  uint64_t anchor = 0;
  uint64_t steps = 0; // 0: nothing to walk, the end stays at the anchor
  bool leftward = false;

  uint64_t first() const { return leftward ? anchor - steps : anchor + 1; }
  uint64_t last() const { return leftward ? anchor - 1 : anchor + steps; }
  // The steps that a block (1-based inclusive positions) covers in the flank; false when none.
  bool clip(geometry::Span block, uint64_t &step_first, uint64_t &step_last) const {
    if (steps == 0 || block.end < block.start) // a zero-length block covers nothing
      return false;
    const uint64_t lo = block.start > first() ? block.start : first();
    const uint64_t hi = block.end < last() ? block.end : last();
    if (lo > hi)
      return false;
    step_first = leftward ? anchor - hi : lo - anchor;
    step_last = leftward ? anchor - lo : hi - anchor;
    return true;
  }
  // The extension end after walking `reach` steps.
  uint64_t end(uint64_t reach) const { return leftward ? anchor - reach : anchor + reach; }
};

// Where one locus is looked at. The window lo..hi is what every sample is read over; the walks
// only ever visit the two flanks. The anchors and the intron are never looked at.
struct LocusPlan {
  uint64_t lo = 1;
  uint64_t hi = 0; // hi < lo: the window cannot be represented and nothing is read
  Flank left;      // anchor intron_start - 1, at least 1
  Flank right;     // anchor intron_end + 1, saturating

  bool window_empty() const { return hi < lo; }
};

// The window and flanks of a locus: max_terminal_nt + 1 bases beyond the intron on each side,
// cut at position 1 and at the contig length (looked up as named, else without a leading
// "chr"); a walk stops at the window's edge and after max_terminal_nt steps.
LocusPlan plan_locus(const Locus &locus, uint64_t max_terminal_nt, const LengthMap &lengths);

// Pooled read depth along one flank, by step (1 is the position next to the anchor). Flanks
// up to `dense_limit` steps count in one array; longer ones (a very large max_terminal_nt)
// keep only where depth changes, so memory follows the reads rather than the flank.
class FlankDepth {
public:
  static constexpr uint64_t kDenseLimit = uint64_t{1} << 20;

  explicit FlankDepth(uint64_t dense_limit = kDenseLimit) : dense_limit_(dense_limit) {}

  // Starts a flank of `steps` positions, all at depth 0.
  void reset(uint64_t steps);
  // One read more over steps first..last (1 <= first <= last <= steps).
  void add(uint64_t first, uint64_t last) {
    if (dense_) {
      ++diff_[first];
      --diff_[last + 1];
    } else {
      starts_.push_back(first);
      stops_.push_back(last + 1);
    }
  }
  // The farthest step the walk reaches: a position counts as covered at depth >= min_depth, and
  // more than max_gap uncovered positions in a row stop the walk. 0: no covered position.
  uint64_t reach(uint32_t min_depth, uint64_t max_gap);

private:
  uint64_t dense_limit_;
  uint64_t steps_ = 0;
  bool dense_ = true;
  std::vector<int64_t> diff_;    // dense: depth change at each step, 1..steps + 1
  std::vector<uint64_t> starts_; // sparse: first step of each read
  std::vector<uint64_t> stops_;  // sparse: step after the last of each read
};

struct Ends {
  uint64_t left_start = 0;
  uint64_t right_end = 0;
};

// The analysis: reads the configuration, the samples and the loci table, extends every locus
// and writes the seven-column table. Returns the number of loci written.
Result<uint64_t> extend_terminals(const std::string &loci_tsv, const std::string &out_tsv,
                                  const std::string &samples_json, const std::string &cfg_json);

} // namespace voskel::terminal
