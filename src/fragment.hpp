// The record filters and the fragment assembly shared by every analysis that counts fragments
// (quantification, the junction census): which records take part, and how the two mates of a
// proper pair are brought together through a table of mates still waiting for their partner.
// The analysis supplies only the fragment action.
#pragma once

#include <climits>
#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <htslib/sam.h>

#include "bam.hpp"
#include "error.hpp"
#include "geometry.hpp"

namespace voskel::fragment {

inline constexpr uint16_t kPaired = 0x1;
inline constexpr uint16_t kProperPair = 0x2;
inline constexpr uint16_t kReverse = 0x10;
inline constexpr uint16_t kFirst = 0x40;
inline constexpr uint16_t kSecond = 0x80;
inline constexpr uint16_t kDuplicate = 0x400;
// Unmapped, secondary, QC fail, supplementary.
inline constexpr uint16_t kExcludeMask = 0xB04;

// The public limit of the pending-mate table.
inline constexpr size_t kPendingLimit = 500'000;

// True when duplicates are skipped: "never" keeps them, "always" drops them, any other policy
// follows the sample's dup_flag_seen.
bool skip_duplicates(std::string_view policy, bool dup_flag_seen);

// The per-record filters, in their fixed order: flag mask, duplicates, mapping quality, NH.
struct RecordFilter {
  uint8_t min_mapq = 10;
  bool require_unique_nh = false;
  bool skip_duplicates = false;

  bool passes(const bam1_t *b) const;
};

// An integer NH tag (any of the six integer types) other than 1; other types never drop.
bool nh_not_unique(const bam1_t *b);

// '+' or '-' from the XS tag, else from the ts tag; 0 when neither gives one. Tags of type A,
// c, C, Z and H are read from their first byte.
char aux_strand(const bam1_t *b);

// The fields of one record the assembly and the actions read, viewed without copying.
struct RawRecord {
  int32_t tid = -1;
  int64_t pos = -1; // 0-based
  uint16_t flag = 0;
  int32_t mtid = -1;
  int64_t mpos = -1; // 0-based
  std::string_view name;
  std::span<const uint32_t> cigar; // BAM-encoded operations
  char aux_strand = 0;             // filled only when the assembly keeps strand tags

  static RawRecord from_bam(const bam1_t *b, bool with_aux_strand);
};

// One record of a fragment as a fragment action sees it; spans stay valid during the call.
struct Read {
  int32_t tid = -1;
  uint16_t flag = 0;
  std::span<const geometry::Span> blocks;
  std::span<const geometry::Span> introns;
  char aux_strand = 0;
};

struct AssemblyCfg {
  bool single_layout = false; // "library_layout" == "single": every record is its own fragment
  bool keep_aux_strand = false;
  size_t table_limit = kPendingLimit;
};

// Turns filtered records into fragments of one record or of two mates. An action is a callable
// with two overloads: action(const Read &) and action(const Read &current, const Read &mate).
class FragmentAssembler {
public:
  explicit FragmentAssembler(AssemblyCfg cfg = {});

  template <class Action> void add(const bam1_t *b, Action &&action) {
    add(RawRecord::from_bam(b, cfg_.keep_aux_strand), action);
  }

  template <class Action> void add(const RawRecord &r, Action &&action) {
    if (cfg_.single_layout || !(r.flag & kPaired)) {
      action(view(r.tid, r.flag, r.pos, r.cigar, r.aux_strand, cur_));
      return;
    }
    if (!(r.flag & kProperPair))
      return;
    if (auto it = by_name_.find(r.name); it != by_name_.end()) {
      const uint32_t slot = it->second;
      by_name_.erase(it);
      const Pending &m = slots_[slot];
      by_mate_.erase(MateKey{m.mtid, m.mpos, slot});
      action(view(r.tid, r.flag, r.pos, r.cigar, r.aux_strand, cur_),
             view(m.tid, m.flag, m.pos, m.cigar, m.aux_strand, mate_));
      free_.push_back(slot);
      return;
    }
    // The mate lies earlier on this reference yet was never stored: it failed a filter.
    if (r.tid == r.mtid && r.mpos < r.pos)
      return;
    store(r);
  }

  size_t pending() const { return by_name_.size(); }
  uint64_t evicted() const { return evicted_; }
  // Mates lost: evicted by halving plus those still waiting.
  uint64_t dropped() const { return evicted_ + by_name_.size(); }

private:
  struct Pending {
    std::string name;
    std::vector<uint32_t> cigar;
    int64_t pos = -1;
    int64_t mpos = -1;
    int32_t tid = -1;
    int32_t mtid = -1;
    uint16_t flag = 0;
    char aux_strand = 0;
  };
  // Entries ordered by where their mate is expected; the slot makes keys unique.
  struct MateKey {
    int32_t mtid;
    int64_t mpos;
    uint32_t slot;
    friend auto operator<=>(const MateKey &, const MateKey &) = default;
  };
  struct Geometry {
    std::vector<geometry::Span> blocks;
    std::vector<geometry::Span> introns;
  };

  static Read view(int32_t tid, uint16_t flag, int64_t pos, std::span<const uint32_t> cigar,
                   char aux, Geometry &g);
  void store(const RawRecord &r);
  void remove(std::set<MateKey>::iterator it);
  void halve();

  AssemblyCfg cfg_;
  std::deque<Pending> slots_; // stable addresses for the name views; freed slots keep buffers
  std::vector<uint32_t> free_;
  std::unordered_map<std::string_view, uint32_t> by_name_; // views into slots_[i].name
  std::set<MateKey> by_mate_;
  int32_t last_tid_ = INT32_MIN;
  uint64_t evicted_ = 0;
  Geometry cur_, mate_;
};

// Streams a whole file through the filters and the assembly into `action`; returns the
// dropped count. A read failure ends the stream with "BAM read: {reason}".
template <class Action>
Result<uint64_t> stream_fragments(bam::SequentialReader &reader, const RecordFilter &filter,
                                  const AssemblyCfg &cfg, Action &&action) {
  FragmentAssembler assembler(cfg);
  bam::Record rec;
  for (;;) {
    auto more = reader.next(rec);
    if (!more)
      return fail_fmt("BAM read: {}", more.error().text());
    if (!*more)
      break;
    const bam1_t *b = rec.get();
    if (filter.passes(b))
      assembler.add(b, action);
  }
  return assembler.dropped();
}

} // namespace voskel::fragment
