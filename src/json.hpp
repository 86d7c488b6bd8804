// JSON values as the core hands them to the module surface: summaries and reports.
// Objects keep their keys in ascending byte order; numbers are non-negative integers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace voskel::json {

class Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;

class Value {
public:
  Value() : v_(std::monostate{}) {} // null
  Value(bool b) : v_(b) {}
  Value(uint64_t n) : v_(n) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char *s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  const auto &variant() const { return v_; }

private:
  std::variant<std::monostate, bool, uint64_t, std::string, Array, Object> v_;
};

// Compact JSON text: no whitespace, keys in stored order, standard string escapes.
std::string to_json(const Value &value);

// Appends s as a JSON string literal (quotes included).
void append_quoted(std::string &out, std::string_view s);

} // namespace voskel::json
