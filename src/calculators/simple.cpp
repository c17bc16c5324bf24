// Simple statistics and locations: the scalar calculators that summarise a
// series by one moment, extreme, sum or position.
#include <array>
#include <cmath>

#include "calculators/registry.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

// No calculator here reads a key. A NaN sample makes every moment, sum,
// extreme and the median NaN; an infinity makes the sums, extremes and mean
// infinite (NaN beside an infinity of the other sign), and NaN what takes
// deviations from an infinite mean (variance, standard deviation, skewness,
// kurtosis, variation coefficient). A constant series has no spread: 0.0 for
// those five.

double count(std::size_t n) { return static_cast<double>(n); }

// Sum of squares; -0.0 for the empty series.
double abs_energy(SeriesContext& c) { return c.energy(); }

// NaN for the empty series.
double absolute_maximum(Series x) { return stats::max_abs(x); }

// 0.0 below two samples.
double absolute_sum_of_changes(SeriesContext& c) { return c.abs_change_sum(); }

// length: the sample count, NaNs included. The seven after it: NaN for the
// empty series (sum_values: 0.0); variance and standard deviation divide by n.
double length(Series x) { return count(x.size()); }
double maximum(SeriesContext& c) { return c.max(); }
double minimum(SeriesContext& c) { return c.min(); }
double mean(SeriesContext& c) { return c.mean(); }
double median(SeriesContext& c) { return c.quantile(0.5); }
double standard_deviation(SeriesContext& c) { return std::sqrt(c.variance()); }
double variance(SeriesContext& c) { return c.variance(); }
double sum_values(SeriesContext& c) { return c.sum(); }

// NaN for the empty series.
double root_mean_square(Series x) {
    if (x.empty()) return NaN;
    const double squares = stats::sum_of(x.size(), [p = x.data()](std::size_t i) { return p[i] * p[i]; });
    return std::sqrt(squares / count(x.size()));
}

// NaN below two samples (the mean of no differences).
double mean_abs_change(SeriesContext& c) {
    if (c.size() < 2) return NaN;
    return c.abs_change_sum() / count(c.size() - 1);
}

// NaN below two samples. Telescoped: only the end samples enter.
double mean_change(Series x) {
    const std::size_t n = x.size();
    if (n < 2) return NaN;
    return (x[n - 1] - x[0]) / count(n - 1);
}

// NaN below three samples; only the two samples at each end enter.
double mean_second_derivative_central(Series x) {
    const std::size_t n = x.size();
    if (n < 3) return NaN;
    const double m = count(n - 2);
    return (((x[n - 1] - x[n - 2]) - x[1]) + x[0]) / (m + m);
}

// Locations are index / n: NaN for the empty series; a NaN sample counts as
// both the largest and the smallest value (as numpy's argmax and argmin).
double first_location_of_maximum(Series x) {
    if (x.empty()) return NaN;
    return count(*stats::argmax(x)) / count(x.size());
}

double first_location_of_minimum(Series x) {
    if (x.empty()) return NaN;
    return count(*stats::argmin(x)) / count(x.size());
}

// j, the distance of the last extreme from the end, is what an argmax of the
// reversed series gives.
double last_location_of_maximum(Series x) {
    if (x.empty()) return NaN;
    const std::size_t j = x.size() - 1 - *stats::last_argmax(x);
    return 1.0 - count(j) / count(x.size());
}

double last_location_of_minimum(Series x) {
    if (x.empty()) return NaN;
    const std::size_t j = x.size() - 1 - *stats::last_argmin(x);
    return 1.0 - count(j) / count(x.size());
}

// 1.0 when the variance exceeds 1; 0.0 otherwise (empty and NaN included).
double variance_larger_than_standard_deviation(SeriesContext& c) {
    const double v = c.variance();
    return std::sqrt(v) < v ? 1.0 : 0.0;
}

// Standard deviation over mean: NaN for the empty series and a zero mean.
double variation_coefficient(SeriesContext& c) {
    if (c.size() == 0) return NaN;
    const double m = c.mean();
    // Exact comparison: a NaN mean is not 0.0 and goes on to the division.
    if (m == 0.0) return NaN;
    return std::sqrt(c.variance()) / m;
}

// The plain sums of d^2 and of d^Power (d d^2 for 3, d^2 d^2 for 4) over
// the deviations d = x_i - m, in index order.
template <int Power>
std::array<double, 2> deviation_power_sums(Series x, double m) {
    static_assert(Power == 3 || Power == 4);
    double s2 = 0.0, sp = 0.0;
    for (double v : x) {
        const double d = v - m;
        const double d2 = d * d;
        s2 += d2;
        sp += Power == 3 ? d * d2 : d2 * d2;
    }
    return {s2, sp};
}

// Bias-corrected sample skewness: NaN below three samples.
double skewness(SeriesContext& c) {
    const std::size_t n = c.size();
    if (n < 3) return NaN;
    const auto [s2, s3] = deviation_power_sums<3>(c.x(), c.mean());
    // No spread (a NaN s2 goes on).
    if (s2 == 0.0) return 0.0;
    const double nd = count(n);
    return (s3 / std::pow(s2, 1.5)) * ((std::sqrt(nd - 1.0) * nd) / (nd - 2.0));
}

// Bias-corrected sample excess kurtosis: NaN below four samples.
double kurtosis(SeriesContext& c) {
    const std::size_t n = c.size();
    if (n < 4) return NaN;
    const auto [s2, s4] = deviation_power_sums<4>(c.x(), c.mean());
    const double nd = count(n);
    const double a = (nd - 3.0) * (nd - 2.0);
    const double D = (a * s2) * s2;
    // No spread, or one too small to square (a NaN D goes on).
    if (D == 0.0) return 0.0;
    return (s4 * (((nd + 1.0) * nd) * (nd - 1.0))) / D - ((nd - 1.0) * (3.0 * (nd - 1.0))) / a;
}

constexpr Entry TABLE[] = {
    {"abs_energy", shared_scalar<abs_energy>},
    {"absolute_maximum", scalar<absolute_maximum>},
    {"absolute_sum_of_changes", shared_scalar<absolute_sum_of_changes>},
    {"first_location_of_maximum", scalar<first_location_of_maximum>},
    {"first_location_of_minimum", scalar<first_location_of_minimum>},
    {"kurtosis", shared_scalar<kurtosis>},
    {"last_location_of_maximum", scalar<last_location_of_maximum>},
    {"last_location_of_minimum", scalar<last_location_of_minimum>},
    {"length", scalar<length>},
    {"maximum", shared_scalar<maximum>},
    {"mean", shared_scalar<mean>},
    {"mean_abs_change", shared_scalar<mean_abs_change>},
    {"mean_change", scalar<mean_change>},
    {"mean_second_derivative_central", scalar<mean_second_derivative_central>},
    {"median", shared_scalar<median>},
    {"minimum", shared_scalar<minimum>},
    {"root_mean_square", scalar<root_mean_square>},
    {"skewness", shared_scalar<skewness>},
    {"standard_deviation", shared_scalar<standard_deviation>},
    {"sum_values", shared_scalar<sum_values>},
    {"variance", shared_scalar<variance>},
    {"variance_larger_than_standard_deviation", shared_scalar<variance_larger_than_standard_deviation>},
    {"variation_coefficient", shared_scalar<variation_coefficient>},
};

}  // namespace

constinit const std::span<const Entry> SIMPLE_ENTRIES{TABLE};

}  // namespace calculators
