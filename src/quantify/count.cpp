#include "quantify/count.hpp"

#include <algorithm>

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

void compatible_hits(const fragment::Read &read, RefMap &refs, bam::Strandedness strand,
                     ReadStream stream, FragmentHits &out) {
  if (read.tid < 0 || static_cast<size_t>(read.tid) >= refs.size())
    return;
  RefSlot &ref = refs[read.tid];
  if (!ref.exons)
    return;
  const auto want = static_cast<char32_t>(bam::protocol_strand(read.flag, strand));
  interval::Cursor &cursor = stream == ReadStream::EarlierMate ? ref.mate_cursor : ref.cursor;
  for (const Span &b : read.blocks)
    ref.exons->overlapping(cursor, b.start, b.end, [&](const auto &iv) {
      const ExonHit &h = iv.payload;
      if (want == 0 || h.strand == want || h.strand == U'.')
        out.add(Hit{h.locus, h.tx});
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
  // Most fragments meet one locus: no grouping needed, and each transcript takes its one
  // share into its own cell, so the order of the hits does not matter.
  const uint32_t only = hits.front().locus;
  if (std::all_of(hits.begin() + 1, hits.end(), [&](const Hit &h) { return h.locus == only; })) {
    if (!intron_map.empty() && !locus_keeps(only, introns, intron_map))
      return;
    counts.locus[only] += 1.0;
    const double share = 1.0 / static_cast<double>(hits.size());
    for (const Hit &h : hits)
      counts.tx[h.tx] += share;
    return;
  }
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
  FragmentHits hits;
  std::vector<Span> introns;

  void operator()(const fragment::Read &r) {
    hits.start();
    compatible_hits(r, refs, strand, ReadStream::InFileOrder, hits);
    count_fragment(hits.list(), r.introns, intron_map, counts);
  }
  void operator()(const fragment::Read &cur, const fragment::Read &mate) {
    hits.start();
    // The hits are a set: their order does not matter.
    compatible_hits(mate, refs, strand, ReadStream::EarlierMate, hits);
    compatible_hits(cur, refs, strand, ReadStream::InFileOrder, hits);
    if (hits.list().empty())
      return;
    introns.assign(cur.introns.begin(), cur.introns.end());
    introns.insert(introns.end(), mate.introns.begin(), mate.introns.end());
    count_fragment(hits.list(), introns, intron_map, counts);
  }
};

} // namespace

Result<SampleCounts> quantify_one_sample(const SampleIn &sample, const QuantCfg &cfg,
                                         const QuantIndex &index, const bam::DecodePool *pool) {
  auto reader = bam::SequentialReader::open(sample.bam, pool);
  if (!reader)
    return fail(std::move(reader.error()));

  const sam_hdr_t *hdr = reader->header();
  const int nref = sam_hdr_nref(hdr);
  RefMap refs(nref > 0 ? static_cast<size_t>(nref) : 0);
  for (const auto &[name, exons] : index.exons) {
    const int tid = bam::tid(hdr, name);
    if (tid >= 0 && tid < nref)
      refs[tid].exons = &exons;
  }

  const bam::RecordFilter filter = bam::record_filter(cfg.filter, sample.dup_flag_seen);
  fragment::AssemblyCfg acfg;
  acfg.single_layout = cfg.library_layout == "single";

  SampleCounts counts;
  counts.locus.assign(index.locus_ids.size(), 0.0);
  counts.tx.assign(index.tx_ids.size(), 0.0);
  CountAction action{refs,
                     index.introns,
                     bam::parse_strandedness(cfg.strandedness),
                     counts,
                     FragmentHits(index.tx_ids.size()),
                     {}};
  auto dropped = fragment::stream_fragments(*reader, filter, acfg, action);
  if (!dropped)
    return fail(std::move(dropped.error()));
  counts.dropped = *dropped;
  return counts;
}

} // namespace voskel::quantify
