// What a call reads and what it writes, compared before anything is opened: an output that is
// the same file as one of the call's inputs would be truncated before that input is read.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace voskel::paths {

// Appends an alignment file and the files htslib looks in for its index, in that order:
// path.bai, path.csi, and for a path ending in ".bam" the sibling ".bai".
void add_bam_inputs(std::vector<std::string> &inputs, std::string_view bam);

// Fails when an output and an input both exist and are the same file (same device and
// inode, links followed): "cannot write {output}: it is also an input of this call ({input})",
// naming the first output in the given order, and for it the first such input. A path that
// cannot be examined (missing, unreachable, holding a NUL byte) matches nothing; its own
// open reports it later.
Status refuse_outputs_over_inputs(std::span<const std::string> outputs,
                                  std::span<const std::string> inputs);

} // namespace voskel::paths
