#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sys_mem.hpp"

using namespace voskel;
using namespace std::chrono_literals;

TEST(ThreadPlan, AutomaticWorkersByProcessors) {
  struct Case {
    uint64_t processors, cpus, usable, workers;
  } cases[] = {
      {0, 1, 1, 1},    {1, 1, 1, 1},     {2, 2, 2, 2},     {3, 3, 3, 3},
      {4, 4, 3, 3},    {5, 5, 4, 2},     {6, 6, 5, 2},     {8, 8, 7, 3},
      {16, 16, 15, 7}, {64, 64, 63, 31}, {66, 66, 65, 32}, {200, 200, 199, 32},
  };
  for (const auto &c : cases) {
    const auto plan = sys_mem::thread_plan(0, 40, c.processors);
    EXPECT_EQ(plan.cpus, c.cpus) << c.processors;
    EXPECT_EQ(plan.usable, c.usable) << c.processors;
    EXPECT_EQ(plan.bam_workers, c.workers) << c.processors;
    EXPECT_TRUE(plan.auto_);
    EXPECT_EQ(plan.requested, 0u);
    EXPECT_FALSE(plan.available_bytes.has_value());
  }
}

TEST(ThreadPlan, SampleCountAndRequestBound) {
  struct Case {
    uint64_t requested, n, processors, workers;
  } cases[] = {
      {0, 1, 16, 1},    // one sample: one worker
      {0, 5, 64, 5},    // fewer samples than the automatic count
      {3, 10, 1, 3},    // a request is honoured beyond the processors
      {100, 10, 2, 10}, // but never beyond the samples
      {40, 100, 8, 40}, // and the automatic cap of 32 does not apply
  };
  for (const auto &c : cases) {
    const auto plan = sys_mem::thread_plan(c.requested, c.n, c.processors);
    EXPECT_EQ(plan.bam_workers, c.workers) << c.requested << " " << c.n << " " << c.processors;
    EXPECT_EQ(plan.auto_, c.requested == 0);
    EXPECT_EQ(plan.requested, c.requested);
  }
}

TEST(DecodeThreads, BudgetLessWorkers) {
  struct Case {
    uint64_t requested, n, processors, decode;
  } cases[] = {
      {2, 1, 2, 1},     // one sample, two threads: one inflates beside the reader
      {2, 4, 2, 0},     // as many workers as threads: every reader inflates its own blocks
      {1, 4, 2, 0},     // one thread means one busy thread
      {1, 1, 64, 0},    // whatever the machine
      {8, 6, 2, 2},     // a request beyond the processors is honoured, still in total
      {8, 1, 2, 4},     // no more than four inflate for one worker
      {0, 1, 2, 1},     // automatic: the plan's usable processors less its workers
      {0, 4, 2, 0},     //
      {0, 1, 16, 4},    //
      {0, 2, 16, 8},    //
      {1000, 3, 2, 12}, // three workers, four each
      {0, 40, 16, 8},   // 7 workers of 15 usable
      {0, 1, 1, 0},     //
      {0, 0, 4, 2},     // no samples: nothing reads, the count is never used
  };
  for (const auto &c : cases)
    EXPECT_EQ(sys_mem::decode_threads(c.requested, c.n, c.processors), c.decode)
        << c.requested << " " << c.n << " " << c.processors;
}

TEST(ThreadPlan, MachineHasProcessors) { EXPECT_GE(sys_mem::available_processors(), 1u); }

namespace {

// Records how many jobs run at the same moment.
struct Concurrency {
  std::atomic<int> now{0};
  std::atomic<int> peak{0};
  void enter() {
    const int v = ++now;
    int p = peak.load();
    while (v > p && !peak.compare_exchange_weak(p, v)) {
    }
  }
  void leave() { --now; }
};

} // namespace

TEST(RunBamJobs, ConcurrencyNeverExceedsTheLimit) {
  struct Case {
    uint64_t requested, processors;
    size_t n;
    int limit;
  } cases[] = {
      {3, 1, 10, 3}, {100, 1, 10, 10}, {0, 5, 10, 2}, {0, 4, 10, 3}, {0, 1, 4, 1}, {1, 64, 5, 1},
  };
  for (const auto &c : cases) {
    Concurrency conc;
    std::function<Result<size_t>(size_t)> job = [&](size_t i) -> Result<size_t> {
      conc.enter();
      std::this_thread::sleep_for(30ms);
      conc.leave();
      return i * 10;
    };
    auto res = sys_mem::run_bam_jobs<size_t>(c.requested, c.n, job, c.processors);
    ASSERT_TRUE(res.has_value()) << res.error().text();
    EXPECT_EQ(conc.peak.load(), c.limit) << c.requested << " " << c.processors;
    EXPECT_EQ(conc.now.load(), 0);
    ASSERT_EQ(res->size(), c.n);
    for (size_t i = 0; i < c.n; ++i)
      EXPECT_EQ((*res)[i], i * 10);
  }
}

TEST(RunBamJobs, ResultsInSampleOrderWhenJobsFinishInReverse) {
  const size_t n = 6;
  std::mutex m;
  std::vector<size_t> finished;
  std::function<Result<std::string>(size_t)> job = [&](size_t i) -> Result<std::string> {
    std::this_thread::sleep_for(std::chrono::milliseconds(15 * (n - i)));
    std::lock_guard lock(m);
    finished.push_back(i);
    return "sample" + std::to_string(i);
  };
  auto res = sys_mem::run_bam_jobs<std::string>(100, n, job, 1);
  ASSERT_TRUE(res.has_value());
  EXPECT_EQ(*res, (std::vector<std::string>{"sample0", "sample1", "sample2", "sample3", "sample4",
                                            "sample5"}));
  EXPECT_EQ(finished.front(), n - 1); // they really did finish out of order
}

TEST(RunBamJobs, MovesMoveOnlyResults) {
  std::function<Result<std::unique_ptr<int>>(size_t)> job = [](size_t i) {
    return Result<std::unique_ptr<int>>(std::make_unique<int>(static_cast<int>(i)));
  };
  auto res = sys_mem::run_bam_jobs<std::unique_ptr<int>>(0, 3, job, 8);
  ASSERT_TRUE(res.has_value());
  ASSERT_EQ(res->size(), 3u);
  EXPECT_EQ(*(*res)[2], 2);
}

TEST(RunBamJobs, LowestNumberedFailureWinsAfterEveryJobEnded) {
  std::atomic<int> ended{0};
  std::function<Result<int>(size_t)> job = [&](size_t i) -> Result<int> {
    // Sample 5 fails at once, sample 2 only later.
    std::this_thread::sleep_for(i == 5 ? 0ms : i == 2 ? 80ms : 20ms);
    ++ended;
    if (i == 2 || i == 5)
      return fail_fmt("sample {} failed", i);
    return static_cast<int>(i);
  };
  auto res = sys_mem::run_bam_jobs<int>(0, 8, job, 64);
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().text(), "sample 2 failed");
  EXPECT_EQ(ended.load(), 8);
}

TEST(RunBamJobs, ThrowingJobIsAPanic) {
  std::function<Result<int>(size_t)> job = [](size_t i) -> Result<int> {
    if (i == 1)
      throw std::runtime_error("boom");
    if (i == 3)
      throw 42; // not even a std::exception
    return 0;
  };
  auto res = sys_mem::run_bam_jobs<int>(2, 4, job, 4);
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().text(), "BAM worker panicked");

  // An earlier ordinary failure still wins over a later panic.
  std::function<Result<int>(size_t)> job2 = [](size_t i) -> Result<int> {
    if (i == 2)
      throw std::runtime_error("boom");
    if (i == 1)
      return fail_msg("plain failure");
    return 0;
  };
  res = sys_mem::run_bam_jobs<int>(2, 4, job2, 4);
  ASSERT_FALSE(res.has_value());
  EXPECT_EQ(res.error().text(), "plain failure");
}

TEST(RunBamJobs, NoSamplesRunNothing) {
  std::atomic<int> calls{0};
  std::function<Result<int>(size_t)> job = [&](size_t) -> Result<int> {
    ++calls;
    return 0;
  };
  auto res = sys_mem::run_bam_jobs<int>(0, 0, job);
  ASSERT_TRUE(res.has_value());
  EXPECT_TRUE(res->empty());
  EXPECT_EQ(calls.load(), 0);

  // The machine's own processor count serves when none is given.
  res = sys_mem::run_bam_jobs<int>(0, 3, job);
  ASSERT_TRUE(res.has_value());
  EXPECT_EQ(res->size(), 3u);
  EXPECT_EQ(calls.load(), 3);
}
