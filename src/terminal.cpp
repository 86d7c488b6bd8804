#include "terminal.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>
#include <limits>
#include <optional>
#include <span>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "binding.hpp"
#include "coords.hpp"
#include "fasta.hpp"
#include "interrupt.hpp"
#include "paths.hpp"
#include "textio.hpp"

namespace voskel::terminal {

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

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
  const uint64_t reach = coords::sat_add(max_terminal_nt, 1);
  p.lo = locus.intron_start > reach ? locus.intron_start - reach : 1;
  p.hi = coords::sat_add(locus.intron_end, reach);
  const std::string_view chrom = locus.chrom;
  auto len = lengths.find(chrom);
  if (len == lengths.end() && chrom.starts_with("chr"))
    len = lengths.find(chrom.substr(3));
  if (len != lengths.end())
    p.hi = std::min(p.hi, len->second);
  p.left = {std::max<uint64_t>(locus.intron_start - 1, 1), 0, true};
  p.right = {coords::sat_add(locus.intron_end, 1), 0, false};
  if (p.window_empty())
    return p;
  // A walk stops at the first position outside the window, so a flank whose first step lies
  // beyond hi is empty; lo <= the left anchor always holds.
  if (p.left.anchor - 1 <= p.hi)
    p.left.steps = std::min(max_terminal_nt, p.left.anchor - p.lo);
  if (p.hi > p.right.anchor)
    p.right.steps = std::min(max_terminal_nt, p.hi - p.right.anchor);
  return p;
}

// ---- depth along a flank ----------------------------------------------------------------------

void FlankDepth::reset(uint64_t steps) {
  steps_ = steps;
  dense_ = steps <= dense_limit_;
  diff_.clear();
  if (dense_) {
    // The change points of a long flank can be many; they are not kept for dense reuse.
    std::vector<uint64_t>().swap(starts_);
    std::vector<uint64_t>().swap(stops_);
    diff_.resize(steps + 2, 0);
  } else {
    starts_.clear();
    stops_.clear();
  }
}

uint64_t FlankDepth::reach(uint32_t min_depth, uint64_t max_gap) {
  Walk walk{max_gap};
  // Counts never reach 2^32 in practice; compared unsaturated they decide as a saturating
  // 32-bit counter would, since min_depth fits 32 bits.
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
  uint64_t depth = 0, at = 1; // a run starts at `at`; depth holds until the next change
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

// ---- the analysis -----------------------------------------------------------------------------

namespace {

// One sample as the loci see it; its reader stays open for the whole call.
struct SampleReader {
  bam::IndexedReader reader;
  bam::RecordFilter filter;
  bam::Strandedness strandedness;
  const std::string *path;
  bam::Record rec; // the sample's current record during a sweep
  int tid = -1;    // reference id of the chromosome being swept; -1: not in this header

  // The next record of the active query: true when there is one.
  Result<bool> advance() {
    auto more = reader.next(rec);
    if (!more)
      return fail_fmt("BAM read {}: {}", *path, more.error().text());
    return *more;
  }
};

Result<std::vector<SampleReader>> open_samples(const SamplesJson &samples, const Cfg &cfg) {
  std::vector<SampleReader> out;
  out.reserve(samples.samples.size());
  for (const auto &s : samples.samples) {
    auto reader = bam::open_indexed(s.bam);
    if (!reader)
      return fail(std::move(reader.error()));
    out.push_back({std::move(*reader), bam::record_filter(cfg.filter, s.dup_flag_seen),
                   bam::parse_strandedness(s.strandedness), &s.bam, bam::Record(), -1});
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

// One flank to walk, with what decides which reads count for it.
struct Job {
  Flank flank;
  char32_t strand; // of the locus: stranded reads of the other strand do not count
  uint32_t locus;
};

// Loci whose windows overlap form a group that every sample reads in one pass over the union of
// the windows. Depth at a position does not depend on the window it is read through, so this
// counts exactly what reading each window on its own would, while each record is decoded once
// per group rather than once per locus.
class Sweep {
public:
  Sweep(const Cfg &cfg, std::vector<Ends> &ends) : cfg_(cfg), ends_(ends) {}

  // Reads the group's window lo..hi of every sample holding the chromosome, merging the
  // samples' records by position; a flank is walked once every sample's reads have passed its
  // last position. `jobs` are sorted by their first position.
  Status run(std::vector<SampleReader> &samples, uint64_t lo, uint64_t hi,
             std::span<const Job> jobs);

private:
  struct Active {
    uint32_t job;
    uint32_t slot; // in pool_
  };
  // Heap entry: the current record of one sample, soonest position on top.
  struct Head {
    int64_t pos;
    uint32_t sample;
    bool operator>(const Head &o) const { return pos != o.pos ? pos > o.pos : sample > o.sample; }
  };

  void finish(const Job &job, FlankDepth &depth);
  void retire_before(uint64_t pos);
  void activate_upto(uint64_t pos, uint64_t record_start);
  void add(const bam1_t *b, uint64_t start, char32_t strand);

  const Cfg &cfg_;
  std::vector<Ends> &ends_;
  std::span<const Job> jobs_;
  size_t next_ = 0;              // first job not yet activated
  std::vector<Active> active_;   // jobs reads may still reach
  uint64_t min_last_ = kMax;     // smallest last position among active_
  std::vector<FlankDepth> pool_; // depth of active jobs; released slots are reused
  std::vector<uint32_t> free_;
  FlankDepth empty_; // for flanks no read reaches
  std::vector<Head> heads_;
  std::vector<geometry::Span> blocks_;
};

void Sweep::finish(const Job &job, FlankDepth &depth) {
  const uint64_t end = job.flank.end(depth.reach(cfg_.min_depth, cfg_.max_gap_nt));
  (job.flank.leftward ? ends_[job.locus].left_start : ends_[job.locus].right_end) = end;
}

void Sweep::retire_before(uint64_t pos) {
  if (min_last_ >= pos)
    return;
  min_last_ = kMax;
  size_t kept = 0;
  for (const Active &a : active_) {
    const Job &job = jobs_[a.job];
    if (job.flank.last() < pos) {
      finish(job, pool_[a.slot]);
      free_.push_back(a.slot);
    } else {
      min_last_ = std::min(min_last_, job.flank.last());
      active_[kept++] = a;
    }
  }
  active_.resize(kept);
}

void Sweep::activate_upto(uint64_t pos, uint64_t record_start) {
  for (; next_ < jobs_.size() && jobs_[next_].flank.first() <= pos; ++next_) {
    const Job &job = jobs_[next_];
    if (job.flank.last() < record_start) { // every read still to come starts beyond it
      empty_.reset(job.flank.steps);
      finish(job, empty_);
      continue;
    }
    uint32_t slot;
    if (!free_.empty()) {
      slot = free_.back();
      free_.pop_back();
    } else {
      slot = static_cast<uint32_t>(pool_.size());
      pool_.emplace_back();
    }
    pool_[slot].reset(job.flank.steps);
    active_.push_back({static_cast<uint32_t>(next_), slot});
    min_last_ = std::min(min_last_, job.flank.last());
  }
}

// Adds a record that starts at `start` (1-based) to the flanks it covers.
void Sweep::add(const bam1_t *b, uint64_t start, char32_t strand) {
  geometry::aligned_blocks(b, blocks_);
  if (blocks_.empty())
    return;
  uint64_t reach = 0;
  for (const geometry::Span &block : blocks_)
    reach = std::max(reach, block.end);
  activate_upto(reach, start);
  for (const Active &a : active_) {
    const Job &job = jobs_[a.job];
    if (strand != 0 && job.strand != U'.' && job.strand != strand)
      continue;
    for (const geometry::Span &block : blocks_) {
      uint64_t first, last;
      if (job.flank.clip(block, first, last))
        pool_[a.slot].add(first, last);
    }
  }
}

Status Sweep::run(std::vector<SampleReader> &samples, uint64_t lo, uint64_t hi,
                  std::span<const Job> jobs) {
  jobs_ = jobs;
  next_ = 0;
  active_.clear();
  min_last_ = kMax;
  heads_.clear();
  const auto later = std::greater<Head>();
  for (uint32_t i = 0; i < samples.size(); ++i) {
    SampleReader &s = samples[i];
    if (s.tid < 0)
      continue;
    if (auto st = s.reader.query(s.tid, lo, hi); !st)
      return fail_fmt("fetch {}: {}", *s.path, st.error().text());
    auto more = s.advance();
    if (!more)
      return fail(std::move(more.error()));
    if (*more)
      heads_.push_back({s.rec.get()->core.pos, i});
  }
  std::make_heap(heads_.begin(), heads_.end(), later);
  interrupt::Pacer pace;
  while (!heads_.empty()) {
    if (auto go = pace.tick(); !go)
      return go;
    std::pop_heap(heads_.begin(), heads_.end(), later);
    const Head head = heads_.back();
    heads_.pop_back();
    SampleReader &s = samples[head.sample];
    const bam1_t *b = s.rec.get();
    // Every record still to come, from any sample, starts at this position or later.
    const uint64_t start = head.pos < 0 ? 0 : static_cast<uint64_t>(head.pos) + 1;
    retire_before(start);
    if (s.filter.passes(b)) {
      const char strand = bam::protocol_strand(b->core.flag, s.strandedness);
      add(b, start, static_cast<char32_t>(static_cast<unsigned char>(strand)));
    }
    auto more = s.advance();
    if (!more)
      return fail(std::move(more.error()));
    if (*more) {
      heads_.push_back({s.rec.get()->core.pos, head.sample});
      std::push_heap(heads_.begin(), heads_.end(), later);
    }
  }
  for (const Active &a : active_) {
    finish(jobs_[a.job], pool_[a.slot]);
    free_.push_back(a.slot);
  }
  active_.clear();
  for (; next_ < jobs_.size(); ++next_) {
    empty_.reset(jobs_[next_].flank.steps);
    finish(jobs_[next_], empty_);
  }
  return {};
}

// Depth a group may hold, in flank steps: overlapping windows are cut into several groups
// beyond it (each reads the stretch it needs), so memory stays bounded however many loci
// overlap and however far they may extend.
constexpr uint64_t kGroupSteps = uint64_t{1} << 22;

// The steps a locus adds to its group; a flank too long for a dense count makes its locus a
// group of its own.
uint64_t depth_cost(const LocusPlan &plan) {
  if (plan.left.steps > FlankDepth::kDenseLimit || plan.right.steps > FlankDepth::kDenseLimit)
    return kGroupSteps;
  return plan.left.steps + plan.right.steps;
}

// Extends every locus: loci are grouped by chromosome and by overlapping windows, and each
// group is swept once. Loci whose window cannot be represented keep their anchors.
Result<std::vector<Ends>> extend_all(const std::vector<Locus> &loci, const Cfg &cfg,
                                     const LengthMap &lengths, std::vector<SampleReader> &samples) {
  std::vector<LocusPlan> plans;
  plans.reserve(loci.size());
  std::vector<Ends> ends;
  ends.reserve(loci.size());
  std::map<std::string_view, std::vector<uint32_t>> by_chrom;
  for (uint32_t i = 0; i < loci.size(); ++i) {
    plans.push_back(plan_locus(loci[i], cfg.max_terminal_nt, lengths));
    ends.push_back({plans.back().left.anchor, plans.back().right.anchor});
    if (!plans.back().window_empty())
      by_chrom[loci[i].chrom].push_back(i);
  }

  Sweep sweep(cfg, ends);
  std::vector<Job> jobs;
  for (auto &[chrom, members] : by_chrom) {
    for (SampleReader &s : samples)
      s.tid = s.reader.tid(chrom);
    std::stable_sort(members.begin(), members.end(),
                     [&](uint32_t a, uint32_t b) { return plans[a].lo < plans[b].lo; });
    for (size_t g = 0; g < members.size();) {
      uint64_t lo = plans[members[g]].lo, hi = plans[members[g]].hi;
      uint64_t cost = depth_cost(plans[members[g]]);
      size_t end = g + 1;
      for (; end < members.size() && plans[members[end]].lo <= coords::sat_add(hi, 1); ++end) {
        const uint64_t more = depth_cost(plans[members[end]]);
        if (more > kGroupSteps - cost)
          break;
        cost += more;
        hi = std::max(hi, plans[members[end]].hi);
      }
      jobs.clear();
      for (size_t k = g; k < end; ++k) {
        const uint32_t i = members[k];
        for (const Flank &f : {plans[i].left, plans[i].right})
          if (f.steps > 0)
            jobs.push_back({f, loci[i].strand, i});
      }
      std::stable_sort(jobs.begin(), jobs.end(), [](const Job &a, const Job &b) {
        return a.flank.first() < b.flank.first();
      });
      if (auto st = sweep.run(samples, lo, hi, jobs); !st)
        return fail(std::move(st.error()));
      g = end;
    }
  }
  return ends;
}

Status write_ends(const std::string &path, const std::vector<Locus> &loci,
                  const std::vector<Ends> &ends) {
  const std::array<std::string, 7> header = {
      "residual_id", "chrom", "strand", "intron_start", "intron_end", "left_start", "right_end"};
  auto out = table::TsvWriter::create(path, header);
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
  {
    const std::string outputs[] = {out_tsv};
    std::vector<std::string> inputs{loci_tsv};
    if (cfg->fasta) {
      inputs.push_back(*cfg->fasta + ".fai");
      inputs.push_back(*cfg->fasta);
    }
    for (const SampleIn &s : samples->samples)
      paths::add_bam_inputs(inputs, s.bam);
    if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
      return fail(std::move(st.error()));
  }
  auto loci = table::read_loci(loci_tsv);
  if (!loci)
    return fail(std::move(loci.error()));
  auto readers = open_samples(*samples, *cfg);
  if (!readers)
    return fail(std::move(readers.error()));
  auto lengths = load_lengths(cfg->fasta);
  if (!lengths)
    return fail(std::move(lengths.error()));
  auto ends = extend_all(*loci, *cfg, *lengths, *readers);
  if (!ends)
    return fail(std::move(ends.error()));
  // The last look at the interrupt flag: once writing starts, the table is written.
  if (auto go = interrupt::checkpoint(); !go)
    return fail(std::move(go.error()));
  if (auto st = write_ends(out_tsv, *loci, *ends); !st)
    return fail(std::move(st.error()));
  return loci->size();
}

} // namespace voskel::terminal
