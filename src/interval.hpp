// An immutable index of closed intervals with a payload, for overlap queries: intervals sorted
// by start with a running maximum of ends, searched by two binary searches and a short scan.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace voskel::interval {

template <class T> struct Interval {
  T payload;
  uint64_t start = 0; // 1-based, inclusive
  uint64_t end = 0;   // inclusive, start <= end
};

template <class T> class IvIndex {
public:
  IvIndex() = default;

  // Takes the intervals, sorts them stably by start, computes the running maximum of ends.
  static IvIndex from_intervals(std::vector<Interval<T>> intervals) {
    IvIndex ix;
    std::stable_sort(intervals.begin(), intervals.end(),
                     [](const Interval<T> &a, const Interval<T> &b) { return a.start < b.start; });
    ix.intervals_ = std::move(intervals);
    ix.max_end_.reserve(ix.intervals_.size());
    uint64_t running = 0;
    for (const auto &iv : ix.intervals_) {
      running = std::max(running, iv.end);
      ix.max_end_.push_back(running);
    }
    return ix;
  }

  // Calls f(interval) for every interval with start <= qe and end >= qs (qs <= qe), in index
  // order: ascending start, equal starts in insertion order. Allocates nothing.
  template <class F> void overlapping(uint64_t qs, uint64_t qe, F &&f) const {
    const auto first_after = std::upper_bound(
        intervals_.begin(), intervals_.end(), qe,
        [](uint64_t q, const Interval<T> &iv) { return q < iv.start; });
    const size_t hi = static_cast<size_t>(first_after - intervals_.begin());
    if (hi == 0)
      return;
    const size_t lo = static_cast<size_t>(
        std::lower_bound(max_end_.begin(), max_end_.begin() + hi, qs) - max_end_.begin());
    for (size_t i = lo; i < hi; ++i)
      if (intervals_[i].end >= qs)
        f(intervals_[i]);
  }

  const std::vector<Interval<T>> &intervals() const { return intervals_; }
  size_t size() const { return intervals_.size(); }
  bool empty() const { return intervals_.empty(); }

private:
  std::vector<Interval<T>> intervals_;
  std::vector<uint64_t> max_end_;
};

} // namespace voskel::interval
