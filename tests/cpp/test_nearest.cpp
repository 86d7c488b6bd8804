#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "nearest.hpp"

using namespace voskel;

namespace {

gtf::GeneBody gene(std::string id, uint64_t start, uint64_t end, char32_t strand,
                   std::string chrom = "chr1") {
  return {std::move(chrom), id, id + "_name", start, end, strand};
}

std::string describe(const std::optional<classcode::NearestGene> &g) {
  return g ? g->gene_id + "@" + std::to_string(g->distance) : "-";
}

} // namespace

TEST(NearestGenes, Cases) {
  struct Case {
    const char *label;
    char32_t tx_strand;
    bool blind;
    std::vector<gtf::GeneBody> genes;
    std::string compatible, any; // "id@distance" or "-"
  } cases[] = {
      {"no gene on the chromosome", U'+', false, {gene("a", 1, 50, U'+', "chr2")}, "-", "-"},
      {"touching after", U'+', false, {gene("a", 2001, 3000, U'+')}, "a@0", "a@0"},
      {"one base between", U'+', false, {gene("a", 2002, 3000, U'+')}, "a@1", "a@1"},
      {"one base before", U'+', false, {gene("a", 100, 998, U'+')}, "a@1", "a@1"},
      {"overlap", U'+', false, {gene("a", 1500, 1600, U'+')}, "a@0", "a@0"},
      {"only the opposite strand",
       U'+',
       false,
       {gene("a", 5000, 6000, U'-'), gene("b", 2500, 2600, U'-')},
       "-",
       "b@499"},
      {"unstranded gene is compatible",
       U'-',
       false,
       {gene("a", 2100, 2200, U'+'), gene("b", 3000, 3100, U'.')},
       "b@999",
       "a@99"},
      {"unstranded transcript takes the nearest of either strand",
       U'.',
       false,
       {gene("a", 3000, 3100, U'+'), gene("b", 2100, 2200, U'-')},
       "b@99",
       "b@99"},
      {"strand-blind search",
       U'+',
       true,
       {gene("a", 3000, 3100, U'+'), gene("b", 2100, 2200, U'-')},
       "b@99",
       "b@99"},
      {"a tie keeps the earlier candidate",
       U'+',
       false,
       {gene("late", 2011, 2100, U'+'), gene("early", 900, 989, U'+')},
       "late@10",
       "late@10"},
      {"other chromosomes ignored",
       U'+',
       false,
       {gene("far", 5000, 6000, U'+'), gene("near", 2001, 2002, U'+', "chr9")},
       "far@2999",
       "far@2999"},
  };
  for (const auto &c : cases) {
    gtf::Transcript tx;
    tx.chrom = "chr1";
    tx.transcript_id = "T";
    tx.strand = c.tx_strand;
    tx.exons = {{1000, 1200}, {1800, 2000}};
    std::vector<const gtf::GeneBody *> ptrs;
    for (const auto &g : c.genes)
      ptrs.push_back(&g);
    const auto got = classcode::nearest_genes(tx, ptrs, c.blind);
    EXPECT_EQ(describe(got.compatible), c.compatible) << c.label;
    EXPECT_EQ(describe(got.any), c.any) << c.label;
  }
}

TEST(NearestGenes, RecordCarriesTheGeneSpanAndName) {
  gtf::Transcript tx;
  tx.chrom = "chr1";
  tx.strand = U'+';
  tx.exons = {{1000, 2000}};
  const gtf::GeneBody g{"chr1", "g", "G name", 2500, 2600, U'+'};
  const gtf::GeneBody *ptrs[] = {&g};
  const auto got = classcode::nearest_genes(tx, ptrs, false);
  ASSERT_TRUE(got.compatible);
  EXPECT_EQ(got.compatible->gene_name, "G name");
  EXPECT_EQ(got.compatible->start, 2500u);
  EXPECT_EQ(got.compatible->end, 2600u);
  EXPECT_EQ(got.compatible->strand, U'+');
  EXPECT_EQ(got.compatible->distance, 499u);
}
