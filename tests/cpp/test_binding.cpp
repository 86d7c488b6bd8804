#include <gtest/gtest.h>

#include <string>

#include "binding.hpp"

using namespace voskel;

namespace {

// "ok" or the error text, so that success and failure sit in one table.
template <class T> std::string outcome(std::string_view doc) {
  const auto r = binding::parse<T>(doc);
  return r ? "ok" : r.error().text();
}

using Outcome = std::string (*)(std::string_view);

struct Case {
  Outcome parse;
  std::string doc;
  std::string expected; // "ok" or the text after "invalid JSON: "
};

void run(const std::vector<Case> &cases) {
  for (const auto &c : cases) {
    const std::string want = c.expected == "ok" ? "ok" : "invalid JSON: " + c.expected;
    EXPECT_EQ(c.parse(c.doc), want) << "document: " << c.doc;
  }
}

constexpr Outcome kQuant = outcome<quantify::QuantCfg>;
constexpr Outcome kClassify = outcome<classcode::ClassifyCfg>;
constexpr Outcome kOrf = outcome<orf::Cfg>;
constexpr Outcome kTerminal = outcome<terminal::Cfg>;
constexpr Outcome kPreflight = outcome<types::PreflightInput>;
constexpr Outcome kQuantSamples = outcome<quantify::SamplesJson>;
constexpr Outcome kLeakSamples = outcome<leak::SamplesJson>;
constexpr Outcome kStructSamples = outcome<structure::SamplesJson>;
constexpr Outcome kTermSamples = outcome<terminal::SamplesJson>;

} // namespace

TEST(RecordSyntax, FaultsArePositionedAtTheOffendingByte) {
  using namespace std::string_literals;
  run({
      {kQuant, "", "EOF while parsing a value at line 1 column 0"},
      {kQuant, " \n ", "EOF while parsing a value at line 2 column 1"},
      {kQuant, "{", "EOF while parsing an object at line 1 column 1"},
      {kQuant, R"({"min_mapq")", "EOF while parsing an object at line 1 column 11"},
      {kQuant, R"({"min_mapq":)", "EOF while parsing a value at line 1 column 12"},
      {kQuant, R"({"min_mapq":1)", "EOF while parsing an object at line 1 column 13"},
      {kQuant, R"({"min_mapq":1,)", "EOF while parsing a value at line 1 column 14"},
      {kQuant, "[", "EOF while parsing a list at line 1 column 1"},
      {kQuant, "[1", "EOF while parsing a list at line 1 column 2"},
      {kQuant, "[1,", "EOF while parsing a value at line 1 column 3"},
      {kQuant, R"({"strandedness":"fr)", "EOF while parsing a string at line 1 column 19"},
      {kQuant, R"({"a":x})", "expected value at line 1 column 6"},
      {kQuant, R"({"a":})", "expected value at line 1 column 6"},
      {kQuant, R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
      {kQuant, R"({"a" 1})", "expected `:` at line 1 column 6"},
      {kQuant, R"({1:2})", "key must be a string at line 1 column 2"},
      {kQuant, R"({"a":1,})", "trailing comma at line 1 column 8"},
      {kQuant, "[1,]", "trailing comma at line 1 column 4"},
      {kQuant, "[1 2]", "expected `,` or `]` at line 1 column 4"},
      {kQuant, R"({"a":tru})", "expected ident at line 1 column 9"},
      {kQuant, R"({"a":-x})", "invalid number at line 1 column 7"},
      {kQuant, R"({"a":01})", "invalid number at line 1 column 7"},
      {kQuant, R"({"a":1.})", "invalid number at line 1 column 8"},
      {kQuant, R"({"a":1e+})", "invalid number at line 1 column 9"},
      {kQuant, R"({"a":1e400})", "number out of range at line 1 column 10"},
      {kQuant, R"({"a":"\q"})", "invalid escape at line 1 column 8"},
      {kQuant, R"({"a":"\u00G0"})", "invalid escape at line 1 column 12"},
      {kQuant, R"({"a":"\uD800"})", "unexpected end of hex escape at line 1 column 13"},
      {kQuant, R"({"a":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 12"},
      {kQuant, R"({"a":"\uD800\u0041"})",
       "lone leading surrogate in hex escape at line 1 column 18"},
      {kQuant, "{\"a\":\"x\ty\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {kQuant, "{\"a\":\"x\0\"}"s,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {kQuant, "{\"a\":\"\xFF\"}", "invalid unicode code point at line 1 column 7"},
      {kQuant, "{\"a\":\"\xED\xA0\x80\"}", "invalid unicode code point at line 1 column 7"},
      {kQuant, "{} x", "trailing characters at line 1 column 4"},
      {kQuant, "{}}", "trailing characters at line 1 column 3"},
      {kQuant, "{}\0"s, "trailing characters at line 1 column 3"},
      {kQuant, "{}\n\t ", "ok"},
      {kQuant, "{\n  \"min_mapq\": x\n}", "expected value at line 2 column 15"},
  });
}

TEST(RecordObject, ConfigurationFaults) {
  run({
      {kQuant, "{}", "ok"},
      {kQuant, R"({"min_mapq":255,"unknown":[{"deep":[1,{"x":null}]},"s",-1.5e3,true]})", "ok"},
      {kQuant, R"({"x":1,"x":2})", "ok"},
      {kQuant, R"({"min_mapq":300})",
       "invalid value: integer `300`, expected u8 at line 1 column 15"},
      {kQuant, R"({"min_mapq":-1})",
       "invalid value: integer `-1`, expected u8 at line 1 column 14"},
      {kQuant, R"({"min_mapq":1.0})",
       "invalid type: floating point `1.0`, expected u8 at line 1 column 15"},
      {kQuant, R"({"min_mapq":-0})",
       "invalid type: floating point `-0.0`, expected u8 at line 1 column 14"},
      {kQuant, R"({"threads":18446744073709551615})", "ok"},
      {kQuant, R"({"threads":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 31"},
      {kQuant, R"({"threads":1e400})", "number out of range at line 1 column 16"},
      {kQuant, R"({"require_unique_nh":"true"})",
       "invalid type: string \"true\", expected a boolean at line 1 column 27"},
      {kQuant, R"({"strandedness":5})",
       "invalid type: integer `5`, expected a string at line 1 column 17"},
      {kQuant, R"({"strandedness":null})",
       "invalid type: null, expected a string at line 1 column 20"},
      {kQuant, R"({"strandedness":["fr"]})",
       "invalid type: sequence, expected a string at line 1 column 16"},
      {kQuant, R"({"strandedness":{}})",
       "invalid type: map, expected a string at line 1 column 16"},
      {kQuant, R"({"strandedness":"a\"b"})", "ok"},
      {kQuant, R"({"min_mapq":"a\"b\n"})",
       "invalid type: string \"a\\\"b\\n\", expected u8 at line 1 column 20"},
      {kQuant, R"({"strandedness":"fr","strandedness":"fr"})",
       "duplicate field `strandedness` at line 1 column 35"},
      {kQuant, R"({"threads":1,"threads" :2})", "duplicate field `threads` at line 1 column 23"},
      {kQuant, "true", "invalid type: boolean `true`, expected struct QuantCfg at line 1 column 4"},
      {kQuant, "null", "invalid type: null, expected struct QuantCfg at line 1 column 4"},
      {kQuant, R"("cfg")",
       "invalid type: string \"cfg\", expected struct QuantCfg at line 1 column 5"},
      {kClassify, R"({"strandedness":"a","strandedness":"a"})",
       "duplicate field `strandedness` at line 1 column 34"},
      {kOrf, "{}", "missing field `hexamer_table` at line 1 column 2"},
      {kOrf, R"({"min_orf_aa":1,"hexamer_table":null})",
       "invalid type: null, expected a string at line 1 column 36"},
      {kOrf, R"({"hexamer_table":"h","hexamer_coding_min":"x"})",
       "invalid type: string \"x\", expected f64 at line 1 column 45"},
      {kOrf, R"({"hexamer_table":"h","hexamer_coding_min":true})",
       "invalid type: boolean `true`, expected f64 at line 1 column 46"},
      {kTerminal, R"({"fasta":null})", "ok"},
      {kTerminal, R"({"fasta":1})",
       "invalid type: integer `1`, expected a string at line 1 column 10"},
      {kTerminal, R"({"min_depth":4294967296})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 23"},
  });
}

TEST(RecordPositional, LengthsAndTrailingValues) {
  run({
      {kQuant, "[]", "ok"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0])", "ok"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0, 1])",
       "trailing characters at line 1 column 38"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0, ])", "trailing comma at line 1 column 38"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0 "x"])",
       "trailing characters at line 1 column 37"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0, "\q"])",
       "trailing characters at line 1 column 38"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0,)",
       "trailing characters at line 1 column 36"},
      {kQuant, R"([10, false, "fr", "auto", "auto", 0)",
       "EOF while parsing a list at line 1 column 35"},
      {kQuant, R"([10, "fr"])",
       "invalid type: string \"fr\", expected a boolean at line 1 column 9"},
      {kOrf, "[]", "invalid length 0, expected struct Cfg with 4 elements at line 1 column 2"},
      {kOrf, "[50]", "invalid length 1, expected struct Cfg with 4 elements at line 1 column 4"},
      {kOrf, R"([50, "h"])", "ok"},
      {kClassify, R"(["fr", "fr"])", "trailing characters at line 1 column 8"},
      {kQuantSamples, "[]",
       "invalid length 0, expected struct SamplesJson with 1 element at line 1 column 2"},
      {kQuantSamples, "[[]]", "ok"},
      {kQuantSamples, "[[], []]", "trailing characters at line 1 column 6"},
      {kQuantSamples, R"({"samples":[["a"]]})",
       "invalid length 1, expected struct SampleIn with 3 elements at line 1 column 17"},
      {kLeakSamples, R"({"samples":[["a"]]})",
       "invalid length 1, expected struct SampleIn with 4 elements at line 1 column 17"},
      {kTermSamples, R"({"samples":[["a"]]})",
       "invalid length 1, expected struct SampleIn with 3 elements at line 1 column 17"},
      {kPreflight, R"({"samples":[["a","b"]]})",
       "invalid length 2, expected struct SampleIn with 5 elements at line 1 column 21"},
      {kPreflight, R"([[], "hg38"])",
       "invalid length 2, expected struct PreflightInput with 6 elements at line 1 column 12"},
  });
}

TEST(RecordSamples, ReadingRulesOfEveryVariant) {
  const std::string bare = R"({"samples":[{"sample_id":"a","bam":"b"}]})";
  run({
      {kQuantSamples, R"({"samples":[]})", "ok"},
      {kLeakSamples, R"({"samples":[]})", "ok"},
      {kStructSamples, R"({"samples":[]})", "ok"},
      {kTermSamples, R"({"samples":[]})", "ok"},
      {kQuantSamples, bare, "ok"},
      {kLeakSamples, bare, "ok"},
      {kStructSamples, bare, "ok"},
      {kTermSamples, bare, "missing field `strandedness` at line 1 column 39"},
      {kTermSamples, R"({"samples":[{"bam":"b","strandedness":"rf"}]})", "ok"},
      {kQuantSamples, R"({"extra":{"k":[1]},"samples":[{"sample_id":"a","bam":"b","x":[{}]}]})",
       "ok"},
      {kQuantSamples, "{}", "missing field `samples` at line 1 column 2"},
      {kQuantSamples, "7",
       "invalid type: integer `7`, expected struct SamplesJson at line 1 column 1"},
      {kQuantSamples, R"({"samples":{}})",
       "invalid type: map, expected a sequence at line 1 column 11"},
      {kQuantSamples, R"({"samples":"a"})",
       "invalid type: string \"a\", expected a sequence at line 1 column 14"},
      {kQuantSamples, R"({"samples":[5]})",
       "invalid type: integer `5`, expected struct SampleIn at line 1 column 13"},
      {kQuantSamples, R"({"samples":[{"sample_id":"a"}]})",
       "missing field `bam` at line 1 column 29"},
      {kQuantSamples, R"({"samples":[{"sample_id":"a","bam":"b","dup_flag_seen":null}]})",
       "invalid type: null, expected a boolean at line 1 column 59"},
      {kQuantSamples, R"({"samples":[{"sample_id":"a","bam":"b","dup_flag_seen":"true"}]})",
       "invalid type: string \"true\", expected a boolean at line 1 column 61"},
      {kLeakSamples, R"({"samples":[{"sample_id":"a","bam":"b","bam":"b"}]})",
       "duplicate field `bam` at line 1 column 44"},
      {kQuantSamples, R"({"samples":[],"samples":[]})",
       "duplicate field `samples` at line 1 column 23"},
  });
}

TEST(RecordPreflight, ReadingRules) {
  const auto doc = [](std::string_view sample, std::string_view tail) {
    return std::string(R"({"samples":[{"sample_id":"s1","bam":"a.bam","strandedness":"rf")") +
           std::string(sample) + R"(}],"assembly":"hg38","library_layout":"auto",)" +
           R"("de_enabled":false,"treat_min_detected_replicates":0)" + std::string(tail) + "}";
  };
  run({
      {kPreflight, doc(R"(,"replicate":0)", ""), "ok"},
      {kPreflight, doc(R"(,"replicate":4294967295)", R"(,"threads":8)"), "ok"},
      {kPreflight, doc(R"(,"replicate":4294967296)", ""),
       "invalid value: integer `4294967296`, expected u32 at line 1 column 86"},
      {kPreflight, doc("", ""), "missing field `replicate` at line 1 column 64"},
      {kPreflight, doc(R"(,"replicate":0)", R"(,"threads":-1)"),
       "invalid value: integer `-1`, expected u64 at line 1 column 187"},
      {kPreflight, R"({"samples":[]})", "missing field `assembly` at line 1 column 14"},
      {kPreflight, R"({"samples":[{"sample_id":"a","bam":"b"}]})",
       "missing field `strandedness` at line 1 column 39"},
  });
}

TEST(RecordValues, ObjectFormTakesValuesAndDefaults) {
  const auto d = binding::parse<quantify::QuantCfg>("{}");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->filter.min_mapq, 10);
  EXPECT_FALSE(d->filter.require_unique_nh);
  EXPECT_EQ(d->strandedness, "rf");
  EXPECT_EQ(d->filter.skip_duplicate, "auto");
  EXPECT_EQ(d->library_layout, "auto");
  EXPECT_EQ(d->threads, 0u);

  const auto q = binding::parse<quantify::QuantCfg>(
      R"({"threads":18446744073709551615,"min_mapq":255,"require_unique_nh":true,)"
      R"("strandedness":"fr","skip_duplicate":"never","library_layout":"single"})");
  ASSERT_TRUE(q) << q.error().text();
  EXPECT_EQ(q->filter.min_mapq, 255);
  EXPECT_TRUE(q->filter.require_unique_nh);
  EXPECT_EQ(q->strandedness, "fr");
  EXPECT_EQ(q->filter.skip_duplicate, "never");
  EXPECT_EQ(q->library_layout, "single");
  EXPECT_EQ(q->threads, UINT64_MAX);

  const auto l = binding::parse<leak::LeakCfg>(R"({"fasta":"g.fa","max_control_support":3})");
  ASSERT_TRUE(l);
  EXPECT_EQ(l->fasta, "g.fa");
  EXPECT_EQ(l->max_control_support, 3u);
  EXPECT_EQ(l->min_samples, 2u);

  const auto s = binding::parse<structure::StructCfg>(R"({"discontinuity_valley_bp":7})");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->discontinuity_valley_bp, 7u);
  EXPECT_EQ(s->discontinuity_window_bp, 50u);
}

TEST(RecordValues, PositionalFormFillsFieldsInOrder) {
  const auto q = binding::parse<quantify::QuantCfg>(R"([20, true, "fr"])");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->filter.min_mapq, 20);
  EXPECT_TRUE(q->filter.require_unique_nh);
  EXPECT_EQ(q->strandedness, "fr");
  EXPECT_EQ(q->filter.skip_duplicate, "auto");

  // Integers are accepted for f64 fields.
  const auto o = binding::parse<orf::Cfg>(R"([0, "hex.tsv", 1, -2.5e-1])");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->min_orf_aa, 0u);
  EXPECT_EQ(o->hexamer_table, "hex.tsv");
  EXPECT_EQ(o->hexamer_coding_min, 1.0);
  EXPECT_EQ(o->hexamer_noncoding_max, -0.25);

  const auto p = binding::parse<types::PreflightInput>(
      R"([[["s1","a.bam","treat","fr",2]], "hg38", "paired", true, 4])");
  ASSERT_TRUE(p) << p.error().text();
  ASSERT_EQ(p->samples.size(), 1u);
  EXPECT_EQ(p->samples[0].group, "treat");
  EXPECT_EQ(p->samples[0].replicate, 2u);
  EXPECT_TRUE(p->de_enabled);
  EXPECT_EQ(p->treat_min_detected_replicates, 4u);
  EXPECT_EQ(p->threads, 0u);
}

TEST(RecordValues, TerminalFastaMayBeNull) {
  struct {
    std::string doc;
    std::optional<std::string> fasta;
  } cases[] = {
      {"{}", std::nullopt},
      {R"({"fasta":null})", std::nullopt},
      {R"({"fasta":"g.fa"})", "g.fa"},
      {R"({"fasta":""})", ""},
      {R"([10, "auto", 2000, 1, 20, null])", std::nullopt},
      {R"([10, "auto", 2000, 1, 20, "x.fa"])", "x.fa"},
  };
  for (const auto &c : cases) {
    const auto t = binding::parse<terminal::Cfg>(c.doc);
    ASSERT_TRUE(t) << c.doc << ": " << t.error().text();
    EXPECT_EQ(t->fasta, c.fasta) << c.doc;
    EXPECT_EQ(t->max_terminal_nt, 2000u);
  }
}

TEST(RecordValues, OneSamplesDocumentServesEveryVariant) {
  const std::string doc =
      R"({"samples":[{"sample_id":"s1","bam":"a.bam","group":"control","strandedness":"fr",)"
      R"("replicate":1,"dup_flag_seen":true},{"sample_id":"s2","bam":"b.bam","group":"treat",)"
      R"("strandedness":"fr","replicate":2,"dup_flag_seen":false}],"assembly":"hg38",)"
      R"("library_layout":"paired","de_enabled":false,"treat_min_detected_replicates":1})";

  const auto q = binding::parse<quantify::SamplesJson>(doc);
  ASSERT_TRUE(q) << q.error().text();
  ASSERT_EQ(q->samples.size(), 2u);
  EXPECT_EQ(q->samples[0].sample_id, "s1");
  EXPECT_EQ(q->samples[1].bam, "b.bam");
  EXPECT_TRUE(q->samples[0].dup_flag_seen);
  EXPECT_FALSE(q->samples[1].dup_flag_seen);

  const auto l = binding::parse<leak::SamplesJson>(doc);
  ASSERT_TRUE(l);
  EXPECT_EQ(l->samples[0].group, "control");
  EXPECT_EQ(l->samples[1].group, "treat");

  const auto s = binding::parse<structure::SamplesJson>(doc);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->samples.size(), 2u);

  const auto t = binding::parse<terminal::SamplesJson>(doc);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->samples[1].strandedness, "fr");
  EXPECT_EQ(t->samples[1].bam, "b.bam");

  const auto p = binding::parse<types::PreflightInput>(doc);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->assembly, "hg38");
  EXPECT_EQ(p->library_layout, "paired");
  EXPECT_EQ(p->samples[1].replicate, 2u);
  EXPECT_EQ(p->threads, 0u);

  // Entry defaults: no group, no duplicate flag.
  const auto bare =
      binding::parse<leak::SamplesJson>(R"({"samples":[{"sample_id":"a","bam":"b"}]})");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->samples[0].group, "");
  EXPECT_FALSE(bare->samples[0].dup_flag_seen);
}

TEST(RecordValues, StringsDecodeEscapesToUtf8) {
  const auto c = binding::parse<classcode::ClassifyCfg>(
      R"({"str\u0061ndedness":"a\"b\\c\/d\n\t\u00e9\uD83D\uDE00 caf)"
      "\xC3\xA9"
      R"("})");
  ASSERT_TRUE(c) << c.error().text();
  EXPECT_EQ(c->strandedness, "a\"b\\c/d\n\t\xC3\xA9\xF0\x9F\x98\x80 caf\xC3\xA9");
}

TEST(RecordNesting, DeepDocumentsFailCleanly) {
  const std::string open(100000, '[');
  EXPECT_EQ(outcome<quantify::QuantCfg>(R"({"x":)" + open),
            "invalid JSON: recursion limit exceeded at line 1 column 132");
  EXPECT_EQ(outcome<quantify::QuantCfg>(R"({"x":)" + open + std::string(100000, ']') + "}"),
            "invalid JSON: recursion limit exceeded at line 1 column 132");
  std::string objects;
  for (int i = 0; i < 100000; ++i)
    objects += R"({"a":)";
  EXPECT_EQ(outcome<quantify::SamplesJson>(R"({"samples":[{"x":)" + objects),
            "invalid JSON: recursion limit exceeded at line 1 column 638");
  // At the top level the second bracket already stands where a number belongs.
  EXPECT_EQ(outcome<quantify::QuantCfg>(open),
            "invalid JSON: invalid type: sequence, expected u8 at line 1 column 1");
  EXPECT_EQ(outcome<quantify::SamplesJson>(open),
            "invalid JSON: invalid type: sequence, expected a string at line 1 column 3");
  // Moderate nesting inside an unknown key is skipped.
  EXPECT_EQ(
      outcome<quantify::QuantCfg>(R"({"x":)" + std::string(100, '[') + std::string(100, ']') + "}"),
      "ok");
}
