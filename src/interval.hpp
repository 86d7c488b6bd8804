// An immutable index of closed intervals with a payload, for overlap queries: intervals sorted
// by start with a running maximum of ends. Two binary searches bound the window of candidates;
// a short window is scanned, a long one (an earlier, longer interval keeps the running maximum
// high) is walked through an implicit tree over the same array that skips every subtree
// ending before the query, so that a query costs about the intervals it yields plus a
// logarithm, however long the intervals before it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
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

  // Takes the intervals, sorts them stably by start, computes the running maximum of ends
  // and the maximum end below every node of the implicit tree.
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
    ix.build_tree();
    return ix;
  }

  // Calls f(interval) for every interval with start <= qe and end >= qs (qs <= qe), in index
  // order: ascending start, equal starts in insertion order. Allocates nothing.
  template <class F> void overlapping(uint64_t qs, uint64_t qe, F &&f) const {
    const auto [lo, hi] = window(qs, qe);
    NoCount none;
    visit(lo, hi, qs, f, none);
  }

  // The same intervals in the same order as overlapping(qs, qe), with both window bounds
  // searched outward from where the cursor's previous query left them.
  template <class F> void overlapping(Cursor &cursor, uint64_t qs, uint64_t qe, F &&f) const {
    const size_t hi = gallop(starts_, cursor.hi, [&](uint64_t s) { return s > qe; });
    const size_t lo =
        gallop(max_end_, std::min(cursor.lo, hi), [&](uint64_t e) { return e >= qs; });
    cursor = {lo, hi};
    NoCount none;
    visit(lo, hi, qs, f, none);
  }

  // How many intervals overlapping(qs, qe) looks at, yielded or not: the measure of a
  // query's cost beyond its two binary searches.
  size_t examined(uint64_t qs, uint64_t qe) const {
    const auto [lo, hi] = window(qs, qe);
    size_t count = 0;
    const auto ignore = [](const Interval<T> &) {};
    visit(lo, hi, qs, ignore, count);
    return count;
  }

  const std::vector<Interval<T>> &intervals() const { return intervals_; }
  size_t size() const { return intervals_.size(); }
  bool empty() const { return intervals_.empty(); }

private:
  // Windows up to this long are scanned: cheaper than a walk, and bounded.
  static constexpr size_t kScanWindow = 32;

  struct NoCount {
    NoCount &operator++() { return *this; }
  };

  // lo: first interval whose running maximum end reaches qs (every interval before it ends
  // before qs); hi: first interval starting after qe.
  struct Window {
    size_t lo, hi;
  };
  Window window(uint64_t qs, uint64_t qe) const {
    const size_t hi =
        static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), qe) - starts_.begin());
    const size_t lo = static_cast<size_t>(
        std::lower_bound(max_end_.begin(), max_end_.begin() + hi, qs) - max_end_.begin());
    return {lo, hi};
  }

  // Yields, in position order, every interval at positions lo..hi-1 that ends at or after qs.
  template <class F, class Count>
  void visit(size_t lo, size_t hi, uint64_t qs, F &f, Count &count) const {
    if (hi <= lo) // a cursor's lo can pass hi when nothing before hi reaches qs
      return;
    if (hi - lo <= kScanWindow) {
      for (size_t i = lo; i < hi; ++i) {
        ++count;
        if (intervals_[i].end >= qs)
          f(intervals_[i]);
      }
      return;
    }
    walk(lo, hi, qs, f, count);
  }

  // The implicit tree: position i sits at level k = the number of trailing one bits of i; at
  // k > 0 its children are i - 2^(k-1) and i + 2^(k-1), and its subtree covers positions
  // i - (2^k - 1) to i + (2^k - 1). The root is 2^K - 1 with K = floor(log2 n). Positions at
  // or beyond n are absent; only their left subtrees can hold intervals. subtree_max_[i] is
  // the largest end at the present positions of the subtree of i.
  void build_tree() {
    const size_t n = intervals_.size();
    subtree_max_.assign(n, 0);
    if (n == 0)
      return;
    root_level_ = std::bit_width(n) - 1;
    // Largest end at positions i..n-1: what an absent right child leaves of its subtree.
    std::vector<uint64_t> suffix_max(n + 1, 0);
    for (size_t i = n; i-- > 0;)
      suffix_max[i] = std::max(suffix_max[i + 1], intervals_[i].end);
    for (unsigned k = 0; k <= root_level_; ++k) {
      const size_t half = k == 0 ? 0 : size_t{1} << (k - 1);
      for (size_t i = (size_t{1} << k) - 1; i < n; i += size_t{1} << (k + 1)) {
        uint64_t m = intervals_[i].end;
        if (k > 0) {
          m = std::max(m, subtree_max_[i - half]);
          m = std::max(m, i + half < n ? subtree_max_[i + half] : suffix_max[i + 1]);
        }
        subtree_max_[i] = m;
      }
    }
  }

  // In-order walk of the tree restricted to positions lo..hi-1, pruning every subtree that
  // lies outside them or ends before qs. The stack holds one node per level.
  template <class F, class Count>
  void walk(size_t lo, size_t hi, uint64_t qs, F &f, Count &count) const {
    const size_t n = intervals_.size();
    struct Node {
      size_t i;
      unsigned k;
    };
    Node stack[64];
    unsigned depth = 0;
    // Pushes node (i, k) and the left spine below it, as far as they can hold an answer.
    const auto descend = [&](size_t i, unsigned k) {
      for (;;) {
        const size_t reach = (size_t{1} << k) - 1;
        if (i - reach >= hi || i + reach < lo)
          return;
        if (i < n) {
          ++count;
          if (subtree_max_[i] < qs)
            return;
        }
        stack[depth++] = {i, k};
        if (k == 0)
          return;
        --k;
        i -= size_t{1} << k;
      }
    };
    descend((size_t{1} << root_level_) - 1, root_level_);
    while (depth > 0) {
      const Node node = stack[--depth];
      if (node.i >= lo && node.i < hi && intervals_[node.i].end >= qs)
        f(intervals_[node.i]);
      if (node.k > 0)
        descend(node.i + (size_t{1} << (node.k - 1)), node.k - 1);
    }
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
  std::vector<uint64_t> subtree_max_;
  unsigned root_level_ = 0;
};

} // namespace voskel::interval
