// The shape of a series: peaks, strikes on one side of the mean, level
// crossings, quantiles and the spread compared with the range.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "calculators/registry.h"
#include "helpers/agg.h"
#include "helpers/params.h"
#include "helpers/series.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double as_double(std::uint64_t count) { return static_cast<double>(count); }

// ---- number_peaks -------------------------------------------------------------

// For each i, how many neighbours in a row on one side are strictly below
// x[i]. A run is skipped whole once its head is below x[i] (everything in it
// is below the head), so each side costs amortised O(n) whatever the
// support. NaN is below nothing and nothing is below NaN, so it ends runs.
std::vector<std::size_t> runs_below_left(Series x) {
    std::vector<std::size_t> run(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::size_t k = i;
        while (k > 0 && x[k - 1] < x[i]) k = k - 1 - run[k - 1];
        run[i] = i - k;
    }
    return run;
}

std::vector<std::size_t> runs_below_right(Series x) {
    const std::size_t n = x.size();
    std::vector<std::size_t> run(n);
    for (std::size_t i = n; i-- > 0;) {
        std::size_t k = i + 1;  // one past the run's far end
        while (k < n && x[k] < x[i]) k = k + 1 + run[k];
        run[i] = k - i - 1;
    }
    return run;
}

// Supports up to this size are checked directly: at most 2s comparisons per
// index, and most indices fail at the first. Larger ones use the runs.
constexpr std::uint64_t DIRECT_SUPPORT = 16;

double number_peaks_one(Series x, std::uint64_t s) {
    const std::size_t n = x.size();
    // No support, or no index with s neighbours on both sides. n <= 2s is
    // tested as s >= ceil(n / 2) so that no support, however large, overflows.
    if (s == 0 || s >= n - n / 2) return 0.0;
    std::uint64_t peaks = 0;
    if (s <= DIRECT_SUPPORT) {
        for (std::size_t i = s; i < n - s; ++i) {
            std::size_t j = 1;
            while (j <= s && x[i] > x[i - j] && x[i] > x[i + j]) ++j;
            peaks += j > s ? 1 : 0;
        }
        return as_double(peaks);
    }
    const std::vector<std::size_t> left = runs_below_left(x);
    const std::vector<std::size_t> right = runs_below_right(x);
    for (std::size_t i = s; i < n - s; ++i) peaks += (left[i] >= s && right[i] >= s) ? 1 : 0;
    return as_double(peaks);
}

Values number_peaks(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        return number_peaks_one(s, helpers::count_param(p, "n"));
    }, x);
}

// ---- crossings and strikes ----------------------------------------------------

Values number_crossing_m(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        // Fewer than two samples cannot change side.
        if (s.size() < 2) return 0.0;
        const double m = helpers::real_param(p, "m");
        std::uint64_t crossings = 0;
        bool prev = s[0] > m;
        for (std::size_t i = 1; i < s.size(); ++i) {
            const bool cur = s[i] > m;
            crossings += cur != prev ? 1 : 0;
            prev = cur;
        }
        return as_double(crossings);
    }, x);
}

template <bool Above>
double longest_strike(Series x) {
    if (x.empty()) return 0.0;
    // A NaN mean sets no flag, so the answer is 0.
    const double m = stats::mean(x);
    std::vector<bool> mask(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) mask[i] = Above ? x[i] > m : x[i] < m;
    const std::vector<std::uint64_t> runs = helpers::length_sequences_where(mask);
    return as_double(*std::max_element(runs.begin(), runs.end()));
}

double longest_strike_above_mean(Series x) { return longest_strike<true>(x); }
double longest_strike_below_mean(Series x) { return longest_strike<false>(x); }

// ---- quantiles ----------------------------------------------------------------

Values quantile(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        return stats::quantile(s, helpers::real_param(p, "q"));
    }, x);
}

double change_quantiles_one(Series x, const Params& p) {
    const double ql = helpers::real_param(p, "ql");
    const double qh = helpers::real_param(p, "qh");
    // An Int counts as a boolean here: nonzero is true.
    const bool isabs = helpers::bool_param(p, "isabs");
    const Agg agg = Agg::parse(helpers::text_param(p, "f_agg"));
    // An empty or inverted corridor; false for a NaN level, which then
    // clamps to the lowest position in the quantile.
    if (ql >= qh) return 0.0;
    // No pair of neighbours, no change.
    if (x.size() < 2) return 0.0;
    // The two edges are order statistics of x, found by selection rather
    // than a full sort; the values are those of the sorted copy.
    const double lo = stats::quantile(x, ql);
    const double hi = stats::quantile(x, qh);
    // A corridor of one value or with a NaN edge holds no change.
    if (lo == hi || std::isnan(lo) || std::isnan(hi)) return 0.0;

    std::vector<double> changes;
    bool prev_in = lo <= x[0] && x[0] <= hi;
    for (std::size_t i = 1; i < x.size(); ++i) {
        const bool in = lo <= x[i] && x[i] <= hi;
        if (prev_in && in) {
            const double d = x[i] - x[i - 1];
            changes.push_back(isabs ? std::abs(d) : d);
        }
        prev_in = in;
    }
    if (changes.empty()) return 0.0;
    return Agg::apply_with_ddof(agg, changes, 0.0);
}

Values change_quantiles(Series x, ParamSets params) { return map_sets(params, change_quantiles_one, x); }

// The cumulative absolute mass, computed once per call and shared by all
// levels.
struct CumulativeMass {
    std::vector<double> c;  // empty when the total mass is 0 (or there are no samples)
    bool monotone = false;  // no NaN in c, so it never decreases
};

CumulativeMass cumulative_mass(Series x) {
    CumulativeMass m;
    std::vector<double> a(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) a[i] = std::abs(x[i]);
    const double total = stats::sum(a);
    // No mass to distribute (a NaN total is not 0 and goes on).
    if (total == 0.0) return m;
    m.c.resize(a.size());
    double running = 0.0;
    bool any_nan = false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        running += a[i];
        m.c[i] = running / total;
        any_nan = any_nan || std::isnan(m.c[i]);
    }
    // Partial sums of non-negative terms never decrease under rounding, and
    // neither does their quotient by a positive total.
    m.monotone = !any_nan;
    return m;
}

double index_mass_quantile_one(const CumulativeMass& m, double q) {
    if (m.c.empty()) return NaN;
    const std::vector<double>& c = m.c;
    const double n = as_double(c.size());
    std::size_t first = c.size();
    if (m.monotone) {
        // c_i >= q is false for a NaN q everywhere; otherwise it holds on a suffix.
        if (!std::isnan(q))
            first = static_cast<std::size_t>(
                std::partition_point(c.begin(), c.end(), [q](double v) { return !(v >= q); }) - c.begin());
    } else {
        for (std::size_t i = 0; i < c.size(); ++i)
            if (c[i] >= q) {
                first = i;
                break;
            }
    }
    // No level reached: the first index.
    if (first == c.size()) return 1.0 / n;
    return as_double(first + 1) / n;
}

Values index_mass_quantile(Series x, ParamSets params) {
    const CumulativeMass m = cumulative_mass(x);
    return map_sets(params, [](const CumulativeMass& mass, const Params& p) {
        return index_mass_quantile_one(mass, helpers::real_param(p, "q"));
    }, m);
}

// ---- spread against range -----------------------------------------------------

Values symmetry_looking(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double r = helpers::real_param(p, "r");
        const double m = stats::mean(s);
        const double med = stats::quantile(s, 0.5);
        const double range = stats::max(s) - stats::min(s);
        // Any NaN operand, the empty series included, fails the test.
        return std::abs(m - med) < r * range ? 1.0 : 0.0;
    }, x);
}

Values large_standard_deviation(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        const double r = helpers::real_param(p, "r");
        const double sd = stats::std(s);
        const double range = stats::max(s) - stats::min(s);
        return r * range < sd ? 1.0 : 0.0;
    }, x);
}

constexpr Entry TABLE[] = {
    {"number_peaks", number_peaks},
    {"number_crossing_m", number_crossing_m},
    {"longest_strike_above_mean", scalar<longest_strike_above_mean>},
    {"longest_strike_below_mean", scalar<longest_strike_below_mean>},
    {"quantile", quantile},
    {"change_quantiles", change_quantiles},
    {"index_mass_quantile", index_mass_quantile},
    {"symmetry_looking", symmetry_looking},
    {"large_standard_deviation", large_standard_deviation},
};

}  // namespace

constinit const std::span<const Entry> PEAK_ENTRIES{TABLE};

}  // namespace calculators
