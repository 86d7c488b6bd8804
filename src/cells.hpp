// Number cells of every table: fixed notation with six decimals, and the shortest decimal text
// that reads back to the same double. Neither ever uses exponent form.
#pragma once

#include <string>

namespace voskel::cells {

// Six decimals, correctly rounded (ties to even on the exact binary value), as "{:.6f}" writes
// them: -0.0 and negatives that round to zero keep their sign.
void append_fixed6(std::string &out, double v);
inline std::string fixed6(double v) {
  std::string s;
  append_fixed6(s, v);
  return s;
}

// The shortest plain-digit text that reads back to the same double.
void append_shortest(std::string &out, double v);
inline std::string shortest_plain(double v) {
  std::string s;
  append_shortest(s, v);
  return s;
}

} // namespace voskel::cells
