// Every document the core reads from JSON text: the configuration records of the analyses,
// the samples documents and the preflight input. Declared here once, with their defaults;
// the binding from JSON (record.hpp) is generic over them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace voskel {

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
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  std::string strandedness = "rf";
  std::string skip_duplicate = "auto";
  std::string library_layout = "auto";
  uint64_t threads = 0;
};
struct SampleIn {
  std::string sample_id; // required
  std::string bam;       // required
  bool dup_flag_seen = false;
};
struct SamplesJson {
  std::vector<SampleIn> samples; // required
};
} // namespace quantify

namespace leak {
struct LeakCfg {
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  std::string strandedness = "rf";
  std::string skip_duplicate = "auto";
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
struct SamplesJson {
  std::vector<SampleIn> samples; // required
};
} // namespace leak

namespace structure {
struct StructCfg {
  std::string strandedness = "rf";
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  std::string skip_duplicate = "auto";
  uint64_t discontinuity_window_bp = 50;
  uint64_t discontinuity_valley_bp = 200;
  uint64_t threads = 0;
};
struct SampleIn {
  std::string sample_id; // required
  std::string bam;       // required
  bool dup_flag_seen = false;
};
struct SamplesJson {
  std::vector<SampleIn> samples; // required
};
} // namespace structure

namespace terminal {
struct Cfg {
  uint8_t min_mapq = 10;
  std::string skip_duplicate = "auto";
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
struct SamplesJson {
  std::vector<SampleIn> samples; // required
};
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
