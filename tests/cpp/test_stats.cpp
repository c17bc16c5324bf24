#include <gtest/gtest.h>

#include <hwy/targets.h>

#include <algorithm>

#include "numeric/stats.h"
#include "test_util.h"

namespace {

// The defining algorithms, plainly, to check the optimised routines bit for bit.
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

double quantile_reference(std::vector<double> x, double q) {
    if (x.empty()) return NaN;
    std::stable_sort(x.begin(), x.end(), stats::total_less);
    const std::size_t n = x.size();
    if (std::isnan(x[n - 1])) return NaN;
    const double pos = static_cast<double>(n - 1) * std::min(std::max(q, 0.0), 1.0);  // a NaN q stays NaN
    const std::size_t lo = std::floor(pos) > 0.0 ? static_cast<std::size_t>(std::floor(pos)) : 0;
    const std::size_t hi = std::ceil(pos) > 0.0 ? static_cast<std::size_t>(std::ceil(pos)) : 0;
    if (lo == hi) return x[lo];
    return (x[hi] - x[lo]) * (pos - static_cast<double>(lo)) + x[lo];
}

}  // namespace

// [1e16, 1, -1e16]: the compensation recovers the 1 that the plain sum loses.
// [x0, DBL_MAX, -t] with x0 = -1.5 * 2^971: the sum stays finite but a
// two-sum's first intermediate (t - s) overflows; the exact total, -2^970,
// is what the magnitude-tested compensation recovers.
TEST(StatsSum, MatchesTheMagnitudeTestedDefinitionBitForBit) {
    const double x0 = -std::ldexp(1.5, 971);
    const std::vector<double> overflow{x0, BIG, -(BIG + x0)};
    EXPECT_EQ(stats::sum(overflow), -std::ldexp(1.0, 970));
    EXPECT_EQ(stats::sum(std::vector<double>{1e16, 1.0, -1e16}), 1.0);
    EXPECT_EQ(bits(stats::sum(std::vector<double>{-0.0, -0.0})), bits(0.0));
    std::vector<std::vector<double>> cases = awkward_series();
    cases.push_back(overflow);
    cases.push_back({INF, -INF});
    cases.push_back({1e308, 1e308, -1e308});
    std::mt19937_64 rng(11);
    std::normal_distribution<double> gauss;
    std::uniform_int_distribution<int> exponent(-60, 60);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<double> x(1 + trial * 7), top(x.size());
        for (double& v : x) v = std::ldexp(gauss(rng), exponent(rng));
        // Near the top of the range, where partial sums overflow and cancel.
        for (double& v : top) v = gauss(rng) * 4e307;
        cases.push_back(x);
        cases.push_back(top);
    }
    // same(): which sign inf + -inf gives depends on the build.
    for (const auto& x : cases) ASSERT_TRUE(same(stats::sum(x), neumaier_reference(x))) << x.size();
}

// The NaN 0xFFF0000000000001 has the largest key and -inf the smallest; the
// NaNs come last with their own bits (sign and payload), in any order.
TEST(StatsOrder, EveryNaNSortsLastWhateverItsSign) {
    const double snan = std::numeric_limits<double>::signaling_NaN(), tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> x{-INF, -BIG, -2.0, -tiny, -0.0, -0.0, 0.0, tiny, 1.0, BIG, INF,
                          NaN, -NaN, snan, -snan, std::bit_cast<double>(std::uint64_t{0xFFF0000000000001})};
    const auto keys = [](const std::vector<double>& z) {
        std::vector<std::uint64_t> k;
        for (double v : z) k.push_back(bits(v));
        std::sort(k.begin() + 11, k.end());
        return k;
    };
    const std::vector<std::uint64_t> want = keys(x);
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        std::shuffle(x.begin(), x.end(), rng);
        std::vector<double> y = x;
        stats::sort_total(y);
        ASSERT_EQ(keys(y), want);
        ASSERT_EQ(keys(stats::sorted_total(x)), want);
    }
}

// Against std::sort on the keys, long and short, with heavy ties near zero,
// on every vector target of the machine (the keys are made in lanes, and the
// sort dispatches too).
TEST(StatsOrder, SortMatchesAPlainSortOfTheKeysOnEveryTarget) {
    std::mt19937_64 rng(5);
    const double pool[] = {-0.0, 0.0, 1.0, -1.0, 5e-324, -5e-324, 2.2250738585072014e-308, BIG, -BIG, 3.0};
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        for (std::size_t n : {2, 3, 17, 100, 1000, 4099, 300000}) {
            for (int kind = 0; kind < 4; ++kind) {
                std::vector<double> x(n);
                std::normal_distribution<double> gauss;
                for (double& v : x) v = kind == 0 ? gauss(rng) : pool[rng() % std::size(pool)];
                if (kind == 2) x[rng() % n] = -NaN;
                if (kind == 3) x[rng() % n] = rng() % 2 ? INF : -INF;
                std::vector<std::int64_t> k(n);
                for (std::size_t i = 0; i < n; ++i) k[i] = stats::total_order_key(x[i]);
                std::sort(k.begin(), k.end());
                const std::vector<double> z = stats::sorted_total(x);
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(bits(z[i]), bits(stats::from_total_order_key(k[i]))) << hwy::TargetName(target) << " " << n;
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

TEST(StatsQuantile, SelectionMatchesTheSortedCopyBitForBit) {
    const double qs[] = {0.0, 1e-9, 0.1, 0.25, 1.0 / 3.0, 0.5, 0.7, 0.999, 1.0, -0.5, 2.0, NaN};
    // Clamps, a NaN q, and a sign-set NaN (last, like any NaN: every q NaN).
    std::vector<std::vector<double>> cases = awkward_series();
    cases.push_back({4.0, -NaN, 2.0, 3.0});
    std::mt19937_64 rng(3);
    std::normal_distribution<double> gauss;
    for (std::size_t n : {1, 2, 5, 100, 1001}) {
        cases.emplace_back(n);
        for (double& v : cases.back()) v = gauss(rng);
    }
    for (const auto& x : cases) {
        std::vector<double> sorted = x;
        stats::sort_total(sorted);
        for (double q : qs) {
            ASSERT_EQ(bits(stats::quantile(x, q)), bits(quantile_reference(x, q))) << x.size() << " " << q;
            ASSERT_EQ(bits(stats::quantile_sorted(sorted, q)), bits(quantile_reference(x, q)));
        }
    }
}
