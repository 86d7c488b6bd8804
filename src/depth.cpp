#include "depth.hpp"

#include <algorithm>

namespace voskel::depth {

void DepthProfile::reset(uint64_t first, uint64_t last) {
  first_ = first;
  last_ = last;
  opens_.clear();
  closes_.clear();
  steps_.clear();
  begin_.clear();
  depth_.clear();
  before_.clear();
}

void DepthProfile::add(uint64_t start, uint64_t end) {
  start = std::max(start, first_);
  end = std::min(end, last_);
  if (start > end)
    return;
  opens_.push_back(start);
  if (end < last_)
    closes_.push_back(end + 1);
  // Deep coverage repeats the same few positions: folding them keeps memory within the
  // stretch's length as well as within the blocks' count.
  if (opens_.size() + closes_.size() >= std::max(kMinPending, 2 * steps_.size()))
    fold();
}

void DepthProfile::fold() {
  // Starts of unspliced reads of a sorted query come in order already.
  if (!std::is_sorted(opens_.begin(), opens_.end()))
    std::sort(opens_.begin(), opens_.end());
  std::sort(closes_.begin(), closes_.end());
  merged_.clear();
  size_t i = 0, j = 0, k = 0;
  while (i < opens_.size() || j < closes_.size() || k < steps_.size()) {
    uint64_t p = UINT64_MAX;
    if (i < opens_.size())
      p = opens_[i];
    if (j < closes_.size())
      p = std::min(p, closes_[j]);
    if (k < steps_.size())
      p = std::min(p, steps_[k].pos);
    int64_t delta = 0;
    for (; i < opens_.size() && opens_[i] == p; ++i)
      ++delta;
    for (; j < closes_.size() && closes_[j] == p; ++j)
      --delta;
    for (; k < steps_.size() && steps_[k].pos == p; ++k)
      delta += steps_[k].delta;
    if (delta != 0)
      merged_.push_back({p, delta});
  }
  steps_.swap(merged_);
  opens_.clear();
  closes_.clear();
}

void DepthProfile::seal() {
  fold();
  begin_.push_back(first_);
  depth_.push_back(0);
  before_.push_back(0);
  int64_t open = 0; // blocks covering the current position, uncapped
  for (const Step &s : steps_) {
    open += s.delta;
    const auto d = static_cast<uint32_t>(std::min(static_cast<uint64_t>(open), cap_));
    if (d == depth_.back())
      continue;
    if (s.pos == first_) {
      // Blocks that open on the first position set the first run's depth.
      depth_.back() = d;
      continue;
    }
    before_.push_back(before_.back() +
                      static_cast<DepthSum>(depth_.back()) * (s.pos - begin_.back()));
    begin_.push_back(s.pos);
    depth_.push_back(d);
  }
  steps_.clear();
}

size_t DepthProfile::run_of(uint64_t x) const {
  return static_cast<size_t>(std::upper_bound(begin_.begin(), begin_.end(), x) - begin_.begin()) -
         1;
}

DepthSum DepthProfile::upto(uint64_t x) const {
  const size_t k = run_of(x);
  return before_[k] + static_cast<DepthSum>(depth_[k]) * (x - begin_[k] + 1);
}

DepthSum DepthProfile::sum(uint64_t a, uint64_t b) const {
  a = std::max(a, first_);
  b = std::min(b, last_);
  if (a > b)
    return 0;
  return upto(b) - (a > first_ ? upto(a - 1) : 0);
}

uint64_t DepthProfile::at(uint64_t pos) const { return depth_[run_of(pos)]; }

} // namespace voskel::depth
