#include "json.hpp"

#include <charconv>

namespace voskel::json {

void append_quoted(std::string &out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20) {
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
      } else {
        out.push_back(ch);
      }
    }
  }
  out.push_back('"');
}

namespace {

void write(std::string &out, const Value &v) {
  std::visit(
      [&](const auto &x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += x ? "true" : "false";
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          char buf[24];
          auto r = std::to_chars(buf, buf + sizeof buf, x);
          out.append(buf, r.ptr);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_quoted(out, x);
        } else if constexpr (std::is_same_v<T, Array>) {
          out.push_back('[');
          for (size_t i = 0; i < x.size(); ++i) {
            if (i)
              out.push_back(',');
            write(out, x[i]);
          }
          out.push_back(']');
        } else {
          out.push_back('{');
          bool first = true;
          for (const auto &[k, val] : x) {
            if (!first)
              out.push_back(',');
            first = false;
            append_quoted(out, k);
            out.push_back(':');
            write(out, val);
          }
          out.push_back('}');
        }
      },
      v.variant());
}

} // namespace

std::string to_json(const Value &value) {
  std::string out;
  write(out, value);
  return out;
}

} // namespace voskel::json
