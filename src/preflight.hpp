// The preflight run: checks that a sample sheet, its BAM files, the genome index and the
// annotation fit together before any analysis reads them, and reports what it found.
#pragma once

#include <string>
#include <string_view>

#include "json.hpp"
#include "types.hpp"

namespace voskel::preflight {

// Never fails: the first problem found ends the checks and is the report's one error.
// All work happens on the calling thread, one sample after the other, and reads only the
// beginning of each BAM file.
types::PreflightReport run_preflight(std::string_view samples_json, const std::string &fasta,
                                     const std::string &annotation_gtf);

// The report as the JSON object handed to the caller.
json::Value report_value(const types::PreflightReport &report);

} // namespace voskel::preflight
