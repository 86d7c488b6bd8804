#include "fragment.hpp"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace voskel::fragment {

RawRecord RawRecord::from_bam(const bam1_t *b, bool with_aux_strand) {
  RawRecord r;
  r.tid = b->core.tid;
  r.pos = b->core.pos;
  r.flag = b->core.flag;
  r.mtid = b->core.mtid;
  r.mpos = b->core.mpos;
  r.name = std::string_view(bam_get_qname(b));
  r.cigar = std::span<const uint32_t>(bam_get_cigar(b), b->core.n_cigar);
  r.aux_strand = with_aux_strand ? bam::aux_strand(b) : 0;
  return r;
}

FragmentAssembler::FragmentAssembler(AssemblyCfg cfg) : cfg_(cfg) {
  if (cfg_.table_limit == 0)
    cfg_.table_limit = 1;
  buckets_.resize(1024);
}

uint64_t FragmentAssembler::name_hash(std::string_view name) {
  // Word-at-a-time multiply-xorshift; read names are short and hashed once per paired record.
  // A name of 8 bytes or more ends on its last 8 bytes, overlapping the word before, instead
  // of a short copy of its tail.
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ name.size();
  const auto mix = [&h](uint64_t w) {
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  };
  const auto word_at = [](const char *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  const char *p = name.data();
  size_t n = name.size();
  if (n >= 8) {
    for (; n > 8; p += 8, n -= 8)
      mix(word_at(p));
    mix(word_at(name.data() + name.size() - 8));
  } else if (n > 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    mix(w);
  }
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 29);
}

Read FragmentAssembler::view(int32_t tid, uint16_t flag, int64_t pos,
                             std::span<const uint32_t> cigar, char aux, Geometry &g) {
  geometry::blocks_and_introns(pos, cigar, g.blocks, g.introns);
  return Read{tid, flag, g.blocks, g.introns, aux};
}

void FragmentAssembler::Pending::assign(std::string_view name_bytes,
                                        std::span<const uint32_t> cigar_words) {
  n_cigar = static_cast<uint32_t>(cigar_words.size());
  name_len = static_cast<uint32_t>(name_bytes.size());
  const size_t n = n_cigar + (name_len + 3) / 4;
  uint32_t *w = small.data();
  if (n > kInlineWords) {
    large.resize(n);
    w = large.data();
  }
  std::memcpy(w, cigar_words.data(), cigar_words.size_bytes());
  std::memcpy(w + n_cigar, name_bytes.data(), name_bytes.size());
}

size_t FragmentAssembler::find(std::string_view name, uint64_t h) const {
  const size_t mask = buckets_.size() - 1;
  const auto h32 = static_cast<uint32_t>(h);
  for (size_t i = h & mask;; i = (i + 1) & mask) {
    const Bucket &b = buckets_[i];
    if (b.slot == kEmpty)
      return kNone;
    if (b.hash == h32 && slots_[b.slot].name() == name)
      return i;
  }
}

void FragmentAssembler::insert_bucket(uint32_t slot, uint64_t h) {
  const size_t mask = buckets_.size() - 1;
  size_t i = h & mask;
  while (buckets_[i].slot != kEmpty)
    i = (i + 1) & mask;
  buckets_[i] = Bucket{slot, static_cast<uint32_t>(h)};
}

void FragmentAssembler::erase_bucket(size_t i) {
  // Backward-shift deletion keeps every probe chain unbroken without tombstones.
  const size_t mask = buckets_.size() - 1;
  for (size_t j = (i + 1) & mask; buckets_[j].slot != kEmpty; j = (j + 1) & mask) {
    // The bucket keeps the low 32 bits of the hash, all that a mask of a table that fits in
    // memory can select.
    const size_t home = buckets_[j].hash & mask;
    const bool stays = (i <= j) ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      buckets_[i] = buckets_[j];
      i = j;
    }
  }
  buckets_[i] = Bucket{};
  --live_;
}

void FragmentAssembler::grow() {
  std::vector<Bucket> old(buckets_.size() * 2);
  old.swap(buckets_);
  for (const Bucket &b : old)
    if (b.slot != kEmpty)
      insert_bucket(b.slot, b.hash);
}

void FragmentAssembler::release(uint32_t slot) {
  ++slots_[slot].gen;
  free_.push_back(slot);
}

void FragmentAssembler::remove(uint32_t slot) {
  erase_bucket(find(slots_[slot].name(), slots_[slot].hash));
  release(slot);
}

void FragmentAssembler::purge_before(int32_t tid, int64_t pos) {
  while (!heap_.empty()) {
    const MateKey &top = heap_.front();
    if (!stale(top) && !(top.mtid < tid || (top.mtid == tid && top.mpos < pos)))
      break;
    if (!stale(top))
      remove(top.slot);
    std::pop_heap(heap_.begin(), heap_.end(), heap_after);
    heap_.pop_back();
  }
}

void FragmentAssembler::compact_heap() {
  std::erase_if(heap_, [&](const MateKey &k) { return stale(k); });
  std::make_heap(heap_.begin(), heap_.end(), heap_after);
}

void FragmentAssembler::store(const RawRecord &r, uint64_t h) {
  if (r.tid != last_tid_) {
    // Mates on earlier references can no longer arrive in a sorted file.
    purge_before(r.tid, INT64_MIN);
    last_tid_ = r.tid;
  }
  if (live_ > cfg_.table_limit - 1) {
    purge_before(r.tid, r.pos);
    if (live_ >= cfg_.table_limit)
      halve();
  }
  uint32_t slot;
  if (!free_.empty()) {
    slot = free_.back();
    free_.pop_back();
  } else {
    slot = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Pending &p = slots_[slot];
  p.assign(r.name, r.cigar);
  p.pos = r.pos;
  p.mpos = r.mpos;
  p.hash = h;
  p.tid = r.tid;
  p.mtid = r.mtid;
  p.flag = r.flag;
  p.aux_strand = r.aux_strand;

  if ((live_ + 1) * 2 > buckets_.size())
    grow();
  insert_bucket(slot, h);
  ++live_;
  heap_.push_back(MateKey{p.mpos, p.mtid, slot, p.gen});
  std::push_heap(heap_.begin(), heap_.end(), heap_after);
  if (heap_.size() > 2 * live_ + 1024)
    compact_heap();
}

void FragmentAssembler::halve() {
  // Rare: order every waiting entry by (mate tid, mate pos, name bytes) and drop the first
  // half, the entries whose mates are expected soonest.
  compact_heap();
  std::vector<MateKey> order = heap_;
  std::sort(order.begin(), order.end(), [&](const MateKey &a, const MateKey &b) {
    if (a.mtid != b.mtid)
      return a.mtid < b.mtid;
    if (a.mpos != b.mpos)
      return a.mpos < b.mpos;
    return slots_[a.slot].name() < slots_[b.slot].name();
  });
  const size_t half = order.size() / 2;
  for (size_t i = 0; i < half; ++i)
    remove(order[i].slot);
  evicted_ += half;
  compact_heap();
}

CoreError OrderCheck::disorder(const bam::SequentialReader &reader) const {
  const std::vector<std::string> names = bam::tid_names(reader.header());
  const auto name = [&](uint32_t tid) -> std::string {
    return tid < names.size() ? names[tid] : std::string("*");
  };
  return CoreError::message(fmt::format("BAM {} is not coordinate-sorted: {}:{} follows {}:{}",
                                        reader.path(), name(offender_.tid), offender_.pos + 1,
                                        name(prev_.tid), prev_.pos + 1));
}

} // namespace voskel::fragment
