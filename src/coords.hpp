// Arithmetic on 1-based inclusive coordinates and the lengths made from them, saturating at
// 2^64-1 instead of wrapping: a stretch 0..2^64-1 holds 2^64 bases, which 64 bits cannot.
#pragma once

#include <cstdint>

namespace voskel::coords {

inline constexpr uint64_t kMax = UINT64_MAX;

// a + b, or 2^64-1 when the sum does not fit.
inline constexpr uint64_t sat_add(uint64_t a, uint64_t b) { return b > kMax - a ? kMax : a + b; }

// Bases of start..end (start <= end): end - start + 1, saturated.
inline constexpr uint64_t span_len(uint64_t start, uint64_t end) { return sat_add(end - start, 1); }

} // namespace voskel::coords
