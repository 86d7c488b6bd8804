// Small tab-separated tables: the one table writer every analysis writes with (header line,
// fields joined by one tab, lines ended by a line feed, no quoting, parent directories created),
// and the readers of the small input tables.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "textio.hpp"

namespace voskel::table {

// Streams one table: header line, then rows; fields joined by one tab, lines end in '\n'.
// Parent directories of the path are created as needed.
class TsvWriter {
public:
  static Result<TsvWriter> create(const std::string &path, std::span<const std::string> header);
  Status row(std::span<const std::string> fields);
  Status row(std::span<const std::string_view> fields);
  Status close();

private:
  explicit TsvWriter(textio::FileWriter out) : out_(std::move(out)) {}
  textio::FileWriter out_;
};

// Writes a whole table with TsvWriter.
Status write_tsv(const std::string &path, std::span<const std::string> header,
                 std::span<const std::vector<std::string>> rows);

// One line of the representatives table: the transcript chosen to stand for a locus.
struct RepPair {
  std::string locus_id;
  std::string transcript_id;
};

// Reads the representatives table as the ORF scan reads it: line 1 is a header when it holds
// "transcript_id"; a line counts when it has at least two fields and a non-empty second one;
// other lines are skipped. Open failures read "open reps: {reason}".
Result<std::vector<RepPair>> read_representatives(const std::string &path);
// The same from a table already open, for callers that word the open failure their own way.
Result<std::vector<RepPair>> read_representatives(textio::LineReader &reader);

} // namespace voskel::table
