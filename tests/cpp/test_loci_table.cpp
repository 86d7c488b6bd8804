#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scratch.hpp"
#include "table.hpp"

using namespace voskel;

namespace {

// A read table as one text: "id chrom strand start end" per locus, or "ERR text".
std::string render(const Result<std::vector<table::Locus>> &r) {
  if (!r)
    return "ERR " + r.error().text();
  std::string out;
  for (const auto &l : *r)
    out += l.residual_id + " " + l.chrom + " " + textio::utf8_encode(l.strand) + " " +
           std::to_string(l.intron_start) + " " + std::to_string(l.intron_end) + "\n";
  return out;
}

std::string read_text(const std::string &text) {
  testutil::ScratchDir tmp;
  const std::string path = tmp.write("loci.tsv", text);
  std::string got = render(table::read_loci(path));
  // The file's path reads "{}" in the expectations.
  if (const size_t at = got.find(path); at != std::string::npos)
    got.replace(at, path.size(), "{}");
  return got;
}

} // namespace

TEST(LociTable, KeepsDropsAndSkipsLines) {
  struct Case {
    const char *label, *text, *want;
  } cases[] = {
      {"header skipped",
       "residual_id\tchrom\tstrand\tintron_start\tintron_end\nr1\tchr1\t+\t10\t20\n",
       "r1 chr1 + 10 20\n"},
      {"a first data line naming residual_id is a header",
       "residual_id_7\tchr1\t+\t1\t2\nr2\tc\t-\t3\t3\n", "r2 c - 3 3\n"},
      {"a later header line is data", "\nresidual_id\tchrom\tstrand\tintron_start\tintron_end\n",
       "ERR bad intron_start on residual_id"},
      {"crlf, plus sign, extra fields", "r1\tchr1\t-\t+10\t20\textra\r\n", "r1 chr1 - 10 20\n"},
      {"blank and white-space lines", "\n \t \t \t \t \n\xE3\x80\x80\t\t\t\t\nr1\tc\t.\t5\t5\n",
       "r1 c . 5 5\n"},
      {"strand: first character, '.' when empty or absent",
       "a\tc\t\t1\t2\nb\tc\t+x\t1\t2\nd\tc\t\xC2\xB1\t1\t2\n",
       "a c . 1 2\nb c + 1 2\nd c \xC2\xB1 1 2\n"},
      {"silent drops",
       "r1\tc\t+\t100\t99\nr2\t\t+\t1\t2\n\tc\t+\t1\t2\nr3\tc\t+\t0\t5\nr4\tc\t+\nr5\tc\t+"
       "\t5\nr6\n",
       ""},
      {"bad start", "r1\tc\t+\t1e3\t2000\n", "ERR bad intron_start on r1"},
      {"bad start before the drop of an empty id", "\tc\t+\tx\t5\n", "ERR bad intron_start on "},
      {"bad end", "r1\tc\t+\t10\t-5\n", "ERR bad intron_end on r1"},
      {"start too large", "r1\tc\t+\t18446744073709551616\t1\n", "ERR bad intron_start on r1"},
      {"lone sign", "r1\tc\t+\t5\t+\n", "ERR bad intron_end on r1"},
      {"invalid UTF-8", "r1\tc\t+\t1\t2\n\xFF\n",
       "ERR {} line 2: stream did not contain valid UTF-8"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(read_text(c.text), c.want) << c.label;
}

TEST(LociTable, OpenFailureNamesThePath) {
  testutil::ScratchDir tmp;
  const std::string p = tmp.path("absent.tsv");
  EXPECT_EQ(render(table::read_loci(p)),
            "ERR open " + p + ": No such file or directory (os error 2)");
}
