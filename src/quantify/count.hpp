// Fragment counting of one sample: which loci and transcripts of the annotation a fragment is
// compatible with, and how it is counted (once per locus, split equally among the locus's
// compatible transcripts).
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "error.hpp"
#include "fragment.hpp"
#include "geometry.hpp"
#include "gtf.hpp"
#include "interval.hpp"

namespace voskel::quantify {

// Payload of one exon interval: interned transcript and locus ids.
struct ExonHit {
  uint32_t tx = 0;
  uint32_t locus = 0;
  char32_t strand = U'.';
};

// A (locus, transcript) pair a record is compatible with.
struct Hit {
  uint32_t locus = 0;
  uint32_t tx = 0;
  friend bool operator==(const Hit &, const Hit &) = default;
  friend auto operator<=>(const Hit &, const Hit &) = default;
};

using ExonIndex = std::map<std::string, interval::IvIndex<ExonHit>, std::less<>>;
// Introns of each locus (indexed by locus id), sorted and unique.
using IntronMap = std::vector<std::vector<geometry::Span>>;

// One reference id of a BAM header: its chromosome's exons (null where the annotation has
// none) and the cursors of its sorted record queries, one per stream of reads: the records in
// file order, and the earlier mates they complete, which lag behind them.
struct RefSlot {
  const interval::IvIndex<ExonHit> *exons = nullptr;
  interval::Cursor cursor;
  interval::Cursor mate_cursor;
};
using RefMap = std::vector<RefSlot>;

// The annotation as the counting sees it: ids interned in byte order of their texts.
struct QuantIndex {
  std::vector<std::string_view> tx_ids;    // by transcript id
  std::vector<uint32_t> tx_locus;          // locus of each transcript
  std::vector<std::string_view> locus_ids; // by locus id, ascending bytes
  ExonIndex exons;
  IntronMap introns;
};

// Builds the index over a parsed GTF; the views point into `gtf`.
QuantIndex build_quant_index(const gtf::ParsedGtf &gtf);

// The distinct hits of one fragment, in the order first met. A transcript already met in the
// fragment is recognised by its stamp, not by a search of the list: the reads of a fragment
// meet the same exons of the same transcripts over and over.
class FragmentHits {
public:
  explicit FragmentHits(size_t n_transcripts) : stamp_(n_transcripts, 0) {}
  // Empties the list for the next fragment.
  void start() {
    hits_.clear();
    if (++now_ == 0) { // wrapped: no stamp may look current
      std::fill(stamp_.begin(), stamp_.end(), 0);
      now_ = 1;
    }
  }
  void add(Hit h) {
    if (stamp_[h.tx] == now_)
      return;
    stamp_[h.tx] = now_;
    hits_.push_back(h);
  }
  std::vector<Hit> &list() { return hits_; }

private:
  std::vector<uint32_t> stamp_; // by transcript id: the fragment that last met it
  uint32_t now_ = 0;
  std::vector<Hit> hits_;
};

// Which cursor of a reference a record's queries move.
enum class ReadStream : uint8_t { InFileOrder, EarlierMate };

// Adds the hits of one record to `out`: every exon that overlaps one of its aligned blocks,
// on an accepted strand.
void compatible_hits(const fragment::Read &read, RefMap &refs, bam::Strandedness strand,
                     ReadStream stream, FragmentHits &out);

struct SampleCounts {
  std::vector<double> locus; // by locus id
  std::vector<double> tx;    // by transcript id
  uint64_t dropped = 0;
};

// Applies the intron check to a fragment's distinct hits (sorted in place when they span
// several loci) and, when exactly one locus is left, adds 1 to it and 1/k to each of its k
// kept transcripts.
void count_fragment(std::vector<Hit> &hits, std::span<const geometry::Span> introns,
                    const IntronMap &intron_map, SampleCounts &counts);

// Counts one sample's fragments, its reader decoding through `pool` (the call's shared
// decompression threads). Errors: the open failure, or "BAM read: {reason}".
Result<SampleCounts> quantify_one_sample(const SampleIn &sample, const QuantCfg &cfg,
                                         const QuantIndex &index,
                                         const bam::DecodePool *pool = nullptr);

} // namespace voskel::quantify
