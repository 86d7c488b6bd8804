// Small tab-separated tables: the one table writer every analysis writes with (header line,
// fields joined by one tab, lines ended by a line feed, no quoting, parent directories created),
// and the readers of the small input tables.
#pragma once

#include <cstdint>
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

// One row of the loci table: an intron named by its residual id.
struct Locus {
  std::string residual_id;   // not empty
  std::string chrom;         // not empty
  char32_t strand = U'.';    // one character: '+', '-', '.' or any other
  uint64_t intron_start = 0; // 1-based, at least 1
  uint64_t intron_end = 0;   // 1-based inclusive, at least intron_start
};

// Reads the loci table: line 1 is a header when it holds "residual_id"; blank lines are
// skipped; lines without an id or a chrom, or whose intron is empty or reversed, are dropped
// without a word. Errors: "open {path}: {reason}", "bad intron_start on {id}", "bad intron_end
// on {id}", and the failure of a line read.
Result<std::vector<Locus>> read_loci(const std::string &path);

} // namespace voskel::table
