// Counts against a level, a band or each other: counts and ratios, duplicate
// flags and the reoccurrence measures built on the groups of equal values.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "calculators/registry.h"
#include "helpers/params.h"
#include "helpers/series.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double as_double(std::uint64_t count) { return static_cast<double>(count); }

// count / n; 0/0 is NaN for the empty series.
double ratio(std::uint64_t count, std::size_t n) { return as_double(count) / as_double(n); }

template <class Pred>
std::uint64_t count_if(Series x, Pred pred) {
    std::uint64_t c = 0;
    for (double v : x) c += pred(v) ? 1 : 0;
    return c;
}

// ---- parameterised ----------------------------------------------------------

Values count_above(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double t = helpers::real_param(p, "t");
        return ratio(count_if(s, [t](double v) { return v >= t; }), s.size());
    }, x);
}

Values count_below(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double t = helpers::real_param(p, "t");
        return ratio(count_if(s, [t](double v) { return v <= t; }), s.size());
    }, x);
}

Values value_count(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        // A NaN value, a missing key or a non-number all read as NaN and
        // count the NaN samples, which == could never match.
        const double value = helpers::real_param(p, "value");
        if (std::isnan(value)) return as_double(count_if(s, [](double v) { return std::isnan(v); }));
        return as_double(count_if(s, [value](double v) { return v == value; }));
    }, x);
}

Values range_count(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double lo = helpers::real_param(p, "min");
        const double hi = helpers::real_param(p, "max");
        return as_double(count_if(s, [lo, hi](double v) { return lo <= v && v < hi; }));
    }, x);
}

// The mean and standard deviation are the series', read once per call.
Values ratio_beyond_r_sigma(SeriesContext& c, ParamSets params) {
    const Series x = c.x();
    // No samples: no ratio.
    if (x.empty()) return Values(params.size(), NaN);
    if (params.empty()) return {};
    const double m = c.mean();
    const double sd = std::sqrt(c.variance());
    Values out(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) {
        const double limit = helpers::real_param(params[k], "r") * sd;
        out[k] = ratio(count_if(x, [m, limit](double v) { return std::abs(v - m) > limit; }), x.size());
    }
    return out;
}

// ---- scalar -----------------------------------------------------------------

double count_above_mean(SeriesContext& c) {
    const Series x = c.x();
    if (x.empty()) return 0.0;
    const double m = c.mean();
    return as_double(count_if(x, [m](double v) { return v > m; }));
}

double count_below_mean(SeriesContext& c) {
    const Series x = c.x();
    if (x.empty()) return 0.0;
    const double m = c.mean();
    return as_double(count_if(x, [m](double v) { return v < m; }));
}

double has_duplicate(Series x) {
    return helpers::unique_counts(x).values.size() != x.size() ? 1.0 : 0.0;
}

// At least two samples equal to the extreme M (a NaN M matches nothing).
double has_duplicate_of(Series x, double m) {
    std::uint64_t c = 0;
    for (double v : x)
        if (v == m && ++c >= 2) return 1.0;
    return 0.0;
}

double has_duplicate_max(SeriesContext& c) {
    if (c.size() == 0) return 0.0;
    return has_duplicate_of(c.x(), c.max());
}

double has_duplicate_min(SeriesContext& c) {
    if (c.size() == 0) return 0.0;
    return has_duplicate_of(c.x(), c.min());
}

double percentage_of_reoccurring_datapoints_to_all_datapoints(Series x) {
    if (x.empty()) return NaN;
    // NaNs are left out of the groups but still count in the divisor.
    std::vector<double> finite_or_inf;
    finite_or_inf.reserve(x.size());
    for (double v : x)
        if (!std::isnan(v)) finite_or_inf.push_back(v);
    const helpers::UniqueCounts g = helpers::unique_counts(finite_or_inf);
    std::uint64_t reoccurring = 0;
    for (std::uint64_t c : g.counts)
        if (c >= 2) reoccurring += c;
    return ratio(reoccurring, x.size());
}

double percentage_of_reoccurring_values_to_all_values(Series x) {
    if (x.empty()) return NaN;
    const helpers::UniqueCounts g = helpers::unique_counts(x);
    std::uint64_t reoccurring = 0;
    for (std::uint64_t c : g.counts) reoccurring += c >= 2 ? 1 : 0;
    return ratio(reoccurring, g.counts.size());
}

// Every group contributes weight * value, a zero weight included, so a NaN
// group or a lone infinity makes the sum NaN (0 * inf).
template <bool ByCount>
double sum_of_reoccurring(Series x) {
    const helpers::UniqueCounts g = helpers::unique_counts(x);
    double s = -0.0;
    for (std::size_t i = 0; i < g.values.size(); ++i) {
        const double w = g.counts[i] >= 2 ? (ByCount ? as_double(g.counts[i]) : 1.0) : 0.0;
        s += w * g.values[i];
    }
    return s;
}

double sum_of_reoccurring_data_points(Series x) { return sum_of_reoccurring<true>(x); }
double sum_of_reoccurring_values(Series x) { return sum_of_reoccurring<false>(x); }

double ratio_value_number_to_time_series_length(Series x) {
    if (x.empty()) return NaN;
    return ratio(helpers::unique_counts(x).values.size(), x.size());
}

constexpr Entry TABLE[] = {
    {"count_above", count_above},
    {"count_below", count_below},
    {"value_count", value_count},
    {"range_count", range_count},
    {"ratio_beyond_r_sigma", ratio_beyond_r_sigma},
    {"count_above_mean", shared_scalar<count_above_mean>},
    {"count_below_mean", shared_scalar<count_below_mean>},
    {"has_duplicate", scalar<has_duplicate>},
    {"has_duplicate_max", shared_scalar<has_duplicate_max>},
    {"has_duplicate_min", shared_scalar<has_duplicate_min>},
    {"percentage_of_reoccurring_datapoints_to_all_datapoints",
     scalar<percentage_of_reoccurring_datapoints_to_all_datapoints>},
    {"percentage_of_reoccurring_values_to_all_values", scalar<percentage_of_reoccurring_values_to_all_values>},
    {"sum_of_reoccurring_data_points", scalar<sum_of_reoccurring_data_points>},
    {"sum_of_reoccurring_values", scalar<sum_of_reoccurring_values>},
    {"ratio_value_number_to_time_series_length", scalar<ratio_value_number_to_time_series_length>},
};

}  // namespace

constinit const std::span<const Entry> COUNT_ENTRIES{TABLE};

}  // namespace calculators
