// Plain records exchanged between layers: the thread plan, the aligner family and the preflight
// report. The preflight input and sample entry live in documents.hpp.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"

namespace voskel::types {

struct ThreadPlan {
  uint64_t requested = 0;                  // "threads" asked for; 0 = automatic
  uint64_t cpus = 1;                       // processors available to the process, >= 1
  uint64_t usable = 1;                     // processors the automatic rule plans with
  std::optional<uint64_t> available_bytes; // always absent
  uint64_t bam_workers = 1;                // samples processed at the same time
  bool auto_ = true;                       // requested == 0 (shown as "auto")
};

// The aligner families a BAM header can show; only STAR and HISAT2 are accepted.
enum class AlignerFamily { Star, Hisat2, Bowtie2, Minimap2, Other };

constexpr std::string_view family_name(AlignerFamily f) {
  switch (f) {
  case AlignerFamily::Star:
    return "STAR";
  case AlignerFamily::Hisat2:
    return "HISAT2";
  case AlignerFamily::Bowtie2:
    return "Bowtie2";
  case AlignerFamily::Minimap2:
    return "minimap2";
  case AlignerFamily::Other:
    break;
  }
  return "other";
}

// One sample that passed every check.
struct SampleOut {
  std::string sample_id;
  uint64_t n_sq = 0; // entries of its reference dictionary
};

// What a preflight run found. Built up check by check: what a check filled stays when a
// later one fails.
struct PreflightReport {
  bool ok = false;
  std::string assembly;
  std::string sq_sha256;      // digest of the first sample's reference dictionary
  std::string aligner_family; // "STAR" or "HISAT2"
  std::string strandedness;
  std::string library_layout; // "paired" or "single"
  uint64_t n_control = 0;
  uint64_t n_treat = 0;
  std::map<std::string, bool> dup_flag_seen; // by sample_id
  uint64_t gtf_seqnames = 0;
  std::vector<SampleOut> samples;
  std::vector<std::string> errors; // at most one: the problem that stopped the run
  std::vector<std::string> warnings;
  ThreadPlan threads;
};

} // namespace voskel::types
