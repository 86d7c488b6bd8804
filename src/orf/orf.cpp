#include "orf/orf.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binding.hpp"
#include "interrupt.hpp"
#include "nucleotide.hpp"
#include "orf/coding.hpp"
#include "paths.hpp"
#include "splice.hpp"
#include "table.hpp"
#include "textio.hpp"

namespace voskel::orf {

namespace {

// Codons packed as three bytes of an integer, first base lowest.
constexpr uint32_t pack(const char (&c)[4]) {
  return uint32_t(uint8_t(c[0])) | uint32_t(uint8_t(c[1])) << 8 | uint32_t(uint8_t(c[2])) << 16;
}
constexpr uint32_t kATG = pack("ATG"), kTAA = pack("TAA"), kTAG = pack("TAG"), kTGA = pack("TGA");

} // namespace

std::string translate(std::string_view nt) {
  std::string out(nt.size() / 3, '\0');
  size_t k = 0;
  for (size_t p = 0; p + 3 <= nt.size(); p += 3) {
    const char a = nucleotide::amino_acid(nt[p], nt[p + 1], nt[p + 2]);
    out[k] = a;
    k += a != '*';
  }
  out.resize(k);
  return out;
}

namespace {

std::vector<gtf::Exon> exons_by_start(const gtf::Transcript &tx) {
  std::vector<gtf::Exon> exons = tx.exons;
  std::stable_sort(exons.begin(), exons.end(),
                   [](const gtf::Exon &a, const gtf::Exon &b) { return a.start < b.start; });
  return exons;
}

} // namespace

Result<std::string> splice_seq(const gtf::Transcript &tx, const fasta::FastaIndex &fa) {
  std::string out;
  for (const auto &ex : exons_by_start(tx))
    if (auto done = fa.fetch_into(tx.chrom, ex.start, ex.end, out); !done)
      return fail(std::move(done.error()));
  return out;
}

Result<bool> splice_seq_if_held(const gtf::Transcript &tx, const fasta::FastaIndex &fa,
                                std::string &out) {
  const size_t old_size = out.size();
  for (const auto &ex : exons_by_start(tx)) {
    if (!fa.holds(tx.chrom, ex.start, ex.end)) {
      out.resize(old_size);
      return false;
    }
    if (auto done = fa.fetch_into(tx.chrom, ex.start, ex.end, out); !done) {
      out.resize(old_size);
      return fail(std::move(done.error()));
    }
  }
  return true;
}

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

// kInFrame[phase][f]: the bits p of a block starting at a position i with i % 3 == phase for
// which (i + p) % 3 == f.
constexpr auto kInFrame = [] {
  constexpr uint64_t kEvery3 = 0x9249249249249249ull; // bits 0, 3, ..., 63
  std::array<std::array<uint64_t, 3>, 3> t{};
  for (unsigned phase = 0; phase < 3; ++phase)
    for (unsigned f = 0; f < 3; ++f)
      t[phase][f] = kEvery3 << ((f + 3 - phase) % 3);
  return t;
}();

// Bit p of `starts` (`stops`) is set when an ATG (a stop codon) begins at s[p], p < 64.
// Reads s[0, 66).
inline void screen64(const uint8_t *s, uint64_t &starts, uint64_t &stops) {
#if defined(__SSE2__)
  const __m128i A = _mm_set1_epi8('A'), G = _mm_set1_epi8('G'), T = _mm_set1_epi8('T');
  starts = stops = 0;
  for (unsigned j = 0; j < 4; ++j) {
    const auto *p = reinterpret_cast<const __m128i *>(s + 16 * j);
    const __m128i w0 = _mm_loadu_si128(p);
    const __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * j + 1));
    const __m128i w2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 16 * j + 2));
    const __m128i a1 = _mm_cmpeq_epi8(w1, A), a2 = _mm_cmpeq_epi8(w2, A);
    const __m128i g2 = _mm_cmpeq_epi8(w2, G);
    const __m128i start =
        _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(w0, A), _mm_cmpeq_epi8(w1, T)), g2);
    const __m128i stop =
        _mm_and_si128(_mm_cmpeq_epi8(w0, T),
                      _mm_or_si128(_mm_and_si128(a1, _mm_or_si128(a2, g2)),
                                   _mm_and_si128(_mm_cmpeq_epi8(w1, _mm_set1_epi8('G')), a2)));
    starts |= uint64_t(uint32_t(_mm_movemask_epi8(start))) << (16 * j);
    stops |= uint64_t(uint32_t(_mm_movemask_epi8(stop))) << (16 * j);
  }
#else
  starts = stops = 0;
  for (unsigned p = 0; p < 64; ++p) {
    const uint32_t c = uint32_t(s[p]) | uint32_t(s[p + 1]) << 8 | uint32_t(s[p + 2]) << 16;
    starts |= uint64_t(c == kATG) << p;
    stops |= uint64_t(c == kTAA || c == kTAG || c == kTGA) << p;
  }
#endif
}

struct OrfSpan {
  size_t start = 0;
  size_t len = 0; // whole codons, stop excluded
  bool complete = false;
};

std::optional<OrfSpan> find_longest(std::string_view seq, uint64_t min_orf_aa) {
  // Between two in-frame stops every ATG yields an ORF ending at the same stop, so the first
  // ATG after a stop gives that stretch's longest and later ones can never win. One walk over
  // the sequence serves all three frames; equal lengths go to the lower frame, then the
  // leftmost start, as a frame-by-frame search would decide.
  const size_t n = seq.size();
  const auto *s = reinterpret_cast<const uint8_t *>(seq.data());
  std::optional<OrfSpan> best;
  const auto consider = [&](size_t start, size_t len, bool complete) {
    if (len / 3 < min_orf_aa)
      return;
    if (best && (len < best->len ||
                 (len == best->len && (start % 3 > best->start % 3 ||
                                       (start % 3 == best->start % 3 && start > best->start)))))
      return;
    best = OrfSpan{start, len, complete};
  };
  size_t open[3] = {kNone, kNone, kNone};
  // Blocks of 64 positions are screened for starts and stops at once; per frame only the
  // events that change its state are visited: the next ATG while closed, the next stop while
  // open.
  const auto walk_block = [&](size_t i, unsigned phase, uint64_t starts, uint64_t stops) {
    for (unsigned f = 0; f < 3; ++f) {
      const uint64_t in_frame = kInFrame[phase][f];
      uint64_t st = starts & in_frame, sp = stops & in_frame;
      size_t &open_at = open[f];
      for (;;) {
        if (open_at == kNone) {
          if (st == 0)
            break;
          const unsigned k = static_cast<unsigned>(std::countr_zero(st));
          open_at = i + k;
          sp &= ~1ull << k; // stops after k only
        } else {
          if (sp == 0)
            break;
          const unsigned k = static_cast<unsigned>(std::countr_zero(sp));
          consider(open_at, i + k - open_at, true);
          open_at = kNone;
          st &= ~1ull << k;
        }
      }
    }
  };
  size_t i = 0;
  unsigned phase = 0; // i % 3
  for (; i + 66 <= n; i += 64, phase = phase == 2 ? 0 : phase + 1) {
    uint64_t starts, stops;
    screen64(s + i, starts, stops);
    if ((starts | stops) != 0)
      walk_block(i, phase, starts, stops);
  }
  // The rest goes through the same screen from a zero-padded copy: a codon that reaches
  // into the padding holds a zero byte and is neither start nor stop.
  for (; i + 3 <= n; i += 64, phase = phase == 2 ? 0 : phase + 1) {
    uint8_t tail[64 + 2] = {};
    std::copy(s + i, s + std::min(n, i + sizeof tail), tail);
    uint64_t starts, stops;
    screen64(tail, starts, stops);
    if ((starts | stops) != 0)
      walk_block(i, phase, starts, stops);
  }
  for (const size_t start : open)
    if (start != kNone)
      consider(start, (n - start) / 3 * 3, false);
  return best;
}

} // namespace

std::optional<OrfHit> longest_orf(std::string_view seq, uint64_t min_orf_aa) {
  const auto span = find_longest(seq, min_orf_aa);
  if (!span)
    return std::nullopt;
  OrfHit hit;
  hit.nucleotides.assign(seq.substr(span->start, span->len));
  hit.peptide = translate(hit.nucleotides);
  hit.complete = span->complete;
  return hit;
}

// ---- ORF scan ------------------------------------------------------------------------------

namespace {

// ">locus|transcript|aa" and the peptide in lines of 60 letters, appended to `out`.
void append_peptide_record(std::string &out, const table::RepPair &pair, uint64_t aa_len,
                           std::string_view peptide) {
  char digits[24];
  const auto len_end = std::to_chars(std::begin(digits), std::end(digits), aa_len).ptr;
  out += '>';
  out += pair.locus_id;
  out += '|';
  out += pair.transcript_id;
  out += '|';
  out.append(digits, len_end);
  out += '\n';
  for (size_t p = 0; p < peptide.size(); p += 60) {
    out += peptide.substr(p, 60);
    out += '\n';
  }
}

} // namespace

Result<uint64_t> scan_orfs(const std::string &fasta, const std::string &merged_gtf,
                           const std::string &representatives_tsv, const std::string &out_tsv,
                           const std::string &peptides_fa, std::string_view cfg_json) {
  auto cfg = binding::parse<Cfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  if (cfg->hexamer_table.empty())
    return fail_msg("coding.hexamer_table is empty");
  // The peptides are created before the table is written.
  const std::string outputs[] = {peptides_fa, out_tsv};
  const std::string inputs[] = {fasta, merged_gtf, representatives_tsv, fasta + ".fai",
                                cfg->hexamer_table};
  if (auto st = paths::refuse_outputs_over_inputs(outputs, inputs); !st)
    return fail(std::move(st.error()));
  auto table = coding::HexamerTable::load(cfg->hexamer_table);
  if (!table)
    return fail(std::move(table.error()));
  auto fa = fasta::FastaIndex::open(fasta);
  if (!fa)
    return fail(std::move(fa.error()));
  auto gtf = gtf::parse_gtf(merged_gtf);
  if (!gtf)
    return fail(std::move(gtf.error()));
  std::unordered_map<std::string_view, const gtf::Transcript *> by_id;
  by_id.reserve(gtf->transcripts.size());
  for (const auto &tx : gtf->transcripts)
    by_id.emplace(tx.transcript_id, &tx);
  auto pairs = table::read_representatives(representatives_tsv);
  if (!pairs)
    return fail(std::move(pairs.error()));

  if (const auto dir = textio::parent_dir(peptides_fa); !dir.empty())
    if (auto made = textio::create_dirs(dir); !made)
      return fail(std::move(made.error()));
  auto peptides = textio::FileWriter::create(peptides_fa);
  if (!peptides)
    return fail(std::move(peptides.error()));

  const uint64_t min_aa = std::max<uint64_t>(cfg->min_orf_aa, 1);
  // Rows stay compact until the table is written; their texts are composed at the end.
  struct Row {
    const table::RepPair *pair = nullptr;
    uint64_t aa_len = 0; // 0: no ORF
    bool complete = false;
    std::optional<double> hexamer;
    double fickett = 0.0;
  };
  std::vector<Row> rows;
  rows.reserve(pairs->size());
  uint64_t n_peptides = 0;
  std::string seq, peptide, record; // reused from one transcript to the next
  for (const auto &pair : *pairs) {
    if (auto go = interrupt::checkpoint(); !go)
      return fail(std::move(go.error()));
    const auto it = by_id.find(pair.transcript_id);
    if (it == by_id.end())
      continue;
    const gtf::Transcript &tx = *it->second;

    // A contig or exon the genome does not hold leaves the transcript without ORF; a genome
    // that cannot be read ends the scan. Once every exon is held, so is every intron end the
    // strand inference reads: its failures are read failures.
    seq.clear();
    auto held = splice_seq_if_held(tx, *fa, seq);
    if (!held)
      return fail(std::move(held.error()));
    const bool readable = *held;
    if (readable && tx.strand == U'-') {
      rc_in_place(seq);
    } else if (readable && tx.strand == U'.') {
      auto plus = splice::infer_unstranded_plus(tx, *fa);
      if (!plus)
        return fail(std::move(plus.error()));
      if (!*plus)
        rc_in_place(seq);
    }

    Row row;
    row.pair = &pair;
    std::optional<OrfSpan> span;
    if (readable)
      span = find_longest(seq, min_aa);
    if (span) {
      const std::string_view orf = std::string_view(seq).substr(span->start, span->len);
      const auto scores = coding::translate_and_score(orf, *table, peptide);
      row.aa_len = span->len / 3;
      row.complete = span->complete;
      row.hexamer = scores.hexamer;
      row.fickett = scores.fickett;
      record.clear();
      append_peptide_record(record, pair, row.aa_len, peptide);
      if (auto done = peptides->write(record); !done)
        return fail(std::move(done.error()));
      ++n_peptides;
    }
    rows.push_back(row);
  }
  if (auto closed = peptides->close(); !closed)
    return fail(std::move(closed.error()));

  static const std::vector<std::string> kHeader = {
      "locus_id",     "transcript_id", "longest_orf_aa", "orf_complete",
      "coding_score", "fickett_score", "coding_label"};
  auto out = table::TsvWriter::create(out_tsv, kHeader);
  if (!out)
    return fail(std::move(out.error()));
  // The cells of a row are composed in buffers kept across rows.
  std::string aa_len, hexamer, fickett;
  for (const Row &row : rows) {
    const bool found = row.aa_len > 0;
    aa_len.clear();
    fmt::format_to(std::back_inserter(aa_len), "{}", row.aa_len);
    hexamer.clear();
    coding::append_score(hexamer, row.hexamer.has_value(), row.hexamer.value_or(0.0));
    fickett.clear();
    coding::append_score(fickett, found, row.fickett);
    const std::string_view fields[] = {row.pair->locus_id,
                                       row.pair->transcript_id,
                                       aa_len,
                                       row.complete ? "true" : "false",
                                       hexamer,
                                       fickett,
                                       coding::coding_label(found, row.hexamer,
                                                            cfg->hexamer_coding_min,
                                                            cfg->hexamer_noncoding_max)};
    if (auto done = out->row(std::span<const std::string_view>(fields)); !done)
      return fail(std::move(done.error()));
  }
  if (auto closed = out->close(); !closed)
    return fail(std::move(closed.error()));
  return n_peptides;
}

} // namespace voskel::orf
