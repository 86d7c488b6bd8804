#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bam/family.hpp"

using namespace voskel;

namespace {

const std::string kSq = "@HD\tVN:1.6\tSO:coordinate\n@SQ\tSN:chr1\tLN:1000\n";

std::string pg(const std::string &fields) { return "@PG\t" + fields + "\n"; }

// The family's name, or the error text.
std::string infer(const std::string &header) {
  const auto got = bam::infer_aligner_family(header);
  return got ? std::string(types::family_name(*got)) : got.error().text();
}

} // namespace

TEST(AlignerFamily, FromProgramRecords) {
  const std::string no_pg = "BAM has no @PG records; cannot confirm a splice-aware aligner (STAR "
                            "or HISAT2)";
  const std::string mixed =
      "BAM @PG contains both STAR and HISAT2; mixed aligner families are not allowed";
  const auto none = [](int others) {
    return "BAM @PG has no STAR/HISAT2 after ignoring post-processors (" + std::to_string(others) +
           " other tool(s)); cannot confirm splice-aware alignment";
  };
  const auto rejected = [](const std::string &family, const std::string &id,
                           const std::string &pn) {
    return "BAM @PG contains " + family + " (ID=" + id + " PN=" + pn +
           "); only STAR or HISAT2 are accepted. Bowtie2/minimap2 fail even when STAR is also "
           "in @PG.";
  };
  struct Case {
    std::string name;
    std::string header;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"STAR", kSq + pg("ID:STAR\tPN:STAR\tVN:2.7.10b\tCL:STAR --runThreadN 4"), "STAR"},
      {"HISAT2", kSq + pg("ID:hisat2\tPN:hisat2-align-s\tVN:2.2.1"), "HISAT2"},
      {"then post-processors",
       kSq + pg("ID:STAR\tPN:STAR") + pg("ID:samtools\tPN:samtools\tPP:STAR\tVN:1.16") +
           pg("ID:MarkDuplicates\tPN:picard MarkDuplicates"),
       "STAR"},
      {"upper-case words", kSq + pg("ID:HISAT2\tPN:HISAT2"), "HISAT2"},
      {"the same family twice", kSq + pg("ID:STAR\tPN:STAR") + pg("ID:STAR.1\tPN:STAR"), "STAR"},
      {"a post-processor word wins over an aligner word", kSq + pg("ID:samtools-star\tPN:x"),
       none(0)},
      {"bowtie before star", kSq + pg("ID:STAR\tPN:STAR") + pg("ID:bowtie2\tPN:Bowtie2"),
       rejected("Bowtie2", "bowtie2", "Bowtie2")},
      {"minimap2", kSq + pg("ID:minimap2\tPN:minimap2\tVN:2.24"),
       rejected("minimap2", "minimap2", "minimap2")},
      {"bowtie beats minimap in one record", kSq + pg("ID:minimap-bowtie\tPN:x"),
       rejected("Bowtie2", "minimap-bowtie", "x")},
      {"star beats hisat in one record", kSq + pg("ID:hisat2-star\tPN:y"), "STAR"},
      {"letters s-t-a-r inside a word", kSq + pg("ID:mustard\tPN:mustard"), "STAR"},
      {"a rejected aligner fails before a later mix",
       kSq + pg("ID:STAR\tPN:STAR") + pg("ID:hisat2\tPN:hisat2") + pg("ID:bwt\tPN:bowtie2"),
       rejected("Bowtie2", "bwt", "bowtie2")},
      {"STAR and HISAT2", kSq + pg("ID:STAR\tPN:STAR") + pg("ID:hisat2\tPN:hisat2"), mixed},
      {"only post-processors", kSq + pg("ID:samtools\tPN:samtools") + pg("ID:gatk\tPN:GATK"),
       none(0)},
      {"bwa and samtools", kSq + pg("ID:bwa\tPN:bwa") + pg("ID:samtools\tPN:samtools"), none(1)},
      {"neither ID nor PN is one other program", kSq + pg("VN:1.0"), none(1)},
      {"a bare @PG line is a record", kSq + "@PG\n", none(1)},
      {"no @PG line", kSq, no_pg},
      {"empty header", "", no_pg},
      {"last ID and PN win", kSq + pg("ID:bowtie2\tPN:bowtie2\tID:STAR\tPN:STAR"), "STAR"},
      {"a field without its colon is no tag", kSq + pg("IDSTAR\tPN:tool"), none(1)},
      {"CRLF lines", "@SQ\tSN:c\tLN:1\r\n@PG\tID:x\tPN:STAR\r\n", "STAR"},
      {"CL and other fields are not read", kSq + pg("ID:aligner\tPN:tool\tCL:STAR --foo"), none(1)},
  };
  for (const Case &c : cases)
    EXPECT_EQ(infer(c.header), c.want) << c.name;
}
