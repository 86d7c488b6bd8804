#include "sys_mem.hpp"

#include <algorithm>
#include <cerrno>

#include <sched.h>

namespace voskel::sys_mem {

uint64_t available_processors() {
  // The fixed cpu_set_t holds 1024 processors; larger machines need a bigger mask.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t *set = CPU_ALLOC(cpus);
    if (set == nullptr)
      return 0;
    const size_t size = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(size, set);
    const int rc = sched_getaffinity(0, size, set);
    const int err = errno;
    const uint64_t count = rc == 0 ? static_cast<uint64_t>(CPU_COUNT_S(size, set)) : 0;
    CPU_FREE(set);
    if (rc == 0)
      return count;
    if (err != EINVAL)
      return 0;
  }
  return 0;
}

types::ThreadPlan thread_plan(uint64_t requested, uint64_t n, uint64_t processors) {
  types::ThreadPlan plan;
  plan.requested = requested;
  plan.cpus = std::max<uint64_t>(processors, 1);
  // One processor stays free only on machines with at least four.
  plan.usable = plan.cpus >= 4 ? plan.cpus - 1 : plan.cpus;
  plan.available_bytes = std::nullopt;
  plan.auto_ = requested == 0;
  if (requested > 0) {
    plan.bam_workers = std::min(requested, n);
  } else {
    const uint64_t per = plan.usable < 4 ? plan.usable : plan.usable / 2;
    plan.bam_workers = std::min({per, n, uint64_t{32}});
  }
  return plan;
}

uint64_t decode_threads(uint64_t requested, uint64_t n, uint64_t processors) {
  const types::ThreadPlan plan = thread_plan(requested, n, processors);
  const uint64_t budget = requested > 0 ? requested : plan.usable;
  const uint64_t workers = std::max<uint64_t>(plan.bam_workers, 1);
  // A reader's records are consumed by one worker, which a few inflating threads outrun:
  // more would only wait.
  return std::min(budget > workers ? budget - workers : 0, kDecodePerWorker * workers);
}

uint64_t decode_threads(uint64_t requested, uint64_t n) {
  return decode_threads(requested, n, available_processors());
}

} // namespace voskel::sys_mem
