// A double as an unsigned count or index, for lengths and positions that
// arrive as doubles (floors, ceilings, products with a width).
#pragma once

#include <cstdint>
#include <limits>

namespace numeric {

// Truncated, with saturation: NaN and values <= 0 give 0, values from 2^64
// up the largest count (2^64 is the first double past the unsigned range).
inline std::uint64_t to_count(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

}  // namespace numeric
