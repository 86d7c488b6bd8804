#include "cells.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include <fmt/compile.h>
#include <fmt/format.h>

namespace voskel::cells {

namespace {

// value * 10^6 rounded to nearest, ties to even, exactly, for |value| < 2^42 (a bound that
// keeps the result below 2^63); false for larger values. A double is m * 2^e with m below
// 2^53, so m * 10^6 fits 128 bits and the shift by -e is the exact division.
bool micro_units(double value, uint64_t &out) {
  const double mag = std::fabs(value);
  if (!(mag < 0x1p42))
    return false;
  int exp;
  const double frac = std::frexp(mag, &exp); // mag = frac * 2^exp, 0.5 <= frac < 1
  const auto m = static_cast<uint64_t>(std::ldexp(frac, 53));
  const int shift = 53 - exp; // mag = m / 2^shift, shift > 10 since mag < 2^42
  if (mag == 0.0 || shift >= 128) {
    out = 0; // zero, or below 2^-75: far under half a millionth
    return true;
  }
  const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 1000000u;
  const unsigned __int128 one = 1;
  uint64_t q = static_cast<uint64_t>(scaled >> shift);
  const unsigned __int128 rem = scaled & ((one << shift) - 1);
  const unsigned __int128 half = one << (shift - 1);
  if (rem > half || (rem == half && (q & 1) != 0))
    ++q;
  out = q;
  return true;
}

} // namespace

void append_fixed6(std::string &out, double value) {
  // Cells are mostly small: their digits come from exact integer arithmetic, which is several
  // times quicker than the general formatter and writes the same text.
  uint64_t micros;
  if (!micro_units(value, micros)) {
    fmt::format_to(std::back_inserter(out), FMT_COMPILE("{:.6f}"), value);
    return;
  }
  char buf[32];
  char *end = std::end(buf), *p = end;
  uint64_t frac = micros % 1000000, whole = micros / 1000000;
  for (int i = 0; i < 6; ++i, frac /= 10)
    *--p = static_cast<char>('0' + frac % 10);
  *--p = '.';
  do {
    *--p = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  if (std::signbit(value)) // as "{:.6f}": -0.0 and negatives that round to 0 keep the sign
    *--p = '-';
  out.append(p, end);
}

void append_shortest(std::string &out, double v) {
  // Fixed format without a precision is the shortest round-trip text in plain digits.
  std::array<char, 400> buf;
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed);
  out.append(buf.data(), res.ptr);
}

} // namespace voskel::cells
