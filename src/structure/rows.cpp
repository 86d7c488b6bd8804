#include "structure/rows.hpp"

#include <fmt/format.h>

#include "cells.hpp"
#include "coords.hpp"

namespace voskel::structure {

namespace {

enum Col : size_t {
  kLocusId,
  kSampleId,
  kTranscriptId,
  kChrom,
  kStart,
  kEnd,
  kStrand,
  kNExons,
  kLengthNt,
  kDonors,
  kAcceptors,
  kCanonicalSpliceFraction,
  kNIntrons,
  kHasNearest,
  kNearestGeneId,
  kNearestGeneName,
  kNearestDistanceBp,
  kNearestStrand,
  kNearestAnyGeneId,
  kNearestAnyGeneName,
  kNearestAnyDistanceBp,
  kNearestAnyStrand,
  kLocusMeanDepth,
  kValleyMean,
  kValleyPossible,
  kGapMeanDepth,
  kNDupFlagSeen,
  kJunctionSupport,
  kBridgeReadCount,
  kStructureError,
};

void set_u64(std::string &cell, uint64_t v) {
  cell.clear();
  fmt::format_to(std::back_inserter(cell), "{}", v);
}

void set_fixed6(std::string &cell, double v) {
  cell.clear();
  cells::append_fixed6(cell, v);
}

void set_flag(std::string &cell, bool v) { cell = v ? "true" : "false"; }

void set_nearest(const NearestTexts &n, Row &out, size_t first) {
  out[first] = n.gene_id;
  out[first + 1] = n.gene_name;
  out[first + 2] = n.distance;
  out[first + 3] = n.strand;
}

} // namespace

const std::array<std::string, kColumns> &header() {
  static const std::array<std::string, kColumns> names{
      "locus_id",
      "sample_id",
      "transcript_id",
      "chrom",
      "start",
      "end",
      "strand",
      "n_exons",
      "length_nt",
      "donors",
      "acceptors",
      "canonical_splice_fraction",
      "n_introns",
      "has_nearest",
      "nearest_gene_id",
      "nearest_gene_name",
      "nearest_distance_bp",
      "nearest_strand",
      "nearest_any_gene_id",
      "nearest_any_gene_name",
      "nearest_any_distance_bp",
      "nearest_any_strand",
      "locus_mean_depth",
      "valley_mean",
      "valley_possible",
      "gap_mean_depth",
      "n_dup_flag_seen",
      "junction_support",
      "bridge_read_count",
      "structure_error",
  };
  return names;
}

void feature_row(const LocusPrep &locus, std::string_view sample_id,
                 const coverage::LocusCoverage *coverage, Row &out) {
  const gtf::Transcript &tx = locus.transcript;
  const geometry::Span span = geometry::transcript_span(tx);
  uint64_t length_nt = 0;
  for (const auto &e : tx.exons)
    // Exons as stored, overlaps counted twice.
    length_nt = coords::sat_add(length_nt, coords::span_len(e.start, e.end));

  out[kLocusId] = locus.locus_id;
  out[kSampleId] = sample_id;
  out[kTranscriptId] = tx.transcript_id;
  out[kChrom] = tx.chrom;
  set_u64(out[kStart], span.start);
  set_u64(out[kEnd], span.end);
  out[kStrand] = gtf::strand_text(tx.strand);
  set_u64(out[kNExons], tx.exons.size());
  set_u64(out[kLengthNt], length_nt);
  out[kDonors] = locus.donors;
  out[kAcceptors] = locus.acceptors;
  if (locus.n_introns > 0)
    set_fixed6(out[kCanonicalSpliceFraction], locus.canonical_splice_fraction);
  else
    out[kCanonicalSpliceFraction].clear();
  set_u64(out[kNIntrons], locus.n_introns);
  set_flag(out[kHasNearest], locus.has_nearest);
  set_nearest(locus.nearest, out, kNearestGeneId);
  set_nearest(locus.nearest_any, out, kNearestAnyGeneId);
  out[kStructureError] = locus.structure_error;

  // Gap figures show only where the locus has a chosen gene at a distance.
  const bool gapped = locus.has_nearest && locus.gap.has_value();
  out[kValleyMean].clear();
  out[kGapMeanDepth].clear();
  out[kJunctionSupport].clear();
  if (!locus.has_nearest)
    out[kValleyPossible].clear();
  else if (!locus.gap)
    out[kValleyPossible] = "false";
  else if (coverage && coverage->valley_possible)
    set_flag(out[kValleyPossible], *coverage->valley_possible);
  else
    out[kValleyPossible].clear();

  if (!coverage) {
    out[kLocusMeanDepth].clear();
    out[kNDupFlagSeen] = "0";
    out[kBridgeReadCount] = "0";
    return;
  }
  set_fixed6(out[kLocusMeanDepth], coverage->locus_mean_depth);
  if (gapped && coverage->valley_mean)
    set_fixed6(out[kValleyMean], *coverage->valley_mean);
  if (gapped && coverage->gap_mean_depth)
    set_fixed6(out[kGapMeanDepth], *coverage->gap_mean_depth);
  set_u64(out[kNDupFlagSeen], coverage->n_dup_flag_seen);
  for (size_t i = 0; i < coverage->junction_support.size(); ++i) {
    if (i > 0)
      out[kJunctionSupport].push_back(',');
    fmt::format_to(std::back_inserter(out[kJunctionSupport]), "{}", coverage->junction_support[i]);
  }
  set_u64(out[kBridgeReadCount], coverage->bridge_read_count);
}

Row feature_row(const LocusPrep &locus, std::string_view sample_id,
                const coverage::LocusCoverage *coverage) {
  Row row;
  feature_row(locus, sample_id, coverage, row);
  return row;
}

void sampleless_row(const LocusPrep &locus, Row &out) {
  feature_row(locus, "", nullptr, out);
  out[kValleyPossible].clear();
}

} // namespace voskel::structure
