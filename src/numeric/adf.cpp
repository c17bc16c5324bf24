#include "numeric/adf.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "numeric/special.h"

namespace regression {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr AdfResult NO_RESULT{NaN, NaN, NaN};
constexpr double LN_2PI = 1.8378770664093453;
// The one-sided 5% point of the normal distribution: the significance
// search keeps the first lag whose t value reaches it.
constexpr double T_STAT_BOUND = 1.6448536269514722;

enum class Mode { Aic, Bic, TStat, Fixed };

std::optional<Mode> parse_mode(std::string_view text) {
    std::string low(text);
    for (char& c : low)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (low == "aic") return Mode::Aic;
    if (low == "bic") return Mode::Bic;
    if (low == "t-stat") return Mode::TStat;
    if (low == "none" || low.empty()) return Mode::Fixed;
    return std::nullopt;
}

// Neither constant nor holding a NaN or an infinity.
bool varies_finitely(std::span<const double> x) {
    double lo = x[0], hi = x[0];
    for (double v : x) {
        if (std::isnan(v)) return false;
        if (v < lo) lo = v;
        if (v > hi) hi = v;
    }
    return std::isfinite(lo) && std::isfinite(hi) && lo != hi;
}

// min(floor(n / 2) - 2, ceil(12 (n / 100)^(1/4))) for n >= 4.
std::size_t lag_bound(std::size_t n) {
    const double schwert = std::ceil(12.0 * std::pow(static_cast<double>(n) / 100.0, 0.25));
    // n >= 4 keeps the first term >= 0, and the second never nears 2^63.
    const auto half = static_cast<std::int64_t>(n / 2) - 2;
    return static_cast<std::size_t>(std::min(half, static_cast<std::int64_t>(schwert)));
}

}  // namespace

AdfTest::AdfTest(std::span<const double> x) : x_(x) {
    if (x.size() < 4 || !varies_finitely(x)) return;
    testable_ = true;
    dx_.resize(x.size() - 1);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) dx_[i] = x[i + 1] - x[i];
    maxlag_ = lag_bound(x.size());
}

// Every candidate shares the N - maxlag rows of the lag matrix of lag
// maxlag; the candidate with j lags has the columns [1, level, dx lagged 1 ..
// j], so the candidates are the leading column sets of the widest one.
const std::vector<std::optional<AdfTest::Candidate>>& AdfTest::candidates() {
    if (candidates_) return *candidates_;
    const std::size_t big_n = dx_.size(), lag = maxlag_, rows = big_n - lag, cols = lag + 2;
    Matrix design{std::vector<double>(rows * cols), rows, cols};
    std::vector<double> target(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        double* const row = design.data.data() + r * cols;
        row[0] = 1.0;
        row[1] = x_[lag + r];
        for (std::size_t l = 1; l <= lag; ++l) row[1 + l] = dx_[lag + r - l];
        target[r] = dx_[lag + r];
    }
    const auto fits = ols_nested(design, target, 2);
    std::vector<std::optional<Candidate>> out(fits.size());
    for (std::size_t j = 0; j < fits.size(); ++j)
        if (fits[j])
            out[j] = Candidate{fits[j]->ssr, static_cast<double>(fits[j]->nobs), static_cast<double>(fits[j]->rank),
                               fits[j]->tvalues.back()};
    return candidates_.emplace(std::move(out));
}

// The regression with `lag` lagged differences on its own N - lag rows, the
// constant last so that the lagged level is the first coefficient.
AdfResult AdfTest::final_fit(std::size_t lag) {
    if (auto it = finals_.find(lag); it != finals_.end()) return it->second;
    const std::size_t rows = dx_.size() - lag, cols = lag + 2;
    Matrix design{std::vector<double>(rows * cols), rows, cols};
    std::vector<double> target(rows);
    for (std::size_t r = 0; r < rows; ++r) {
        double* const row = design.data.data() + r * cols;
        row[0] = x_[lag + r];
        for (std::size_t l = 1; l <= lag; ++l) row[l] = dx_[lag + r - l];
        row[lag + 1] = 1.0;
        target[r] = dx_[lag + r];
    }
    AdfResult res = NO_RESULT;
    if (const auto fit = ols(design, target)) {
        const double t = fit->tvalues[0];
        res = AdfResult{t, mackinnon_pvalue(t), static_cast<double>(lag)};
    }
    finals_.emplace(lag, res);
    return res;
}

AdfResult AdfTest::run(std::string_view autolag) {
    const auto mode = parse_mode(autolag);
    if (!mode || !testable_) return NO_RESULT;
    std::size_t used = 0;
    switch (*mode) {
        case Mode::Fixed: used = maxlag_; break;
        case Mode::Aic:
        case Mode::Bic: {
            // The first strict minimum; a NaN criterion never wins and
            // nothing beats an exact fit's -inf.
            double best = std::numeric_limits<double>::infinity();
            const auto& fits = candidates();
            for (std::size_t j = 0; j < fits.size(); ++j) {
                if (!fits[j]) continue;
                const Candidate& c = *fits[j];
                double crit = -std::numeric_limits<double>::infinity();
                if (!(c.ssr <= 0.0)) {
                    const double m2llf = 2.0 * ((c.nobs * 0.5) * ((std::log(c.ssr / c.nobs) + LN_2PI) + 1.0));
                    crit = *mode == Mode::Aic ? (c.rank + c.rank) + m2llf : c.rank * std::log(c.nobs) + m2llf;
                }
                if (crit < best) {
                    best = crit;
                    used = j;
                }
            }
            break;
        }
        case Mode::TStat: {
            const auto& fits = candidates();
            for (std::size_t j = fits.size(); j-- > 0;)
                if (fits[j] && std::fabs(fits[j]->last_t) >= T_STAT_BOUND) {
                    used = j;
                    break;
                }
            break;
        }
    }
    return final_fit(used);
}

AdfResult adfuller(std::span<const double> x, std::string_view autolag) { return AdfTest(x).run(autolag); }

double mackinnon_pvalue(double t) {
    if (std::isnan(t)) return NaN;
    if (t > 2.74) return 1.0;
    if (t < -18.83) return 0.0;
    const double q = t <= -1.61 ? (0.038269 * t + 1.4412) * t + 2.1659
                                : ((-0.010368 * t + -0.12745) * t + 0.93202) * t + 1.7339;
    return 0.5 * special::erfc(q / -1.4142135623730951);
}

}  // namespace regression
