#include "leak/census.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

#include "bam/reader.hpp"
#include "nucleotide.hpp"

namespace voskel::leak {

namespace {

constexpr std::array<char, 3> kStrands{'+', '-', '.'};

uint32_t strand_cell(char strand) { return strand == '+' ? 0 : strand == '-' ? 1 : 2; }

bool valid_motif(std::pair<char, char> donor, std::pair<char, char> acceptor) {
  const auto is = [](std::pair<char, char> p, char a, char b) {
    return p.first == a && p.second == b;
  };
  return ((is(donor, 'G', 'T') || is(donor, 'G', 'C')) && is(acceptor, 'A', 'G')) ||
         (is(donor, 'A', 'T') && is(acceptor, 'A', 'C'));
}

std::pair<char, char> reverse_complement(std::pair<char, char> p) {
  return {nucleotide::complement(p.second), nucleotide::complement(p.first)};
}

} // namespace

size_t JunctionTally::BoundsHash::operator()(const Bounds &b) const noexcept {
  uint64_t h = b.start * 0x9E3779B97F4A7C15ULL;
  h ^= (b.end + (uint64_t{b.ref} << 40)) * 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 31;
  return static_cast<size_t>(h * 0x94D049BB133111EBULL);
}

JunctionTally::JunctionTally(std::vector<std::string> names, bam::Strandedness strandedness,
                             const fasta::FastaIndex *genome)
    : names_(std::move(names)), strandedness_(strandedness), genome_(genome) {
  // A junction is keyed by its chromosome's name; references sharing a name share one id.
  std::map<std::string_view, uint32_t> first;
  ref_of_tid_.reserve(names_.size());
  for (size_t i = 0; i < names_.size(); ++i)
    ref_of_tid_.push_back(first.emplace(names_[i], static_cast<uint32_t>(i)).first->second);
}

char JunctionTally::motif_strand(uint32_t ref, uint64_t start, uint64_t end) const {
  // The two plus-strand pairs at the intron's ends; the minus strand reads their reverse
  // complements, so a failed read leaves both strands invalid.
  const std::array<uint64_t, 2> at{start, end - 1};
  std::array<std::pair<char, char>, 2> pairs{};
  if (!genome_->dinucs(names_[ref], at, pairs))
    return 0;
  const auto [left, right] = pairs;
  if (valid_motif(left, right))
    return '+';
  if (valid_motif(reverse_complement(right), reverse_complement(left)))
    return '-';
  return 0;
}

uint32_t JunctionTally::junction(uint32_t ref, uint64_t start, uint64_t end) {
  const auto [it, added] =
      ids_.try_emplace(Bounds{ref, start, end}, static_cast<uint32_t>(junctions_.size()));
  if (added) {
    Junction j{Bounds{ref, start, end}, 0};
    if (genome_ != nullptr && !bam::is_stranded(strandedness_) && end >= start + 3)
      j.motif = motif_strand(ref, start, end);
    junctions_.push_back(j);
    counts_.resize(counts_.size() + kStrands.size(), 0);
  }
  return it->second;
}

void JunctionTally::add_introns(const fragment::Read &read, std::vector<uint32_t> &cells) {
  if (read.introns.empty() || read.tid < 0 || static_cast<size_t>(read.tid) >= names_.size())
    return;
  const uint32_t ref = ref_of_tid_[static_cast<size_t>(read.tid)];
  const char protocol = bam::protocol_strand(read.flag, strandedness_);
  for (size_t i = 0; i < read.introns.size(); ++i) {
    const geometry::Span in = read.introns[i];
    if (std::find(read.introns.begin(), read.introns.begin() + static_cast<ptrdiff_t>(i), in) !=
        read.introns.begin() + static_cast<ptrdiff_t>(i))
      continue;
    const uint32_t id = junction(ref, in.start, in.end);
    char strand = protocol;
    if (strand == 0)
      strand = junctions_[id].motif;
    if (strand == 0)
      strand = read.aux_strand;
    if (strand == 0)
      strand = '.';
    cells.push_back(id * static_cast<uint32_t>(kStrands.size()) + strand_cell(strand));
  }
}

JunctionCounts JunctionTally::finish() const {
  JunctionCounts out;
  for (size_t id = 0; id < junctions_.size(); ++id) {
    const Bounds &at = junctions_[id].at;
    for (size_t s = 0; s < kStrands.size(); ++s)
      if (const uint64_t n = counts_[id * kStrands.size() + s]; n > 0)
        out.emplace_back(JuncKey{names_[at.ref], at.start, at.end, kStrands[s]}, n);
  }
  std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  return out;
}

void CensusAction::operator()(const fragment::Read &r) {
  cells.clear();
  tally.add_introns(r, cells);
  for (const uint32_t c : cells)
    tally.bump(c);
}

void CensusAction::operator()(const fragment::Read &cur, const fragment::Read &mate) {
  cells.clear();
  tally.add_introns(cur, cells);
  tally.add_introns(mate, cells);
  if (cells.size() > 1) {
    std::sort(cells.begin(), cells.end());
    cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  }
  for (const uint32_t c : cells)
    tally.bump(c);
}

Result<Census> census_one_sample(const SampleIn &sample, const LeakCfg &cfg,
                                 const fasta::FastaIndex *genome, const bam::DecodePool *pool) {
  auto reader = bam::open_sequential(sample.bam, pool);
  if (!reader)
    return fail(std::move(reader.error()));
  const bam::Strandedness strandedness = bam::parse_strandedness(cfg.strandedness);
  JunctionTally tally(bam::tid_names(reader->header()), strandedness, genome);
  CensusAction action{tally, {}};
  fragment::AssemblyCfg acfg;
  acfg.single_layout = cfg.library_layout == "single";
  // Strand tags decide only where the protocol does not.
  acfg.keep_aux_strand = !bam::is_stranded(strandedness);
  auto dropped = fragment::stream_fragments(
      *reader, bam::record_filter(cfg.filter, sample.dup_flag_seen), acfg, action);
  if (!dropped)
    return fail(std::move(dropped.error()));
  return Census{tally.finish(), *dropped};
}

} // namespace voskel::leak
