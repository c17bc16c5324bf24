// Exact counts of the samples that pass a comparison, and the changes
// between neighbours inside a band, in SIMD lanes.
//
// Every comparison is IEEE: false when either side is NaN, so a NaN sample
// is never counted (but by count_nan) and a NaN level counts nothing.
#pragma once

#include <cstddef>
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

// The changes x[i] - x[i - 1], in order, of the i >= 1 whose two samples
// both lie in [lo, hi] (ends included; a NaN sample lies nowhere), written to
// `changes`, and their absolute values to `magnitudes`; each must hold
// x.size() - 1 values. Returns how many were written.
std::size_t changes_within(Samples x, double lo, double hi, double* changes, double* magnitudes);

}  // namespace helpers
