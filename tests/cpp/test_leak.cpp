#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "gtf.hpp"
#include "leak/gene_context.hpp"
#include "leak/leak.hpp"

using namespace voskel;
using leak::GeneContext;
using leak::GeneIndex;

namespace {

gtf::GeneBody gene(const char *chrom, const char *id, uint64_t start, uint64_t end,
                   char32_t strand) {
  return {chrom, id, std::string(id) + "_name", start, end, strand};
}

std::string text(const GeneContext &c) {
  if (c.nearest == nullptr)
    return c.overlaps_gene ? "true" : "false";
  return fmt::format("{} {} {}", c.overlaps_gene, c.nearest->gene_id, c.distance);
}

// The gene context by a walk over the whole list, as the rules read.
GeneContext scan_context(const std::vector<gtf::GeneBody> &genes, const std::string &chrom,
                         uint64_t start, uint64_t end, char strand, bool blind) {
  GeneContext ctx;
  std::optional<uint64_t> best;
  for (const auto &g : genes) {
    if (g.chrom != chrom)
      continue;
    const bool hit = g.start <= end && g.end >= start;
    ctx.overlaps_gene = ctx.overlaps_gene || hit;
    if (!blind && g.strand != static_cast<char32_t>(strand))
      continue;
    if (hit)
      return {true, &g, 0};
    const uint64_t gap = g.end < start ? start - g.end - 1 : g.start - end - 1;
    if (!best || gap < *best) {
      best = gap;
      ctx.nearest = &g;
      ctx.distance = gap;
    }
  }
  return ctx;
}

} // namespace

TEST(GeneContext, NearestGeneAndOverlap) {
  const std::vector<gtf::GeneBody> genes{
      gene("chr1", "a", 100, 200, U'+'), gene("chr1", "b", 150, 400, U'-'),
      gene("chr1", "c", 300, 350, U'+'), gene("chr1", "d", 500, 600, U'+'),
      gene("chr1", "e", 500, 600, U'+'), gene("chr1", "f", 700, 800, U'.'),
      gene("chr2", "h", 100, 200, U'-'),
  };
  const GeneIndex index(genes);
  struct Case {
    const char *chrom;
    uint64_t start, end;
    char strand;
    bool blind;
    const char *expected;
  } cases[] = {
      // Equal gaps before and after: the earlier gene in the list.
      {"chr1", 210, 290, '+', false, "true a 9"},
      // Genes ending just before and starting just after: gap 0, not an overlap; the other
      // strand's gene overlaps.
      {"chr1", 201, 299, '+', false, "true a 0"},
      {"chr1", 601, 650, '+', false, "false d 0"},
      {"chr1", 420, 450, '+', false, "false d 49"},
      {"chr1", 420, 450, '-', false, "false b 19"},
      {"chr1", 420, 450, '.', true, "false b 19"},
      {"chr1", 420, 450, '+', true, "false b 19"},
      {"chr1", 550, 560, '+', false, "true d 0"},
      // Overlapped only by genes of the other strand: the nearest is still of its own.
      {"chr1", 550, 560, '-', false, "true b 149"},
      {"chr1", 160, 170, '+', false, "true a 0"},
      {"chr1", 320, 330, '.', true, "true b 0"},
      {"chr1", 320, 330, '+', false, "true c 0"},
      // A gene without strand overlaps but is nearest only when strand-blind.
      {"chr1", 750, 760, '+', false, "true d 149"},
      {"chr1", 750, 760, '-', true, "true f 0"},
      {"chr2", 300, 400, '+', false, "false"},
      {"chr2", 150, 160, '+', false, "true"},
      {"chr3", 150, 160, '.', true, "false"},
  };
  for (const auto &c : cases) {
    const GeneContext got = index.context(c.chrom, c.start, c.end, c.strand, c.blind);
    EXPECT_EQ(text(got), c.expected) << c.chrom << ":" << c.start << "-" << c.end << c.strand;
    EXPECT_EQ(text(got), text(scan_context(genes, c.chrom, c.start, c.end, c.strand, c.blind)));
  }
}

TEST(GeneContext, IndexAgreesWithAWalkOverTheList) {
  std::mt19937_64 rng(11);
  const auto pick = [&](uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n)(rng); };
  for (int round = 0; round < 40; ++round) {
    std::vector<gtf::GeneBody> genes;
    const char32_t strands[] = {U'+', U'-', U'.'};
    const char *chroms[] = {"chr1", "chr2"};
    for (uint64_t i = 0, n = pick(60); i < n; ++i) {
      const uint64_t s = 1 + pick(3000);
      // Repeated ends and starts make ties.
      genes.push_back(gene(chroms[pick(1)], fmt::format("g{}", i).c_str(), s / 10 * 10,
                           s / 10 * 10 + pick(round % 2 ? 40 : 600), strands[pick(2)]));
    }
    const GeneIndex index(genes);
    for (int q = 0; q < 300; ++q) {
      const uint64_t s = 1 + pick(3500), e = s + pick(200);
      const char strand = "+-."[pick(2)];
      const bool blind = strand == '.' || pick(1);
      const std::string chrom = chroms[pick(1)];
      EXPECT_EQ(text(index.context(chrom, s, e, strand, blind)),
                text(scan_context(genes, chrom, s, e, strand, blind)))
          << round << " " << chrom << ":" << s << "-" << e << strand << blind;
    }
  }
}

namespace {

gtf::Transcript transcript(const char *chrom, char32_t strand, std::vector<gtf::Exon> exons) {
  return {chrom, "g", "t", "g", std::move(exons), strand};
}

leak::Census census(std::vector<std::pair<leak::JuncKey, uint64_t>> counts) {
  std::sort(counts.begin(), counts.end());
  return {std::move(counts), 0};
}

// The rows of the censuses as their table lines.
std::vector<std::string> rows(const std::vector<leak::Census> &censuses,
                              const std::vector<leak::SampleIn> &samples, const leak::LeakCfg &cfg,
                              const gtf::ParsedGtf &gtf) {
  const leak::AnnotatedIntrons annotated(gtf);
  const GeneIndex genes(gtf.genes);
  std::vector<std::string> out, cells;
  for (const auto &row : leak::leak_rows(censuses, samples, cfg, annotated, genes)) {
    leak::leak_cells(row, cells);
    out.push_back(fmt::format("{}", fmt::join(cells, "|")));
  }
  return out;
}

} // namespace

TEST(LeakRows, ThresholdsCohortsAndAnnotation) {
  gtf::ParsedGtf gtf;
  // Annotated introns 1001-1999 on '-' and 3001-3999 on '+'.
  gtf.transcripts.push_back(transcript("chr1", U'-', {{900, 1000}, {2000, 2100}}));
  gtf.transcripts.push_back(transcript("chr1", U'+', {{2900, 3000}, {4000, 4100}}));
  gtf.genes.push_back(gene("chr1", "gm", 900, 2100, U'-'));
  gtf.genes.push_back(gene("chr1", "gp", 2900, 4100, U'+'));

  const auto key = [](uint64_t s, uint64_t e, char strand) {
    return leak::JuncKey{"chr1", s, e, strand};
  };
  const std::vector<leak::Census> censuses{
      census({{key(1001, 1999, '+'), 2}, {key(3001, 3999, '.'), 1}, {key(5001, 5999, '+'), 1}}),
      census({{key(1001, 1999, '+'), 3}, {key(3001, 3999, '.'), 4}, {key(7001, 7999, '-'), 9}}),
      census({{key(1001, 1999, '+'), 1}, {key(5001, 5999, '+'), 1}}),
  };
  const std::vector<leak::SampleIn> with_groups{{"c", "c.bam", "control", false},
                                                {"t", "t.bam", "treat", false},
                                                {"C", "C.bam", "Control", false}};
  const std::vector<leak::SampleIn> no_control{
      {"a", "a.bam", "treat", false}, {"b", "b.bam", "Control", false}, {"x", "x.bam", "", false}};

  struct Case {
    const char *what;
    const std::vector<leak::SampleIn> *samples;
    leak::LeakCfg cfg;
    std::vector<std::string> expected;
  };
  leak::LeakCfg base;
  leak::LeakCfg unstranded = base;
  unstranded.strandedness = "unstranded";
  leak::LeakCfg loose = base;
  loose.min_samples = 1;
  loose.min_support = 1;
  loose.max_control_support = 1;
  leak::LeakCfg strict = base;
  strict.min_support = 7;

  const Case cases[] = {
      // 1001-1999 on '+': the annotation holds it on '-' only, so a stranded scan keeps it;
      // 3001-3999 without strand is known on '+'; 7001-7999 lies in one sample.
      {"defaults",
       &with_groups,
       base,
       {"chr1|1001|1999|+|999|unassembled|||true|gp|gp_name|900|+|2|6|3|3|1|1|shared|2|3|1",
        "chr1|5001|5999|+|999|unassembled|||false|gp|gp_name|900|+|1|2|2|0|0|1|shared|1|0|1"}},
      {"unstranded mode drops what either strand holds",
       &with_groups,
       unstranded,
       {"chr1|5001|5999|+|999|unassembled|||false|gp|gp_name|900|+|1|2|2|0|0|1|shared|1|0|1"}},
      {"no control sample: a capital C is not control",
       &no_control,
       base,
       {"chr1|1001|1999|+|999|unassembled|||true|gp|gp_name|900|+|0|6|3|2|1|0|cohort|2|3|1",
        "chr1|5001|5999|+|999|unassembled|||false|gp|gp_name|900|+|0|2|2|1|1|0|cohort|1|0|1"}},
      {"single-sample junctions and a control count within the limit",
       &with_groups,
       loose,
       {"chr1|1001|1999|+|999|unassembled|||true|gp|gp_name|900|+|2|6|3|3|1|1|shared|2|3|1",
        "chr1|5001|5999|+|999|unassembled|||false|gp|gp_name|900|+|1|2|2|0|0|1|silent|1|0|1",
        "chr1|7001|7999|-|999|unassembled|||false|gm|gm_name|4900|-|0|9|1|9|1|0|silent|0|9|0"}},
      {"support over all samples", &with_groups, strict, {}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(rows(censuses, *c.samples, c.cfg, gtf), c.expected) << c.what;
}

TEST(LeakRows, Header) {
  const std::vector<leak::SampleIn> samples{{"s1", "a", "", false}, {"s1", "b", "", false}};
  const auto h = leak::leak_header(samples);
  ASSERT_EQ(h.size(), 22u);
  EXPECT_EQ(h[0], "chrom");
  EXPECT_EQ(h[19], "cohort");
  EXPECT_EQ(h[20], "s1_count");
  EXPECT_EQ(h[21], "s1_count");
}
