#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "scratch.hpp"
#include "structure/locus.hpp"
#include "structure/rows.hpp"

using namespace voskel;
using structure::LocusPrep;
using structure::Span;

namespace {

size_t col(std::string_view name) {
  const auto &h = structure::header();
  for (size_t i = 0; i < h.size(); ++i)
    if (h[i] == name)
      return i;
  ADD_FAILURE() << "no column " << name;
  return 0;
}

gtf::Transcript transcript(std::vector<gtf::Exon> exons, char32_t strand = U'+',
                           std::string chrom = "c") {
  gtf::Transcript tx;
  tx.chrom = std::move(chrom);
  tx.gene_id = "G";
  tx.transcript_id = "T1";
  tx.gene_name = "G";
  tx.exons = std::move(exons);
  tx.strand = strand;
  return tx;
}

// A prepared locus with one canonical intron and a compatible nearest gene at distance 99.
LocusPrep base_locus() {
  LocusPrep p;
  p.locus_id = "L1";
  p.transcript = transcript({{100, 200}, {301, 400}});
  p.donors = "GT";
  p.acceptors = "AG";
  p.canonical_splice_fraction = 1.0;
  p.n_introns = 1;
  p.has_nearest = true;
  p.nearest = {"g1", "one", "99", "+"};
  p.nearest_any = {"g2", "two", "5", "-"};
  p.gap = Span{401, 499};
  p.neighbour_exons = {{500, 600}};
  return p;
}

} // namespace

TEST(FeatureRow, Cells) {
  coverage::LocusCoverage full;
  full.locus_mean_depth = 2.0 / 3.0;
  full.valley_mean = 0.5;
  full.gap_mean_depth = 1.25;
  full.valley_possible = true;
  full.junction_support = {12, 0, 7};
  full.n_dup_flag_seen = 4;
  full.bridge_read_count = 2;

  coverage::LocusCoverage short_gap = full;
  short_gap.valley_mean.reset();
  short_gap.valley_possible = false;

  coverage::LocusCoverage no_gap = full;
  no_gap.valley_mean.reset();
  no_gap.gap_mean_depth.reset();
  no_gap.valley_possible.reset();

  const LocusPrep gapped = base_locus();
  LocusPrep touching = base_locus();
  touching.gap.reset();
  touching.nearest.distance = "0";
  LocusPrep alone = base_locus();
  alone.has_nearest = false;
  alone.gap.reset();
  alone.neighbour_exons.clear();
  alone.nearest = {};
  alone.nearest_any = {};

  struct Case {
    const char *label;
    const LocusPrep &locus;
    const coverage::LocusCoverage *cov;
    std::map<std::string, std::string> cells;
  } cases[] = {
      {"gap with a window",
       gapped,
       &full,
       {{"locus_mean_depth", "0.666667"},
        {"valley_mean", "0.500000"},
        {"valley_possible", "true"},
        {"gap_mean_depth", "1.250000"},
        {"n_dup_flag_seen", "4"},
        {"junction_support", "12,0,7"},
        {"bridge_read_count", "2"},
        {"has_nearest", "true"}}},
      {"gap too short for a window",
       gapped,
       &short_gap,
       {{"valley_mean", ""}, {"valley_possible", "false"}, {"gap_mean_depth", "1.250000"}}},
      {"nearest gene touches the locus",
       touching,
       &no_gap,
       {{"valley_possible", "false"},
        {"valley_mean", ""},
        {"gap_mean_depth", ""},
        {"nearest_distance_bp", "0"},
        {"locus_mean_depth", "0.666667"}}},
      {"no alignment file",
       gapped,
       nullptr,
       {{"locus_mean_depth", ""},
        {"valley_mean", ""},
        {"valley_possible", ""},
        {"gap_mean_depth", ""},
        {"n_dup_flag_seen", "0"},
        {"junction_support", ""},
        {"bridge_read_count", "0"}}},
      {"no alignment file, touching gene", touching, nullptr, {{"valley_possible", "false"}}},
      {"no gene on the chromosome",
       alone,
       &no_gap,
       {{"has_nearest", "false"},
        {"nearest_gene_id", ""},
        {"nearest_gene_name", ""},
        {"nearest_distance_bp", ""},
        {"nearest_strand", ""},
        {"nearest_any_gene_id", ""},
        {"nearest_any_strand", ""},
        {"valley_possible", ""}}},
  };
  for (const auto &c : cases) {
    const structure::Row row = structure::feature_row(c.locus, "s1", c.cov);
    for (const auto &[name, want] : c.cells)
      EXPECT_EQ(row[col(name)], want) << c.label << ": " << name;
  }
}

TEST(FeatureRow, TranscriptCells) {
  LocusPrep p = base_locus();
  p.transcript = transcript({{100, 200}, {150, 300}}, U'-');
  p.donors = p.acceptors = "";
  p.n_introns = 0;
  p.canonical_splice_fraction = 0.0;
  p.structure_error = "transcript T1 has 2 exons but 0 introns (overlapping or abutting exons)";
  const structure::Row row = structure::feature_row(p, "s1", nullptr);
  const std::vector<std::string> want = {
      "L1", "s1", "T1", "c",    "100", "300", "-",  "2", "252", "",
      "",   "",   "0",  "true", "g1",  "one", "99", "+", "g2",  "two",
      "5",  "-",  "",   "",     "",    "",    "0",  "",  "0",   p.structure_error};
  EXPECT_EQ(std::vector<std::string>(row.begin(), row.end()), want);

  p.n_introns = 4;
  p.canonical_splice_fraction = 0.75;
  EXPECT_EQ(structure::feature_row(p, "s1", nullptr)[col("canonical_splice_fraction")], "0.750000");
}

TEST(FeatureRow, SamplelessRowLeavesValleyPossibleEmpty) {
  LocusPrep touching = base_locus();
  touching.gap.reset();
  structure::Row row;
  structure::sampleless_row(touching, row);
  EXPECT_EQ(row[col("sample_id")], "");
  EXPECT_EQ(row[col("valley_possible")], "");
  EXPECT_EQ(row[col("n_dup_flag_seen")], "0");
  EXPECT_EQ(row[col("bridge_read_count")], "0");
  EXPECT_EQ(row[col("locus_mean_depth")], "");
}

TEST(GapBetween, Cases) {
  struct Case {
    Span tx, gene;
    std::optional<Span> gap;
  } cases[] = {
      {{1000, 2000}, {2011, 3000}, Span{2001, 2010}},
      {{1000, 2000}, {2002, 3000}, Span{2001, 2001}},
      {{1000, 2000}, {2001, 3000}, std::nullopt}, // touching
      {{1000, 2000}, {1500, 3000}, std::nullopt}, // overlapping
      {{1000, 2000}, {100, 990}, Span{991, 999}}, // ends 10 before: nine bases
      {{1000, 2000}, {100, 999}, std::nullopt},
  };
  for (const auto &c : cases)
    EXPECT_EQ(structure::gap_between(c.tx, c.gene), c.gap)
        << c.tx.start << "-" << c.tx.end << " vs " << c.gene.start << "-" << c.gene.end;
}

namespace {

// A genome of one contig "c": 2,000 bases of A with GT...AG around the intron 201-300.
struct Genome {
  testutil::ScratchDir scratch;
  std::optional<fasta::FastaIndex> fa;
  Genome() {
    std::string seq(2000, 'A');
    seq.replace(200, 2, "GT");
    seq.replace(298, 2, "AG");
    std::string text = ">c\n";
    for (size_t p = 0; p < seq.size(); p += 60)
      text += seq.substr(p, 60) + '\n';
    const auto path = scratch.write("g.fa", text);
    scratch.write("g.fa.fai", "c\t2000\t3\t60\t61\n");
    fa.emplace(std::move(fasta::FastaIndex::open(path).value()));
  }
};

gtf::GeneBody body(std::string chrom, std::string id, uint64_t s, uint64_t e, char32_t strand) {
  return {std::move(chrom), id, id, s, e, strand};
}

} // namespace

TEST(PrepareLocus, NearestGeneGapAndNeighbourExons) {
  const Genome genome;
  gtf::ParsedGtf ref;
  ref.genes = {body("c", "before", 50, 89, U'+'), body("c", "after_minus", 1300, 1400, U'-'),
               body("c", "after", 1500, 1800, U'+')};
  gtf::Transcript r1 = transcript({{1500, 1550}, {1700, 1800}});
  r1.gene_id = "after";
  r1.transcript_id = "R1";
  gtf::Transcript r2 = transcript({{1500, 1560}});
  r2.gene_id = "after";
  r2.transcript_id = "R2";
  ref.transcripts = {r1, r2};
  const auto lookups = structure::build_ref_lookups(ref);

  // The '+' transcript's compatible nearest gene ("before", 10 bases away) has no reference
  // transcripts: its span stands in for its exons.
  const auto tx = transcript({{100, 200}, {301, 400}});
  const LocusPrep plus = structure::prepare_locus("L", tx, lookups, *genome.fa, false);
  EXPECT_TRUE(plus.has_nearest);
  EXPECT_EQ(plus.nearest.gene_id, "before");
  EXPECT_EQ(plus.nearest.distance, "10");
  EXPECT_EQ(plus.gap, (Span{90, 99}));
  EXPECT_EQ(plus.neighbour_exons, (std::vector<Span>{{50, 89}}));
  EXPECT_EQ(plus.donors, "GT");
  EXPECT_EQ(plus.acceptors, "AG");
  EXPECT_EQ(plus.n_introns, 1u);
  EXPECT_EQ(plus.structure_error, "");

  // Far from "before": the compatible gene is "after", whose reference exons come transcript
  // after transcript, repeats kept.
  const auto late = transcript({{1000, 1100}});
  const LocusPrep after = structure::prepare_locus("L", late, lookups, *genome.fa, false);
  EXPECT_EQ(after.nearest.gene_id, "after");
  EXPECT_EQ(after.nearest_any.gene_id, "after_minus");
  EXPECT_EQ(after.gap, (Span{1101, 1499}));
  EXPECT_EQ(after.neighbour_exons, (std::vector<Span>{{1500, 1550}, {1700, 1800}, {1500, 1560}}));

  // Unstranded by the transcript's own strand, or by the protocol: the gap runs to the
  // any-strand gene.
  for (const auto &[strand, blind] : {std::pair{U'.', false}, std::pair{U'+', true}}) {
    const LocusPrep any = structure::prepare_locus("L", transcript({{1000, 1100}}, strand), lookups,
                                                   *genome.fa, blind);
    EXPECT_EQ(any.nearest.gene_id, "after_minus");
    EXPECT_EQ(any.gap, (Span{1101, 1299}));
    EXPECT_EQ(any.neighbour_exons, (std::vector<Span>{{1300, 1400}}));
  }
}

TEST(PrepareLocus, WithoutGeneOrGenome) {
  const Genome genome;
  gtf::ParsedGtf ref;
  ref.genes = {body("other", "g", 1, 10, U'+')};
  const auto lookups = structure::build_ref_lookups(ref);

  // No gene on the chromosome, and a contig the genome does not hold: the locus stays, with
  // the genome's message as its structure error.
  const auto tx = transcript({{100, 200}, {301, 400}, {500, 600}}, U'+', "chrZ");
  const LocusPrep p = structure::prepare_locus("L", tx, lookups, *genome.fa, false);
  EXPECT_FALSE(p.has_nearest);
  EXPECT_FALSE(p.gap);
  EXPECT_TRUE(p.neighbour_exons.empty());
  EXPECT_EQ(p.structure_error, "FASTA has no contig chrZ");
  EXPECT_EQ(p.n_introns, 2u);
  EXPECT_EQ(p.donors, "");
  const structure::Row row = structure::feature_row(p, "s", nullptr);
  EXPECT_EQ(row[col("canonical_splice_fraction")], "0.000000");
  EXPECT_EQ(row[col("structure_error")], "FASTA has no contig chrZ");
}
