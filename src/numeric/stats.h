// Elementary statistics over a borrowed, read-only series of doubles.
//
// Every routine is pure, never throws and reports an undefined value as NaN
// (or, for the index routines, as no index). The NaN, tie and empty-input
// rules below are relied on by the calculators, which repeat none of them.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace stats {

using Series = std::span<const double>;

// Neumaier compensated sum of value(0), ..., value(n - 1) in that order,
// without materialising the values; falls back to the plain left-to-right
// sum (from +0.0) when the compensated result or its compensation is not
// finite. `value` must be pure (a rare case evaluates it twice). Empty: +0.0.
// `partial(i, s)` (when given) receives, in order, each plain partial sum
// s = value(0) + ... + value(i) from +0.0, which the first pass forms anyway.
struct NoPartials {
    void operator()(std::size_t, double) const {}
};
template <class F, class Partial = NoPartials>
double sum_of(std::size_t n, F&& value, Partial&& partial = {}) {
    // Neumaier's term, (s - t) + v or (v - t) + s by magnitude, is the exact
    // rounding error of s + v whenever t is finite. Knuth's two-sum gives the
    // same exact error without the magnitude test, so it is used first; it
    // differs only when one of its own intermediates overflows, which leaves
    // its e non-finite, and then the sum is redone the defining way.
    double s = 0.0, e = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = value(i);
        const double t = s + v;
        const double vv = t - s;
        e += (s - (t - vv)) + (v - vv);
        s = t;
        partial(i, s);
    }
    // s is the plain left-to-right sum itself: the fallback. A non-finite s
    // stays non-finite, so every t was finite when s is.
    if (!std::isfinite(s)) return s;
    if (std::isfinite(e)) return s + e;
    s = 0.0;
    e = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = value(i);
        const double t = s + v;
        // The magnitude test as a mask, so the loop has no branch. A NaN
        // magnitude would pick the second form; here none occurs.
        const std::uint64_t s_big = -static_cast<std::uint64_t>(std::fabs(s) >= std::fabs(v));
        const auto first = std::bit_cast<std::uint64_t>((s - t) + v);
        const auto second = std::bit_cast<std::uint64_t>((v - t) + s);
        e += std::bit_cast<double>((first & s_big) | (second & ~s_big));
        s = t;
    }
    return std::isfinite(e) ? s + e : s;
}

// Neumaier compensated sum; falls back to the plain left-to-right sum when
// the compensated result or its compensation is not finite. Empty: +0.0.
double sum(Series x);
// sum(x) / n; NaN when empty.
double mean(Series x);
// Population variance (divisor n), two passes with a compensated second
// pass and no fallback: one infinite square gives NaN. NaN when empty.
double var(Series x);
// The compensated sum of (x_i - m)^2 in index order behind `var`: no
// magnitude test and no fallback. 0.0 when empty.
double squared_deviations(Series x, double m);
// {sum(a), sum(b)} and {squared_deviations(a, ma), squared_deviations(b, mb)}
// for two series of one length, their chains interleaved so that each
// hides the other's latency.
std::array<double, 2> sum_pair(Series a, Series b);
std::array<double, 2> squared_deviations_pair(Series a, double ma, Series b, double mb);
double std(Series x);
// Extremes; the first NaN met wins and ties keep the earlier element
// (so max of [-0.0, 0.0] is -0.0). NaN when empty.
double max(Series x);
double min(Series x);
// `max` of the absolute values (sign bits cleared, so a NaN stays NaN),
// without a scratch copy.
double max_abs(Series x);
// Position of the first extreme or of the first NaN; none when empty.
std::optional<std::size_t> argmax(Series x);
std::optional<std::size_t> argmin(Series x);
// The same scan from the end: the position of the last extreme or of the
// last NaN (argmax of the reversed series is n - 1 minus this).
std::optional<std::size_t> last_argmax(Series x);
std::optional<std::size_t> last_argmin(Series x);
// First differences x[i+1] - x[i]; empty for n < 2.
std::vector<double> diff(Series x);
// No NaN and no infinity in x (true when empty).
bool all_finite(Series x);

// The order of every sort of doubles: -inf, negatives, -0.0, +0.0,
// positives, +inf, then every NaN whatever its sign bit, so a series that
// holds a NaN ends with one. It is the IEEE 754 total order (as signed keys:
// every bit but the sign flipped for a negative sign) with the sign-set NaNs,
// which that order puts first, rotated round to the end: the keys are
// shifted down by the distance of -inf from the smallest key, modulo 2^64.
// Keys compare as signed 64-bit integers, and equal keys are identical bit
// patterns, so any sort gives the stable sort's result.
inline constexpr std::uint64_t TOTAL_ORDER_ROTATION = 0x000F'FFFF'FFFF'FFFF;
inline std::int64_t total_order_key(double v) {
    const auto b = std::bit_cast<std::uint64_t>(v);
    const std::uint64_t ieee = b ^ ((std::uint64_t{0} - (b >> 63)) >> 1);
    return static_cast<std::int64_t>(ieee - TOTAL_ORDER_ROTATION);
}
// The double of a key (bits included: NaN payloads and signs come back).
inline double from_total_order_key(std::int64_t k) {
    const std::uint64_t ieee = static_cast<std::uint64_t>(k) + TOTAL_ORDER_ROTATION;
    return std::bit_cast<double>(ieee ^ ((std::uint64_t{0} - (ieee >> 63)) >> 1));
}
inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }
// Sorts ascending by that order (Highway's vqsort on the keys).
void sort_total(std::span<double> x);
// A sorted copy of x.
std::vector<double> sorted_total(Series x);
// Sorts keys ascending in place.
void sort_keys(std::span<std::int64_t> keys);

// Linear-interpolation quantile of a series already sorted by the total
// order; q is clamped to [0, 1] and a NaN q gives the smallest element.
double quantile_sorted(Series sorted, double q);
// The same on a sorted copy of x.
double quantile(Series x, double q);

// The interpolation position of q among n >= 1 sorted values and the two
// order statistics it falls between (equal when it hits one), and the
// quantile from those two: quantile_sorted's arithmetic, for callers that
// find order statistics without a sorted copy.
struct QuantilePosition {
    double pos;
    std::size_t lo, hi;
};
QuantilePosition quantile_position(std::size_t n, double q);
double quantile_interpolate(const QuantilePosition& at, double xlo, double xhi);

// The least-squares line of y on x; all five fields NaN on degenerate input.
struct LinregressResult {
    double slope, intercept, rvalue, pvalue, std_err;
};
LinregressResult linregress(Series x, Series y);
// Against the index axis 0, 1, ..., n-1.
LinregressResult linregress_index(Series y);

}  // namespace stats
