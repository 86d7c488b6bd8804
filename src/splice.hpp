// Splice-site dinucleotides of a transcript's introns, and the strand of an unstranded
// transcript judged by them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"
#include "fasta.hpp"
#include "gtf.hpp"

namespace voskel::splice {

struct SpliceFeatures {
  std::string donors;    // per intron in genomic order, joined by ","
  std::string acceptors; // same order
  double canonical_splice_fraction = 0.0;
  uint64_t n_introns = 0;
  std::optional<std::string> structure_error; // exon and intron counts disagree
};

// GT-AG, GC-AG or AT-AC.
bool is_canonical(std::pair<char, char> donor, std::pair<char, char> acceptor);

// True when the introns fit the plus strand at least as well as the minus strand (ties and
// transcripts without introns of four or more bases answer plus).
Result<bool> infer_unstranded_plus(const gtf::Transcript &tx, const fasta::FastaIndex &fa);

// Donor and acceptor of every intron in the transcript's orientation ('+', '-', otherwise
// inferred), and the share of canonical pairs.
Result<SpliceFeatures> splice_features(const gtf::Transcript &tx, const fasta::FastaIndex &fa);

} // namespace voskel::splice
