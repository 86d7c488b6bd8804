#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <htslib/sam.h>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"

using namespace voskel;

namespace {

constexpr uint32_t op(uint32_t len, uint32_t code) { return len << 4 | code; }

} // namespace

namespace {

// A mapped record built through htslib, with optional tags appended raw.
struct BamRec {
  bam::Record rec;
  BamRec(uint16_t flag, uint8_t mapq) {
    const uint32_t cig[] = {op(10, BAM_CMATCH)};
    bam_set1(rec.get(), 1, "r", flag, 0, 99, mapq, 1, cig, -1, -1, 0, 10, "ACGTACGTAC", nullptr,
             64);
  }
  template <class T> BamRec &tag(const char *t, char type, T v) {
    bam_aux_append(rec.get(), t, type, sizeof v, reinterpret_cast<const uint8_t *>(&v));
    return *this;
  }
  BamRec &text(const char *t, char type, const char *v) {
    bam_aux_append(rec.get(), t, type, static_cast<int>(std::strlen(v) + 1),
                   reinterpret_cast<const uint8_t *>(v));
    return *this;
  }
};

} // namespace

TEST(RecordFilter, FlagsDuplicatesAndMapq) {
  const bam::RecordFilter keep_dups{10, false, false};
  const bam::RecordFilter skip_dups{10, false, true};
  struct Case {
    uint16_t flag;
    uint8_t mapq;
    bool keep, skip;
  } cases[] = {
      {0, 10, true, true},       {0x1 | 0x2 | 0x40, 255, true, true},
      {0, 9, false, false},      {0x4, 60, false, false},
      {0x100, 60, false, false}, {0x200, 60, false, false},
      {0x800, 60, false, false}, {0x400, 60, true, false},
  };
  for (const auto &c : cases) {
    BamRec b(c.flag, c.mapq);
    EXPECT_EQ(keep_dups.passes(b.rec.get()), c.keep) << c.flag << " " << int(c.mapq);
    EXPECT_EQ(skip_dups.passes(b.rec.get()), c.skip) << c.flag << " " << int(c.mapq);
  }
  const bam::RecordFilter zero{0, false, false};
  EXPECT_TRUE(zero.passes(BamRec(0, 0).rec.get()));

  EXPECT_FALSE(bam::skip_duplicates("never", true));
  EXPECT_TRUE(bam::skip_duplicates("always", false));
  EXPECT_TRUE(bam::skip_duplicates("auto", true));
  EXPECT_FALSE(bam::skip_duplicates("", false));
}

TEST(RecordFilter, NhRuleOverIntegerTypes) {
  const bam::RecordFilter unique{0, true, false};
  const bam::RecordFilter any{0, false, false};
  struct Case {
    BamRec rec;
    bool passes;
    const char *what;
  };
  Case cases[] = {
      {BamRec(0, 60), true, "absent"},
      {std::move(BamRec(0, 60).tag("NH", 'c', int8_t{1})), true, "c 1"},
      {std::move(BamRec(0, 60).tag("NH", 'c', int8_t{-1})), false, "c -1"},
      {std::move(BamRec(0, 60).tag("NH", 'C', uint8_t{2})), false, "C 2"},
      {std::move(BamRec(0, 60).tag("NH", 's', int16_t{2})), false, "s 2"},
      {std::move(BamRec(0, 60).tag("NH", 'S', uint16_t{1})), true, "S 1"},
      {std::move(BamRec(0, 60).tag("NH", 'i', int32_t{3})), false, "i 3"},
      {std::move(BamRec(0, 60).tag("NH", 'I', uint32_t{1})), true, "I 1"},
      {std::move(BamRec(0, 60).tag("NH", 'I', uint32_t{4294967295u})), false, "I max"},
      {std::move(BamRec(0, 60).text("NH", 'Z', "2")), true, "Z"},
      {std::move(BamRec(0, 60).tag("NH", 'f', 2.0f)), true, "f"},
      {std::move(BamRec(0, 60).tag("NH", 'A', '2')), true, "A"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(unique.passes(c.rec.rec.get()), c.passes) << c.what;
    EXPECT_TRUE(any.passes(c.rec.rec.get())) << c.what;
  }
}

TEST(AuxStrand, XsBeforeTs) {
  struct Case {
    BamRec rec;
    char strand;
  };
  Case cases[] = {
      {BamRec(0, 60), 0},
      {std::move(BamRec(0, 60).tag("XS", 'A', '+')), '+'},
      {std::move(BamRec(0, 60).tag("XS", 'A', '?').tag("ts", 'A', '-')), '-'},
      {std::move(BamRec(0, 60).tag("ts", 'A', '+').tag("XS", 'A', '-')), '-'},
      {std::move(BamRec(0, 60).text("XS", 'Z', "+x")), '+'},
      {std::move(BamRec(0, 60).tag("XS", 'c', int8_t{'-'})), '-'},
      {std::move(BamRec(0, 60).tag("XS", 'i', int32_t{'+'})), 0},
  };
  for (const auto &c : cases)
    EXPECT_EQ(bam::aux_strand(c.rec.rec.get()), c.strand);
}
