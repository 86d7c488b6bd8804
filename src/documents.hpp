// Every document the core reads from JSON text: the configuration records of the analyses,
// the samples documents and the preflight input. Declared here once, with their defaults;
// binding.hpp reads them from JSON text, with one shape per record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace voskel {

namespace bam {
// The record-filter keys ("min_mapq", "require_unique_nh", "skip_duplicate") shared by every
// configuration that reads alignments record by record.
struct ReadFilterCfg {
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  std::string skip_duplicate = "auto"; // "never", "always", or anything else: follow the sample
};
} // namespace bam

// A samples document: the one list of samples of an analysis, over its own entry type.
template <class Entry> struct SamplesDoc {
  std::vector<Entry> samples; // required
};

namespace types {
// A sample entry of the preflight input.
struct SampleIn {
  std::string sample_id;    // required
  std::string bam;          // required
  std::string group;        // default ""
  std::string strandedness; // required
  uint32_t replicate = 0;   // required
};
struct PreflightInput {
  std::vector<SampleIn> samples;              // required
  std::string assembly;                       // required
  std::string library_layout;                 // required
  bool de_enabled = false;                    // required
  uint32_t treat_min_detected_replicates = 0; // required
  uint64_t threads = 0;
};
} // namespace types

namespace classcode {
struct ClassifyCfg {
  std::string strandedness = "rf";
};
} // namespace classcode

namespace quantify {
struct QuantCfg {
  bam::ReadFilterCfg filter; // keys "min_mapq", "require_unique_nh", "skip_duplicate"
  std::string strandedness = "rf";
  std::string library_layout = "auto";
  uint64_t threads = 0;
};
struct SampleIn {
  std::string sample_id; // required
  std::string bam;       // required
  bool dup_flag_seen = false;
};
using SamplesJson = SamplesDoc<SampleIn>;
} // namespace quantify

namespace leak {
struct LeakCfg {
  bam::ReadFilterCfg filter; // keys "min_mapq", "require_unique_nh", "skip_duplicate"
  std::string strandedness = "rf";
  std::string library_layout = "auto";
  uint64_t threads = 0;
  uint64_t min_samples = 2;
  uint64_t min_support = 2;
  uint64_t max_control_support = 0;
  std::string fasta;
};
struct SampleIn {
  std::string sample_id; // required
  std::string bam;       // required
  std::string group;
  bool dup_flag_seen = false;
};
using SamplesJson = SamplesDoc<SampleIn>;
} // namespace leak

namespace structure {
struct StructCfg {
  std::string strandedness = "rf";
  bam::ReadFilterCfg filter; // keys "min_mapq", "require_unique_nh", "skip_duplicate"
  uint64_t discontinuity_window_bp = 50;
  uint64_t discontinuity_valley_bp = 200;
  uint64_t threads = 0;
};
struct SampleIn {
  std::string sample_id; // required
  std::string bam;       // required
  bool dup_flag_seen = false;
};
using SamplesJson = SamplesDoc<SampleIn>;
} // namespace structure

namespace terminal {
struct Cfg {
  bam::ReadFilterCfg filter; // keys "min_mapq" and "skip_duplicate"; no NH rule here
  uint64_t max_terminal_nt = 2000;
  uint32_t min_depth = 1;
  uint64_t max_gap_nt = 20;
  std::optional<std::string> fasta; // may be null
};
struct SampleIn {
  std::string bam;          // required
  std::string strandedness; // required
  bool dup_flag_seen = false;
};
using SamplesJson = SamplesDoc<SampleIn>;
} // namespace terminal

namespace orf {
struct Cfg {
  uint64_t min_orf_aa = 50;
  std::string hexamer_table; // required
  double hexamer_coding_min = 0.0;
  double hexamer_noncoding_max = 0.0;
};
} // namespace orf

} // namespace voskel
