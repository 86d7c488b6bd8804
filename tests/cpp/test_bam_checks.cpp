#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bam/checks.hpp"
#include "bam/reader.hpp"
#include "bam_fixture.hpp"
#include "scratch.hpp"

using namespace voskel;

namespace {

const std::string kHeader = "@HD\tVN:1.6\tSO:coordinate\n"
                            "@SQ\tSN:chr1\tLN:100000\n"
                            "@SQ\tSN:chr2\tLN:100000\n";

// A SAM line of a 10-base read; "*" as chrom writes an unmapped record.
std::string rec(int flag, const std::string &chrom, int pos1, const std::string &name = "r") {
  return fmt::format("{}\t{}\t{}\t{}\t60\t{}\t*\t0\t0\tACGTACGTAC\t*", name, flag, chrom,
                     chrom == "*" ? 0 : pos1, chrom == "*" ? "*" : "10M");
}

// n records with the flag, at rising positions on chr1 from `from`.
std::vector<std::string> run_of(int n, int flag, int from = 1) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i)
    out.push_back(rec(flag, "chr1", from + i));
  return out;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The 28 bytes of the BGZF end-of-file block.
const std::string kEofBlock("\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00"
                            "\x1b\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00",
                            28);

class BamChecks : public testing::Test {
protected:
  std::string bam(const std::string &name, const std::vector<std::string> &records) {
    const std::string p = scratch_.path(name);
    testutil::write_sam_as_bam(p, kHeader, records);
    return p;
  }
  testutil::ScratchDir scratch_;
};

std::string with_byte(std::string s, size_t at, char c) {
  s[at] = c;
  return s;
}

} // namespace

TEST_F(BamChecks, IntegrityOfRawBytes) {
  const std::string good = bam("good.bam", run_of(50, 0));
  const std::string whole = testutil::ScratchDir::slurp(good);
  const std::string gzip_head("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
  struct Case {
    std::string name;
    std::string bytes;
    std::string error; // with {p} for the path and {n} for the size; empty: passes
  };
  const std::vector<Case> cases = {
      {"empty", "", "BAM {p} is only 0 bytes; truncated or not a BGZF BAM"},
      {"27 bytes", kEofBlock.substr(0, 27),
       "BAM {p} is only 27 bytes; truncated or not a BGZF BAM"},
      {"SAM text", kHeader + rec(0, "chr1", 1) + "\n",
       "BAM {p} does not begin with a BGZF gzip header (got 4048)"},
      {"low first byte", std::string("\x05\x8b", 2) + std::string(40, 'x'),
       "BAM {p} does not begin with a BGZF gzip header (got 058b)"},
      {"gzip, not BGZF", gzip_head + std::string(40, 'x'),
       "BAM {p} is missing the BGZF EOF trailer (size {n} bytes); the file is truncated or "
       "still being written. Rebuild the index after the BAM is complete."},
      {"cut short", whole.substr(0, whole.size() - 5),
       "BAM {p} is missing the BGZF EOF trailer (size {n} bytes); the file is truncated or "
       "still being written. Rebuild the index after the BAM is complete."},
      {"whole BAM", whole, ""},
      {"EOF block alone", kEofBlock, ""},
      // Only eight bytes of the block are looked at.
      {"unchecked byte differs", with_byte(kEofBlock, 5, '\x7f'), ""},
      {"BC differs", with_byte(kEofBlock, 13, 'D'),
       "BAM {p} is missing the BGZF EOF trailer (size 28 bytes); the file is truncated or still "
       "being written. Rebuild the index after the BAM is complete."},
      {"block size differs", with_byte(kEofBlock, 17, '\x01'),
       "BAM {p} is missing the BGZF EOF trailer (size 28 bytes); the file is truncated or still "
       "being written. Rebuild the index after the BAM is complete."},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case &c = cases[i];
    const std::string p = scratch_.write(fmt::format("case{}.bam", i), c.bytes);
    const auto got = bam::validate_bam_integrity(p);
    if (c.error.empty()) {
      EXPECT_TRUE(got.has_value()) << c.name << ": " << got.error().text();
    } else {
      ASSERT_FALSE(got.has_value()) << c.name;
      EXPECT_EQ(got.error().text(),
                fmt::format(fmt::runtime(c.error), fmt::arg("p", p), fmt::arg("n", c.bytes.size())))
          << c.name;
    }
  }
  const std::string missing = scratch_.path("nowhere.bam");
  EXPECT_EQ(bam::validate_bam_integrity(missing).error().text(),
            "cannot stat BAM " + missing + ": No such file or directory (os error 2)");
}

TEST_F(BamChecks, CoordinateOrderOfFirstPrimaryRecords) {
  const std::string unsorted = "BAM is not coordinate-sorted: primary mapped (tid, pos) "
                               "decreased in the first 10000 records";
  const std::string too_few = "BAM has fewer than 2 primary mapped reads; cannot confirm "
                              "coordinate sort (unmapped POS=0 records are not evidence)";
  struct Case {
    std::string name;
    std::vector<std::string> records;
    uint64_t limit;
    std::string error; // empty: passes
  };
  const std::vector<Case> cases = {
      {"sorted", run_of(20, 0), 10000, ""},
      {"ties are in order", {rec(0, "chr1", 5), rec(16, "chr1", 5), rec(0, "chr1", 5)}, 10000, ""},
      {"unmapped first",
       {rec(4, "*", 0), rec(4, "*", 0), rec(0, "chr1", 9), rec(0, "chr2", 1)},
       10000,
       ""},
      {"name-sorted", {rec(0, "chr1", 50, "a"), rec(0, "chr1", 10, "b")}, 10000, unsorted},
      {"back to an earlier reference", {rec(0, "chr2", 1), rec(0, "chr1", 500)}, 10000, unsorted},
      {"non-primary records out of place are ignored",
       {rec(0, "chr1", 50), rec(256, "chr1", 1), rec(2048, "chr1", 2), rec(4, "chr1", 3),
        rec(0, "chr1", 60)},
       10000,
       ""},
      {"quality-failed records count", {rec(0, "chr1", 50), rec(512, "chr1", 1)}, 10000, unsorted},
      {"disorder after the limit", run_of(5, 0, 100) + run_of(1, 0, 1), 5, ""},
      {"disorder at the limit", run_of(4, 0, 100) + run_of(1, 0, 1), 5, unsorted},
      {"one primary mapped read",
       {rec(4, "*", 0), rec(0, "chr1", 7), rec(256, "chr1", 9)},
       10000,
       too_few},
      {"only unmapped reads", {rec(4, "*", 0), rec(4, "*", 0)}, 10000, too_few},
      {"no records", {}, 10000, too_few},
      {"a limit of one never confirms", run_of(5, 0), 1, too_few},
      {"a limit of zero acts as one", run_of(5, 0), 0, too_few},
      {"a limit of two does", run_of(5, 0), 2, ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case &c = cases[i];
    auto reader = bam::open_sequential(bam(fmt::format("order{}.bam", i), c.records));
    ASSERT_TRUE(reader.has_value()) << reader.error().text();
    const auto got = bam::check_coordinate_order_seq(*reader, c.limit);
    if (c.error.empty())
      EXPECT_TRUE(got.has_value()) << c.name << ": " << got.error().text();
    else
      EXPECT_EQ(got ? "passed" : got.error().text(), c.error) << c.name;
  }
}

TEST_F(BamChecks, LayoutOfFirstPrimaryRecords) {
  struct Case {
    std::string name;
    std::vector<std::string> records;
    uint64_t limit;
    std::string finding; // "paired mixed dup" as 0/1, or the error text
  };
  const std::string none = "BAM has no primary mapped reads; cannot determine library layout";
  const std::vector<Case> cases = {
      {"single-end", run_of(100, 0), 100000, "0 0 0"},
      {"paired-end", run_of(100, 1 | 2 | 64), 100000, "1 0 0"},
      {"1% paired is no mix", run_of(99, 0) + run_of(1, 1), 100000, "0 0 0"},
      {"2% paired is a mix", run_of(98, 0) + run_of(2, 1), 100000, "0 1 0"},
      {"1% single is no mix", run_of(99, 1) + run_of(1, 0), 100000, "1 0 0"},
      {"a tie is paired", run_of(50, 1) + run_of(50, 0), 100000, "1 1 0"},
      {"secondary and supplementary records are not looked at",
       run_of(10, 0) + run_of(10, 1 | 256) + run_of(10, 1 | 2048) + run_of(10, 1 | 4), 100000,
       "0 0 0"},
      {"a duplicate mark", run_of(10, 0) + run_of(1, 1024), 100000, "0 0 1"},
      {"duplicates only after the limit", run_of(10, 0) + run_of(5, 1024 | 1), 10, "0 0 0"},
      {"a marked secondary record is not looked at", run_of(10, 0) + run_of(1, 1024 | 256), 100000,
       "0 0 0"},
      {"quality-failed records count", run_of(10, 512 | 1024), 100000, "0 0 1"},
      {"a limit of zero looks at one record", run_of(1, 1) + run_of(5, 0), 0, "1 0 0"},
      {"only unmapped reads", {rec(4, "*", 0), rec(4 | 1, "*", 0)}, 100000, none},
      {"no records", {}, 100000, none},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case &c = cases[i];
    auto reader = bam::open_sequential(bam(fmt::format("layout{}.bam", i), c.records));
    ASSERT_TRUE(reader.has_value()) << reader.error().text();
    const auto got = bam::scan_layout_seq(*reader, c.limit);
    const std::string seen =
        got ? fmt::format("{:d} {:d} {:d}", got->paired, got->mixed, got->dup_flag_seen)
            : got.error().text();
    EXPECT_EQ(seen, c.finding) << c.name;
  }
}

TEST_F(BamChecks, ReadErrorsAreNamed) {
  // A BAM whose last data block is cut in the middle of a record: the scans stop there with
  // the reader's reason instead of treating the rest as absent.
  const std::string good = bam("long.bam", run_of(3000, 0));
  std::string bytes = testutil::ScratchDir::slurp(good);
  const std::string cut =
      scratch_.write("cut.bam", bytes.substr(0, bytes.size() - 28 - 200) + kEofBlock);
  auto reader = bam::open_sequential(cut);
  ASSERT_TRUE(reader.has_value()) << reader.error().text();
  const auto layout = bam::scan_layout_seq(*reader, 100000);
  ASSERT_FALSE(layout.has_value());
  EXPECT_TRUE(layout.error().text().starts_with("BAM read error: ")) << layout.error().text();
}

TEST(SqEqual, SameEntriesInAnyOrder) {
  using bam::SqDict;
  const SqDict a{{"chr1", 100}, {"chr2", 200}};
  struct Case {
    SqDict b;
    bool equal;
  };
  const std::vector<Case> cases = {
      {{{"chr1", 100}, {"chr2", 200}}, true},
      {{{"chr2", 200}, {"chr1", 100}}, true},
      {{{"chr1", 100}, {"chr2", 201}}, false},
      {{{"chr1", 100}}, false},
      {{{"chr1", 100}, {"chr2", 200}, {"chr2", 200}}, false},
      {{{"chr1", 100}, {"chr1", 100}}, false},
      {{{"Chr1", 100}, {"chr2", 200}}, false},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(bam::sq_equal(a, c.b), c.equal);
    EXPECT_EQ(bam::sq_equal(c.b, a), c.equal);
  }
  EXPECT_TRUE(bam::sq_equal({{"x", 1}, {"x", 1}}, {{"x", 1}, {"x", 1}}));
  EXPECT_TRUE(bam::sq_equal({{"x", 2}, {"x", 1}}, {{"x", 1}, {"x", 2}}));
}
