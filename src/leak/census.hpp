// The junction census of one sample: how many fragments support each splice junction of its
// alignment file, and the strand each junction is given (library protocol, splice motif,
// strand tags).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "documents.hpp"
#include "error.hpp"
#include "fasta.hpp"
#include "fragment.hpp"

namespace voskel::leak {

// One junction: an intron as the aligner wrote it (one N operation), with its strand. Ordered
// by chromosome bytes, start, end, then strand '+' < '-' < '.'.
struct JuncKey {
  std::string chrom;  // reference name of the alignment header
  uint64_t start = 0; // first intronic base, 1-based
  uint64_t end = 0;   // last intronic base
  char strand = '.';  // '+', '-' or '.'
  friend bool operator==(const JuncKey &, const JuncKey &) = default;
  friend auto operator<=>(const JuncKey &, const JuncKey &) = default;
};

using JunctionCounts = std::vector<std::pair<JuncKey, uint64_t>>; // ascending keys, unique

// What one sample contributes to the scan.
struct Census {
  JunctionCounts counts;
  uint64_t dropped = 0; // mates evicted or still waiting at the end
};

// The junction counts of one pass. Junctions are keyed by reference and bounds while
// counting; names and order come only at the end. The motif of a junction is read from the
// genome once, when it is first seen, whatever the number of its occurrences.
class JunctionTally {
public:
  // `names`: reference names by id (tid_names). `genome` may be null; it must outlive the
  // tally.
  JunctionTally(std::vector<std::string> names, bam::Strandedness strandedness,
                const fasta::FastaIndex *genome);

  // Appends one counting cell per distinct intron of the record (a repeated (start, end) pair
  // is skipped); a record on an unknown reference adds none. The strand of an intron: the
  // protocol strand for "rf" and "fr"; otherwise the motif of an intron of at least 4 bases
  // when there is a genome; otherwise the record's strand tags; otherwise '.'.
  void add_introns(const fragment::Read &read, std::vector<uint32_t> &cells);
  void bump(uint32_t cell) { ++counts_[cell]; }

  // The counts by JuncKey.
  JunctionCounts finish() const;

private:
  struct Bounds {
    uint32_t ref = 0; // first reference id of its name: equal names count as one chromosome
    uint64_t start = 0;
    uint64_t end = 0;
    friend bool operator==(const Bounds &, const Bounds &) = default;
  };
  struct BoundsHash {
    size_t operator()(const Bounds &b) const noexcept;
  };
  struct Junction {
    Bounds at;
    char motif = 0; // '+', '-' or 0 when neither strand's motif is valid (or none was read)
  };

  uint32_t junction(uint32_t ref, uint64_t start, uint64_t end);
  char motif_strand(uint32_t ref, uint64_t start, uint64_t end) const;

  std::vector<std::string> names_;
  std::vector<uint32_t> ref_of_tid_;
  bam::Strandedness strandedness_;
  const fasta::FastaIndex *genome_;
  std::unordered_map<Bounds, uint32_t, BoundsHash> ids_;
  std::vector<Junction> junctions_;
  std::vector<uint64_t> counts_; // three cells per junction: '+', '-', '.'
};

// The fragment action of the census: a single record adds each of its junctions; the two
// mates of a pair add every distinct junction of either once.
struct CensusAction {
  JunctionTally &tally;
  std::vector<uint32_t> cells;

  void operator()(const fragment::Read &r);
  void operator()(const fragment::Read &cur, const fragment::Read &mate);
};

// One sample's census through the shared record filters and mate assembly, its reader decoding
// through `pool` (the call's shared decompression threads). Errors: the open failure, "BAM
// read: {reason}", or the coordinate-order error of the assembly.
Result<Census> census_one_sample(const SampleIn &sample, const LeakCfg &cfg,
                                 const fasta::FastaIndex *genome,
                                 const bam::DecodePool *pool = nullptr);

} // namespace voskel::leak
