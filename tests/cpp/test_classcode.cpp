#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "classcode.hpp"
#include "scratch.hpp"

using namespace voskel;
namespace fs = std::filesystem;

namespace {

std::string ex(std::string_view chrom, uint64_t s, uint64_t e, std::string_view strand,
               std::string_view gene, std::string_view tx) {
  return fmt::format("{}\tt\texon\t{}\t{}\t.\t{}\t.\tgene_id \"{}\"; transcript_id \"{}\";\n",
                     chrom, s, e, strand, gene, tx);
}
std::string gene(std::string_view chrom, uint64_t s, uint64_t e, std::string_view strand,
                 std::string_view id) {
  return fmt::format("{}\tt\tgene\t{}\t{}\t.\t{}\t.\tgene_id \"{}\";\n", chrom, s, e, strand, id);
}

class ClassifyTest : public ::testing::Test {
protected:
  std::string path(const std::string &name) const { return scratch_.path(name); }
  std::string write(const std::string &name, const std::string &text) {
    return scratch_.write(name, text);
  }
  static std::string slurp(const std::string &p) { return testutil::ScratchDir::slurp(p); }
  // Runs a classification; returns "tid:class ..." in row order.
  std::string classes(const std::string &query, const std::string &ref, const std::string &cfg,
                      classcode::ClassifyCounts *counts = nullptr) {
    const auto out = path("out/classes.tsv");
    auto r = classcode::classify_gtfs(write("q.gtf", query), write("r.gtf", ref), out, cfg);
    if (!r)
      return "error: " + r.error().text();
    if (counts)
      *counts = *r;
    std::istringstream in(slurp(out));
    std::string line, s;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::istringstream ls(line);
      for (std::string x; std::getline(ls, x, '\t');)
        f.push_back(x);
      if (f.size() != 11)
        return "bad row: " + line;
      s += (s.empty() ? "" : " ") + f[0] + ":" + f[9];
    }
    return s;
  }
  testutil::ScratchDir scratch_;
};

// A plus-strand reference gene G with transcript R (exons 100-200, 500-600) on c1.
const std::string kRef = gene("c1", 100, 600, "+", "G") + ex("c1", 100, 200, "+", "G", "R") +
                         ex("c1", 500, 600, "+", "G", "R");

} // namespace

TEST_F(ClassifyTest, DecisionBranches) {
  struct Case {
    const char *what;
    std::string ref, query, cfg, expected;
  } cases[] = {
      {"chromosome absent from the reference; exons between genes", kRef,
       ex("c9", 100, 200, "+", "q", "a") + ex("c1", 700, 800, "+", "q", "b") +
           ex("c1", 1, 99, "+", "q", "c"),
       "{}", "a:u b:u c:u"},
      {"inside a same-strand intron: i; on the opposite strand: x (body only)", kRef,
       ex("c1", 300, 400, "+", "q", "a") + ex("c1", 300, 400, "-", "q", "b"), "{}", "a:i b:x"},
      {"exons outside every span, a gene inside the query's intron: u", kRef,
       ex("c1", 10, 50, "+", "q", "a") + ex("c1", 700, 800, "+", "q", "a"), "{}", "a:u"},
      {"antisense exon without same-strand exon: x", kRef, ex("c1", 150, 160, "-", "q", "a"), "{}",
       "a:x"},
      {"identical: overlap; last exon one base longer: extension; first shorter: overlap", kRef,
       ex("c1", 100, 200, "+", "q", "a") + ex("c1", 500, 600, "+", "q", "a") +
           ex("c1", 100, 200, "+", "q", "b") + ex("c1", 500, 601, "+", "q", "b") +
           ex("c1", 99, 150, "+", "q", "c") + ex("c1", 150, 200, "+", "q", "d"),
       "{}", "a:overlap b:extension c:extension d:overlap"},
      {"a single shared base is an exon overlap", kRef, ex("c1", 600, 650, "+", "q", "a"), "{}",
       "a:extension"},
      {"same-strand exon decides over an antisense one", kRef + ex("c1", 120, 180, "-", "H", "S"),
       ex("c1", 130, 170, "+", "q", "a"), "{}", "a:overlap"},
      {"query strand '.': minus-strand features count as same-strand",
       gene("c1", 100, 600, "-", "G") + ex("c1", 100, 200, "-", "G", "R"),
       ex("c1", 150, 160, ".", "q", "a") + ex("c1", 150, 250, ".", "q", "b") +
           ex("c1", 300, 400, ".", "q", "c"),
       "{}", "a:overlap b:extension c:i"},
      {"reference strand '.' is same-strand for any query", ex("c1", 100, 200, ".", "G", "R"),
       ex("c1", 150, 160, "-", "q", "a"), "{}", "a:overlap"},
      {"unstranded configuration never gives x", kRef,
       ex("c1", 150, 160, "-", "q", "a") + ex("c1", 300, 400, "-", "q", "b"),
       R"({"strandedness": "unstranded"})", "a:overlap b:i"},
      {"other strandedness words stay strand-aware", kRef, ex("c1", 150, 160, "-", "q", "a"),
       R"({"strandedness": "fr"})", "a:x"},
      {"largest total wins over a smaller id",
       ex("c1", 100, 120, "+", "G", "tA") + ex("c1", 100, 300, "+", "G", "tB"),
       ex("c1", 100, 250, "+", "q", "a"), "{}", "a:overlap"},
      {"tie: smallest transcript_id (tA, span 100-200) gives extension",
       ex("c1", 100, 200, "+", "G", "tA") + ex("c1", 100, 200, "+", "G", "tB") +
           ex("c1", 300, 400, "+", "G", "tB"),
       ex("c1", 150, 250, "+", "q", "a"), "{}", "a:extension"},
      {"tie: smallest transcript_id (tA, span 100-400), though tZ is met first, gives overlap",
       ex("c1", 90, 200, "+", "G", "tZ") + ex("c1", 100, 200, "+", "G", "tA") +
           ex("c1", 300, 400, "+", "G", "tA"),
       ex("c1", 150, 250, "+", "q", "a"), "{}", "a:overlap"},
      {"a reference exon counts once per query exon touching it",
       ex("c1", 100, 130, "+", "G", "tB") + ex("c1", 100, 110, "+", "G", "tA") +
           ex("c1", 400, 420, "+", "G", "tA"),
       ex("c1", 100, 110, "+", "q", "a") + ex("c1", 120, 130, "+", "q", "a") +
           ex("c1", 400, 405, "+", "q", "a"),
       "{}", "a:extension"},
      {"totals reset between queries",
       ex("c1", 100, 200, "+", "G", "tA") + ex("c1", 100, 150, "+", "G", "tB") +
           ex("c1", 400, 500, "+", "G", "tB"),
       ex("c1", 100, 150, "+", "q", "a") + ex("c1", 400, 500, "+", "q", "a") +
           ex("c1", 100, 210, "+", "q", "b"),
       "{}", "a:overlap b:extension"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(classes(c.query, c.ref, c.cfg), c.expected) << c.what;
}

TEST_F(ClassifyTest, WritesElevenColumnsAndCounts) {
  const std::string query = "# assembly\n" + ex("c1", 500, 600, "+", "Q1", "m2") +
                            ex("c1", 300, 400, "+", "Q1", "m2") +
                            ex("c1", 300, 400, "+", "Q1", "m2") + ex("c9", 5, 9, "-", "Q2", "m1") +
                            "c1\tt\texon\t150\t160\t.\t-\t.\tgene_id Q3; gene_name \"N 3\";\n";
  const auto out = path("deep/er/classes.tsv");
  auto r = classcode::classify_gtfs(write("q.gtf", query), write("r.gtf", kRef), out, "{}");
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->n_transcripts, 3u);
  EXPECT_EQ(r->n_u, 1u);
  EXPECT_EQ(slurp(out), "transcript_id\tgene_id\tchrom\tstart\tend\tstrand\tn_exons\tlength_nt\t"
                        "exon_structure\tclass\tgene_name\n"
                        "Q3.exon\tQ3\tc1\t150\t160\t-\t1\t11\t150-160\tx\tN 3\n"
                        "m1\tQ2\tc9\t5\t9\t-\t1\t5\t5-9\tu\tQ2\n"
                        "m2\tQ1\tc1\t300\t600\t+\t3\t303\t300-400,300-400,500-600\toverlap\tQ1\n");

  classcode::ClassifyCounts counts{9, 9};
  EXPECT_EQ(classes("# nothing\n\n", kRef, "{}", &counts), "");
  EXPECT_EQ(counts.n_transcripts, 0u);
  EXPECT_EQ(counts.n_u, 0u);
  EXPECT_EQ(slurp(path("out/classes.tsv")),
            "transcript_id\tgene_id\tchrom\tstart\tend\tstrand\tn_exons\tlength_nt\t"
            "exon_structure\tclass\tgene_name\n");
}

TEST_F(ClassifyTest, ErrorOrder) {
  const auto out = path("o/classes.tsv");
  const auto missing_q = path("missing_q.gtf"), missing_r = path("missing_r.gtf");
  const auto good = write("good.gtf", kRef);
  const auto bad = write("bad.gtf", "chr1\tx\n");

  // The configuration is read before any file.
  for (const std::string cfg : {"", R"({"strandedness": "rf", "strandedness": "fr"})"}) {
    auto r = classcode::classify_gtfs(missing_q, missing_r, out, cfg);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), CoreError::Kind::Json);
    EXPECT_EQ(r.error().text().rfind("invalid JSON: ", 0), 0u) << r.error().text();
  }
  auto dup =
      classcode::classify_gtfs(good, good, out, R"({"strandedness": "rf", "strandedness": "fr"})");
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().text().rfind("invalid JSON: duplicate field `strandedness`", 0), 0u)
      << dup.error().text();

  struct Case {
    std::string query, ref, error;
  } cases[] = {
      {missing_q, missing_r,
       "cannot open GTF " + missing_q + ": No such file or directory (os error 2)"},
      {bad, missing_r, bad + " line 1: expected \u22659 tab-separated columns, got 2"},
      {good, bad, bad + " line 1: expected \u22659 tab-separated columns, got 2"},
      {good, missing_r,
       "cannot open GTF " + missing_r + ": No such file or directory (os error 2)"},
  };
  for (const auto &c : cases) {
    auto r = classcode::classify_gtfs(c.query, c.ref, out, "{}");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().text(), c.error);
  }
  EXPECT_FALSE(fs::exists(out));

  auto w = classcode::classify_gtfs(good, good, scratch_.dir.string(), "{}");
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().text(),
            "cannot write " + scratch_.dir.string() + ": Is a directory (os error 21)");
}
