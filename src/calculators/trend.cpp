// Calculators that fit a model to the series: the least-squares line of the
// series and of its chunk aggregates, the autoregression, the unit-root test
// and the drift polynomial with its largest fixed point.
#include "calculators/trend.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "calculators/registry.h"
#include "helpers/agg.h"
#include "helpers/params.h"
#include "helpers/series.h"
#include "numeric/adf.h"
#include "numeric/constants.h"
#include "numeric/regression.h"
#include "numeric/roots.h"
#include "numeric/stats.h"

namespace calculators {

using numeric::NaN;

double line_field(const stats::LinregressResult& r, std::string_view attr) {
    if (attr == "slope") return r.slope;
    if (attr == "intercept") return r.intercept;
    if (attr == "rvalue") return r.rvalue;
    if (attr == "pvalue") return r.pvalue;
    if (attr == "stderr") return r.std_err;
    return NaN;
}

std::string adf_autolag_key(const Params& p) {
    const PVal* v = p.find("autolag");
    if (v && v->tag() == PVal::Str) return std::get<std::string>(v->v);
    if (v && v->tag() == PVal::None) return "None";
    return "AIC";
}

namespace {

// ------------------------------------------------------------ linear_trend

// Keys: "attr" (slope, intercept, rvalue, pvalue, stderr; anything else NaN).
// Fewer than two samples, a constant index line or a NaN sample: NaN fields
// as stats::linregress_index gives them ([3, 3, 3]: slope 0, intercept 3).
Values linear_trend(Series x, ParamSets params) {
    const stats::LinregressResult line = stats::linregress_index(x);
    return map_sets(params, [](const stats::LinregressResult& r, const Params& p) {
        return line_field(r, helpers::text_param(p, "attr"));
    }, line);
}

// -------------------------------------------------------- agg_linear_trend

// Keys: "chunk_len" (>= 1 and < n, else NaN), "f_agg" (an aggregation name;
// any other gives NaN), "__ddof" (missing 0.0), "attr" (as linear_trend).
// The line through the chunk aggregates against the chunk index; empty and
// one-sample series give NaN. Sets that share chunk length, aggregation and
// ddof share one line.
Values agg_linear_trend(Series x, ParamSets params) {
    const std::uint64_t n = x.size();
    using Key = std::tuple<std::uint64_t, int, std::uint64_t>;
    std::map<Key, stats::LinregressResult> lines;
    std::vector<double> chunks;
    return map_sets(params, [&](Series s, const Params& p) {
        const std::int64_t len = helpers::int_param(p, "chunk_len");
        if (len < 1 || static_cast<std::uint64_t>(len) >= n) return NaN;
        const auto chunk = static_cast<std::uint64_t>(len);
        const Agg agg = Agg::parse(helpers::text_param(p, "f_agg"));
        const double ddof = helpers::real_param_or_zero(p, "__ddof");
        const Key key{chunk, agg.kind, std::bit_cast<std::uint64_t>(ddof)};
        auto it = lines.find(key);
        if (it == lines.end()) {
            // chunk < n: at least two chunks, the last one possibly shorter.
            const std::uint64_t count = n / chunk + (n % chunk != 0 ? 1 : 0);
            chunks.resize(count);
            interrupt::Stride stride(std::uint64_t{1} << 16);
            for (std::uint64_t i = 0; i < count && !stride(chunk); ++i) {
                const std::uint64_t start = i * chunk, end = std::min(n, start + chunk);
                chunks[i] = Agg::apply_with_ddof(agg, s.subspan(start, end - start), ddof);
            }
            it = lines.emplace(key, stats::linregress_index(chunks)).first;
        }
        return line_field(it->second, helpers::text_param(p, "attr"));
    }, x);
}

// ---------------------------------------------------------- ar_coefficient

// The fit of one order k: the coefficients (intercept, then lags 1 .. k), or
// none at all for a series too short for k + 1 rows, whose list reads as k
// NaN values without being held.
struct ArFit {
    bool too_short = false;
    std::vector<double> coef;
};

ArFit fit_ar(SeriesContext& context, std::uint64_t k) {
    const Series x = context.x();
    const std::uint64_t n = x.size();
    if (k == 0) return ArFit{false, n == 0 ? std::vector<double>{} : std::vector<double>{context.mean()}};
    // n <= 2k, without forming 2k.
    if (k >= n || n - k <= k) return ArFit{true, {}};
    const std::size_t rows = n - k, cols = k + 1;
    // The design column by column (the constant, then lags 1 .. k, each a
    // run of the series), which the decomposition rotates in place: the
    // fit's memory is the design's, gigabytes for a long series of high order.
    std::vector<double> design(rows * cols, 1.0);
    interrupt::Stride stride(std::uint64_t{1} << 20);
    for (std::size_t l = 1; l <= k; ++l) {
        if (stride(rows)) return ArFit{false, std::vector<double>(cols, NaN)};
        std::copy_n(x.begin() + (k - l), rows, design.begin() + l * rows);
    }
    auto beta = regression::svd_lstsq_columns(std::move(design), rows, cols, x.subspan(k), 1e-15);
    if (!beta) return ArFit{false, std::vector<double>(cols, NaN)};
    return ArFit{false, std::move(*beta)};
}

// Keys: "k" (order, negatives 0), "coeff" (index; above k gives NaN,
// negatives 0). k = 0 fits the mean (an empty series: 0.0 at index 0). A
// series of n <= 2k samples gives NaN below index k and 0.0 at k; a NaN or
// infinity in the series gives NaN coefficients.
Values ar_coefficient(SeriesContext& context, ParamSets params) {
    std::map<std::uint64_t, ArFit> fits;
    for (const Params& p : params) {
        const std::uint64_t k = helpers::count_param(p, "k");
        if (!fits.contains(k)) fits.emplace(k, fit_ar(context, k));
        if (interrupt::poll()) return Values(params.size(), NaN);
    }
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::uint64_t k = helpers::count_param(params[i], "k");
        const std::int64_t coeff = helpers::int_param(params[i], "coeff");
        if (coeff > 0 && static_cast<std::uint64_t>(coeff) > k) {
            out[i] = NaN;
            continue;
        }
        const std::uint64_t at = coeff < 0 ? 0 : static_cast<std::uint64_t>(coeff);
        const ArFit& fit = fits.at(k);
        if (fit.too_short)
            out[i] = at < k ? NaN : 0.0;
        else
            out[i] = at < fit.coef.size() ? fit.coef[at] : 0.0;
    }
    return out;
}

// ------------------------------------------------- augmented_dickey_fuller

// Keys: "autolag" (see adf_autolag_key; matched case-insensitively by the
// test), "attr" (teststat, pvalue, usedlag; anything else NaN). Fewer than 4
// samples, a constant series, a NaN or infinity, or an unknown mode: NaN.
// One test per call serves every key, so the lag search and each final
// regression run once however many sets and spellings ask for them.
Values augmented_dickey_fuller(Series x, ParamSets params) {
    regression::AdfTest test(x);
    std::map<std::string, regression::AdfResult, std::less<>> results;
    for (const Params& p : params) {
        std::string key = adf_autolag_key(p);
        if (!results.contains(key)) {
            const regression::AdfResult r = test.run(key);
            results.emplace(std::move(key), r);
        }
        if (interrupt::poll()) return Values(params.size(), NaN);
    }
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const regression::AdfResult& r = results.find(adf_autolag_key(params[i]))->second;
        const std::string_view attr = helpers::text_param(params[i], "attr");
        out[i] = attr == "teststat" ? r.teststat : attr == "pvalue" ? r.pvalue : attr == "usedlag" ? r.usedlag : NaN;
    }
    return out;
}

// ---------------------------------------------------------- drift polynomial

using DriftKey = std::pair<std::uint64_t, std::uint64_t>;

DriftKey drift_key(const Params& p) { return {helpers::count_param(p, "m"), helpers::count_param(p, "r")}; }

// The fit of the drift polynomial comes from the row's context: a row that
// asks both calculators below, or one (m, r) many times, fits it once.

// Keys: "m" (degree), "r" (bins), "coeff" (index, highest power first),
// negatives read as 0. NaN for coeff > m, for m = 0 or above 64, r = 0, fewer
// than two samples, a constant series, a NaN or infinity, repeated bin edges
// and powers that overflow.
Values friedrich_coefficients(SeriesContext& c, ParamSets params) {
    Values out(params.size());
    for (std::size_t i = 0; i < params.size() && !interrupt::poll(); ++i) {
        const auto [m, r] = drift_key(params[i]);
        const std::vector<double>& coef = c.drift_fit(m, r);
        const std::uint64_t at = helpers::count_param(params[i], "coeff");
        out[i] = at < coef.size() ? coef[at] : NaN;
    }
    return out;
}

// Keys: "m", "r" as friedrich_coefficients. The largest real part among the
// roots of the drift polynomial; NaN when the fit fails, when the polynomial
// has no roots (a nonzero constant) and when the root finder overflows.
Values max_langevin_fixed_point(SeriesContext& c, ParamSets params) {
    Memo<DriftKey> memo;
    Values out(params.size());
    for (std::size_t i = 0; i < params.size() && !interrupt::poll(); ++i) {
        const DriftKey key = drift_key(params[i]);
        out[i] = memo(key, [&] {
            const std::vector<double>& coef = c.drift_fit(key.first, key.second);
            if (coef.empty() || !stats::all_finite(coef)) return NaN;
            return regression::largest_real_part(regression::poly_roots(coef));
        });
    }
    return out;
}

constexpr Entry TABLE[] = {
    {"linear_trend", linear_trend},
    {"agg_linear_trend", agg_linear_trend},
    {"ar_coefficient", ar_coefficient},
    {"augmented_dickey_fuller", augmented_dickey_fuller},
    {"friedrich_coefficients", friedrich_coefficients},
    {"max_langevin_fixed_point", max_langevin_fixed_point},
};

}  // namespace

constinit const std::span<const Entry> TREND_ENTRIES{TABLE};

}  // namespace calculators
