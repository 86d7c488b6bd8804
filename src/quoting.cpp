#include "quoting.hpp"

#include <fmt/format.h>

namespace voskel::quoting {

void append_quoted(std::string &out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\0':
      out += "\\0";
      break;
    default:
      if (c < 0x20 || c == 0x7f) {
        fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", c);
      } else if (c == 0xc2 && i + 1 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                 static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
        // The C1 controls U+0080..U+009F, two bytes in UTF-8.
        fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}",
                       static_cast<unsigned char>(text[i + 1]));
        ++i;
      } else {
        out += static_cast<char>(c);
      }
    }
  }
  out += '"';
}

std::string quote(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

} // namespace voskel::quoting
