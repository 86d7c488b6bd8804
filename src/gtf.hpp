// The GTF reader, the transcript model, and the checks of its sequence names against those
// of the alignments.
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

// Names in ascending byte order.
using NameSet = std::set<std::string, std::less<>>;

struct ParsedGtf {
  std::vector<Transcript> transcripts; // ascending transcript_id (bytes)
  std::vector<GeneBody> genes;         // "gene" rows by (chrom, gene_id), then exon-only genes
  NameSet seqnames;                    // of every gene, transcript and exon row
};

// Reads a whole GTF file into the model.
Result<ParsedGtf> parse_gtf(const std::string &path);

// Value of attribute `key` in a GTF attribute column; false when absent.
bool attr(std::string_view column, std::string_view key, std::string_view &value);

// Bases covered by the union of all exons of the given transcripts (touching exons merge),
// saturated (coords::span_len).
uint64_t union_len(std::span<const Transcript *const> transcripts);

// The strand character as UTF-8 text.
std::string strand_text(char32_t strand);

// ---- sequence names of an annotation against those of the alignments ----------------------

// The sequence names of the gene, transcript and exon rows of a GTF, in byte order.
// Errors: those of parse_gtf, and "GTF {path} has no gene/transcript/exon rows".
Result<NameSet> gtf_seqnames(const std::string &path);

// The number of annotation names when they can be matched literally against the reference
// names of a BAM; otherwise the text that says why not: no names, no common name, names that
// differ only by a chr prefix, or annotation names the BAM lacks. BAM names the annotation
// does not use are fine.
Result<uint64_t> check_gtf_vs_bam(const NameSet &gtf_names, const NameSet &bam_names);

// The name with ASCII letters lowered and a leading "chr" removed: Chr1 -> 1, MT -> mt.
// Only recognises a prefix mismatch; names used for matching are never rewritten.
std::string strip_chr_prefix(std::string_view name);

} // namespace voskel::gtf
