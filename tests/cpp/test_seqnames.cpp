#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gtf.hpp"
#include "quoting.hpp"
#include "scratch.hpp"

using namespace voskel;

namespace {

std::string check(const gtf::NameSet &gtf_names, const gtf::NameSet &bam_names) {
  const auto got = gtf::check_gtf_vs_bam(gtf_names, bam_names);
  return got ? std::to_string(*got) : got.error().text();
}

std::string disjoint(const std::string &g, const std::string &b) {
  return "GTF seqnames and BAM @SQ have empty intersection (GTF e.g. " + g + ", BAM e.g. " + b +
         "). Names must match literally; Voskel will not rewrite chr prefixes.";
}
std::string prefix_only(const std::string &g, const std::string &b) {
  return "GTF vs BAM contig names differ only by a chr/CHR prefix (GTF e.g. " + g + ", BAM e.g. " +
         b + "). This would classify every transcript as intergenic `u`. Refusing to continue.";
}
std::string absent(const std::string &names) {
  return "GTF has seqnames absent from BAM @SQ (e.g. " + names +
         "). Use a primary_assembly GTF whose seqnames are a subset of the BAM, e.g. "
         "gencode.vM39.primary_assembly.annotation.gtf. Names are not rewritten.";
}

} // namespace

TEST(SeqNames, AnnotationAgainstBamNames) {
  struct Case {
    gtf::NameSet gtf, bam;
    std::string want;
  };
  const std::vector<Case> cases = {
      {{}, {"chr1"}, "GTF has no usable seqnames"},
      {{"chr1"}, {"chr1", "chrM"}, "1"},
      {{"1", "2", "X"}, {"1", "2", "X", "Y", "MT"}, "3"},
      // The disjoint test comes before the prefix test.
      {{"chr1", "chr2"}, {"1", "2"}, disjoint(R"(["chr1", "chr2"])", R"(["1", "2"])")},
      {{"chr1", "2"}, {"chr1", "chr2"}, prefix_only(R"(["2", "chr1"])", R"(["chr1", "chr2"])")},
      {{"CHR1", "chr2"}, {"1", "chr2"}, prefix_only(R"(["CHR1", "chr2"])", R"(["1", "chr2"])")},
      {{"chr1", "chrUn_x"}, {"chr1"}, absent(R"(["chrUn_x"])")},
      // Five examples of each side, eight of the absent names, in byte order.
      {{"a", "b", "c", "d", "e", "f"},
       {"u", "v", "w", "x", "y", "z"},
       disjoint(R"(["a", "b", "c", "d", "e"])", R"(["u", "v", "w", "x", "y"])")},
      {{"k", "a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8", "a9"},
       {"k"},
       absent(R"(["a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8"])")},
      // Quotes and backslashes in names are escaped in the lists.
      {{"a\"b"}, {"c\\d"}, disjoint(R"(["a\"b"])", R"(["c\\d"])")},
  };
  for (const Case &c : cases)
    EXPECT_EQ(check(c.gtf, c.bam), c.want);
}

TEST(SeqNames, StripChrPrefix) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Chr1", "1"}, {"chrX", "x"}, {"MT", "mt"},       {"chr", ""},       {"CHRchr2", "chr2"},
      {"1", "1"},    {"", ""},      {"xchr1", "xchr1"}, {"Ärger", "Ärger"}};
  for (const auto &[in, out] : cases)
    EXPECT_EQ(gtf::strip_chr_prefix(in), out) << in;
}

TEST(SeqNames, AnnotationNames) {
  testutil::ScratchDir dir;
  const std::string empty = dir.write("empty.gtf", "# only a comment\n\n#another\n");
  EXPECT_EQ(gtf::gtf_seqnames(empty).error().text(),
            "GTF " + empty + " has no gene/transcript/exon rows");
  const std::string gtf =
      dir.write("a.gtf", "chr2\ts\texon\t1\t10\t.\t+\t.\tgene_id \"g\"; transcript_id \"t\";\n"
                         "chr1\ts\tgene\t1\t10\t.\t+\t.\tgene_id \"h\";\n"
                         "chr3\ts\tCDS\t1\t10\t.\t+\t.\tgene_id \"g\"; transcript_id \"t\";\n");
  const auto names = gtf::gtf_seqnames(gtf);
  ASSERT_TRUE(names.has_value()) << names.error().text();
  EXPECT_EQ(*names, (gtf::NameSet{"chr1", "chr2"}));
  const std::string missing = dir.path("none.gtf");
  EXPECT_TRUE(gtf::gtf_seqnames(missing).error().text().starts_with("cannot open GTF " + missing));
}

TEST(Quoting, NamesInMessages) {
  EXPECT_EQ(quoting::quote("plain"), R"("plain")");
  EXPECT_EQ(quoting::quote(""), R"("")");
  EXPECT_EQ(quoting::quote("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(quoting::quote(std::string("t\tn\nr\rz\0e\x1b", 10)), R"("t\tn\nr\rz\0e\u{1b}")");
  EXPECT_EQ(quoting::quote("\x7f\xc2\x85 é"), R"("\u{7f}\u{85} é")");
  const std::vector<std::string> names = {"a", "b", "c"};
  EXPECT_EQ(quoting::bracketed(names, 5), R"(["a", "b", "c"])");
  EXPECT_EQ(quoting::bracketed(names, 2), R"(["a", "b"])");
  EXPECT_EQ(quoting::bracketed(std::vector<std::string>{}, 5), "[]");
  EXPECT_EQ(quoting::braced(names), R"({"a", "b", "c"})");
}
