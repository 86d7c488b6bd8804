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
  r.flag = bam::kPaired | bam::kProperPair | extra;
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
  improper.flag &= ~bam::kProperPair;
  single.add(improper, rec2);
  EXPECT_EQ(rec2.events.size(), 2u);
  EXPECT_EQ(single.dropped(), 0u);
}

TEST(FragmentAssembly, PairsMatesByNameWithStoredGeometry) {
  Recorder rec;
  FragmentAssembler as(AssemblyCfg{.keep_aux_strand = true});
  RawRecord first = mate_rec("q1", 0, 99, 0, 199, bam::kFirst);
  first.cigar = kSpliced;
  first.aux_strand = '-';
  as.add(first, rec);
  EXPECT_TRUE(rec.events.empty());
  EXPECT_EQ(as.pending(), 1u);

  // Improper records never enter the table.
  RawRecord improper = mate_rec("q2", 0, 120, 0, 300);
  improper.flag &= ~bam::kProperPair;
  as.add(improper, rec);
  EXPECT_EQ(as.pending(), 1u);

  as.add(mate_rec("q1", 0, 199, 0, 99, bam::kSecond | bam::kReverse), rec);
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
    if (!(r.flag & bam::kPaired)) {
      events.push_back(fmt::format("single {}", r.pos + 1));
      return;
    }
    if (!(r.flag & bam::kProperPair))
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
      const uint16_t kind = rng() % 50 == 0 ? 0 : bam::kPaired | bam::kProperPair;
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

TEST(FragmentAssembly, LongNamesAndCigarsOfWaitingMates) {
  // A waiting mate keeps short names and CIGARs inside its slot and longer ones beside it; a
  // slot reused for either size must give back exactly what was stored.
  std::vector<uint32_t> long_cigar;
  for (int i = 0; i < 15; ++i) {
    long_cigar.push_back(op(4, BAM_CMATCH));
    long_cigar.push_back(op(10 + i, BAM_CREF_SKIP));
  }
  long_cigar.push_back(op(4, BAM_CMATCH));
  const std::string long_name(150, 'q');
  struct Case {
    std::string name;
    std::span<const uint32_t> cigar;
  } cases[] = {{"short", kSpliced},
               {long_name, kSpliced},
               {"short", long_cigar},
               {long_name + "x", long_cigar},
               {"s", k10M}};
  FragmentAssembler as(AssemblyCfg{.table_limit = 4});
  for (const auto &c : cases) {
    RawRecord first = mate_rec(c.name, 0, 100, 0, 300);
    first.cigar = c.cigar;
    RawRecord second = mate_rec(c.name, 0, 300, 0, 100);
    Recorder got;
    as.add(first, got);
    as.add(second, got);
    ASSERT_EQ(got.events.size(), 1u) << c.name.size() << " " << c.cigar.size();
    std::vector<geometry::Span> blocks, introns;
    geometry::aligned_blocks(100, c.cigar, blocks);
    geometry::cigar_introns(100, c.cigar, introns);
    EXPECT_NE(got.events[0].find("+ 0 0x3 " + spans(blocks) + " " + spans(introns) + " 0"),
              std::string::npos)
        << got.events[0];
  }
  EXPECT_EQ(as.dropped(), 0u);
}
