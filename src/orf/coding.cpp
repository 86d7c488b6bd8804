#include "orf/coding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <fmt/compile.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cells.hpp"
#include "json.hpp"
#include "nucleotide.hpp"
#include "textio.hpp"

namespace voskel::coding {

namespace {

// Fickett's base classes: either case, U counted as T; 4 for anything else.
constexpr std::array<uint8_t, 256> kFickettCode = [] {
  std::array<uint8_t, 256> t = nucleotide::kAnyCaseBaseCode;
  t['U'] = t['u'] = 3;
  return t;
}();

// Key of six bases, or -1 when one of them is not ACGT.
int hexamer_key(const char *p) {
  int key = 0;
  for (int i = 0; i < 6; ++i) {
    const uint8_t c = nucleotide::kAnyCaseBaseCode[static_cast<unsigned char>(p[i])];
    if (c > 3)
      return -1;
    key = key << 2 | c;
  }
  return key;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// A decimal floating-point field: optional sign, digits with an optional fraction (at least one
// digit), optional exponent; or the words inf, infinity, nan in any case. No spaces.
bool parse_double(std::string_view s, double &out) {
  std::string_view body = s;
  if (!body.empty() && (body.front() == '+' || body.front() == '-'))
    body.remove_prefix(1);
  const bool word = iequals(body, "inf") || iequals(body, "infinity") || iequals(body, "nan");
  if (!word) {
    size_t i = 0, digits = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9')
      ++i, ++digits;
    if (i < body.size() && body[i] == '.') {
      ++i;
      while (i < body.size() && body[i] >= '0' && body[i] <= '9')
        ++i, ++digits;
    }
    if (digits == 0)
      return false;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
      ++i;
      if (i < body.size() && (body[i] == '+' || body[i] == '-'))
        ++i;
      const size_t exp_begin = i;
      while (i < body.size() && body[i] >= '0' && body[i] <= '9')
        ++i;
      if (i == exp_begin)
        return false;
    }
    if (i != body.size())
      return false;
  }
  // The grammar is settled; strtod does the rounding (overflow reads as infinity).
  const std::string text(s);
  out = std::strtod(text.c_str(), nullptr);
  return true;
}

// Fickett tables, rows A, C, G, T.
constexpr double kPosThresholds[10] = {1.9, 1.8, 1.7, 1.6, 1.5, 1.4, 1.3, 1.2, 1.1, 0.0};
constexpr double kContentThresholds[10] = {0.33, 0.31, 0.29, 0.27, 0.25,
                                           0.23, 0.21, 0.19, 0.17, 0.0};
constexpr double kPosProb[4][10] = {
    {0.94, 0.68, 0.84, 0.93, 0.58, 0.68, 0.45, 0.34, 0.20, 0.22},
    {0.80, 0.70, 0.70, 0.81, 0.66, 0.48, 0.51, 0.33, 0.30, 0.23},
    {0.90, 0.88, 0.74, 0.64, 0.53, 0.48, 0.27, 0.16, 0.08, 0.08},
    {0.97, 0.97, 0.91, 0.68, 0.69, 0.44, 0.54, 0.20, 0.09, 0.09},
};
constexpr double kContentProb[4][10] = {
    {0.28, 0.49, 0.44, 0.55, 0.62, 0.49, 0.67, 0.65, 0.81, 0.21},
    {0.82, 0.73, 0.43, 0.59, 0.59, 0.32, 0.69, 0.33, 0.30, 0.23},
    {0.40, 0.54, 0.47, 0.64, 0.64, 0.73, 0.41, 0.41, 0.33, 0.29},
    {0.28, 0.24, 0.39, 0.40, 0.55, 0.75, 0.56, 0.69, 0.51, 0.58},
};
constexpr double kPosWeight[4] = {0.26, 0.18, 0.31, 0.33};
constexpr double kContentWeight[4] = {0.11, 0.12, 0.15, 0.14};

// The first threshold the value reaches; the last one is 0.0, which every value here (a
// ratio of counts) reaches. The thresholds fall, so that index is the number of thresholds
// before the last that the value stays below: counted without branches.
size_t bucket(double value, const double (&thresholds)[10]) {
#if defined(__SSE2__)
  // Two thresholds per compare; a lane that stays below subtracts -1 from its counter.
  const __m128d v = _mm_set1_pd(value);
  __m128i below = _mm_setzero_si128();
  for (size_t i = 0; i < 8; i += 2)
    below = _mm_sub_epi64(below, _mm_castpd_si128(_mm_cmplt_pd(v, _mm_loadu_pd(thresholds + i))));
  below = _mm_add_epi64(below, _mm_unpackhi_epi64(below, below));
  return static_cast<size_t>(_mm_cvtsi128_si64(below)) + (value < thresholds[8] ? 1 : 0);
#else
  size_t below = 0;
  for (size_t i = 0; i < 9; ++i)
    below += value < thresholds[i] ? 1 : 0;
  return below;
#endif
}

} // namespace

Result<HexamerTable> HexamerTable::load(const std::string &path) {
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return fail_fmt("hexamer table {}: {}", path, reader.error().text());
  HexamerTable table;
  auto read = textio::for_each_line(*reader, [&](std::string_view line, uint64_t n) -> Status {
    if (line.empty())
      return {};
    std::string_view fields[3];
    const size_t count = textio::split_fields(line, fields);
    if (n == 1 && iequals(fields[0], "hexamer"))
      return {};
    const int key = fields[0].size() == 6 ? hexamer_key(fields[0].data()) : -1;
    if (key < 0) {
      std::string quoted;
      json::append_quoted(quoted, fields[0]);
      return fail_fmt("hexamer table {} line {}: expected 6-mer, got {}", path, n, quoted);
    }
    double freq[2];
    static constexpr std::string_view kWhich[] = {"coding", "noncoding"};
    for (size_t i = 0; i < 2; ++i) {
      if (count < i + 2)
        return fail_fmt("hexamer table {} line {}: missing {} frequency", path, n, kWhich[i]);
      if (!parse_double(fields[i + 1], freq[i]))
        return fail_fmt("hexamer table {} line {}: invalid {} frequency", path, n, kWhich[i]);
    }
    if (!std::isfinite(freq[0]) || !std::isfinite(freq[1]) || freq[0] < 0.0 || freq[1] < 0.0)
      return fail_fmt("hexamer table {} line {}: frequencies must be finite and \u2265 0", path, n);
    table.log_ratio_[static_cast<size_t>(key)] = std::log2((freq[0] + 1e-8) / (freq[1] + 1e-8));
    table.present_.set(static_cast<size_t>(key));
    return {};
  });
  if (!read)
    return fail(std::move(read.error()));
  if (table.present_.none())
    return fail_fmt("hexamer table {} has no usable rows", path);
  return table;
}

std::optional<double> HexamerTable::find(std::string_view hexamer) const {
  if (hexamer.size() != 6)
    return std::nullopt;
  const int key = hexamer_key(hexamer.data());
  if (key < 0 || !present_.test(static_cast<size_t>(key)))
    return std::nullopt;
  return log_ratio_[static_cast<size_t>(key)];
}

std::optional<double> HexamerTable::score(std::string_view nt) const {
  // Windows at 0, 3, 6, ... are pairs of consecutive codons: code each codon once.
  const auto codon_code = [&](size_t p) {
    const uint8_t a = nucleotide::kAnyCaseBaseCode[static_cast<unsigned char>(nt[p])];
    const uint8_t b = nucleotide::kAnyCaseBaseCode[static_cast<unsigned char>(nt[p + 1])];
    const uint8_t c = nucleotide::kAnyCaseBaseCode[static_cast<unsigned char>(nt[p + 2])];
    return (a | b | c) > 3 ? -1 : a << 4 | b << 2 | c;
  };
  double sum = 0.0;
  uint64_t found = 0;
  if (nt.size() >= 6) {
    int prev = codon_code(0);
    for (size_t p = 3; p + 3 <= nt.size(); p += 3) {
      const int cur = codon_code(p);
      if (prev >= 0 && cur >= 0) {
        const auto key = static_cast<size_t>(prev << 6 | cur);
        if (present_.test(key)) {
          sum += log_ratio_[key];
          ++found;
        }
      }
      prev = cur;
    }
  }
  if (found == 0)
    return std::nullopt;
  return sum / static_cast<double>(found);
}

double fickett_score(std::string_view nt) {
  const size_t n = nt.size();
  if (n < 2)
    return 0.0;
  // Whole codons go into a 64-bin histogram (one increment per three bases); a codon with
  // any other byte, and the trailing bases, are counted base by base, row 4 taking the rest.
  uint64_t counts[5][3] = {};
  uint64_t codons[64] = {};
  const auto code = [&](size_t i) { return kFickettCode[static_cast<unsigned char>(nt[i])]; };
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint8_t a = code(i), b = code(i + 1), c = code(i + 2);
    if ((a | b | c) > 3) {
      ++counts[a][0];
      ++counts[b][1];
      ++counts[c][2];
    } else {
      ++codons[a << 4 | b << 2 | c];
    }
  }
  for (size_t phase = 0; i < n; ++i, ++phase)
    ++counts[code(i)][phase];
  for (size_t k = 0; k < 64; ++k) {
    counts[k >> 4][0] += codons[k];
    counts[(k >> 2) & 3][1] += codons[k];
    counts[k & 3][2] += codons[k];
  }
  uint64_t acgt[4][3];
  std::copy(&counts[0][0], &counts[4][0], &acgt[0][0]); // row 4, the other bytes, only adds to n
  return fickett_from_counts(acgt, n);
}

double fickett_from_counts(const uint64_t (&counts)[4][3], uint64_t n) {
  if (n < 2)
    return 0.0;
  double total = 0.0;
  for (size_t b = 0; b < 4; ++b) {
    const auto [lo, hi] = std::minmax({counts[b][0], counts[b][1], counts[b][2]});
    const double position = static_cast<double>(hi) / (static_cast<double>(lo) + 1.0);
    const double content =
        static_cast<double>(counts[b][0] + counts[b][1] + counts[b][2]) / static_cast<double>(n);
    total += kPosProb[b][bucket(position, kPosThresholds)] * kPosWeight[b];
    total += kContentProb[b][bucket(content, kContentThresholds)] * kContentWeight[b];
  }
  return total;
}

std::string fmt_score(bool present, double value) {
  std::string out;
  append_score(out, present, value);
  return out;
}

void append_score(std::string &out, bool present, double value) {
  if (!present || !std::isfinite(value)) {
    out += "NA";
    return;
  }
  cells::append_fixed6(out, value);
}

namespace {

// True when every byte is upper-case A, C, G or T.
bool all_acgt(std::string_view seq) {
  const char *p = seq.data(), *end = p + seq.size();
#if defined(__SSE2__)
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const auto is = [v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    const __m128i ok = _mm_or_si128(_mm_or_si128(is('A'), is('C')), _mm_or_si128(is('G'), is('T')));
    if (_mm_movemask_epi8(ok) != 0xFFFF)
      return false;
  }
#endif
  for (; p < end; ++p)
    if (nucleotide::kUpperBaseCode[static_cast<unsigned char>(*p)] > 3)
      return false;
  return true;
}

// The 6-bit code (A C G T = 0..3, first base highest) of the codon in the low three bytes
// of `w`, which must be upper-case A, C, G or T. Bits 1-2 of those letters read A=0, C=1,
// G=3, T=2; one xor turns that into A C G T order, and a multiply gathers the three 2-bit
// fields (their partial products land on distinct bits, so nothing carries).
inline unsigned codon_code(uint32_t w) {
  uint32_t x = (w >> 1) & 0x030303;
  x ^= (x >> 1) & 0x010101;
  return static_cast<unsigned>((uint64_t(x) * 0x100401 >> 16) & 63);
}

// The peptide of an ORF's codons into `peptide`, and both coding scores, from one walk over
// the codons: each codon's code drives the translation, a codon histogram (from which the
// Fickett per-phase base counts follow) and the hexamer of it and its predecessor. An ORF
// with any byte other than upper-case ACGT (rare) goes to the general routines, which know
// how such bytes count. With every hexamer in the table (`Full`) no window needs a presence
// test.
template <bool Full>
OrfScores translate_and_score_with(std::string_view orf, const HexamerTable &table,
                                   std::string &peptide) {
  // An ORF holds no in-frame stop, so every codon yields one letter.
  const size_t n_codons = orf.size() / 3;
  peptide.resize(n_codons);
  if (!all_acgt(orf)) [[unlikely]] {
    for (size_t k = 0; k < n_codons; ++k)
      peptide[k] = nucleotide::amino_acid(orf[3 * k], orf[3 * k + 1], orf[3 * k + 2]);
    return {table.score(orf), fickett_score(orf)};
  }
  if (n_codons == 0)
    return {std::nullopt, fickett_score(orf)};
  const auto *s = reinterpret_cast<const unsigned char *>(orf.data());
  // Four bytes are loaded per codon, the fourth ignored; the last codon, whose fourth byte
  // may lie beyond the ORF, is read byte by byte.
  const auto load4 = [s](size_t p) {
    uint32_t w;
    std::memcpy(&w, s + p, 4);
    return w;
  };
  const size_t last = 3 * (n_codons - 1);
  const uint32_t last_word =
      uint32_t(s[last]) | uint32_t(s[last + 1]) << 8 | uint32_t(s[last + 2]) << 16;
  char *aa_out = peptide.data();
  uint64_t histogram[64] = {};
  double sum = 0.0; // summed in window order, as HexamerTable::score does
  uint64_t found = 0;
  unsigned prev = codon_code(n_codons == 1 ? last_word : load4(0));
  *aa_out++ = nucleotide::kGeneticCode[prev];
  ++histogram[prev];
  const auto step = [&](unsigned code) {
    *aa_out++ = nucleotide::kGeneticCode[code];
    ++histogram[code];
    if constexpr (Full) {
      sum += table.log_ratio(prev << 6 | code);
      ++found;
    } else if (double ratio; table.lookup(prev << 6 | code, ratio)) {
      sum += ratio;
      ++found;
    }
    prev = code;
  };
  for (size_t p = 3; p < last; p += 3)
    step(codon_code(load4(p)));
  if (n_codons > 1)
    step(codon_code(last_word));

  // Fickett's counts of each base per codon position, from code = 16 a + 4 b + c: a group
  // of four codes sharing a and b sums once into both of those, c is read per code.
  uint64_t counts[4][3] = {};
  for (unsigned group = 0; group < 16; ++group) {
    const uint64_t *h = histogram + 4 * group;
    for (unsigned c = 0; c < 4; ++c)
      counts[c][2] += h[c];
    const uint64_t sum4 = h[0] + h[1] + h[2] + h[3];
    counts[group >> 2][0] += sum4;
    counts[group & 3][1] += sum4;
  }
  OrfScores out;
  if (found > 0)
    out.hexamer = sum / static_cast<double>(found);
  out.fickett = fickett_from_counts(counts, orf.size());
  return out;
}

} // namespace

OrfScores translate_and_score(std::string_view orf, const HexamerTable &table,
                              std::string &peptide) {
  return table.full() ? translate_and_score_with<true>(orf, table, peptide)
                      : translate_and_score_with<false>(orf, table, peptide);
}

std::string_view coding_label(bool has_orf, std::optional<double> hexamer_score, double coding_min,
                              double noncoding_max) {
  if (!has_orf || !hexamer_score || !std::isfinite(*hexamer_score))
    return "no_orf";
  if (*hexamer_score > coding_min)
    return "coding";
  if (*hexamer_score < noncoding_max)
    return "noncoding";
  return "ambiguous";
}

} // namespace voskel::coding
