#include <gtest/gtest.h>

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
