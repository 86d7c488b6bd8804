// Class codes: how each transcript of a merged assembly relates to a reference annotation
// (intergenic, intronic, antisense, overlap, extension), written as the class table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "gtf.hpp"
#include "interval.hpp"

namespace voskel::classcode {

struct ClassifyCounts {
  uint64_t n_transcripts = 0; // rows written
  uint64_t n_u = 0;           // rows of class "u"
};

// In the order of their internal numbering.
enum class ClassCode : uint8_t { U, I, X, Extension, Overlap };

std::string_view class_text(ClassCode code);

// Reference transcripts are named by their position in the reference model, which is
// ascending transcript_id order: comparing positions compares ids byte by byte.
struct ExonHit {
  uint32_t tx;
  char32_t strand;
};
struct BodyHit {
  char32_t strand;
};
struct TxHit {
  uint32_t tx;
  uint64_t start, end; // the transcript's span
};

struct ChromIndex {
  interval::IvIndex<ExonHit> exons;
  interval::IvIndex<BodyHit> bodies;
  interval::IvIndex<TxHit> txs;
};

struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct RefIndex {
  std::unordered_map<std::string, ChromIndex, TextHash, std::equal_to<>> by_chrom;
  size_t n_transcripts = 0;
  // The indexes of a chromosome, or null when the reference lacks it.
  const ChromIndex *find(std::string_view chrom) const {
    const auto it = by_chrom.find(chrom);
    return it == by_chrom.end() ? nullptr : &it->second;
  }
};

// The three indexes, filled in model order (which fixes the order of equal starts).
RefIndex build_ref(const gtf::ParsedGtf &ref);

// Classifies query transcripts one after another, reusing its overlap totals.
class Classifier {
public:
  Classifier(const RefIndex &ref, bool unstranded);
  ClassCode classify(const gtf::Transcript &q);

private:
  const RefIndex &ref_;
  bool unstranded_;
  std::vector<uint64_t> totals_;  // per reference transcript, zero between queries
  std::vector<uint32_t> touched_; // reference transcripts with a non-zero total
};

// Reads the configuration, the query GTF, then the reference GTF; writes one row per query
// transcript to out_tsv.
Result<ClassifyCounts> classify_gtfs(const std::string &merged_gtf, const std::string &ref_gtf,
                                     const std::string &out_tsv, std::string_view cfg_json);

} // namespace voskel::classcode
