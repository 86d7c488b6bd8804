#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <unistd.h>

#include <fmt/format.h>

#include "orf/coding.hpp"
#include "scratch.hpp"

using namespace voskel;
using coding::HexamerTable;

namespace {

// One hexamer table file in a scratch directory.
struct ScratchFile {
  testutil::ScratchDir scratch;
  std::string path;
  explicit ScratchFile(const std::string &bytes) : path(scratch.write("hex.tsv", bytes)) {}
};

double lr(double c, double nc) { return std::log2((c + 1e-8) / (nc + 1e-8)); }

} // namespace

TEST(HexamerLoad, ReadsRowsHeaderAndCase) {
  ScratchFile f("HeXaMeR\tcoding\tnoncoding\r\n"
                "AAAAAA\t0.5\t0.25\textra\n"
                "\n"
                "acgtac\t1e-3\t2E-3\n"
                "CCCCCC\t0\t0\n"
                "GGGGGG\t-0\t+.5\n"
                "AAAAAA\t1\t1\n");
  auto t = HexamerTable::load(f.path);
  ASSERT_TRUE(t) << t.error().text();
  EXPECT_EQ(t->size(), 4u);
  EXPECT_EQ(t->find("AAAAAA"), 0.0); // a later row replaces the earlier one
  EXPECT_DOUBLE_EQ(*t->find("ACGTAC"), lr(1e-3, 2e-3));
  EXPECT_DOUBLE_EQ(*t->find("acgtac"), lr(1e-3, 2e-3));
  EXPECT_EQ(t->find("CCCCCC"), 0.0);
  EXPECT_DOUBLE_EQ(*t->find("GGGGGG"), lr(0, 0.5));
  EXPECT_FALSE(t->find("TTTTTT"));
  EXPECT_FALSE(t->find("AAAAAN"));
}

TEST(HexamerLoad, Errors) {
  struct Case {
    std::string table, want; // "{}" stands for the path
  } cases[] = {
      {"AAAAAA\t1\t1\nhexamer\tcoding\tnoncoding\n",
       "hexamer table {} line 2: expected 6-mer, got \"hexamer\""},
      {"AAAANA\t1\t1\n", "hexamer table {} line 1: expected 6-mer, got \"AAAANA\""},
      {"ACGTACG\t1\t1\n", "hexamer table {} line 1: expected 6-mer, got \"ACGTACG\""},
      {"\n\nAAAAA\t1\t1\n", "hexamer table {} line 3: expected 6-mer, got \"AAAAA\""},
      {"\t1\t1\n", "hexamer table {} line 1: expected 6-mer, got \"\""},
      {"A\"C\\\x01\r\t1\t1\n",
       "hexamer table {} line 1: expected 6-mer, got \"A\\\"C\\\\\\u0001\\r\""},
      {"AAAAAA\n", "hexamer table {} line 1: missing coding frequency"},
      {"AAAAAA\t1\n", "hexamer table {} line 1: missing noncoding frequency"},
      {"AAAAAA\t\t1\n", "hexamer table {} line 1: invalid coding frequency"},
      {"AAAAAA\t 1\t1\n", "hexamer table {} line 1: invalid coding frequency"},
      {"AAAAAA\t0x1\t1\n", "hexamer table {} line 1: invalid coding frequency"},
      {"AAAAAA\t1e\t1\n", "hexamer table {} line 1: invalid coding frequency"},
      {"AAAAAA\t.\t1\n", "hexamer table {} line 1: invalid coding frequency"},
      {"AAAAAA\t1\t1.0 \n", "hexamer table {} line 1: invalid noncoding frequency"},
      {"AAAAAA\t1\tinfinite\n", "hexamer table {} line 1: invalid noncoding frequency"},
      {"AAAAAA\t-0.1\t1\n", "hexamer table {} line 1: frequencies must be finite and \u2265 0"},
      {"AAAAAA\t1\tInf\n", "hexamer table {} line 1: frequencies must be finite and \u2265 0"},
      {"AAAAAA\tNaN\t1\n", "hexamer table {} line 1: frequencies must be finite and \u2265 0"},
      {"AAAAAA\t1e400\t1\n", "hexamer table {} line 1: frequencies must be finite and \u2265 0"},
      {"hexamer\tx\n", "hexamer table {} has no usable rows"},
      {"", "hexamer table {} has no usable rows"},
      {"AAAAAA\t1\t1\n\xc3\x28\n", "{} line 2: stream did not contain valid UTF-8"},
  };
  for (const auto &c : cases) {
    ScratchFile f(c.table);
    auto t = HexamerTable::load(f.path);
    ASSERT_FALSE(t) << c.want;
    std::string want = c.want;
    if (auto at = want.find("{}"); at != std::string::npos)
      want.replace(at, 2, f.path);
    EXPECT_EQ(t.error().text(), want);
  }
  auto missing = HexamerTable::load("/nonexistent/hex.tsv");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(),
            "hexamer table /nonexistent/hex.tsv: No such file or directory (os error 2)");
}

TEST(HexamerScore, InFrameWindows) {
  ScratchFile f("ATGAAA\t0.8\t0.1\nAAACCC\t0.1\t0.4\nCCCGGG\t0.3\t0.3\n");
  auto t = HexamerTable::load(f.path);
  ASSERT_TRUE(t);
  const double a = lr(0.8, 0.1), b = lr(0.1, 0.4);
  struct Case {
    const char *seq;
    std::optional<double> want;
  } cases[] = {
      {"ATGAA", std::nullopt},             // shorter than a window
      {"ATGAAACC", a},                     // only the window at 0 fits
      {"ATGAAACCC", (a + b) / 2},          // windows at 0 and 3
      {"atgaaaccc", (a + b) / 2},          // either case
      {"ATGAAACCCGGG", (a + b + 0.0) / 3}, // the third window is in the table with 0
      {"ATGAAANCCGGG", a},                 // windows with N are skipped
      {"TTTTTTTTT", std::nullopt},         // no window in the table
      {"CATGAAACC", std::nullopt},         // out of frame ATGAAA is not looked at
  };
  for (const auto &c : cases) {
    const auto got = t->score(c.seq);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << c.seq;
    if (got) {
      EXPECT_DOUBLE_EQ(*got, *c.want) << c.seq;
    }
  }
}

TEST(Fickett, ScoresByHand) {
  // ATGATGATG: every base sits in one phase three times (position value 3.0 -> bucket 0,
  // content 1/3 -> bucket 0); C is absent (both values 0 -> bucket 9).
  const double by_hand = 0.94 * 0.26 + 0.28 * 0.11 + 0.23 * 0.18 + 0.23 * 0.12 + 0.90 * 0.31 +
                         0.40 * 0.15 + 0.97 * 0.33 + 0.28 * 0.14;
  EXPECT_DOUBLE_EQ(coding::fickett_score("ATGATGATG"), by_hand);
  EXPECT_EQ(coding::fmt_score(true, coding::fickett_score("ATGATGATG")), "1.042500");
  EXPECT_DOUBLE_EQ(coding::fickett_score("atgaugAUG"), by_hand); // case-blind, U is T

  // AC: A (1,0,0): position 1/(0+1) = 1.0 -> bucket 9, content 0.5 -> bucket 0; C likewise in
  // phase 1; G and T absent.
  const double ac = 0.22 * 0.26 + 0.28 * 0.11 + 0.23 * 0.18 + 0.82 * 0.12 + 0.08 * 0.31 +
                    0.29 * 0.15 + 0.09 * 0.33 + 0.58 * 0.14;
  EXPECT_DOUBLE_EQ(coding::fickett_score("AC"), ac);
  // N is not counted but still counts in the length: content 1/3 >= 0.33 stays bucket 0,
  // while 1/4 falls to bucket 4.
  const double an = 0.22 * 0.26 + 0.62 * 0.11 + 0.23 * 0.18 + 0.23 * 0.12 + 0.08 * 0.31 +
                    0.29 * 0.15 + 0.09 * 0.33 + 0.58 * 0.14;
  EXPECT_DOUBLE_EQ(coding::fickett_score("ANNN"), an);

  EXPECT_EQ(coding::fickett_score("A"), 0.0);
  EXPECT_EQ(coding::fickett_score(""), 0.0);
  EXPECT_EQ(coding::fmt_score(true, coding::fickett_score("A")), "0.000000");
}

TEST(FmtScore, SixDecimalsOrNA) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  struct Case {
    bool present;
    double value;
    const char *want;
  } cases[] = {
      {true, 0.0, "0.000000"},
      {true, -0.5, "-0.500000"},
      {true, 1.0000005, "1.000001"}, // stored just above the half
      {true, 0.1234565, "0.123456"}, // stored just below the half
      {true, 1e20, "100000000000000000000.000000"},
      {true, -1e-7, "-0.000000"},
      {true, inf, "NA"},
      {true, -inf, "NA"},
      {true, std::nan(""), "NA"},
      {false, 1.0, "NA"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(coding::fmt_score(c.present, c.value), c.want) << c.value;
  EXPECT_EQ(coding::fmt_score(std::optional<double>{}), "NA");
  EXPECT_EQ(coding::fmt_score(std::optional<double>{2.25}), "2.250000");
}

TEST(FmtScore, SameTextAsTheGeneralFormatter) {
  // Scores take a short integer route; its text must be the formatter's, ties (exact binary
  // halves of a millionth, which round to even) and the switch-over to the formatter included.
  std::vector<double> values = {
      0.0078125, 0.0234375, -0.0078125, 0.0390625,  5e-7,      -5e-7,     4.999999e-7,
      1e-300,    -1e-300,   5e-324,     -0.0,       0.9999995, 0.9999994, 999999.9999995,
      0x1p42,    -0x1p42,   0x1p42 - 1, 0x1p41,     1e15,      0.1,       -27.123456789,
      123.456,   0x1p-20,   0x1p-21,    3 * 0x1p-21};
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exp(-30, 50);
  for (int i = 0; i < 20000; ++i)
    values.push_back(std::ldexp(unit(rng), exp(rng)));
  // Odd multiples of 2^-7 are exact ties at six decimals; of 2^-8 .. 2^-20, near ones.
  for (int i = 0; i < 2000; ++i)
    values.push_back(std::ldexp(double(2 * (rng() % 100000) + 1), -7 - int(rng() % 14)));
  for (const double v : values)
    ASSERT_EQ(coding::fmt_score(true, v), fmt::format("{:.6f}", v)) << fmt::format("{:a}", v);
}

TEST(CodingLabel, Rule) {
  const double nan = std::nan("");
  struct Case {
    bool has_orf;
    std::optional<double> score;
    double coding_min, noncoding_max;
    const char *want;
  } cases[] = {
      {false, 1.0, 0, 0, "no_orf"},
      {true, std::nullopt, 0, 0, "no_orf"},
      {true, nan, 0, 0, "no_orf"},
      {true, 0.1, 0, 0, "coding"},
      {true, -0.1, 0, 0, "noncoding"},
      {true, 0.0, 0, 0, "ambiguous"},
      {true, 0.5, 0.5, -0.5, "ambiguous"}, // strictly above / strictly below
      {true, -0.5, 0.5, -0.5, "ambiguous"},
      {true, 0.0, -1.0, 1.0, "coding"}, // passes both tests: coding comes first
      {true, -2.0, -1.0, 1.0, "noncoding"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(coding::coding_label(c.has_orf, c.score, c.coding_min, c.noncoding_max), c.want);
}
