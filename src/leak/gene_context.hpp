// The gene context of a junction: whether an annotated gene overlaps it, and its nearest gene
// with the distance to it. Genes are indexed per chromosome and strand so that a junction
// costs a few binary searches, not a walk over the whole gene list.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gtf.hpp"
#include "interval.hpp"

namespace voskel::leak {

struct GeneContext {
  bool overlaps_gene = false;
  const gtf::GeneBody *nearest = nullptr; // none when the chromosome has no candidate
  uint64_t distance = 0; // 0 for an overlapping nearest gene, otherwise the bases between
};

class GeneIndex {
public:
  // Keeps a view of `genes`, which must outlive the index; their order is the list order
  // that decides ties.
  explicit GeneIndex(std::span<const gtf::GeneBody> genes);

  // Context of the junction [start, end] on `chrom` (exact name). Stranded (strand '+' or '-',
  // strand_blind false): any gene overlapping makes overlaps_gene true, but only genes of the
  // junction's strand are nearest: the first overlapping one in list order at distance 0, else
  // the one with the smallest gap. Strand-blind: the first overlapping gene of any strand, else
  // the smallest gap over all. Ties of the gap go to the earliest gene in list order.
  GeneContext context(std::string_view chrom, uint64_t start, uint64_t end, char strand,
                      bool strand_blind) const;

private:
  // The genes of one chromosome and one strand class, by list position.
  struct Group {
    interval::IvIndex<uint32_t> spans;
    std::vector<std::pair<uint64_t, uint32_t>> by_end;   // (end, position), ascending
    std::vector<std::pair<uint64_t, uint32_t>> by_start; // (start, position), ascending

    void build(std::vector<interval::Interval<uint32_t>> genes);
    // The earliest gene in list order overlapping [start, end].
    std::optional<uint32_t> first_overlap(uint64_t start, uint64_t end) const;
    // The nearest gene lying wholly before or after [start, end], with its gap.
    std::optional<std::pair<uint32_t, uint64_t>> nearest_apart(uint64_t start, uint64_t end) const;
  };
  struct Chrom {
    Group all, plus, minus;
  };

  std::span<const gtf::GeneBody> genes_;
  std::map<std::string, Chrom, std::less<>> chroms_;
};

} // namespace voskel::leak
