#include "table.hpp"

namespace voskel::table {

// ---- TsvWriter -------------------------------------------------------------------------------

Result<TsvWriter> TsvWriter::create(const std::string &path, std::span<const std::string> header) {
  // Refused before any parent directory is made at the path cut short.
  if (fd::has_nul(path))
    return fail_fmt("cannot write {}: {}", path, error::os_description(error::kPathHasNul));
  if (auto st = textio::create_dirs(textio::parent_dir(path)); !st)
    return fail(std::move(st.error()));
  auto file = textio::FileWriter::create(path);
  if (!file)
    return fail_fmt("cannot write {}: {}", path, file.error().text());
  TsvWriter w(std::move(*file));
  if (auto st = w.row(header); !st)
    return fail(std::move(st.error()));
  return w;
}

namespace {
template <class S> Status write_row(textio::FileWriter &out, std::span<const S> fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0)
      if (auto st = out.put('\t'); !st)
        return st;
    if (auto st = out.write(fields[i]); !st)
      return st;
  }
  return out.put('\n');
}
} // namespace

Status TsvWriter::row(std::span<const std::string> fields) { return write_row(out_, fields); }
Status TsvWriter::row(std::span<const std::string_view> fields) { return write_row(out_, fields); }
Status TsvWriter::close() { return out_.close(); }

Status write_tsv(const std::string &path, std::span<const std::string> header,
                 std::span<const std::vector<std::string>> rows) {
  auto w = TsvWriter::create(path, header);
  if (!w)
    return fail(std::move(w.error()));
  for (const auto &r : rows)
    if (auto st = w->row(std::span<const std::string>(r)); !st)
      return st;
  return w->close();
}

Result<std::vector<RepPair>> read_representatives(textio::LineReader &reader) {
  std::vector<RepPair> pairs;
  auto read = textio::for_each_line(reader, [&](std::string_view line, uint64_t n) -> Status {
    if (n == 1 && line.find("transcript_id") != std::string_view::npos)
      return {};
    std::string_view fields[2];
    if (textio::split_fields(line, fields) == 2 && !fields[1].empty())
      pairs.push_back({std::string(fields[0]), std::string(fields[1])});
    return {};
  });
  if (!read)
    return fail(std::move(read.error()));
  return pairs;
}

Result<std::vector<RepPair>> read_representatives(const std::string &path) {
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return fail_fmt("open reps: {}", reader.error().text());
  return read_representatives(*reader);
}

Result<std::vector<Locus>> read_loci(const std::string &path) {
  auto reader = textio::LineReader::open(path);
  if (!reader)
    return fail_fmt("open {}: {}", path, reader.error().text());
  std::vector<Locus> loci;
  auto read = textio::for_each_line(*reader, [&](std::string_view line, uint64_t n) -> Status {
    if (n == 1 && line.find("residual_id") != std::string_view::npos)
      return {};
    if (textio::trim(line).empty())
      return {};
    std::string_view f[5];
    const size_t count = textio::split_fields(line, f);
    const std::string_view id = f[0], chrom = count > 1 ? f[1] : std::string_view();
    const std::string_view strand_field = count > 2 ? f[2] : std::string_view();
    // A missing coordinate reads as 0, which drops the line below.
    uint64_t start = 0, end = 0;
    if (count > 3) {
      const auto v = textio::parse_u64(f[3]);
      if (!v)
        return fail_fmt("bad intron_start on {}", id);
      start = *v;
    }
    if (count > 4) {
      const auto v = textio::parse_u64(f[4]);
      if (!v)
        return fail_fmt("bad intron_end on {}", id);
      end = *v;
    }
    if (id.empty() || chrom.empty() || start == 0 || start > end)
      return {};
    loci.push_back(
        {std::string(id), std::string(chrom), textio::first_char(strand_field, U'.'), start, end});
    return {};
  });
  if (!read)
    return fail(std::move(read.error()));
  return loci;
}

} // namespace voskel::table
