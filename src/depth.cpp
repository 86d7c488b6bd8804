#include "depth.hpp"

#include <algorithm>

namespace voskel::depth {

void DepthProfile::reset(uint64_t first, uint64_t last) {
  first_ = first;
  last_ = last;
  opens_.clear();
  closes_.clear();
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
}

void DepthProfile::seal() {
  // Blocks of a coordinate-sorted query arrive nearly in order: the sorts are cheap.
  std::sort(opens_.begin(), opens_.end());
  std::sort(closes_.begin(), closes_.end());
  begin_.push_back(first_);
  depth_.push_back(0);
  before_.push_back(0);
  uint64_t open = 0; // blocks covering the current position, uncapped
  size_t i = 0, j = 0;
  while (i < opens_.size() || j < closes_.size()) {
    const uint64_t p = j == closes_.size() || (i < opens_.size() && opens_[i] < closes_[j])
                           ? opens_[i]
                           : closes_[j];
    while (i < opens_.size() && opens_[i] == p) {
      ++open;
      ++i;
    }
    while (j < closes_.size() && closes_[j] == p) {
      --open;
      ++j;
    }
    const uint64_t d = std::min(open, cap_);
    if (d == depth_.back())
      continue;
    if (p == first_) {
      // Blocks that open on the first position set the first run's depth.
      depth_.back() = d;
      continue;
    }
    before_.push_back(before_.back() + static_cast<DepthSum>(depth_.back()) * (p - begin_.back()));
    begin_.push_back(p);
    depth_.push_back(d);
  }
  opens_.clear();
  closes_.clear();
}

DepthSum DepthProfile::upto(uint64_t x) const {
  const size_t k =
      static_cast<size_t>(std::upper_bound(begin_.begin(), begin_.end(), x) - begin_.begin()) - 1;
  return before_[k] + static_cast<DepthSum>(depth_[k]) * (x - begin_[k] + 1);
}

DepthSum DepthProfile::sum(uint64_t a, uint64_t b) const {
  a = std::max(a, first_);
  b = std::min(b, last_);
  if (a > b)
    return 0;
  return upto(b) - (a > first_ ? upto(a - 1) : 0);
}

uint64_t DepthProfile::at(uint64_t pos) const {
  const size_t k =
      static_cast<size_t>(std::upper_bound(begin_.begin(), begin_.end(), pos) - begin_.begin()) - 1;
  return depth_[k];
}

} // namespace voskel::depth
