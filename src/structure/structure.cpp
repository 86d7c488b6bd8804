#include "structure/structure.hpp"

#include <functional>
#include <unordered_map>

#include "bam/reader.hpp"
#include "binding.hpp"
#include "fasta.hpp"
#include "gtf.hpp"
#include "interrupt.hpp"
#include "paths.hpp"
#include "structure/rows.hpp"
#include "sys_mem.hpp"
#include "table.hpp"
#include "textio.hpp"

namespace voskel::structure {

Result<SampleScan> scan_one_sample(const SampleIn &sample, const StructCfg &cfg,
                                   std::span<const LocusPrep> loci) {
  SampleScan out;
  if (sample.bam.empty())
    return out;
  out.has_bam = true;
  auto reader = bam::open_indexed(sample.bam);
  if (!reader)
    return fail(std::move(reader.error()));
  const coverage::ScanSettings settings{
      cfg.discontinuity_valley_bp,
      cfg.discontinuity_window_bp,
      bam::parse_strandedness(cfg.strandedness),
      cfg.filter.min_mapq,
      bam::skip_duplicates(cfg.filter.skip_duplicate, sample.dup_flag_seen),
      cfg.filter.require_unique_nh,
  };
  std::vector<coverage::LocusQuery> queries;
  queries.reserve(loci.size());
  for (const LocusPrep &locus : loci)
    queries.push_back({locus.transcript, locus.gap, locus.neighbour_exons});
  auto cov = coverage::scan_sample_loci(*reader, sample.bam, queries, settings);
  if (!cov)
    return fail(std::move(cov.error()));
  out.loci = std::move(*cov);
  return out;
}

namespace {

// The representatives pairs this scan keeps: both the locus and the transcript named.
Result<std::vector<table::RepPair>> read_pairs(const std::string &path) {
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return fail_fmt("cannot open representatives {}: {}", path, reader.error().text());
  auto pairs = table::read_representatives(*reader);
  if (!pairs)
    return fail(std::move(pairs.error()));
  std::erase_if(*pairs, [](const table::RepPair &p) { return p.locus_id.empty(); });
  return pairs;
}

// Rows locus-major: every sample's row of the first locus, in sample order, then the next.
Status write_rows(const std::string &out_tsv, std::span<const LocusPrep> loci,
                  std::span<const SampleIn> samples, std::span<const SampleScan> scans) {
  const auto &names = header();
  auto out = table::TsvWriter::create(out_tsv, names);
  if (!out)
    return fail(std::move(out.error()));
  Row row;
  for (size_t k = 0; k < loci.size(); ++k) {
    if (samples.empty()) {
      sampleless_row(loci[k], row);
      if (auto st = out->row(row); !st)
        return st;
      continue;
    }
    for (size_t i = 0; i < samples.size(); ++i) {
      const coverage::LocusCoverage *cov = scans[i].has_bam ? &scans[i].loci[k] : nullptr;
      feature_row(loci[k], samples[i].sample_id, cov, row);
      if (auto st = out->row(row); !st)
        return st;
    }
  }
  return out->close();
}

} // namespace

Result<uint64_t> structure_scan(const std::string &merged_gtf, const std::string &ref_gtf,
                                const std::string &class_tsv, // accepted, never read
                                const std::string &representatives_tsv, const std::string &fasta,
                                std::string_view samples_json, const std::string &out_tsv,
                                std::string_view cfg_json) {
  auto cfg = binding::parse<StructCfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  auto doc = binding::parse<SamplesJson>(samples_json);
  if (!doc)
    return fail(std::move(doc.error()));
  {
    const std::string outputs[] = {out_tsv};
    std::vector<std::string> inputs{merged_gtf,          ref_gtf, class_tsv,
                                    representatives_tsv, fasta,   fasta + ".fai"};
    for (const SampleIn &s : doc->samples)
      paths::add_bam_inputs(inputs, s.bam);
    if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
      return fail(std::move(st.error()));
  }
  auto merged = gtf::parse_gtf(merged_gtf);
  if (!merged)
    return fail(std::move(merged.error()));
  auto ref = gtf::parse_gtf(ref_gtf);
  if (!ref)
    return fail(std::move(ref.error()));
  std::unordered_map<std::string_view, const gtf::Transcript *> by_id;
  by_id.reserve(merged->transcripts.size());
  for (const auto &t : merged->transcripts)
    by_id.emplace(t.transcript_id, &t);
  auto pairs = read_pairs(representatives_tsv);
  if (!pairs)
    return fail(std::move(pairs.error()));
  auto genome = fasta::FastaIndex::open(fasta);
  if (!genome)
    return fail(std::move(genome.error()));

  const RefLookups lookups = build_ref_lookups(*ref);
  const bool strand_blind = cfg->strandedness == "unstranded";
  std::vector<LocusPrep> loci;
  loci.reserve(pairs->size());
  for (auto &pair : *pairs) {
    if (auto go = interrupt::checkpoint(); !go)
      return fail(std::move(go.error()));
    const auto it = by_id.find(pair.transcript_id);
    if (it == by_id.end())
      continue; // still counted as scanned
    loci.push_back(
        prepare_locus(std::move(pair.locus_id), *it->second, lookups, *genome, strand_blind));
  }
  const uint64_t n_loci_scanned = pairs->size();

  const auto &samples = doc->samples;
  std::vector<SampleScan> scans;
  if (!samples.empty()) {
    const std::function<Result<SampleScan>(size_t)> job = [&](size_t i) {
      return scan_one_sample(samples[i], *cfg, loci);
    };
    auto results = sys_mem::run_bam_jobs<SampleScan>(cfg->threads, samples.size(), job);
    if (!results)
      return fail(std::move(results.error()));
    scans = std::move(*results);
  }

  // The last look at the interrupt flag: once writing starts, the table is written.
  if (auto go = interrupt::checkpoint(); !go)
    return fail(std::move(go.error()));
  if (auto st = write_rows(out_tsv, loci, samples, scans); !st)
    return fail(std::move(st.error()));
  return n_loci_scanned;
}

} // namespace voskel::structure
