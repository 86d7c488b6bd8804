#include <gtest/gtest.h>

#include "scratch.hpp"
#include "textio.hpp"

using namespace voskel;

TEST(Utf8, ValidatesStrictly) {
  struct Case {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"plain ascii", true},          {"caf\xC3\xA9", true}, {"\xE2\x80\x94", true},
      {"\xF0\x9F\x98\x80", true},     {"\xC0\xAF", false},   {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},    {"\xE2\x80", false},   {"\x80", false},
      {std::string("a\0b", 3), true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(textio::utf8_valid(c.bytes), c.valid) << c.bytes;
}

TEST(Utf8, LossyReplacesInvalidSequences) {
  EXPECT_EQ(textio::utf8_lossy("ab\xFF"
                               "c"),
            "ab\xEF\xBF\xBD"
            "c");
  EXPECT_EQ(textio::utf8_lossy("\xE2\x80x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(textio::utf8_lossy("ok"), "ok");
}

TEST(ParentDir, SplitsAtLastSlash) {
  EXPECT_EQ(textio::parent_dir("a/b/c.tsv"), "a/b");
  EXPECT_EQ(textio::parent_dir("c.tsv"), "");
  EXPECT_EQ(textio::parent_dir("/c.tsv"), "/");
}

namespace {

// Every line of a file read with the given cap, or the error text.
std::string read_all(const std::string &path, size_t cap) {
  auto reader = textio::LineReader::open(path, cap);
  if (!reader)
    return "open: " + reader.error().text();
  std::string out;
  auto st = textio::for_each_line(*reader, [&](std::string_view line, uint64_t n) -> Status {
    out += fmt::format("{}:{}|", n, line.size());
    return {};
  });
  return st ? out : out + st.error().text();
}

} // namespace

TEST(LineReader, RefusesLinesBeyondItsCapNamingFileAndLine) {
  testutil::ScratchDir tmp;
  // Lines across the reader's 64 KiB buffer as well as within it; the cap counts the bytes
  // before the line feed.
  const std::string big(100000, 'a');
  struct Case {
    std::string text;
    size_t cap;
    std::string want; // "{}" stands for the path
  } cases[] = {
      {"ab\n" + big + "\nc\n", 100000, "1:2|2:100000|3:1|"},
      {"ab\n" + big + "\nc\n", 99999, "1:2|{} line 2: line longer than 99999 bytes"},
      {"ab\n" + big, 99999, "1:2|{} line 2: line longer than 99999 bytes"},
      {"abcdef\nxy\n", 5, "{} line 1: line longer than 5 bytes"},
      {"abcde\nxy\n", 5, "1:5|2:2|"},
      {"ok\n\xC3\x28\n", 100, "1:2|{} line 2: stream did not contain valid UTF-8"},
      {"ok\n" + big + "\xFF", 1 << 20, "1:2|{} line 2: stream did not contain valid UTF-8"},
  };
  for (const auto &c : cases) {
    const std::string p = tmp.write("t.txt", c.text);
    std::string want = c.want;
    if (auto at = want.find("{}"); at != std::string::npos)
      want.replace(at, 2, p);
    EXPECT_EQ(read_all(p, c.cap), want) << c.cap;
  }
}

TEST(LineReader, WhatALineGrowsBeyondMemoryFailsNamingFileAndLine) {
  testutil::ScratchDir tmp;
  const std::string p = tmp.write("t.txt", "a\nb\nc\n");
  auto reader = textio::LineReader::open(p);
  ASSERT_TRUE(reader);
  auto st = textio::for_each_line(*reader, [](std::string_view, uint64_t n) -> Status {
    if (n == 2)
      throw std::bad_alloc();
    return {};
  });
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().text(), p + " line 2: out of memory");
}

TEST(PathsWithNul, AreRefusedBeforeTheSystemSeesThemCut) {
  testutil::ScratchDir tmp;
  const std::string real = tmp.write("real.txt", "data\n");
  const std::string cut = real + std::string("\0/x", 3);
  EXPECT_EQ(read_all(cut, 100), "open: path contains a NUL byte");

  const std::string dir = tmp.path("made") + std::string("\0/sub", 5);
  auto made = textio::create_dirs(dir);
  ASSERT_FALSE(made);
  EXPECT_EQ(made.error().text(), "path contains a NUL byte");
  EXPECT_FALSE(std::filesystem::exists(tmp.path("made")));

  auto created = textio::FileWriter::create(cut);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().text(), "path contains a NUL byte");
  EXPECT_EQ(testutil::ScratchDir::slurp(real), "data\n"); // not truncated
}
