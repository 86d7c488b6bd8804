#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>
#include <openssl/sha.h>

#include "bam/reader.hpp"
#include "scratch.hpp"

using namespace voskel;
namespace fs = std::filesystem;

namespace {

const std::string kHeader = "@HD\tVN:1.6\tSO:coordinate\n"
                            "@SQ\tSN:chr1\tLN:1000\n"
                            "@SQ\tSN:chr2\tLN:500\n";

// A SAM record line on a 10-base read.
std::string rec(const std::string &name, const std::string &chrom, int pos1,
                const std::string &cigar = "10M") {
  return name + "\t0\t" + chrom + "\t" + std::to_string(pos1) + "\t60\t" + cigar +
         "\t*\t0\t0\tACGTACGTAC\t*";
}

class BamTest : public testing::Test {
protected:
  std::string path(const std::string &name) const { return scratch_.path(name); }

  // Writes the records (SAM text, parsed against `header`) to a BAM under `file_header`,
  // which defaults to the same header; optionally builds its .bai.
  std::string write_bam(const std::string &name, const std::string &header,
                        const std::vector<std::string> &records, bool index = true,
                        const std::string &file_header = "") {
    const std::string p = path(name);
    sam_hdr_t *h = sam_hdr_parse(header.size(), header.c_str());
    const std::string &fh_text = file_header.empty() ? header : file_header;
    sam_hdr_t *fh = sam_hdr_parse(fh_text.size(), fh_text.c_str());
    htsFile *out = hts_open(p.c_str(), "wb");
    EXPECT_TRUE(h && fh && out);
    EXPECT_EQ(sam_hdr_write(out, fh), 0);
    bam1_t *b = bam_init1();
    kstring_t line = KS_INITIALIZE;
    for (const auto &r : records) {
      ks_clear(&line);
      kputs(r.c_str(), &line);
      EXPECT_GE(sam_parse1(&line, h, b), 0) << r;
      EXPECT_GE(sam_write1(out, fh, b), 0) << r;
    }
    ks_free(&line);
    bam_destroy1(b);
    EXPECT_EQ(hts_close(out), 0);
    sam_hdr_destroy(fh);
    sam_hdr_destroy(h);
    if (index) {
      EXPECT_EQ(sam_index_build(p.c_str(), 0), 0);
    }
    return p;
  }

  std::string write_text(const std::string &name, const std::string &text) {
    return scratch_.write(name, text);
  }

  // A BGZF file (with its EOF block) holding exactly these uncompressed bytes.
  std::string write_bgzf(const std::string &name, const std::string &bytes) {
    const std::string p = path(name);
    BGZF *out = bgzf_open(p.c_str(), "w");
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(bgzf_write(out, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(bgzf_close(out), 0);
    return p;
  }

  static std::string inflate(const std::string &bgzf_path) {
    BGZF *in = bgzf_open(bgzf_path.c_str(), "r");
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while ((n = bgzf_read(in, buf, sizeof buf)) > 0)
      bytes.append(buf, static_cast<size_t>(n));
    bgzf_close(in);
    return bytes;
  }

  testutil::ScratchDir scratch_;
};

std::string sha256_hex(const std::string &bytes) {
  unsigned char d[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), d);
  std::string hex;
  for (unsigned char c : d)
    hex += fmt::format("{:02x}", c);
  return hex;
}

std::vector<std::string> read_names(bam::SequentialReader &r) {
  std::vector<std::string> names;
  bam::Record rec;
  while (true) {
    auto more = r.next(rec);
    EXPECT_TRUE(more.has_value()) << more.error().text();
    if (!more || !*more)
      break;
    names.push_back(bam_get_qname(rec.get()));
  }
  return names;
}

// Every way a reader can inflate its blocks: its own helper thread (no pool), on the reading
// thread (an empty pool), and through threads shared with other readers.
struct DecodeModes {
  bam::DecodePool inline_pool{0};
  bam::DecodePool shared_pool{2};
  std::vector<std::pair<std::string, const bam::DecodePool *>> all() const {
    return {{"own thread", nullptr}, {"inline", &inline_pool}, {"shared", &shared_pool}};
  }
};

} // namespace

TEST(ParseSq, DictionaryFromHeaderText) {
  struct Case {
    std::string text;
    bam::SqDict dict;
  } cases[] = {
      {"@SQ\tSN:chr1\tLN:1000\n", {{"chr1", 1000}}},
      {"@SQ\tLN:1000\tSN:chr1", {{"chr1", 1000}}},
      {"@SQ\tSN:nolen\n@SQ\tLN:5\n@SQ\tSN:a\tLN:abc\n@SQ\tSN:b\tLN:-5\n", {}},
      {"@SQ\tSN:x\tLN:+5\n@SQ\tSN:y\tLN:+\n@SQ\tSN:z\tLN:\n", {{"x", 5}}},
      {"@SQ\tSN:a\tSN:b\tLN:1\n", {{"b", 1}}},
      // The last LN decides even when it is the invalid one.
      {"@SQ\tSN:a\tLN:7\tLN:x\n@SQ\tSN:b\tLN:x\tLN:8\n", {{"b", 8}}},
      {"@SQ\tSN:max\tLN:18446744073709551615\n@SQ\tSN:over\tLN:18446744073709551616\n",
       {{"max", 18446744073709551615u}}},
      {"@SQ\tSN:chr1\tLN:10\r\n@SQ\tSN:chr2\tLN:20\r\n", {{"chr1", 10}, {"chr2", 20}}},
      // A final line keeps its carriage return, so its length is not a number.
      {"@SQ\tSN:chr1\tLN:10\r", {}},
      {"@HD\tVN:1.6\n@PG\tID:x\tSN:p\tLN:3\n@CO\tSN:c\tLN:4\n", {}},
      {"@SQX\tSN:odd\tLN:3\n@S\n\n", {{"odd", 3}}},
      {"@SQ\tSN:\tLN:3\tAS:hg\tM5\n", {{"", 3}}},
      {"@SQ\tSN:dup\tLN:1\n@SQ\tSN:dup\tLN:2\n", {{"dup", 1}, {"dup", 2}}},
      {"", {}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(bam::parse_sq(c.text), c.dict) << c.text;
}

TEST(SqSha256, HashesSortedEntries) {
  EXPECT_EQ(bam::sq_sha256({{"chr2", 200}, {"chr1", 100}}), sha256_hex("chr1\t100\nchr2\t200\n"));
  EXPECT_EQ(bam::sq_sha256({}), sha256_hex(""));
  EXPECT_EQ(bam::sq_sha256({{"chr1", 0}}), sha256_hex("chr1\t0\n"));
  // Byte order, a prefix first; equal names keep header order whatever their lengths.
  EXPECT_EQ(bam::sq_sha256({{"chr10", 1}, {"chr1", 2}, {"Chr", 3}, {"dup", 9}, {"dup", 4}}),
            sha256_hex("Chr\t3\nchr1\t2\nchr10\t1\ndup\t9\ndup\t4\n"));
  EXPECT_EQ(bam::sq_sha256({{"\xC3\xA9", 1}, {"z", 2}}), sha256_hex("z\t2\n\xC3\xA9\t1\n"));
  EXPECT_NE(bam::sq_sha256({{"chr1", 100}, {"chr2", 200}}),
            bam::sq_sha256({{"chr1", 100}, {"chr2", 201}}));
}

TEST_F(BamTest, OpenFailuresNameTheReason) {
  const std::string missing = path("missing.bam");
  const std::string text = write_text("notes.txt", "just some words\nnothing else\n");
  const std::string plain = write_bam("plain.bam", kHeader, {rec("r1", "chr1", 10)}, false);
  auto indexed_msg = [](const std::string &p, const std::string &reason) {
    return "cannot open indexed BAM " + p + " (need " + p + ".bai / " + p +
           ".csi / sibling .bai): " + reason;
  };

  auto seq = bam::open_sequential(missing);
  ASSERT_FALSE(seq.has_value());
  EXPECT_EQ(seq.error().text(), "cannot open BAM " + missing + ": file not found: " + missing);
  auto idx = bam::open_indexed(missing);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error().text(), indexed_msg(missing, "file not found: " + missing));

  seq = bam::open_sequential(text);
  ASSERT_FALSE(seq.has_value());
  EXPECT_EQ(seq.error().text(),
            "cannot open BAM " + text + ": unable to open SAM/BAM/CRAM file at " + text);
  idx = bam::open_indexed(text);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error().text(), indexed_msg(text, "unable to open SAM/BAM/CRAM file at " + text));

  idx = bam::open_indexed(plain);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error().text(), indexed_msg(plain, "unable to open SAM/BAM/CRAM index for " +
                                                       plain + "; please create an index"));
  EXPECT_TRUE(bam::open_sequential(plain).has_value());
}

TEST_F(BamTest, UnreadableHeaderFailsBothOpens) {
  // Recognised as BAM by its magic, complete BGZF, but the header stops short.
  const std::string p = write_bgzf("stub.bam", std::string("BAM\1", 4));
  const std::string reason = "unable to open SAM/BAM/CRAM file at " + p;
  auto seq = bam::open_sequential(p);
  ASSERT_FALSE(seq.has_value());
  EXPECT_EQ(seq.error().text(), "cannot open BAM " + p + ": " + reason);
  auto idx = bam::open_indexed(p);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error().text(), "cannot open indexed BAM " + p + " (need " + p + ".bai / " + p +
                                    ".csi / sibling .bai): " + reason);
}

TEST_F(BamTest, MissingEofBlockFailsBothOpens) {
  const std::string p = write_bam("cut.bam", kHeader, {rec("r1", "chr1", 10)});
  fs::resize_file(p, fs::file_size(p) - 28);
  const std::string reason = "missing BGZF EOF block; the file is truncated or still being written";
  auto seq = bam::open_sequential(p);
  ASSERT_FALSE(seq.has_value());
  EXPECT_EQ(seq.error().text(), "cannot open BAM " + p + ": " + reason);
  auto idx = bam::open_indexed(p);
  ASSERT_FALSE(idx.has_value());
  EXPECT_EQ(idx.error().text(), "cannot open indexed BAM " + p + " (need " + p + ".bai / " + p +
                                    ".csi / sibling .bai): " + reason);
}

TEST_F(BamTest, BlockCutShortBeforeAnEofBlockIsAnError) {
  // Enough records for several compressed blocks; then the file is cut inside a block and an
  // EOF block is put back, so the open-time check passes. The reader must not take the broken
  // block for the end of the data.
  std::vector<std::string> records;
  for (int i = 0; i < 40000; ++i)
    records.push_back(rec(fmt::format("r{:05}", i), "chr1", 1 + i % 900));
  const std::string p = write_bam("many.bam", kHeader, records, false);
  std::string bytes;
  {
    std::ifstream in(p, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_GT(bytes.size(), 100000u); // several compressed blocks
  const std::string eof_block = bytes.substr(bytes.size() - 28);
  const std::string cut =
      write_text("cut_block.bam", bytes.substr(0, bytes.size() / 2) + eof_block);
  const DecodeModes modes;
  for (const auto &[mode, pool] : modes.all()) {
    auto r = bam::open_sequential(cut, pool);
    ASSERT_TRUE(r.has_value()) << r.error().text();
    bam::Record one;
    Result<bool> got = true;
    size_t n = 0;
    while (got && *got) {
      got = r->next(one);
      n += got && *got;
    }
    ASSERT_FALSE(got.has_value()) << mode << ": ended cleanly after " << n << " of 40000";
    EXPECT_EQ(got.error().text(), "truncated record in SAM/BAM/CRAM file") << mode;
  }
}

TEST_F(BamTest, PlainSamNeedsNoEofBlock) {
  const std::string p =
      write_text("reads.sam", kHeader + rec("a", "chr1", 5) + "\n" + rec("b", "chr2", 7) + "\n");
  auto r = bam::open_sequential(p);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(read_names(*r), (std::vector<std::string>{"a", "b"}));
}

TEST_F(BamTest, SequentialReadsEveryRecordThenEnds) {
  const std::string p = write_bam("all.bam", kHeader,
                                  {rec("a", "chr1", 1), rec("b", "chr1", 500, "5M100N5M"),
                                   rec("c", "chr2", 3), "u\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t*"});
  auto r = bam::open_sequential(p);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(sam_hdr_nref(r->header()), 2);
  EXPECT_EQ(read_names(*r), (std::vector<std::string>{"a", "b", "c", "u"}));
  bam::Record rec;
  auto again = r->next(rec);
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(*again);
}

TEST_F(BamTest, BadRecordsAreErrors) {
  // A record naming a reference the file's header lacks.
  const std::string orphan =
      write_bam("orphan.bam", kHeader, {rec("a", "chr1", 1), rec("b", "chr2", 1)}, false,
                "@SQ\tSN:chr1\tLN:1000\n");
  // Records cut short inside well-formed BGZF streams: in the record's data, and in the
  // length word that starts the next record.
  const std::string whole = write_bam("whole.bam", kHeader, {rec("a", "chr1", 1)}, false);
  const std::string bytes = inflate(whole);
  const std::string cut_data = write_bgzf("cut_data.bam", bytes.substr(0, bytes.size() - 6));
  const std::string cut_length = write_bgzf("cut_length.bam", bytes + std::string(2, '\1'));

  struct Case {
    std::string path, error;
  } cases[] = {
      {orphan, "invalid record in SAM/BAM/CRAM file"},
      {cut_data, "invalid record in SAM/BAM/CRAM file"},
      {cut_length, "truncated record in SAM/BAM/CRAM file"},
  };
  const DecodeModes modes;
  for (const auto &[mode, pool] : modes.all()) {
    for (const auto &c : cases) {
      auto r = bam::open_sequential(c.path, pool);
      ASSERT_TRUE(r.has_value()) << r.error().text();
      bam::Record rec;
      Result<bool> got = true;
      while (got && *got)
        got = r->next(rec);
      ASSERT_FALSE(got.has_value()) << c.path << " " << mode;
      EXPECT_EQ(got.error().text(), c.error) << mode;
    }
  }
}

TEST_F(BamTest, ReadersSharingADecodePoolEachReadTheirWholeFile) {
  // Several compressed blocks per file, so the shared threads interleave work of both readers.
  std::vector<std::string> records;
  for (int i = 0; i < 30000; ++i)
    records.push_back(i < 20000 ? rec(fmt::format("r{:05}", i), "chr1", 1 + i / 50)
                                : rec(fmt::format("r{:05}", i), "chr2", 1 + (i - 20000) / 25));
  const std::string p = write_bam("shared.bam", kHeader, records, true);
  std::vector<std::string> names;
  for (int i = 0; i < 30000; ++i)
    names.push_back(fmt::format("r{:05}", i));

  const DecodeModes modes;
  for (const auto &[mode, pool] : modes.all()) {
    std::vector<std::string> got[3];
    {
      std::vector<std::jthread> readers;
      for (auto &out : got)
        readers.emplace_back([&, pool = pool] {
          auto r = bam::open_sequential(p, pool);
          if (r)
            out = read_names(*r);
        });
    }
    for (const auto &g : got)
      EXPECT_EQ(g, names) << mode;

    // Region queries seek; the shared threads must follow the jump.
    auto idx = bam::open_indexed(p, pool);
    ASSERT_TRUE(idx.has_value()) << idx.error().text();
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(idx->query(idx->tid("chr2"), 1, 1000).has_value());
      bam::Record one;
      size_t n = 0;
      for (auto more = idx->next(one); more && *more; more = idx->next(one))
        ++n;
      EXPECT_EQ(n, 10000u) << mode;
    }
  }
}

TEST_F(BamTest, RegionQueriesUseInclusiveCoordinates) {
  // Reads cover 1-based [pos, pos + 9].
  const std::string p = write_bam("idx.bam", kHeader,
                                  {rec("ends99", "chr1", 90), rec("ends100", "chr1", 91),
                                   rec("mid", "chr1", 150), rec("starts200", "chr1", 200),
                                   rec("starts201", "chr1", 201), rec("other", "chr2", 100)});
  auto r = bam::open_indexed(p);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  auto fetch = [&](int tid, uint64_t start, uint64_t end) {
    std::vector<std::string> names;
    auto q = r->query(tid, start, end);
    EXPECT_TRUE(q.has_value());
    bam::Record rec;
    for (auto more = r->next(rec); more && *more; more = r->next(rec))
      names.push_back(bam_get_qname(rec.get()));
    return names;
  };
  EXPECT_EQ(r->tid("chr1"), 0);
  EXPECT_EQ(r->tid("chr2"), 1);
  EXPECT_EQ(r->tid("chrX"), -1);
  EXPECT_EQ(fetch(0, 100, 200), (std::vector<std::string>{"ends100", "mid", "starts200"}));
  EXPECT_EQ(fetch(0, 1, 1000).size(), 5u);
  // Every new query replaces the previous one.
  EXPECT_EQ(fetch(1, 1, 500), (std::vector<std::string>{"other"}));
  EXPECT_EQ(fetch(0, 300, 1000), (std::vector<std::string>{}));

  auto bad = r->query(r->tid("chrX"), 1, 10);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().text(), "failed to fetch region");
  bam::Record rec;
  auto after = r->next(rec);
  ASSERT_FALSE(after.has_value());
  EXPECT_EQ(after.error().text(), "failed to fetch region");
}

TEST_F(BamTest, HeaderTextAndNamesReplaceInvalidUtf8) {
  const std::string header = "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:100\n@SQ\tSN:un\xFFk\tLN:50\n"
                             "@CO\tcaf\xC3\xA9 \xFE\n";
  const std::string p = write_bam("utf8.bam", header, {rec("a", "chr1", 1)});
  auto r = bam::open_indexed(p);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  const std::string text = bam::header_text(*r);
  EXPECT_EQ(text, "@HD\tVN:1.6\n@SQ\tSN:chr1\tLN:100\n@SQ\tSN:un\xEF\xBF\xBDk\tLN:50\n"
                  "@CO\tcaf\xC3\xA9 \xEF\xBF\xBD\n");
  EXPECT_EQ(bam::parse_sq(text), (bam::SqDict{{"chr1", 100}, {"un\xEF\xBF\xBDk", 50}}));
  EXPECT_EQ(bam::tid_names(r->header()), (std::vector<std::string>{"chr1", "un\xEF\xBF\xBDk"}));

  auto s = bam::open_sequential(p);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(bam::header_text(*s), text);
}

TEST(BamRecord, MovesOwnership) {
  bam::Record a;
  bam1_t *raw = a.get();
  bam::Record b(std::move(a));
  EXPECT_EQ(b.get(), raw);
  EXPECT_EQ(a.get(), nullptr);
  bam::Record c;
  c = std::move(b);
  EXPECT_EQ(c.get(), raw);
}
