#include "nearest.hpp"

#include "geometry.hpp"

namespace voskel::classcode {

uint64_t span_distance(uint64_t qs, uint64_t qe, uint64_t gs, uint64_t ge) {
  if (gs <= qe && qs <= ge)
    return 0;
  // Touching spans leave no base between them: distance 0 like an overlap.
  return qe < gs ? gs - qe - 1 : qs - ge - 1;
}

NearestPair nearest_genes(const gtf::Transcript &tx,
                          std::span<const gtf::GeneBody *const> candidates, bool strand_blind) {
  const auto [qs, qe] = geometry::transcript_span(tx);
  const bool blind = strand_blind || tx.strand == U'.';
  const gtf::GeneBody *any = nullptr, *compatible = nullptr;
  uint64_t any_d = 0, compatible_d = 0;
  for (const gtf::GeneBody *g : candidates) {
    if (g->chrom != tx.chrom)
      continue;
    const uint64_t d = span_distance(qs, qe, g->start, g->end);
    if (!any || d < any_d) {
      any = g;
      any_d = d;
    }
    if ((blind || g->strand == U'.' || g->strand == tx.strand) &&
        (!compatible || d < compatible_d)) {
      compatible = g;
      compatible_d = d;
    }
  }
  const auto record = [](const gtf::GeneBody *g, uint64_t d) -> std::optional<NearestGene> {
    if (!g)
      return std::nullopt;
    return NearestGene{g->gene_id, g->gene_name, d, g->start, g->strand, g->end};
  };
  return {record(compatible, compatible_d), record(any, any_d)};
}

} // namespace voskel::classcode
