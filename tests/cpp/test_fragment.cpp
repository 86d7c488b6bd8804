#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <htslib/sam.h>

#include "bam/reader.hpp"
#include "fragment.hpp"

using namespace voskel;
using fragment::AssemblyCfg;
using fragment::FragmentAssembler;
using fragment::RawRecord;
using fragment::Read;

namespace {

constexpr uint32_t op(uint32_t len, uint32_t code) { return len << 4 | code; }
const uint32_t k10M[] = {op(10, BAM_CMATCH)};
const uint32_t kSpliced[] = {op(5, BAM_CMATCH), op(20, BAM_CREF_SKIP), op(5, BAM_CMATCH)};

// A paired, proper record on tid at 0-based pos whose mate is at (mtid, mpos).
RawRecord mate_rec(std::string_view name, int32_t tid, int64_t pos, int32_t mtid, int64_t mpos,
                   uint16_t extra = 0) {
  RawRecord r;
  r.tid = tid;
  r.pos = pos;
  r.flag = fragment::kPaired | fragment::kProperPair | extra;
  r.mtid = mtid;
  r.mpos = mpos;
  r.name = name;
  r.cigar = k10M;
  return r;
}

std::string spans(std::span<const geometry::Span> s) {
  std::string out;
  for (const auto &x : s)
    out += fmt::format("({},{})", x.start, x.end);
  return out;
}

// Records every fragment as a line of text.
struct Recorder {
  std::vector<std::string> events;
  void operator()(const Read &r) {
    events.push_back(
        fmt::format("single {} {:#x} {} {}", r.tid, r.flag, spans(r.blocks), spans(r.introns)));
  }
  void operator()(const Read &cur, const Read &mate) {
    events.push_back(fmt::format("pair {} {:#x} {} {} + {} {:#x} {} {} {}", cur.tid, cur.flag,
                                 spans(cur.blocks), spans(cur.introns), mate.tid, mate.flag,
                                 spans(mate.blocks), spans(mate.introns),
                                 mate.aux_strand ? mate.aux_strand : '0'));
  }
};

} // namespace

TEST(FragmentAssembly, SingleEndAndLayoutSingle) {
  Recorder rec;
  FragmentAssembler as;
  RawRecord se;
  se.tid = 0;
  se.pos = 99;
  se.cigar = kSpliced;
  se.name = "se";
  as.add(se, rec);
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0], "single 0 0x0 (100,104)(125,129) (105,124)");

  // With the single layout both mates count on their own, proper or not.
  Recorder rec2;
  FragmentAssembler single(AssemblyCfg{.single_layout = true});
  single.add(mate_rec("p", 0, 10, 0, 50), rec2);
  auto improper = mate_rec("p", 0, 50, 0, 10);
  improper.flag &= ~fragment::kProperPair;
  single.add(improper, rec2);
  EXPECT_EQ(rec2.events.size(), 2u);
  EXPECT_EQ(single.dropped(), 0u);
}

TEST(FragmentAssembly, PairsMatesByNameWithStoredGeometry) {
  Recorder rec;
  FragmentAssembler as(AssemblyCfg{.keep_aux_strand = true});
  RawRecord first = mate_rec("q1", 0, 99, 0, 199, fragment::kFirst);
  first.cigar = kSpliced;
  first.aux_strand = '-';
  as.add(first, rec);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(as.pending(), 1u);

  // Improper records never enter the table.
  RawRecord improper = mate_rec("q2", 0, 120, 0, 300);
  improper.flag &= ~fragment::kProperPair;
  as.add(improper, rec);
  EXPECT_EQ(as.pending(), 1u);

  as.add(mate_rec("q1", 0, 199, 0, 99, fragment::kSecond | fragment::kReverse), rec);
  ASSERT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(rec.events[0], "pair 0 0x93 (200,209)  + 0 0x43 (100,104)(125,129) (105,124) -");
  EXPECT_EQ(as.pending(), 0u);
  EXPECT_EQ(as.dropped(), 0u);
}

TEST(FragmentAssembly, MateExpectedEarlierIsDiscarded) {
  Recorder rec;
  FragmentAssembler as;
  // Same reference, mate before: the mate failed a filter, so this record is dropped.
  as.add(mate_rec("x", 0, 500, 0, 100), rec);
  // Mate on an earlier reference: stored (the rule looks at the same reference only).
  as.add(mate_rec("y", 1, 500, 0, 100), rec);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(as.pending(), 1u);
  EXPECT_EQ(as.dropped(), 1u);
}

TEST(FragmentAssembly, ReferenceChangePurgesSilently) {
  Recorder rec;
  FragmentAssembler as;
  as.add(mate_rec("a", 0, 10, 0, 20), rec);
  as.add(mate_rec("b", 0, 30, 2, 5), rec); // mate on a later reference
  as.add(mate_rec("c", 1, 10, 1, 40), rec);
  // "a" waited for a mate on reference 0: gone without counting; "b" stays.
  EXPECT_EQ(as.pending(), 2u);
  EXPECT_EQ(as.evicted(), 0u);
  as.add(mate_rec("a", 0, 20, 0, 10), rec); // its partner arrives too late: discarded
  EXPECT_TRUE(rec.events.empty());
  as.add(mate_rec("b", 2, 5, 0, 30), rec);
  EXPECT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(as.dropped(), 1u); // "c"
}

TEST(FragmentAssembly, PositionPurgeNearTheLimit) {
  Recorder rec;
  FragmentAssembler as(AssemblyCfg{.table_limit = 3});
  as.add(mate_rec("m1", 0, 10, 0, 100), rec);
  as.add(mate_rec("m2", 0, 20, 0, 200), rec);
  as.add(mate_rec("m3", 0, 30, 0, 300), rec);
  EXPECT_EQ(as.pending(), 3u);
  // Table full: entries whose mates lie before this record (100, 200 < 300) go silently;
  // mate position equal to the record's stays.
  as.add(mate_rec("m4", 0, 300, 0, 400), rec);
  EXPECT_EQ(as.pending(), 2u);
  EXPECT_EQ(as.evicted(), 0u);
  as.add(mate_rec("m3", 0, 300, 0, 30), rec);
  EXPECT_EQ(rec.events.size(), 1u);
  EXPECT_EQ(as.dropped(), 1u);
}

TEST(FragmentAssembly, HalvingEvictsSoonestMatesInOrder) {
  Recorder rec;
  FragmentAssembler as(AssemblyCfg{.table_limit = 5});
  // Mates all ahead of the records, so the position purge removes nothing. Sort order by
  // (mate tid, mate pos, name bytes): c(0,400) a10(0,500) a2(0,500) b(0,500) d(1,0).
  as.add(mate_rec("d", 0, 1, 1, 0), rec);
  as.add(mate_rec("b", 0, 2, 0, 500), rec);
  as.add(mate_rec("a2", 0, 3, 0, 500), rec);
  as.add(mate_rec("a10", 0, 4, 0, 500), rec);
  as.add(mate_rec("c", 0, 5, 0, 400), rec);
  EXPECT_EQ(as.pending(), 5u);
  as.add(mate_rec("e", 0, 6, 0, 600), rec); // 5 entries: halve, floor(5/2) = 2 evicted
  EXPECT_EQ(as.evicted(), 2u);
  EXPECT_EQ(as.pending(), 4u);

  // c and a10 were evicted: their mates find nobody and are discarded (mate lies before).
  for (const char *gone : {"c", "a10"}) {
    as.add(mate_rec(gone, 0, 700, 0, 3), rec);
    EXPECT_TRUE(rec.events.empty()) << gone;
  }
  // a2, b, e, d still pair.
  as.add(mate_rec("a2", 0, 500, 0, 3), rec);
  as.add(mate_rec("b", 0, 500, 0, 2), rec);
  as.add(mate_rec("e", 0, 600, 0, 6), rec);
  as.add(mate_rec("d", 1, 0, 0, 1), rec);
  EXPECT_EQ(rec.events.size(), 4u);
  EXPECT_EQ(as.pending(), 0u);
  EXPECT_EQ(as.dropped(), 2u); // evicted ones stay in the dropped count
}

TEST(FragmentAssembly, SlotsAreReusedAcrossManyPairs) {
  // Far more pairs than the limit pass through; finished pairs free their slots.
  Recorder rec;
  FragmentAssembler as(AssemblyCfg{.table_limit = 4});
  std::vector<std::string> names;
  for (int i = 0; i < 200; ++i)
    names.push_back(fmt::format("read{}", i));
  for (int i = 0; i < 200; ++i) {
    as.add(mate_rec(names[i], 0, i * 10, 0, i * 10 + 15), rec);
    if (i > 0)
      as.add(mate_rec(names[i - 1], 0, (i - 1) * 10 + 15, 0, (i - 1) * 10), rec);
  }
  EXPECT_EQ(rec.events.size(), 199u);
  EXPECT_EQ(as.dropped(), 1u);
}

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
  const fragment::RecordFilter keep_dups{10, false, false};
  const fragment::RecordFilter skip_dups{10, false, true};
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
  const fragment::RecordFilter zero{0, false, false};
  EXPECT_TRUE(zero.passes(BamRec(0, 0).rec.get()));

  EXPECT_FALSE(fragment::skip_duplicates("never", true));
  EXPECT_TRUE(fragment::skip_duplicates("always", false));
  EXPECT_TRUE(fragment::skip_duplicates("auto", true));
  EXPECT_FALSE(fragment::skip_duplicates("", false));
}

TEST(RecordFilter, NhRuleOverIntegerTypes) {
  const fragment::RecordFilter unique{0, true, false};
  const fragment::RecordFilter any{0, false, false};
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
    EXPECT_EQ(fragment::aux_strand(c.rec.rec.get()), c.strand);
}

namespace {

// The pairing rules written the plain way (whole-table scans), to check the assembler against.
struct ModelAssembler {
  struct Entry {
    int32_t mtid;
    int64_t mpos;
    int64_t pos;
  };
  size_t limit;
  std::map<std::string, Entry> table;
  int32_t last_tid = INT32_MIN;
  uint64_t evicted = 0;
  std::vector<std::string> events;

  void add(const RawRecord &r) {
    if (!(r.flag & fragment::kPaired)) {
      events.push_back(fmt::format("single {}", r.pos + 1));
      return;
    }
    if (!(r.flag & fragment::kProperPair))
      return;
    if (auto it = table.find(std::string(r.name)); it != table.end()) {
      events.push_back(fmt::format("pair {} {}", r.pos + 1, it->second.pos + 1));
      table.erase(it);
      return;
    }
    if (r.tid == r.mtid && r.mpos < r.pos)
      return;
    if (r.tid != last_tid) {
      std::erase_if(table, [&](const auto &kv) { return kv.second.mtid < r.tid; });
      last_tid = r.tid;
    }
    if (table.size() > limit - 1)
      std::erase_if(table, [&](const auto &kv) {
        return kv.second.mtid < r.tid || (kv.second.mtid == r.tid && kv.second.mpos < r.pos);
      });
    if (table.size() >= limit) {
      std::vector<std::tuple<int32_t, int64_t, std::string>> order;
      for (const auto &[name, e] : table)
        order.emplace_back(e.mtid, e.mpos, name);
      std::sort(order.begin(), order.end());
      const size_t half = order.size() / 2;
      for (size_t i = 0; i < half; ++i)
        table.erase(std::get<2>(order[i]));
      evicted += half;
    }
    table[std::string(r.name)] = Entry{r.mtid, r.mpos, r.pos};
  }
};

struct PosRecorder {
  std::vector<std::string> events;
  void operator()(const Read &r) { events.push_back(fmt::format("single {}", r.blocks[0].start)); }
  void operator()(const Read &cur, const Read &mate) {
    events.push_back(fmt::format("pair {} {}", cur.blocks[0].start, mate.blocks[0].start));
  }
};

} // namespace

TEST(FragmentAssembly, MatchesPlainModelOnRandomSortedStreams) {
  // Many waiting mates, lost mates, mates on other references and a small limit exercise the
  // purges, the halving, table growth and deletion together.
  uint64_t total_evicted = 0;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    std::mt19937 rng(seed);
    struct Rec {
      std::string name;
      RawRecord r;
    };
    std::vector<Rec> recs;
    for (int i = 0; i < 6000; ++i) {
      const std::string name = fmt::format("frag{}", rng() % 100000);
      const int32_t tid = static_cast<int32_t>(rng() % 4);
      const int64_t pos = static_cast<int64_t>(rng() % 20000);
      const bool other_ref = rng() % 20 == 0;
      const int32_t mtid = other_ref ? static_cast<int32_t>(rng() % 4) : tid;
      const int64_t mpos = other_ref ? static_cast<int64_t>(rng() % 20000)
                                     : pos + static_cast<int64_t>(rng() % 3000);
      const uint16_t kind = rng() % 50 == 0 ? 0 : fragment::kPaired | fragment::kProperPair;
      recs.push_back({name, mate_rec("", tid, pos, mtid, mpos, 0)});
      recs.back().r.flag = kind;
      if (kind && rng() % 10 != 0) // most mates arrive
        recs.push_back({name, mate_rec("", mtid, mpos, tid, pos, 0)});
    }
    std::stable_sort(recs.begin(), recs.end(), [](const Rec &a, const Rec &b) {
      return std::tie(a.r.tid, a.r.pos) < std::tie(b.r.tid, b.r.pos);
    });
    for (size_t limit : {3u, 40u, 500u}) {
      ModelAssembler model{limit, {}, INT32_MIN, 0, {}};
      PosRecorder rec;
      FragmentAssembler as(AssemblyCfg{.table_limit = limit});
      for (auto &x : recs) {
        x.r.name = x.name;
        model.add(x.r);
        as.add(x.r, rec);
      }
      EXPECT_EQ(rec.events, model.events) << seed << " " << limit;
      EXPECT_EQ(as.evicted(), model.evicted) << seed << " " << limit;
      EXPECT_EQ(as.pending(), model.table.size()) << seed << " " << limit;
      total_evicted += as.evicted();
    }
  }
  EXPECT_GT(total_evicted, 0u);
}
