#include "classcode.hpp"

#include <algorithm>
#include <array>

#include "bam/read_rules.hpp"
#include "binding.hpp"
#include "coords.hpp"
#include "interrupt.hpp"
#include "paths.hpp"
#include "table.hpp"

namespace voskel::classcode {

std::string_view class_text(ClassCode code) {
  switch (code) {
  case ClassCode::U:
    return "u";
  case ClassCode::I:
    return "i";
  case ClassCode::X:
    return "x";
  case ClassCode::Extension:
    return "extension";
  case ClassCode::Overlap:
    return "overlap";
  }
  return "u";
}

RefIndex build_ref(const gtf::ParsedGtf &ref) {
  struct Lists {
    std::vector<interval::Interval<ExonHit>> exons;
    std::vector<interval::Interval<BodyHit>> bodies;
    std::vector<interval::Interval<TxHit>> txs;
  };
  std::unordered_map<std::string_view, Lists> lists;
  Lists *cur = nullptr;
  std::string_view cur_chrom;
  const auto at = [&](std::string_view chrom) -> Lists & {
    if (!cur || chrom != cur_chrom) {
      cur = &lists[chrom];
      cur_chrom = chrom;
    }
    return *cur;
  };

  for (size_t i = 0; i < ref.transcripts.size(); ++i) {
    const gtf::Transcript &t = ref.transcripts[i];
    Lists &l = at(t.chrom);
    const auto tx = static_cast<uint32_t>(i);
    uint64_t end = 0;
    for (const gtf::Exon &e : t.exons) {
      l.exons.push_back({{tx, t.strand}, e.start, e.end});
      end = std::max(end, e.end);
    }
    l.txs.push_back({{tx, t.exons.front().start, end}, t.exons.front().start, end});
  }
  for (const gtf::GeneBody &g : ref.genes)
    at(g.chrom).bodies.push_back({{g.strand}, g.start, g.end});

  RefIndex ix;
  ix.n_transcripts = ref.transcripts.size();
  ix.by_chrom.reserve(lists.size());
  for (auto &[chrom, l] : lists) {
    ChromIndex &c = ix.by_chrom[std::string(chrom)];
    c.exons = interval::IvIndex<ExonHit>::from_intervals(std::move(l.exons));
    c.bodies = interval::IvIndex<BodyHit>::from_intervals(std::move(l.bodies));
    c.txs = interval::IvIndex<TxHit>::from_intervals(std::move(l.txs));
  }
  return ix;
}

Classifier::Classifier(const RefIndex &ref, bool unstranded)
    : ref_(ref), unstranded_(unstranded), totals_(ref.n_transcripts, 0) {}

ClassCode Classifier::classify(const gtf::Transcript &q) {
  const ChromIndex *c = ref_.find(q.chrom);
  if (!c)
    return ClassCode::U;
  const bool blind = unstranded_ || q.strand == U'.';
  const auto same_strand = [&](char32_t s) { return blind || s == U'.' || s == q.strand; };

  bool any_exon = false, same_exon = false, anti_exon = false;
  bool any_body = false, same_body = false;
  uint64_t qs = q.exons.front().start, qe = 0;
  for (const gtf::Exon &e : q.exons) {
    qs = std::min(qs, e.start);
    qe = std::max(qe, e.end);
    c->exons.overlapping(e.start, e.end, [&](const interval::Interval<ExonHit> &r) {
      any_exon = true;
      if (same_strand(r.payload.strand)) {
        const uint32_t tx = r.payload.tx;
        if (totals_[tx] == 0)
          touched_.push_back(tx);
        totals_[tx] = coords::sat_add(
            totals_[tx], coords::span_len(std::max(r.start, e.start), std::min(r.end, e.end)));
        same_exon = true;
      } else {
        anti_exon = true;
      }
    });
    c->bodies.overlapping(e.start, e.end, [&](const interval::Interval<BodyHit> &r) {
      any_body = true;
      if (same_strand(r.payload.strand))
        same_body = true;
    });
  }

  if (!any_exon && !any_body)
    return ClassCode::U;
  if (same_exon) {
    // Largest total; equal totals go to the smallest transcript_id (smallest position).
    uint32_t best = touched_.front();
    for (const uint32_t tx : touched_)
      if (totals_[tx] > totals_[best] || (totals_[tx] == totals_[best] && tx < best))
        best = tx;
    for (const uint32_t tx : touched_)
      totals_[tx] = 0;
    touched_.clear();
    ClassCode code = ClassCode::Overlap;
    c->txs.overlapping(qs, qe, [&](const interval::Interval<TxHit> &r) {
      if (r.payload.tx == best && (qs < r.payload.start || qe > r.payload.end))
        code = ClassCode::Extension;
    });
    return code;
  }
  if (anti_exon)
    return ClassCode::X;
  if (same_body)
    return ClassCode::I;
  return ClassCode::X; // only antisense gene spans were touched
}

namespace {

const std::vector<std::string> &header() {
  static const std::vector<std::string> h{
      "transcript_id", "gene_id",   "chrom",          "start", "end",      "strand",
      "n_exons",       "length_nt", "exon_structure", "class", "gene_name"};
  return h;
}

void append_num(std::string &s, uint64_t v) {
  const fmt::format_int text(v);
  s.append(text.data(), text.size());
}

} // namespace

Result<ClassifyCounts> classify_gtfs(const std::string &merged_gtf, const std::string &ref_gtf,
                                     const std::string &out_tsv, std::string_view cfg_json) {
  auto cfg = binding::parse<ClassifyCfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  const std::string outputs[] = {out_tsv};
  const std::string inputs[] = {merged_gtf, ref_gtf};
  if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
    return fail(std::move(st.error()));
  auto query = gtf::parse_gtf(merged_gtf);
  if (!query)
    return fail(std::move(query.error()));
  auto ref = gtf::parse_gtf(ref_gtf);
  if (!ref)
    return fail(std::move(ref.error()));

  const RefIndex index = build_ref(*ref);
  Classifier classifier(index, bam::parse_strandedness(cfg->strandedness) ==
                                   bam::Strandedness::Unstranded);

  // Every transcript is classified before the table is opened, so an interrupted call leaves
  // no table behind.
  std::vector<ClassCode> codes;
  codes.reserve(query->transcripts.size());
  for (const gtf::Transcript &q : query->transcripts) {
    if (auto go = interrupt::checkpoint(); !go)
      return fail(std::move(go.error()));
    codes.push_back(classifier.classify(q));
  }

  auto out = table::TsvWriter::create(out_tsv, header());
  if (!out)
    return fail(std::move(out.error()));
  ClassifyCounts counts;
  std::array<std::string, 11> f; // reused: no allocation per row once warm
  for (size_t i = 0; i < codes.size(); ++i) {
    const gtf::Transcript &q = query->transcripts[i];
    const ClassCode code = codes[i];
    uint64_t qs = q.exons.front().start, qe = 0, length = 0;
    f[8].clear();
    for (const gtf::Exon &e : q.exons) {
      qs = std::min(qs, e.start);
      qe = std::max(qe, e.end);
      length = coords::sat_add(length, coords::span_len(e.start, e.end));
      if (!f[8].empty())
        f[8] += ',';
      append_num(f[8], e.start);
      f[8] += '-';
      append_num(f[8], e.end);
    }
    const auto num = [](std::string &s, uint64_t v) {
      s.clear();
      append_num(s, v);
    };
    f[0].assign(q.transcript_id);
    f[1].assign(q.gene_id);
    f[2].assign(q.chrom);
    num(f[3], qs);
    num(f[4], qe);
    f[5] = gtf::strand_text(q.strand);
    num(f[6], q.exons.size());
    num(f[7], length);
    f[9].assign(class_text(code));
    f[10].assign(q.gene_name);
    if (auto st = out->row(std::span<const std::string>(f)); !st)
      return fail(std::move(st.error()));
    ++counts.n_transcripts;
    if (code == ClassCode::U)
      ++counts.n_u;
  }
  if (auto st = out->close(); !st)
    return fail(std::move(st.error()));
  return counts;
}

} // namespace voskel::classcode
