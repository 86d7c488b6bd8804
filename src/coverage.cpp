#include "coverage.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "coords.hpp"
#include "interrupt.hpp"

namespace voskel::coverage {

namespace {

double mean(depth::DepthSum sum, uint64_t positions) {
  return static_cast<double>(sum) / static_cast<double>(positions);
}

// A region as a query hands it to htslib: 0-based, end exclusive, within htslib's positions.
struct Window0 {
  uint64_t beg = 0;
  uint64_t end = 0;
};

Window0 query_window(Span region) {
  constexpr uint64_t kMaxPos = std::numeric_limits<hts_pos_t>::max();
  return {std::min(region.start == 0 ? 0 : region.start - 1, kMaxPos),
          std::min(region.end, kMaxPos)};
}

// The record's reference span [pos, end) as the region iterator judges overlap.
Window0 record_window(const bam1_t *b) {
  return {static_cast<uint64_t>(b->core.pos), static_cast<uint64_t>(bam_endpos(b))};
}

bool overlaps(Window0 rec, Window0 region) { return rec.beg < region.end && rec.end > region.beg; }

} // namespace

Span locus_region(const LocusQuery &locus) {
  Span region = geometry::transcript_span(locus.transcript);
  if (locus.gap) {
    region.start = std::min(region.start, locus.gap->start);
    region.end = std::max(region.end, locus.gap->end);
  }
  return region;
}

void read_key(const bam1_t *b, std::string &out) {
  out.assign(bam_get_qname(b));
  if (bam::nh_value(b) == 1)
    return;
  out.push_back('\0');
  const uint64_t pos = static_cast<uint64_t>(b->core.pos);
  for (int i = 0; i < 8; ++i)
    out.push_back(static_cast<char>((pos >> (8 * i)) & 0xFF));
  out.push_back('\0');
  const uint32_t *cigar = bam_get_cigar(b);
  std::array<char, 16> digits;
  for (uint32_t i = 0; i < b->core.n_cigar; ++i) {
    const auto r =
        std::to_chars(digits.data(), digits.data() + digits.size(), bam_cigar_oplen(cigar[i]));
    out.append(digits.data(), r.ptr);
    out.push_back(bam_cigar_opchr(cigar[i]));
  }
}

// ---- RecordView ------------------------------------------------------------------------------

void RecordView::reset(const bam1_t *b) {
  b_ = b;
  have_blocks_ = have_introns_ = have_key_ = false;
}

std::span<const Span> RecordView::blocks() {
  if (!have_blocks_) {
    geometry::aligned_blocks(b_, blocks_);
    have_blocks_ = true;
  }
  return blocks_;
}

std::span<const Span> RecordView::introns() {
  if (!have_introns_) {
    geometry::cigar_introns(b_, introns_);
    have_introns_ = true;
  }
  return introns_;
}

std::string_view RecordView::key() {
  if (!have_key_) {
    read_key(b_, key_);
    have_key_ = true;
  }
  return key_;
}

bool takes_part(const bam1_t *b, const ScanSettings &settings) {
  return !(b->core.flag & bam::kExcludeMask) && b->core.qual >= settings.min_mapq;
}

// ---- LocusTally ------------------------------------------------------------------------------

void LocusTally::begin(const LocusQuery &locus) {
  locus_ = &locus;
  span_ = geometry::transcript_span(locus.transcript);
  region_ = locus_region(locus);
  depth_.reset(region_.start, region_.end);
  introns_ = geometry::transcript_introns(locus.transcript);
  support_.resize(introns_.size());
  for (auto &keys : support_)
    keys.clear();
  bridge_.clear();
  duplicates_ = 0;
  by_strand_ = false;
}

void LocusTally::KeyBag::add(std::string_view key) {
  keys_.emplace_back(bytes_.size(), key.size());
  bytes_.append(key);
}

uint64_t LocusTally::KeyBag::distinct() {
  views_.clear();
  for (const auto &[off, len] : keys_)
    views_.emplace_back(bytes_.data() + off, len);
  std::sort(views_.begin(), views_.end());
  return static_cast<uint64_t>(std::unique(views_.begin(), views_.end()) - views_.begin());
}

void LocusTally::KeyBag::clear() {
  bytes_.clear();
  keys_.clear();
}

bool LocusTally::bridges(std::span<const Span> read_introns) const {
  const LocusQuery &locus = *locus_;
  if (!locus.gap || locus.neighbour_exons.empty())
    return false;
  const Span gap = *locus.gap;
  if (span_.end + 1 == gap.start) {
    // The gene lies after the transcript: the read splices from the gap's first base into
    // one of its exons.
    for (const Span &in : read_introns)
      if (in.start == gap.start)
        for (const Span &ex : locus.neighbour_exons)
          if (ex.start > 0 && in.end == ex.start - 1)
            return true;
  } else if (span_.start == gap.end + 1) {
    // The gene lies before it: the read splices from one of its exons to the gap's last base.
    for (const Span &in : read_introns)
      if (in.end == gap.end)
        for (const Span &ex : locus.neighbour_exons)
          if (in.start > 0 && in.start - 1 == ex.end)
            return true;
  }
  return false;
}

void LocusTally::offer(RecordView &rec, const ScanSettings &settings) {
  const bam1_t *b = rec.record();
  const uint16_t flag = b->core.flag;
  if (flag & bam::kDuplicate) {
    // Counted before the policy decides, so the count shows what the policy acted on.
    ++duplicates_;
    if (settings.skip_duplicates)
      return;
  }
  const char32_t tx_strand = locus_->transcript.strand;
  if (bam::is_stranded(settings.strandedness) && tx_strand != U'.' &&
      static_cast<char32_t>(bam::protocol_strand(flag, settings.strandedness)) != tx_strand)
    return;

  if (!(settings.require_unique_nh && bam::nh_not_unique(b))) {
    const auto read_introns = rec.introns();
    if (!read_introns.empty()) {
      // Transcript introns ascend by start and end, so equal ones are found by search.
      for (const Span &in : read_introns) {
        const auto [lo, hi] = std::equal_range(introns_.begin(), introns_.end(), in);
        for (auto it = lo; it != hi; ++it)
          support_[static_cast<size_t>(it - introns_.begin())].add(rec.key());
      }
      if (bridges(read_introns))
        bridge_.add(rec.key());
    }
  }

  for (const Span &blk : rec.blocks())
    depth_.add(blk.start, blk.end);
}

LocusCoverage LocusTally::finish(const ScanSettings &settings) {
  depth_.seal();
  const LocusQuery &locus = *locus_;
  LocusCoverage out;
  out.n_dup_flag_seen = duplicates_;
  out.junction_support.reserve(support_.size());
  for (auto &keys : support_)
    out.junction_support.push_back(keys.distinct());
  out.bridge_read_count = bridge_.distinct();

  // Exons as stored: a position inside two overlapping exons counts twice.
  depth::DepthSum sum = 0;
  uint64_t positions = 0;
  for (const auto &e : locus.transcript.exons) {
    const uint64_t a = std::max(e.start, region_.start);
    const uint64_t b = std::min(e.end, region_.end);
    if (a > b)
      continue;
    sum += depth_.sum(a, b);
    positions = coords::sat_add(positions, coords::span_len(a, b));
  }
  out.locus_mean_depth = positions == 0 ? 0.0 : mean(sum, positions);

  if (!locus.gap)
    return out;
  const Span gap = *locus.gap;
  const uint64_t length = gap.end - gap.start + 1;
  out.gap_mean_depth = mean(depth_.sum(gap.start, gap.end), length);
  const uint64_t window = settings.discontinuity_valley_bp;
  const uint64_t step = std::max<uint64_t>(settings.discontinuity_window_bp, 1);
  if (window == 0 || length < window) {
    out.valley_possible = false;
    return out;
  }
  // Every window has the same length, so the lowest sum gives the lowest mean.
  depth::DepthSum lowest = depth_.sum(gap.start, gap.start + window - 1);
  for (uint64_t ws = gap.start;;) {
    const uint64_t room = gap.end - ws + 1 - window; // bases after this window
    if (step > room)
      break;
    ws += step;
    lowest = std::min(lowest, depth_.sum(ws, ws + window - 1));
  }
  out.valley_mean = mean(lowest, window);
  out.valley_possible = true;
  return out;
}

// ---- one query per locus ---------------------------------------------------------------------

Result<LocusCoverage> LocusScanner::scan(bam::IndexedReader &reader, std::string_view bam_path,
                                         std::string_view chrom, const LocusQuery &locus) {
  const int tid = reader.tid(chrom);
  if (tid < 0)
    return fail_fmt("BAM has no contig {}", chrom);
  const Span region = locus_region(locus);
  if (auto st = reader.query(tid, region.start, region.end); !st)
    return fail_fmt("fetch {}: {}", bam_path, st.error().text());
  tally_.begin(locus);
  interrupt::Pacer pace;
  for (;;) {
    if (auto go = pace.tick(); !go)
      return fail(std::move(go.error()));
    auto more = reader.next(rec_);
    if (!more)
      return fail_fmt("BAM read: {}", more.error().text());
    if (!*more)
      break;
    if (!takes_part(rec_.get(), settings_))
      continue;
    view_.reset(rec_.get());
    tally_.offer(view_, settings_);
  }
  return tally_.finish(settings_);
}

Result<LocusCoverage> scan_locus_sample(bam::IndexedReader &reader, std::string_view bam_path,
                                        std::string_view chrom, const gtf::Transcript &transcript,
                                        std::optional<Span> gap,
                                        std::span<const Span> neighbour_exons,
                                        const ScanSettings &settings) {
  LocusScanner scanner(settings);
  return scanner.scan(reader, bam_path, chrom, LocusQuery{transcript, gap, neighbour_exons});
}

// ---- one sweep per contig --------------------------------------------------------------------

namespace {

struct Placed {
  int tid;
  Window0 window;
  size_t locus; // position in the caller's list
};

// Loci under way in one shared query; tallies are recycled from locus to locus.
class Sweep {
public:
  Sweep(std::span<const LocusQuery> loci, const ScanSettings &settings,
        std::vector<LocusCoverage> &out)
      : loci_(loci), settings_(settings), out_(out) {}

  // Runs one query over the loci of `group` (sorted by window start, windows overlapping or
  // touching, so that every record the query returns meets at least one of them).
  Status run(bam::IndexedReader &reader, std::string_view bam_path, std::span<const Placed> group) {
    Window0 whole{group.front().window.beg, 0};
    for (const Placed &p : group)
      whole.end = std::max(whole.end, p.window.end);
    if (auto st = reader.query(group.front().tid, whole.beg + 1, whole.end); !st)
      return fail_fmt("fetch {}: {}", bam_path, st.error().text());
    size_t next = 0; // first locus of the group not yet under way
    interrupt::Pacer pace;
    for (;;) {
      if (auto go = pace.tick(); !go)
        return go;
      auto more = reader.next(rec_);
      if (!more)
        return fail_fmt("BAM read: {}", more.error().text());
      if (!*more)
        break;
      const bam1_t *b = rec_.get();
      if (!takes_part(b, settings_))
        continue;
      const Window0 rw = record_window(b);
      // Records come by ascending position: a locus whose window ends at or before this one's
      // start meets no later record.
      for (size_t i = 0; i < active_.size();) {
        if (active_[i].window.end <= rw.beg) {
          retire(i);
          continue;
        }
        ++i;
      }
      while (next < group.size() && group[next].window.beg < rw.end)
        start(group[next++]);
      view_.reset(b);
      for (const Under &u : active_)
        if (overlaps(rw, u.window))
          u.tally->offer(view_, settings_);
    }
    while (next < group.size())
      start(group[next++]);
    while (!active_.empty())
      retire(active_.size() - 1);
    return {};
  }

private:
  struct Under {
    Window0 window;
    size_t locus;
    std::unique_ptr<LocusTally> tally;
  };

  void start(const Placed &p) {
    std::unique_ptr<LocusTally> tally;
    if (spare_.empty()) {
      tally = std::make_unique<LocusTally>();
    } else {
      tally = std::move(spare_.back());
      spare_.pop_back();
    }
    tally->begin(loci_[p.locus]);
    active_.push_back({p.window, p.locus, std::move(tally)});
  }

  void retire(size_t i) {
    Under &u = active_[i];
    out_[u.locus] = u.tally->finish(settings_);
    spare_.push_back(std::move(u.tally));
    active_.erase(active_.begin() + static_cast<ptrdiff_t>(i));
  }

  std::span<const LocusQuery> loci_;
  const ScanSettings &settings_;
  std::vector<LocusCoverage> &out_;
  std::vector<Under> active_;
  std::vector<std::unique_ptr<LocusTally>> spare_; // finished, kept for their buffers
  RecordView view_;
  bam::Record rec_;
};

} // namespace

Result<std::vector<LocusCoverage>> scan_sample_loci(bam::IndexedReader &reader,
                                                    std::string_view bam_path,
                                                    std::span<const LocusQuery> loci,
                                                    const ScanSettings &settings) {
  std::vector<Placed> placed;
  placed.reserve(loci.size());
  for (size_t k = 0; k < loci.size(); ++k) {
    const std::string &chrom = loci[k].transcript.chrom;
    const int tid = reader.tid(chrom);
    if (tid < 0)
      return fail_fmt("BAM has no contig {}", chrom);
    placed.push_back({tid, query_window(locus_region(loci[k])), k});
  }
  std::sort(placed.begin(), placed.end(), [](const Placed &a, const Placed &b) {
    if (a.tid != b.tid)
      return a.tid < b.tid;
    if (a.window.beg != b.window.beg)
      return a.window.beg < b.window.beg;
    return a.locus < b.locus;
  });

  std::vector<LocusCoverage> out(loci.size());
  Sweep sweep(loci, settings, out);
  for (size_t i = 0; i < placed.size();) {
    // Windows that overlap or touch form one query.
    size_t j = i + 1;
    uint64_t end = placed[i].window.end;
    while (j < placed.size() && placed[j].tid == placed[i].tid && placed[j].window.beg <= end) {
      end = std::max(end, placed[j].window.end);
      ++j;
    }
    if (auto st = sweep.run(reader, bam_path, std::span(placed).subspan(i, j - i)); !st)
      return fail(std::move(st.error()));
    i = j;
  }
  return out;
}

} // namespace voskel::coverage
