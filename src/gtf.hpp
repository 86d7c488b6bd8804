// The GTF reader and the transcript model.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "textio.hpp"

namespace voskel::gtf {

// 1-based inclusive, start <= end.
struct Exon {
  uint64_t start = 0;
  uint64_t end = 0;
  friend bool operator==(const Exon &, const Exon &) = default;
};

struct Transcript {
  std::string chrom;
  std::string gene_id;
  std::string transcript_id;
  std::string gene_name;
  std::vector<Exon> exons; // sorted by start (stable), never merged
  char32_t strand = U'.';
};

struct GeneBody {
  std::string chrom;
  std::string gene_id;
  std::string gene_name;
  uint64_t start = 0;
  uint64_t end = 0;
  char32_t strand = U'.';
};

struct ParsedGtf {
  std::vector<Transcript> transcripts; // ascending transcript_id (bytes)
  std::vector<GeneBody> genes;         // "gene" rows by (chrom, gene_id), then exon-only genes
  std::set<std::string, std::less<>> seqnames;
};

// Reads a whole GTF file into the model.
Result<ParsedGtf> parse_gtf(const std::string &path);

// Value of attribute `key` in a GTF attribute column; false when absent.
bool attr(std::string_view column, std::string_view key, std::string_view &value);

// Bases covered by the union of all exons of the given transcripts (touching exons merge).
uint64_t union_len(std::span<const Transcript *const> transcripts);

// The strand character as UTF-8 text.
std::string strand_text(char32_t strand);

} // namespace voskel::gtf
