#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <htslib/sam.h>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "fasta.hpp"
#include "fragment.hpp"
#include "leak/census.hpp"
#include "scratch.hpp"

using namespace voskel;
using bam::Strandedness;
using leak::CensusAction;
using leak::JunctionTally;

namespace {

constexpr uint32_t op(uint32_t len, uint32_t code) { return len << 4 | code; }

// chr1 with splice motifs at fixed introns (1-based, inclusive):
//   11-20 GT..AG (+)    31-40 CT..AC (-)   51-60 GA..TT (neither)
//   101-110 GC..AG (+)  121-130 AT..AC (+) 141-150 GT..AT (-, the reverse of AT..AC)
//   161-164 GTAG, the shortest intron read for its motif (+)
std::string chr1_sequence() {
  std::string s(200, 'C');
  const auto put = [&](uint64_t pos, const char *bases) {
    std::memcpy(s.data() + pos - 1, bases, std::strlen(bases));
  };
  put(11, "GT"), put(19, "AG");
  put(31, "CT"), put(39, "AC");
  put(51, "GA"), put(59, "TT");
  put(101, "GC"), put(109, "AG");
  put(121, "AT"), put(129, "AC");
  put(141, "GT"), put(149, "AT");
  put(161, "GTAG");
  return s;
}

// A genome holding chr1 only (chr2 of the alignment header is missing from it).
struct Genome {
  testutil::ScratchDir dir;
  std::optional<fasta::FastaIndex> index;
  Genome() {
    const std::string seq = chr1_sequence();
    std::string fa = ">chr1\n";
    for (size_t i = 0; i < seq.size(); i += 60)
      fa += seq.substr(i, 60) + "\n";
    dir.write("g.fa.fai", fmt::format("chr1\t{}\t6\t60\t61\n", seq.size()));
    auto opened = fasta::FastaIndex::open(dir.write("g.fa", fa));
    EXPECT_TRUE(opened);
    index.emplace(std::move(*opened));
  }
};

// A record spliced across [start, end] on tid with 5 aligned bases on either side.
struct Rec {
  bam::Record rec;
  Rec(uint16_t flag, int32_t tid, uint64_t start, uint64_t end, const char *name = "r") {
    const uint32_t cig[] = {op(5, BAM_CMATCH), op(static_cast<uint32_t>(end - start + 1), 3),
                            op(5, BAM_CMATCH)};
    const int64_t pos = static_cast<int64_t>(start) - 6;
    bam_set1(rec.get(), std::strlen(name), name, flag, tid, pos, 60, 3, cig, tid,
             (flag & bam::kPaired) ? pos : -1, 0, 10, "ACGTACGTAC", nullptr, 16);
  }
  template <class T> Rec &tag(const char *t, char type, T v) {
    bam_aux_append(rec.get(), t, type, sizeof v, reinterpret_cast<const uint8_t *>(&v));
    return *this;
  }
  Rec &text(const char *t, char type, const char *v) {
    bam_aux_append(rec.get(), t, type, static_cast<int>(std::strlen(v) + 1),
                   reinterpret_cast<const uint8_t *>(v));
    return *this;
  }
};

// The census of the records, fed through the shared assembly, as "chrom:start-end strand n".
std::string census(const std::vector<Rec *> &recs, Strandedness s, const fasta::FastaIndex *g,
                   bool single_layout = true, std::vector<std::string> names = {"chr1", "chr2"}) {
  JunctionTally tally(std::move(names), s, g);
  CensusAction action{tally, {}};
  fragment::FragmentAssembler as(
      fragment::AssemblyCfg{.single_layout = single_layout, .keep_aux_strand = true});
  for (Rec *r : recs)
    as.add(r->rec.get(), action);
  std::string out;
  for (const auto &[k, n] : tally.finish())
    out += fmt::format("{}{}:{}-{}{} {}", out.empty() ? "" : " ", k.chrom, k.start, k.end, k.strand,
                       n);
  return out;
}

} // namespace

TEST(Census, StrandOfEachJunction) {
  Genome genome;
  const fasta::FastaIndex *g = &*genome.index;
  constexpr uint16_t kPair2 = bam::kPaired | bam::kSecond, kPair1 = bam::kPaired | bam::kFirst;
  constexpr auto rf = Strandedness::Rf, fr = Strandedness::Fr, un = Strandedness::Unstranded,
                 other = Strandedness::Other;
  struct Case {
    const char *what;
    Rec rec;
    Strandedness s;
    bool genome;
    const char *expected;
  } cases[] = {
      // The protocol wins over the motif and the tags.
      {"rf forward", Rec(0, 0, 11, 20), rf, true, "chr1:11-20- 1"},
      {"rf reverse", std::move(Rec(bam::kReverse, 0, 11, 20).tag("XS", 'A', '-')), rf, true,
       "chr1:11-20+ 1"},
      {"rf second forward", Rec(kPair2, 0, 11, 20), rf, false, "chr1:11-20+ 1"},
      {"rf first reverse", Rec(kPair1 | bam::kReverse, 0, 11, 20), rf, false, "chr1:11-20+ 1"},
      {"fr forward", Rec(0, 0, 31, 40), fr, true, "chr1:31-40+ 1"},
      {"fr second forward", Rec(kPair2, 0, 31, 40), fr, true, "chr1:31-40- 1"},
      {"fr paired neither mate", Rec(bam::kPaired | bam::kReverse, 0, 31, 40), fr, true,
       "chr1:31-40+ 1"},
      // Motifs of both strands, then the tags.
      {"GT-AG", std::move(Rec(0, 0, 11, 20).tag("XS", 'A', '-')), un, true, "chr1:11-20+ 1"},
      {"CT-AC", Rec(0, 0, 31, 40), un, true, "chr1:31-40- 1"},
      {"GC-AG", Rec(0, 0, 101, 110), un, true, "chr1:101-110+ 1"},
      {"AT-AC", Rec(0, 0, 121, 130), un, true, "chr1:121-130+ 1"},
      {"GT-AT", Rec(0, 0, 141, 150), un, true, "chr1:141-150- 1"},
      {"4 bases", Rec(0, 0, 161, 164), other, true, "chr1:161-164+ 1"},
      {"no motif, XS", std::move(Rec(0, 0, 51, 60).tag("XS", 'A', '-')), un, true, "chr1:51-60- 1"},
      {"no motif, ts", std::move(Rec(0, 0, 51, 60).tag("ts", 'A', '+')), un, true, "chr1:51-60+ 1"},
      {"no motif, no tag", Rec(0, 0, 51, 60), un, true, "chr1:51-60. 1"},
      {"contig missing from the genome", std::move(Rec(0, 1, 11, 20).tag("XS", 'A', '-')), un, true,
       "chr2:11-20- 1"},
      {"intron past the contig end", Rec(0, 0, 190, 205), un, true, "chr1:190-205. 1"},
      // Without a genome only the tags speak, in each stored form.
      {"no genome", Rec(0, 0, 11, 20), un, false, "chr1:11-20. 1"},
      {"Z", std::move(Rec(0, 0, 11, 20).text("XS", 'Z', "-x")), un, false, "chr1:11-20- 1"},
      {"H", std::move(Rec(0, 0, 11, 20).text("XS", 'H', "+")), un, false, "chr1:11-20+ 1"},
      {"c", std::move(Rec(0, 0, 11, 20).tag("XS", 'c', int8_t{'-'})), un, false, "chr1:11-20- 1"},
      {"C", std::move(Rec(0, 0, 11, 20).tag("XS", 'C', uint8_t{'+'})), un, false, "chr1:11-20+ 1"},
      {"XS ? then ts", std::move(Rec(0, 0, 11, 20).tag("XS", 'A', '?').tag("ts", 'c', '-')), un,
       false, "chr1:11-20- 1"},
      {"i is not read", std::move(Rec(0, 0, 11, 20).tag("XS", 'i', int32_t{'+'})), un, false,
       "chr1:11-20. 1"},
  };
  for (auto &c : cases)
    EXPECT_EQ(census({&c.rec}, c.s, c.genome ? g : nullptr), c.expected) << c.what;
}

TEST(Census, FragmentsCountEachJunctionOnce) {
  constexpr uint16_t kProper = bam::kPaired | bam::kProperPair;
  constexpr auto un = Strandedness::Unstranded;
  // Both mates cross 11-20; the second mate also crosses 31-40 (two N operations).
  Rec m1(kProper | bam::kFirst, 0, 11, 20, "p");
  Rec m2(kProper | bam::kSecond, 0, 11, 20, "p");
  EXPECT_EQ(census({&m1, &m2}, un, nullptr, false), "chr1:11-20. 1");
  EXPECT_EQ(census({&m1, &m2}, un, nullptr, true), "chr1:11-20. 2");

  Rec two(0, 0, 11, 20);
  const uint32_t cig[] = {op(5, BAM_CMATCH), op(10, 3), op(5, BAM_CMATCH), op(10, 3),
                          op(5, BAM_CMATCH)};
  bam_set1(two.rec.get(), 1, "t", 0, 0, 4, 60, 5, cig, -1, -1, 0, 15, "ACGTACGTACGTACG", nullptr,
           0);
  EXPECT_EQ(census({&two}, un, nullptr), "chr1:10-19. 1 chr1:25-34. 1");

  // Mates giving one intron two strands count once under each.
  Rec plus(kProper | bam::kFirst, 0, 11, 20, "q");
  Rec minus(kProper | bam::kSecond, 0, 11, 20, "q");
  plus.tag("XS", 'A', '+');
  minus.tag("XS", 'A', '-');
  EXPECT_EQ(census({&plus, &minus}, un, nullptr, false), "chr1:11-20+ 1 chr1:11-20- 1");

  // References that share a name are one chromosome.
  Rec a(0, 0, 11, 20), b(0, 2, 11, 20);
  EXPECT_EQ(census({&a, &b}, un, nullptr, true, {"chr1", "chr2", "chr1"}), "chr1:11-20. 2");
  // A record on a reference the header does not name adds nothing.
  Rec far(0, 5, 11, 20);
  EXPECT_EQ(census({&far}, un, nullptr), "");
}

TEST(Census, JunctionOrder) {
  constexpr auto un = Strandedness::Unstranded;
  // Names by bytes (a prefix first), then start, end and strand '+' < '-' < '.'.
  Rec r1(0, 1, 11, 20), r2(0, 0, 11, 30), r3(0, 0, 11, 20), r4(0, 2, 7, 20), r5(0, 0, 11, 20);
  r3.tag("XS", 'A', '-');
  r5.tag("XS", 'A', '+');
  EXPECT_EQ(census({&r1, &r2, &r3, &r4, &r5}, un, nullptr, true, {"chr1", "chr10", "chr1_x"}),
            "chr1:11-20+ 1 chr1:11-20- 1 chr1:11-30. 1 chr10:11-20. 1 chr1_x:7-20. 1");
}
