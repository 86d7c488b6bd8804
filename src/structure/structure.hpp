// The structure scan: one representative transcript per locus described by its exon
// structure, splice sites and nearest reference genes, and, per sample, by how the reads cover
// it and the stretch towards its nearest gene. One row per (locus, sample).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "coverage.hpp"
#include "documents.hpp"
#include "error.hpp"
#include "structure/locus.hpp"

namespace voskel::structure {

// One sample's coverage of every locus, in locus order; no coverage at all when the sample
// has no alignment file (its bam is empty text).
struct SampleScan {
  bool has_bam = false;
  std::vector<coverage::LocusCoverage> loci;
};

// Opens the sample's BAM once and scans every locus with it. Errors: the open failure and
// those of the locus scan.
Result<SampleScan> scan_one_sample(const SampleIn &sample, const StructCfg &cfg,
                                   std::span<const LocusPrep> loci);

// Reads the inputs, prepares the loci, scans the samples on the worker pool and writes
// out_tsv; returns the number of representative pairs read (pairs whose transcript is
// unknown included). class_tsv is accepted and never read.
Result<uint64_t> structure_scan(const std::string &merged_gtf, const std::string &ref_gtf,
                                const std::string &class_tsv,
                                const std::string &representatives_tsv, const std::string &fasta,
                                std::string_view samples_json, const std::string &out_tsv,
                                std::string_view cfg_json);

} // namespace voskel::structure
