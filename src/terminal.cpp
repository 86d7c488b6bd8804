#include "terminal.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "binding.hpp"
#include "fasta.hpp"
#include "textio.hpp"

namespace voskel::terminal {

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

uint64_t add_sat(uint64_t a, uint64_t b) { return b > kMax - a ? kMax : a + b; }

// The extension rule, fed runs of positions in walk order: covered positions move the end out,
// and more than max_gap uncovered positions in a row stop the walk.
struct Walk {
  uint64_t max_gap;
  uint64_t at = 0;    // positions taken
  uint64_t reach = 0; // the farthest covered one
  uint64_t gap = 0;   // uncovered positions since the last covered one

  // Takes `len` positions that are all covered or all uncovered; false once the walk stops.
  bool take(uint64_t len, bool covered) {
    if (covered) {
      at += len;
      reach = at;
      gap = 0;
      return true;
    }
    if (len > max_gap - gap)
      return false;
    gap += len;
    at += len;
    return true;
  }
};

} // namespace

// ---- where a locus is looked at ---------------------------------------------------------------

LocusPlan plan_locus(const Locus &locus, uint64_t max_terminal_nt, const LengthMap &lengths) {
  LocusPlan p;
  const uint64_t reach = add_sat(max_terminal_nt, 1);
  p.lo = locus.intron_start > reach ? locus.intron_start - reach : 1;
  p.hi = add_sat(locus.intron_end, reach);
  auto len = lengths.find(std::string_view(locus.chrom));
  if (len == lengths.end() && std::string_view(locus.chrom).starts_with("chr"))
    len = lengths.find(std::string_view(locus.chrom).substr(3));
  if (len != lengths.end())
    p.hi = std::min(p.hi, len->second);
  p.left_anchor = std::max<uint64_t>(locus.intron_start - 1, 1);
  p.right_anchor = add_sat(locus.intron_end, 1);
  if (p.window_empty())
    return p;
  // The walks stop at the first position outside the window, so a flank that starts outside
  // it is empty; lo <= left_anchor always holds.
  if (p.left_anchor - 1 <= p.hi)
    p.left_steps = std::min(max_terminal_nt, p.left_anchor - p.lo);
  if (p.hi > p.right_anchor)
    p.right_steps = std::min(max_terminal_nt, p.hi - p.right_anchor);
  return p;
}

// ---- depth along a flank ----------------------------------------------------------------------

void FlankDepth::reset(uint64_t steps) {
  steps_ = steps;
  dense_ = steps <= dense_limit_;
  starts_.clear();
  stops_.clear();
  diff_.clear();
  if (dense_)
    diff_.resize(steps + 2, 0);
}

void FlankDepth::add(uint64_t first, uint64_t last) {
  if (dense_) {
    ++diff_[first];
    --diff_[last + 1];
  } else {
    starts_.push_back(first);
    stops_.push_back(last + 1);
  }
}

uint64_t FlankDepth::reach(uint32_t min_depth, uint64_t max_gap) {
  Walk walk{max_gap};
  // Counts never reach 2^32 in practice; compared unsaturated they decide the same as a
  // saturating 32-bit counter would, since min_depth fits 32 bits.
  if (dense_) {
    int64_t depth = 0;
    for (uint64_t s = 1; s <= steps_; ++s) {
      depth += diff_[s];
      if (!walk.take(1, static_cast<uint64_t>(depth) >= min_depth))
        break;
    }
    return walk.reach;
  }
  std::sort(starts_.begin(), starts_.end());
  std::sort(stops_.begin(), stops_.end());
  uint64_t depth = 0, at = 1; // runs start at `at`; depth holds from there to the next change
  size_t i = 0, j = 0;
  while (at <= steps_) {
    const uint64_t next =
        std::min(i < starts_.size() ? starts_[i] : kMax, j < stops_.size() ? stops_[j] : kMax);
    const uint64_t run_end = std::min(next, steps_ + 1); // exclusive
    if (run_end > at) {
      if (!walk.take(run_end - at, depth >= min_depth))
        break;
      at = run_end;
    }
    if (next > steps_)
      break;
    for (; i < starts_.size() && starts_[i] == next; ++i)
      ++depth;
    for (; j < stops_.size() && stops_[j] == next; ++j)
      --depth;
  }
  return walk.reach;
}

void LocusDepth::reset(const LocusPlan &plan) {
  plan_ = plan;
  left_.reset(plan.left_steps);
  right_.reset(plan.right_steps);
}

void LocusDepth::add_block(geometry::Span block) {
  if (block.end < block.start)
    return; // a zero-length block covers nothing
  if (plan_.left_steps > 0) {
    const uint64_t first = std::max(block.start, plan_.left_anchor - plan_.left_steps);
    const uint64_t last = std::min(block.end, plan_.left_anchor - 1);
    if (first <= last)
      left_.add(plan_.left_anchor - last, plan_.left_anchor - first);
  }
  if (plan_.right_steps > 0) {
    const uint64_t first = std::max(block.start, plan_.right_anchor + 1);
    const uint64_t last = std::min(block.end, plan_.right_anchor + plan_.right_steps);
    if (first <= last)
      right_.add(first - plan_.right_anchor, last - plan_.right_anchor);
  }
}

LocusDepth::Ends LocusDepth::extend(uint32_t min_depth, uint64_t max_gap) {
  return {plan_.left_anchor - left_.reach(min_depth, max_gap),
          plan_.right_anchor + right_.reach(min_depth, max_gap)};
}

// ---- the analysis -----------------------------------------------------------------------------

namespace {

// One sample as the loci see it; its reader stays open for the whole call.
struct SampleReader {
  bam::IndexedReader reader;
  bam::RecordFilter filter;
  bam::Strandedness strandedness;
  const std::string *path;
};

Result<std::vector<SampleReader>> open_samples(const SamplesJson &samples, const Cfg &cfg) {
  std::vector<SampleReader> out;
  out.reserve(samples.samples.size());
  for (const auto &s : samples.samples) {
    const bam::RecordFilter filter = bam::record_filter(cfg.filter, s.dup_flag_seen);
    auto reader = bam::open_indexed(s.bam);
    if (!reader)
      return fail(std::move(reader.error()));
    out.push_back({std::move(*reader), filter, bam::parse_strandedness(s.strandedness), &s.bam});
  }
  return out;
}

// Contig lengths of the FASTA index, a repeated name keeping its last length; none without one.
Result<LengthMap> load_lengths(const std::optional<std::string> &fasta) {
  LengthMap lengths;
  if (!fasta)
    return lengths;
  auto fai = fasta::load_fai(*fasta);
  if (!fai)
    return fail(std::move(fai.error()));
  for (auto &[name, length] : *fai)
    lengths.insert_or_assign(std::move(name), length);
  return lengths;
}

// Buffers reused from one record and one locus to the next.
struct Scratch {
  bam::Record rec;
  std::vector<geometry::Span> blocks;
};

// Adds one sample's reads over the locus window to the flank depths.
Status add_sample_reads(SampleReader &s, const Locus &locus, const LocusPlan &plan,
                        Scratch &scratch, LocusDepth &depth) {
  const int tid = s.reader.tid(locus.chrom);
  if (tid < 0)
    return {};
  if (auto st = s.reader.query(tid, plan.lo, plan.hi); !st)
    return fail_fmt("fetch {}: {}", *s.path, st.error().text());
  // Stranded samples only count reads of the locus strand, unless the locus has none ('.').
  const bool strand_test = bam::is_stranded(s.strandedness) && locus.strand != U'.';
  for (;;) {
    auto more = s.reader.next(scratch.rec);
    if (!more)
      return fail_fmt("BAM read {}: {}", *s.path, more.error().text());
    if (!*more)
      return {};
    const bam1_t *b = scratch.rec.get();
    if (!s.filter.passes(b))
      continue;
    if (strand_test) {
      const char strand = bam::protocol_strand(b->core.flag, s.strandedness);
      if (static_cast<char32_t>(strand) != locus.strand)
        continue;
    }
    geometry::aligned_blocks(b, scratch.blocks);
    for (const geometry::Span &block : scratch.blocks)
      depth.add_block(block);
  }
}

Status write_ends(const std::string &path, const std::vector<Locus> &loci,
                  const std::vector<LocusDepth::Ends> &ends) {
  static const std::array<std::string, 7> kHeader = {
      "residual_id", "chrom", "strand", "intron_start", "intron_end", "left_start", "right_end"};
  auto out = table::TsvWriter::create(path, kHeader);
  if (!out)
    return fail(std::move(out.error()));
  std::array<std::array<char, 24>, 4> digits;
  const auto number = [&](size_t k, uint64_t v) {
    const auto end = std::to_chars(digits[k].data(), digits[k].data() + digits[k].size(), v).ptr;
    return std::string_view(digits[k].data(), static_cast<size_t>(end - digits[k].data()));
  };
  for (size_t i = 0; i < loci.size(); ++i) {
    const Locus &l = loci[i];
    const std::string strand = textio::utf8_encode(l.strand);
    const std::array<std::string_view, 7> fields = {l.residual_id,
                                                    l.chrom,
                                                    strand,
                                                    number(0, l.intron_start),
                                                    number(1, l.intron_end),
                                                    number(2, ends[i].left_start),
                                                    number(3, ends[i].right_end)};
    if (auto st = out->row(std::span<const std::string_view>(fields)); !st)
      return st;
  }
  return out->close();
}

} // namespace

Result<uint64_t> extend_terminals(const std::string &loci_tsv, const std::string &out_tsv,
                                  const std::string &samples_json, const std::string &cfg_json) {
  auto cfg = binding::parse<Cfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  auto samples = binding::parse<SamplesJson>(samples_json);
  if (!samples)
    return fail(std::move(samples.error()));
  if (samples->samples.empty())
    return fail_msg("extend_terminals: no samples");
  auto loci = table::read_loci(loci_tsv);
  if (!loci)
    return fail(std::move(loci.error()));
  auto readers = open_samples(*samples, *cfg);
  if (!readers)
    return fail(std::move(readers.error()));
  auto lengths = load_lengths(cfg->fasta);
  if (!lengths)
    return fail(std::move(lengths.error()));

  std::vector<LocusDepth::Ends> ends;
  ends.reserve(loci->size());
  Scratch scratch;
  LocusDepth depth;
  for (const Locus &locus : *loci) {
    const LocusPlan plan = plan_locus(locus, cfg->max_terminal_nt, *lengths);
    depth.reset(plan);
    if (!plan.window_empty())
      for (SampleReader &s : *readers)
        if (auto st = add_sample_reads(s, locus, plan, scratch, depth); !st)
          return fail(std::move(st.error()));
    ends.push_back(depth.extend(cfg->min_depth, cfg->max_gap_nt));
  }
  if (auto st = write_ends(out_tsv, *loci, ends); !st)
    return fail(std::move(st.error()));
  return loci->size();
}

} // namespace voskel::terminal
