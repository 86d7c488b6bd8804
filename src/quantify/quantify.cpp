#include "quantify/quantify.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <new>

#include "bam/reader.hpp"
#include "binding.hpp"
#include "cells.hpp"
#include "coords.hpp"
#include "interrupt.hpp"
#include "paths.hpp"
#include "sys_mem.hpp"
#include "table.hpp"
#include "textio.hpp"

namespace voskel::quantify {

namespace {

std::string join_path(const std::string &dir, std::string_view name) {
  if (dir.empty())
    return std::string(name);
  if (dir.back() == '/')
    return dir + std::string(name);
  return dir + "/" + std::string(name);
}

// Rates (count / length) of a row-major matrix and their per-sample totals.
struct Normalised {
  std::vector<double> rates;
  std::vector<double> totals;
};

Normalised normalise(const std::vector<double> &counts, const std::vector<double> &lengths,
                     size_t ns) {
  Normalised n;
  n.rates.resize(counts.size());
  n.totals.assign(ns, 0.0);
  for (size_t r = 0; r < lengths.size(); ++r) {
    const double len = std::max(lengths[r], 1.0);
    for (size_t i = 0; i < ns; ++i) {
      n.rates[r * ns + i] = counts[r * ns + i] / len;
      n.totals[i] += n.rates[r * ns + i];
    }
  }
  return n;
}

double tpm(double rate, double total) { return total > 0.0 ? (rate / total) * 1'000'000.0 : 0.0; }

// Writes one table of `nrows` rows: the leading id columns, then one formatted value per sample.
template <class Lead, class Value>
Status write_table(const std::string &path, const std::vector<std::string> &header, size_t nrows,
                   size_t ns, Lead &&lead, Value &&value) {
  auto w = table::TsvWriter::create(path, header);
  if (!w)
    return fail(std::move(w.error()));
  std::vector<std::string> fields;
  for (size_t r = 0; r < nrows; ++r) {
    fields.clear();
    lead(r, fields);
    for (size_t i = 0; i < ns; ++i)
      fields.push_back(value(r, i));
    if (auto st = w->row(std::span<const std::string>(fields)); !st)
      return st;
  }
  return w->close();
}

} // namespace

Result<QuantSummary> quantify_gtf(const std::string &merged_gtf, std::string_view samples_json,
                                  const std::string &out_dir, std::string_view cfg_json) {
  auto cfg = binding::parse<QuantCfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  auto doc = binding::parse<SamplesJson>(samples_json);
  if (!doc)
    return fail(std::move(doc.error()));
  const std::array<std::string, 4> outputs = {
      join_path(out_dir, "locus_counts.tsv"), join_path(out_dir, "locus_tpm.tsv"),
      join_path(out_dir, "transcript_counts.tsv"), join_path(out_dir, "transcript_tpm.tsv")};
  {
    std::vector<std::string> inputs{merged_gtf};
    for (const SampleIn &s : doc->samples)
      paths::add_bam_inputs(inputs, s.bam);
    if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
      return fail(std::move(st.error()));
  }
  auto gtf = gtf::parse_gtf(merged_gtf);
  if (!gtf)
    return fail(std::move(gtf.error()));

  const QuantIndex index = build_quant_index(*gtf);
  const auto &txs = gtf->transcripts;
  const size_t ntx = txs.size();
  const size_t nloci = index.locus_ids.size();
  const auto &samples = doc->samples;
  const size_t ns = samples.size();

  // Exonic length of each transcript (overlapping exons count twice) and union length of
  // each locus.
  std::vector<double> tx_len(ntx);
  std::vector<std::vector<const gtf::Transcript *>> of_locus(nloci);
  for (size_t t = 0; t < ntx; ++t) {
    uint64_t len = 0;
    for (const auto &e : txs[t].exons)
      len = coords::sat_add(len, coords::span_len(e.start, e.end));
    tx_len[t] = static_cast<double>(len);
    of_locus[index.tx_locus[t]].push_back(&txs[t]);
  }
  std::vector<double> locus_len(nloci);
  for (size_t l = 0; l < nloci; ++l)
    locus_len[l] = static_cast<double>(gtf::union_len(of_locus[l]));

  // The counts grow with samples times transcripts: a product larger than memory is a
  // failure of these inputs, not an internal one.
  std::vector<double> locus_counts, tx_counts;
  Normalised locus_norm, tx_norm;
  uint64_t dropped = 0;
  try {
    locus_counts.assign(nloci * ns, 0.0);
    tx_counts.assign(ntx * ns, 0.0);
    if (ns > 0) {
      const bam::DecodePool pool(sys_mem::decode_threads(cfg->threads, ns));
      const std::function<Result<SampleCounts>(size_t)> job = [&](size_t i) {
        return quantify_one_sample(samples[i], *cfg, index, &pool);
      };
      auto results = sys_mem::run_bam_jobs<SampleCounts>(cfg->threads, ns, job);
      if (!results)
        return fail(std::move(results.error()));
      for (size_t i = 0; i < ns; ++i) {
        const SampleCounts &c = (*results)[i];
        dropped += c.dropped;
        for (size_t l = 0; l < nloci; ++l)
          locus_counts[l * ns + i] = c.locus[l];
        for (size_t t = 0; t < ntx; ++t)
          tx_counts[t * ns + i] = c.tx[t];
      }
    }
    locus_norm = normalise(locus_counts, locus_len, ns);
    tx_norm = normalise(tx_counts, tx_len, ns);
  } catch (const std::bad_alloc &) {
    return fail_fmt("{}: counts of {} transcripts in {} samples do not fit in memory", merged_gtf,
                    ntx, ns);
  }

  // The last look at the interrupt flag: once writing starts, all four tables are written.
  if (auto go = interrupt::checkpoint(); !go)
    return fail(std::move(go.error()));
  if (auto st = textio::create_dirs(out_dir); !st)
    return fail(std::move(st.error()));

  std::vector<std::string> locus_header{"locus_id"};
  std::vector<std::string> tx_header{"transcript_id", "locus_id"};
  for (const auto &s : samples) {
    locus_header.push_back(s.sample_id);
    tx_header.push_back(s.sample_id);
  }
  const auto locus_lead = [&](size_t l, std::vector<std::string> &f) {
    f.emplace_back(index.locus_ids[l]);
  };
  const auto tx_lead = [&](size_t t, std::vector<std::string> &f) {
    f.emplace_back(index.tx_ids[t]);
    f.emplace_back(index.locus_ids[index.tx_locus[t]]);
  };

  // Transcripts are already in ascending id order (the GTF model's order), loci by
  // construction of the index.
  if (auto st = write_table(
          outputs[0], locus_header, nloci, ns, locus_lead,
          [&](size_t l, size_t i) { return cells::shortest_plain(locus_counts[l * ns + i]); });
      !st)
    return fail(std::move(st.error()));
  if (auto st = write_table(outputs[1], locus_header, nloci, ns, locus_lead,
                            [&](size_t l, size_t i) {
                              return cells::fixed6(
                                  tpm(locus_norm.rates[l * ns + i], locus_norm.totals[i]));
                            });
      !st)
    return fail(std::move(st.error()));
  if (auto st =
          write_table(outputs[2], tx_header, ntx, ns, tx_lead,
                      [&](size_t t, size_t i) { return cells::fixed6(tx_counts[t * ns + i]); });
      !st)
    return fail(std::move(st.error()));
  if (auto st =
          write_table(outputs[3], tx_header, ntx, ns, tx_lead,
                      [&](size_t t, size_t i) {
                        return cells::fixed6(tpm(tx_norm.rates[t * ns + i], tx_norm.totals[i]));
                      });
      !st)
    return fail(std::move(st.error()));

  return QuantSummary{ntx, nloci, dropped};
}

} // namespace voskel::quantify
