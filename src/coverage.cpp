#include "coverage.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace voskel::coverage {

namespace {

double mean(depth::DepthSum sum, uint64_t positions) {
  return static_cast<double>(sum) / static_cast<double>(positions);
}

} // namespace

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

void LocusScanner::add_key(KeySet &set, std::string_view key) {
  if (set.find(key) == set.end())
    set.emplace(key);
}

bool LocusScanner::bridges(const LocusQuery &locus, std::span<const Span> read_introns) const {
  if (!locus.gap || locus.neighbour_exons.empty())
    return false;
  const Span tx = geometry::transcript_span(locus.transcript);
  const Span gap = *locus.gap;
  if (tx.end + 1 == gap.start) {
    // The gene lies after the transcript: the read splices from the gap's first base into
    // one of its exons.
    for (const Span &in : read_introns)
      if (in.start == gap.start)
        for (const Span &ex : locus.neighbour_exons)
          if (ex.start > 0 && in.end == ex.start - 1)
            return true;
  } else if (tx.start == gap.end + 1) {
    // The gene lies before it: the read splices from one of its exons to the gap's last base.
    for (const Span &in : read_introns)
      if (in.end == gap.end)
        for (const Span &ex : locus.neighbour_exons)
          if (in.start > 0 && in.start - 1 == ex.end)
            return true;
  }
  return false;
}

Result<LocusCoverage> LocusScanner::scan(bam::IndexedReader &reader, std::string_view bam_path,
                                         std::string_view chrom, const LocusQuery &locus) {
  const int tid = reader.tid(chrom);
  if (tid < 0)
    return fail_fmt("BAM has no contig {}", chrom);
  const gtf::Transcript &tx = locus.transcript;
  Span region = geometry::transcript_span(tx);
  if (locus.gap) {
    region.start = std::min(region.start, locus.gap->start);
    region.end = std::max(region.end, locus.gap->end);
  }
  if (auto st = reader.query(tid, region.start, region.end); !st)
    return fail_fmt("fetch {}: {}", bam_path, st.error().text());

  depth_.reset(region.start, region.end);
  introns_ = geometry::transcript_introns(tx);
  support_.resize(introns_.size());
  for (auto &set : support_)
    set.clear();
  bridge_.clear();
  uint64_t duplicates = 0;
  const bool by_strand = bam::is_stranded(settings_.strandedness) && tx.strand != U'.';

  for (;;) {
    auto more = reader.next(rec_);
    if (!more)
      return fail_fmt("BAM read: {}", more.error().text());
    if (!*more)
      break;
    const bam1_t *b = rec_.get();
    const uint16_t flag = b->core.flag;
    if (flag & bam::kExcludeMask)
      continue;
    if (b->core.qual < settings_.min_mapq)
      continue;
    if (flag & bam::kDuplicate) {
      // Counted before the policy decides, so the count shows what the policy acted on.
      ++duplicates;
      if (settings_.skip_duplicates)
        continue;
    }
    if (by_strand &&
        static_cast<char32_t>(bam::protocol_strand(flag, settings_.strandedness)) != tx.strand)
      continue;

    if (!(settings_.require_unique_nh && bam::nh_not_unique(b))) {
      geometry::cigar_introns(b, read_introns_);
      if (!read_introns_.empty()) {
        key_.clear();
        const auto key = [&]() -> std::string_view {
          if (key_.empty())
            read_key(b, key_);
          return key_;
        };
        // Transcript introns ascend by start (and then end), so equal ones are found by search.
        for (const Span &in : read_introns_) {
          const auto [lo, hi] = std::equal_range(introns_.begin(), introns_.end(), in);
          for (auto it = lo; it != hi; ++it)
            add_key(support_[static_cast<size_t>(it - introns_.begin())], key());
        }
        if (bridges(locus, read_introns_))
          add_key(bridge_, key());
      }
    }

    geometry::aligned_blocks(b, blocks_);
    for (const Span &blk : blocks_)
      depth_.add(blk.start, blk.end);
  }
  depth_.seal();

  LocusCoverage out = summarise(locus);
  out.n_dup_flag_seen = duplicates;
  out.junction_support.reserve(support_.size());
  for (const auto &set : support_)
    out.junction_support.push_back(set.size());
  out.bridge_read_count = bridge_.size();
  return out;
}

LocusCoverage LocusScanner::summarise(const LocusQuery &locus) const {
  LocusCoverage out;
  // Exons as stored: a position inside two overlapping exons counts twice.
  depth::DepthSum sum = 0;
  uint64_t positions = 0;
  for (const auto &e : locus.transcript.exons) {
    const uint64_t a = std::max(e.start, depth_.first());
    const uint64_t b = std::min(e.end, depth_.last());
    if (a > b)
      continue;
    sum += depth_.sum(a, b);
    positions += b - a + 1;
  }
  out.locus_mean_depth = positions == 0 ? 0.0 : mean(sum, positions);

  if (!locus.gap)
    return out;
  const Span gap = *locus.gap;
  const uint64_t length = gap.end - gap.start + 1;
  out.gap_mean_depth = mean(depth_.sum(gap.start, gap.end), length);
  const uint64_t window = settings_.discontinuity_valley_bp;
  const uint64_t step = std::max<uint64_t>(settings_.discontinuity_window_bp, 1);
  if (window == 0 || length < window) {
    out.valley_possible = false;
    return out;
  }
  // Every window has the same length, so the lowest sum gives the lowest mean.
  depth::DepthSum lowest = depth_.sum(gap.start, gap.start + window - 1);
  for (uint64_t ws = gap.start;;) {
    const uint64_t room = gap.end - ws + 1 - window; // bases left after this window
    if (step > room)
      break;
    ws += step;
    lowest = std::min(lowest, depth_.sum(ws, ws + window - 1));
  }
  out.valley_mean = mean(lowest, window);
  out.valley_possible = true;
  return out;
}

Result<LocusCoverage> scan_locus_sample(bam::IndexedReader &reader, std::string_view bam_path,
                                        std::string_view chrom, const gtf::Transcript &transcript,
                                        std::optional<Span> gap,
                                        std::span<const Span> neighbour_exons,
                                        const ScanSettings &settings) {
  LocusScanner scanner(settings);
  return scanner.scan(reader, bam_path, chrom, LocusQuery{transcript, gap, neighbour_exons});
}

} // namespace voskel::coverage
