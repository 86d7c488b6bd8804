// Quantification: fragments of each sample counted per locus (gene_id) and per transcript of
// an annotation, normalised to TPM and written as four tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "quantify/count.hpp"

namespace voskel::quantify {

struct QuantSummary {
  uint64_t n_transcripts = 0;
  uint64_t n_loci = 0;
  uint64_t dropped_fragments = 0;
};

Result<QuantSummary> quantify_gtf(const std::string &merged_gtf, std::string_view samples_json,
                                  const std::string &out_dir, std::string_view cfg_json);

} // namespace voskel::quantify
