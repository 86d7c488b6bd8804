#include "structure/locus.hpp"

#include <span>

#include "splice.hpp"

namespace voskel::structure {

NearestTexts NearestTexts::of(const std::optional<classcode::NearestGene> &gene) {
  if (!gene)
    return {};
  return {gene->gene_id, gene->gene_name, std::to_string(gene->distance),
          gtf::strand_text(gene->strand)};
}

RefLookups build_ref_lookups(const gtf::ParsedGtf &ref) {
  RefLookups out;
  for (const auto &g : ref.genes)
    out.genes_by_chrom[g.chrom].push_back(&g);
  for (const auto &t : ref.transcripts) {
    auto &exons = out.exons_by_gene[{t.chrom, t.gene_id}];
    for (const auto &e : t.exons)
      exons.push_back({e.start, e.end});
  }
  return out;
}

std::optional<Span> gap_between(Span tx, Span gene) {
  if (tx.end < gene.start && gene.start - 1 > tx.end)
    return Span{tx.end + 1, gene.start - 1};
  if (gene.end < tx.start && tx.start - 1 > gene.end)
    return Span{gene.end + 1, tx.start - 1};
  return std::nullopt; // overlapping or touching
}

LocusPrep prepare_locus(std::string locus_id, const gtf::Transcript &tx, const RefLookups &ref,
                        const fasta::FastaIndex &genome, bool strand_blind) {
  LocusPrep p;
  p.locus_id = std::move(locus_id);
  p.transcript = tx;

  const bool blind = strand_blind || tx.strand == U'.';
  std::span<const gtf::GeneBody *const> genes;
  if (const auto it = ref.genes_by_chrom.find(tx.chrom); it != ref.genes_by_chrom.end())
    genes = it->second;
  const classcode::NearestPair near = classcode::nearest_genes(tx, genes, blind);
  p.nearest = NearestTexts::of(near.compatible);
  p.nearest_any = NearestTexts::of(near.any);

  if (auto sf = splice::splice_features(tx, genome); sf) {
    p.donors = std::move(sf->donors);
    p.acceptors = std::move(sf->acceptors);
    p.canonical_splice_fraction = sf->canonical_splice_fraction;
    p.n_introns = sf->n_introns;
    p.structure_error = sf->structure_error.value_or("");
  } else {
    p.n_introns = geometry::transcript_introns(tx).size();
    p.structure_error = sf.error().text();
  }

  const auto &chosen = blind ? near.any : near.compatible;
  p.has_nearest = chosen.has_value();
  if (chosen) {
    p.gap = gap_between(geometry::transcript_span(tx), {chosen->start, chosen->end});
    const auto it = ref.exons_by_gene.find({tx.chrom, chosen->gene_id});
    if (it != ref.exons_by_gene.end() && !it->second.empty())
      p.neighbour_exons = it->second;
    else
      p.neighbour_exons = {{chosen->start, chosen->end}};
  }
  return p;
}

} // namespace voskel::structure
