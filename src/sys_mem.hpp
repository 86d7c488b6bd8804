// The per-sample worker pool and the rule that sizes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "error.hpp"
#include "types.hpp"

namespace voskel::sys_mem {

// Processors available to the process (sched_getaffinity); 0 when the query fails.
uint64_t available_processors();

// The plan for `requested` workers (0 = automatic) and n samples on P processors.
types::ThreadPlan thread_plan(uint64_t requested, uint64_t n, uint64_t processors);

// Decompression threads to share among the readers of one call that reads n samples on the
// pool: the call's thread budget ("threads", or the plan's usable processors when 0) less its
// workers, so spare processors inflate blocks and a saturated budget decodes inline; at most
// kDecodePerWorker per worker.
inline constexpr uint64_t kDecodePerWorker = 4;
uint64_t decode_threads(uint64_t requested, uint64_t n, uint64_t processors);
uint64_t decode_threads(uint64_t requested, uint64_t n);

// Runs job(i) for i in [0, n), at most W at once (W from thread_plan with the machine's
// processors), and returns the results in sample order. The error of the lowest-numbered
// failing sample wins, returned only after every started job has ended; a job that throws
// fails with "BAM worker panicked". n = 0 creates no thread. Workers see the caller's interrupt
// flag; after an interrupt, samples not yet started end with the interrupt error.
template <class T>
Result<std::vector<T>> run_bam_jobs(uint64_t requested, size_t n,
                                    const std::function<Result<T>(size_t)> &job);

// The same on a given processor count instead of the machine's.
template <class T>
Result<std::vector<T>> run_bam_jobs(uint64_t requested, size_t n,
                                    const std::function<Result<T>(size_t)> &job,
                                    uint64_t processors);

} // namespace voskel::sys_mem

#include "sys_mem_impl.hpp" // the template's definition
