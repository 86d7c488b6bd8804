#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "terminal.hpp"

using namespace voskel;
using terminal::LocusPlan;

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

terminal::Locus locus(std::string chrom, uint64_t start, uint64_t end, char32_t strand = U'+') {
  return {"r", std::move(chrom), strand, start, end};
}

// The extension of a locus read the plain way: one counter per position of the whole window,
// then a step-by-step walk from each anchor.
terminal::Ends plain_extension(const terminal::Locus &l, uint64_t max_terminal_nt, uint64_t length,
                               uint32_t min_depth, uint64_t max_gap,
                               const std::vector<geometry::Span> &blocks) {
  const uint64_t v = max_terminal_nt + 1;
  const uint64_t lo = l.intron_start > v ? l.intron_start - v : 1;
  const uint64_t hi = std::min(l.intron_end + v, length);
  const uint64_t left0 = std::max<uint64_t>(l.intron_start - 1, 1), right0 = l.intron_end + 1;
  if (hi < lo)
    return {left0, right0};
  std::vector<uint32_t> depth(hi - lo + 1, 0);
  for (const auto &b : blocks)
    for (uint64_t p = std::max(b.start, lo); p <= std::min(b.end, hi); ++p)
      ++depth[p - lo];
  const auto walk = [&](uint64_t anchor, bool left) {
    uint64_t best = anchor, gap = 0;
    for (uint64_t s = 1; s <= max_terminal_nt; ++s) {
      if (left && anchor < s)
        break;
      const uint64_t p = left ? anchor - s : anchor + s;
      if (p < lo || p > hi)
        break;
      if (depth[p - lo] < min_depth) {
        if (++gap > max_gap)
          break;
      } else {
        gap = 0;
        best = p;
      }
    }
    return best;
  };
  return {walk(left0, true), walk(right0, false)};
}

// The ends as the analysis computes them: depth on the two flanks only.
terminal::Ends flank_extension(const terminal::LocusPlan &plan, uint64_t dense_limit,
                               uint32_t min_depth, uint64_t max_gap,
                               const std::vector<geometry::Span> &blocks) {
  const auto walk = [&](const terminal::Flank &f) {
    terminal::FlankDepth depth(dense_limit);
    depth.reset(f.steps);
    uint64_t first, last;
    for (const auto &b : blocks)
      if (f.clip(b, first, last))
        depth.add(first, last);
    return f.end(depth.reach(min_depth, max_gap));
  };
  return {walk(plan.left), walk(plan.right)};
}

} // namespace

TEST(TerminalPlan, WindowAndFlanks) {
  const terminal::LengthMap lengths = {
      {"1", 6500}, {"chr2", 7000}, {"2", 6500}, {"short", 100}, {"mid", 4000}};
  struct Case {
    const char *label;
    terminal::Locus l;
    uint64_t mt;
    std::array<uint64_t, 6> want; // lo, hi, left anchor, right anchor, left steps, right steps
  } cases[] = {
      {"defaults", locus("x", 5000, 6000), 2000, {2999, 8001, 4999, 6001, 2000, 2000}},
      {"cut at position 1", locus("x", 100, 200), 2000, {1, 2201, 99, 201, 98, 2000}},
      {"intron at 1", locus("x", 1, 10), 5, {1, 16, 1, 11, 0, 5}},
      {"intron at 2", locus("x", 2, 10), 5, {1, 16, 1, 11, 0, 5}},
      {"no extension", locus("x", 50, 60), 0, {49, 61, 49, 61, 0, 0}},
      {"chr prefix stripped", locus("chr1", 5000, 6000), 2000, {2999, 6500, 4999, 6001, 2000, 499}},
      {"exact name first", locus("chr2", 5000, 6000), 2000, {2999, 7000, 4999, 6001, 2000, 999}},
      {"only a lower-case chr is stripped",
       locus("Chr1", 5000, 6000),
       2000,
       {2999, 8001, 4999, 6001, 2000, 2000}},
      {"contig ends before the window",
       locus("short", 5000, 6000),
       2000,
       {2999, 100, 4999, 6001, 0, 0}},
      {"contig ends before the left flank",
       locus("mid", 5000, 6000),
       2000,
       {2999, 4000, 4999, 6001, 0, 0}},
      {"saturated end", locus("x", 10, kMax), kMax, {1, kMax, 9, kMax, 8, 0}},
      {"end near the top",
       locus("x", kMax - 100, kMax - 10),
       2000,
       {kMax - 2101, kMax, kMax - 101, kMax - 9, 2000, 9}},
  };
  for (const auto &c : cases) {
    const LocusPlan p = terminal::plan_locus(c.l, c.mt, lengths);
    const std::array<uint64_t, 6> got = {p.lo,           p.hi,         p.left.anchor,
                                         p.right.anchor, p.left.steps, p.right.steps};
    EXPECT_EQ(got, c.want) << c.label;
  }
}

TEST(TerminalDepth, SaturatedWindowKeepsTheAnchors) {
  // No FASTA and an intron at the top of the coordinate range: nothing can be walked rightward.
  const auto plan = terminal::plan_locus(locus("x", kMax - 1, kMax), 2000, {});
  const auto ends =
      flank_extension(plan, terminal::FlankDepth::kDenseLimit, 1, 20, {{kMax - 5000, kMax - 2}});
  EXPECT_EQ(ends.left_start, kMax - 2002);
  EXPECT_EQ(ends.right_end, kMax);
}

// Flank-only depth, dense and sparse, against one counter per window position on random
// loci and reads: the ends must agree exactly.
TEST(TerminalDepth, FlanksMatchTheWholeWindow) {
  std::mt19937_64 rng(20261211);
  const auto uni = [&](uint64_t a, uint64_t b) {
    return std::uniform_int_distribution<uint64_t>(a, b)(rng);
  };
  for (int round = 0; round < 3000; ++round) {
    const uint64_t start = uni(1, 120), end = start + uni(0, 60);
    const uint64_t mt = uni(0, 4) == 0 ? 0 : uni(1, 80);
    const uint64_t length = uni(0, 3) == 0 ? uni(1, 250) : kMax;
    const uint32_t min_depth = static_cast<uint32_t>(uni(0, 3));
    const uint64_t max_gap = uni(0, 6);
    std::vector<geometry::Span> blocks;
    for (uint64_t n = uni(0, 40); n > 0; --n) {
      const uint64_t s = uni(1, 300);
      blocks.push_back({s, s + uni(0, 30) - 1}); // now and then a zero-length block
    }
    const terminal::LengthMap lengths =
        length == kMax ? terminal::LengthMap{} : terminal::LengthMap{{"c", length}};
    const auto l = locus("c", start, end);
    const auto want = plain_extension(l, mt, length, min_depth, max_gap, blocks);
    const auto plan = terminal::plan_locus(l, mt, lengths);
    for (const uint64_t dense_limit : {terminal::FlankDepth::kDenseLimit, uint64_t{0}}) {
      const auto got = flank_extension(plan, dense_limit, min_depth, max_gap, blocks);
      ASSERT_EQ(got.left_start, want.left_start) << "round " << round;
      ASSERT_EQ(got.right_end, want.right_end) << "round " << round;
    }
  }
}

TEST(TerminalDepth, HugeStepLimitStaysSmall) {
  // A step limit of 10^9 on an unclipped contig: the sparse flank holds the reads only.
  const auto plan =
      terminal::plan_locus(locus("x", 2'000'000'000, 2'000'000'100), 1'000'000'000, {});
  EXPECT_EQ(plan.left.steps, 1'000'000'000u);
  const std::vector<geometry::Span> blocks = {{1'999'999'000, 1'999'999'998},
                                              {2'000'000'101, 2'000'000'500}};
  const auto ends = flank_extension(plan, terminal::FlankDepth::kDenseLimit, 1, 20, blocks);
  EXPECT_EQ(ends.left_start, 1'999'999'000u);
  EXPECT_EQ(ends.right_end, 2'000'000'500u);
  // min_depth 0 covers every position: the ends move the full step limit.
  const auto all = flank_extension(plan, terminal::FlankDepth::kDenseLimit, 0, 20, blocks);
  EXPECT_EQ(all.left_start, 999'999'999u);
  EXPECT_EQ(all.right_end, 3'000'000'101u);
}
