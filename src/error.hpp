// The one error value of the core and the result type every fallible operation returns.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace voskel::error {

class CoreError {
public:
  enum class Kind { Message, Io, Json };

  // A text composed by the operation that failed, shown unchanged.
  static CoreError message(std::string text) { return {Kind::Message, std::move(text)}; }
  // A stream failure that carries its own description.
  static CoreError io(std::string description) { return {Kind::Io, std::move(description)}; }
  // An operating-system failure: "{description} (os error N)", or the refusal of a path that
  // holds a NUL byte (kPathHasNul).
  static CoreError os(int errnum);
  // A JSON reader failure; the text reads "invalid JSON: {description}".
  static CoreError json(std::string description) {
    return {Kind::Json, "invalid JSON: " + description};
  }

  Kind kind() const { return kind_; }
  // The display form: what the Python caller sees.
  const std::string &text() const { return text_; }

private:
  CoreError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// Not an errno: the failure of a file operation on a path that holds a NUL byte, refused
// before the operating system could see the path cut short at the NUL.
inline constexpr int kPathHasNul = -1;

// The platform's description of an error number with the " (os error N)" suffix;
// "path contains a NUL byte" for kPathHasNul.
std::string os_description(int errnum);

inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

} // namespace voskel::error

namespace voskel {

using error::CoreError;

template <class T> using Result = std::expected<T, CoreError>;
using Status = std::expected<void, CoreError>;

inline std::unexpected<CoreError> fail(CoreError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<CoreError> fail_msg(std::string text) {
  return std::unexpected(CoreError::message(std::move(text)));
}
template <class... A> std::unexpected<CoreError> fail_fmt(fmt::format_string<A...> f, A &&...args) {
  return std::unexpected(CoreError::message(fmt::format(f, std::forward<A>(args)...)));
}
inline std::unexpected<CoreError> fail_os(int errnum) {
  return std::unexpected(CoreError::os(errnum));
}

} // namespace voskel
