#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "coords.hpp"
#include "gtf.hpp"
#include "scratch.hpp"
#include "table.hpp"

using namespace voskel;
namespace fs = std::filesystem;

namespace {

// A fresh scratch directory per test.
class GtfTest : public ::testing::Test {
protected:
  std::string write(const std::string &name, const std::string &text) {
    return scratch_.write(name, text);
  }
  static std::string slurp(const std::string &p) { return testutil::ScratchDir::slurp(p); }
  testutil::ScratchDir scratch_;
};

// One GTF row from its parts.
std::string row(std::string_view chrom, std::string_view feature, std::string_view start,
                std::string_view end, std::string_view strand, std::string_view attrs) {
  return fmt::format("{}\tsrc\t{}\t{}\t{}\t.\t{}\t.\t{}\n", chrom, feature, start, end, strand,
                     attrs);
}

// The model as short text, so a whole table of expectations reads at a glance.
std::string describe(const gtf::ParsedGtf &m) {
  std::string s;
  for (const auto &t : m.transcripts) {
    s += fmt::format("T {} {} {} {} {}:", t.transcript_id, t.chrom, t.gene_id, t.gene_name,
                     gtf::strand_text(t.strand));
    for (const auto &e : t.exons)
      s += fmt::format(" {}-{}", e.start, e.end);
    s += "\n";
  }
  for (const auto &g : m.genes)
    s += fmt::format("G {} {} {} {}-{} {}\n", g.chrom, g.gene_id, g.gene_name, g.start, g.end,
                     gtf::strand_text(g.strand));
  s += "S";
  for (const auto &c : m.seqnames)
    s += " " + c;
  return s;
}

} // namespace

TEST_F(GtfTest, BuildsModelFromRows) {
  struct Case {
    const char *what;
    std::string text;
    std::string model;
  } cases[] = {
      {"comments and blank lines only", "# a\n\n#b\t1\n\r\n", "S"},
      {"transcript without exons is dropped",
       row("c1", "transcript", "1", "9", "+", "gene_id \"g\"; transcript_id \"t\";"), "S c1"},
      {"exons stably sorted, duplicates kept, touching not merged",
       row("c1", "exon", "50", "60", "+", "gene_id g; transcript_id t;") +
           row("c1", "exon", "10", "20", "+", "gene_id g; transcript_id t;") +
           row("c1", "exon", "10", "15", "+", "gene_id g; transcript_id t;") +
           row("c1", "exon", "21", "30", "+", "gene_id g; transcript_id t;") +
           row("c1", "exon", "50", "60", "+", "gene_id g; transcript_id t;"),
       "T t c1 g g +: 10-20 10-15 21-30 50-60 50-60\nG c1 g g 10-60 +\nS c1"},
      {"exons without transcript_id form one {gene}.exon transcript",
       row("c1", "exon", "5", "8", "-", "gene_id g1;") +
           row("c1", "exon", "1", "3", "-", "gene_id g1; transcript_id \"\";"),
       "T g1.exon c1 g1 g1 -: 1-3 5-8\nG c1 g1 g1 1-8 -\nS c1"},
      {"first row fixes the transcript; later exons are appended whatever their values",
       row("c1", "transcript", "1", "100", "+", "gene_id g; transcript_id t; gene_name N;") +
           row("c2", "exon", "7", "9", "-", "gene_id h; transcript_id t; gene_name M;"),
       "T t c1 g N +: 7-9\nG c2 h M 7-9 -\nS c1 c2"},
      {"transcripts ascend by id bytes",
       row("c1", "exon", "1", "2", "+", "gene_id g; transcript_id b;") +
           row("c1", "exon", "1", "2", "+", "gene_id g; transcript_id B;") +
           row("c1", "exon", "1", "2", "+", "gene_id g; transcript_id \xC3\xA9;") +
           row("c1", "exon", "1", "2", "+", "gene_id g; transcript_id a10;") +
           row("c1", "exon", "1", "2", "+", "gene_id g; transcript_id a9;"),
       "T B c1 g g +: 1-2\nT a10 c1 g g +: 1-2\nT a9 c1 g g +: 1-2\nT b c1 g g +: 1-2\n"
       "T \xC3\xA9 c1 g g +: 1-2\nG c1 g g 1-2 +\nS c1"},
      {"later gene row replaces; gene rows first, then exon-only genes, each by (chrom, id)",
       row("c2", "gene", "1", "10", "+", "gene_id z;") +
           row("c1", "gene", "1", "10", "+", "gene_id g1;") +
           row("c1", "gene", "5", "50", "-", "gene_id g1; gene_name G;") +
           row("c1", "exon", "1", "5", "+", "gene_id a; transcript_id ta;") +
           row("c2", "exon", "30", "40", "+", "gene_id a; transcript_id tb;") +
           row("c1", "exon", "7", "9", "+", "gene_id g1; transcript_id tc;"),
       "T ta c1 a a +: 1-5\nT tb c2 a a +: 30-40\nT tc c1 g1 g1 +: 7-9\n"
       "G c1 g1 G 5-50 -\nG c2 z z 1-10 +\nG c1 a a 1-5 +\nG c2 a a 30-40 +\nS c1 c2"},
      {"exon-seen gene span grows, keeps first strand and name",
       row("c1", "exon", "20", "30", "-", "gene_id g; transcript_id t1; gene_name A;") +
           row("c1", "exon", "5", "8", "+", "gene_id g; transcript_id t2; gene_name B;") +
           row("c1", "exon", "40", "41", "+", "gene_id g; transcript_id t1;"),
       "T t1 c1 g A -: 20-30 40-41\nT t2 c1 g B +: 5-8\nG c1 g A 5-41 -\nS c1"},
      {"other features are skipped unchecked; empty strand is '.', any character accepted",
       row("c1", "CDS", "x", "y", "+", "") + row("c1", "exon", "+7", "7", "", "gene_id g;") +
           row("", "exon", "0", "0", "\xE2\x86\x92x", "gene_id h; gene_name \"\";"),
       "T g.exon c1 g g .: 7-7\nT h.exon  h  \xE2\x86\x92: 0-0\nG  h  0-0 \xE2\x86\x92\n"
       "G c1 g g 7-7 .\nS  c1"},
      {"CRLF line ends and extra columns",
       "c1\ts\texon\t1\t5\t.\t+\t.\tgene_id g; transcript_id t;\textra\r\n",
       "T t c1 g g +: 1-5\nG c1 g g 1-5 +\nS c1"},
  };
  for (const auto &c : cases) {
    const auto p = write("a.gtf", c.text);
    auto m = gtf::parse_gtf(p);
    ASSERT_TRUE(m) << c.what << ": " << m.error().text();
    EXPECT_EQ(describe(*m), c.model) << c.what;
  }
}

TEST_F(GtfTest, RejectsBadRowsWithLineNumber) {
  const std::string ok = row("c1", "exon", "1", "2", "+", "gene_id g;");
  struct Case {
    std::string text;
    std::string error; // after "{path} "
  } cases[] = {
      {"header\n", "line 1: expected \u22659 tab-separated columns, got 1"},
      {"#c\n\n" + ok + "a\tb\tc\td\te\tf\tg\th\n",
       "line 4: expected \u22659 tab-separated columns, got 8"},
      {"c1\ts\tCDS\n", "line 1: expected \u22659 tab-separated columns, got 3"},
      {row("c1", "gene", "100", "50", "+", "gene_id g;"), "line 1: start 100 > end 50"},
      {row("c1", "exon", "-5", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", "5.0", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", " 5", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", "", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", "+", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", "18446744073709551616", "7", "+", "gene_id g;"), "line 1: bad GTF start"},
      {row("c1", "exon", "1", "18446744073709551616", "+", "gene_id g;"), "line 1: bad GTF end"},
      {row("c1", "exon", "1", "7e3", "+", "gene_id g;"), "line 1: bad GTF end"},
      {ok + row("c1", "transcript", "1", "7", "+", "transcript_id t;"),
       "line 2: gene/transcript/exon row has no gene_id"},
      {row("c1", "gene", "1", "7", "+", "gene_id \"\";"),
       "line 1: gene/transcript/exon row has no gene_id"},
      {row("c1", "exon", "1", "7", "+", "gene_id;"),
       "line 1: gene/transcript/exon row has no gene_id"},
      {row("c1", "exon", "1", "7", "+", "Gene_id g;"),
       "line 1: gene/transcript/exon row has no gene_id"},
  };
  for (const auto &c : cases) {
    const auto p = write("bad.gtf", c.text);
    auto m = gtf::parse_gtf(p);
    ASSERT_FALSE(m) << c.text;
    EXPECT_EQ(m.error().kind(), CoreError::Kind::Message);
    EXPECT_EQ(m.error().text(), p + " " + c.error) << c.text;
  }
  // The largest value still parses.
  auto m = gtf::parse_gtf(write("big.gtf", row("c1", "exon", "18446744073709551615",
                                               "18446744073709551615", "+", "gene_id g;")));
  ASSERT_TRUE(m);
  EXPECT_EQ(m->transcripts.at(0).exons.at(0).start, 18446744073709551615ULL);
}

TEST_F(GtfTest, OpenAndReadFailures) {
  const std::string missing = (scratch_.dir / "nope.gtf").string();
  auto m = gtf::parse_gtf(missing);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().text(),
            "cannot open GTF " + missing + ": No such file or directory (os error 2)");

  const auto bad = write("u.gtf", row("c1", "exon", "1", "2", "+", "gene_id g;") + "\xFF\n");
  m = gtf::parse_gtf(bad);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error().kind(), CoreError::Kind::Io);
  EXPECT_EQ(m.error().text(), bad + " line 2: stream did not contain valid UTF-8");
}

TEST(GtfAttr, LooksUpOneKey) {
  struct Case {
    std::string column, key;
    bool found;
    std::string value;
  } cases[] = {
      {"gene_id \"g1\"", "gene_id", true, "g1"},
      {"gene_id g1", "gene_id", true, "g1"},
      {"gene_id  \"g1\" ", "gene_id", true, "g1"},
      {" gene_id \"g1\"; transcript_id \"t1\";", "transcript_id", true, "t1"},
      {"gene_id;", "gene_id", true, ""},
      {"gene_id \"\"", "gene_id", true, ""},
      {"gene_id \"a;b\"", "gene_id", true, "\"a"},
      {"gene_id \"", "gene_id", true, "\""},
      {"gene_id \"\"x\"\"", "gene_id", true, "\"x\""},
      {"note a b c; gene_id x", "note", true, "a b c"},
      {"gene_id a; gene_id b", "gene_id", true, "a"},
      {";; ;gene_id\ta;", "gene_id", true, "a"},
      {"gene_id\xC2\xA0x\xE3\x80\x80", "gene_id", true, "x"}, // U+00A0 splits, U+3000 trims
      {"\xE2\x80\x83gene_id v", "gene_id", true, "v"},        // U+2003 leading
      {"gene_idx a", "gene_id", false, ""},
      {"Gene_id a", "gene_id", false, ""},
      {"", "gene_id", false, ""},
      {"gene_name\xC2\xA9 x", "gene_name", false, ""}, // U+00A9 is not white space
  };
  for (const auto &c : cases) {
    std::string_view v = "unset";
    EXPECT_EQ(gtf::attr(c.column, c.key, v), c.found) << c.column;
    if (c.found) {
      EXPECT_EQ(v, c.value) << c.column;
    }
  }
}

TEST(GtfUnionLen, MergesOverlappingAndTouchingExons) {
  gtf::Transcript a, b;
  a.exons = {{10, 20}, {25, 40}};
  b.exons = {{50, 50}, {21, 30}};
  const gtf::Transcript *both[] = {&a, &b};
  EXPECT_EQ(gtf::union_len(both), 32u);
  const gtf::Transcript *one[] = {&b};
  EXPECT_EQ(gtf::union_len(one), 11u);
  EXPECT_EQ(gtf::union_len({}), 0u);
  gtf::Transcript nested;
  nested.exons = {{1, 100}, {5, 10}, {101, 101}};
  const gtf::Transcript *n[] = {&nested};
  EXPECT_EQ(gtf::union_len(n), 101u);
}

TEST(GtfUnionLen, SaturatesAtTheTopOfTheCoordinateRange) {
  constexpr uint64_t kMax = UINT64_MAX;
  struct Case {
    std::vector<gtf::Exon> exons;
    uint64_t want;
  } cases[] = {
      {{{0, kMax}}, kMax},                           // 2^64 bases: saturated, not wrapped to 0
      {{{0, kMax}, {5, 9}}, kMax},                   // joins the whole range, not a second interval
      {{{1, kMax}}, kMax},                           // exactly 2^64 - 1
      {{{kMax - 9, kMax}, {kMax, kMax}}, 10},        // an end of 2^64-1 does not wrap the join
      {{{0, kMax / 2}, {kMax / 2 + 2, kMax}}, kMax}, // two halves: the sum saturates
  };
  for (const auto &c : cases) {
    gtf::Transcript t;
    t.exons = c.exons;
    const gtf::Transcript *one[] = {&t};
    EXPECT_EQ(gtf::union_len(one), c.want) << c.exons.front().start;
  }
  EXPECT_EQ(coords::span_len(0, kMax), kMax);
  EXPECT_EQ(coords::span_len(7, 7), 1u);
  EXPECT_EQ(coords::sat_add(kMax - 1, 5), kMax);
}

TEST_F(GtfTest, WriteTsvCreatesDirectoriesAndWritesRowsVerbatim) {
  const std::string p = (scratch_.dir / "x" / "y" / "t.tsv").string();
  const std::vector<std::string> header{"a", "b"};
  const std::vector<std::vector<std::string>> rows{{"1", ""}, {"q\"uote", "x y", "3"}, {}};
  ASSERT_TRUE(table::write_tsv(p, header, rows));
  EXPECT_EQ(slurp(p), "a\tb\n1\t\nq\"uote\tx y\t3\n\n");

  const std::string h = (scratch_.dir / "h.tsv").string();
  ASSERT_TRUE(table::write_tsv(h, header, {}));
  EXPECT_EQ(slurp(h), "a\tb\n");
  // Truncates an existing file.
  ASSERT_TRUE(table::write_tsv(p, header, {}));
  EXPECT_EQ(slurp(p), "a\tb\n");
}

TEST_F(GtfTest, WriteTsvFailures) {
  const std::vector<std::string> header{"a"};
  // The path itself is a directory: the file cannot be created.
  auto st = table::write_tsv(scratch_.dir.string(), header, {});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().text(),
            "cannot write " + scratch_.dir.string() + ": Is a directory (os error 21)");

  // A parent that is a file: directory creation fails, without the path in the text.
  const auto file = write("plain", "x");
  st = table::write_tsv(file + "/sub/t.tsv", header, {});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), CoreError::Kind::Io);
  EXPECT_EQ(st.error().text().find(file), std::string::npos) << st.error().text();
  EXPECT_NE(st.error().text().find("(os error "), std::string::npos);

  // A path holding a NUL byte is refused whole: nothing is made at the path cut short.
  const std::string nul = (scratch_.dir / "out").string() + std::string("/t.tsv\0/x", 9);
  st = table::write_tsv(nul, header, {});
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().text(), "cannot write " + nul + ": path contains a NUL byte");
  EXPECT_FALSE(fs::exists(scratch_.dir / "out"));

  if (::geteuid() != 0) { // root ignores permission bits
    const auto ro = scratch_.dir / "ro";
    fs::create_directories(ro);
    ::chmod(ro.c_str(), 0555);
    const std::string p = (ro / "t.tsv").string();
    st = table::write_tsv(p, header, {});
    ::chmod(ro.c_str(), 0755);
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error().text(), "cannot write " + p + ": Permission denied (os error 13)");
  }
}
