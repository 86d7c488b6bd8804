#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "scratch.hpp"
#include "splice.hpp"

using namespace voskel;

namespace {

// A one-contig genome "c" of 400 bases, all A except the patched positions.
struct Genome {
  testutil::ScratchDir scratch;
  std::optional<fasta::FastaIndex> fa;
  explicit Genome(const std::vector<std::pair<uint64_t, const char *>> &patches) {
    std::string seq(400, 'A');
    for (const auto &[pos, text] : patches)
      seq.replace(pos - 1, std::strlen(text), text);
    std::string text = ">c\n";
    for (size_t p = 0; p < seq.size(); p += 60)
      text += seq.substr(p, 60) + '\n';
    const auto path = scratch.write("g.fa", text);
    scratch.write("g.fa.fai", "c\t400\t3\t60\t61\n");
    fa.emplace(std::move(fasta::FastaIndex::open(path).value()));
  }
};

gtf::Transcript transcript(std::vector<gtf::Exon> exons, char32_t strand, std::string chrom = "c") {
  gtf::Transcript tx;
  tx.chrom = std::move(chrom);
  tx.transcript_id = "T";
  tx.exons = std::move(exons);
  tx.strand = strand;
  return tx;
}

} // namespace

TEST(SpliceFeatures, Cases) {
  struct Case {
    const char *label;
    std::vector<std::pair<uint64_t, const char *>> genome;
    std::vector<gtf::Exon> exons;
    char32_t strand;
    std::string donors, acceptors;
    double fraction;
    uint64_t n_introns;
    std::optional<std::string> structure_error;
  } cases[] = {
      {"plus", {{201, "GT"}, {299, "AG"}}, {{100, 200}, {301, 400}}, U'+', "GT", "AG", 1.0, 1, {}},
      // Minus strand: donor from the genomic end, both reverse-complemented.
      {"minus", {{201, "CT"}, {299, "AC"}}, {{100, 200}, {301, 400}}, U'-', "GT", "AG", 1.0, 1, {}},
      {"minus read as plus",
       {{201, "CT"}, {299, "AC"}},
       {{100, 200}, {301, 400}},
       U'+',
       "CT",
       "AC",
       0.0,
       1,
       {}},
      // Three introns in genomic order; the one of three bases reads NN without a lookup.
      {"short intron",
       {{11, "GC"}, {19, "AG"}, {31, "AT"}, {39, "AC"}},
       {{1, 10}, {21, 30}, {41, 50}, {54, 60}},
       U'+',
       "GC,AT,NN",
       "AG,AC,NN",
       2.0 / 3.0,
       3,
       {}},
      {"abutting exons",
       {},
       {{1, 10}, {11, 20}},
       U'+',
       "",
       "",
       0.0,
       0,
       "transcript T has 2 exons but 0 introns (overlapping or abutting exons)"},
      {"overlap beside an intron",
       {{16, "GT"}, {29, "AG"}},
       {{1, 20}, {5, 15}, {31, 40}},
       U'+',
       "GT",
       "AG",
       1.0,
       1,
       "transcript T has 3 exons but 1 introns (overlapping or abutting exons)"},
      // Unstranded: oriented by the votes of its introns.
      {"unstranded plus",
       {{201, "GT"}, {299, "AG"}},
       {{100, 200}, {301, 400}},
       U'.',
       "GT",
       "AG",
       1.0,
       1,
       {}},
      {"unstranded minus",
       {{201, "CT"}, {299, "AC"}},
       {{100, 200}, {301, 400}},
       U'.',
       "GT",
       "AG",
       1.0,
       1,
       {}},
      {"unstranded tie",
       {{11, "GT"}, {19, "AG"}, {31, "CT"}, {39, "AC"}},
       {{1, 10}, {21, 30}, {41, 50}},
       U'?',
       "GT,CT",
       "AG,AC",
       0.5,
       2,
       {}},
  };
  for (const auto &c : cases) {
    Genome g(c.genome);
    auto got = splice::splice_features(transcript(c.exons, c.strand), *g.fa);
    ASSERT_TRUE(got) << c.label << ": " << got.error().text();
    EXPECT_EQ(got->donors, c.donors) << c.label;
    EXPECT_EQ(got->acceptors, c.acceptors) << c.label;
    EXPECT_DOUBLE_EQ(got->canonical_splice_fraction, c.fraction) << c.label;
    EXPECT_EQ(got->n_introns, c.n_introns) << c.label;
    EXPECT_EQ(got->structure_error, c.structure_error) << c.label;
  }
}

TEST(SpliceFeatures, SingleExonReadsNothing) {
  Genome g({});
  auto got = splice::splice_features(transcript({{1, 50}}, U'+', "absent"), *g.fa);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->donors, "");
  EXPECT_EQ(got->n_introns, 0u);
  EXPECT_EQ(got->canonical_splice_fraction, 0.0);
  EXPECT_FALSE(got->structure_error);
}

TEST(SpliceFeatures, GenomeFailuresEndTheCall) {
  Genome g({});
  auto absent = splice::splice_features(transcript({{1, 10}, {21, 30}}, U'+', "chrZ"), *g.fa);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().text(), "FASTA has no contig chrZ");
  auto past = splice::splice_features(transcript({{1, 10}, {21, 30}, {500, 600}}, U'-'), *g.fa);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "bad FASTA interval c:498-499 (len 400)");
  // The inference of an unstranded transcript fails the same way.
  auto unstranded = splice::splice_features(transcript({{1, 10}, {21, 30}}, U'.', "chrZ"), *g.fa);
  ASSERT_FALSE(unstranded);
  EXPECT_EQ(unstranded.error().text(), "FASTA has no contig chrZ");
}

TEST(InferStrand, Votes) {
  struct Case {
    const char *label;
    std::vector<std::pair<uint64_t, const char *>> genome;
    std::vector<gtf::Exon> exons;
    bool plus;
  } cases[] = {
      {"GT-AG on plus", {{11, "GT"}, {19, "AG"}}, {{1, 10}, {21, 30}}, true},
      {"CT-AC on plus reads GT-AG on minus", {{11, "CT"}, {19, "AC"}}, {{1, 10}, {21, 30}}, false},
      {"AT-AC on plus", {{11, "AT"}, {19, "AC"}}, {{1, 10}, {21, 30}}, true},
      {"GC-AG on minus", {{11, "CT"}, {19, "GC"}}, {{1, 10}, {21, 30}}, false},
      {"no votes", {}, {{1, 10}, {21, 30}}, true},
      {"single exon", {}, {{1, 10}}, true},
      // The three-base intron (11, 13) would read minus but is not looked at.
      {"short intron ignored", {{11, "CTA"}}, {{1, 10}, {14, 30}}, true},
      {"one vote each",
       {{11, "GT"}, {19, "AG"}, {31, "CT"}, {39, "AC"}},
       {{1, 10}, {21, 30}, {41, 50}},
       true},
      {"two minus, one plus",
       {{11, "GT"}, {19, "AG"}, {31, "CT"}, {39, "AC"}, {51, "CT"}, {59, "AC"}},
       {{1, 10}, {21, 30}, {41, 50}, {61, 70}},
       false},
  };
  for (const auto &c : cases) {
    Genome g(c.genome);
    auto got = splice::infer_unstranded_plus(transcript(c.exons, U'.'), *g.fa);
    ASSERT_TRUE(got) << c.label;
    EXPECT_EQ(*got, c.plus) << c.label;
  }
  Genome g({});
  auto tagged = splice::infer_unstranded_plus(transcript({{1, 10}, {21, 30}}, U'.', "chrZ"), *g.fa);
  ASSERT_FALSE(tagged);
  EXPECT_EQ(tagged.error().text(), "FASTA has no contig chrZ");
}
