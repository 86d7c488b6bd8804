#include "error.hpp"

#include <cstring>

namespace voskel::error {

std::string os_description(int errnum) {
  if (errnum == kPathHasNul)
    return "path contains a NUL byte";
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char *text = strerror_r(errnum, buf, sizeof buf);
  return fmt::format("{} (os error {})", text, errnum);
}

CoreError CoreError::os(int errnum) { return {Kind::Io, os_description(errnum)}; }

} // namespace voskel::error
