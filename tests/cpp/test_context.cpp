// Every quantity of the series context gives the bits of the routine that
// defines it, whichever slot is asked first.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "calculators/context.h"
#include "numeric/stats.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

bool same(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::vector<std::vector<double>> adversarial_series() {
    std::mt19937_64 g(8);
    std::normal_distribution<double> normal;
    std::vector<std::vector<double>> out = {
        {},
        {-NaN},
        {-0.0, 0.0},
        {2.5, 2.5, 2.5},
        {0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1},
        {1e200, -1e200, 3.0},
        {INF, 1.0},
        {INF, -INF},
        {1e16, 1.0, -1e16},
        {5e-324, -5e-324, 1e-310, 0.0},
        {1.5e308, -std::numeric_limits<double>::max(), -1e292, std::numeric_limits<double>::max()},
    };
    for (std::size_t n : {3, 17, 1000}) {
        std::vector<double> x(n);
        for (double& v : x) v = normal(g);
        out.push_back(x);
        x[n / 2] = NaN;
        x[n / 3] = -NaN;
        out.push_back(x);
    }
    return out;
}

using Slot = double (*)(calculators::SeriesContext&);

TEST(SeriesContext, SlotsGiveTheDefiningRoutinesBits) {
    const Slot sum = [](calculators::SeriesContext& c) { return c.sum(); };
    const Slot mean = [](calculators::SeriesContext& c) { return c.mean(); };
    const Slot variance = [](calculators::SeriesContext& c) { return c.variance(); };
    const Slot max = [](calculators::SeriesContext& c) { return c.max(); };
    const Slot min = [](calculators::SeriesContext& c) { return c.min(); };
    const std::vector<std::vector<Slot>> orders = {{sum, mean, variance, max, min}, {variance, mean, sum, min, max}};
    for (const auto& x : adversarial_series()) {
        const double want[] = {stats::sum(x), stats::mean(x), stats::var(x), stats::max(x), stats::min(x)};
        for (const auto& order : orders) {
            calculators::SeriesContext c(x);
            for (const Slot slot : order) {
                const Slot names[] = {sum, mean, variance, max, min};
                const std::size_t k = std::find(std::begin(names), std::end(names), slot) - std::begin(names);
                EXPECT_TRUE(same(slot(c), want[k])) << "slot " << k << " n " << x.size();
            }
        }
    }
}

TEST(SeriesContext, QuantilesBySelectionOrFromTheSortedCopy) {
    // Long series take a selection for a lone quantile, short ones a sort.
    auto series = adversarial_series();
    std::mt19937_64 g(9);
    std::normal_distribution<double> normal;
    std::vector<double> tied(10000);
    for (double& v : tied) v = std::round(normal(g) * 4.0);
    series.push_back(tied);
    tied[5000] = -NaN;
    series.push_back(tied);
    for (const auto& x : series) {
        calculators::SeriesContext by_selection(x), sorted_first(x);
        for (double q : {0.0, 0.1, 0.5, 0.75, 1.0, -1.0, 2.0, NaN}) {
            const double want = stats::quantile(x, q);
            EXPECT_TRUE(same(by_selection.quantile(q), want)) << q;
            EXPECT_TRUE(same(sorted_first.quantile(q, true), want)) << q;
        }
        EXPECT_EQ(by_selection.has_sorted(), x.size() < 8192);
    }
}

TEST(PairedSums, GiveEachSumsBits) {
    const auto series = adversarial_series();
    for (const auto& a : series)
        for (const auto& b : series) {
            if (a.size() != b.size()) continue;
            const auto s = stats::sum_pair(a, b);
            EXPECT_TRUE(same(s[0], stats::sum(a)) && same(s[1], stats::sum(b))) << a.size();
            const double ma = stats::mean(a), mb = stats::mean(b);
            const auto q = stats::squared_deviations_pair(a, ma, b, mb);
            EXPECT_TRUE(same(q[0], stats::squared_deviations(a, ma)) && same(q[1], stats::squared_deviations(b, mb)));
        }
}

}  // namespace
