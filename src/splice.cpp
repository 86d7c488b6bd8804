#include "splice.hpp"

#include <vector>

#include "geometry.hpp"
#include "nucleotide.hpp"

namespace voskel::splice {

namespace {

using Pair = std::pair<char, char>;

// Donor and acceptor of intron (s, e) read on one strand; the 5' end of a minus-strand
// intron is its genomic end.
Result<std::pair<Pair, Pair>> read_sites(const fasta::FastaIndex &fa, const std::string &chrom,
                                         const geometry::Span &in, bool plus) {
  auto donor = fa.dinuc_tx(chrom, plus ? in.start : in.end - 1, plus);
  if (!donor)
    return fail(std::move(donor.error()));
  auto acceptor = fa.dinuc_tx(chrom, plus ? in.end - 1 : in.start, plus);
  if (!acceptor)
    return fail(std::move(acceptor.error()));
  return std::pair{*donor, *acceptor};
}

// Introns of fewer than four bases carry no readable pair of sites.
bool readable(const geometry::Span &in) { return in.end - in.start >= 3; }

} // namespace

bool is_canonical(Pair donor, Pair acceptor) {
  const auto is = [](Pair p, const char *two) { return p.first == two[0] && p.second == two[1]; };
  return (is(donor, "GT") && is(acceptor, "AG")) || (is(donor, "GC") && is(acceptor, "AG")) ||
         (is(donor, "AT") && is(acceptor, "AC"));
}

Result<bool> infer_unstranded_plus(const gtf::Transcript &tx, const fasta::FastaIndex &fa) {
  // The minus reading uses the same two pairs of bases, reverse-complemented, so each end is
  // read once: the first and last pair of every readable intron, in intron order, which is
  // also the order in which a failing read is met.
  const auto introns = geometry::transcript_introns(tx);
  // Most transcripts have few introns: their ends stay on the stack.
  constexpr size_t kInline = 32;
  uint64_t inline_ends[kInline];
  Pair inline_pairs[kInline];
  std::vector<uint64_t> more_ends;
  std::vector<Pair> more_pairs;
  uint64_t *ends = inline_ends;
  Pair *pairs = inline_pairs;
  if (2 * introns.size() > kInline) {
    more_ends.resize(2 * introns.size());
    more_pairs.resize(2 * introns.size());
    ends = more_ends.data();
    pairs = more_pairs.data();
  }
  size_t n_ends = 0;
  for (const auto &in : introns)
    if (readable(in)) {
      ends[n_ends++] = in.start;
      ends[n_ends++] = in.end - 1;
    }
  if (auto done = fa.dinucs(tx.chrom, std::span<const uint64_t>(ends, n_ends),
                            std::span<Pair>(pairs, n_ends));
      !done)
    return fail(std::move(done.error()));
  const auto rc_pair = [](Pair p) {
    return Pair{nucleotide::complement(p.second), nucleotide::complement(p.first)};
  };
  uint64_t plus_votes = 0, minus_votes = 0;
  for (size_t i = 0; i < n_ends; i += 2) {
    const Pair first = pairs[i], last = pairs[i + 1];
    plus_votes += is_canonical(first, last) ? 1 : 0;
    minus_votes += is_canonical(rc_pair(last), rc_pair(first)) ? 1 : 0;
  }
  return plus_votes >= minus_votes;
}

Result<SpliceFeatures> splice_features(const gtf::Transcript &tx, const fasta::FastaIndex &fa) {
  SpliceFeatures out;
  if (tx.exons.size() < 2)
    return out;
  const auto introns = geometry::transcript_introns(tx);
  if (tx.exons.size() != introns.size() + 1)
    out.structure_error =
        fmt::format("transcript {} has {} exons but {} introns (overlapping or abutting exons)",
                    tx.transcript_id, tx.exons.size(), introns.size());

  bool plus = true;
  if (tx.strand == U'-') {
    plus = false;
  } else if (tx.strand != U'+') {
    auto inferred = infer_unstranded_plus(tx, fa);
    if (!inferred)
      return fail(std::move(inferred.error()));
    plus = *inferred;
  }

  uint64_t canonical = 0;
  for (const auto &in : introns) {
    if (out.n_introns > 0) {
      out.donors.push_back(',');
      out.acceptors.push_back(',');
    }
    ++out.n_introns;
    Pair donor{'N', 'N'}, acceptor{'N', 'N'};
    if (readable(in)) {
      auto sites = read_sites(fa, tx.chrom, in, plus);
      if (!sites)
        return fail(std::move(sites.error()));
      std::tie(donor, acceptor) = *sites;
      canonical += is_canonical(donor, acceptor) ? 1 : 0;
    }
    out.donors += {donor.first, donor.second};
    out.acceptors += {acceptor.first, acceptor.second};
  }
  out.canonical_splice_fraction =
      out.n_introns == 0 ? 0.0
                         : static_cast<double>(canonical) / static_cast<double>(out.n_introns);
  return out;
}

} // namespace voskel::splice
