#include "textio.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "interrupt.hpp"

namespace voskel::textio {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is invalid.
// On invalid input, *bad receives the length of the maximal invalid prefix (at least 1).
size_t utf8_seq(std::string_view s, size_t i, size_t *bad) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const size_t n = s.size();
  const unsigned char c = b(i);
  *bad = 1;
  if (c < 0x80)
    return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0)
      lo = 0xA0;
    if (c == 0xED)
      hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0)
      lo = 0x90;
    if (c == 0xF4)
      hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k < len; ++k) {
    if (i + k >= n)
      return 0;
    const unsigned char d = b(i + k);
    const unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (d < l || d > h)
      return 0;
    *bad = k + 1;
  }
  return len;
}

} // namespace

bool utf8_valid(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (w & 0x8080808080808080ULL)
        break;
      i += 8;
    }
    if (i >= n)
      break;
    size_t bad;
    const size_t len = utf8_seq(s, i, &bad);
    if (len == 0)
      return false;
    i += len;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  if (utf8_valid(s))
    return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  size_t i = 0;
  while (i < s.size()) {
    size_t bad;
    const size_t len = utf8_seq(s, i, &bad);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(s.data() + i, len);
      i += len;
    }
  }
  return out;
}

// ---- white space and single characters ------------------------------------------------------

// The text is valid UTF-8, so a lead byte is never mistaken for a continuation.
size_t ws_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D))
    return 1;
  if (c < 0x80)
    return 0;
  const size_t left = s.size() - i;
  if (c == 0xC2 && left >= 2)
    return (b(i + 1) == 0x85 || b(i + 1) == 0xA0) ? 2 : 0;
  if (left < 3)
    return 0;
  const unsigned char d = b(i + 1), e = b(i + 2);
  if (c == 0xE1)
    return (d == 0x9A && e == 0x80) ? 3 : 0; // U+1680
  if (c == 0xE2) {
    if (d == 0x80)
      return (e <= 0x8A || e == 0xA8 || e == 0xA9 || e == 0xAF) ? 3 : 0; // U+2000..200A etc.
    return (d == 0x81 && e == 0x9F) ? 3 : 0;                             // U+205F
  }
  if (c == 0xE3)
    return (d == 0x80 && e == 0x80) ? 3 : 0; // U+3000
  return 0;
}

namespace {

// Byte length of the white-space character that ends s, or 0.
size_t ws_before_end(std::string_view s) {
  const size_t n = s.size();
  if (n == 0)
    return 0;
  const unsigned char last = static_cast<unsigned char>(s[n - 1]);
  if (last < 0x80)
    return ws_at(s, n - 1);
  if (n >= 2 && static_cast<unsigned char>(s[n - 2]) == 0xC2)
    return ws_at(s, n - 2);
  if (n >= 3)
    return ws_at(s, n - 3) == 3 ? 3 : 0;
  return 0;
}

} // namespace

std::string_view trim(std::string_view s) {
  while (!s.empty()) {
    const size_t k = ws_at(s, 0);
    if (k == 0)
      break;
    s.remove_prefix(k);
  }
  while (!s.empty()) {
    const size_t k = ws_before_end(s);
    if (k == 0)
      break;
    s.remove_suffix(k);
  }
  return s;
}

char32_t first_char(std::string_view s, char32_t if_empty) {
  if (s.empty())
    return if_empty;
  const auto b = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
  const char32_t c = b(0);
  if (c < 0x80)
    return c;
  if (c < 0xE0)
    return ((c & 0x1F) << 6) | (b(1) & 0x3F);
  if (c < 0xF0)
    return ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  return ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

std::string utf8_encode(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (c >> 18));
    s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

std::optional<uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+')
    s.remove_prefix(1);
  if (s.empty())
    return std::nullopt;
  uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9')
      return std::nullopt;
    if (__builtin_mul_overflow(v, 10u, &v) ||
        __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

size_t split_fields(std::string_view line, std::span<std::string_view> out) {
  size_t count = 0;
  while (count < out.size()) {
    const size_t tab = line.find('\t');
    out[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos)
      break;
    line.remove_prefix(tab + 1);
  }
  return count;
}

// ---- LineReader ----------------------------------------------------------------------------

namespace {
constexpr size_t kReadChunk = 1 << 16;
}

LineReader::LineReader(fd::File file, std::string path, size_t max_line)
    : file_(std::move(file)), path_(std::move(path)), max_line_(max_line) {
  buf_.resize(kReadChunk);
}

Result<LineReader> LineReader::open(const std::string &path, size_t max_line) {
  auto file = fd::open_for_reading(path);
  if (!file)
    return fail_os(file.error());
  return LineReader(std::move(*file), path, max_line);
}

CoreError LineReader::line_error(std::string_view what) const {
  return CoreError::io(fmt::format("{} line {}: {}", path_, line_no_ + 1, what));
}

CoreError LineReader::too_long() const {
  return line_error(fmt::format("line longer than {} bytes", max_line_));
}

Result<bool> LineReader::fill() {
  begin_ = 0;
  end_ = 0;
  // Large inputs (a genome-wide GTF) take seconds; an interrupt ends them chunk by chunk.
  if (auto go = interrupt::checkpoint(); !go)
    return fail(std::move(go.error()));
  const ssize_t got = fd::read_some(file_, buf_.data(), buf_.size());
  if (got < 0)
    return fail_os(errno);
  if (got == 0) {
    eof_ = true;
    return false;
  }
  end_ = static_cast<size_t>(got);
  return true;
}

Status LineReader::carry(const char *bytes, size_t n) {
  if (n > max_line_ - carry_.size())
    return fail(too_long());
  try {
    carry_.append(bytes, n);
  } catch (const std::bad_alloc &) {
    return fail(line_error("out of memory"));
  }
  return {};
}

Result<bool> LineReader::next(std::string_view &line) {
  carry_.clear();
  bool have_carry = false;
  for (;;) {
    if (begin_ < end_) {
      const char *start = buf_.data() + begin_;
      const void *nl = std::memchr(start, '\n', end_ - begin_);
      if (nl) {
        const size_t len = static_cast<const char *>(nl) - start;
        std::string_view piece(start, len);
        begin_ += len + 1;
        if (have_carry) {
          if (auto st = carry(start, len); !st)
            return fail(std::move(st.error()));
          piece = carry_;
        } else if (len > max_line_) {
          return fail(too_long());
        }
        if (!piece.empty() && piece.back() == '\r')
          piece.remove_suffix(1);
        if (!utf8_valid(piece))
          return fail(line_error(error::kInvalidUtf8));
        ++line_no_;
        line = piece;
        return true;
      }
      if (auto st = carry(start, end_ - begin_); !st)
        return fail(std::move(st.error()));
      have_carry = true;
      begin_ = end_;
    }
    if (eof_)
      break;
    auto more = fill();
    if (!more)
      return fail(more.error());
    if (!*more)
      break;
  }
  if (!have_carry)
    return false;
  // Last line without a line feed: kept as is (a trailing '\r' stays, as no '\n' follows).
  std::string_view piece = carry_;
  if (!utf8_valid(piece))
    return fail(line_error(error::kInvalidUtf8));
  ++line_no_;
  line = piece;
  return true;
}

// ---- directories ---------------------------------------------------------------------------

std::string_view parent_dir(std::string_view path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos)
    return {};
  std::string_view dir = path.substr(0, slash);
  if (dir.empty())
    return path.substr(0, 1); // "/name": the root
  return dir;
}

Status create_dirs(std::string_view path) {
  if (path.empty())
    return {};
  if (fd::has_nul(path))
    return fail_os(error::kPathHasNul);
  std::string p(path);
  if (auto st = fd::status(p)) {
    if (S_ISDIR(st->st_mode))
      return {};
    return fail_os(EEXIST);
  }
  // Create each missing component in turn, parents first.
  size_t pos = 0;
  while (pos <= p.size()) {
    size_t slash = p.find('/', pos);
    if (slash == std::string::npos)
      slash = p.size();
    if (slash > 0) {
      const std::string prefix = p.substr(0, slash);
      if (const int err = fd::make_dir(prefix, 0777); err != 0) {
        if (err != EEXIST)
          return fail_os(err);
        const auto st = fd::status(prefix);
        if (!st || !S_ISDIR(st->st_mode))
          return fail_os(slash == p.size() ? EEXIST : ENOTDIR);
      }
    }
    pos = slash + 1;
  }
  return {};
}

// ---- FileWriter ----------------------------------------------------------------------------

Result<FileWriter> FileWriter::create(const std::string &path) {
  auto file = fd::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file)
    return fail_os(file.error());
  return FileWriter(std::move(*file));
}

FileWriter::~FileWriter() {
  // A table abandoned on an error path still keeps what was written to it.
  if (file_.is_open())
    (void)flush();
}

Status FileWriter::flush() {
  size_t off = 0;
  while (off < buf_.size()) {
    const ssize_t put = fd::write_some(file_, buf_.data() + off, buf_.size() - off);
    if (put < 0) {
      const int err = errno;
      buf_.erase(0, off);
      return fail_os(err);
    }
    off += static_cast<size_t>(put);
  }
  buf_.clear();
  return {};
}

Status FileWriter::write(std::string_view bytes) {
  if (buf_.size() + bytes.size() > kBufSize) {
    if (auto st = flush(); !st)
      return st;
    if (bytes.size() >= kBufSize) {
      buf_.assign(bytes);
      return flush();
    }
  }
  buf_.append(bytes);
  return {};
}

Status FileWriter::close() {
  if (!file_.is_open())
    return {};
  auto st = flush();
  if (const int err = file_.close(); err != 0 && st)
    return fail_os(err);
  if (!st)
    buf_.clear();
  return st;
}

} // namespace voskel::textio
