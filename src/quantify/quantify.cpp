#include "quantify/quantify.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <functional>

#include "binding.hpp"
#include "cells.hpp"
#include "sys_mem.hpp"
#include "table.hpp"
#include "textio.hpp"

namespace voskel::quantify {

using geometry::Span;

QuantIndex build_quant_index(const gtf::ParsedGtf &gtf) {
  QuantIndex ix;
  const auto &txs = gtf.transcripts;

  // Locus ids in byte order of their texts, so rows come out sorted by id.
  std::vector<std::string_view> loci;
  loci.reserve(txs.size());
  for (const auto &t : txs)
    loci.push_back(t.gene_id);
  std::sort(loci.begin(), loci.end());
  loci.erase(std::unique(loci.begin(), loci.end()), loci.end());
  ix.locus_ids = std::move(loci);

  ix.tx_ids.reserve(txs.size());
  ix.tx_locus.reserve(txs.size());
  for (const auto &t : txs) {
    ix.tx_ids.push_back(t.transcript_id);
    const auto it =
        std::lower_bound(ix.locus_ids.begin(), ix.locus_ids.end(), std::string_view(t.gene_id));
    ix.tx_locus.push_back(static_cast<uint32_t>(it - ix.locus_ids.begin()));
  }

  std::map<std::string_view, std::vector<interval::Interval<ExonHit>>> by_chrom;
  ix.introns.assign(ix.locus_ids.size(), {});
  for (size_t i = 0; i < txs.size(); ++i) {
    const auto &t = txs[i];
    const ExonHit hit{static_cast<uint32_t>(i), ix.tx_locus[i], t.strand};
    auto &ivs = by_chrom[t.chrom];
    for (const auto &e : t.exons)
      ivs.push_back({hit, e.start, e.end});
    auto introns = geometry::transcript_introns(t);
    auto &set = ix.introns[ix.tx_locus[i]];
    set.insert(set.end(), introns.begin(), introns.end());
  }
  for (auto &set : ix.introns) {
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
  }
  for (auto &[chrom, ivs] : by_chrom)
    ix.exons.emplace(std::string(chrom),
                     interval::IvIndex<ExonHit>::from_intervals(std::move(ivs)));
  return ix;
}

namespace {

// The blocks of one fragment meet the same few transcripts again and again: keeping the list
// free of repeats while it is short makes the later sort trivial.
void add_hit(std::vector<Hit> &out, Hit h) {
  if (out.size() <= 32 && std::find(out.begin(), out.end(), h) != out.end())
    return;
  out.push_back(h);
}

} // namespace

void compatible_hits(const fragment::Read &read, RefMap &refs, bam::Strandedness strand,
                     std::vector<Hit> &out) {
  if (read.tid < 0 || static_cast<size_t>(read.tid) >= refs.size())
    return;
  RefSlot &ref = refs[read.tid];
  if (!ref.exons)
    return;
  const auto want = static_cast<char32_t>(bam::protocol_strand(read.flag, strand));
  for (const Span &b : read.blocks)
    ref.exons->overlapping(ref.cursor, b.start, b.end, [&](const auto &iv) {
      const ExonHit &h = iv.payload;
      if (want == 0 || h.strand == want || h.strand == U'.')
        add_hit(out, Hit{h.locus, h.tx});
    });
}

namespace {

bool locus_keeps(uint32_t locus, std::span<const Span> introns, const IntronMap &intron_map) {
  if (locus >= intron_map.size())
    return true;
  const auto &set = intron_map[locus];
  if (set.empty())
    return true;
  for (const Span &in : introns)
    if (std::binary_search(set.begin(), set.end(), in))
      return true;
  return false;
}

} // namespace

void count_fragment(std::vector<Hit> &hits, std::span<const Span> introns,
                    const IntronMap &intron_map, SampleCounts &counts) {
  if (hits.empty())
    return;
  if (hits.size() <= 16) {
    // Hits of one fragment are few: insertion sort beats the general sort here.
    for (size_t i = 1; i < hits.size(); ++i)
      for (size_t j = i; j > 0 && hits[j] < hits[j - 1]; --j)
        std::swap(hits[j], hits[j - 1]);
  } else {
    std::sort(hits.begin(), hits.end());
  }
  hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
  if (!intron_map.empty()) {
    // Hits are grouped by locus; keep or drop each group whole.
    size_t kept = 0;
    for (size_t i = 0; i < hits.size();) {
      size_t j = i;
      while (j < hits.size() && hits[j].locus == hits[i].locus)
        ++j;
      if (locus_keeps(hits[i].locus, introns, intron_map))
        for (size_t k = i; k < j; ++k)
          hits[kept++] = hits[k];
      i = j;
    }
    hits.resize(kept);
  }
  if (hits.empty() || hits.front().locus != hits.back().locus)
    return;
  counts.locus[hits.front().locus] += 1.0;
  const double share = 1.0 / static_cast<double>(hits.size());
  for (const Hit &h : hits)
    counts.tx[h.tx] += share;
}

namespace {

// The fragment action of quantification; buffers are reused from fragment to fragment.
struct CountAction {
  RefMap &refs;
  const IntronMap &intron_map;
  bam::Strandedness strand;
  SampleCounts &counts;
  std::vector<Hit> hits;
  std::vector<Span> introns;

  void operator()(const fragment::Read &r) {
    hits.clear();
    compatible_hits(r, refs, strand, hits);
    count_fragment(hits, r.introns, intron_map, counts);
  }
  void operator()(const fragment::Read &cur, const fragment::Read &mate) {
    hits.clear();
    compatible_hits(cur, refs, strand, hits);
    compatible_hits(mate, refs, strand, hits);
    if (hits.empty())
      return;
    introns.assign(cur.introns.begin(), cur.introns.end());
    introns.insert(introns.end(), mate.introns.begin(), mate.introns.end());
    count_fragment(hits, introns, intron_map, counts);
  }
};

} // namespace

Result<SampleCounts> quantify_one_sample(const SampleIn &sample, const QuantCfg &cfg,
                                         const QuantIndex &index) {
  auto reader = bam::SequentialReader::open(sample.bam);
  if (!reader)
    return fail(std::move(reader.error()));

  // htslib's lookup takes a mutable header but only reads it.
  auto *hdr = const_cast<sam_hdr_t *>(reader->header());
  const int nref = sam_hdr_nref(hdr);
  RefMap refs(nref > 0 ? static_cast<size_t>(nref) : 0);
  for (const auto &[name, exons] : index.exons) {
    const int tid = sam_hdr_name2tid(hdr, name.c_str());
    if (tid >= 0 && tid < nref)
      refs[tid].exons = &exons;
  }

  const bam::RecordFilter filter = bam::record_filter(cfg.filter, sample.dup_flag_seen);
  fragment::AssemblyCfg acfg;
  acfg.single_layout = cfg.library_layout == "single";

  SampleCounts counts;
  counts.locus.assign(index.locus_ids.size(), 0.0);
  counts.tx.assign(index.tx_ids.size(), 0.0);
  CountAction action{refs, index.introns, bam::parse_strandedness(cfg.strandedness), counts, {},
                     {}};
  auto dropped = fragment::stream_fragments(*reader, filter, acfg, action);
  if (!dropped)
    return fail(std::move(dropped.error()));
  counts.dropped = *dropped;
  return counts;
}

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
      len += e.end - e.start + 1;
    tx_len[t] = static_cast<double>(len);
    of_locus[index.tx_locus[t]].push_back(&txs[t]);
  }
  std::vector<double> locus_len(nloci);
  for (size_t l = 0; l < nloci; ++l)
    locus_len[l] = static_cast<double>(gtf::union_len(of_locus[l]));

  std::vector<double> locus_counts(nloci * ns, 0.0);
  std::vector<double> tx_counts(ntx * ns, 0.0);
  uint64_t dropped = 0;
  if (ns > 0) {
    const std::function<Result<SampleCounts>(size_t)> job = [&](size_t i) {
      return quantify_one_sample(samples[i], *cfg, index);
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

  const Normalised locus_norm = normalise(locus_counts, locus_len, ns);
  const Normalised tx_norm = normalise(tx_counts, tx_len, ns);

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
          join_path(out_dir, "locus_counts.tsv"), locus_header, nloci, ns, locus_lead,
          [&](size_t l, size_t i) { return cells::shortest_plain(locus_counts[l * ns + i]); });
      !st)
    return fail(std::move(st.error()));
  if (auto st = write_table(
          join_path(out_dir, "locus_tpm.tsv"), locus_header, nloci, ns, locus_lead,
          [&](size_t l, size_t i) {
            return cells::fixed6(tpm(locus_norm.rates[l * ns + i], locus_norm.totals[i]));
          });
      !st)
    return fail(std::move(st.error()));
  if (auto st =
          write_table(join_path(out_dir, "transcript_counts.tsv"), tx_header, ntx, ns, tx_lead,
                      [&](size_t t, size_t i) { return cells::fixed6(tx_counts[t * ns + i]); });
      !st)
    return fail(std::move(st.error()));
  if (auto st =
          write_table(join_path(out_dir, "transcript_tpm.tsv"), tx_header, ntx, ns, tx_lead,
                      [&](size_t t, size_t i) {
                        return cells::fixed6(tpm(tx_norm.rates[t * ns + i], tx_norm.totals[i]));
                      });
      !st)
    return fail(std::move(st.error()));

  return QuantSummary{ntx, nloci, dropped};
}

} // namespace voskel::quantify
