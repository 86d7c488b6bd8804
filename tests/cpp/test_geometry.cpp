#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include <htslib/sam.h>

#include "geometry.hpp"

namespace voskel::geometry {
void PrintTo(const Span &s, std::ostream *os) { *os << "(" << s.start << ", " << s.end << ")"; }
} // namespace voskel::geometry

using namespace voskel;
using geometry::Span;

namespace {

// "5S10M2I" -> BAM-encoded operations.
std::vector<uint32_t> cigar(const std::string &text) {
  static const std::string kOps = "MIDNSHP=X";
  std::vector<uint32_t> ops;
  uint32_t len = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      len = len * 10 + static_cast<uint32_t>(c - '0');
    } else {
      ops.push_back(len << 4 | static_cast<uint32_t>(kOps.find(c)));
      len = 0;
    }
  }
  return ops;
}

} // namespace

TEST(ReadGeometry, BlocksAndIntronsFromCigar) {
  struct Case {
    int64_t pos;
    std::string cigar;
    std::vector<Span> blocks;
    std::vector<Span> introns;
  } cases[] = {
      {99, "50M100N50M", {{100, 149}, {250, 299}}, {{150, 249}}},
      // Insertions and clips do not move the cursor; the deletion does.
      {0, "5S10M2I10M3D10M5H", {{1, 10}, {11, 20}, {24, 33}}, {}},
      // Adjacent match kinds stay separate touching blocks.
      {9, "10M5=3X", {{10, 19}, {20, 24}, {25, 27}}, {}},
      {0, "5M2P5M", {{1, 5}, {6, 10}}, {}},
      // A zero-length N adds no intron but a zero-length M adds an empty block.
      {0, "5M0N0M5M", {{1, 5}, {6, 5}, {6, 10}}, {}},
      {0, "2M1N3M4N1M", {{1, 2}, {4, 6}, {11, 11}}, {{3, 3}, {7, 10}}},
      {0, "", {}, {}},
      {-1, "50M100N50M", {}, {}},
      {std::numeric_limits<int64_t>::max(), "10M", {}, {}},
  };
  std::vector<Span> out = {{7, 7}}; // stale content must be cleared
  for (const auto &c : cases) {
    const auto ops = cigar(c.cigar);
    geometry::aligned_blocks(c.pos, ops, out);
    EXPECT_EQ(out, c.blocks) << c.pos << " " << c.cigar;
    geometry::cigar_introns(c.pos, ops, out);
    EXPECT_EQ(out, c.introns) << c.pos << " " << c.cigar;
    std::vector<Span> blocks = {{7, 7}}, introns = {{8, 8}};
    geometry::blocks_and_introns(c.pos, ops, blocks, introns);
    EXPECT_EQ(blocks, c.blocks) << c.pos << " " << c.cigar;
    EXPECT_EQ(introns, c.introns) << c.pos << " " << c.cigar;
  }
}

TEST(ReadGeometry, ReadsPositionAndCigarOfHtslibRecord) {
  bam1_t *b = bam_init1();
  const auto ops = cigar("3S20M30N10M");
  ASSERT_GE(bam_set1(b, 2, "r1", 0, 0, 199, 60, ops.size(), ops.data(), -1, -1, 0, 0, nullptr,
                     nullptr, 0),
            0);
  std::vector<Span> out;
  geometry::aligned_blocks(b, out);
  EXPECT_EQ(out, (std::vector<Span>{{200, 219}, {250, 259}}));
  geometry::cigar_introns(b, out);
  EXPECT_EQ(out, (std::vector<Span>{{220, 249}}));

  b->core.pos = -1;
  geometry::aligned_blocks(b, out);
  EXPECT_TRUE(out.empty());
  bam_destroy1(b);
}

TEST(TranscriptIntrons, ComparesWithThePrecedingExonOnly) {
  struct Case {
    std::vector<gtf::Exon> exons;
    std::vector<Span> introns;
  } cases[] = {
      {{{100, 500}, {200, 300}, {400, 450}}, {{301, 399}}},
      {{{1, 10}, {11, 20}}, {}},
      {{{1, 10}, {12, 20}}, {{11, 11}}},
      {{{1, 10}, {5, 20}}, {}},
      {{{1, 10}, {21, 30}, {41, 50}}, {{11, 20}, {31, 40}}},
      // Exons out of start order are sorted first; equal starts keep their order.
      {{{21, 30}, {1, 10}}, {{11, 20}}},
      {{{0, 0}, {0, 5}}, {}},
      {{{1, 10}}, {}},
      {{}, {}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    gtf::Transcript tx;
    tx.exons = cases[i].exons;
    EXPECT_EQ(geometry::transcript_introns(tx), cases[i].introns) << "case " << i;
  }
}
