// The fragment assembly shared by every analysis that counts fragments (quantification, the
// junction census): how the two mates of a proper pair are brought together through a table of
// mates still waiting for their partner. Which records take part is decided by the read rules;
// the analysis supplies only the fragment action.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <htslib/sam.h>

#include "bam/read_rules.hpp"
#include "bam/reader.hpp"
#include "error.hpp"
#include "geometry.hpp"
#include "interrupt.hpp"

namespace voskel::fragment {

// Mates waiting longer than this many at once are evicted half at a time, so memory stays
// bounded on files whose mates lie far apart.
inline constexpr size_t kPendingLimit = 500'000;

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
    add(r, prepare(r), action);
  }

  // The record's fields as the assembly reads them.
  RawRecord raw(const bam1_t *b) const { return RawRecord::from_bam(b, cfg_.keep_aux_strand); }

  // For a caller that reads one record ahead: the name hash of a record that will look for its
  // mate, its bucket already on the way into the cache while the record before is assembled;
  // 0 for a record that will not look. Pass it back to add().
  uint64_t prepare(const RawRecord &r) const {
    if (!looks_for_mate(r.flag))
      return 0;
    const uint64_t h = name_hash(r.name);
    __builtin_prefetch(&buckets_[h & (buckets_.size() - 1)]);
    return h;
  }

  // `prepared` is what prepare() gave for this record.
  template <class Action> void add(const RawRecord &r, uint64_t prepared, Action &&action) {
    if (cfg_.single_layout || !(r.flag & bam::kPaired)) {
      action(view(r.tid, r.flag, r.pos, r.cigar, r.aux_strand, cur_));
      return;
    }
    if (!(r.flag & bam::kProperPair))
      return;
    const uint64_t h = prepared;
    if (const size_t bucket = find(r.name, h); bucket != kNone) {
      const uint32_t slot = buckets_[bucket].slot;
      erase_bucket(bucket);
      const Pending &m = slots_[slot];
      action(view(r.tid, r.flag, r.pos, r.cigar, r.aux_strand, cur_),
             view(m.tid, m.flag, m.pos, m.cigar(), m.aux_strand, mate_));
      release(slot);
      return;
    }
    // The mate lies earlier on this reference yet was never stored: it failed a filter.
    if (r.tid == r.mtid && r.mpos < r.pos)
      return;
    store(r, h);
  }

  size_t pending() const { return live_; }
  uint64_t evicted() const { return evicted_; }
  // Mates lost: evicted by halving plus those still waiting.
  uint64_t dropped() const { return evicted_ + live_; }

private:
  bool looks_for_mate(uint16_t flag) const {
    constexpr uint16_t kPairedProper = bam::kPaired | bam::kProperPair;
    return !cfg_.single_layout && (flag & kPairedProper) == kPairedProper;
  }

  // A waiting record, compact: what the actions need, not the whole htslib record. Its CIGAR
  // words and name bytes share one buffer, held inside the slot when short, so the lookup that
  // finds a mate touches one place for its name, fields and CIGAR.
  struct Pending {
    static constexpr size_t kInlineWords = 20;
    std::array<uint32_t, kInlineWords> small;
    std::vector<uint32_t> large; // longer CIGAR plus name; keeps its capacity for reuse
    uint32_t n_cigar = 0;
    uint32_t name_len = 0;
    int64_t pos = -1;
    int64_t mpos = -1;
    uint64_t hash = 0;
    int32_t tid = -1;
    int32_t mtid = -1;
    uint32_t gen = 0; // bumped when the slot is released; stale heap entries show it
    uint16_t flag = 0;
    char aux_strand = 0;

    const uint32_t *words() const {
      return n_cigar + (name_len + 3) / 4 <= kInlineWords ? small.data() : large.data();
    }
    std::span<const uint32_t> cigar() const { return {words(), n_cigar}; }
    std::string_view name() const {
      return {reinterpret_cast<const char *>(words() + n_cigar), name_len};
    }
    void assign(std::string_view name_bytes, std::span<const uint32_t> cigar_words);
  };
  // Open-addressing bucket of the name index.
  struct Bucket {
    uint32_t slot = kEmpty;
    uint32_t hash = 0;
  };
  // Min-heap entry by where the mate is expected. Released slots leave stale entries that are
  // skipped when they surface and compacted away when they pile up.
  struct MateKey {
    int64_t mpos;
    int32_t mtid;
    uint32_t slot;
    uint32_t gen;
  };
  struct Geometry {
    std::vector<geometry::Span> blocks;
    std::vector<geometry::Span> introns;
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static constexpr size_t kNone = SIZE_MAX;

  static uint64_t name_hash(std::string_view name);
  static Read view(int32_t tid, uint16_t flag, int64_t pos, std::span<const uint32_t> cigar,
                   char aux, Geometry &g);
  size_t find(std::string_view name, uint64_t h) const;
  void insert_bucket(uint32_t slot, uint64_t h);
  void erase_bucket(size_t bucket);
  void grow();
  void release(uint32_t slot);
  void remove(uint32_t slot);
  // The heap order: the soonest expected mate on top.
  static bool heap_after(const MateKey &a, const MateKey &b) {
    return a.mtid != b.mtid ? a.mtid > b.mtid : a.mpos > b.mpos;
  }
  bool stale(const MateKey &k) const { return slots_[k.slot].gen != k.gen; }
  // Removes (silently) every entry whose mate lies before (tid, pos) in (mate tid, mate pos).
  void purge_before(int32_t tid, int64_t pos);
  void compact_heap();
  void store(const RawRecord &r, uint64_t h);
  void halve();

  AssemblyCfg cfg_;
  std::vector<Pending> slots_; // released slots keep their buffers for reuse
  std::vector<uint32_t> free_;
  std::vector<Bucket> buckets_; // power-of-two size, at most half full
  std::vector<MateKey> heap_;
  size_t live_ = 0;
  int32_t last_tid_ = INT32_MIN;
  uint64_t evicted_ = 0;
  Geometry cur_, mate_;
};

// Pairing mates through the waiting table only works on a coordinate-sorted file: on any other
// order most mates would be purged or never met, silently. Every record read is compared with
// the one before it by (reference id as unsigned, so unplaced records with id -1 sort last;
// then 0-based position); equal keys are in order.
class OrderCheck {
public:
  // True when (tid, pos) does not sort before the previous record. After a false answer the
  // record is kept as the offender and the predecessor stays.
  bool follows(int32_t tid, int64_t pos) {
    const auto utid = static_cast<uint32_t>(tid);
    if (seen_ && (utid < prev_.tid || (utid == prev_.tid && pos < prev_.pos))) {
      offender_ = {utid, pos};
      return false;
    }
    seen_ = true;
    prev_ = {utid, pos};
    return true;
  }
  // After a false answer: "BAM {path} is not coordinate-sorted: {name}:{pos} follows
  // {name}:{pos}", offender then predecessor, 1-based positions; id -1 is named "*".
  CoreError disorder(const bam::SequentialReader &reader) const;

private:
  struct Key {
    uint32_t tid = 0;
    int64_t pos = 0;
  };
  bool seen_ = false;
  Key prev_, offender_;
};

// Streams a whole file through the filters and the assembly into `action`; returns the
// dropped count. A read failure ends the stream with "BAM read: {reason}"; a record out of
// coordinate order (before any filter) with the error of OrderCheck::disorder; an interrupt of
// the call ends it at the next batch of records.
template <class Action>
Result<uint64_t> stream_fragments(bam::SequentialReader &reader, const bam::RecordFilter &filter,
                                  const AssemblyCfg &cfg, Action &&action) {
  FragmentAssembler assembler(cfg);
  OrderCheck order;
  interrupt::Pacer pace;
  // One record is read ahead, so that its mate lookup loads while the one before is assembled;
  // a read failure or a record out of order still ends the stream before anything after it.
  // Two slots, each a record with its fields, filter answer and prepared hash; they swap
  // roles on every read, nothing is copied.
  bam::Record recs[2];
  RawRecord raws[2];
  bool passes[2] = {false, false};
  uint64_t hashes[2] = {0, 0};
  for (size_t next = 0;; next ^= 1) {
    if (auto go = pace.tick(); !go)
      return fail(std::move(go.error()));
    auto more = reader.next(recs[next]);
    if (!more)
      return fail_fmt("BAM read: {}", more.error().text());
    const bam1_t *b = recs[next].get();
    if (*more && !order.follows(b->core.tid, b->core.pos))
      return fail(order.disorder(reader));
    passes[next] = *more && filter.passes(b);
    if (passes[next]) {
      raws[next] = assembler.raw(b);
      hashes[next] = assembler.prepare(raws[next]);
    }
    if (const size_t held = next ^ 1; passes[held])
      assembler.add(raws[held], hashes[held], action);
    if (!*more)
      break;
  }
  return assembler.dropped();
}

} // namespace voskel::fragment
