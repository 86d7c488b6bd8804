// Walking a SAM header text: its lines, and the TAG:value fields of one line.
#pragma once

#include <string_view>

namespace voskel::bam {

// Calls f(line) for every line of the text: lines end at '\n', a '\r' right before it goes
// with it; a last line without '\n' counts as it is.
template <class F> void for_each_header_line(std::string_view text, F &&f) {
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (nl != std::string_view::npos && line.ends_with('\r'))
      line.remove_suffix(1);
    f(line);
    if (nl == std::string_view::npos)
      break;
    text.remove_prefix(nl + 1);
  }
}

// Calls f(field) for every tab-separated field after the record type that is long enough to
// hold a tag and its colon ("SN:chr1", "ID:"), in line order.
template <class F> void for_each_header_field(std::string_view line, F &&f) {
  size_t tab = line.find('\t');
  while (tab != std::string_view::npos) {
    line.remove_prefix(tab + 1);
    tab = line.find('\t');
    const std::string_view field = line.substr(0, tab);
    if (field.size() >= 3)
      f(field);
  }
}

} // namespace voskel::bam
