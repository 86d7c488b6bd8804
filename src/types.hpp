// Plain records exchanged between layers: the thread plan (and, later, the preflight report
// records and the aligner family). The preflight input and sample entry live in records.hpp.
#pragma once

#include <cstdint>
#include <optional>

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

} // namespace voskel::types
