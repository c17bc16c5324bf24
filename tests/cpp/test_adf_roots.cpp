// The nested least-squares fits behind the lag search, the p-value of the
// unit-root test and the polynomial root finder. The test statistics
// themselves are checked against statsmodels through the module.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "helpers/drift_fit.h"
#include "numeric/adf.h"
#include "numeric/regression.h"
#include "numeric/roots.h"
#include "numeric/special.h"
#include "test_util.h"

namespace {

using regression::Matrix;
using Vec = std::vector<double>;
Matrix leading(const Matrix& a, std::size_t k) {
    Matrix out{{}, a.rows, k};
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < k; ++j) out.data.push_back(a(i, j));
    return out;
}

}  // namespace

TEST(OlsNested, EveryLeadingColumnSetIsTheFitOfThoseColumnsBitForBit) {
    unsigned seed = 7;
    auto random = [&](std::size_t m, std::size_t k) { return Matrix{noise(m * k, seed++), m, k}; };
    struct Case {
        Matrix x;
        Vec y;
    };
    Vec y60 = noise(60, 8), ynan = y60;
    ynan[17] = NaN;  // the finiteness check sends every set to the SVD path
    // Plain; the constant first and columns of very different scales (as in the lag search); a zero column
    // (QR escapes, every wider set takes the SVD path); a repeated column (its pivot falls below the tolerance).
    std::vector<Case> cases{{random(60, 7), y60}, {random(60, 6), y60}, {random(60, 6), y60}, {random(60, 5), y60},
                            {random(60, 4), ynan}, {random(4, 6), Vec{1, -2, 0.5, 3}}};  // wider than tall from k = 5
    for (std::size_t i = 0; i < 60; ++i) {
        cases[1].x(i, 0) = 1.0, cases[1].x(i, 2) *= 1e8, cases[1].x(i, 4) *= 1e-9;
        cases[2].x(i, 3) = 0.0;
        cases[3].x(i, 3) = cases[3].x(i, 1);
    }

    // On every SIMD target, and the same bits on all of them.
    std::vector<std::vector<std::optional<regression::OlsFit>>> first;
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        for (std::size_t ci = 0; ci < cases.size(); ++ci) {
            const Case& c = cases[ci];
            const auto nested = regression::ols_nested(c.x, c.y, 1);
            ASSERT_EQ(nested.size(), c.x.cols);
            if (first.size() <= ci) first.push_back(nested);
            for (std::size_t k = 1; k <= c.x.cols; ++k) {
                const auto alone = regression::ols(leading(c.x, k), c.y);
                using Fit = std::optional<regression::OlsFit>;
                for (const Fit* want : {&alone, static_cast<const Fit*>(&first[ci][k - 1])}) {
                    const auto& got = nested[k - 1];
                    ASSERT_EQ(bool(got), bool(*want)) << "k=" << k;
                    if (!got) continue;
                    EXPECT_TRUE(same_bits(got->params, (*want)->params)) << "k=" << k;
                    EXPECT_TRUE(same_bits(got->tvalues, (*want)->tvalues)) << "k=" << k;
                    EXPECT_TRUE(same_bits(Vec{got->ssr}, Vec{(*want)->ssr})) << "k=" << k;
                    EXPECT_EQ(got->rank, (*want)->rank);
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
    EXPECT_TRUE(regression::ols_nested(Matrix{{1, 2}, 1, 2}, Vec{1}, 3).empty());
}

TEST(Adf, ErfcAndMackinnonPValue) {
    // The expansion against the library erfc, and its reflection.
    for (double z : {-3.0, -0.7, 0.3, 2.5, 5.0}) EXPECT_NEAR(special::erfc(z), std::erfc(z), 1e-15 * std::erfc(z) + 1e-16) << z;
    EXPECT_NEAR(special::erfc(0.7) + special::erfc(-0.7), 2.0, 4e-16);
    // Normal distribution function of the two polynomials, by the library erfc.
    auto phi = [](double q) { return 0.5 * std::erfc(-q / std::sqrt(2.0)); };
    auto small_p = [](double t) { return 2.1659 + 1.4412 * t + 0.038269 * t * t; };
    auto large_p = [](double t) { return 1.7339 + 0.93202 * t - 0.12745 * t * t - 0.010368 * t * t * t; };
    for (double t : {-18.83, -5.0, -1.61}) EXPECT_NEAR(regression::mackinnon_pvalue(t), phi(small_p(t)), 1e-14) << t;
    for (double t : {-1.6, 0.0, 2.74}) EXPECT_NEAR(regression::mackinnon_pvalue(t), phi(large_p(t)), 1e-14) << t;
    EXPECT_EQ(regression::mackinnon_pvalue(std::nextafter(2.74, 3.0)), 1.0);
    EXPECT_EQ(regression::mackinnon_pvalue(std::nextafter(-18.83, -19.0)), 0.0);
    EXPECT_TRUE(std::isnan(regression::mackinnon_pvalue(NaN)));
}

// Only the largest real part is ever read, so the order of the roots is free.
TEST(PolyRoots, RootsAndTheLargestRealPart) {
    using Roots = std::vector<std::complex<double>>;
    auto roots = [](Vec c) { return regression::poly_roots(c); };
    // A double root converges slowly but well within the sweeps.
    for (const auto& r : roots({1, -2, 1})) EXPECT_NEAR(std::abs(r - 1.0), 0.0, 1e-7);
    EXPECT_NEAR(regression::largest_real_part(roots({1, 0, 1})), 0.0, 1e-15);
    EXPECT_NEAR(regression::largest_real_part(roots({1, -3, 2, 0, 0})), 2.0, 1e-14);  // x^2 (x - 1)(x - 2)
    // numpy.roots([1, -2.5, -3.5, 9, 1.25]) largest real part: 2.2385240485116924 (value from numpy 2.4).
    EXPECT_NEAR(regression::largest_real_part(roots({1, -2.5, -3.5, 9, 1.25})), 2.2385240485116924, 1e-12);
    // Leading and trailing zeros: [0, 0, 3, 0] is the root 0 alone.
    EXPECT_EQ(roots({0, 0, 3, 0}), (Roots{0.0}));
    // No roots: constants, all zeros, nothing, non-finite coefficients, an overflowing monic form.
    for (const Vec& c : {Vec{5}, Vec{0, 0}, Vec{}, Vec{1, NaN, 2}, Vec{1, INFINITY}, Vec{1e-300, 1e10, 1}}) {
        EXPECT_TRUE(roots(c).empty());
        EXPECT_TRUE(std::isnan(regression::largest_real_part(roots(c))));
    }
    // A root that is not finite makes the largest real part NaN.
    EXPECT_TRUE(std::isnan(regression::largest_real_part(Roots{{1.0, 0.0}, {NaN, 0.0}})));
}

// The iteration as stated: every sweep until a step below 1e-15 or 500 sweeps,
// in the root finder's plain complex arithmetic (no special cases).
static std::vector<std::complex<double>> aberth_reference(const Vec& p) {
    using C = std::complex<double>;
    const auto add = [](C a, C b) { return C{a.real() + b.real(), a.imag() + b.imag()}; };
    const auto sub = [](C a, C b) { return C{a.real() - b.real(), a.imag() - b.imag()}; };
    const auto mul = [](C a, C b) {
        return C{a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
    };
    const auto div = [](C a, C b) {
        const double den = b.real() * b.real() + b.imag() * b.imag();
        if (den == 0.0) return C{0.0, 0.0};
        return C{(a.real() * b.real() + a.imag() * b.imag()) / den, (a.imag() * b.real() - a.real() * b.imag()) / den};
    };
    const std::size_t deg = p.size() - 1;
    Vec monic(deg + 1), dp(deg);
    for (std::size_t i = 0; i <= deg; ++i) monic[i] = p[i] / p[0];
    for (std::size_t i = 0; i < deg; ++i) dp[i] = double(deg - i) * monic[i];
    const auto horner = [&](const Vec& c, C z) {
        C acc{0.0, 0.0};
        for (double v : c) acc = add(mul(acc, z), C{v, 0.0});
        return acc;
    };
    double a = 0.0;
    for (std::size_t i = 1; i <= deg; ++i) a = std::max(a, std::fabs(monic[i]));
    std::vector<C> z(deg);
    for (std::size_t k = 0; k < deg; ++k) {
        const double theta = (double(k) * 6.283185307179586) / double(deg) + 0.4;
        z[k] = {0.5 * (1.0 + a) * std::cos(theta), 0.5 * (1.0 + a) * std::sin(theta)};
    }
    for (int sweep = 0; sweep < 500; ++sweep) {
        double largest = 0.0;
        for (std::size_t k = 0; k < deg; ++k) {
            const C newton = div(horner(monic, z[k]), horner(dp, z[k]));
            C s{0.0, 0.0};
            for (std::size_t j = 0; j < deg; ++j) {
                const C d = sub(z[k], z[j]);
                if (j != k && d.real() * d.real() + d.imag() * d.imag() != 0.0) s = add(s, div(C{1.0, 0.0}, d));
            }
            const C w = div(newton, sub(C{1.0, 0.0}, mul(newton, s)));
            z[k] = sub(z[k], w);
            largest = std::max(largest, std::hypot(w.real(), w.imag()));
        }
        if (largest < 1e-15) break;
    }
    return z;
}

// Roots far from 1 stop moving, or cycle through a few states, long before
// the sweeps run out, still stepping by more than the absolute bound.
TEST(PolyRoots, StoppedSweepsGiveTheBitsOfEverySweep) {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 60; ++trial) {
        Vec x(300);
        double walk = 0.0;
        for (double& v : x) v = (trial % 3 == 0 ? 1e5 : 3.0) + (trial % 2 ? walk += normal(rng) : normal(rng));
        const Vec c = helpers::estimate_friedrich_coefficients(x, 3 + trial % 3, 30);
        const auto got = regression::poly_roots(c), want = aberth_reference(c);
        ASSERT_EQ(got.size(), want.size()) << trial;
        for (std::size_t k = 0; k < got.size(); ++k)
            EXPECT_TRUE(bits(got[k].real()) == bits(want[k].real()) && bits(got[k].imag()) == bits(want[k].imag()))
                << trial << " " << k;
    }
}

namespace {

// The lag the search defines: every candidate design fitted, the first strict minimum of
// AIC = 2 rank + m2llf or BIC = rank ln(nobs) + m2llf, m2llf = nobs (ln(2 pi ssr / nobs) + 1), each rounded in
// the defined order (at a tie the last bit decides).
double exhaustive_lag(const Vec& x, bool bic) {
    const std::size_t n = x.size(), maxlag = std::min<std::size_t>(n / 2 - 2, std::ceil(12.0 * std::pow(n / 100.0, 0.25)));
    const std::size_t rows = n - 1 - maxlag;
    Matrix design{{}, rows, maxlag + 2};
    Vec y;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t t = maxlag + r;  // y = dx[t]
        design.data.insert(design.data.end(), {1.0, x[t]});
        for (std::size_t l = 1; l <= maxlag; ++l) design.data.push_back(x[t + 1 - l] - x[t - l]);
        y.push_back(x[t + 1] - x[t]);
    }
    const auto fits = regression::ols_nested(design, y, 2);
    double best = INF, lag = 0;
    for (std::size_t j = 0; j < fits.size(); ++j) {
        if (!fits[j]) continue;
        const double nobs = double(rows), rank = double(j + 2), ssr = fits[j]->ssr;
        const double m2llf = ssr <= 0 ? -INF : 2 * ((nobs * 0.5) * ((std::log(ssr / nobs) + 1.8378770664093453) + 1));
        const double crit = (bic ? rank * std::log(nobs) : rank + rank) + m2llf;
        if (crit < best) best = crit, lag = double(j);
    }
    return lag;
}

}  // namespace

// Where two candidates tie, the screen's normal equations cannot tell them apart and the exact fits must decide.
// A level far from zero (nearly a multiple of the constant column, condition ~3e7) makes the screen's error
// large; the weight c of a lagged shock moves the choice from lag to lag, and bisection on c finds each flip. On
// both sides of every flip the test must choose what the exact fits choose.
TEST(Adf, LagScreenAgreesWithTheExactFitsAtNearTies) {
    const std::size_t n = 600;
    const Vec e = noise(n, 21);
    auto series = [&](double c) {
        Vec x(n);
        double level = 2e3;
        for (std::size_t t = 0; t < n; ++t) {
            level += 0.234 * (e[t] + (t >= 4 ? c * e[t - 4] : 0.0)) / std::sqrt(1 + c * c);
            x[t] = level;
        }
        return x;
    };
    int flips = 0;
    for (const bool bic : {false, true}) {
        const char* mode = bic ? "bic" : "aic";
        double lo = 0.0, lag_lo = exhaustive_lag(series(lo), bic);
        for (int step = 1; step <= 24; ++step) {
            double hi = step / 8.0, lag_hi = exhaustive_lag(series(hi), bic);
            if (lag_hi != lag_lo) {
                double a = lo, b = hi;
                while (std::nextafter(a, b) != b) {
                    const double mid = a + (b - a) / 2;
                    if (mid == a || mid == b) break;
                    (exhaustive_lag(series(mid), bic) == lag_lo ? a : b) = mid;
                }
                for (const double c : {a, b}) {
                    const double want = exhaustive_lag(series(c), bic);
                    EXPECT_EQ(regression::adfuller(series(c), mode).usedlag, want) << mode << " c=" << c;
                }
                ++flips;
            }
            lo = hi, lag_lo = lag_hi;
        }
    }
    EXPECT_GE(flips, 4);
}
