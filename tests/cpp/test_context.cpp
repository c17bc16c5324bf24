// Every quantity of the series context gives the bits of the routine that
// defines it, whichever slot is asked first.
#include <gtest/gtest.h>

#include <array>

#include "calculators/context.h"
#include "numeric/stats.h"
#include "test_util.h"

namespace {

using Context = calculators::SeriesContext;

TEST(SeriesContext, SlotsGiveTheDefiningRoutinesBits) {
    double (*const slots[])(Context&) = {[](Context& c) { return c.sum(); }, [](Context& c) { return c.mean(); },
                                         [](Context& c) { return c.variance(); }, [](Context& c) { return c.max(); },
                                         [](Context& c) { return c.min(); }};
    for (const auto& x : awkward_series()) {
        const double want[] = {stats::sum(x), stats::mean(x), stats::var(x), stats::max(x), stats::min(x)};
        for (const auto& order : {std::array{0, 1, 2, 3, 4}, std::array{2, 1, 0, 4, 3}}) {
            Context c(x);
            for (int k : order) EXPECT_TRUE(same(slots[k](c), want[k])) << "slot " << k << " n " << x.size();
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
