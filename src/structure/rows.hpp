// The rows of the structure table: one per (locus, sample), 30 cells in a fixed order.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "coverage.hpp"
#include "structure/locus.hpp"

namespace voskel::structure {

inline constexpr size_t kColumns = 30;
using Row = std::array<std::string, kColumns>;

// The header row.
const std::array<std::string, kColumns> &header();

// One row of a sample: with its coverage of the locus, or without (the sample has no
// alignment file). Cells are rewritten in place so that a reused row keeps its buffers.
void feature_row(const LocusPrep &locus, std::string_view sample_id,
                 const coverage::LocusCoverage *coverage, Row &out);
Row feature_row(const LocusPrep &locus, std::string_view sample_id,
                const coverage::LocusCoverage *coverage);

// The row of a locus in a run without samples: a row without coverage and with an empty
// sample_id, whose valley_possible stays empty even where a nearest gene touches the locus.
void sampleless_row(const LocusPrep &locus, Row &out);

} // namespace voskel::structure
