// Read geometry: the reference stretches a record's bases align to, the introns it skips, and
// the introns of a transcript. All 1-based inclusive.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "gtf.hpp"

struct bam1_t;

namespace voskel::geometry {

struct Span {
  uint64_t start = 0;
  uint64_t end = 0;
  friend bool operator==(const Span &, const Span &) = default;
  friend auto operator<=>(const Span &, const Span &) = default;
};

// From a 0-based position and BAM-encoded CIGAR operations (length << 4 | op).
// `out` is cleared first; no allocation beyond its growth.
void aligned_blocks(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &out);
void cigar_introns(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &out);
// Both in one walk over the operations.
void blocks_and_introns(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &blocks,
                        std::vector<Span> &introns);

// The same for an htslib record.
void aligned_blocks(const bam1_t *rec, std::vector<Span> &out);
void cigar_introns(const bam1_t *rec, std::vector<Span> &out);

// Smallest exon start and largest exon end of a transcript; (0, 0) without exons.
Span transcript_span(const gtf::Transcript &tx);

// Introns between consecutive exons in start order (each compared with the one just before).
std::vector<Span> transcript_introns(const gtf::Transcript &tx);

} // namespace voskel::geometry
