// The nested least-squares fits behind the lag search, the p-value of the
// unit-root test and the polynomial root finder. The test statistics
// themselves are checked against statsmodels through the module.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <bit>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

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
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    auto random = [&](std::size_t m, std::size_t k) {
        Matrix a{{}, m, k};
        for (std::size_t i = 0; i < m * k; ++i) a.data.push_back(normal(gen));
        return a;
    };
    struct Case {
        Matrix x;
        Vec y;
    };
    std::vector<Case> cases;
    Vec y60(60);
    for (double& v : y60) v = normal(gen);
    cases.push_back({random(60, 7), y60});
    // The constant first and columns of very different scales, as in the lag search.
    Matrix scaled = random(60, 6);
    for (std::size_t i = 0; i < 60; ++i) scaled(i, 0) = 1.0, scaled(i, 2) *= 1e8, scaled(i, 4) *= 1e-9;
    cases.push_back({scaled, y60});
    // A zero column: QR escapes there and every wider set takes the SVD path.
    Matrix zero = random(60, 6);
    for (std::size_t i = 0; i < 60; ++i) zero(i, 3) = 0.0;
    cases.push_back({zero, y60});
    // A repeated column: its pivot falls below the tolerance.
    Matrix twice = random(60, 5);
    for (std::size_t i = 0; i < 60; ++i) twice(i, 3) = twice(i, 1);
    cases.push_back({twice, y60});
    // A NaN in y: the finiteness check sends every set to the SVD path.
    Vec ynan = y60;
    ynan[17] = NaN;
    cases.push_back({random(60, 4), ynan});
    // More columns than rows from the fifth on.
    cases.push_back({random(4, 6), Vec{1, -2, 0.5, 3}});

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
    for (double z : {-3.0, -0.7, 0.0, 0.3, 1.0, 2.5, 5.0}) {
        EXPECT_NEAR(special::erfc(z), std::erfc(z), 1e-15 * std::erfc(z) + 1e-16) << z;
        EXPECT_NEAR(special::erfc(z) + special::erfc(-z), 2.0, 4e-16);
    }
    EXPECT_TRUE(std::isnan(special::erfc(NaN)));
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

TEST(Adf, ScreenedLagSearchChoosesWhatTheExactFitsChoose) {
    // The exact rule on the exact candidate fits (the search design built here
    // from its definition), against the test's used lag, over many series.
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    int compared = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const std::size_t n = std::vector<std::size_t>{10, 30, 100, 400, 1500}[trial % 5];
        std::vector<double> x(n);
        double level = 0.0, prev = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double e = normal(gen);
            switch (trial % 4) {
                case 0: level += e; break;                               // random walk
                case 1: level = 0.6 * level - 0.3 * prev + e; break;     // AR(2)
                case 2: level += 0.05 + e; break;                        // drifting walk
                default: level = 0.95 * level + e; break;                // near unit root
            }
            prev = x[i] = level;
        }
        if (trial % 7 == 3)
            for (double& v : x) v += 1e4;  // the constant and the level nearly collinear
        const std::size_t maxlag = std::min<std::size_t>(n / 2 - 2, std::ceil(12.0 * std::pow(n / 100.0, 0.25)));
        const std::size_t rows = n - 1 - maxlag;
        Matrix design{{}, rows, maxlag + 2};
        Vec y(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            design.data.push_back(1.0);
            design.data.push_back(x[maxlag + r]);
            for (std::size_t l = 1; l <= maxlag; ++l) design.data.push_back(x[maxlag + r - l + 1] - x[maxlag + r - l]);
            y[r] = x[maxlag + r + 1] - x[maxlag + r];
        }
        const auto fits = regression::ols_nested(design, y, 2);
        for (const bool bic : {false, true}) {
            double best = INFINITY;
            std::size_t lag = 0;
            for (std::size_t j = 0; j < fits.size(); ++j) {
                if (!fits[j]) continue;
                const double nobs = double(fits[j]->nobs), rank = double(fits[j]->rank), ssr = fits[j]->ssr;
                const double m2llf = 2.0 * ((nobs * 0.5) * ((std::log(ssr / nobs) + 1.8378770664093453) + 1.0));
                const double crit = ssr <= 0.0 ? -INFINITY : bic ? rank * std::log(nobs) + m2llf : 2 * rank + m2llf;
                if (crit < best) best = crit, lag = j;
            }
            EXPECT_EQ(regression::adfuller(x, bic ? "BIC" : "AIC").usedlag, double(lag)) << "trial " << trial;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 240);
}
