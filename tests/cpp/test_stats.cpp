#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "numeric/stats.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double BIG = std::numeric_limits<double>::max();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The defining algorithms, written as plainly as they are stated, to check
// the optimised routines bit for bit.
double neumaier_reference(const std::vector<double>& x) {
    double s = 0.0, e = 0.0;
    for (double v : x) {
        const double t = s + v;
        if (std::fabs(s) >= std::fabs(v))
            e += (s - t) + v;
        else
            e += (v - t) + s;
        s = t;
    }
    if (std::isfinite(s) && std::isfinite(e)) return s + e;
    double plain = 0.0;
    for (double v : x) plain += v;
    return plain;
}

std::optional<std::size_t> scan_reference(const std::vector<double>& x, bool greater) {
    if (x.empty()) return std::nullopt;
    std::size_t b = 0;
    if (std::isnan(x[0])) return 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        if (std::isnan(x[i])) return i;
        if (greater ? x[i] > x[b] : x[i] < x[b]) b = i;
    }
    return b;
}

double quantile_reference(std::vector<double> x, double q) {
    if (x.empty()) return NaN;
    std::stable_sort(x.begin(), x.end(), stats::total_less);
    const std::size_t n = x.size();
    if (std::isnan(x[n - 1])) return NaN;
    const double qa = (0.0 > q) ? 0.0 : q;
    const double qc = (1.0 < qa) ? 1.0 : qa;
    const double pos = static_cast<double>(n - 1) * qc;
    const double f = std::floor(pos), c = std::ceil(pos);
    const std::size_t lo = f > 0.0 ? static_cast<std::size_t>(f) : 0;
    const std::size_t hi = c > 0.0 ? static_cast<std::size_t>(c) : 0;
    if (lo == hi) return x[lo];
    return (x[hi] - x[lo]) * (pos - static_cast<double>(lo)) + x[lo];
}

double negative_nan() { return -NaN; }

// Series that exercise the block structure of the scans: lengths around the
// block size, few distinct values (ties), signed zeros, infinities and NaNs
// of both signs at random places.
std::vector<std::vector<double>> awkward_series() {
    std::mt19937_64 rng(7);
    std::vector<std::vector<double>> out;
    const double pool[] = {-0.0, 0.0, 1.0, -1.0, 2.5, -INF, INF, 1e308, -1e308, 3.0};
    for (std::size_t n : {1, 2, 3, 7, 15, 16, 17, 33, 2047, 2048, 2049, 4096, 5000, 9000}) {
        for (int variant = 0; variant < 12; ++variant) {
            std::vector<double> x(n);
            std::uniform_int_distribution<int> pick(0, variant < 4 ? 1 : 9);
            for (double& v : x) v = pool[pick(rng)];
            if (variant >= 8) {
                std::normal_distribution<double> gauss;
                for (double& v : x) v = std::round(gauss(rng) * 4.0) / 4.0;
            }
            std::uniform_int_distribution<std::size_t> where(0, n - 1);
            if (variant % 3 == 1) x[where(rng)] = NaN;
            if (variant % 3 == 2) {
                x[where(rng)] = negative_nan();
                x[where(rng)] = NaN;
            }
            out.push_back(std::move(x));
        }
    }
    return out;
}

}  // namespace

TEST(StatsSum, CompensatedSumRecoversCancelledTerm) {
    std::vector<double> x{1e16, 1.0, -1e16};
    EXPECT_EQ(stats::sum(x), 1.0);
}

TEST(StatsSum, EmptyAndNegativeZerosGivePositiveZero) {
    EXPECT_EQ(bits(stats::sum(std::vector<double>{})), bits(0.0));
    EXPECT_EQ(bits(stats::sum(std::vector<double>{-0.0, -0.0})), bits(0.0));
}

// -1.5 * 2^971 then DBL_MAX: the sum is finite, but a two-sum's first
// intermediate (t - s) overflows. The exact total of the three values is
// -2^970, which the magnitude-tested compensation recovers.
TEST(StatsSum, TwoSumIntermediateOverflowStillGivesTheCompensatedSum) {
    const double x0 = -std::ldexp(1.5, 971);
    const double t = BIG + x0;
    std::vector<double> x{x0, BIG, -t};
    EXPECT_EQ(stats::sum(x), -std::ldexp(1.0, 970));
    EXPECT_EQ(bits(stats::sum(x)), bits(neumaier_reference(x)));
}

TEST(StatsSum, MatchesTheMagnitudeTestedDefinitionBitForBit) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> gauss;
    std::uniform_int_distribution<int> exponent(-60, 60);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> x(1 + trial * 7);
        for (double& v : x) v = std::ldexp(gauss(rng), exponent(rng));
        EXPECT_EQ(bits(stats::sum(x)), bits(neumaier_reference(x))) << trial;
        // Near the top of the range, where sums overflow and cancel.
        for (double& v : x) v = gauss(rng) * 4e307;
        EXPECT_EQ(bits(stats::sum(x)), bits(neumaier_reference(x))) << trial;
    }
    for (const auto& x : awkward_series()) EXPECT_EQ(bits(stats::sum(x)), bits(neumaier_reference(x)));
}

TEST(StatsExtremes, EmptySeriesHasNoIndex) {
    EXPECT_EQ(stats::argmax(std::vector<double>{}), std::nullopt);
    EXPECT_EQ(stats::last_argmin(std::vector<double>{}), std::nullopt);
    EXPECT_EQ(stats::argmax(std::vector<double>{1.0, NaN, 5.0}), 1u);
}

TEST(StatsExtremes, SignedZeroTieFarFromTheStartKeepsTheFirst) {
    // Zeros in several blocks; the maximum 0 first occurs as -0.0 late.
    std::vector<double> x(10000, -1.0);
    x[5000] = -0.0;
    x[7000] = 0.0;
    x[9999] = -0.0;
    EXPECT_EQ(bits(stats::max(x)), bits(-0.0));
    EXPECT_EQ(stats::argmax(x), 5000u);
    EXPECT_EQ(stats::last_argmax(x), 9999u);
    std::vector<double> a(10000, 1.0);
    a[3] = 0.0;
    a[6000] = -0.0;
    EXPECT_EQ(bits(stats::max_abs(a)), bits(1.0));
    EXPECT_EQ(bits(stats::min(a)), bits(0.0));
    EXPECT_EQ(stats::last_argmin(a), 6000u);
}

TEST(StatsExtremes, BlockScansMatchTheDefiningScan) {
    for (const auto& x : awkward_series()) {
        const std::size_t n = x.size();
        const auto imax = scan_reference(x, true), imin = scan_reference(x, false);
        std::vector<double> r(x.rbegin(), x.rend()), a(n);
        for (std::size_t i = 0; i < n; ++i) a[i] = std::fabs(x[i]);
        const auto rmax = scan_reference(r, true), rmin = scan_reference(r, false);
        const auto amax = scan_reference(a, true);
        ASSERT_EQ(stats::argmax(x), imax) << n;
        ASSERT_EQ(stats::argmin(x), imin) << n;
        ASSERT_EQ(stats::last_argmax(x), n - 1 - *rmax) << n;
        ASSERT_EQ(stats::last_argmin(x), n - 1 - *rmin) << n;
        ASSERT_EQ(bits(stats::max(x)), bits(x[*imax])) << n;
        ASSERT_EQ(bits(stats::min(x)), bits(x[*imin])) << n;
        ASSERT_EQ(bits(stats::max_abs(x)), bits(a[*amax])) << n;
    }
}

TEST(StatsExtremes, InfinitiesOfBothSignsWithoutNaN) {
    // A block holding +inf and -inf but no NaN.
    std::vector<double> x(3000, 0.5);
    x[10] = -INF;
    x[20] = INF;
    x[2500] = INF;
    EXPECT_EQ(stats::argmax(x), 20u);
    EXPECT_EQ(stats::last_argmax(x), 2500u);
    EXPECT_EQ(stats::argmin(x), 10u);
    EXPECT_EQ(stats::max_abs(x), INF);
}

TEST(StatsDiff, FirstDifferences) {
    EXPECT_TRUE(stats::diff(std::vector<double>{1.0}).empty());
    EXPECT_EQ(stats::diff(std::vector<double>{1.0, 4.0, 2.0}), (std::vector<double>{3.0, -2.0}));
}

TEST(StatsOrder, TotalOrderPutsNegativeNaNFirstAndPositiveNaNLast) {
    std::vector<double> x{NaN, 1.0, -0.0, INF, negative_nan(), 0.0, -INF, -2.0};
    stats::sort_total(x);
    EXPECT_TRUE(std::isnan(x[0]) && std::signbit(x[0]));
    EXPECT_EQ(x[1], -INF);
    EXPECT_EQ(x[2], -2.0);
    EXPECT_EQ(bits(x[3]), bits(-0.0));
    EXPECT_EQ(bits(x[4]), bits(0.0));
    EXPECT_EQ(x[5], 1.0);
    EXPECT_EQ(x[6], INF);
    EXPECT_TRUE(std::isnan(x[7]) && !std::signbit(x[7]));
}

TEST(StatsQuantile, InterpolatesAndClamps) {
    const std::vector<double> x{3.0, 1.0, 2.0};
    EXPECT_EQ(stats::quantile(x, 0.5), 2.0);
    EXPECT_EQ(stats::quantile(x, 0.25), 1.5);
    EXPECT_EQ(stats::quantile(x, -1.0), 1.0);
    EXPECT_EQ(stats::quantile(x, 7.0), 3.0);
    EXPECT_EQ(stats::quantile(x, NaN), 1.0);
    EXPECT_TRUE(std::isnan(stats::quantile(std::vector<double>{}, 0.5)));
    EXPECT_TRUE(std::isnan(stats::quantile_sorted(std::vector<double>{}, 0.5)));
}

TEST(StatsQuantile, NegativeNaNSortsFirstAndOnlyTouchesIndexZero) {
    const std::vector<double> x{4.0, negative_nan(), 2.0, 3.0};
    EXPECT_TRUE(std::isnan(stats::quantile(x, 0.0)));
    EXPECT_TRUE(std::isnan(stats::quantile(x, 0.2)));  // between index 0 and 1
    EXPECT_EQ(stats::quantile(x, 0.5), 2.5);           // 2 + (3 - 2) * 0.5
    EXPECT_EQ(stats::quantile(x, 1.0), 4.0);
    EXPECT_TRUE(std::isnan(stats::quantile(std::vector<double>{1.0, NaN, 2.0}, 0.0)));
}

TEST(StatsQuantile, SelectionMatchesTheSortedCopyBitForBit) {
    const double qs[] = {0.0, 1e-9, 0.1, 0.25, 1.0 / 3.0, 0.5, 0.7, 0.999, 1.0, -0.5, 2.0, NaN};
    for (const auto& x : awkward_series())
        for (double q : qs) ASSERT_EQ(bits(stats::quantile(x, q)), bits(quantile_reference(x, q))) << x.size() << " " << q;
    std::mt19937_64 rng(3);
    std::normal_distribution<double> gauss;
    for (std::size_t n : {1, 2, 5, 100, 1001}) {
        std::vector<double> x(n);
        for (double& v : x) v = gauss(rng);
        std::vector<double> sorted = x;
        stats::sort_total(sorted);
        for (double q : qs) {
            ASSERT_EQ(bits(stats::quantile(x, q)), bits(quantile_reference(x, q)));
            ASSERT_EQ(bits(stats::quantile_sorted(sorted, q)), bits(quantile_reference(x, q)));
        }
    }
}
