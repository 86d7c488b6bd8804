// BAM files for tests, written from SAM text through htslib.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <htslib/kstring.h>
#include <htslib/sam.h>

namespace voskel::testutil {

// Writes the SAM record lines under the header text to a BAM at `path`, in the order given
// (nothing is sorted, so disorder can be written on purpose); optionally builds its .bai.
inline void write_sam_as_bam(const std::string &path, const std::string &header,
                             const std::vector<std::string> &records, bool index = false) {
  sam_hdr_t *h = sam_hdr_parse(header.size(), header.c_str());
  htsFile *out = hts_open(path.c_str(), "wb");
  ASSERT_TRUE(h != nullptr && out != nullptr);
  EXPECT_EQ(sam_hdr_write(out, h), 0);
  bam1_t *b = bam_init1();
  kstring_t line = KS_INITIALIZE;
  for (const auto &r : records) {
    ks_clear(&line);
    kputs(r.c_str(), &line);
    EXPECT_GE(sam_parse1(&line, h, b), 0) << r;
    EXPECT_GE(sam_write1(out, h, b), 0) << r;
  }
  ks_free(&line);
  bam_destroy1(b);
  EXPECT_EQ(hts_close(out), 0);
  sam_hdr_destroy(h);
  if (index)
    EXPECT_EQ(sam_index_build(path.c_str(), 0), 0);
}

} // namespace voskel::testutil
