// Binds JSON documents to the records of records.hpp: object or positional-array form,
// defaults, required and duplicate keys, unknown keys skipped, positions in error texts.
#pragma once

#include <string_view>

#include "documents.hpp"
#include "error.hpp"

namespace voskel::binding {

// Reads `text` as a T. Failures are CoreError::json with "{fault} at line L column C".
// Declared for every record of records.hpp.
template <class T> Result<T> parse(std::string_view text);

} // namespace voskel::binding
