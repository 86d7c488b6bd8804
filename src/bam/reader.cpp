#include "bam/reader.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <new>
#include <optional>

#include <htslib/bgzf.h>
#include <htslib/tbx.h> // hts_get_bgzfp
#include <openssl/evp.h>

#include "bam/header_lines.hpp"
#include "fd.hpp"
#include "textio.hpp"

namespace voskel::bam {

namespace detail {
void FileCloser::operator()(htsFile *fp) const noexcept { hts_close(fp); }
void HeaderDeleter::operator()(sam_hdr_t *h) const noexcept { sam_hdr_destroy(h); }
void IndexDeleter::operator()(hts_idx_t *idx) const noexcept { hts_idx_destroy(idx); }
void IteratorDeleter::operator()(hts_itr_t *itr) const noexcept { hts_itr_destroy(itr); }
} // namespace detail

Record::Record() : b_(bam_init1()) {
  if (b_ == nullptr)
    throw std::bad_alloc();
}
Record::~Record() {
  if (b_ != nullptr)
    bam_destroy1(b_);
}
Record::Record(Record &&o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
Record &Record::operator=(Record &&o) noexcept {
  if (this != &o) {
    if (b_ != nullptr)
      bam_destroy1(b_);
    b_ = std::exchange(o.b_, nullptr);
  }
  return *this;
}

namespace {

using detail::FilePtr;
using detail::HeaderPtr;
using detail::IndexPtr;
using detail::IteratorPtr;

std::string unreadable(const std::string &path) {
  return fmt::format("unable to open SAM/BAM/CRAM file at {}", path);
}

// Steps 1-2 of both opens plus the EOF-block check; the error is the bare reason.
Result<FilePtr> open_alignment_file(const std::string &path) {
  if (const auto st = fd::status(path); !st)
    return st.error() == error::kPathHasNul ? fail_msg(error::os_description(st.error()))
                                            : fail_fmt("file not found: {}", path);
  FilePtr fp(hts_open(path.c_str(), "r"));
  if (!fp)
    return fail_msg(unreadable(path));
  const htsFormat *format = hts_get_format(fp.get());
  const htsExactFormat kind = format->format;
  if (kind != htsExactFormat::sam && kind != htsExactFormat::bam && kind != htsExactFormat::cram)
    return fail_msg(unreadable(path));
  // A BGZF file without its EOF marker is cut short or still being written; reading it
  // would end silently early. Plain SAM text has no BGZF layer and is not checked.
  if (format->compression == bgzf) {
    if (BGZF *bg = hts_get_bgzfp(fp.get()); bg != nullptr && bgzf_check_EOF(bg) == 0)
      return fail_msg("missing BGZF EOF block; the file is truncated or still being written");
  }
  return fp;
}

// Without a shared pool: one private decompression helper per reader. With one: its threads,
// or none at all when it has none. A refusal leaves the reader single-threaded.
void set_reader_threads(htsFile *fp, const DecodePool *pool) {
  if (pool == nullptr) {
    (void)hts_set_threads(fp, 1);
    return;
  }
  if (pool->get() == nullptr)
    return;
  htsThreadPool shared{pool->get(), 0};
  (void)hts_set_thread_pool(fp, &shared);
}

// The meaning of a read result of sam_read1 / sam_itr_next.
Result<bool> read_outcome(htsFile *fp, int r) {
  if (r >= 0)
    return true;
  if (r == -1) {
    // With a decompression thread, a block that fails to inflate or to read can surface as
    // a plain end of data; the stream's error code tells the two apart.
    const BGZF *bg = hts_get_bgzfp(fp);
    if (bg != nullptr && bg->errcode != 0)
      return fail_msg("truncated record in SAM/BAM/CRAM file");
    return false;
  }
  if (r == -2)
    return fail_msg("truncated record in SAM/BAM/CRAM file");
  return fail_msg("invalid record in SAM/BAM/CRAM file");
}

} // namespace

DecodePool::DecodePool(uint64_t threads) {
  if (threads == 0)
    return;
  // htslib counts threads in an int; more than a few hundred would only queue.
  const int n = static_cast<int>(std::min<uint64_t>(threads, 1024));
  pool_ = hts_tpool_init(n);
  if (pool_ != nullptr)
    threads_ = static_cast<uint64_t>(n);
}

DecodePool::~DecodePool() {
  if (pool_ != nullptr)
    hts_tpool_destroy(pool_);
}

Result<SequentialReader> SequentialReader::open(const std::string &path, const DecodePool *pool) {
  auto wrap = [&](const CoreError &reason) {
    return fail_fmt("cannot open BAM {}: {}", path, reason.text());
  };
  auto fp = open_alignment_file(path);
  if (!fp)
    return wrap(fp.error());
  HeaderPtr hdr(sam_hdr_read(fp->get()));
  if (!hdr)
    return wrap(CoreError::message(unreadable(path)));
  // Builds the header's line index up front; the answer itself is not needed.
  (void)sam_hdr_line_name(hdr.get(), "SQ", 0);
  set_reader_threads(fp->get(), pool);
  return SequentialReader(path, std::move(*fp), std::move(hdr));
}

Result<bool> SequentialReader::next(Record &rec) {
  return read_outcome(fp_.get(), sam_read1(fp_.get(), hdr_.get(), rec.get()));
}

Result<IndexedReader> IndexedReader::open(const std::string &path, const DecodePool *pool) {
  auto wrap = [&](const CoreError &reason) {
    return fail_fmt("cannot open indexed BAM {0} (need {0}.bai / {0}.csi / sibling .bai): {1}",
                    path, reason.text());
  };
  auto fp = open_alignment_file(path);
  if (!fp)
    return wrap(fp.error());
  HeaderPtr hdr(sam_hdr_read(fp->get()));
  if (!hdr)
    return wrap(CoreError::message(unreadable(path)));
  IndexPtr idx(sam_index_load(fp->get(), path.c_str()));
  if (!idx)
    return wrap(CoreError::message(
        fmt::format("unable to open SAM/BAM/CRAM index for {}; please create an index", path)));
  // A reader that seeks decodes on its own thread whatever the pool: htslib's decompression
  // helper stops at the first damaged block it reads ahead, and a later seek then waits for
  // it forever; seeking also drains and restarts the helper, so region queries gain little.
  (void)pool;
  return IndexedReader(std::move(*fp), std::move(hdr), std::move(idx));
}

int tid(const sam_hdr_t *header, std::string_view name) {
  // Header names end at their NUL: a name holding one is none of them, not its prefix.
  if (name.find('\0') != std::string_view::npos)
    return -1;
  const std::string key(name); // htslib wants a terminated string
  // htslib's lookup takes a mutable header but only reads it.
  const int id = sam_hdr_name2tid(const_cast<sam_hdr_t *>(header), key.c_str());
  return id < 0 ? -1 : id;
}

int IndexedReader::tid(std::string_view name) const { return bam::tid(hdr_.get(), name); }

Status IndexedReader::query(int tid, uint64_t start, uint64_t end) {
  itr_.reset();
  // The one conversion from 1-based inclusive to htslib's 0-based half-open form: the
  // first base moves down by one, the inclusive end is already the exclusive bound.
  constexpr uint64_t kMaxPos = std::numeric_limits<hts_pos_t>::max();
  const auto beg0 = static_cast<hts_pos_t>(std::min(start == 0 ? 0 : start - 1, kMaxPos));
  const auto end0 = static_cast<hts_pos_t>(std::min(end, kMaxPos));
  itr_.reset(sam_itr_queryi(idx_.get(), tid, beg0, end0));
  if (!itr_)
    return fail_msg("failed to fetch region");
  return {};
}

Result<bool> IndexedReader::next(Record &rec) {
  if (!itr_)
    return fail_msg("failed to fetch region");
  return read_outcome(fp_.get(), sam_itr_next(fp_.get(), itr_.get(), rec.get()));
}

std::string header_text(const sam_hdr_t *header) {
  // sam_hdr_str may rebuild its cached text, hence the non-const handle; the reader that
  // owns the header belongs to the calling thread.
  auto *h = const_cast<sam_hdr_t *>(header);
  const char *text = sam_hdr_str(h);
  if (text == nullptr)
    return {};
  return textio::utf8_lossy(std::string_view(text, sam_hdr_length(h)));
}

std::string header_text(const IndexedReader &reader) { return header_text(reader.header()); }
std::string header_text(const SequentialReader &reader) { return header_text(reader.header()); }

namespace {

void parse_sq_line(std::string_view line, SqDict &out) {
  std::optional<std::string_view> name;
  std::optional<uint64_t> length;
  for_each_header_field(line, [&](std::string_view field) {
    if (field.starts_with("SN:"))
      name = field.substr(3);
    else if (field.starts_with("LN:"))
      length = textio::parse_u64(field.substr(3)); // a later invalid tag still overrides
  });
  if (name && length)
    out.emplace_back(std::string(*name), *length);
}

} // namespace

SqDict parse_sq(std::string_view text) {
  SqDict out;
  for_each_header_line(text, [&](std::string_view line) {
    if (line.starts_with("@SQ"))
      parse_sq_line(line, out);
  });
  return out;
}

std::string sq_sha256(const SqDict &dict) {
  std::vector<const std::pair<std::string, uint64_t> *> sorted;
  sorted.reserve(dict.size());
  for (const auto &e : dict)
    sorted.push_back(&e);
  // std::string compares like memcmp: byte order, a prefix first.
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto *a, const auto *b) { return a->first < b->first; });

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    throw std::bad_alloc(); // only a failed allocation stops SHA-256 from starting
  std::string entry;
  for (const auto *e : sorted) {
    entry.assign(e->first);
    entry += '\t';
    fmt::format_to(std::back_inserter(entry), "{}", e->second);
    entry += '\n';
    EVP_DigestUpdate(ctx.get(), entry.data(), entry.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &len);

  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * len);
  for (unsigned int i = 0; i < len; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xF];
  }
  return hex;
}

std::vector<std::string> tid_names(const sam_hdr_t *header) {
  std::vector<std::string> names;
  const int n = sam_hdr_nref(header);
  names.reserve(n > 0 ? static_cast<size_t>(n) : 0);
  for (int i = 0; i < n; ++i) {
    const char *name = sam_hdr_tid2name(header, i);
    names.push_back(textio::utf8_lossy(name == nullptr ? std::string_view() : name));
  }
  return names;
}

} // namespace voskel::bam
