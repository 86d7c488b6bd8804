// Coding potential of an ORF: the hexamer log-likelihood score, the Fickett score, the label
// derived from them, and the text of a score cell.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"

namespace voskel::coding {

// log2((coding + 1e-8) / (noncoding + 1e-8)) per hexamer, read from a user table.
class HexamerTable {
public:
  // Reads a tab-separated table: hexamer, coding frequency, noncoding frequency.
  static Result<HexamerTable> load(const std::string &path);

  // Mean log-ratio of the in-frame windows at 0, 3, 6, ... that are ACGT (any case) and in
  // the table; absent when no window counts.
  std::optional<double> score(std::string_view nucleotides) const;

  // The log-ratio of six bases (any case); absent when not ACGT or not in the table.
  std::optional<double> find(std::string_view hexamer) const;

  size_t size() const { return present_.count(); }

  // The log-ratio under a 12-bit key (two bits per base, A C G T = 0..3, first base in the
  // highest bits) into `out`; false when the table lacks that hexamer.
  bool lookup(size_t key, double &out) const {
    if (!present_.test(key))
      return false;
    out = log_ratio_[key];
    return true;
  }
  // The log-ratio under a key the table is known to hold.
  double log_ratio(size_t key) const { return log_ratio_[key]; }
  // Every one of the 4096 hexamers present.
  bool full() const { return present_.all(); }

private:
  HexamerTable() = default;
  // Each hexamer packed two bits per base: 4096 slots.
  std::array<double, 4096> log_ratio_{};
  std::bitset<4096> present_;
};

struct OrfScores {
  std::optional<double> hexamer; // absent when no window counts
  double fickett = 0.0;
};

// The peptide of an ORF (whole codons, no in-frame stop) into `peptide`, and both scores, from
// one walk over its codons: the fused form of translate, HexamerTable::score and
// fickett_score, giving exactly their results.
OrfScores translate_and_score(std::string_view orf, const HexamerTable &table,
                              std::string &peptide);

// Fickett position-and-composition score; 0.0 for fewer than two bases.
double fickett_score(std::string_view nucleotides);
// The same from counts[b][phase] of bases A, C, G, T (b = 0..3) at positions i with i % 3 ==
// phase, over n bases in all (bases of other kinds count towards n only).
double fickett_from_counts(const uint64_t (&counts)[4][3], uint64_t n);

// Six decimals, correctly rounded, never in exponent form; "NA" when absent or not finite.
std::string fmt_score(bool present, double value);
// The same text appended to `out`.
void append_score(std::string &out, bool present, double value);
inline std::string fmt_score(std::optional<double> value) {
  return fmt_score(value.has_value(), value.value_or(0.0));
}

// "coding", "noncoding", "ambiguous", or "no_orf" (no ORF, or no finite hexamer score).
std::string_view coding_label(bool has_orf, std::optional<double> hexamer_score, double coding_min,
                              double noncoding_max);

} // namespace voskel::coding
