#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <unistd.h>

#include "fasta.hpp"
#include "scratch.hpp"

using namespace voskel;
using fasta::FastaIndex;

namespace {

// A scratch directory that also writes a FASTA and its index side by side.
struct ScratchDir : testutil::ScratchDir {
  // Returns the FASTA path.
  std::string genome(const std::string &fa, const std::string &fai,
                     const std::string &name = "g.fa") const {
    write(name + ".fai", fai);
    return write(name, fa);
  }
};

std::string text_of(const Result<std::string> &r) { return r ? *r : "ERR " + r.error().text(); }

} // namespace

TEST(FastaFetch, LineEndsCaseAndUnevenLastLine) {
  // Header of six bytes ("\n") or seven ("\r\n"), lines ACGT / acgt / AC.
  struct Case {
    const char *label, *fa, *fai;
  } cases[] = {
      {"lf", ">chr1\nACGT\nacgt\nAC\n", "chr1\t10\t6\t4\t5\n"},
      {"crlf", ">chr1\r\nACGT\r\nacgt\r\nAC\r\n", "chr1\t10\t7\t4\t6\r\n"},
      {"no final newline", ">chr1\nACGT\nacgt\nAC", "chr1\t10\t6\t4\t5"},
  };
  for (const auto &c : cases) {
    ScratchDir tmp;
    auto fa = FastaIndex::open(tmp.genome(c.fa, c.fai));
    ASSERT_TRUE(fa) << c.label << ": " << fa.error().text();
    EXPECT_EQ(text_of(fa->fetch("chr1", 3, 6)), "GTAC") << c.label;
    EXPECT_EQ(text_of(fa->fetch("chr1", 1, 10)), "ACGTACGTAC") << c.label;
    EXPECT_EQ(text_of(fa->fetch("chr1", 5, 5)), "A") << c.label;
    EXPECT_EQ(text_of(fa->fetch("chr1", 4, 5)), "TA") << c.label;
    EXPECT_EQ(text_of(fa->fetch("chr1", 9, 10)), "AC") << c.label;
  }
}

TEST(FastaFetch, PassesOtherBytesThrough) {
  ScratchDir tmp;
  auto fa = FastaIndex::open(tmp.genome(">x\nNnRy*-\n", "x\t6\t3\t6\t7\n"));
  ASSERT_TRUE(fa);
  EXPECT_EQ(text_of(fa->fetch("x", 1, 6)), "NNRY*-");
}

TEST(FastaFetch, LookupFailures) {
  ScratchDir tmp;
  auto fa = FastaIndex::open(tmp.genome(">chr1\nACGT\nacgt\nAC\n", "chr1\t10\t6\t4\t5\n"));
  ASSERT_TRUE(fa);
  struct Case {
    const char *name;
    uint64_t start, end;
    std::string want;
  } cases[] = {
      {"chr2", 1, 2, "FASTA has no contig chr2"},
      {"CHR1", 1, 2, "FASTA has no contig CHR1"},
      {"chr1", 0, 2, "bad FASTA interval chr1:0-2 (len 10)"},
      {"chr1", 5, 4, "bad FASTA interval chr1:5-4 (len 10)"},
      {"chr1", 10, 11, "bad FASTA interval chr1:10-11 (len 10)"},
  };
  for (const auto &c : cases) {
    auto got = fa->fetch(c.name, c.start, c.end);
    ASSERT_FALSE(got) << c.want;
    EXPECT_EQ(got.error().text(), c.want);
    std::string out = "kept";
    auto appended = fa->fetch_into(c.name, c.start, c.end, out);
    ASSERT_FALSE(appended);
    EXPECT_FALSE(fa->holds(c.name, c.start, c.end)); // the index refuses it
    EXPECT_EQ(out, "kept");
  }
  // A failed fetch leaves the index usable.
  EXPECT_EQ(text_of(fa->fetch("chr1", 10, 10)), "C");
}

TEST(FastaFetch, AppendJoinsStretches) {
  ScratchDir tmp;
  auto fa = FastaIndex::open(tmp.genome(">chr1\nACGT\nacgt\nAC\n", "chr1\t10\t6\t4\t5\n"));
  ASSERT_TRUE(fa);
  std::string out;
  ASSERT_TRUE(fa->fetch_into("chr1", 1, 2, out));
  ASSERT_TRUE(fa->fetch_into("chr1", 7, 10, out));
  EXPECT_EQ(out, "ACGTAC");
}

TEST(FastaFetch, BrokenGeometryAndShortFiles) {
  constexpr auto kShort = "failed to fill whole buffer";
  struct Case {
    const char *label, *fa, *fai;
    uint64_t start, end;
    std::string want;
  } cases[] = {
      // linewidth 4 where the file has 5: the range holds a newline too few bases.
      {"geometry", ">c\nACGT\nACGT\n", "c\t8\t3\t4\t4\n", 1, 8,
       "FASTA fetch c:1-8 decoded 7 bases, expected 8"},
      {"linewidth below linebases", ">c\nACGT\nACGT\n", "c\t8\t3\t4\t3\n", 1, 2,
       "bad FASTA index for c: linewidth 3 < linebases 4"},
      {"file ends early", ">c\nACGT\n", "c\t100\t3\t4\t5\n", 1, 100, kShort},
      {"range starts past the end", ">c\nACGT\n", "c\t100\t3\t4\t5\n", 90, 91, kShort},
      // A corrupt index naming a contig of 10^15 bases must not size a buffer for it.
      {"huge contig", ">c\nACGT\n", "c\t1000000000000000\t3\t4\t5\n", 1, 1000000000000000, kShort},
      {"offset overflows", ">c\nACGT\n", "c\t100\t18446744073709551610\t4\t5\n", 1, 10, kShort},
      {"row overflows", ">c\nACGT\n", "c\t18446744073709551615\t3\t1\t2\n", 1,
       18446744073709551615ull, kShort},
  };
  for (const auto &c : cases) {
    ScratchDir tmp;
    auto fa = FastaIndex::open(tmp.genome(c.fa, c.fai));
    ASSERT_TRUE(fa) << c.label;
    auto got = fa->fetch("c", c.start, c.end);
    ASSERT_FALSE(got) << c.label;
    EXPECT_EQ(got.error().text(), c.want) << c.label;
    std::string out;
    auto appended = fa->fetch_into("c", c.start, c.end, out);
    ASSERT_FALSE(appended);
    EXPECT_TRUE(fa->holds("c", c.start, c.end)) << c.label; // accepted, then failed to read
    EXPECT_TRUE(out.empty());
  }
}

TEST(FastaFetch, FileTruncatedAfterOpenReadsShort) {
  ScratchDir tmp;
  const auto path = tmp.genome(">c\nACGTACGT\n", "c\t8\t3\t8\t9\n");
  auto fa = FastaIndex::open(path);
  ASSERT_TRUE(fa);
  ASSERT_EQ(::truncate(path.c_str(), 6), 0);
  auto got = fa->fetch("c", 1, 8);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().text(), "failed to fill whole buffer");
  EXPECT_EQ(text_of(fa->fetch("c", 1, 3)), "ACG");
}

TEST(FastaFetch, SharedBetweenThreads) {
  ScratchDir tmp;
  std::string seq;
  for (int i = 0; i < 997; ++i)
    seq += "ACGT"[(i * 7 + i / 5) % 4];
  std::string fa_text = ">c\n";
  for (size_t p = 0; p < seq.size(); p += 60)
    fa_text += seq.substr(p, 60) + "\n";
  auto fa = FastaIndex::open(tmp.genome(fa_text, "c\t997\t3\t60\t61\n"));
  ASSERT_TRUE(fa);
  std::atomic<int> wrong = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (uint64_t i = 0; i < 500; ++i) {
        const uint64_t start = 1 + (i * 37 + static_cast<uint64_t>(t) * 11) % 900;
        const uint64_t end = start + (i % 90);
        auto got = fa->fetch("c", start, end);
        if (!got || *got != seq.substr(start - 1, end - start + 1))
          ++wrong;
      }
    });
  for (auto &th : threads)
    th.join();
  EXPECT_EQ(wrong, 0);
}

TEST(FastaDinuc, BothStrands) {
  ScratchDir tmp;
  auto fa = FastaIndex::open(tmp.genome(">c\nGTNGuA\n", "c\t6\t3\t6\t7\n"));
  ASSERT_TRUE(fa);
  using P = std::pair<char, char>;
  struct Case {
    uint64_t pos;
    bool plus;
    P want;
  } cases[] = {
      {1, true, {'G', 'T'}}, {1, false, {'A', 'C'}}, {3, false, {'C', 'N'}},
      {3, true, {'N', 'G'}}, {5, false, {'T', 'A'}}, // u is read as U, whose complement is A
  };
  for (const auto &c : cases) {
    auto got = fa->dinuc_tx("c", c.pos, c.plus);
    ASSERT_TRUE(got) << c.pos;
    EXPECT_EQ(*got, c.want) << c.pos << " " << c.plus;
  }
  auto past = fa->dinuc_tx("c", 6, true);
  ASSERT_FALSE(past);
  EXPECT_EQ(past.error().text(), "bad FASTA interval c:6-7 (len 6)");
}

TEST(FaiParse, ReadsRecords) {
  ScratchDir tmp;
  const auto fa =
      tmp.genome(">a\nAC\n>b\nGT\n", "a\t2\t3\t2\t3\textra\n\nb\t2\t+9\t0\t0\na\t1\t3\t2\t3\n");
  auto recs = fasta::parse_fai(fa + ".fai");
  ASSERT_TRUE(recs) << recs.error().text();
  ASSERT_EQ(recs->size(), 3u);
  EXPECT_EQ((*recs)[1].first, "b");
  EXPECT_EQ((*recs)[1].second, (fasta::FaiRec{2, 9, 1, 1})); // zeros stored as 1

  auto names = fasta::load_fai(fa);
  ASSERT_TRUE(names);
  const std::vector<std::pair<std::string, uint64_t>> want = {{"a", 2}, {"b", 2}, {"a", 1}};
  EXPECT_EQ(*names, want);

  // The later line of a repeated name wins in the open index.
  auto idx = FastaIndex::open(fa);
  ASSERT_TRUE(idx);
  EXPECT_EQ(idx->find("a")->length, 1u);
  EXPECT_EQ(text_of(idx->fetch("a", 1, 2)), "ERR bad FASTA interval a:1-2 (len 1)");
}

TEST(FaiParse, Errors) {
  struct Case {
    std::string fai, want; // "{}" stands for the index path
  } cases[] = {
      {"a\t1\t3\t2\n", "{} line 1: expected 5 columns (name, length, offset, linebases, "
                       "linewidth)"},
      {"a\t1\t3\t2\t3\n\nb\t-1\t3\t2\t3\n", "{} line 3: invalid length"},
      {"a\t1\t\t2\t3\n", "{} line 1: invalid offset"},
      {"a\t1\t3\t 2\t3\n", "{} line 1: invalid linebases"},
      {"a\t1\t3\t2\t18446744073709551616\n", "{} line 1: invalid linewidth"},
      {"a\tx\ty\tz\tw\n", "{} line 1: invalid length"},
      {"", "{} is empty"},
      {"\n\r\n\n", "{} is empty"},
      {"a\t1\t3\t2\t3\n\xff\n", "{} line 2: stream did not contain valid UTF-8"},
  };
  for (const auto &c : cases) {
    ScratchDir tmp;
    const auto fai = tmp.write("g.fa.fai", c.fai);
    auto got = fasta::parse_fai(fai);
    ASSERT_FALSE(got) << c.want;
    std::string want = c.want;
    if (auto at = want.find("{}"); at != std::string::npos)
      want.replace(at, 2, fai);
    EXPECT_EQ(got.error().text(), want);
  }
}

TEST(FaiParse, MissingFiles) {
  ScratchDir tmp;
  const auto fa = (tmp.dir / "none.fa").string();
  auto missing = FastaIndex::open(fa);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(),
            "missing FASTA index " + fa +
                ".fai \u2014 please run `samtools faidx` on that FASTA (Voskel will not write a "
                ".fai next to a shared genome)");
  EXPECT_EQ(fasta::load_fai(fa).error().text(), missing.error().text());

  tmp.write("none.fa.fai", "c\t1\t3\t1\t2\n");
  auto no_fasta = FastaIndex::open(fa);
  ASSERT_FALSE(no_fasta);
  EXPECT_EQ(no_fasta.error().text(),
            "cannot open FASTA " + fa + ": No such file or directory (os error 2)");

  std::filesystem::create_directory(tmp.dir / "d.fa.fai");
  auto dir = fasta::parse_fai((tmp.dir / "d.fa.fai").string());
  ASSERT_FALSE(dir);
  EXPECT_EQ(dir.error().text(),
            "cannot read " + (tmp.dir / "d.fa.fai").string() + ": Is a directory (os error 21)");
}

TEST(FastaDinuc, BatchedReadsMatchOneByOne) {
  ScratchDir tmp;
  std::string seq;
  for (int i = 0; i < 20000; ++i)
    seq += "ACGTacgtNU"[(i * 7 + i / 3) % 10];
  std::string fa_text = ">c\n";
  for (size_t p = 0; p < seq.size(); p += 60)
    fa_text += seq.substr(p, 60) + "\n";
  const auto path = tmp.genome(fa_text, "c\t20000\t3\t60\t61\n");
  auto fa = FastaIndex::open(path);
  ASSERT_TRUE(fa);
  const auto one_by_one = [&](std::string_view name, const std::vector<uint64_t> &pos) {
    std::string out;
    for (const uint64_t p : pos) {
      auto pair = fa->dinuc_tx(name, p, true);
      if (!pair)
        return "ERR " + pair.error().text();
      out += {pair->first, pair->second, ' '};
    }
    return out;
  };
  const auto batched = [&](std::string_view name, const std::vector<uint64_t> &pos) {
    std::vector<std::pair<char, char>> pairs(pos.size());
    auto done = fa->dinucs(name, pos, pairs);
    if (!done)
      return std::string("ERR ") + done.error().text(); // pairs are then unspecified
    std::string out;
    for (const auto &[a, b] : pairs)
      out += {a, b, ' '};
    return out;
  };
  const std::vector<std::vector<uint64_t>> cases = {
      {},
      {5},
      {1, 2, 59, 60, 61, 120}, // pairs across line ends, in one window
      {10, 5000, 5003, 19999}, // windows apart, the last pair ends the contig
      {300, 100, 9000, 8990},  // out of order
      {1, 20000},              // past the end: a refused lookup
      {7, 0, 9},               // position 0
      {7, std::numeric_limits<uint64_t>::max()},
  };
  for (const auto &pos : cases) {
    EXPECT_EQ(batched("c", pos), one_by_one("c", pos)) << testing::PrintToString(pos);
    EXPECT_EQ(batched("nope", pos), one_by_one("nope", pos)) << testing::PrintToString(pos);
  }
  auto refused = [&] {
    std::vector<std::pair<char, char>> pairs(2);
    return fa->dinucs("c", std::vector<uint64_t>{3, 20000}, pairs);
  }();
  ASSERT_FALSE(refused);
  EXPECT_FALSE(fa->holds("c", 20000, 20001));

  // A file cut short after opening fails as the first short pair would.
  ASSERT_EQ(::truncate(path.c_str(), 6000), 0);
  for (const auto &pos : std::vector<std::vector<uint64_t>>{{10, 20, 9000}, {9000, 10}}) {
    EXPECT_EQ(batched("c", pos), one_by_one("c", pos)) << testing::PrintToString(pos);
    std::vector<std::pair<char, char>> pairs(pos.size());
    auto done = fa->dinucs("c", pos, pairs);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().text(), "failed to fill whole buffer");
  }
}
