#include "orf.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "coding.hpp"
#include "record.hpp"
#include "splice.hpp"
#include "textio.hpp"

namespace voskel::orf {

namespace {

constexpr std::array<uint8_t, 256> kBaseCode = [] {
  std::array<uint8_t, 256> t{};
  t.fill(4);
  t['A'] = 0;
  t['C'] = 1;
  t['G'] = 2;
  t['T'] = 3;
  return t;
}();

// Standard genetic code indexed by 16*b0 + 4*b1 + b2 with A=0, C=1, G=2, T=3.
constexpr std::string_view kCode =
    "KNKNTTTTRSRSIIMIQHQHPPPPRRRRLLLLEDEDAAAAGGGGVVVV*Y*YSSSS*CWCLFLF";

// Codons packed as three bytes of an integer, first base lowest.
constexpr uint32_t pack(const char (&c)[4]) {
  return uint32_t(uint8_t(c[0])) | uint32_t(uint8_t(c[1])) << 8 | uint32_t(uint8_t(c[2])) << 16;
}
constexpr uint32_t kATG = pack("ATG"), kTAA = pack("TAA"), kTAG = pack("TAG"), kTGA = pack("TGA");

} // namespace

char aa(char b0, char b1, char b2) {
  const uint8_t c0 = kBaseCode[static_cast<unsigned char>(b0)];
  const uint8_t c1 = kBaseCode[static_cast<unsigned char>(b1)];
  const uint8_t c2 = kBaseCode[static_cast<unsigned char>(b2)];
  if ((c0 | c1 | c2) > 3)
    return 'X';
  return kCode[c0 * 16 + c1 * 4 + c2];
}

std::string translate(std::string_view nt) {
  std::string out(nt.size() / 3, '\0');
  size_t k = 0;
  for (size_t p = 0; p + 3 <= nt.size(); p += 3) {
    const char a = aa(nt[p], nt[p + 1], nt[p + 2]);
    out[k] = a;
    k += a != '*';
  }
  out.resize(k);
  return out;
}

void rc_in_place(std::string &seq) {
  if (seq.empty())
    return;
  char *lo = seq.data(), *hi = seq.data() + seq.size() - 1;
  for (; lo < hi; ++lo, --hi) {
    const char a = fasta::complement(*lo);
    *lo = fasta::complement(*hi);
    *hi = a;
  }
  if (lo == hi)
    *lo = fasta::complement(*lo);
}

std::string rc(std::string_view seq) {
  std::string out(seq);
  rc_in_place(out);
  return out;
}

fasta::Fetched<void> splice_seq_append(const gtf::Transcript &tx, const fasta::FastaIndex &fa,
                                       std::string &out) {
  std::vector<gtf::Exon> exons = tx.exons;
  std::stable_sort(exons.begin(), exons.end(),
                   [](const gtf::Exon &a, const gtf::Exon &b) { return a.start < b.start; });
  const size_t old_size = out.size();
  for (const auto &ex : exons) {
    if (auto done = fa.append(tx.chrom, ex.start, ex.end, out); !done) {
      out.resize(old_size);
      return done;
    }
  }
  return {};
}

Result<std::string> splice_seq(const gtf::Transcript &tx, const fasta::FastaIndex &fa) {
  std::string out;
  if (auto done = splice_seq_append(tx, fa, out); !done)
    return fail(std::move(done.error().error));
  return out;
}

std::optional<OrfHit> longest_orf(std::string_view seq, uint64_t min_orf_aa) {
  // Between two in-frame stops every ATG yields an ORF ending at the same stop, so the first
  // ATG after a stop gives that stretch's longest and later ones can never win. One walk over
  // the sequence serves all three frames; equal lengths go to the lower frame, then the
  // leftmost start, as a frame-by-frame search would decide.
  const size_t n = seq.size();
  const auto *s = reinterpret_cast<const uint8_t *>(seq.data());
  bool have = false;
  size_t best_start = 0, best_len = 0;
  bool best_complete = false;
  const auto consider = [&](size_t start, size_t len, bool complete) {
    if (len / 3 < min_orf_aa)
      return;
    if (have && (len < best_len ||
                 (len == best_len && (start % 3 > best_start % 3 ||
                                      (start % 3 == best_start % 3 && start > best_start)))))
      return;
    have = true;
    best_start = start;
    best_len = len;
    best_complete = complete;
  };
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t open[3] = {kNone, kNone, kNone};
  const auto step = [&](size_t &open_at, size_t i, uint32_t codon) {
    if (open_at == kNone) {
      if (codon == kATG)
        open_at = i;
    } else if (codon == kTAA || codon == kTAG || codon == kTGA) {
      consider(open_at, i - open_at, true);
      open_at = kNone;
    }
  };
  const auto codon_at = [s](size_t i) {
    return uint32_t(s[i]) | uint32_t(s[i + 1]) << 8 | uint32_t(s[i + 2]) << 16;
  };
  // Only ATG and the stops change a frame's state: eight positions at a time are screened
  // for them with byte-parallel compares, and only the hits are visited.
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    const auto eq = [](uint64_t w, uint8_t c) {
      constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
      const uint64_t t = w ^ (0x0101010101010101ull * c);
      return ~(((t & kLow7) + kLow7) | t) & ~kLow7; // bit 7 of each byte equal to c
    };
    size_t frame = 0; // i % 3
    for (; i + 10 <= n; i += 8, frame = frame == 0 ? 2 : frame - 1) {
      uint64_t w0, w1, w2;
      std::memcpy(&w0, s + i, 8);
      std::memcpy(&w1, s + i + 1, 8);
      std::memcpy(&w2, s + i + 2, 8);
      const uint64_t a1 = eq(w1, 'A'), a2 = eq(w2, 'A');
      const uint64_t starts = eq(w0, 'A') & eq(w1, 'T') & eq(w2, 'G');
      const uint64_t stops = eq(w0, 'T') & ((a1 & (a2 | eq(w2, 'G'))) | (eq(w1, 'G') & a2));
      for (uint64_t hits = starts | stops; hits; hits &= hits - 1) {
        const size_t k = static_cast<size_t>(std::countr_zero(hits)) >> 3;
        step(open[(frame + k) % 3], i + k, codon_at(i + k));
      }
    }
  }
  for (; i + 3 <= n; ++i)
    step(open[i % 3], i, codon_at(i));
  for (const size_t start : open)
    if (start != kNone)
      consider(start, (n - start) / 3 * 3, false);
  if (!have)
    return std::nullopt;
  OrfHit hit;
  hit.nucleotides.assign(seq.substr(best_start, best_len));
  hit.peptide = translate(hit.nucleotides);
  hit.complete = best_complete;
  return hit;
}

// ---- ORF scan ------------------------------------------------------------------------------

namespace {

struct RepPair {
  std::string locus_id;
  std::string transcript_id;
};

// Field i (0-based) of a tab-separated line, or nothing when the line has fewer fields.
std::optional<std::string_view> field(std::string_view line, size_t i) {
  for (; i > 0; --i) {
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos)
      return std::nullopt;
    line.remove_prefix(tab + 1);
  }
  return line.substr(0, line.find('\t'));
}

Result<std::vector<RepPair>> read_reps(const std::string &path) {
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return fail_fmt("open reps: {}", reader.error().text());
  std::vector<RepPair> pairs;
  std::string_view line;
  for (;;) {
    auto more = reader->next(line);
    if (!more)
      return fail(std::move(more.error()));
    if (!*more)
      break;
    if (reader->line_number() == 1 && line.find("transcript_id") != std::string_view::npos)
      continue;
    const auto tid = field(line, 1);
    if (!tid || tid->empty())
      continue;
    pairs.push_back({std::string(*field(line, 0)), std::string(*tid)});
  }
  return pairs;
}

// ">locus|transcript|aa" and the peptide in lines of 60 letters.
Status write_peptide(textio::FileWriter &out, const RepPair &pair, std::string_view aa_len,
                     std::string_view peptide) {
  for (const std::string_view part : {std::string_view(">"), std::string_view(pair.locus_id),
                                      std::string_view("|"), std::string_view(pair.transcript_id),
                                      std::string_view("|"), aa_len, std::string_view("\n")})
    if (auto done = out.write(part); !done)
      return done;
  for (size_t p = 0; p < peptide.size(); p += 60) {
    if (auto done = out.write(peptide.substr(p, 60)); !done)
      return done;
    if (auto done = out.put('\n'); !done)
      return done;
  }
  return {};
}

} // namespace

Result<uint64_t> scan_orfs(const std::string &fasta, const std::string &merged_gtf,
                           const std::string &representatives_tsv, const std::string &out_tsv,
                           const std::string &peptides_fa, std::string_view cfg_json) {
  auto cfg = record::parse<Cfg>(cfg_json);
  if (!cfg)
    return fail(std::move(cfg.error()));
  if (cfg->hexamer_table.empty())
    return fail_msg("coding.hexamer_table is empty");
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
  auto pairs = read_reps(representatives_tsv);
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
    const RepPair *pair = nullptr;
    uint64_t aa_len = 0; // 0: no ORF
    bool complete = false;
    std::optional<double> hexamer;
    double fickett = 0.0;
  };
  std::vector<Row> rows;
  rows.reserve(pairs->size());
  uint64_t n_peptides = 0;
  std::string seq;
  for (const auto &pair : *pairs) {
    const auto it = by_id.find(pair.transcript_id);
    if (it == by_id.end())
      continue;
    const gtf::Transcript &tx = *it->second;

    // A contig or exon the genome does not hold leaves the transcript without ORF; a genome
    // that cannot be read ends the scan.
    seq.clear();
    bool readable = true;
    if (auto built = splice_seq_append(tx, *fa, seq); !built) {
      if (built.error().fault != fasta::FetchFault::Lookup)
        return fail(std::move(built.error().error));
      readable = false;
    } else if (tx.strand == U'-') {
      rc_in_place(seq);
    } else if (tx.strand == U'.') {
      auto plus = splice::infer_plus(tx, *fa);
      if (!plus) {
        if (plus.error().fault != fasta::FetchFault::Lookup)
          return fail(std::move(plus.error().error));
        readable = false;
      } else if (!*plus) {
        rc_in_place(seq);
      }
    }

    Row row;
    row.pair = &pair;
    std::optional<OrfHit> hit;
    if (readable)
      hit = longest_orf(seq, min_aa);
    if (hit) {
      row.aa_len = hit->aa_len();
      row.complete = hit->complete;
      row.hexamer = table->score(hit->nucleotides);
      row.fickett = coding::fickett_score(hit->nucleotides);
      if (auto done = write_peptide(*peptides, pair, fmt::format("{}", row.aa_len), hit->peptide);
          !done)
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
  auto out = gtf::TsvWriter::create(out_tsv, kHeader);
  if (!out)
    return fail(std::move(out.error()));
  for (const Row &row : rows) {
    const bool found = row.aa_len > 0;
    const std::string aa_len = fmt::format("{}", row.aa_len);
    const std::string hexamer = coding::fmt_score(row.hexamer);
    const std::string fickett = coding::fmt_score(found, row.fickett);
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
