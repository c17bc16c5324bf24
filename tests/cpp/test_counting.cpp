// The lane counts and selections against plain loops, on every SIMD target
// of the machine, every length around the vector widths, and samples and
// levels with NaN, infinities and signed zeros.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "helpers/counting.h"
#include "test_util.h"

namespace {

// How many i >= first satisfy f(x[i - 1], x[i]).
template <class F>
std::uint64_t loop(const std::vector<double>& x, std::size_t first, F f) {
    std::uint64_t c = 0;
    for (std::size_t i = first; i < x.size(); ++i) c += f(x[i - first], x[i]) ? 1 : 0;
    return c;
}

TEST(Counting, LanesAndBandChangesAgreeWithPlainLoops) {
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        std::mt19937_64 g(3);
        const double pool[] = {NaN, -NaN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.5, 5e-324};
        const double levels[] = {NaN, INF, -INF, 0.0, -0.0, 1.0, 2.5, -1.0};
        for (std::size_t n = 0; n < 40; ++n) {
            for (int rep = 0; rep < 5; ++rep) {
                std::vector<double> x(n);
                for (double& v : x) v = pool[g() % std::size(pool)];
                for (double t : levels) {
                    EXPECT_EQ(helpers::count_at_least(x, t), loop(x, 0, [&](double, double v) { return v >= t; }));
                    EXPECT_EQ(helpers::count_at_most(x, t), loop(x, 0, [&](double, double v) { return v <= t; }));
                    EXPECT_EQ(helpers::count_above(x, t), loop(x, 0, [&](double, double v) { return v > t; }));
                    EXPECT_EQ(helpers::count_below(x, t), loop(x, 0, [&](double, double v) { return v < t; }));
                    EXPECT_EQ(helpers::count_equal(x, t), loop(x, 0, [&](double, double v) { return v == t; }));
                    EXPECT_EQ(helpers::count_side_changes(x, t),
                              loop(x, 1, [&](double u, double v) { return (v > t) != (u > t); }));
                    for (double u : levels) {
                        EXPECT_EQ(helpers::count_in_range(x, t, u), loop(x, 0, [&](double, double v) { return t <= v && v < u; }));
                        EXPECT_EQ(helpers::count_far(x, t, u), loop(x, 0, [&](double, double v) { return std::abs(v - t) > u; }));
                    }
                }
                EXPECT_EQ(helpers::count_nan(x), loop(x, 0, [](double, double v) { return std::isnan(v); }));
            }
        }
        // Changes within a band.
        const double band_pool[] = {NaN, -NaN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.5, 0.5};
        const double bands[][2] = {{0.0, 1.0}, {-0.0, 2.5}, {-INF, INF}, {NaN, 1.0}, {-1.0, -1.0}, {1.0, 0.0}};
        for (std::size_t n = 0; n < 40; ++n) {
            std::vector<double> x(n);
            for (double& v : x) v = band_pool[g() % std::size(band_pool)];
            for (const auto& band : bands) {
                const double lo = band[0], hi = band[1];
                std::vector<double> want;
                for (std::size_t i = 1; i < n; ++i)
                    if (lo <= x[i - 1] && x[i - 1] <= hi && lo <= x[i] && x[i] <= hi) want.push_back(x[i] - x[i - 1]);
                std::vector<double> changes(n), magnitudes(n);
                const std::size_t got = helpers::changes_within(x, lo, hi, changes.data(), magnitudes.data());
                ASSERT_EQ(got, want.size());
                for (std::size_t k = 0; k < got; ++k) {
                    EXPECT_EQ(bits(changes[k]), bits(want[k]));
                    EXPECT_EQ(bits(magnitudes[k]), bits(std::abs(want[k])));
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
