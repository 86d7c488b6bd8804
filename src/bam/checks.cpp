#include "bam/checks.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <unistd.h>

#include "bam/read_rules.hpp"
#include "fd.hpp"

namespace voskel::bam {

namespace {

// Fills the buffer completely; the reason text of a failure, or an empty text.
std::string read_exact(int fd, unsigned char *buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, buf + got, n - got);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return error::os_description(errno);
    }
    if (r == 0)
      return "failed to fill whole buffer";
    got += static_cast<size_t>(r);
  }
  return {};
}

// The BGZF end-of-file block is 28 fixed bytes; these eight identify it: the gzip magic with
// deflate and FEXTRA, the "BC" subfield and the block size minus one (27).
constexpr std::array<std::pair<size_t, unsigned char>, 8> kEofMarks{{
    {0, 0x1f},
    {1, 0x8b},
    {2, 0x08},
    {3, 0x04},
    {12, 0x42},
    {13, 0x43},
    {16, 0x1b},
    {17, 0x00},
}};
constexpr size_t kEofSize = 28;

bool primary_mapped(uint16_t flag) { return (flag & kNotPrimaryMapped) == 0; }

} // namespace

Status validate_bam_integrity(const std::string &path) {
  const auto st = fd::status(path);
  if (!st)
    return fail_fmt("cannot stat BAM {}: {}", path, error::os_description(st.error()));
  const auto size = static_cast<uint64_t>(st->st_size);
  if (size < kEofSize)
    return fail_fmt("BAM {} is only {} bytes; truncated or not a BGZF BAM", path, size);

  const auto file = fd::open(path, O_RDONLY);
  if (!file)
    return fail_fmt("cannot open BAM {}: {}", path, error::os_description(file.error()));
  const fd::File &fd = *file;

  std::array<unsigned char, 2> magic{};
  if (auto why = read_exact(fd.get(), magic.data(), magic.size()); !why.empty())
    return fail_fmt("cannot read BAM header bytes {}: {}", path, why);
  if (magic[0] != 0x1f || magic[1] != 0x8b)
    return fail_fmt("BAM {} does not begin with a BGZF gzip header (got {:02x}{:02x})", path,
                    magic[0], magic[1]);

  if (::lseek(fd.get(), -static_cast<off_t>(kEofSize), SEEK_END) < 0)
    return fail_fmt("cannot seek BAM {}: {}", path, error::os_description(errno));
  std::array<unsigned char, kEofSize> tail{};
  if (auto why = read_exact(fd.get(), tail.data(), tail.size()); !why.empty())
    return fail_fmt("cannot read BAM EOF trailer {}: {}", path, why);
  for (const auto &[at, byte] : kEofMarks)
    if (tail[at] != byte)
      return fail_fmt("BAM {} is missing the BGZF EOF trailer (size {} bytes); the file is "
                      "truncated or still being written. Rebuild the index after the BAM is "
                      "complete.",
                      path, size);
  return {};
}

Status check_coordinate_order_seq(SequentialReader &reader, uint64_t limit) {
  const uint64_t want = std::max<uint64_t>(limit, 1);
  Record rec;
  uint64_t seen = 0;
  int32_t prev_tid = 0;
  int64_t prev_pos = 0;
  for (;;) {
    auto more = reader.next(rec);
    if (!more)
      return fail_fmt("BAM read error: {}", more.error().text());
    if (!*more)
      break;
    const bam1_core_t &c = rec.get()->core;
    if (!primary_mapped(c.flag))
      continue;
    // Unmapped records may sit anywhere; only mapped primaries must not step back.
    if (seen > 0 && (c.tid < prev_tid || (c.tid == prev_tid && c.pos < prev_pos)))
      return fail_msg("BAM is not coordinate-sorted: primary mapped (tid, pos) decreased in "
                      "the first 10000 records");
    prev_tid = c.tid;
    prev_pos = c.pos;
    if (++seen == want)
      break;
  }
  if (seen < 2)
    return fail_msg("BAM has fewer than 2 primary mapped reads; cannot confirm coordinate sort "
                    "(unmapped POS=0 records are not evidence)");
  return {};
}

Result<LayoutFinding> scan_layout_seq(SequentialReader &reader, uint64_t limit) {
  const uint64_t want = std::max<uint64_t>(limit, 1);
  Record rec;
  uint64_t paired = 0;
  uint64_t single = 0;
  LayoutFinding out;
  while (paired + single < want) {
    auto more = reader.next(rec);
    if (!more)
      return fail_fmt("BAM read error: {}", more.error().text());
    if (!*more)
      break;
    const uint16_t flag = rec.get()->core.flag;
    if (!primary_mapped(flag))
      continue;
    out.dup_flag_seen = out.dup_flag_seen || (flag & kDuplicate) != 0;
    ++((flag & kPaired) ? paired : single);
  }
  const uint64_t examined = paired + single;
  if (examined == 0)
    return fail_msg("BAM has no primary mapped reads; cannot determine library layout");
  const double p = static_cast<double>(paired) / static_cast<double>(examined);
  const double s = static_cast<double>(single) / static_cast<double>(examined);
  out.paired = p >= s;
  out.mixed = p > 0.01 && s > 0.01; // exactly 1% of one kind is not a mix
  return out;
}

bool sq_equal(const SqDict &a, const SqDict &b) {
  if (a.size() != b.size())
    return false;
  SqDict x = a;
  SqDict y = b;
  // Pairs order by name bytes, then length.
  std::sort(x.begin(), x.end());
  std::sort(y.begin(), y.end());
  return x == y;
}

} // namespace voskel::bam
