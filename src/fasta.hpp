// Random access to a reference genome through its existing samtools-style .fai index.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "fd.hpp"

namespace voskel::fasta {

// One index line.
struct FaiRec {
  uint64_t length = 0;    // bases in the contig
  uint64_t offset = 0;    // byte offset of the first base
  uint64_t linebases = 1; // bases per full line, >= 1
  uint64_t linewidth = 1; // bytes per full line including its terminator, >= 1
  friend bool operator==(const FaiRec &, const FaiRec &) = default;
};

using FaiEntry = std::pair<std::string, FaiRec>;

// The index lines in file order, duplicates kept.
Result<std::vector<FaiEntry>> parse_fai(const std::string &fai_path);

// (name, length) of every line of "<fasta_path>.fai", in file order, duplicates kept.
Result<std::vector<std::pair<std::string, uint64_t>>> load_fai(const std::string &fasta_path);

// An open genome. Shared by reference between threads: the map is read-only after open and
// the one file handle is used under a lock.
class FastaIndex {
public:
  // Parses "<fasta_path>.fai" first, then opens the FASTA. Nothing of the FASTA is read.
  static Result<FastaIndex> open(const std::string &fasta_path);

  // True when the index accepts start..end of `name`: a known contig and 1 <= start <= end <=
  // its length. A caller that turns refused lookups into "no data" asks this before fetching;
  // a fetch the index accepts can still fail to read.
  bool holds(std::string_view name, uint64_t start, uint64_t end) const;

  // Bases start..end (1-based, inclusive) of contig `name`, lower case turned upper.
  Result<std::string> fetch(std::string_view name, uint64_t start, uint64_t end) const;
  // As fetch, appending to `out`; on failure `out` keeps its previous contents.
  Status fetch_into(std::string_view name, uint64_t start, uint64_t end, std::string &out) const;

  // The bases at pos and pos+1; on the minus strand the reverse complement of that pair.
  Result<std::pair<char, char>> dinuc_tx(std::string_view name, uint64_t pos, bool plus) const;
  // The plus-strand pairs at every position into `out` (same size), exactly as dinuc_tx(name,
  // pos, true) in order would give them, failing as the first failing one would. Pairs close
  // together in the file come from a single read.
  Status dinucs(std::string_view name, std::span<const uint64_t> positions,
                std::span<std::pair<char, char>> out) const;

  // The record of a contig, or nullptr.
  const FaiRec *find(std::string_view name) const;

private:
  FastaIndex(std::map<std::string, FaiRec, std::less<>> recs, fd::File file, uint64_t file_size);

  std::map<std::string, FaiRec, std::less<>> recs_;
  fd::File file_;
  uint64_t file_size_ = 0;
  std::unique_ptr<std::mutex> io_lock_; // held from the start to the end of each read
};

} // namespace voskel::fasta
