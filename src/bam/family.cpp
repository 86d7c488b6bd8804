#include "bam/family.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include "bam/header_lines.hpp"

namespace voskel::bam {

namespace {

using types::AlignerFamily;

// Programs that leave @PG lines without aligning anything.
constexpr std::array<std::string_view, 6> kPostProcessors{"samtools", "picard",   "markduplicates",
                                                          "gatk",     "sambamba", "bedtools"};

// Tested in this order; the first word found decides, so "hisat2-star" is STAR.
constexpr std::array<std::pair<std::string_view, AlignerFamily>, 4> kAligners{{
    {"bowtie", AlignerFamily::Bowtie2},
    {"minimap", AlignerFamily::Minimap2},
    {"star", AlignerFamily::Star},
    {"hisat", AlignerFamily::Hisat2},
}};

struct Program {
  std::string_view id;
  std::string_view pn;
};

std::vector<Program> programs(std::string_view header_text) {
  std::vector<Program> out;
  for_each_header_line(header_text, [&](std::string_view line) {
    if (!line.starts_with("@PG"))
      return;
    Program p;
    for_each_header_field(line, [&](std::string_view field) {
      if (field.starts_with("ID:"))
        p.id = field.substr(3);
      else if (field.starts_with("PN:"))
        p.pn = field.substr(3);
    });
    out.push_back(p);
  });
  return out;
}

AlignerFamily classify(std::string_view words) {
  for (const auto &[word, family] : kAligners)
    if (words.find(word) != std::string_view::npos)
      return family;
  return AlignerFamily::Other;
}

} // namespace

Result<AlignerFamily> infer_aligner_family(std::string_view header_text) {
  const std::vector<Program> progs = programs(header_text);
  if (progs.empty())
    return fail_msg("BAM has no @PG records; cannot confirm a splice-aware aligner (STAR or "
                    "HISAT2)");
  std::vector<AlignerFamily> found;
  uint64_t others = 0;
  std::string words;
  for (const Program &p : progs) {
    words.assign(p.id);
    words += ' ';
    words += p.pn;
    std::ranges::transform(words, words.begin(), [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    if (std::ranges::any_of(kPostProcessors,
                            [&](std::string_view w) { return words.find(w) != std::string::npos; }))
      continue;
    const AlignerFamily family = classify(words);
    switch (family) {
    case AlignerFamily::Bowtie2:
    case AlignerFamily::Minimap2:
      return fail_fmt("BAM @PG contains {} (ID={} PN={}); only STAR or HISAT2 are accepted. "
                      "Bowtie2/minimap2 fail even when STAR is also in @PG.",
                      types::family_name(family), p.id, p.pn);
    case AlignerFamily::Other:
      ++others;
      break;
    case AlignerFamily::Star:
    case AlignerFamily::Hisat2:
      if (std::ranges::find(found, family) == found.end())
        found.push_back(family);
      break;
    }
  }
  if (found.empty())
    return fail_fmt("BAM @PG has no STAR/HISAT2 after ignoring post-processors ({} other "
                    "tool(s)); cannot confirm splice-aware alignment",
                    others);
  if (found.size() > 1)
    return fail_msg("BAM @PG contains both STAR and HISAT2; mixed aligner families are not "
                    "allowed");
  return found.front();
}

} // namespace voskel::bam
