// How one sample's reads cover one representative transcript: read support of each intron,
// reads that splice straight into the nearest gene, mean depth over the exons, and depth over
// the stretch between the transcript and that gene.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "depth.hpp"
#include "error.hpp"
#include "geometry.hpp"
#include "gtf.hpp"

namespace voskel::coverage {

using geometry::Span;

// The settings every locus of a sample is scanned with.
struct ScanSettings {
  uint64_t discontinuity_valley_bp = 200; // window length, and the shortest gap holding one
  uint64_t discontinuity_window_bp = 50;  // step between windows; 0 counts as 1
  bam::Strandedness strandedness = bam::Strandedness::Rf; // "rf" and "fr" filter by strand
  uint8_t min_mapq = 10;
  bool skip_duplicates = false;
  bool require_unique_nh = false;
};

struct LocusCoverage {
  double locus_mean_depth = 0.0;
  std::optional<double> valley_mean;      // lowest window mean inside the gap
  std::optional<double> gap_mean_depth;   // present with a gap
  std::vector<uint64_t> junction_support; // distinct read keys per transcript intron
  uint64_t n_dup_flag_seen = 0;           // duplicate-flagged records, skipped or not
  uint64_t bridge_read_count = 0;
  std::optional<bool> valley_possible; // absent without a gap
};

// The locus as the scan sees it: the transcript, the bases between it and its nearest gene
// (when at least one separates them) and that gene's exons (empty without a nearest gene).
struct LocusQuery {
  const gtf::Transcript &transcript;
  std::optional<Span> gap;
  std::span<const Span> neighbour_exons;
};

// Scans the loci of one sample one after another, reusing its buffers.
class LocusScanner {
public:
  explicit LocusScanner(ScanSettings settings) : settings_(settings) {}

  // One region query over the transcript and its gap, one pass over its records. Errors:
  // "BAM has no contig {chrom}", "fetch {bam_path}: {reason}", "BAM read: {reason}".
  Result<LocusCoverage> scan(bam::IndexedReader &reader, std::string_view bam_path,
                             std::string_view chrom, const LocusQuery &locus);

private:
  // Hashes keys by their bytes; looked up by view, so a repeated key allocates nothing.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  using KeySet = std::unordered_set<std::string, KeyHash, std::equal_to<>>;

  static void add_key(KeySet &set, std::string_view key);
  bool bridges(const LocusQuery &locus, std::span<const Span> read_introns) const;
  LocusCoverage summarise(const LocusQuery &locus) const;

  ScanSettings settings_;
  depth::DepthProfile depth_;
  std::vector<Span> introns_;   // the transcript's
  std::vector<KeySet> support_; // one per transcript intron
  KeySet bridge_;
  std::vector<Span> blocks_, read_introns_;
  std::string key_;
  bam::Record rec_;
};

// The read key of a record: its name when it carries NH equal to 1, so that the mates of a
// uniquely aligned pair count once; otherwise name, a zero byte, the 0-based position as 8
// bytes little-endian, a zero byte and the CIGAR text, so that every alignment of a
// multi-mapped read counts on its own.
void read_key(const bam1_t *b, std::string &out);

// One locus of one sample, with buffers of its own.
Result<LocusCoverage> scan_locus_sample(bam::IndexedReader &reader, std::string_view bam_path,
                                        std::string_view chrom, const gtf::Transcript &transcript,
                                        std::optional<Span> gap,
                                        std::span<const Span> neighbour_exons,
                                        const ScanSettings &settings);

} // namespace voskel::coverage
