// Which aligner wrote a BAM file, read from the program records (@PG) of its header.
#pragma once

#include <string_view>

#include "error.hpp"
#include "types.hpp"

namespace voskel::bam {

// STAR or HISAT2, the only splice-aware families the analyses accept. Post-processors
// (samtools, Picard, ...) are ignored; Bowtie2 or minimap2 anywhere, both accepted families
// together, or neither of them is an error naming what was found.
Result<types::AlignerFamily> infer_aligner_family(std::string_view header_text);

} // namespace voskel::bam
