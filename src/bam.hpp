// BAM access over htslib: indexed and sequential readers with RAII ownership, the header's
// reference dictionary and its digest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <htslib/hts.h>
#include <htslib/sam.h>

#include "error.hpp"

namespace voskel::bam {

// One reusable alignment record.
class Record {
public:
  Record();
  ~Record();
  Record(Record &&o) noexcept;
  Record &operator=(Record &&o) noexcept;
  Record(const Record &) = delete;
  Record &operator=(const Record &) = delete;
  bam1_t *get() const { return b_; }

private:
  bam1_t *b_;
};

// Reads a whole file front to back.
class SequentialReader {
public:
  // Errors: "cannot open BAM {path}: {reason}".
  static Result<SequentialReader> open(const std::string &path);
  const sam_hdr_t *header() const;
  // true: a record was read; false: end of data. Errors: "truncated record in SAM/BAM/CRAM
  // file" (-2) and "invalid record in SAM/BAM/CRAM file" (every other result below -1).
  Result<bool> next(Record &rec);
  // ... (implementation-defined members)
};

// Region queries over an index.
class IndexedReader {
public:
  // Errors: "cannot open indexed BAM {p} (need {p}.bai / {p}.csi / sibling .bai): {reason}".
  static Result<IndexedReader> open(const std::string &path);
  const sam_hdr_t *header() const;
  // Reference id of a name, or -1.
  int tid(std::string_view name) const;
  // Starts a query over 1-based inclusive [start, end]; replaces the previous iterator.
  // Error: "failed to fetch region".
  Status query(int tid, uint64_t start, uint64_t end);
  Result<bool> next(Record &rec);
};

using SqDict = std::vector<std::pair<std::string, uint64_t>>;

std::string header_text(const IndexedReader &reader); // invalid UTF-8 becomes U+FFFD
SqDict parse_sq(std::string_view header_text);
std::string sq_sha256(const SqDict &dict);
// Reference names by id, invalid UTF-8 replaced by U+FFFD.
std::vector<std::string> tid_names(const sam_hdr_t *header);

} // namespace voskel::bam
