// One prepared locus of the structure scan: its representative transcript, splice sites,
// nearest reference genes, and the stretch towards the chosen one that the sample scans cover.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fasta.hpp"
#include "geometry.hpp"
#include "gtf.hpp"
#include "nearest.hpp"

namespace voskel::structure {

using geometry::Span;

// The four cells that describe one nearest gene: id, name, distance, strand; all empty when
// there is none.
struct NearestTexts {
  std::string gene_id;
  std::string gene_name;
  std::string distance;
  std::string strand;

  static NearestTexts of(const std::optional<classcode::NearestGene> &gene);
};

struct LocusPrep {
  std::string locus_id;
  gtf::Transcript transcript;
  std::optional<Span> gap;           // bases strictly between the transcript and the chosen gene
  std::vector<Span> neighbour_exons; // the chosen gene's exons, or its span
  bool has_nearest = false;          // a chosen nearest gene exists
  NearestTexts nearest;              // compatible strand
  NearestTexts nearest_any;          // either strand
  std::string donors;
  std::string acceptors;
  double canonical_splice_fraction = 0.0;
  uint64_t n_introns = 0;
  std::string structure_error; // empty when none
};

// The reference annotation as the preparation looks it up.
struct RefLookups {
  // Gene spans of each chromosome, in the order of the parsed gene list.
  std::map<std::string_view, std::vector<const gtf::GeneBody *>> genes_by_chrom;
  // Exons of every transcript of a (chrom, gene_id), transcript after transcript in model
  // order, each transcript's exons as stored; repeats kept.
  std::map<std::pair<std::string_view, std::string_view>, std::vector<Span>> exons_by_gene;
};

// Views into `ref`, which must outlive the lookups.
RefLookups build_ref_lookups(const gtf::ParsedGtf &ref);

// The bases strictly between transcript span [s0, e0] and gene span [gs, ge], when at least
// one separates them.
std::optional<Span> gap_between(Span transcript, Span gene);

// Prepares one locus. A genome read that fails while reading splice sites is kept as the
// locus's structure_error instead of ending the scan. With strand_blind (the "unstranded"
// protocol) or a transcript on ".", the chosen gene is the nearest on either strand.
LocusPrep prepare_locus(std::string locus_id, const gtf::Transcript &tx, const RefLookups &ref,
                        const fasta::FastaIndex &genome, bool strand_blind);

} // namespace voskel::structure
