#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "depth.hpp"

using namespace voskel;
using depth::DepthProfile;
using depth::DepthSum;

namespace {

// One saturating counter per position: the plain reading of what the profile answers.
struct PlainDepth {
  uint64_t first, cap;
  std::vector<uint64_t> d;
  PlainDepth(uint64_t first, uint64_t last, uint64_t cap)
      : first(first), cap(cap), d(last - first + 1, 0) {}
  void add(uint64_t s, uint64_t e) {
    for (uint64_t p = s; p <= e; ++p)
      if (p >= first && p - first < d.size() && d[p - first] < cap)
        ++d[p - first];
  }
  DepthSum sum(uint64_t a, uint64_t b) const {
    DepthSum s = 0;
    for (uint64_t p = a; p <= b; ++p)
      if (p >= first && p - first < d.size())
        s += d[p - first];
    return s;
  }
};

} // namespace

TEST(DepthProfile, AgreesWithOneCounterPerPosition) {
  std::mt19937_64 rng(12);
  for (int round = 0; round < 300; ++round) {
    const uint64_t first = rng() % 50; // 0 included: a stretch may start at position 0
    const uint64_t last = first + rng() % 120;
    const uint64_t cap = round % 3 == 0 ? depth::kDepthCap : 1 + rng() % 4;
    DepthProfile prof(cap);
    prof.reset(first, last);
    PlainDepth plain(first, last, cap);
    const int blocks = static_cast<int>(rng() % 40);
    for (int i = 0; i < blocks; ++i) {
      // Blocks reach past both ends; some are empty (end one below start), as a
      // zero-length match gives them.
      const uint64_t s = 1 + rng() % 200;
      const uint64_t e = rng() % 8 == 0 ? s - 1 : s + rng() % 30;
      prof.add(s, e);
      plain.add(s, e);
    }
    prof.seal();
    for (uint64_t p = first; p <= last; ++p)
      ASSERT_EQ(prof.at(p), plain.d[p - first]) << "round " << round << " pos " << p;
    for (int q = 0; q < 50; ++q) {
      uint64_t a = rng() % 200, b = rng() % 200;
      if (a > b)
        std::swap(a, b);
      ASSERT_TRUE(prof.sum(a, b) == plain.sum(a, b))
          << "round " << round << " [" << a << ", " << b << "]";
    }
  }
}

TEST(DepthProfile, DeepCoverageFoldsOnTheWay) {
  // Many more blocks than positions: the waiting block ends are folded several times before
  // the end, and the answers stay those of one counter per position.
  std::mt19937_64 rng(5);
  for (const uint64_t cap : {uint64_t{40}, depth::kDepthCap}) {
    DepthProfile prof(cap);
    prof.reset(100, 400);
    PlainDepth plain(100, 400, cap);
    for (int i = 0; i < 60'000; ++i) {
      const uint64_t s = 90 + rng() % 300;
      const uint64_t e = s + rng() % 40;
      prof.add(s, e);
      plain.add(s, e);
    }
    prof.seal();
    for (uint64_t p = 100; p <= 400; ++p)
      ASSERT_EQ(prof.at(p), plain.d[p - 100]) << "cap " << cap << " pos " << p;
    EXPECT_TRUE(prof.sum(100, 400) == plain.sum(100, 400));
    EXPECT_TRUE(prof.sum(150, 160) == plain.sum(150, 160));
  }
}

TEST(DepthProfile, MemoryFollowsBlocksNotLength) {
  // Five megabases between two reads: two runs of depth, nothing per position.
  DepthProfile prof;
  prof.reset(1, 5'000'000);
  prof.add(10, 109);
  prof.add(4'999'900, 4'999'999);
  prof.seal();
  EXPECT_TRUE(prof.sum(1, 5'000'000) == 200);
  EXPECT_TRUE(prof.sum(110, 4'999'899) == 0);
  EXPECT_EQ(prof.at(5'000'000), 0u);
}

TEST(DepthProfile, StretchAtTheTopOfTheCoordinateRange) {
  constexpr uint64_t top = std::numeric_limits<uint64_t>::max();
  DepthProfile prof;
  prof.reset(top - 9, top);
  prof.add(top - 4, top); // ends on the last coordinate: nothing closes it
  prof.add(top - 2, top);
  prof.seal();
  EXPECT_EQ(prof.at(top), 2u);
  EXPECT_EQ(prof.at(top - 5), 0u);
  EXPECT_TRUE(prof.sum(0, top) == 5 + 3);
}

TEST(DepthProfile, SaturatesAtTheCounterLimit) {
  // A counter already at its limit stays there, and sums see the capped value.
  DepthProfile prof(3);
  prof.reset(1, 10);
  for (int i = 0; i < 5; ++i)
    prof.add(1, 10);
  prof.add(4, 6);
  prof.seal();
  EXPECT_EQ(prof.at(5), 3u);
  EXPECT_TRUE(prof.sum(1, 10) == 30);
}

TEST(DepthProfile, ResetStartsOver) {
  DepthProfile prof;
  prof.reset(1, 10);
  prof.add(1, 10);
  prof.seal();
  prof.reset(5, 20);
  prof.add(8, 8);
  prof.seal();
  EXPECT_TRUE(prof.sum(1, 100) == 1);
  EXPECT_EQ(prof.at(5), 0u);
}
