#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

#include "orf/orf.hpp"
#include "scratch.hpp"

using namespace voskel;
using orf::OrfHit;

namespace {

// The search written the direct way: every ATG scans forward for its stop.
std::optional<OrfHit> reference_orf(std::string_view s, uint64_t min_aa) {
  const auto codon_is = [&](size_t p, std::initializer_list<std::string_view> any) {
    for (auto c : any)
      if (s.substr(p, 3) == c)
        return true;
    return false;
  };
  std::optional<OrfHit> best;
  const size_t n = s.size();
  for (size_t f = 0; f < 3; ++f)
    for (size_t p = f; p + 3 <= n; p += 3) {
      if (!codon_is(p, {"ATG"}))
        continue;
      OrfHit cand;
      size_t q = p + 3;
      while (q + 3 <= n && !codon_is(q, {"TAA", "TAG", "TGA"}))
        q += 3;
      if (q + 3 <= n) {
        cand.nucleotides = std::string(s.substr(p, q - p));
        cand.complete = true;
      } else {
        cand.nucleotides = std::string(s.substr(p, (n - p) / 3 * 3));
      }
      if (cand.aa_len() >= min_aa && (!best || cand.nucleotides.size() > best->nucleotides.size()))
        best = std::move(cand);
    }
  if (best)
    best->peptide = orf::translate(best->nucleotides);
  return best;
}

using testutil::ScratchDir;

} // namespace

TEST(LongestOrf, Cases) {
  struct Case {
    std::string seq;
    uint64_t min_aa;
    bool found;
    std::string nucleotides, peptide;
    bool complete;
  } cases[] = {
      {"ATGAAATAG", 1, true, "ATGAAA", "MK", true},
      {"ATGAAA", 1, true, "ATGAAA", "MK", false},
      {"ATGAAAT", 1, true, "ATGAAA", "MK", false},
      {"ATGTAA", 1, true, "ATG", "M", true},
      {"ATGTAA", 2, false, "", "", false},
      {"ATGAAATAG", 2, true, "ATGAAA", "MK", true}, // length equal to the minimum qualifies
      {"ATGNNNTAA", 1, true, "ATGNNN", "MX", true},
      {"ATGGCNTAA", 1, true, "ATGGCN", "MX", true}, // GCN is X, not A
      {"AT", 1, false, "", "", false},
      {"", 1, false, "", "", false},
      {"CCCCCCTAA", 1, false, "", "", false},
      {"atgaaataa", 1, false, "", "", false},       // lower case is neither start nor stop
      {"ATGTNATAA", 1, true, "ATGTNA", "MX", true}, // TNA is no stop
      // Frames 0 and 2 tie at two codons: frame 0 wins.
      {"ATGCCCTAAGGATGAAATAA", 1, true, "ATGCCC", "MP", true},
      // Two equal ORFs in one frame: the leftmost.
      {"ATGAAATAAATGCCCTAA", 1, true, "ATGAAA", "MK", true},
      // A longer ORF in a later frame wins.
      {"CATGAAACCCGGGTAAATGTAA", 1, true, "ATGAAACCCGGG", "MKPG", true},
      // Complete and incomplete compared by length alone; the first of equal length stays.
      {"ATGCCCTAAATGAAA", 1, true, "ATGCCC", "MP", true},
      {"ATGCCCTAAATGAAAGGG", 1, true, "ATGAAAGGG", "MKG", false},
      // A later ATG inside an ORF gives a shorter candidate that never wins.
      {"ATGATGATGTGA", 3, true, "ATGATGATG", "MMM", true},
      {"ATGATGATGTGA", 4, false, "", "", false},
  };
  for (const auto &c : cases) {
    const auto got = orf::longest_orf(c.seq, c.min_aa);
    ASSERT_EQ(got.has_value(), c.found) << c.seq;
    if (!got)
      continue;
    EXPECT_EQ(got->nucleotides, c.nucleotides) << c.seq;
    EXPECT_EQ(got->peptide, c.peptide) << c.seq;
    EXPECT_EQ(got->complete, c.complete) << c.seq;
    EXPECT_EQ(got->aa_len(), c.peptide.size()) << c.seq;
  }
}

TEST(LongestOrf, AgreesWithDirectSearch) {
  std::mt19937_64 rng(20240611);
  // Base mixes: plain ACGT, ATG-rich, stop-poor (no T except inside ATG), with N and lower case.
  const std::string alphabets[] = {"ACGT", "ACGTATGATG", "ACGAGCGCATG", "ACGTNNa", "AATTGGN"};
  for (int round = 0; round < 6000; ++round) {
    const auto &alpha = alphabets[round % std::size(alphabets)];
    const size_t n = std::uniform_int_distribution<size_t>(0, round % 10 == 0 ? 12 : 400)(rng);
    std::string seq(n, 'A');
    for (auto &ch : seq)
      ch = alpha[std::uniform_int_distribution<size_t>(0, alpha.size() - 1)(rng)];
    const uint64_t min_aa = std::uniform_int_distribution<uint64_t>(0, 30)(rng);
    const auto fast = orf::longest_orf(seq, min_aa);
    const auto slow = reference_orf(seq, min_aa);
    ASSERT_EQ(fast, slow) << seq << " min " << min_aa;
  }
}

TEST(Translate, StandardCodeAndUnknownBytes) {
  EXPECT_EQ(orf::translate("ATGGCCTGGTTTAAAGGGCCCTTTTAGAAA"), "MAWFKGPFK");
  EXPECT_EQ(orf::translate("TAATAGTGA"), "");
  EXPECT_EQ(orf::translate("ATGAT"), "M");
  EXPECT_EQ(orf::translate("GCNUUUatgCTN"), "XXXX");
  // Every codon of the standard table, in TCAG order.
  const std::string bases = "TCAG";
  std::string all, peptide;
  for (char a : bases)
    for (char b : bases)
      for (char c : bases)
        peptide += nucleotide::amino_acid(a, b, c);
  EXPECT_EQ(peptide, "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG");
}

TEST(ReverseComplement, ComplementsAndReverses) {
  EXPECT_EQ(orf::rc("TTACAT"), "ATGTAA");
  EXPECT_EQ(orf::rc("ACGTUN-x"), "x-NAACGT");
  EXPECT_EQ(orf::rc(""), "");
  // Every byte value, at every length around the 16-byte steps taken from both ends.
  std::mt19937_64 rng(7);
  const std::string common = "ACGTUNacgt";
  for (size_t n = 0; n <= 100; ++n)
    for (int round = 0; round < 4; ++round) {
      std::string seq(n, '\0');
      for (auto &ch : seq)
        ch = round % 2 == 0 ? common[rng() % common.size()] : static_cast<char>(rng() % 256);
      std::string want(seq.rbegin(), seq.rend());
      for (auto &ch : want)
        ch = nucleotide::complement(ch);
      ASSERT_EQ(orf::rc(seq), want) << n;
    }
}

TEST(SpliceSeq, JoinsExonsInGenomeOrder) {
  ScratchDir tmp;
  // chr1: AAAAATTACATGGGGG (16 bases on one line).
  const auto fa = tmp.write("g.fa", ">chr1\nAAAAATTACATGGGGG\n");
  tmp.write("g.fa.fai", "chr1\t16\t6\t16\t17\n");
  auto genome = fasta::FastaIndex::open(fa);
  ASSERT_TRUE(genome);

  gtf::Transcript tx;
  tx.chrom = "chr1";
  tx.transcript_id = "T";
  tx.exons = {{9, 11}, {6, 8}}; // out of order on purpose: joined by start
  auto seq = orf::splice_seq(tx, *genome);
  ASSERT_TRUE(seq) << seq.error().text();
  EXPECT_EQ(*seq, "TTACAT");
  // A minus-strand transcript reading TTACAT is searched as ATGTAA.
  const auto hit = orf::longest_orf(orf::rc(*seq), 1);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->peptide, "M");

  tx.exons = {{1, 3}, {2, 4}}; // overlapping exons repeat their shared bases
  EXPECT_EQ(orf::splice_seq(tx, *genome).value(), "AAAAAA");
  tx.exons.clear();
  EXPECT_EQ(orf::splice_seq(tx, *genome).value(), "");

  tx.exons = {{1, 3}, {15, 17}};
  std::string out = "x";
  auto bad = orf::splice_seq_if_held(tx, *genome, out);
  ASSERT_TRUE(bad);
  EXPECT_FALSE(*bad); // refused by the index: no sequence, no error
  EXPECT_EQ(orf::splice_seq(tx, *genome).error().text(), "bad FASTA interval chr1:15-17 (len 16)");
  EXPECT_EQ(out, "x");
  tx.chrom = "chr9";
  EXPECT_EQ(orf::splice_seq(tx, *genome).error().text(), "FASTA has no contig chr9");
}
