#include "fasta.hpp"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "nucleotide.hpp"
#include "textio.hpp"

namespace voskel::fasta {

namespace {

// What a short file or an impossible range reads as: the stream's own wording.
CoreError short_read() { return CoreError::io("failed to fill whole buffer"); }

} // namespace

Result<std::vector<FaiEntry>> parse_fai(const std::string &fai_path) {
  // A path with a NUL byte is not missing: it fails below as an index that cannot be read.
  if (const auto st = fd::status(fai_path); !st && st.error() != error::kPathHasNul)
    return fail_fmt("missing FASTA index {} \u2014 please run `samtools faidx` on that FASTA "
                    "(Voskel will not write a .fai next to a shared genome)",
                    fai_path);
  auto reader = textio::LineReader::open(fai_path);
  if (!reader)
    return fail_fmt("cannot read {}: {}", fai_path, reader.error().text());

  std::vector<FaiEntry> out;
  auto read = textio::for_each_line(*reader, [&](std::string_view line, uint64_t n) -> Status {
    if (line.empty())
      return {};
    std::string_view fields[5];
    if (textio::split_fields(line, fields) < 5)
      return fail_fmt("{} line {}: expected 5 columns (name, length, offset, linebases, "
                      "linewidth)",
                      fai_path, n);
    FaiRec rec;
    static constexpr std::string_view kWhat[] = {"length", "offset", "linebases", "linewidth"};
    uint64_t *slots[] = {&rec.length, &rec.offset, &rec.linebases, &rec.linewidth};
    for (size_t i = 0; i < 4; ++i) {
      const auto value = textio::parse_u64(fields[i + 1]);
      if (!value)
        return fail_fmt("{} line {}: invalid {}", fai_path, n, kWhat[i]);
      *slots[i] = *value;
    }
    rec.linebases = std::max<uint64_t>(rec.linebases, 1);
    rec.linewidth = std::max<uint64_t>(rec.linewidth, 1);
    out.emplace_back(std::string(fields[0]), rec);
    return {};
  });
  if (!read)
    return fail(std::move(read.error()));
  if (out.empty())
    return fail_fmt("{} is empty", fai_path);
  return out;
}

Result<std::vector<std::pair<std::string, uint64_t>>> load_fai(const std::string &fasta_path) {
  auto entries = parse_fai(fasta_path + ".fai");
  if (!entries)
    return fail(std::move(entries.error()));
  std::vector<std::pair<std::string, uint64_t>> out;
  out.reserve(entries->size());
  for (auto &[name, rec] : *entries)
    out.emplace_back(std::move(name), rec.length);
  return out;
}

// ---- FastaIndex ----------------------------------------------------------------------------

FastaIndex::FastaIndex(std::map<std::string, FaiRec, std::less<>> recs, fd::File file,
                       uint64_t file_size)
    : recs_(std::move(recs)), file_(std::move(file)), file_size_(file_size),
      io_lock_(std::make_unique<std::mutex>()) {}

Result<FastaIndex> FastaIndex::open(const std::string &fasta_path) {
  auto entries = parse_fai(fasta_path + ".fai");
  if (!entries)
    return fail(std::move(entries.error()));
  std::map<std::string, FaiRec, std::less<>> recs;
  for (auto &[name, rec] : *entries)
    recs.insert_or_assign(std::move(name), rec); // a later line wins

  auto file = fd::open_for_reading(fasta_path);
  if (!file)
    return fail_fmt("cannot open FASTA {}: {}", fasta_path, error::os_description(file.error()));
  const auto size = fd::size(*file);
  if (!size)
    return fail_fmt("cannot open FASTA {}: {}", fasta_path, error::os_description(size.error()));
  return FastaIndex(std::move(recs), std::move(*file), *size);
}

const FaiRec *FastaIndex::find(std::string_view name) const {
  const auto it = recs_.find(name);
  return it == recs_.end() ? nullptr : &it->second;
}

bool FastaIndex::holds(std::string_view name, uint64_t start, uint64_t end) const {
  const FaiRec *rec = find(name);
  return rec && start != 0 && start <= end && end <= rec->length;
}

Status FastaIndex::fetch_into(std::string_view name, uint64_t start, uint64_t end,
                              std::string &out) const {
  const FaiRec *rec = find(name);
  if (!rec)
    return fail_fmt("FASTA has no contig {}", name);
  if (start == 0 || start > end || end > rec->length)
    return fail_fmt("bad FASTA interval {}:{}-{} (len {})", name, start, end, rec->length);
  // With lines wider than their bases the byte range could run backwards.
  if (rec->linewidth < rec->linebases)
    return fail_fmt("bad FASTA index for {}: linewidth {} < linebases {}", name, rec->linewidth,
                    rec->linebases);

  // Byte offsets of the first base and one past the last; an index that points beyond any
  // possible file reads as a short file rather than as a huge allocation.
  const auto byte_at = [rec](uint64_t i, uint64_t &at) {
    uint64_t row;
    return !__builtin_mul_overflow(i / rec->linebases, rec->linewidth, &row) &&
           !__builtin_add_overflow(rec->offset, row, &at) &&
           !__builtin_add_overflow(at, i % rec->linebases, &at);
  };
  uint64_t first, last;
  if (!byte_at(start - 1, first) || !byte_at(end - 1, last) ||
      __builtin_add_overflow(last, 1u, &last) || last > file_size_)
    return fail(short_read());

  const size_t expected = end - start + 1;
  const size_t old_size = out.size();
  const size_t nbytes = last - first;
  try {
    out.resize(old_size + nbytes);
  } catch (const std::bad_alloc &) {
    // The range is within the file, but a genome can be larger than memory.
    return fail_fmt("FASTA fetch {}:{}-{}: out of memory for {} bytes", name, start, end, nbytes);
  }
  char *buf = out.data() + old_size;
  {
    std::lock_guard<std::mutex> hold(*io_lock_);
    size_t done = 0;
    while (done < nbytes) {
      const ssize_t got = fd::pread_some(file_, buf + done, nbytes - done, first + done);
      if (got <= 0) {
        const int err = errno;
        out.resize(old_size);
        return fail(got == 0 ? short_read() : CoreError::os(err));
      }
      done += static_cast<size_t>(got);
    }
  }
  // Decode in place: upper-case letters, drop line terminators.
  size_t kept = 0;
  for (size_t i = 0; i < nbytes; ++i) {
    char c = buf[i];
    if (c == '\n' || c == '\r')
      continue;
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    buf[kept++] = c;
  }
  out.resize(old_size + kept);
  if (kept != expected) {
    out.resize(old_size);
    return fail_fmt("FASTA fetch {}:{}-{} decoded {} bases, expected {}", name, start, end, kept,
                    expected);
  }
  return {};
}

Result<std::string> FastaIndex::fetch(std::string_view name, uint64_t start, uint64_t end) const {
  std::string out;
  if (auto done = fetch_into(name, start, end, out); !done)
    return fail(std::move(done.error()));
  return out;
}

Result<std::pair<char, char>> FastaIndex::dinuc_tx(std::string_view name, uint64_t pos,
                                                   bool plus) const {
  std::string two; // fits the small-string buffer: no allocation
  if (auto done = fetch_into(name, pos, pos + 1, two); !done)
    return fail(std::move(done.error()));
  if (plus)
    return std::pair{two[0], two[1]};
  return std::pair{nucleotide::complement(two[1]), nucleotide::complement(two[0])};
}

Status FastaIndex::dinucs(std::string_view name, std::span<const uint64_t> positions,
                          std::span<std::pair<char, char>> out) const {
  // One by one: the plain way, and what any irregularity falls back to so that errors read
  // exactly as single reads give them.
  const auto one_by_one = [&]() -> Status {
    for (size_t i = 0; i < positions.size(); ++i) {
      auto pair = dinuc_tx(name, positions[i], true);
      if (!pair)
        return fail(std::move(pair.error()));
      out[i] = *pair;
    }
    return {};
  };
  const FaiRec *rec = find(name);
  if (!rec || rec->linewidth < rec->linebases || positions.size() < 2)
    return one_by_one();
  // Byte range [first, last) of each pair, by the same arithmetic as append.
  struct Range {
    uint64_t first, last;
  };
  constexpr size_t kInline = 16;
  Range inline_ranges[kInline];
  std::vector<Range> more;
  Range *ranges = inline_ranges;
  if (positions.size() > kInline) {
    more.resize(positions.size());
    ranges = more.data();
  }
  const auto byte_at = [rec](uint64_t i, uint64_t &at) {
    uint64_t row;
    return !__builtin_mul_overflow(i / rec->linebases, rec->linewidth, &row) &&
           !__builtin_add_overflow(rec->offset, row, &at) &&
           !__builtin_add_overflow(at, i % rec->linebases, &at);
  };
  for (size_t i = 0; i < positions.size(); ++i) {
    const uint64_t pos = positions[i];
    Range &r = ranges[i];
    if (pos == 0 || pos >= rec->length || !byte_at(pos - 1, r.first) || !byte_at(pos, r.last) ||
        __builtin_add_overflow(r.last, 1u, &r.last) || r.last > file_size_)
      return one_by_one();
  }
  // Windows of neighbouring ranges: a gap below kGap costs less to copy than another read.
  constexpr uint64_t kGap = 4096, kMaxWindow = 1 << 16;
  char small[8192]; // windows of a typical transcript need no allocation
  std::string large;
  for (size_t i = 0; i < positions.size();) {
    uint64_t lo = ranges[i].first, hi = ranges[i].last;
    size_t j = i + 1;
    for (; j < positions.size(); ++j) {
      const uint64_t a = std::min(lo, ranges[j].first), b = std::max(hi, ranges[j].last);
      if (ranges[j].first > hi + kGap || b - a > kMaxWindow)
        break;
      lo = a;
      hi = b;
    }
    const size_t size = hi - lo;
    char *window = small;
    if (size > sizeof small) {
      large.resize(size);
      window = large.data();
    }
    bool filled = true;
    {
      std::lock_guard<std::mutex> hold(*io_lock_);
      for (size_t done = 0; done < size;) {
        const ssize_t got = fd::pread_some(file_, window + done, size - done, lo + done);
        if (got <= 0) {
          filled = false;
          break;
        }
        done += static_cast<size_t>(got);
      }
    }
    if (!filled) // outside the lock, which the one-by-one reads take again
      return one_by_one();
    for (; i < j; ++i) {
      // Decoded as append does: line terminators dropped, lower case raised.
      char two[2];
      size_t kept = 0;
      for (uint64_t b = ranges[i].first; b < ranges[i].last; ++b) {
        char c = window[b - lo];
        if (c == '\n' || c == '\r')
          continue;
        if (kept == 2)
          return one_by_one();
        if (c >= 'a' && c <= 'z')
          c = static_cast<char>(c - 'a' + 'A');
        two[kept++] = c;
      }
      if (kept != 2)
        return one_by_one();
      out[i] = {two[0], two[1]};
    }
  }
  return {};
}

} // namespace voskel::fasta
