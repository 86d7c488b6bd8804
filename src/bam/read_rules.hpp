// Which alignment records take part in an analysis and what strand they speak for: the flag
// bits, the record filter (flag mask, duplicate policy, mapping quality, NH), the strand tags and
// the library-protocol strand. Counting, the junction census, the coverage scans and the
// terminal extension all read records through these rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include <htslib/sam.h>

#include "documents.hpp"

namespace voskel::bam {

inline constexpr uint16_t kPaired = 0x1;
inline constexpr uint16_t kProperPair = 0x2;
inline constexpr uint16_t kUnmapped = 0x4;
inline constexpr uint16_t kReverse = 0x10;
inline constexpr uint16_t kFirst = 0x40;
inline constexpr uint16_t kSecond = 0x80;
inline constexpr uint16_t kSecondary = 0x100;
inline constexpr uint16_t kQcFail = 0x200;
inline constexpr uint16_t kDuplicate = 0x400;
inline constexpr uint16_t kSupplementary = 0x800;
// Records that never take part: unmapped, secondary, QC fail, supplementary.
inline constexpr uint16_t kExcludeMask = kUnmapped | kSecondary | kQcFail | kSupplementary;
// A primary mapped record has none of these; a QC-failed one still counts as primary mapped.
inline constexpr uint16_t kNotPrimaryMapped = kUnmapped | kSecondary | kSupplementary;

// True when duplicates are skipped: "never" keeps them, "always" drops them, any other policy
// follows the sample's dup_flag_seen.
bool skip_duplicates(std::string_view policy, bool dup_flag_seen);

// The value of an integer NH tag (any of the six integer types); nothing for a tag of another
// type or no tag.
std::optional<int64_t> nh_value(const bam1_t *b);

// An integer NH tag (any of the six integer types) other than 1; other types never drop.
bool nh_not_unique(const bam1_t *b);

// The per-record filters, in their fixed order: flag mask, duplicates, mapping quality, NH.
struct RecordFilter {
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  bool skip_duplicates = false;

  bool passes(const bam1_t *b) const;
};

// The filter of one sample under the configuration's read-filter keys.
inline RecordFilter record_filter(const ReadFilterCfg &keys, bool dup_flag_seen) {
  return {keys.min_mapq, keys.require_unique_nh,
          skip_duplicates(keys.skip_duplicate, dup_flag_seen)};
}

// '+' or '-' from the XS tag, else from the ts tag; 0 when neither gives one. Tags of type A,
// c, C, Z and H are read from their first byte.
char aux_strand(const bam1_t *b);

// A library protocol word, parsed once. Reads treat every word but "rf" and "fr" as
// unstranded; the class codes turn strand-blind only for the exact word "unstranded", so that
// word keeps its own value.
enum class Strandedness : uint8_t { Rf, Fr, Unstranded, Other };
Strandedness parse_strandedness(std::string_view word);

inline bool is_stranded(Strandedness s) { return s == Strandedness::Rf || s == Strandedness::Fr; }

// The transcript strand a record implies under the protocol: '+' or '-', or 0 when the
// protocol is unstranded. "fr": read 1, or an unpaired read, lies on the transcript's strand;
// "rf": read 2 does.
inline char protocol_strand(uint16_t flag, Strandedness s) {
  const bool rev = flag & kReverse;
  switch (s) {
  case Strandedness::Rf: {
    const bool second = (flag & kPaired) && (flag & kSecond);
    return second == rev ? '-' : '+';
  }
  case Strandedness::Fr: {
    const bool first = !(flag & kPaired) || (flag & kFirst);
    return first == rev ? '-' : '+';
  }
  default:
    return 0;
  }
}

} // namespace voskel::bam
