// Transcript sequences, their longest ATG-started open reading frame, its translation, and
// the ORF scan that scores one representative transcript per locus.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.hpp"
#include "fasta.hpp"
#include "gtf.hpp"
#include "nucleotide.hpp"

namespace voskel::orf {

struct OrfHit {
  std::string peptide;     // one letter per codon, no stop symbol
  std::string nucleotides; // from the A of ATG up to, not including, the stop codon
  bool complete = false;   // ends at an in-frame stop inside the sequence
  uint64_t aa_len() const { return nucleotides.size() / 3; }
  friend bool operator==(const OrfHit &, const OrfHit &) = default;
};

// The exons (sorted by start, never merged) fetched and joined in plus-strand orientation.
Result<std::string> splice_seq(const gtf::Transcript &tx, const fasta::FastaIndex &fa);
// As splice_seq, appending to `out`, when the genome's index holds every exon; false (and
// `out` unchanged) at the first exon it refuses. Exons are fetched in start order, so a read
// failure of an earlier exon is returned as the error it is.
Result<bool> splice_seq_if_held(const gtf::Transcript &tx, const fasta::FastaIndex &fa,
                                std::string &out);

// Reverse complement (A<->T, C<->G, U->A, other bytes unchanged).
using nucleotide::rc;
using nucleotide::rc_in_place;

// The peptide of whole codons read from the first base; stops yield nothing.
std::string translate(std::string_view nucleotides);

// The longest ORF of at least min_orf_aa codons on the given strand. Ties go to the lowest
// frame, then the leftmost start. One pass per frame.
std::optional<OrfHit> longest_orf(std::string_view seq, uint64_t min_orf_aa);

// The ORF scan: one table row per known representative transcript, one peptide record per
// ORF found. Returns the number of peptide records written.
Result<uint64_t> scan_orfs(const std::string &fasta, const std::string &merged_gtf,
                           const std::string &representatives_tsv, const std::string &out_tsv,
                           const std::string &peptides_fa, std::string_view cfg_json);

} // namespace voskel::orf
