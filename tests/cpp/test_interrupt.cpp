#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include <fmt/format.h>

#include "bam/reader.hpp"
#include "fragment.hpp"
#include "interrupt.hpp"
#include "scratch.hpp"
#include "sys_mem.hpp"
#include "textio.hpp"

using namespace voskel;

TEST(Interrupt, PacerLooksOncePerBatch) {
  interrupt::Flag flag;
  interrupt::Scope scope(&flag);
  flag.raise();
  interrupt::Pacer pace(3);
  EXPECT_TRUE(pace.tick().has_value());
  EXPECT_TRUE(pace.tick().has_value());
  EXPECT_FALSE(pace.tick().has_value());
  EXPECT_TRUE(pace.tick().has_value());
}

TEST(Interrupt, ScopesBindAndRestoreTheFlag) {
  EXPECT_EQ(interrupt::current(), nullptr);
  EXPECT_TRUE(interrupt::checkpoint().has_value());
  interrupt::Flag outer, inner;
  {
    interrupt::Scope a(&outer);
    {
      interrupt::Scope b(&inner);
      inner.raise();
      const auto st = interrupt::checkpoint();
      ASSERT_FALSE(st.has_value());
      EXPECT_EQ(st.error().text(), "interrupted");
    }
    EXPECT_EQ(interrupt::current(), &outer);
    EXPECT_TRUE(interrupt::checkpoint().has_value());
  }
  EXPECT_EQ(interrupt::current(), nullptr);
}

// The pool hands its caller's flag to every worker: once raised, samples not yet started end
// with the interrupt instead of running.
TEST(Interrupt, PoolSkipsSamplesAfterTheFlagIsRaised) {
  interrupt::Flag flag;
  interrupt::Scope scope(&flag);
  std::atomic<int> ran{0};
  const std::function<Result<int>(size_t)> job = [&](size_t i) -> Result<int> {
    ++ran;
    if (i == 1)
      flag.raise();
    return static_cast<int>(i);
  };
  const auto r = sys_mem::run_bam_jobs<int>(1, 6, job, 4);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "interrupted");
  EXPECT_EQ(ran.load(), 2);
}

TEST(Interrupt, FragmentStreamStopsWithinOneBatch) {
  testutil::ScratchDir scratch;
  std::string sam = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:100000\n";
  constexpr int kRecords = 3 * interrupt::kRecordBatch;
  for (int i = 0; i < kRecords; ++i)
    sam += fmt::format("r{}\t0\tchr1\t{}\t60\t10M\t*\t0\t0\tACGTACGTAC\t*\n", i, 1 + i % 90000);
  auto reader = bam::open_sequential(scratch.write("reads.sam", sam));
  ASSERT_TRUE(reader.has_value()) << reader.error().text();

  interrupt::Flag flag;
  interrupt::Scope scope(&flag);
  int fragments = 0;
  auto count = [&](const auto &...) {
    if (++fragments == 10)
      flag.raise();
  };
  const auto r = fragment::stream_fragments(*reader, bam::RecordFilter{}, {}, count);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "interrupted");
  EXPECT_LE(fragments, static_cast<int>(interrupt::kRecordBatch));
}

TEST(Interrupt, LineReaderStopsAtTheNextChunk) {
  testutil::ScratchDir scratch;
  std::string text;
  for (int i = 0; i < 100000; ++i)
    text += fmt::format("line {}\n", i);
  auto reader = textio::LineReader::open(scratch.write("lines.txt", text));
  ASSERT_TRUE(reader.has_value());

  interrupt::Flag flag;
  interrupt::Scope scope(&flag);
  uint64_t lines = 0;
  const auto st = textio::for_each_line(*reader, [&](std::string_view, uint64_t) -> Status {
    ++lines;
    flag.raise();
    return {};
  });
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().text(), "interrupted");
  EXPECT_LT(lines, 100000u);
}
