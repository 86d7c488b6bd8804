// Cheap checks of one BAM file before any analysis reads it: the raw BGZF framing, the sort
// order and the library layout of its first records, and the comparison of two reference
// dictionaries. Each returns its finding or the text that names the problem.
#pragma once

#include <cstdint>
#include <string>

#include "bam/reader.hpp"
#include "error.hpp"

namespace voskel::bam {

// What the first primary mapped records of a file show.
struct LayoutFinding {
  bool paired = false;        // at least as many records with 0x1 as without
  bool mixed = false;         // more than 1% of each kind
  bool dup_flag_seen = false; // some record carries 0x400
};

// Looks at 30 bytes: the size, the gzip magic and the BGZF end-of-file block. A file cut
// short or still being written fails here, before htslib would read it to a silent early end.
Status validate_bam_integrity(const std::string &path);

// Confirms that the first `limit` (at least 1) primary mapped records of a freshly opened
// reader never go back in (reference id, position); needs at least two of them.
Status check_coordinate_order_seq(SequentialReader &reader, uint64_t limit);

// Paired, mixed and duplicate marks among the first `limit` (at least 1) primary mapped
// records of a freshly opened reader.
Result<LayoutFinding> scan_layout_seq(SequentialReader &reader, uint64_t limit);

// True when both dictionaries hold the same (name, length) entries, in any order;
// a repeated entry counts as often as it occurs.
bool sq_equal(const SqDict &a, const SqDict &b);

} // namespace voskel::bam
