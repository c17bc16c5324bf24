// The shape of a series: peaks, strikes on one side of the mean, level
// crossings and the spread compared with the range.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "calculators/registry.h"
#include "helpers/counting.h"
#include "helpers/params.h"

namespace calculators {

namespace {

double as_double(std::uint64_t count) { return static_cast<double>(count); }

// ---- number_peaks -------------------------------------------------------------

// No support, or no index with s neighbours on both sides. n <= 2s is tested
// as s >= ceil(n / 2) so that no support, however large, overflows.
bool no_peak_possible(std::size_t n, std::uint64_t s) { return s == 0 || s >= n - n / 2; }

// at_least[s]: the number of indices that are peaks at support s, for every
// s from 1 to `cap` (cap <= (n - 1) / 2). An index is a peak at support s
// when x[i] > x[i - j] and x[i] > x[i + j] for every j <= s, which places it
// at least s from both ends. The peaks at support s are the peaks at s - 1
// that pass the test at distance s, so the supports are found level by
// level, each level filtering the survivors of the one before with no
// branch on the data. Survivors of level s lie more than s apart, so the
// whole costs O(n log cap) comparisons at worst and about 1.5 n on typical
// series.
std::vector<std::uint64_t> peaks_by_support(Series x, std::uint64_t cap) {
    const std::size_t n = x.size();
    std::vector<std::uint64_t> at_least(cap + 1, 0);
    std::vector<std::size_t> alive(n);
    std::size_t count = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        alive[count] = i;
        count += (x[i] > x[i - 1]) & (x[i] > x[i + 1]);
    }
    // A wide support over a long series takes a second and more.
    interrupt::Stride stride(std::uint64_t{1} << 20);
    for (std::uint64_t s = 1; s <= cap && count > 0 && !stride(count); ++s) {
        at_least[s] = count;
        const std::size_t t = s + 1;  // the next distance
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = alive[k];
            alive[kept] = i;
            // Both neighbours at distance t exist and are below x[i].
            kept += (i >= t) & (i + t < n) && (x[i] > x[i - t]) & (x[i] > x[i + t]);
        }
        count = kept;
    }
    return at_least;
}

// Key "n" (support, integer; missing or negative as 0). How many samples
// exceed their n neighbours on each side: 0.0 for n = 0, for series of at
// most 2n samples and for a constant series; a NaN exceeds nothing and is
// exceeded by nothing.
Values number_peaks(Series x, ParamSets params) {
    const std::size_t n = x.size();
    Values out(params.size(), 0.0);
    // Every set is answered from one pass, scanning as far as the largest
    // support asked for.
    std::uint64_t cap = 0;
    for (const Params& p : params) {
        const std::uint64_t s = helpers::count_param(p, "n");
        if (!no_peak_possible(n, s)) cap = std::max(cap, s);
    }
    if (cap == 0) return out;
    const std::vector<std::uint64_t> at_least = peaks_by_support(x, cap);
    for (std::size_t k = 0; k < params.size(); ++k) {
        const std::uint64_t s = helpers::count_param(params[k], "n");
        if (!no_peak_possible(n, s)) out[k] = as_double(at_least[s]);
    }
    return out;
}

// ---- crossings and strikes ----------------------------------------------------

// Key "m" (real). How many neighbouring pairs lie on different sides of m (above
// it or not): 0.0 below two samples, for a constant series and for a
// missing or NaN m (nothing is above it).
Values number_crossing_m(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) {
        // Fewer than two samples cannot change side.
        return as_double(helpers::count_side_changes(s, helpers::real_param(p, "m")));
    }, x);
}

// No keys. The longest run of samples above (below) the mean: 0.0 for the
// empty and the constant series and with a NaN sample.
template <bool Above>
double longest_strike(SeriesContext& c) {
    const Series x = c.x();
    if (x.empty()) return 0.0;
    // A NaN mean sets no flag, so the answer is 0.
    const double m = c.mean();
    // The longest run of flags, as the largest of
    // helpers::length_sequences_where's runs, in one pass without a mask.
    std::uint64_t run = 0, longest = 0;
    for (double v : x) {
        const bool flag = Above ? v > m : v < m;
        run = (run + 1) & -static_cast<std::uint64_t>(flag);
        longest = std::max(longest, run);
    }
    return as_double(longest);
}

double longest_strike_above_mean(SeriesContext& c) { return longest_strike<true>(c); }
double longest_strike_below_mean(SeriesContext& c) { return longest_strike<false>(c); }

// ---- spread against range -----------------------------------------------------

// Key "r" (real). 1.0 when |mean - median| < r * (max - min), else 0.0:
// 0.0 for the empty and the constant series, a missing r and a NaN sample.
// The moments, median and extremes are the series', the same for every set:
// read once per call, from the row's context.
Values symmetry_looking(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    const double m = c.mean();
    const double med = c.quantile(0.5);
    const double range = c.max() - c.min();
    Values out(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) {
        const double r = helpers::real_param(params[k], "r");
        // Any NaN operand, the empty series included, fails the test.
        out[k] = std::abs(m - med) < r * range ? 1.0 : 0.0;
    }
    return out;
}

// Key "r" (real). 1.0 when the standard deviation exceeds r * (max - min),
// else 0.0: 0.0 for the empty and the constant series, a missing r and a
// NaN sample.
Values large_standard_deviation(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    // stats::std of the series.
    const double sd = std::sqrt(c.variance());
    const double range = c.max() - c.min();
    Values out(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) out[k] = helpers::real_param(params[k], "r") * range < sd ? 1.0 : 0.0;
    return out;
}

constexpr Entry TABLE[] = {
    {"number_peaks", number_peaks},
    {"number_crossing_m", number_crossing_m},
    {"longest_strike_above_mean", shared_scalar<longest_strike_above_mean>},
    {"longest_strike_below_mean", shared_scalar<longest_strike_below_mean>},
    {"symmetry_looking", symmetry_looking},
    {"large_standard_deviation", large_standard_deviation},
};

}  // namespace

constinit const std::span<const Entry> PEAK_ENTRIES{TABLE};

}  // namespace calculators
