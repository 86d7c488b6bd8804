#include "fragment.hpp"

#include <algorithm>

namespace voskel::fragment {

bool skip_duplicates(std::string_view policy, bool dup_flag_seen) {
  if (policy == "never")
    return false;
  if (policy == "always")
    return true;
  return dup_flag_seen;
}

bool nh_not_unique(const bam1_t *b) {
  const uint8_t *tag = bam_aux_get(b, "NH");
  if (!tag)
    return false;
  switch (*tag) {
  case 'c':
  case 'C':
  case 's':
  case 'S':
  case 'i':
  case 'I':
    return bam_aux2i(tag) != 1;
  default:
    return false;
  }
}

bool RecordFilter::passes(const bam1_t *b) const {
  const uint16_t flag = b->core.flag;
  if (flag & kExcludeMask)
    return false;
  if (skip_duplicates && (flag & kDuplicate))
    return false;
  if (b->core.qual < min_mapq)
    return false;
  if (require_unique_nh && nh_not_unique(b))
    return false;
  return true;
}

namespace {

char tag_strand(const bam1_t *b, const char tag[2]) {
  const uint8_t *t = bam_aux_get(b, tag);
  if (!t)
    return 0;
  char c = 0;
  switch (*t) {
  case 'A':
  case 'c':
  case 'C':
  case 'Z':
  case 'H':
    c = static_cast<char>(t[1]);
    break;
  default:
    return 0;
  }
  return (c == '+' || c == '-') ? c : 0;
}

} // namespace

char aux_strand(const bam1_t *b) {
  if (char c = tag_strand(b, "XS"))
    return c;
  return tag_strand(b, "ts");
}

RawRecord RawRecord::from_bam(const bam1_t *b, bool with_aux_strand) {
  RawRecord r;
  r.tid = b->core.tid;
  r.pos = b->core.pos;
  r.flag = b->core.flag;
  r.mtid = b->core.mtid;
  r.mpos = b->core.mpos;
  r.name = std::string_view(bam_get_qname(b));
  r.cigar = std::span<const uint32_t>(bam_get_cigar(b), b->core.n_cigar);
  r.aux_strand = with_aux_strand ? fragment::aux_strand(b) : 0;
  return r;
}

FragmentAssembler::FragmentAssembler(AssemblyCfg cfg) : cfg_(cfg) {
  if (cfg_.table_limit == 0)
    cfg_.table_limit = 1;
}

Read FragmentAssembler::view(int32_t tid, uint16_t flag, int64_t pos,
                             std::span<const uint32_t> cigar, char aux, Geometry &g) {
  geometry::aligned_blocks(pos, cigar, g.blocks);
  geometry::cigar_introns(pos, cigar, g.introns);
  return Read{tid, flag, g.blocks, g.introns, aux};
}

void FragmentAssembler::remove(std::set<MateKey>::iterator it) {
  const uint32_t slot = it->slot;
  by_name_.erase(std::string_view(slots_[slot].name));
  by_mate_.erase(it);
  free_.push_back(slot);
}

void FragmentAssembler::store(const RawRecord &r) {
  if (r.tid != last_tid_) {
    // Mates on earlier references can no longer arrive in a sorted file.
    while (!by_mate_.empty() && by_mate_.begin()->mtid < r.tid)
      remove(by_mate_.begin());
    last_tid_ = r.tid;
  }
  if (by_name_.size() > cfg_.table_limit - 1) {
    while (!by_mate_.empty()) {
      const MateKey &k = *by_mate_.begin();
      if (k.mtid < r.tid || (k.mtid == r.tid && k.mpos < r.pos))
        remove(by_mate_.begin());
      else
        break;
    }
    if (by_name_.size() >= cfg_.table_limit)
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
  p.name.assign(r.name);
  p.cigar.assign(r.cigar.begin(), r.cigar.end());
  p.pos = r.pos;
  p.mpos = r.mpos;
  p.tid = r.tid;
  p.mtid = r.mtid;
  p.flag = r.flag;
  p.aux_strand = r.aux_strand;
  by_name_.emplace(std::string_view(p.name), slot);
  by_mate_.insert(MateKey{p.mtid, p.mpos, slot});
}

void FragmentAssembler::halve() {
  // Rare: order everything by (mate tid, mate pos, name bytes) and drop the first half, the
  // entries whose mates are expected soonest.
  std::vector<std::set<MateKey>::iterator> order;
  order.reserve(by_mate_.size());
  for (auto it = by_mate_.begin(); it != by_mate_.end(); ++it)
    order.push_back(it);
  std::sort(order.begin(), order.end(), [&](const auto &a, const auto &b) {
    if (a->mtid != b->mtid)
      return a->mtid < b->mtid;
    if (a->mpos != b->mpos)
      return a->mpos < b->mpos;
    return slots_[a->slot].name < slots_[b->slot].name;
  });
  const size_t half = order.size() / 2;
  for (size_t i = 0; i < half; ++i)
    remove(order[i]);
  evicted_ += half;
}

} // namespace voskel::fragment
