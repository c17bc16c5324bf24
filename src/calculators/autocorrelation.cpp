// How a series depends on lagged copies of itself: autocorrelation at one
// lag, aggregated autocorrelations, partial autocorrelation, the c3
// nonlinearity and the time-reversal asymmetry.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "calculators/registry.h"
#include "helpers/agg.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/spectral.h"

namespace calculators {

namespace {

using numeric::NaN;

// The largest value of a count key over the sets; 0 without sets.
std::uint64_t largest(ParamSets params, std::string_view key) {
    std::uint64_t m = 0;
    for (const Params& p : params) m = std::max(m, helpers::count_param(p, key));
    return m;
}

// ---- autocorrelation --------------------------------------------------------

// The catalogue's two tolerances for a series without spread, which differ
// by definition: `autocorrelation` takes a variance within FLAT_VARIANCE of
// 0 (inclusive) for a constant series and answers NaN (the lone test and the
// shared lags' must agree); `agg_autocorrelation` takes one below
// NO_SPREAD_VARIANCE (strict) for a series whose autocorrelations are zeros.
constexpr double FLAT_VARIANCE = 1e-8;
constexpr double NO_SPREAD_VARIANCE = 1e-10;

// "lag" (signed; default 0). Lag k >= 0: sum_i (x_{i+k} - m)(x_i - m) over
// v (n - k), NaN for k >= n. Lag -1 pairs every sample with the last one;
// lag -n pairs every sample with itself (both over v (n + |k|)); other
// negative lags are NaN. A variance within 1e-8 of 0 (constant series) or
// NaN (empty, non-finite) gives NaN.
double autocorrelation_at(SeriesContext& c, std::int64_t lag) {
    const Series x = c.x();
    const std::size_t n = x.size();
    const bool negative = lag < 0;
    // |lag| as unsigned: -2^63 has no signed magnitude.
    const std::uint64_t mag = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(lag)
                                       : static_cast<std::uint64_t>(lag);
    if (!negative && mag >= n) return NaN;
    if (negative && mag != 1 && mag != n) return NaN;
    const double m = c.mean(), v = c.variance();
    if (std::fabs(v) <= FLAT_VARIANCE) return NaN;
    if (!negative) {
        double s = 0.0;
        for (std::size_t i = 0; i + mag < n; ++i) s += (x[i + mag] - m) * (x[i] - m);
        return s / (v * static_cast<double>(n - mag));
    }
    if (n == 0) return NaN;
    const double divisor = (static_cast<double>(mag) + static_cast<double>(n)) * v;
    double s = -0.0;
    if (mag == 1) {
        const double last = x[n - 1] - m;
        for (double xi : x) s += (xi - m) * last;
    } else {
        for (double xi : x) s += (xi - m) * (xi - m);
    }
    return s / divisor;
}

// Lags summed in one pass over the deviations.
constexpr std::size_t LANES = 8;

// Sums of d_{i+k} d_i over i < n - k for LANES lags in one pass: independent
// chains, each still adding its own terms in index order (the bits of
// autocorrelation_at's loop, without its one-add-at-a-time latency).
void lagged_products(std::span<const double> d, const std::uint64_t (&lag)[LANES], double (&sum)[LANES]) {
    const std::size_t n = d.size();
    const std::uint64_t longest = *std::max_element(lag, lag + LANES);
    // Named accumulators stay in registers (an indexed array would not).
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0, s5 = 0.0, s6 = 0.0, s7 = 0.0;
    std::size_t i = 0;
    for (; i + longest < n; ++i) {
        const double di = d[i];
        s0 += d[i + lag[0]] * di;
        s1 += d[i + lag[1]] * di;
        s2 += d[i + lag[2]] * di;
        s3 += d[i + lag[3]] * di;
        s4 += d[i + lag[4]] * di;
        s5 += d[i + lag[5]] * di;
        s6 += d[i + lag[6]] * di;
        s7 += d[i + lag[7]] * di;
    }
    const double s[LANES] = {s0, s1, s2, s3, s4, s5, s6, s7};
    for (std::size_t k = 0; k < LANES; ++k) {
        double t = s[k];
        for (std::size_t j = i; j + lag[k] < n; ++j) t += d[j + lag[k]] * d[j];
        sum[k] = t;
    }
}

Values autocorrelation(SeriesContext& c, ParamSets params) {
    Values out(params.size());
    const std::size_t n = c.size();
    // Sets with a lag in [0, n) on a series with spread share the
    // deviations and run in groups of LANES; the rest answer on their own.
    std::vector<std::size_t> shared;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::int64_t lag = helpers::int_param(params[i], "lag");
        if (lag >= 0 && static_cast<std::uint64_t>(lag) < n && std::fabs(c.variance()) > FLAT_VARIANCE)
            shared.push_back(i);
        else
            out[i] = autocorrelation_at(c, lag);
    }
    if (shared.empty()) return out;
    const Series x = c.x();
    const double m = c.mean(), v = c.variance();
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = x[i] - m;
    for (std::size_t g = 0; g < shared.size() && !interrupt::poll(); g += LANES) {
        std::uint64_t lag[LANES];
        for (std::size_t k = 0; k < LANES; ++k)  // a short group repeats its first lag
            lag[k] = static_cast<std::uint64_t>(helpers::int_param(params[shared[g + (g + k < shared.size() ? k : 0)]], "lag"));
        double sum[LANES];
        lagged_products(d, lag, sum);
        for (std::size_t k = 0; k < LANES && g + k < shared.size(); ++k)
            out[shared[g + k]] = sum[k] / (v * static_cast<double>(n - lag[k]));
    }
    return out;
}

// ---- agg_autocorrelation ----------------------------------------------------

// "maxlag" (default 0), "f_agg" (no aggregation: NaN). The aggregation of
// the autocorrelations at lags 1 .. min(maxlag, n - 1). A series without
// spread (|v| < NO_SPREAD_VARIANCE, one finite sample) aggregates zeros; an
// undefined autocorrelation (empty, non-finite, constant) aggregates one NaN
// for maxlag >= 1, standing for the min(maxlag, n - 1) NaNs, and nothing for
// maxlag 0.
Values agg_autocorrelation(SeriesContext& c, ParamSets params) {
    const std::uint64_t maxlag = largest(params, "maxlag");
    const std::size_t n = c.size();
    // A NaN variance (empty or non-finite series) fails the test, so a lone
    // non-finite sample is not taken for a series without spread.
    const bool flat = std::fabs(c.variance()) < NO_SPREAD_VARIANCE;
    std::vector<double> a;
    bool undefined = false;
    if (flat) {
        a.assign(std::min<std::uint64_t>(n, maxlag), 0.0);
    } else {
        // acf_adjusted's lags 1 .. min(maxlag, n - 1), from the shared
        // autocovariance; all NaN (lag 0 too) when acov_0 is 0 or not finite.
        const std::vector<double> r = spectral::acf_from_acovf(c.autocovariance().prefix(maxlag), maxlag);
        undefined = r.empty() || std::isnan(r[0]);
        if (!undefined) a.assign(r.begin() + 1, r.end());
    }
    Values out(params.size());
    for (std::size_t i = 0; i < params.size() && !interrupt::poll(); ++i) {
        const std::uint64_t k = helpers::count_param(params[i], "maxlag");
        const Agg agg = Agg::parse(helpers::text_param(params[i], "f_agg"));
        // Every aggregation of k >= 1 NaNs equals that of one NaN (ddof 0),
        // so one stands for them all.
        static constexpr double ONE_NAN[1] = {NaN};
        const std::span<const double> data = undefined ? std::span<const double>(ONE_NAN, std::min<std::uint64_t>(k, 1))
                                                       : std::span<const double>(a).first(std::min<std::uint64_t>(a.size(), k));
        out[i] = Agg::apply_with_ddof(agg, data, 0.0);
    }
    return out;
}

// ---- partial_autocorrelation ------------------------------------------------

// "lag" (default 0). Levinson-Durbin on the adjusted autocovariance, run
// only to the largest requested lag below floor(n / 2); lags at or above
// floor(n / 2) are NaN. Lag 0 is 1.0 when the call's lags reach 1 or more
// and n >= 4, else NaN. A constant series gives [1.0, NaN, ...].
Values partial_autocorrelation(SeriesContext& c, ParamSets params) {
    const std::size_t n = c.size();
    Values out(params.size(), NaN);
    if (n < 4) return out;  // floor(n / 2) - 1 <= 0: no lag to estimate
    const std::uint64_t half = n / 2;
    // Whether any lag >= 1 is asked (a lag at or above half counts too: lag
    // 0 is then read from a recursion that reaches half - 1 >= 1).
    const std::uint64_t asked = largest(params, "lag");
    if (asked == 0) return out;
    std::uint64_t reach = 0;
    for (const Params& p : params) {
        const std::uint64_t lag = helpers::count_param(p, "lag");
        if (lag < half) reach = std::max(reach, lag);
    }
    // Lag 0 alone needs no transform: it is 1.0 whatever the series.
    const std::vector<double> pacf = reach == 0 ? std::vector<double>{1.0} : spectral::pacf_from_acovf(c.autocovariance().prefix(reach), reach);
    for (std::size_t i = 0; i < params.size(); ++i)
        out[i] = spectral::at_or_nan(pacf, helpers::count_param(params[i], "lag"));
    return out;
}

// ---- c3 and time-reversal asymmetry -----------------------------------------

// "lag" (default 0). mean of x_{i+2l} x_{i+l} x_i over i < n - 2l; 0.0 when
// n <= 2l (the empty series included).
double c3_at(Series x, std::uint64_t l) {
    const std::size_t n = x.size();
    // n <= 2l as l >= ceil(n / 2): no lag overflows.
    if (l >= n - n / 2) return 0.0;
    const std::size_t terms = n - 2 * l;
    double s = -0.0;
    for (std::size_t i = 0; i < terms; ++i) s += (x[i + 2 * l] * x[i + l]) * x[i];
    return s / static_cast<double>(terms);
}

// "lag" (default 0). mean of x_{i+2l}^2 x_{i+l} - x_{i+l} x_i^2 over
// i < n - 2l; 0.0 when n <= 2l.
double time_reversal_at(Series x, std::uint64_t l) {
    const std::size_t n = x.size();
    if (l >= n - n / 2) return 0.0;
    const std::size_t terms = n - 2 * l;
    double s = -0.0;
    for (std::size_t i = 0; i < terms; ++i) {
        const double a = x[i + 2 * l], b = x[i + l], d = x[i];
        s += (a * a) * b - (b * d) * d;
    }
    return s / static_cast<double>(terms);
}

Values c3(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) { return c3_at(s, helpers::count_param(p, "lag")); }, x);
}

Values time_reversal_asymmetry_statistic(Series x, ParamSets params) {
    return map_sets(params, [](Series s, const Params& p) { return time_reversal_at(s, helpers::count_param(p, "lag")); }, x);
}

constexpr Entry TABLE[] = {
    {"autocorrelation", autocorrelation},
    {"agg_autocorrelation", agg_autocorrelation},
    {"partial_autocorrelation", partial_autocorrelation},
    {"c3", c3},
    {"time_reversal_asymmetry_statistic", time_reversal_asymmetry_statistic},
};

}  // namespace

constinit const std::span<const Entry> AUTOCORRELATION_ENTRIES{TABLE};

}  // namespace calculators
