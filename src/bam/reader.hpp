// BAM access over htslib: indexed and sequential readers with RAII ownership, the header's
// reference dictionary and its digest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include "error.hpp"

namespace voskel::bam {

namespace detail {
struct FileCloser {
  void operator()(htsFile *fp) const noexcept;
};
struct HeaderDeleter {
  void operator()(sam_hdr_t *h) const noexcept;
};
struct IndexDeleter {
  void operator()(hts_idx_t *idx) const noexcept;
};
struct IteratorDeleter {
  void operator()(hts_itr_t *itr) const noexcept;
};
using FilePtr = std::unique_ptr<htsFile, FileCloser>;
using HeaderPtr = std::unique_ptr<sam_hdr_t, HeaderDeleter>;
using IndexPtr = std::unique_ptr<hts_idx_t, IndexDeleter>;
using IteratorPtr = std::unique_ptr<hts_itr_t, IteratorDeleter>;
} // namespace detail

// Decompression threads shared by every reader of one call, instead of one private helper
// thread per open reader: a driver sizes it once from its worker count, so the threads of a
// call stay within what it was given. A pool of zero threads makes its readers inflate their
// blocks on the reading thread. Must outlive every reader opened with it.
class DecodePool {
public:
  // A refused thread start leaves the pool empty: its readers then decode inline.
  explicit DecodePool(uint64_t threads);
  ~DecodePool();
  DecodePool(const DecodePool &) = delete;
  DecodePool &operator=(const DecodePool &) = delete;
  uint64_t threads() const { return threads_; }
  hts_tpool *get() const { return pool_; }

private:
  hts_tpool *pool_ = nullptr;
  uint64_t threads_ = 0;
};

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
  // Errors: "cannot open BAM {path}: {reason}". Without a pool the reader gets one private
  // decompression thread; with one it decodes through the pool's threads (or inline).
  static Result<SequentialReader> open(const std::string &path, const DecodePool *pool = nullptr);
  const sam_hdr_t *header() const { return hdr_.get(); }
  // The path as given to open, for messages about the file's contents.
  const std::string &path() const { return path_; }
  // true: a record was read; false: end of data. Errors: "truncated record in SAM/BAM/CRAM
  // file" (-2) and "invalid record in SAM/BAM/CRAM file" (every other result below -1).
  Result<bool> next(Record &rec);

private:
  SequentialReader(std::string path, detail::FilePtr fp, detail::HeaderPtr hdr)
      : path_(std::move(path)), fp_(std::move(fp)), hdr_(std::move(hdr)) {}
  std::string path_;
  // Declaration order is release order reversed: header before file.
  detail::FilePtr fp_;
  detail::HeaderPtr hdr_;
};

// Region queries over an index, decompressed on the calling thread (see set_reader_threads).
class IndexedReader {
public:
  // Errors: "cannot open indexed BAM {p} (need {p}.bai / {p}.csi / sibling .bai): {reason}".
  // Decompression threads as for SequentialReader::open.
  static Result<IndexedReader> open(const std::string &path, const DecodePool *pool = nullptr);
  const sam_hdr_t *header() const { return hdr_.get(); }
  // Reference id of a name, or -1.
  int tid(std::string_view name) const;
  // Starts a query over 1-based inclusive [start, end]; replaces the previous iterator.
  // Error: "failed to fetch region".
  Status query(int tid, uint64_t start, uint64_t end);
  // Next record of the active query; the same results as SequentialReader::next.
  // Without an active query: "failed to fetch region".
  Result<bool> next(Record &rec);

private:
  IndexedReader(detail::FilePtr fp, detail::HeaderPtr hdr, detail::IndexPtr idx)
      : fp_(std::move(fp)), hdr_(std::move(hdr)), idx_(std::move(idx)) {}
  // Released in reverse: iterator, index, header, file.
  detail::FilePtr fp_;
  detail::HeaderPtr hdr_;
  detail::IndexPtr idx_;
  detail::IteratorPtr itr_;
};

// The names the rest of the core uses for the two open operations.
inline Result<SequentialReader> open_sequential(const std::string &path,
                                                const DecodePool *pool = nullptr) {
  return SequentialReader::open(path, pool);
}
inline Result<IndexedReader> open_indexed(const std::string &path,
                                          const DecodePool *pool = nullptr) {
  return IndexedReader::open(path, pool);
}

// Reference id of a name in a header, or -1 (also for a name holding a NUL byte).
int tid(const sam_hdr_t *header, std::string_view name);

using SqDict = std::vector<std::pair<std::string, uint64_t>>;

// The header as htslib renders it, every line ended by '\n'; invalid UTF-8 becomes U+FFFD.
std::string header_text(const IndexedReader &reader);
std::string header_text(const SequentialReader &reader);
std::string header_text(const sam_hdr_t *header);
// The (name, length) pairs of the @SQ lines, in header order; malformed lines are dropped.
SqDict parse_sq(std::string_view header_text);
// SHA-256 over "name\tlength\n" of every entry sorted stably by name bytes, lowercase hex.
std::string sq_sha256(const SqDict &dict);
// Reference names by id, invalid UTF-8 replaced by U+FFFD.
std::vector<std::string> tid_names(const sam_hdr_t *header);

} // namespace voskel::bam
