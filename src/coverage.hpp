// How one sample's reads cover one representative transcript: read support of each intron,
// reads that splice straight into the nearest gene, mean depth over the exons, and depth over
// the stretch between the transcript and that gene.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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
  friend bool operator==(const LocusCoverage &, const LocusCoverage &) = default;
};

// The locus as the scan sees it: the transcript, the bases between it and its nearest gene
// (when at least one separates them) and that gene's exons (empty without a nearest gene).
struct LocusQuery {
  const gtf::Transcript &transcript;
  std::optional<Span> gap;
  std::span<const Span> neighbour_exons;
};

// The stretch a locus reads: the transcript's span, widened to cover its gap.
Span locus_region(const LocusQuery &locus);

// The read key of a record: its name when it carries NH equal to 1, so that the mates of a
// uniquely aligned pair count once; otherwise name, a zero byte, the 0-based position as 8
// bytes little-endian, a zero byte and the CIGAR text, so that every alignment of a
// multi-mapped read counts on its own.
void read_key(const bam1_t *b, std::string &out);

// The parts of one record that every locus it meets reads, decoded at most once.
class RecordView {
public:
  void reset(const bam1_t *b);
  const bam1_t *record() const { return b_; }
  std::span<const Span> blocks();
  std::span<const Span> introns();
  std::string_view key();

private:
  const bam1_t *b_ = nullptr;
  bool have_blocks_ = false, have_introns_ = false, have_key_ = false;
  std::vector<Span> blocks_, introns_;
  std::string key_;
};

// The rules that do not depend on the locus: records outside the flag mask or below the
// mapping quality take no part anywhere, not even in the duplicate count.
bool takes_part(const bam1_t *b, const ScanSettings &settings);

// One locus's share of a sample's records, from its first record to its figures.
class LocusTally {
public:
  // Starts the locus over its region (locus_region); `locus` must outlive the tally's use.
  void begin(const LocusQuery &locus);
  // Applies one record that takes part and overlaps the region: duplicates (counted before
  // the policy skips them), the strand filter, the NH rule, intron support, bridges, depth.
  void offer(RecordView &rec, const ScanSettings &settings);
  // The figures, once the last record has been offered.
  LocusCoverage finish(const ScanSettings &settings);

private:
  // Keys as they come, repeats included, in one byte buffer; counted distinct at the end,
  // which costs one sort instead of a node per key.
  class KeyBag {
  public:
    void add(std::string_view key);
    uint64_t distinct();
    void clear();

  private:
    std::string bytes_;
    std::vector<std::pair<uint64_t, uint64_t>> keys_; // offset, length
    std::vector<std::string_view> views_;
  };
  bool bridges(std::span<const Span> read_introns) const;

  const LocusQuery *locus_ = nullptr;
  Span span_;   // the transcript's
  Span region_; // what the locus reads
  bool by_strand_ = false;
  depth::DepthProfile depth_;
  std::vector<Span> introns_;   // the transcript's, ascending
  std::vector<KeyBag> support_; // one per transcript intron
  KeyBag bridge_;
  uint64_t duplicates_ = 0;
};

// One region query per locus: the plain reading of the rules, kept beside the sweep below
// (which must agree with it) and used for single loci.
class LocusScanner {
public:
  explicit LocusScanner(ScanSettings settings) : settings_(settings) {}

  // Errors: "BAM has no contig {chrom}", "fetch {bam_path}: {reason}", "BAM read: {reason}".
  Result<LocusCoverage> scan(bam::IndexedReader &reader, std::string_view bam_path,
                             std::string_view chrom, const LocusQuery &locus);

private:
  ScanSettings settings_;
  LocusTally tally_;
  RecordView view_;
  bam::Record rec_;
};

// One locus of one sample, with buffers of its own.
Result<LocusCoverage> scan_locus_sample(bam::IndexedReader &reader, std::string_view bam_path,
                                        std::string_view chrom, const gtf::Transcript &transcript,
                                        std::optional<Span> gap,
                                        std::span<const Span> neighbour_exons,
                                        const ScanSettings &settings);

// Every locus of a sample in one sweep per contig: loci whose regions overlap or touch share
// one region query, so each record is decoded once however many loci it meets, and every
// locus sees exactly the records its own query would return. The figures equal those of
// LocusScanner, locus by locus. Errors as LocusScanner's; a contig missing from the header
// is reported for the first such locus in locus order, before any record is read.
Result<std::vector<LocusCoverage>> scan_sample_loci(bam::IndexedReader &reader,
                                                    std::string_view bam_path,
                                                    std::span<const LocusQuery> loci,
                                                    const ScanSettings &settings);

} // namespace voskel::coverage
