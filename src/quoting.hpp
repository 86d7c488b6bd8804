// Names quoted for messages: one name in double quotes, a list of names in brackets, a set
// of names in braces. Users see exactly which names clash, blanks and odd bytes included.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace voskel::quoting {

// The text in double quotes; a quote or backslash inside gets a backslash, tab, carriage
// return, line feed and NUL their usual escapes, other control characters \u{hex}.
std::string quote(std::string_view text);

// Appends the quoted text to out.
void append_quoted(std::string &out, std::string_view text);

// "[" + the first `limit` names quoted, joined by ", " + "]".
template <class Range> std::string bracketed(const Range &names, size_t limit) {
  std::string out = "[";
  size_t n = 0;
  for (const auto &name : names) {
    if (n == limit)
      break;
    if (n++ > 0)
      out += ", ";
    append_quoted(out, name);
  }
  out += ']';
  return out;
}

// "{" + every name quoted, joined by ", " + "}", in the range's order.
template <class Range> std::string braced(const Range &names) {
  std::string out = "{";
  bool first = true;
  for (const auto &name : names) {
    if (!first)
      out += ", ";
    first = false;
    append_quoted(out, name);
  }
  out += '}';
  return out;
}

} // namespace voskel::quoting
