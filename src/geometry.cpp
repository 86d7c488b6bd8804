#include "geometry.hpp"

#include <algorithm>
#include <limits>

#include <htslib/sam.h>

namespace voskel::geometry {

namespace {

constexpr uint32_t kMatch = 0, kDel = 2, kSkip = 3, kEqual = 7, kDiff = 8;

// One pass over the operations; `Emit` decides what an operation contributes. The cursor
// is the 1-based reference position of the next base.
template <class Emit> void walk(int64_t pos, std::span<const uint32_t> cigar, Emit emit) {
  if (pos < 0 || pos == std::numeric_limits<int64_t>::max())
    return; // unplaced
  uint64_t r = static_cast<uint64_t>(pos) + 1;
  for (const uint32_t c : cigar) {
    const uint32_t op = c & 0xF;
    const uint64_t len = c >> 4;
    switch (op) {
    case kMatch:
    case kEqual:
    case kDiff:
    case kDel:
    case kSkip:
      emit(op, r, len);
      r += len;
      break;
    default: // I, S, H, P and unknown codes do not move along the reference
      break;
    }
  }
}

void emit_block(uint32_t op, uint64_t r, uint64_t len, std::vector<Span> &out) {
  // A zero-length M/=/X still yields a block, ending one before it starts.
  if (op == kMatch || op == kEqual || op == kDiff)
    out.push_back({r, r + len - 1});
}

void emit_intron(uint32_t op, uint64_t r, uint64_t len, std::vector<Span> &out) {
  if (op == kSkip && len > 0)
    out.push_back({r, r + len - 1});
}

std::span<const uint32_t> cigar_of(const bam1_t *rec) {
  return {bam_get_cigar(rec), rec->core.n_cigar};
}

} // namespace

void aligned_blocks(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &out) {
  out.clear();
  walk(pos, cigar, [&](uint32_t op, uint64_t r, uint64_t len) { emit_block(op, r, len, out); });
}

void cigar_introns(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &out) {
  out.clear();
  walk(pos, cigar, [&](uint32_t op, uint64_t r, uint64_t len) { emit_intron(op, r, len, out); });
}

void blocks_and_introns(int64_t pos, std::span<const uint32_t> cigar, std::vector<Span> &blocks,
                        std::vector<Span> &introns) {
  blocks.clear();
  introns.clear();
  walk(pos, cigar, [&](uint32_t op, uint64_t r, uint64_t len) {
    emit_block(op, r, len, blocks);
    emit_intron(op, r, len, introns);
  });
}

void aligned_blocks(const bam1_t *rec, std::vector<Span> &out) {
  aligned_blocks(rec->core.pos, cigar_of(rec), out);
}

void cigar_introns(const bam1_t *rec, std::vector<Span> &out) {
  cigar_introns(rec->core.pos, cigar_of(rec), out);
}

Span transcript_span(const gtf::Transcript &tx) {
  if (tx.exons.empty())
    return {0, 0};
  Span span{tx.exons.front().start, 0};
  for (const gtf::Exon &e : tx.exons) {
    span.start = std::min(span.start, e.start);
    span.end = std::max(span.end, e.end);
  }
  return span;
}

std::vector<Span> transcript_introns(const gtf::Transcript &tx) {
  std::vector<gtf::Exon> exons = tx.exons;
  std::stable_sort(exons.begin(), exons.end(),
                   [](const gtf::Exon &a, const gtf::Exon &b) { return a.start < b.start; });
  std::vector<Span> introns;
  for (size_t i = 1; i < exons.size(); ++i) {
    const gtf::Exon &prev = exons[i - 1];
    const gtf::Exon &cur = exons[i];
    // Only the immediately preceding exon counts, not the furthest end so far.
    if (prev.end == std::numeric_limits<uint64_t>::max())
      continue; // nothing can follow the last coordinate
    const Span cand{prev.end + 1, cur.start == 0 ? 0 : cur.start - 1};
    if (cand.end >= cand.start)
      introns.push_back(cand);
  }
  return introns;
}

} // namespace voskel::geometry
