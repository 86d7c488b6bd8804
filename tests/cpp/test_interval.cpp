#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "interval.hpp"

using namespace voskel;
using interval::Interval;
using interval::IvIndex;

namespace {

// Payloads of the yielded intervals, in yield order.
std::vector<int> hits(const IvIndex<int> &ix, uint64_t qs, uint64_t qe) {
  std::vector<int> out;
  ix.overlapping(qs, qe, [&](const Interval<int> &iv) { out.push_back(iv.payload); });
  return out;
}

} // namespace

TEST(IvIndex, QueriesYieldExactOverlapsInStartOrder) {
  using V = std::vector<int>;
  struct Case {
    std::vector<Interval<int>> intervals;
    uint64_t qs, qe;
    V expected;
  } cases[] = {
      {{}, 0, 100, V{}},
      {{{1, 5, 10}, {2, 11, 20}}, 10, 10, V{1}},
      {{{1, 5, 10}, {2, 11, 20}}, 10, 11, V{1, 2}},
      {{{1, 5, 10}, {2, 11, 20}}, 21, 30, V{}},
      {{{1, 5, 10}, {2, 11, 20}}, 1, 4, V{}},
      {{{1, 5, 10}, {2, 11, 20}}, 0, 5, V{1}},
      {{{1, 1, 100}, {2, 20, 30}, {3, 40, 50}}, 60, 70, V{1}},
      {{{1, 1, 100}, {2, 20, 30}, {3, 40, 50}}, 35, 45, V{1, 3}},
      // Given out of order: yielded by start, equal starts in the order given.
      {{{1, 40, 50}, {2, 7, 9}, {3, 7, 100}, {4, 7, 8}, {5, 1, 3}}, 8, 45, V{2, 3, 4, 1}},
      {{{1, 0, 0}, {2, 0, 5}}, 0, 0, V{1, 2}},
      {{{1, 10, UINT64_MAX}}, UINT64_MAX, UINT64_MAX, V{1}},
  };
  for (const auto &c : cases) {
    const auto ix = IvIndex<int>::from_intervals(c.intervals);
    EXPECT_EQ(hits(ix, c.qs, c.qe), c.expected) << c.qs << "-" << c.qe;
  }
}

TEST(IvIndex, AgreesWithBruteForceOnRandomIntervals) {
  std::mt19937_64 rng(7);
  std::vector<Interval<int>> ivs;
  for (int i = 0; i < 400; ++i) {
    const uint64_t s = rng() % 1000, len = (i % 50 == 0) ? rng() % 500 : rng() % 20;
    ivs.push_back({i, s, s + len});
  }
  const auto ix = IvIndex<int>::from_intervals(ivs);
  for (int q = 0; q < 500; ++q) {
    const uint64_t qs = rng() % 1100, qe = qs + rng() % 30;
    std::vector<std::pair<uint64_t, int>> want;
    for (const auto &iv : ivs)
      if (iv.start <= qe && iv.end >= qs)
        want.emplace_back(iv.start, iv.payload);
    std::stable_sort(want.begin(), want.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<int> expected;
    for (const auto &w : want)
      expected.push_back(w.second);
    ASSERT_EQ(hits(ix, qs, qe), expected) << qs << "-" << qe;
  }
}

TEST(IvIndex, CursorQueriesMatchPlainQueriesInAnyOrder) {
  std::mt19937_64 rng(11);
  std::vector<Interval<int>> ivs;
  for (int i = 0; i < 300; ++i) {
    const uint64_t s = rng() % 2000, len = (i % 40 == 0) ? rng() % 800 : rng() % 30;
    ivs.push_back({i, s, s + len});
  }
  const auto ix = IvIndex<int>::from_intervals(ivs);
  const auto empty = IvIndex<int>::from_intervals({});
  // Ascending queries, as from a sorted alignment file, then jumps back and forth; the last
  // queries include an empty block (start one past its end).
  std::vector<std::pair<uint64_t, uint64_t>> queries;
  for (uint64_t qs = 0; qs < 2200; qs += 1 + rng() % 40)
    queries.emplace_back(qs, qs + rng() % 60);
  for (int q = 0; q < 300; ++q) {
    const uint64_t qs = rng() % 2200;
    queries.emplace_back(qs, qs + rng() % 60);
  }
  queries.emplace_back(101, 100);
  interval::Cursor cursor, empty_cursor;
  for (const auto &[qs, qe] : queries) {
    std::vector<int> plain, galloped;
    ix.overlapping(qs, qe, [&](const Interval<int> &iv) { plain.push_back(iv.payload); });
    ix.overlapping(cursor, qs, qe,
                   [&](const Interval<int> &iv) { galloped.push_back(iv.payload); });
    ASSERT_EQ(galloped, plain) << qs << "-" << qe;
    empty.overlapping(empty_cursor, qs, qe, [&](const Interval<int> &) { FAIL(); });
  }
}

TEST(IvIndex, AgreesWithBruteForceBesideLongIntervalsAtEverySize) {
  // Sizes around powers of two shape the implicit tree differently; long intervals make the
  // windows long enough to be walked rather than scanned.
  std::mt19937_64 rng(23);
  for (size_t n = 0; n <= 140; ++n) {
    std::vector<Interval<int>> ivs;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t s = rng() % 400, len = rng() % 7 == 0 ? rng() % 400 : rng() % 10;
      ivs.push_back({static_cast<int>(i), s, s + len});
    }
    const auto ix = IvIndex<int>::from_intervals(ivs);
    interval::Cursor cursor;
    for (uint64_t qs = 0; qs < 820; qs += 1 + rng() % 9) {
      const uint64_t qe = qs + rng() % 12;
      std::vector<std::pair<uint64_t, int>> want;
      for (const auto &iv : ivs)
        if (iv.start <= qe && iv.end >= qs)
          want.emplace_back(iv.start, iv.payload);
      std::stable_sort(want.begin(), want.end(),
                       [](const auto &a, const auto &b) { return a.first < b.first; });
      std::vector<int> expected, galloped;
      for (const auto &w : want)
        expected.push_back(w.second);
      ASSERT_EQ(hits(ix, qs, qe), expected) << n << ": " << qs << "-" << qe;
      ix.overlapping(cursor, qs, qe,
                     [&](const Interval<int> &iv) { galloped.push_back(iv.payload); });
      ASSERT_EQ(galloped, expected) << n << ": " << qs << "-" << qe;
    }
  }
}

TEST(IvIndex, ChromosomeLongIntervalDoesNotMakeQueriesLookAtWhatTheySkip) {
  // One interval over the whole chromosome, then 100,000 short ones one after another: every
  // later query yields the long one and at most one short one.
  constexpr int kShort = 100000;
  std::vector<Interval<int>> ivs{{-1, 1, 1'000'000'000}};
  for (int i = 0; i < kShort; ++i)
    ivs.push_back({i, 100 + 10 * static_cast<uint64_t>(i), 105 + 10 * static_cast<uint64_t>(i)});
  const auto ix = IvIndex<int>::from_intervals(ivs);
  size_t worst = 0;
  for (uint64_t qs = 100; qs < 100 + 10 * kShort; qs += 997) {
    const auto yielded = hits(ix, qs, qs + 2);
    ASSERT_FALSE(yielded.empty());
    ASSERT_EQ(yielded.front(), -1);
    worst = std::max(worst, ix.examined(qs, qs + 2));
  }
  // Paths down a tree of 17 levels, not the tens of thousands of intervals before the query.
  EXPECT_LE(worst, 4u * 17u);
  // A short window is scanned, and the scan is bounded by that window.
  const auto plain = IvIndex<int>::from_intervals({{1, 5, 10}, {2, 11, 20}});
  EXPECT_EQ(plain.examined(10, 11), 2u);
}
