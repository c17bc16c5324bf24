#include "numeric/adf.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "numeric/constants.h"
#include "numeric/householder_lanes.h"
#include "numeric/interrupt.h"
#include "numeric/special.h"

namespace regression {

namespace {

using numeric::EPS;
using numeric::NaN;
constexpr AdfResult NO_RESULT{NaN, NaN, NaN};
constexpr double LN_2PI = 1.8378770664093453;
// Rows per partial sum in the screen's products and the refined residuals;
// the screen's error bounds count on it.
constexpr std::size_t BLOCK = 256;
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

// The information criterion of a fit: -inf for an exact one (nothing beats
// it), otherwise -2 log-likelihood plus the penalty of Akaike (2 rank) or
// Schwarz (rank ln nobs).
double criterion(double ssr, double nobs, double rank, bool bic) {
    if (ssr <= 0.0) return -std::numeric_limits<double>::infinity();
    const double m2llf = 2.0 * ((nobs * 0.5) * ((std::log(ssr / nobs) + LN_2PI) + 1.0));
    return bic ? rank * std::log(nobs) + m2llf : (rank + rank) + m2llf;
}

// min(floor(n / 2) - 2, ceil(12 (n / 100)^(1/4))) for n >= 4.
std::size_t lag_bound(std::size_t n) {
    const double schwert = std::ceil(12.0 * std::pow(static_cast<double>(n) / 100.0, 0.25));
    // n >= 4 keeps the first term >= 0, and the second never nears 2^63.
    const auto half = static_cast<std::int64_t>(n / 2) - 2;
    return static_cast<std::size_t>(std::min(half, static_cast<std::int64_t>(schwert)));
}

// The rows of a lag regression, read straight from the series: the lagged
// level and the differences lagged 1 .. lag, behind the constant (the search
// designs) or ahead of it (the final one).
class LagRows final : public detail::DesignRows {
public:
    LagRows(std::span<const double> x, std::span<const double> dx, std::size_t lag, std::size_t cols, bool constant_first)
        : DesignRows(dx.size() - lag, cols), x_(x), dx_(dx), lag_(lag), first_(constant_first) {}
    void row(std::size_t r, double* out) const override {
        double* const at = out + (first_ ? 1 : 0);
        at[0] = x_[lag_ + r];
        for (std::size_t l = 1; l + 1 < cols; ++l) at[l] = dx_[lag_ + r - l];
        out[first_ ? 0 : cols - 1] = 1.0;
    }

private:
    std::span<const double> x_, dx_;
    std::size_t lag_;
    bool first_;
};

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
    const std::size_t lag = maxlag_;
    const std::span<const double> target(dx_.data() + lag, dx_.size() - lag);
    scratch_.reserve(dx_.size(), lag + 2);  // room for the final fit too
    const auto fits = detail::ols_nested(LagRows(x_, dx_, lag, lag + 2, true), target, 2, &scratch_);
    std::vector<std::optional<Candidate>> out(fits.size());
    for (std::size_t j = 0; j < fits.size(); ++j)
        if (fits[j])
            out[j] = Candidate{fits[j]->ssr, static_cast<double>(fits[j]->nobs), static_cast<double>(fits[j]->rank),
                               fits[j]->tvalues.back()};
    return candidates_.emplace(std::move(out));
}

// The normal equations of the unit-norm scaled design, G = Xs^T Xs, solved
// by Cholesky: with z = L^-1 Xs^T y, the candidate with the first k columns
// leaves ssr_k = y^T y - (z_0^2 + ... + z_{k-1}^2). Its error is bounded by
// the condition of G (at most k trace(G^-1), as the columns have unit norm)
// times the rounding of the sums, with a wide safety factor; a design
// conditioned worse than 1e8 is not screened. Below that bound every exact
// fit takes the QR path (rank k, no candidate fails).
const std::optional<AdfTest::Screen>& AdfTest::screen() {
    if (screen_) return *screen_;
    auto& out = screen_.emplace();
    // The rows of the search design, [1, level, dx lagged 1 .. maxlag], are
    // read straight from the series.
    const std::size_t lag = maxlag_, m = dx_.size() - lag, k = lag + 2;
    // G and X^T y, the target as column k of an extended G; four rows at a
    // time, summed in blocks of BLOCK rows whose sums are then added up (the
    // order of these sums is free, and blocks keep their error near
    // (BLOCK + m / BLOCK) eps instead of m eps).
    const std::size_t w = k + 1;
    std::vector<double> ext(4 * w), ge(w * w, 0.0), part(w * w, 0.0);
    interrupt::Stride stride(std::size_t{1} << 16);
    for (std::size_t i = 0; i < m; i += 4) {
        if (i % BLOCK == 0 && i > 0) {
            for (std::size_t e = 0; e < w * w; ++e) ge[e] += part[e];
            std::fill(part.begin(), part.end(), 0.0);
            // A long series can take seconds here: a stop request leaves it
            // unscreened (the test's value is then discarded).
            if (stride(BLOCK * w)) return out;
        }
        const std::size_t len = std::min<std::size_t>(4, m - i);
        std::fill(ext.begin(), ext.end(), 0.0);
        for (std::size_t r = 0; r < len; ++r) {
            double* const row = ext.data() + r * w;
            const std::size_t at = lag + i + r;
            row[0] = 1.0;
            row[1] = x_[at];
            for (std::size_t l = 1; l <= lag; ++l) row[1 + l] = dx_[at - l];
            row[k] = dx_[at];
        }
        detail::gram_rows4(ext.data(), w, part.data());
    }
    for (std::size_t e = 0; e < w * w; ++e) ge[e] += part[e];
    std::vector<double> g(k * k), xy(k);
    for (std::size_t a = 0; a < k; ++a) {
        for (std::size_t b = a; b < k; ++b) g[a * k + b] = ge[a * w + b];
        xy[a] = ge[a * w + k];
    }
    const double yy = ge[k * w + k];
    std::vector<double> scale(k);
    for (std::size_t a = 0; a < k; ++a) {
        if (!(g[a * k + a] > 0.0) || !std::isfinite(g[a * k + a])) return out;
        scale[a] = 1.0 / std::sqrt(g[a * k + a]);
    }
    if (!(yy > 0.0) || !std::isfinite(yy)) return out;
    // Cholesky of the scaled G, in place in the lower triangle of l.
    std::vector<double> l(k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b <= a; ++b) {
            double v = g[b * k + a] * scale[a] * scale[b];
            for (std::size_t c = 0; c < b; ++c) v -= l[a * k + c] * l[b * k + c];
            if (a == b) {
                if (!(v > 0.0)) return out;
                l[a * k + a] = std::sqrt(v);
            } else {
                l[a * k + b] = v / l[b * k + b];
            }
        }
    // z = L^-1 Xs^T y and the squared Frobenius norm of L^-1 (trace of G^-1).
    std::vector<double> z(k), inv(k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a) {
        double v = xy[a] * scale[a];
        for (std::size_t c = 0; c < a; ++c) v -= l[a * k + c] * z[c];
        z[a] = v / l[a * k + a];
    }
    double trace_inv = 0.0;
    for (std::size_t b = 0; b < k; ++b) {
        inv[b * k + b] = 1.0 / l[b * k + b];
        for (std::size_t a = b + 1; a < k; ++a) {
            double v = 0.0;
            for (std::size_t c = b; c < a; ++c) v -= l[a * k + c] * inv[c * k + b];
            inv[a * k + b] = v / l[a * k + a];
        }
        for (std::size_t a = b; a < k; ++a) trace_inv += inv[a * k + b] * inv[a * k + b];
    }
    const double kappa = static_cast<double>(k) * trace_inv;
    if (!std::isfinite(kappa) || kappa > 1e8) return out;
    const double md = static_cast<double>(m), kd = static_cast<double>(k);
    // Forming G errs by at most s eps per entry (unit columns; s = BLOCK +
    // m / BLOCK + 4 roundings in a chain), K s eps in norm; the quadratic
    // form z^T z = g^T G^-1 g moves by at most that times |G^-1| yy <=
    // (kappa / K) yy, Cholesky and the solve add K^2 eps, y^T y itself s eps.
    // Ten times the sum, for second-order terms.
    // The exact fits' own ssr lies within m eps (its row sum) plus 2 K eps
    // sqrt(kappa) (the rounding of the predictions) of the true one, times yy.
    const double chain = static_cast<double>(BLOCK) + md / static_cast<double>(BLOCK) + 4.0;
    const double err = 40.0 * EPS * (chain + kd * kd) * (kappa + 1.0) * yy +
                       10.0 * EPS * (md + 2.0 * kd * std::sqrt(kappa)) * yy;
    Screen sc;
    sc.kappa = kappa;
    sc.yy = yy;
    sc.chain = chain;
    double zz = 0.0;
    for (std::size_t a = 0; a < k; ++a) {
        zz += z[a] * z[a];
        if (a < 1) continue;  // candidates have at least two columns
        const double ssr = yy - zz;
        // An ssr that the bound cannot separate from 0 could be an exact fit.
        if (!(ssr > 2.0 * err)) return out;
        sc.ssr.push_back(ssr);
        sc.err.push_back(err);
    }
    sc.l = std::move(l);
    sc.z = std::move(z);
    sc.scale = std::move(scale);
    out = std::move(sc);
    return out;
}

// The ssr of candidate j computed from its own coefficients (the Cholesky
// solution) by summing the squared residuals over the rows, in blocks. Its
// error is second order in the coefficients' error, so far below the
// screen's; the bound below is in the refined_slack of screened_lag.
double AdfTest::refined_ssr(const Screen& sc, std::size_t j) const {
    if (auto it = sc.refined.find(j); it != sc.refined.end()) return it->second;
    const std::size_t lag = maxlag_, m = dx_.size() - lag, k = lag + 2, cols = j + 2;
    // Back substitution with the leading block of L^T, then the unscaled
    // coefficients.
    std::vector<double> b(cols);
    for (std::size_t a = cols; a-- > 0;) {
        double v = sc.z[a];
        for (std::size_t c = a + 1; c < cols; ++c) v -= sc.l[c * k + a] * b[c];
        b[a] = v / sc.l[a * k + a];
    }
    for (std::size_t a = 0; a < cols; ++a) b[a] *= sc.scale[a];
    // The design's columns are runs of the series: predictions column by
    // column, all rows at once.
    std::vector<double> pred(m);
    const double* const level = x_.data() + lag;
    for (std::size_t r = 0; r < m; ++r) pred[r] = b[0] + level[r] * b[1];
    for (std::size_t l = 1; l + 1 < cols; ++l) {
        const double* const col = dx_.data() + lag - l;
        const double bl = b[l + 1];
        for (std::size_t r = 0; r < m; ++r) pred[r] += col[r] * bl;
    }
    const double* const y = dx_.data() + lag;
    double total = 0.0;
    for (std::size_t r0 = 0; r0 < m; r0 += BLOCK) {
        double part = 0.0;
        for (std::size_t r = r0; r < std::min(m, r0 + BLOCK); ++r) {
            const double res = y[r] - pred[r];
            part += res * res;
        }
        total += part;
    }
    sc.refined.emplace(j, total);
    return total;
}

// The first strict minimum of the criterion over the candidates, when the
// screen shows that only one candidate can be it.
std::optional<std::size_t> AdfTest::screened_lag(bool bic) {
    const auto& sc = screen();
    if (!sc) return std::nullopt;
    const std::size_t count = sc->ssr.size();
    const double nobs = static_cast<double>(dx_.size() - maxlag_);
    std::vector<double> crit(count), slack(count);
    std::size_t best = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const double ssr = sc->ssr[j];
        crit[j] = criterion(ssr, nobs, static_cast<double>(j + 2), bic);
        // |d crit| <= nobs |d ssr| / ssr, with |d ssr| <= err <= ssr / 2;
        // doubled, plus the rounding of the criterion itself.
        slack[j] = 2.0 * nobs * (2.0 * sc->err[j] / ssr) + 1e-9 * (std::fabs(crit[j]) + 1.0);
        if (!std::isfinite(crit[j])) return std::nullopt;
        if (crit[j] < crit[best]) best = j;
    }
    std::vector<std::size_t> contenders;
    for (std::size_t j = 0; j < count; ++j)
        if (j == best || crit[j] - slack[j] <= crit[best] + slack[best]) contenders.push_back(j);
    if (contenders.size() == 1) return best;
    // The exact minimum is one of the contenders: refine them. The refined ssr and the exact fits' both lie near the true
    // ssr: within the rounding of the residual sums ((chain + m) eps yy)
    // and of the predictions (2 K eps sqrt(kappa) yy each), plus the
    // second-order effect of the coefficients' errors: kappa^3 (chain +
    // K^2)^2 eps^2 yy for the Cholesky solution, m^2 K^2 kappa^2 eps^2 yy for
    // Householder QR at its worst. Ten times the sum.
    const double kd = static_cast<double>(maxlag_ + 2), kap = sc->kappa, ch = sc->chain;
    const double err2 = 10.0 * EPS * sc->yy *
                        ((ch + nobs) + 4.0 * kd * std::sqrt(kap) +
                         EPS * (kap * kap * kap * (ch + kd * kd) * (ch + kd * kd) + nobs * nobs * kd * kd * kap * kap));
    best = contenders[0];
    for (std::size_t j : contenders) {
        // Each refinement reads every row: a stop request ends the screen.
        if (interrupt::poll()) return std::nullopt;
        const double ssr = refined_ssr(*sc, j);
        if (!(ssr > 2.0 * err2)) return std::nullopt;
        crit[j] = criterion(ssr, nobs, static_cast<double>(j + 2), bic);
        slack[j] = 2.0 * nobs * (2.0 * err2 / ssr) + 1e-9 * (std::fabs(crit[j]) + 1.0);
        if (!std::isfinite(crit[j])) return std::nullopt;
        if (crit[j] < crit[best]) best = j;
    }
    for (std::size_t j : contenders)
        if (j != best && crit[j] - slack[j] <= crit[best] + slack[best]) return std::nullopt;
    return best;
}

// The regression with `lag` lagged differences on its own N - lag rows, the
// constant last so that the lagged level is the first coefficient.
AdfResult AdfTest::final_fit(std::size_t lag) {
    if (auto it = finals_.find(lag); it != finals_.end()) return it->second;
    const std::span<const double> target(dx_.data() + lag, dx_.size() - lag);
    AdfResult res = NO_RESULT;
    const LagRows rows(x_, dx_, lag, lag + 2, false);
    if (const auto fit = detail::ols_nested(rows, target, lag + 2, &scratch_).front()) {
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
            if (const auto lag = screened_lag(*mode == Mode::Bic)) {
                used = *lag;
                break;
            }
            // The first strict minimum; a NaN criterion never wins and
            // nothing beats an exact fit's -inf.
            double best = std::numeric_limits<double>::infinity();
            const auto& fits = candidates();
            for (std::size_t j = 0; j < fits.size(); ++j) {
                if (!fits[j]) continue;
                const Candidate& c = *fits[j];
                const double crit = criterion(c.ssr, c.nobs, c.rank, *mode == Mode::Bic);
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
