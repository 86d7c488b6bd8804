// The reference gene closest to a transcript, once among genes on a compatible strand and once
// regardless of strand, measured in bases between the two spans.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "gtf.hpp"

namespace voskel::classcode {

struct NearestGene {
  std::string gene_id;
  std::string gene_name;
  uint64_t distance = 0; // bases strictly between the spans; 0 when they overlap or touch
  uint64_t start = 0;
  char32_t strand = U'.';
  uint64_t end = 0;
};

struct NearestPair {
  std::optional<NearestGene> compatible; // on the transcript's strand or on "."
  std::optional<NearestGene> any;        // on either strand
};

// Bases strictly between the closed spans [qs, qe] and [gs, ge]; 0 when they overlap or touch.
uint64_t span_distance(uint64_t qs, uint64_t qe, uint64_t gs, uint64_t ge);

// One pass over the candidates in their order; a tie keeps the earlier one. Candidates on
// another chromosome than the transcript's are ignored. With strand_blind, or a transcript
// on ".", every candidate is compatible, so both answers name the same gene.
NearestPair nearest_genes(const gtf::Transcript &tx,
                          std::span<const gtf::GeneBody *const> candidates, bool strand_blind);

} // namespace voskel::classcode
