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

// Where the previous query's window lay. Queries that come in ascending order (alignment
// records of a sorted file) find their window by galloping from there instead of searching
// the whole index.
struct Cursor {
  size_t lo = 0;
  size_t hi = 0;
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
    ix.starts_.reserve(ix.intervals_.size());
    ix.max_end_.reserve(ix.intervals_.size());
    uint64_t running = 0;
    for (const auto &iv : ix.intervals_) {
      running = std::max(running, iv.end);
      ix.starts_.push_back(iv.start);
      ix.max_end_.push_back(running);
    }
    return ix;
  }

  // Calls f(interval) for every interval with start <= qe and end >= qs (qs <= qe), in index
  // order: ascending start, equal starts in insertion order. Allocates nothing.
  template <class F> void overlapping(uint64_t qs, uint64_t qe, F &&f) const {
    // hi: first interval starting after qe; lo: first whose running max end reaches qs.
    const size_t hi =
        static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), qe) - starts_.begin());
    const size_t lo = static_cast<size_t>(
        std::lower_bound(max_end_.begin(), max_end_.begin() + hi, qs) - max_end_.begin());
    scan(lo, hi, qs, f);
  }

  // The same intervals in the same order as overlapping(qs, qe), with both window bounds
  // searched outward from where the cursor's previous query left them.
  template <class F> void overlapping(Cursor &cursor, uint64_t qs, uint64_t qe, F &&f) const {
    const size_t hi = gallop(starts_, cursor.hi, [&](uint64_t s) { return s > qe; });
    const size_t lo =
        gallop(max_end_, std::min(cursor.lo, hi), [&](uint64_t e) { return e >= qs; });
    cursor = {lo, hi};
    scan(lo, hi, qs, f);
  }

  const std::vector<Interval<T>> &intervals() const { return intervals_; }
  size_t size() const { return intervals_.size(); }
  bool empty() const { return intervals_.empty(); }

private:
  template <class F> void scan(size_t lo, size_t hi, uint64_t qs, F &f) const {
    // Inside the window, skip what lies there only because an earlier, longer interval
    // raised the running maximum.
    for (size_t i = lo; i < hi; ++i)
      if (intervals_[i].end >= qs)
        f(intervals_[i]);
  }

  // First position of a (non-decreasing) whose value satisfies pred, where pred is false
  // then true along a: doubling steps outward from guess, then bisection in the bracket.
  template <class Pred>
  static size_t gallop(const std::vector<uint64_t> &a, size_t guess, Pred pred) {
    const size_t n = a.size();
    guess = std::min(guess, n);
    size_t lo = 0, hi = n;
    if (guess < n && !pred(a[guess])) {
      lo = guess + 1;
      for (size_t step = 1; lo + step - 1 < n; step *= 2) {
        const size_t probe = lo + step - 1;
        if (pred(a[probe])) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
    } else {
      hi = guess;
      for (size_t step = 1; hi > 0; step *= 2) {
        const size_t probe = hi >= step ? hi - step : 0;
        if (!pred(a[probe])) {
          lo = probe + 1;
          break;
        }
        hi = probe;
      }
    }
    return static_cast<size_t>(
        std::partition_point(a.begin() + lo, a.begin() + hi, [&](uint64_t v) { return !pred(v); }) -
        a.begin());
  }

  std::vector<Interval<T>> intervals_;
  std::vector<uint64_t> starts_;
  std::vector<uint64_t> max_end_;
};

} // namespace voskel::interval
