#include "leak/gene_context.hpp"

#include <algorithm>
#include <climits>

namespace voskel::leak {

void GeneIndex::Group::build(std::vector<interval::Interval<uint32_t>> genes) {
  by_end.reserve(genes.size());
  by_start.reserve(genes.size());
  for (const auto &g : genes) {
    by_end.emplace_back(g.end, g.payload);
    by_start.emplace_back(g.start, g.payload);
  }
  std::sort(by_end.begin(), by_end.end());
  std::sort(by_start.begin(), by_start.end());
  spans = interval::IvIndex<uint32_t>::from_intervals(std::move(genes));
}

std::optional<uint32_t> GeneIndex::Group::first_overlap(uint64_t start, uint64_t end) const {
  std::optional<uint32_t> first;
  spans.overlapping(start, end, [&](const interval::Interval<uint32_t> &g) {
    if (!first || g.payload < *first)
      first = g.payload;
  });
  return first;
}

std::optional<std::pair<uint32_t, uint64_t>> GeneIndex::Group::nearest_apart(uint64_t start,
                                                                             uint64_t end) const {
  std::optional<std::pair<uint32_t, uint64_t>> best;
  const auto consider = [&](uint32_t pos, uint64_t gap) {
    if (!best || gap < best->second || (gap == best->second && pos < best->first))
      best = std::pair{pos, gap};
  };
  // Before: the largest end below start; among genes sharing it, the earliest in the list,
  // which is the first of its run since pairs sort by position within an end.
  const auto below = std::lower_bound(by_end.begin(), by_end.end(), std::pair{start, 0u});
  if (below != by_end.begin()) {
    const uint64_t e = std::prev(below)->first;
    const auto run = std::lower_bound(by_end.begin(), below, std::pair{e, 0u});
    consider(run->second, start - e - 1);
  }
  // After: the smallest start above end, earliest in the list likewise.
  const auto above =
      std::upper_bound(by_start.begin(), by_start.end(), std::pair{end, uint32_t{UINT32_MAX}});
  if (above != by_start.end())
    consider(above->second, above->first - end - 1);
  return best;
}

GeneIndex::GeneIndex(std::span<const gtf::GeneBody> genes) : genes_(genes) {
  struct Lists {
    std::vector<interval::Interval<uint32_t>> all, plus, minus;
  };
  std::map<std::string_view, Lists> by_chrom;
  for (size_t i = 0; i < genes.size(); ++i) {
    const gtf::GeneBody &g = genes[i];
    const interval::Interval<uint32_t> iv{static_cast<uint32_t>(i), g.start, g.end};
    Lists &l = by_chrom[g.chrom];
    l.all.push_back(iv);
    if (g.strand == U'+')
      l.plus.push_back(iv);
    else if (g.strand == U'-')
      l.minus.push_back(iv);
  }
  for (auto &[chrom, l] : by_chrom) {
    Chrom &c = chroms_[std::string(chrom)];
    c.all.build(std::move(l.all));
    c.plus.build(std::move(l.plus));
    c.minus.build(std::move(l.minus));
  }
}

GeneContext GeneIndex::context(std::string_view chrom, uint64_t start, uint64_t end, char strand,
                               bool strand_blind) const {
  const auto it = chroms_.find(chrom);
  if (it == chroms_.end())
    return {};
  const Chrom &c = it->second;
  const bool stranded = !strand_blind && (strand == '+' || strand == '-');
  const Group &same = !stranded ? c.all : strand == '+' ? c.plus : c.minus;
  if (const auto hit = same.first_overlap(start, end))
    return {true, &genes_[*hit], 0};
  GeneContext ctx;
  // Without a same-strand overlap, a gene of the other strand may still overlap.
  ctx.overlaps_gene = stranded && c.all.first_overlap(start, end).has_value();
  if (const auto near = same.nearest_apart(start, end)) {
    ctx.nearest = &genes_[near->first];
    ctx.distance = near->second;
  }
  return ctx;
}

} // namespace voskel::leak
