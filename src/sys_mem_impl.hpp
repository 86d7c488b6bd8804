// Definition of run_bam_jobs; included by sys_mem.hpp only.
#pragma once

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "interrupt.hpp"

namespace voskel::sys_mem {

template <class T>
Result<std::vector<T>> run_bam_jobs(uint64_t requested, size_t n,
                                    const std::function<Result<T>(size_t)> &job,
                                    uint64_t processors) {
  if (n == 0)
    return std::vector<T>{};
  const uint64_t limit = std::max<uint64_t>(thread_plan(requested, n, processors).bam_workers, 1);

  // W workers take samples in ascending order, so every sample runs, never more than W at
  // once, and each slot is written by exactly one worker and read only after the joins.
  std::vector<std::optional<Result<T>>> slots(n);
  std::atomic<size_t> next{0};
  // Workers carry the caller's interrupt flag; once it is raised, the samples not yet started
  // end with the interrupt instead of running.
  const interrupt::Flag *flag = interrupt::current();
  auto work = [&] {
    interrupt::Scope scope(flag);
    for (size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
      if (auto go = interrupt::checkpoint(); !go) {
        slots[i].emplace(fail(std::move(go.error())));
        continue;
      }
      try {
        slots[i].emplace(job(i));
      } catch (...) {
        slots[i].emplace(fail_msg("BAM worker panicked"));
      }
    }
  };

  std::optional<CoreError> spawn_error;
  {
    std::vector<std::jthread> workers;
    workers.reserve(limit);
    for (uint64_t w = 0; w < limit; ++w) {
      try {
        workers.emplace_back(work);
      } catch (const std::system_error &e) {
        // The workers already running take over the remaining samples.
        if (workers.empty())
          spawn_error = CoreError::message(fmt::format("cannot start BAM worker: {}", e.what()));
        break;
      }
    }
  } // joins every worker
  if (spawn_error)
    return fail(std::move(*spawn_error));

  std::vector<T> results;
  results.reserve(n);
  for (auto &slot : slots) {
    if (!slot->has_value())
      return fail(std::move(slot->error()));
    results.push_back(std::move(**slot));
  }
  return results;
}

template <class T>
Result<std::vector<T>> run_bam_jobs(uint64_t requested, size_t n,
                                    const std::function<Result<T>(size_t)> &job) {
  return run_bam_jobs<T>(requested, n, job, available_processors());
}

} // namespace voskel::sys_mem
