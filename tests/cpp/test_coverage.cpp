#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <htslib/kstring.h>
#include <htslib/sam.h>

#include "coverage.hpp"
#include "scratch.hpp"

using namespace voskel;
using coverage::LocusCoverage;
using coverage::LocusQuery;
using coverage::ScanSettings;
using coverage::Span;

namespace {

const char *kHeader = "@HD\tVN:1.6\tSO:coordinate\n"
                      "@SQ\tSN:chr1\tLN:30000\n"
                      "@SQ\tSN:chr2\tLN:30000\n"
                      "@SQ\tSN:chr3\tLN:30000\n";

struct SamLine {
  int tid;
  int64_t pos0;
  std::string text;
};

// Writes coordinate-sorted records (SAM text) as an indexed BAM.
std::string write_bam(const testutil::ScratchDir &dir, std::vector<SamLine> lines) {
  std::stable_sort(lines.begin(), lines.end(), [](const SamLine &a, const SamLine &b) {
    return std::tie(a.tid, a.pos0) < std::tie(b.tid, b.pos0);
  });
  const std::string p = dir.path("reads.bam");
  sam_hdr_t *h = sam_hdr_parse(std::strlen(kHeader), kHeader);
  htsFile *out = hts_open(p.c_str(), "wb");
  EXPECT_EQ(sam_hdr_write(out, h), 0);
  bam1_t *b = bam_init1();
  kstring_t line = KS_INITIALIZE;
  for (const auto &l : lines) {
    ks_clear(&line);
    kputs(l.text.c_str(), &line);
    EXPECT_GE(sam_parse1(&line, h, b), 0) << l.text;
    EXPECT_GE(sam_write1(out, h, b), 0) << l.text;
  }
  ks_free(&line);
  bam_destroy1(b);
  EXPECT_EQ(hts_close(out), 0);
  sam_hdr_destroy(h);
  EXPECT_EQ(sam_index_build(p.c_str(), 14), 0); // CSI with small bins: many chunks per query
  return p;
}

struct Locus {
  gtf::Transcript tx;
  std::optional<Span> gap;
  std::vector<Span> neighbours;
};

// Random loci on chr1 and chr2 whose regions overlap, touch and nest, and reads drawn partly
// from their introns and bridges so that every figure has something to count.
struct World {
  std::vector<Locus> loci;
  std::vector<SamLine> reads;

  explicit World(uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pick = [&](uint64_t n) { return rng() % n; };
    const char *chroms[] = {"chr1", "chr2"};
    for (int k = 0; k < 70; ++k) {
      Locus l;
      l.tx.chrom = chroms[pick(2)];
      l.tx.transcript_id = "T" + std::to_string(k);
      l.tx.strand = U"+-."[pick(3)];
      uint64_t at = 1 + pick(25000);
      if (k == 0)
        at = 0; // an exon starting at position 0
      const int n_exons = 1 + static_cast<int>(pick(4));
      for (int e = 0; e < n_exons; ++e) {
        const uint64_t len = 20 + pick(200);
        l.tx.exons.push_back({at, at + len - 1});
        at += len + 30 + pick(800);
      }
      const Span span = geometry::transcript_span(l.tx);
      const uint64_t width = 1 + pick(k % 10 == 0 ? 5000 : 600);
      switch (pick(3)) {
      case 0: // the gene after
        l.gap = Span{span.end + 1, span.end + width};
        l.neighbours = {{span.end + width + 1, span.end + width + 100},
                        {span.end + width + 300, span.end + width + 400}};
        break;
      case 1: // the gene before
        if (span.start > width + 500) {
          l.gap = Span{span.start - width, span.start - 1};
          l.neighbours = {{span.start - width - 300, span.start - width - 200},
                          {span.start - width - 100, span.start - width - 1}};
        }
        break;
      default:
        break;
      }
      loci.push_back(std::move(l));
    }

    const char *names[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    const char *nh[] = {"", "\tNH:i:1", "\tNH:i:1", "\tNH:i:2", "\tNH:C:1", "\tNH:Z:1"};
    const uint16_t flags[] = {0,     0x10, 0x1 | 0x40, 0x1 | 0x80, 0x1 | 0x40 | 0x10, 0x400, 0x410,
                              0x100, 0x4,  0x800,      0x200};
    auto add = [&](int tid, int64_t pos0, const std::string &cigar) {
      const std::string name = std::string(names[pick(8)]) + std::to_string(pick(40));
      const uint16_t flag = flags[pick(std::size(flags))];
      std::string text = name + "\t" + std::to_string(flag) + "\tchr" + std::to_string(tid + 1) +
                         "\t" + std::to_string(pos0 + 1) + "\t" + std::to_string(pick(61)) + "\t" +
                         cigar + "\t*\t0\t0\t*\t*" + nh[pick(std::size(nh))];
      reads.push_back({tid, pos0, std::move(text)});
    };
    auto tid_of = [](const std::string &c) { return c == "chr1" ? 0 : 1; };
    for (const Locus &l : loci) {
      const int tid = tid_of(l.tx.chrom);
      const auto introns = geometry::transcript_introns(l.tx);
      for (const Span &in : introns)
        for (int r = 0; r < 6; ++r) {
          const uint64_t a = 1 + pick(30), b = 1 + pick(30);
          const uint64_t longer = pick(4) == 0 ? 1 : 0;
          if (in.start > a)
            add(tid, static_cast<int64_t>(in.start - 1 - a),
                std::to_string(a) + "M" + std::to_string(in.end - in.start + 1 + longer) + "N" +
                    std::to_string(b) + "M");
        }
      if (l.gap)
        for (const Span &ex : l.neighbours)
          for (int r = 0; r < 3; ++r) {
            // Spliced from the gap's edge to the gene's exon, on either side.
            const bool after = l.gap->start == geometry::transcript_span(l.tx).end + 1;
            const uint64_t s = after ? l.gap->start : ex.end + 1;
            const uint64_t e = after ? ex.start - 1 : l.gap->end;
            if (e >= s && s > 20)
              add(tid, static_cast<int64_t>(s - 21), "20M" + std::to_string(e - s + 1) + "N20M");
          }
    }
    const char *shapes[] = {"50M",      "20M100N30M",  "10S40M", "25M5D25M",
                            "20M3I27M", "30M2000N20M", "5M0N5M", "40M"};
    for (int r = 0; r < 3000; ++r)
      add(static_cast<int>(pick(3)), static_cast<int64_t>(pick(29000)), shapes[pick(8)]);
  }

  std::vector<LocusQuery> queries() const {
    std::vector<LocusQuery> q;
    for (const Locus &l : loci)
      q.push_back({l.tx, l.gap, l.neighbours});
    return q;
  }
};

} // namespace

TEST(ScanSampleLoci, AgreesWithOneQueryPerLocus) {
  const ScanSettings variants[] = {
      {200, 50, bam::Strandedness::Rf, 10, false, false},
      {200, 50, bam::Strandedness::Fr, 0, true, true},
      {30, 0, bam::Strandedness::Unstranded, 20, true, false},
      {0, 7, bam::Strandedness::Other, 0, false, true},
  };
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    const World world(seed);
    const testutil::ScratchDir dir;
    const std::string path = write_bam(dir, world.reads);
    const auto queries = world.queries();
    for (const ScanSettings &settings : variants) {
      auto reader = bam::open_indexed(path);
      ASSERT_TRUE(reader) << reader.error().text();
      auto swept = coverage::scan_sample_loci(*reader, path, queries, settings);
      ASSERT_TRUE(swept) << swept.error().text();
      ASSERT_EQ(swept->size(), queries.size());
      coverage::LocusScanner plain(settings);
      uint64_t supported = 0, bridged = 0, deep = 0;
      for (size_t k = 0; k < queries.size(); ++k) {
        auto one = plain.scan(*reader, path, queries[k].transcript.chrom, queries[k]);
        ASSERT_TRUE(one) << one.error().text();
        EXPECT_EQ((*swept)[k], *one) << "seed " << seed << " locus " << k;
        for (uint64_t n : one->junction_support)
          supported += n;
        bridged += one->bridge_read_count;
        deep += one->locus_mean_depth > 0 ? 1 : 0;
      }
      // The data reach every figure.
      EXPECT_GT(supported, 0u);
      EXPECT_GT(bridged, 0u);
      EXPECT_GT(deep, 10u);
    }
  }
}

TEST(ScanSampleLoci, MissingContigOfTheFirstSuchLocus) {
  const testutil::ScratchDir dir;
  const std::string path = write_bam(dir, {});
  gtf::Transcript a, b, c;
  a.chrom = "chr1";
  b.chrom = "chrX";
  c.chrom = "chrY";
  for (auto *t : {&a, &b, &c})
    t->exons = {{10, 20}};
  const std::vector<LocusQuery> queries = {{a, {}, {}}, {b, {}, {}}, {c, {}, {}}};
  auto reader = bam::open_indexed(path);
  ASSERT_TRUE(reader);
  auto r = coverage::scan_sample_loci(*reader, path, queries, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text(), "BAM has no contig chrX");
  auto one = coverage::scan_locus_sample(*reader, path, "chrY", c, {}, {}, {});
  ASSERT_FALSE(one);
  EXPECT_EQ(one.error().text(), "BAM has no contig chrY");
}

TEST(ScanSampleLoci, NoLoci) {
  const testutil::ScratchDir dir;
  const std::string path = write_bam(dir, {});
  auto reader = bam::open_indexed(path);
  ASSERT_TRUE(reader);
  auto r = coverage::scan_sample_loci(*reader, path, {}, {});
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}
