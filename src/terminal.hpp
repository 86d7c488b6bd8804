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

// Where one locus is looked at. The window lo..hi is what every sample is queried over; the
// walks only ever read the two flanks, counted in steps away from the anchors: the left flank
// is left_anchor - 1 down to left_anchor - left_steps, the right flank right_anchor + 1 up to
// right_anchor + right_steps. Everything else of the window (anchors, intron) is never read.
struct LocusPlan {
  uint64_t lo = 1;
  uint64_t hi = 0;           // hi < lo: the window cannot be represented; nothing is queried
  uint64_t left_anchor = 1;  // intron_start - 1, at least 1
  uint64_t right_anchor = 0; // intron_end + 1, saturating
  uint64_t left_steps = 0;
  uint64_t right_steps = 0;

  bool window_empty() const { return hi < lo; }
};

// The window and flanks of a locus: max_terminal_nt + 1 bases beyond the intron on each side,
// cut at position 1 and at the contig length (looked up as named, else without a leading
// "chr"), and flanks no longer than max_terminal_nt.
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
  void add(uint64_t first, uint64_t last);
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

// Depth of the two flanks of one locus, fed with the aligned blocks of its reads.
class LocusDepth {
public:
  explicit LocusDepth(uint64_t dense_limit = FlankDepth::kDenseLimit)
      : left_(dense_limit), right_(dense_limit) {}

  void reset(const LocusPlan &plan);
  // Adds the part of a block (1-based inclusive genome positions) that lies in either flank.
  void add_block(geometry::Span block);

  struct Ends {
    uint64_t left_start = 0;
    uint64_t right_end = 0;
  };
  Ends extend(uint32_t min_depth, uint64_t max_gap);

private:
  LocusPlan plan_;
  FlankDepth left_, right_;
};

// The analysis: reads the configuration, the samples and the loci table, extends every locus
// and writes the seven-column table. Returns the number of loci written.
Result<uint64_t> extend_terminals(const std::string &loci_tsv, const std::string &out_tsv,
                                  const std::string &samples_json, const std::string &cfg_json);

} // namespace voskel::terminal
