// Expected coefficients were computed once with numpy 2.4:
//   s, d = x[:-1], np.diff(x)
//   e = np.quantile(s, np.arange(r + 1) / r)               # NaN result if not finite or repeated
//   b = np.clip(np.searchsorted(e, s, side="left") - 1, 0, r - 1); b[s == e[0]] = 0
//   X, Y = bin means of s and d over the occupied bins, in bin order
//   np.polyfit(X, Y, m)   # scaled Vandermonde, lstsq with rcond = len(X) * eps
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "helpers/series.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// Short decimals, exact in binary.
const std::vector<double> WALK = {0, 1.25, 0.5, -0.75, -1.5, -0.25, 1.0, 1.75, 0.625, -0.125, -1.125, 0.375, 2.0};
const std::vector<double> WALK_M3_R5 = {0.7064984588300111, -0.40231089817680227, -1.44142915869677,
                                        0.5101542795918097};
const std::vector<double> DISTINCT = {0, 1, 3, 2, 7};  // np.polyfit(s, np.diff(x), 2) on the raw points
const std::vector<double> DISTINCT_M2 = {-1.7500000000000033, 4.950000000000008, 0.44999999999999146};

}  // namespace

TEST(Friedrich, MatchesNumpyBinnedPolyfitOrFailsWithMPlusOneNans) {
    struct Case {
        std::vector<double> x;
        std::uint64_t m, r;
        std::vector<double> want;  // empty: the fit fails
    };
    const Case cases[] = {
        {{0, 1, 0, 1, 0}, 1, 2, {-2.0, 1.0}},  // hand-derived too: edges 0, 0.5, 1; points (0, 1), (1, -1)
        {WALK, 3, 5, WALK_M3_R5},
        {WALK, 2, 30, {-0.04741835193472671, -0.5847369423186003, 0.29367883261400834}},  // empty bins: no point
        {WALK, 6, 4,  // seven coefficients from four points: the minimum-norm solution
         {0.029672526588410308, 0.12650743017323496, -0.0021902990837758467, 0.13410601422337579,
          -0.31103181414653835, -0.9174583601986298, 0.39044378512990596}},
        {{0, 1, 5}, 2, 3, {1.5, 1.5, 1.0}},  // edges 0, 1/3, 2/3, 1: the middle bin is empty, K = 2
        // From r = 4 on, and at any huge r (exact edge positions), each distinct value has its own bin.
        {DISTINCT, 2, 4, DISTINCT_M2}, {DISTINCT, 2, 1u << 20, DISTINCT_M2}, {DISTINCT, 2, U64_MAX, DISTINCT_M2},
        {{0, 1, 0, 1, 0}, 0, 2, {}},        // degree 0
        {{0, 1, 0, 1, 0}, 1, 0, {}},        // no bins
        {{4.0}, 3, 2, {}},                  // no step
        {{2, 2, 2, 2}, 2, 2, {}},           // constant: equal edges
        {{0, 0, 0, 1, 2}, 1, 2, {}},        // edges 0, 0, 1 repeat
        {{0, -NaN, 1, 2}, 1, 2, {}},        // a NaN of either sign lands on an outer edge
        {{0, 1, INFINITY, 2}, 1, 2, {}},    // and so does an infinity
        {{-1e308, 1e308, 0.0}, 1, 2, {}},   // the middle edge overflows
        {{0, 1, 0, 1, 0}, 1, I64_MAX, {}},  // tied values share an edge at any huge r
    };
    for (const auto& c : cases) {
        const auto got = helpers::estimate_friedrich_coefficients(c.x, c.m, c.r);
        ASSERT_EQ(got.size(), c.m + 1);
        for (std::size_t i = 0; i <= c.m; ++i)
            if (c.want.empty())
                EXPECT_TRUE(std::isnan(got[i])) << "m=" << c.m << " r=" << c.r;
            else
                EXPECT_NEAR(got[i], c.want[i], 1e-12 * std::fabs(c.want[i])) << "m=" << c.m << " coefficient " << i;
    }
}

TEST(Friedrich, DegreeBeyondTheFittedRangeGivesNoCoefficients) {
    for (std::uint64_t m : {std::uint64_t{65}, I64_MAX, U64_MAX})  // m + 1 would wrap to 0 at the last
        EXPECT_TRUE(helpers::estimate_friedrich_coefficients(DISTINCT, m, 2).empty());
    EXPECT_EQ(helpers::estimate_friedrich_coefficients(DISTINCT, 64, 2).size(), 65u);
}
