// Counts against a level, a band or each other: counts and ratios, duplicate
// flags and the reoccurrence measures built on the groups of equal values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "calculators/registry.h"
#include "helpers/counting.h"
#include "helpers/params.h"
#include "helpers/series.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

double as_double(std::uint64_t count) { return static_cast<double>(count); }

// count / n; 0/0 is NaN for the empty series.
double ratio(std::uint64_t count, std::size_t n) { return as_double(count) / as_double(n); }

// ---- parameterised ----------------------------------------------------------

// Key "t" (real). The share of samples >= t (<= t for count_below): NaN for
// the empty series; a missing t or a NaN sample never passes.
Values count_above(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double t = helpers::real_param(p, "t");
        return ratio(helpers::count_at_least(s, t), s.size());
    }, x);
}

Values count_below(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double t = helpers::real_param(p, "t");
        return ratio(helpers::count_at_most(s, t), s.size());
    }, x);
}

// Key "value" (real). How many samples equal it (a NaN or missing value:
// how many are NaN); 0.0 for the empty series.
Values value_count(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        // A NaN value, a missing key or a non-number all read as NaN and
        // count the NaN samples, which == could never match.
        const double value = helpers::real_param(p, "value");
        if (std::isnan(value)) return as_double(helpers::count_nan(s));
        return as_double(helpers::count_equal(s, value));
    }, x);
}

// Keys "min", "max" (reals). How many samples lie in [min, max); a missing
// key or a NaN sample counts nothing.
Values range_count(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double lo = helpers::real_param(p, "min");
        const double hi = helpers::real_param(p, "max");
        return as_double(helpers::count_in_range(s, lo, hi));
    }, x);
}

// Key "r" (real). The share of samples farther than r standard deviations
// from the mean: NaN for the empty series, 0.0 for a missing r, a constant
// series or a NaN or infinite sample (no comparison holds). The mean and
// standard deviation are the series', read once per call.
Values ratio_beyond_r_sigma(SeriesContext& c, ParamSets params) {
    const Series x = c.x();
    // No samples: no ratio.
    if (x.empty()) return Values(params.size(), NaN);
    if (params.empty()) return {};
    const double m = c.mean();
    const double sd = std::sqrt(c.variance());
    Values out(params.size());
    for (std::size_t k = 0; k < params.size() && !interrupt::poll(); ++k) {
        const double limit = helpers::real_param(params[k], "r") * sd;
        out[k] = ratio(helpers::count_far(x, m, limit), x.size());
    }
    return out;
}

// ---- scalar -----------------------------------------------------------------

// No keys below. How many samples lie above (below) the mean: 0.0 for the
// empty and the constant series, and with a NaN sample (a NaN mean).
double count_above_mean(SeriesContext& c) {
    const Series x = c.x();
    if (x.empty()) return 0.0;
    const double m = c.mean();
    return as_double(helpers::count_above(x, m));
}

double count_below_mean(SeriesContext& c) {
    const Series x = c.x();
    if (x.empty()) return 0.0;
    const double m = c.mean();
    return as_double(helpers::count_below(x, m));
}

// At least two samples equal to the extreme M (a NaN M matches nothing).
double has_duplicate_of(Series x, double m) { return helpers::count_equal(x, m) >= 2 ? 1.0 : 0.0; }

// 1.0 when the largest (smallest) value appears twice: 0.0 for the empty
// series and with a NaN sample (a NaN extreme equals nothing).
double has_duplicate_max(SeriesContext& c) {
    if (c.size() == 0) return 0.0;
    return has_duplicate_of(c.x(), c.max());
}

double has_duplicate_min(SeriesContext& c) {
    if (c.size() == 0) return 0.0;
    return has_duplicate_of(c.x(), c.min());
}

// ---- groups of equal values ------------------------------------------------
//
// Read from the series' shared table of groups (helpers::DistinctValues),
// which has no fixed order: only the reoccurrence sums need one.

// The number of groups: the shared table's when it exists or costs no more
// than counting (a sorted copy to group, or a long series), else counted
// without a table of counts (and, for a duplicate flag, only up to the
// first repeat).
std::size_t group_count(SeriesContext& c, bool stop_at_repeat) {
    if (c.has_distinct() || c.has_sorted() || c.size() >= helpers::HASHED_DISTINCT_LIMIT) return c.distinct().groups();
    return helpers::count_groups_hashed(c.x(), stop_at_repeat);
}

// 1.0 when two samples are equal (NaNs equal each other, -0.0 equals 0.0);
// 0.0 for the empty series.
double has_duplicate(SeriesContext& c) { return group_count(c, true) != c.size() ? 1.0 : 0.0; }

// The share of samples whose value reoccurs: NaN for the empty series, 1.0
// for a constant one.
double percentage_of_reoccurring_datapoints_to_all_datapoints(SeriesContext& c) {
    if (c.size() == 0) return NaN;
    // The NaNs are left out of the groups but still count in the divisor.
    std::uint64_t reoccurring = 0;
    for (std::uint64_t k : c.distinct().counts)
        if (k >= 2) reoccurring += k;
    return ratio(reoccurring, c.size());
}

// The share of distinct values (NaN one of them) that reoccur: NaN for the
// empty series, 1.0 for a constant one.
double percentage_of_reoccurring_values_to_all_values(SeriesContext& c) {
    if (c.size() == 0) return NaN;
    const helpers::DistinctValues& g = c.distinct();
    std::uint64_t reoccurring = g.nans >= 2 ? 1 : 0;
    for (std::uint64_t k : g.counts) reoccurring += k >= 2 ? 1 : 0;
    return ratio(reoccurring, g.groups());
}

// The plain sum from -0.0, over the groups in ascending order (the NaN group
// last), of weight * value, where the weight is the count (or 1.0) for a
// group of at least two and 0.0 otherwise. Zero weights count too: 0 * inf
// and a NaN group make the sum NaN, and 0 * v for v >= +0.0 is +0.0. With
// every value finite the zero-weight terms are zeros, which can only turn a
// -0.0 sum (all terms -0.0 so far) into +0.0: the weighted groups alone are
// ordered and summed, and a +0.0 among the others settles the sign.
template <bool ByCount>
double sum_of_reoccurring(const helpers::DistinctValues& g) {
    const auto weight = [](std::uint64_t k) { return k >= 2 ? (ByCount ? as_double(k) : 1.0) : 0.0; };
    std::vector<std::pair<std::int64_t, double>> terms;  // (order key, weight * value)
    bool finite = g.nans == 0, positive_zero = false;
    for (std::size_t i = 0; i < g.values.size(); ++i) {
        const double v = g.values[i];
        finite &= std::isfinite(v);
        if (g.counts[i] >= 2)
            terms.emplace_back(stats::total_order_key(v), weight(g.counts[i]) * v);
        else
            positive_zero |= !std::signbit(v);
    }
    if (!finite) {
        // 0 * inf or a NaN group: the defining sum over every group.
        terms.clear();
        for (std::size_t i = 0; i < g.values.size(); ++i)
            terms.emplace_back(stats::total_order_key(g.values[i]), weight(g.counts[i]) * g.values[i]);
        positive_zero = false;
    }
    std::sort(terms.begin(), terms.end());
    double s = -0.0;
    for (const auto& t : terms) s += t.second;
    if (g.nans > 0) s += weight(g.nans) * NaN;
    if (positive_zero && s == 0.0) s = 0.0;
    return s;
}

// The sums over reoccurring values, each counted as often as it occurs
// (data points) or once (values): -0.0 for the empty series; NaN with any
// NaN sample or an infinity that does not reoccur (see above).
double sum_of_reoccurring_data_points(SeriesContext& c) { return sum_of_reoccurring<true>(c.distinct()); }
double sum_of_reoccurring_values(SeriesContext& c) { return sum_of_reoccurring<false>(c.distinct()); }

// The number of distinct values (NaN one of them) over n: NaN for the empty
// series, 1 / n for a constant one.
double ratio_value_number_to_time_series_length(SeriesContext& c) {
    if (c.size() == 0) return NaN;
    return ratio(group_count(c, false), c.size());
}

constexpr Entry TABLE[] = {
    {"count_above", count_above},
    {"count_below", count_below},
    {"value_count", value_count},
    {"range_count", range_count},
    {"ratio_beyond_r_sigma", ratio_beyond_r_sigma},
    {"count_above_mean", shared_scalar<count_above_mean>},
    {"count_below_mean", shared_scalar<count_below_mean>},
    {"has_duplicate", shared_scalar<has_duplicate>},
    {"has_duplicate_max", shared_scalar<has_duplicate_max>},
    {"has_duplicate_min", shared_scalar<has_duplicate_min>},
    {"percentage_of_reoccurring_datapoints_to_all_datapoints",
     shared_scalar<percentage_of_reoccurring_datapoints_to_all_datapoints>},
    {"percentage_of_reoccurring_values_to_all_values", shared_scalar<percentage_of_reoccurring_values_to_all_values>},
    {"sum_of_reoccurring_data_points", shared_scalar<sum_of_reoccurring_data_points>},
    {"sum_of_reoccurring_values", shared_scalar<sum_of_reoccurring_values>},
    {"ratio_value_number_to_time_series_length", shared_scalar<ratio_value_number_to_time_series_length>},
};

}  // namespace

constinit const std::span<const Entry> COUNT_ENTRIES{TABLE};

}  // namespace calculators
