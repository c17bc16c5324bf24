// Exact counts of the samples that pass a comparison, in SIMD lanes.
//
// Every comparison is IEEE: false when either side is NaN, so a NaN sample
// is never counted (but by count_nan) and a NaN level counts nothing.
#pragma once

#include <cstdint>
#include <span>

namespace helpers {

using Samples = std::span<const double>;

std::uint64_t count_at_least(Samples x, double t);  // v >= t
std::uint64_t count_at_most(Samples x, double t);   // v <= t
std::uint64_t count_above(Samples x, double t);     // v > t
std::uint64_t count_below(Samples x, double t);     // v < t
std::uint64_t count_equal(Samples x, double t);     // v == t
std::uint64_t count_nan(Samples x);
// lo <= v && v < hi.
std::uint64_t count_in_range(Samples x, double lo, double hi);
// |v - m| > limit.
std::uint64_t count_far(Samples x, double m, double limit);
// The i >= 1 with (x[i] > m) != (x[i - 1] > m).
std::uint64_t count_side_changes(Samples x, double m);

}  // namespace helpers
