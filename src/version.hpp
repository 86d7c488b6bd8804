// The version of the core: the one place it is written. The package metadata reads it from here.
#pragma once

namespace voskel {

inline constexpr const char *kCoreVersion = "0.1.12";

} // namespace voskel
