#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "paths.hpp"
#include "scratch.hpp"

using namespace voskel;
namespace fs = std::filesystem;

TEST(OutputsOverInputs, TheFirstOutputThatIsAnInputFailsNamingBoth) {
  testutil::ScratchDir tmp;
  const std::string a = tmp.write("a.gtf", "a"), b = tmp.write("b.gtf", "b");
  fs::create_symlink(a, tmp.path("link.tsv"));
  fs::create_hard_link(b, tmp.path("hard.tsv"));
  const std::string fresh = tmp.path("new.tsv");
  const std::string nul = a + std::string("\0x", 2);
  const std::vector<std::string> inputs{a, tmp.path("missing.gtf"), b, a};

  struct Case {
    std::vector<std::string> outputs;
    std::string want; // empty: no collision
  } cases[] = {
      {{fresh}, ""},
      {{nul}, ""}, // examined as nothing: its own open refuses it later
      {{fresh, b}, "cannot write " + b + ": it is also an input of this call (" + b + ")"},
      // The outputs in the order given; for one output, the first input it equals.
      {{tmp.path("link.tsv"), b},
       "cannot write " + tmp.path("link.tsv") + ": it is also an input of this call (" + a + ")"},
      {{tmp.path("hard.tsv")},
       "cannot write " + tmp.path("hard.tsv") + ": it is also an input of this call (" + b + ")"},
      {{tmp.path("./a.gtf")},
       "cannot write " + tmp.path("./a.gtf") + ": it is also an input of this call (" + a + ")"},
  };
  for (const auto &c : cases) {
    auto st = paths::refuse_outputs_over_inputs(c.outputs, inputs);
    if (c.want.empty()) {
      EXPECT_TRUE(st) << st.error().text();
    } else {
      ASSERT_FALSE(st) << c.want;
      EXPECT_EQ(st.error().text(), c.want);
    }
  }
}

TEST(OutputsOverInputs, BamInputsIncludeTheIndexesHtslibLooksFor) {
  std::vector<std::string> inputs{"x.gtf"};
  paths::add_bam_inputs(inputs, "d/s.bam");
  paths::add_bam_inputs(inputs, "d/s.cram");
  EXPECT_EQ(inputs,
            (std::vector<std::string>{"x.gtf", "d/s.bam", "d/s.bam.bai", "d/s.bam.csi", "d/s.bai",
                                      "d/s.cram", "d/s.cram.bai", "d/s.cram.csi"}));
}
