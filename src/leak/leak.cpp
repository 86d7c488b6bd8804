#include "leak/leak.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "binding.hpp"
#include "fasta.hpp"
#include "geometry.hpp"
#include "interrupt.hpp"
#include "paths.hpp"
#include "sys_mem.hpp"
#include "table.hpp"

namespace voskel::leak {

AnnotatedIntrons::AnnotatedIntrons(const gtf::ParsedGtf &gtf) {
  for (const gtf::Transcript &t : gtf.transcripts)
    for (const geometry::Span &in : geometry::transcript_introns(t))
      keys_.emplace_back(t.chrom, in.start, in.end, t.strand);
  std::sort(keys_.begin(), keys_.end());
  keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
}

bool AnnotatedIntrons::contains(std::string_view chrom, uint64_t start, uint64_t end,
                                char32_t strand) const {
  return std::binary_search(keys_.begin(), keys_.end(), Key{chrom, start, end, strand});
}

bool AnnotatedIntrons::holds(const JuncKey &j, bool strand_blind) const {
  const auto on = [&](char32_t s) { return contains(j.chrom, j.start, j.end, s); };
  return on(static_cast<unsigned char>(j.strand)) || (strand_blind && (on(U'+') || on(U'-')));
}

namespace {

// The junction list: every key of every census once, ascending.
std::vector<const JuncKey *> junction_list(std::span<const Census> censuses) {
  std::vector<const JuncKey *> keys;
  for (const Census &c : censuses)
    for (const auto &[key, n] : c.counts)
      keys.push_back(&key);
  const auto less = [](const JuncKey *a, const JuncKey *b) { return *a < *b; };
  std::sort(keys.begin(), keys.end(), less);
  keys.erase(std::unique(keys.begin(), keys.end(),
                         [](const JuncKey *a, const JuncKey *b) { return *a == *b; }),
             keys.end());
  return keys;
}

std::vector<size_t> group_members(std::span<const SampleIn> samples, std::string_view group) {
  std::vector<size_t> out;
  for (size_t i = 0; i < samples.size(); ++i)
    if (samples[i].group == group)
      out.push_back(i);
  return out;
}

} // namespace

std::vector<LeakRow> leak_rows(std::span<const Census> censuses, std::span<const SampleIn> samples,
                               const LeakCfg &cfg, const AnnotatedIntrons &annotated,
                               const GeneIndex &genes) {
  const bool unstranded = cfg.strandedness == "unstranded";
  const std::vector<size_t> control = group_members(samples, "control");
  const std::vector<size_t> treat = group_members(samples, "treat");
  // Each census is sorted like the junction list: one cursor per sample walks it alongside.
  std::vector<size_t> cursor(censuses.size(), 0);
  std::vector<uint64_t> counts(censuses.size());
  std::vector<LeakRow> rows;
  for (const JuncKey *key : junction_list(censuses)) {
    uint64_t support = 0, detected = 0;
    for (size_t i = 0; i < censuses.size(); ++i) {
      const JunctionCounts &c = censuses[i].counts;
      size_t &at = cursor[i];
      counts[i] = 0;
      if (at < c.size() && c[at].first == *key)
        counts[i] = c[at++].second;
      support += counts[i];
      detected += counts[i] > 0;
    }
    if (detected < cfg.min_samples || support < cfg.min_support)
      continue;
    const bool strand_blind = unstranded || key->strand == '.';
    if (annotated.holds(*key, strand_blind))
      continue;
    LeakRow row;
    row.junction = *key;
    row.support_sum = support;
    row.n_detected = detected;
    for (const size_t i : control) {
      row.control_max = std::max(row.control_max, counts[i]);
      row.control_n_detected += counts[i] > 0;
    }
    for (const size_t i : treat) {
      row.treat_sum += counts[i];
      row.treat_n_detected += counts[i] > 0;
    }
    row.cohort = control.empty()                             ? "cohort"
                 : row.control_max > cfg.max_control_support ? "shared"
                                                             : "silent";
    row.context = genes.context(key->chrom, key->start, key->end, key->strand, strand_blind);
    row.counts = counts;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::string> leak_header(std::span<const SampleIn> samples) {
  std::vector<std::string> h{"chrom",
                             "start",
                             "end",
                             "strand",
                             "intron_nt",
                             "status",
                             "merged_locus",
                             "merged_class",
                             "overlaps_gene",
                             "nearest_gene_id",
                             "nearest_gene_name",
                             "nearest_distance_bp",
                             "nearest_strand",
                             "control_max",
                             "support_sum",
                             "n_detected",
                             "treat_sum",
                             "treat_n_detected",
                             "control_n_detected",
                             "cohort"};
  for (const SampleIn &s : samples)
    h.push_back(fmt::format("{}_count", s.sample_id));
  return h;
}

void leak_cells(const LeakRow &row, std::vector<std::string> &out) {
  const JuncKey &j = row.junction;
  const gtf::GeneBody *g = row.context.nearest;
  const auto num = [&](uint64_t v) { out.push_back(fmt::format("{}", v)); };
  out.clear();
  out.push_back(j.chrom);
  num(j.start);
  num(j.end);
  out.emplace_back(1, j.strand);
  num(j.end - j.start + 1);
  out.emplace_back("unassembled");
  out.emplace_back();
  out.emplace_back();
  out.emplace_back(row.context.overlaps_gene ? "true" : "false");
  if (g != nullptr) {
    out.push_back(g->gene_id);
    out.push_back(g->gene_name);
    num(row.context.distance);
    out.push_back(gtf::strand_text(g->strand));
  } else {
    out.insert(out.end(), 4, std::string());
  }
  num(row.control_max);
  num(row.support_sum);
  num(row.n_detected);
  num(row.treat_sum);
  num(row.treat_n_detected);
  num(row.control_n_detected);
  out.emplace_back(row.cohort);
  for (const uint64_t n : row.counts)
    num(n);
}

Result<LeakSummary> leak_scan(const std::string &merged_gtf, std::string_view samples_json,
                              const std::string &out_tsv, std::string_view cfg_json) {
  auto cfg = binding::parse<LeakCfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  auto doc = binding::parse<SamplesJson>(samples_json);
  if (!doc)
    return fail(std::move(doc.error()));
  const std::vector<SampleIn> &samples = doc->samples;
  {
    const std::string outputs[] = {out_tsv};
    std::vector<std::string> inputs{merged_gtf};
    if (!cfg->fasta.empty()) {
      inputs.push_back(cfg->fasta + ".fai");
      inputs.push_back(cfg->fasta);
    }
    for (const SampleIn &s : samples)
      paths::add_bam_inputs(inputs, s.bam);
    if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
      return fail(std::move(st.error()));
  }
  if (samples.empty()) {
    const std::vector<std::string> header{"chrom"};
    if (auto st = table::write_tsv(out_tsv, header, {}); !st)
      return fail(std::move(st.error()));
    return LeakSummary{};
  }

  auto gtf = gtf::parse_gtf(merged_gtf);
  if (!gtf)
    return fail(std::move(gtf.error()));
  const AnnotatedIntrons annotated(*gtf);
  std::optional<fasta::FastaIndex> genome;
  if (!cfg->fasta.empty()) {
    auto opened = fasta::FastaIndex::open(cfg->fasta);
    if (!opened)
      return fail(std::move(opened.error()));
    genome.emplace(std::move(*opened));
  }

  const fasta::FastaIndex *shared = genome ? &*genome : nullptr;
  const bam::DecodePool pool(sys_mem::decode_threads(cfg->threads, samples.size()));
  const std::function<Result<Census>(size_t)> job = [&](size_t i) {
    return census_one_sample(samples[i], *cfg, shared, &pool);
  };
  auto censuses = sys_mem::run_bam_jobs<Census>(cfg->threads, samples.size(), job);
  if (!censuses)
    return fail(std::move(censuses.error()));
  uint64_t dropped = 0;
  for (const Census &c : *censuses)
    dropped += c.dropped;

  const GeneIndex genes(gtf->genes);
  const std::vector<LeakRow> rows = leak_rows(*censuses, samples, *cfg, annotated, genes);

  // The last look at the interrupt flag: once writing starts, the table is written.
  if (auto go = interrupt::checkpoint(); !go)
    return fail(std::move(go.error()));
  auto out = table::TsvWriter::create(out_tsv, leak_header(samples));
  if (!out)
    return fail(std::move(out.error()));
  std::vector<std::string> cells;
  for (const LeakRow &row : rows) {
    leak_cells(row, cells);
    if (auto st = out->row(std::span<const std::string>(cells)); !st)
      return fail(std::move(st.error()));
  }
  if (auto st = out->close(); !st)
    return fail(std::move(st.error()));
  return LeakSummary{rows.size(), dropped};
}

} // namespace voskel::leak
