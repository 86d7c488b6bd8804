#include "preflight.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "bam/checks.hpp"
#include "bam/family.hpp"
#include "bam/reader.hpp"
#include "binding.hpp"
#include "fasta.hpp"
#include "fd.hpp"
#include "gtf.hpp"
#include "interrupt.hpp"
#include "quoting.hpp"
#include "sys_mem.hpp"

namespace voskel::preflight {

namespace {

// How far into each file the scans look, in primary mapped records: the sort order, the layout.
constexpr uint64_t kOrderRecords = 10000;
constexpr uint64_t kLayoutRecords = 100000;

using gtf::NameSet;

// What the checks carry from one to the next; the report is filled in place.
struct Run {
  const types::PreflightInput &input;
  types::PreflightReport &report;
  std::vector<std::pair<std::string, uint64_t>> fai;       // index order
  std::map<std::string, uint64_t, std::less<>> fai_length; // a repeated name keeps its last
  NameSet gtf_names;
  bam::SqDict first_sq;
  NameSet families;
  NameSet layouts;
  // Decompression threads for every reader of the run, which reads one file at a time.
  const bam::DecodePool &decode;
};

// The JSON reader's own description: the error text without its "invalid JSON: " lead.
std::string_view json_description(const CoreError &e) {
  std::string_view text = e.text();
  constexpr std::string_view kLead = "invalid JSON: ";
  if (text.starts_with(kLead))
    text.remove_prefix(kLead.size());
  return text;
}

// Field values, counts and the settings that concern the whole sheet.
Status check_sheet(Run &run) {
  const types::PreflightInput &in = run.input;
  types::PreflightReport &report = run.report;
  if (in.samples.empty())
    return fail_msg("sample sheet is empty");
  std::map<std::string_view, uint64_t> groups;
  NameSet strands;
  for (const types::SampleIn &s : in.samples) {
    if (s.sample_id.empty())
      return fail_msg("sample_id is empty");
    if (s.group != "" && s.group != "control" && s.group != "treat")
      return fail_fmt("sample {} has group {}; only control|treat are accepted (no case/ko/wt "
                      "aliases)",
                      s.sample_id, quoting::quote(s.group));
    if (s.strandedness != "fr" && s.strandedness != "rf" && s.strandedness != "unstranded")
      return fail_fmt("sample {} has strandedness {}; only unstranded|fr|rf", s.sample_id,
                      quoting::quote(s.strandedness));
    ++groups[s.group];
    strands.insert(s.strandedness);
  }
  report.n_control = groups["control"];
  report.n_treat = groups["treat"];
  if (in.samples.size() < 2)
    return fail_fmt("need at least 2 samples for residual harvest (got {})", in.samples.size());
  if (strands.size() != 1)
    return fail_fmt("all samples must share the same strandedness; got {}",
                    quoting::braced(strands));
  report.strandedness = *strands.begin();
  if (in.de_enabled && (report.n_control < 2 || report.n_treat < 2))
    return fail_fmt("de.enabled requires \u2265"
                    "2 control and \u2265"
                    "2 treat (got control={} treat={})",
                    report.n_control, report.n_treat);
  return {};
}

Status load_references(Run &run, const std::string &fasta, const std::string &annotation_gtf) {
  auto fai = fasta::load_fai(fasta);
  if (!fai)
    return fail(std::move(fai.error()));
  run.fai = std::move(*fai);
  for (const auto &[name, length] : run.fai)
    run.fai_length.insert_or_assign(name, length);
  auto names = gtf::gtf_seqnames(annotation_gtf);
  if (!names)
    return fail(std::move(names.error()));
  run.gtf_names = std::move(*names);
  return {};
}

// The reference dictionary against the genome index: every contig known, every length equal.
Status check_against_fai(const Run &run, const bam::SqDict &sq) {
  for (const auto &[name, length] : sq) {
    const auto it = run.fai_length.find(name);
    if (it == run.fai_length.end()) {
      std::vector<std::string_view> bam_names;
      for (const auto &e : sq)
        bam_names.push_back(e.first);
      std::vector<std::string_view> fai_names;
      for (const auto &e : run.fai)
        fai_names.push_back(e.first);
      return fail_fmt("BAM contig {} is not in FASTA .fai (BAM e.g. {}, FASTA e.g. {}). Names "
                      "must match literally.",
                      name, quoting::bracketed(bam_names, 5), quoting::bracketed(fai_names, 5));
    }
    if (it->second != length)
      return fail_fmt("contig {} LN={} but FASTA .fai has {}", name, length, it->second);
  }
  return {};
}

// Every check of one sample's BAM, in order. Its readers live in this scope and are
// released when the sample's checks end, passed or failed.
Status check_sample(Run &run, size_t index) {
  const types::SampleIn &sample = run.input.samples[index];
  const std::string &id = sample.sample_id;
  const std::string &path = sample.bam;
  const auto sample_fail = [&](const CoreError &e) {
    return fail_fmt("sample {}: {}", id, e.text());
  };

  // A path with a NUL byte is not missing: the integrity check names it as unreadable.
  if (const auto st = fd::status(path); !st && st.error() != error::kPathHasNul)
    return fail_fmt("sample {}: BAM not found: {}", id, path);
  if (auto ok = bam::validate_bam_integrity(path); !ok)
    return sample_fail(ok.error());

  std::string header;
  {
    auto indexed = bam::open_indexed(path, &run.decode);
    if (!indexed)
      return sample_fail(indexed.error());
    header = bam::header_text(*indexed);
  } // only the header was needed

  bam::SqDict sq = bam::parse_sq(header);
  if (sq.empty())
    return fail_fmt("sample {}: BAM has no @SQ", id);
  if (auto ok = check_against_fai(run, sq); !ok)
    return sample_fail(ok.error());
  if (index == 0)
    run.first_sq = sq;
  else if (!bam::sq_equal(run.first_sq, sq))
    return fail_fmt("sample {}: BAM @SQ (SN+LN) does not match the other samples", id);

  auto order_reader = bam::open_sequential(path, &run.decode);
  if (!order_reader)
    return sample_fail(order_reader.error());
  if (auto ok = bam::check_coordinate_order_seq(*order_reader, kOrderRecords); !ok)
    return sample_fail(ok.error());

  auto family = bam::infer_aligner_family(header);
  if (!family)
    return sample_fail(family.error());
  run.families.emplace(types::family_name(*family));

  auto layout_reader = bam::open_sequential(path, &run.decode);
  if (!layout_reader)
    return sample_fail(layout_reader.error());
  auto layout = bam::scan_layout_seq(*layout_reader, kLayoutRecords);
  if (!layout)
    return sample_fail(layout.error());
  if (layout->mixed)
    return fail_fmt("sample {}: BAM mixes paired and single-end primary mapped reads (>1% each)",
                    id);
  const std::string_view seen = layout->paired ? "paired" : "single";
  const std::string &wanted = run.input.library_layout;
  if (wanted == "paired" || wanted == "single") {
    if (wanted != seen)
      return fail_fmt("sample {}: quantify.library_layout={} but BAM looks {}", id, wanted, seen);
  } else if (wanted != "auto") {
    // A setting of the whole run, so no sample prefix; only reached once a BAM was scanned.
    return fail_fmt("quantify.library_layout must be auto|paired|single, got {}", wanted);
  }

  run.layouts.emplace(seen);
  run.report.dup_flag_seen.insert_or_assign(id, layout->dup_flag_seen);
  if (!layout->dup_flag_seen)
    run.report.warnings.push_back(
        fmt::format("sample {}: no 0x400 duplicate flag in the first {} primary mapped reads; "
                    "quantify.skip_duplicate=auto will count all reads",
                    id, kLayoutRecords));
  run.report.samples.push_back({id, sq.size()});
  return {};
}

// What all samples must share, then the annotation against the first sample's names.
Status check_cohort(Run &run) {
  types::PreflightReport &report = run.report;
  if (run.families.size() != 1)
    return fail_fmt("samples mix aligner families {}; all BAMs must be STAR or all HISAT2",
                    quoting::braced(run.families));
  if (run.layouts.size() != 1)
    return fail_fmt("samples mix library layouts {}", quoting::braced(run.layouts));
  report.aligner_family = *run.families.begin();
  report.library_layout = *run.layouts.begin();
  report.sq_sha256 = bam::sq_sha256(run.first_sq);
  NameSet bam_names;
  for (const auto &e : run.first_sq)
    bam_names.insert(e.first);
  auto n = gtf::check_gtf_vs_bam(run.gtf_names, bam_names);
  if (!n)
    return fail(std::move(n.error()));
  report.gtf_seqnames = *n;
  return {};
}

Status run_checks(std::string_view samples_json, const std::string &fasta,
                  const std::string &annotation_gtf, types::PreflightReport &report) {
  auto input = binding::parse<types::PreflightInput>(samples_json);
  if (!input)
    return fail_fmt("invalid samples_json: {}", json_description(input.error()));
  report.assembly = input->assembly;
  const bam::DecodePool decode(sys_mem::decode_threads(input->threads, 1));
  Run run{.input = *input, .report = report, .decode = decode};
  if (auto ok = check_sheet(run); !ok)
    return ok;
  if (auto ok = load_references(run, fasta, annotation_gtf); !ok)
    return ok;
  for (size_t i = 0; i < input->samples.size(); ++i) {
    // An interrupted call stops between samples; the module surface drops the report.
    if (auto go = interrupt::checkpoint(); !go)
      return go;
    if (auto ok = check_sample(run, i); !ok)
      return ok;
  }
  return check_cohort(run);
}

// The plan reads the sheet on its own, so that even an unreadable sheet gets one.
types::ThreadPlan plan_for(std::string_view samples_json) {
  uint64_t n = 1;
  uint64_t requested = 0;
  if (auto input = binding::parse<types::PreflightInput>(samples_json)) {
    n = std::max<uint64_t>(input->samples.size(), 1);
    requested = input->threads;
  }
  return sys_mem::thread_plan(requested, n, sys_mem::available_processors());
}

json::Value plan_value(const types::ThreadPlan &plan) {
  json::Object o;
  o.emplace("requested", plan.requested);
  o.emplace("cpus", plan.cpus);
  o.emplace("usable", plan.usable);
  o.emplace("available_bytes",
            plan.available_bytes ? json::Value(*plan.available_bytes) : json::Value());
  o.emplace("bam_workers", plan.bam_workers);
  o.emplace("auto", plan.auto_);
  return o;
}

json::Value text_list(const std::vector<std::string> &texts) {
  json::Array a;
  for (const std::string &t : texts)
    a.emplace_back(t);
  return a;
}

} // namespace

types::PreflightReport run_preflight(std::string_view samples_json, const std::string &fasta,
                                     const std::string &annotation_gtf) {
  types::PreflightReport report;
  report.threads = plan_for(samples_json);
  if (auto ok = run_checks(samples_json, fasta, annotation_gtf, report); ok)
    report.ok = true;
  else
    report.errors.push_back(ok.error().text());
  return report;
}

json::Value report_value(const types::PreflightReport &r) {
  json::Object dup;
  for (const auto &[id, seen] : r.dup_flag_seen)
    dup.emplace(id, seen);
  json::Array samples;
  for (const types::SampleOut &s : r.samples) {
    json::Object o;
    o.emplace("sample_id", s.sample_id);
    o.emplace("n_sq", s.n_sq);
    samples.emplace_back(std::move(o));
  }
  json::Object o;
  o.emplace("ok", r.ok);
  o.emplace("assembly", r.assembly);
  o.emplace("sq_sha256", r.sq_sha256);
  o.emplace("aligner_family", r.aligner_family);
  o.emplace("strandedness", r.strandedness);
  o.emplace("library_layout", r.library_layout);
  o.emplace("n_control", r.n_control);
  o.emplace("n_treat", r.n_treat);
  o.emplace("dup_flag_seen", std::move(dup));
  o.emplace("gtf_seqnames", r.gtf_seqnames);
  o.emplace("samples", std::move(samples));
  o.emplace("errors", text_list(r.errors));
  o.emplace("warnings", text_list(r.warnings));
  o.emplace("threads", plan_value(r.threads));
  return o;
}

} // namespace voskel::preflight
