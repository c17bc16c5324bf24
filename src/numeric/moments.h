// Sums and moments of a series: compensated sums, the mean, the population
// variance and standard deviation, and the first differences.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
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
// First differences x[i+1] - x[i]; empty for n < 2.
std::vector<double> diff(Series x);
// No NaN and no infinity in x (true when empty).
bool all_finite(Series x);

}  // namespace stats
