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
#include "test_util.h"

namespace {

using Slot = double (*)(calculators::SeriesContext&);

TEST(SeriesContext, SlotsGiveTheDefiningRoutinesBits) {
    const Slot sum = [](calculators::SeriesContext& c) { return c.sum(); };
    const Slot mean = [](calculators::SeriesContext& c) { return c.mean(); };
    const Slot variance = [](calculators::SeriesContext& c) { return c.variance(); };
    const Slot max = [](calculators::SeriesContext& c) { return c.max(); };
    const Slot min = [](calculators::SeriesContext& c) { return c.min(); };
    const std::vector<std::vector<Slot>> orders = {{sum, mean, variance, max, min}, {variance, mean, sum, min, max}};
    for (const auto& x : awkward_series()) {
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

TEST(PairedSums, GiveEachSumsBits) {
    const auto series = awkward_series();
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
