// The SIMD lanes of the window distances, on every target of the machine,
// give the bits of the scalar code: a window alone (fewer than a vector)
// takes the scalar code, the same window inside a long series a lane.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "helpers/window_distances.h"
#include "test_util.h"

namespace {

std::vector<double> adversarial_series() {
    std::mt19937_64 g(5);
    std::normal_distribution<double> normal;
    std::vector<double> x(400);
    for (double& v : x) v = normal(g);
    // Runs of constants, ties, NaN, infinities, subnormals, squares that
    // overflow, and a window whose two-sum leaves a finite sum with an
    // infinite compensation (the sum is redone in Neumaier's form).
    const std::vector<std::vector<double>> patches = {
        {2.5, 2.5, 2.5, 2.5, 2.5, 2.5},  {0.1, 0.1, 0.1, 0.1, 0.1},    {NaN, 1.0, -NaN},
        {INF, -INF, 3.0},                {5e-324, 0.0, -5e-324, 1e-310}, {1e200, -1e200, 1e200},
        {1.5e308, -BIG, -1e292, BIG},    {-0.0, 0.0, -0.0, 0.0},         {1.0, 1.0, 2.0, 2.0}};
    std::size_t at = 7;
    for (const auto& p : patches) {
        for (std::size_t k = 0; k < p.size(); ++k) x[at + k] = p[k];
        at += 37;
    }
    return x;
}

TEST(WindowDistances, EveryLaneGivesTheScalarBits) {
    for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        SCOPED_TRACE(hwy::TargetName(target));
        const std::vector<double> x = adversarial_series();
        std::mt19937_64 g(6);
        std::normal_distribution<double> normal;
        for (std::size_t m : {3, 4, 5, 8, 16, 17}) {
            std::vector<double> random(m), constant(m, 0.7), huge(m);
            for (double& v : random) v = normal(g);
            for (std::size_t j = 0; j < m; ++j) huge[j] = (j % 2 ? -1e300 : 1e300);
            for (const auto& q : {random, constant, huge}) {
                for (bool normalize : {true, false}) {
                    const std::vector<double> all = helpers::window_distances(x, q, normalize);
                    ASSERT_EQ(all.size(), x.size() - m + 1);
                    for (std::size_t s = 0; s < all.size(); ++s) {
                        const double alone = helpers::window_distances(std::span(x).subspan(s, m), q, normalize)[0];
                        ASSERT_TRUE(same(all[s], alone)) << "m " << m << " normalize " << normalize << " window " << s
                                                         << ": " << all[s] << " vs " << alone;
                    }
                }
            }
        }
    }
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
