// The leak scan: the junction census of every sample merged into one table of junctions that
// enough samples support and the annotation does not hold, each described against the control
// and treatment groups and its nearest gene.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "documents.hpp"
#include "error.hpp"
#include "gtf.hpp"
#include "leak/census.hpp"
#include "leak/gene_context.hpp"

namespace voskel::leak {

// The introns of every annotated transcript, with its chromosome and strand.
class AnnotatedIntrons {
public:
  // Keeps views into `gtf`, which must outlive the set.
  explicit AnnotatedIntrons(const gtf::ParsedGtf &gtf);
  bool contains(std::string_view chrom, uint64_t start, uint64_t end, char32_t strand) const;
  // Whether the annotation knows the junction: exactly, or for a strand-blind junction on
  // either strand.
  bool holds(const JuncKey &j, bool strand_blind) const;

private:
  using Key = std::tuple<std::string_view, uint64_t, uint64_t, char32_t>;
  std::vector<Key> keys_; // sorted, unique
};

// One reported junction.
struct LeakRow {
  JuncKey junction;
  GeneContext context;
  uint64_t control_max = 0;
  uint64_t support_sum = 0;
  uint64_t n_detected = 0;
  uint64_t treat_sum = 0;
  uint64_t treat_n_detected = 0;
  uint64_t control_n_detected = 0;
  std::string_view cohort;      // "cohort", "shared" or "silent"
  std::vector<uint64_t> counts; // one per sample, in document order
};

// Every junction of the censuses (one per sample, in document order), in JuncKey order,
// through the support thresholds and the annotation check, described as a row.
std::vector<LeakRow> leak_rows(std::span<const Census> censuses, std::span<const SampleIn> samples,
                               const LeakCfg &cfg, const AnnotatedIntrons &annotated,
                               const GeneIndex &genes);

// The header: 20 fixed columns, then "{sample_id}_count" per sample.
std::vector<std::string> leak_header(std::span<const SampleIn> samples);
// The cells of one row, in header order.
void leak_cells(const LeakRow &row, std::vector<std::string> &out);

struct LeakSummary {
  uint64_t n_leak = 0;
  uint64_t dropped_fragments = 0;
};

Result<LeakSummary> leak_scan(const std::string &merged_gtf, std::string_view samples_json,
                              const std::string &out_tsv, std::string_view cfg_json);

} // namespace voskel::leak
