#include "bam/read_rules.hpp"

namespace voskel::bam {

bool skip_duplicates(std::string_view policy, bool dup_flag_seen) {
  if (policy == "never")
    return false;
  if (policy == "always")
    return true;
  return dup_flag_seen;
}

std::optional<int64_t> nh_value(const bam1_t *b) {
  const uint8_t *tag = bam_aux_get(b, "NH");
  if (!tag)
    return std::nullopt;
  switch (*tag) {
  case 'c':
  case 'C':
  case 's':
  case 'S':
  case 'i':
  case 'I':
    return bam_aux2i(tag);
  default:
    return std::nullopt;
  }
}

bool nh_not_unique(const bam1_t *b) {
  const auto nh = nh_value(b);
  return nh && *nh != 1;
}

bool RecordFilter::passes(const bam1_t *b) const {
  const uint16_t flag = b->core.flag;
  if (flag & kExcludeMask)
    return false;
  if (skip_duplicates && (flag & kDuplicate))
    return false;
  if (b->core.qual < min_mapq)
    return false;
  if (require_unique_nh && nh_not_unique(b))
    return false;
  return true;
}

namespace {

char tag_strand(const bam1_t *b, const char tag[2]) {
  const uint8_t *t = bam_aux_get(b, tag);
  if (!t)
    return 0;
  switch (*t) {
  case 'A':
  case 'c':
  case 'C':
  case 'Z':
  case 'H':
    break;
  default:
    return 0;
  }
  const char c = static_cast<char>(t[1]);
  return (c == '+' || c == '-') ? c : 0;
}

} // namespace

char aux_strand(const bam1_t *b) {
  if (char c = tag_strand(b, "XS"))
    return c;
  return tag_strand(b, "ts");
}

Strandedness parse_strandedness(std::string_view word) {
  if (word == "rf")
    return Strandedness::Rf;
  if (word == "fr")
    return Strandedness::Fr;
  if (word == "unstranded")
    return Strandedness::Unstranded;
  return Strandedness::Other;
}

} // namespace voskel::bam
