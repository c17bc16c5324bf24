// Elementary statistics over a borrowed, read-only series of doubles.
//
// Every routine is pure, never throws and reports an undefined value as NaN
// (or, for the index routines, as no index). The NaN, tie and empty-input
// rules below are relied on by the calculators, which repeat none of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace stats {

using Series = std::span<const double>;

// Neumaier compensated sum; falls back to the plain left-to-right sum when
// the compensated result or its compensation is not finite. Empty: +0.0.
double sum(Series x);
// sum(x) / n; NaN when empty.
double mean(Series x);
// Population variance (divisor n), two passes with a compensated second
// pass and no fallback: one infinite square gives NaN. NaN when empty.
double var(Series x);
double std(Series x);
// Extremes; the first NaN met wins and ties keep the earlier element
// (so max of [-0.0, 0.0] is -0.0). NaN when empty.
double max(Series x);
double min(Series x);
// Position of the first extreme or of the first NaN; none when empty.
std::optional<std::size_t> argmax(Series x);
std::optional<std::size_t> argmin(Series x);
// First differences x[i+1] - x[i]; empty for n < 2.
std::vector<double> diff(Series x);

// IEEE 754 total order: negative NaNs, -inf, ..., -0.0, +0.0, ..., +inf,
// positive NaNs. Keys compare as signed 64-bit integers.
inline std::int64_t total_order_key(double v) {
    std::int64_t b;
    static_assert(sizeof b == sizeof v);
    __builtin_memcpy(&b, &v, sizeof b);
    return b ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(b >> 63) >> 1);
}
inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }
// Sorts ascending by the total order (equal keys are identical bits, so the
// result is the same as a stable sort's).
void sort_total(std::span<double> x);

// Linear-interpolation quantile of a series already sorted by the total
// order; q is clamped to [0, 1] and a NaN q gives the smallest element.
double quantile_sorted(Series sorted, double q);
// The same on a sorted copy of x.
double quantile(Series x, double q);

// The least-squares line of y on x; all five fields NaN on degenerate input.
struct LinregressResult {
    double slope, intercept, rvalue, pvalue, std_err;
};
LinregressResult linregress(Series x, Series y);
// Against the index axis 0, 1, ..., n-1.
LinregressResult linregress_index(Series y);

}  // namespace stats
