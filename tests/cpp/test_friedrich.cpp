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

void expect_coefficients(const std::vector<double>& got, const std::vector<double>& want, double rtol) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rtol * std::fabs(want[i])) << "coefficient " << i;
}

// AR(1) path x[i] = 0.8 x[i-1] + N(0, 1), numpy default_rng(7), 40 samples.
const std::vector<double> AR1 = {
    0.0000000000000000e+00,  1.2301533574825742e-03,  2.9972966019445596e-01,  -3.4354127206652790e-02,
    -9.1807514052259642e-01, -1.1891308975897998e+00, -1.9429512730683023e+00, -1.4942174158572035e+00,
    1.4484131286877067e-01,  -3.7633346825631309e-01, -9.2154167442499091e-01, -2.4739128935479460e-01,
    1.5897397667622507e-01,  2.3259343033887861e-01,  -7.4439330043710172e-01, -6.2476646281295489e-01,
    1.9549002420792388e-01,  -1.1878225279187429e+00, -1.4078737833752126e+00, -3.0275217665010143e+00,
    -3.7115551529857878e+00, -4.8109791601803629e+00, -4.0838744592189720e+00, -4.5345460488188811e+00,
    -3.3563724802334036e+00, -2.5283468975624981e+00, -2.2096084626799533e+00, -4.2844464809644762e+00,
    -3.9662500806182179e+00, -3.2215010098956465e+00, -2.4638918219132098e+00, -3.5012492230359618e+00,
    -3.2787526544627004e+00, -3.6015212016267997e+00, -3.6900542007270394e+00, -1.8911447371955532e+00,
    -2.3204504650883391e+00, -1.8888820770161920e+00, -6.2671579422977974e-01, -1.0849730681271259e+00};
const std::vector<double> AR1_M3_R5 = {-0.05558613392867372, -0.31828395160378525, -0.558278927232573,
                                       -0.34184852125001264};

std::vector<double> scaled(std::vector<double> v, int k) {
    for (double& a : v) a = std::ldexp(a, k);
    return v;
}

}  // namespace

TEST(Friedrich, MatchesNumpyBinnedPolyfit) {
    struct Case {
        std::vector<double> x;
        std::uint64_t m, r;
        std::vector<double> want;
        double rtol;
    };
    const Case cases[] = {
        // Hand-derived too: edges 0, 0.5, 1; points (0, 1) and (1, -1).
        {{0, 1, 0, 1, 0}, 1, 2, {-2.0, 1.0}, 1e-14},
        {AR1, 3, 5, AR1_M3_R5, 1e-10},
        // More bins than samples: empty bins give no point.
        {AR1, 2, 30, {0.02601846949686231, -0.06199330899705112, -0.3271538489808545}, 1e-10},
        // Seven coefficients from four points: the minimum-norm solution.
        {AR1, 6, 4,
         {4.4439819331843373e-04, -9.4199525924490185e-04, -9.2636116232562842e-04, 2.5400012713011112e-02,
          -1.3164869041591573e-01, -5.1365174328335828e-01, -3.6704306757988908e-01},
         1e-8},
        // Edges 0, 1/3, 2/3, 1: the middle bin is empty, K = 2 points.
        {{0, 1, 5}, 2, 3, {1.5, 1.5, 1.0}, 1e-14},
        // Distinct signal [0, 1, 3, 2]: from r = 4 on, and at any huge r
        // (exact edge positions), each value has its own bin: np.polyfit(s, np.diff(x), 2).
        {{0, 1, 3, 2, 7}, 2, 4, {-1.7500000000000033, 4.950000000000008, 0.44999999999999146}, 1e-12},
        {{0, 1, 3, 2, 7}, 2, 1u << 20, {-1.7500000000000033, 4.950000000000008, 0.44999999999999146}, 1e-12},
        {{0, 1, 3, 2, 7}, 2, U64_MAX, {-1.7500000000000033, 4.950000000000008, 0.44999999999999146}, 1e-12},
        // The fit commutes with scaling x by s: coefficient p becomes c_p s^(1 - p). Without
        // scaling the powers, 2^400 overflowed X^3 and 2^-400 underflowed it: zeros.
        {scaled(AR1, 400), 3, 5, {std::ldexp(AR1_M3_R5[0], -800), std::ldexp(AR1_M3_R5[1], -400), AR1_M3_R5[2],
                                  std::ldexp(AR1_M3_R5[3], 400)}, 1e-10},
        {scaled(AR1, -400), 3, 5, {std::ldexp(AR1_M3_R5[0], 800), std::ldexp(AR1_M3_R5[1], 400), AR1_M3_R5[2],
                                   std::ldexp(AR1_M3_R5[3], -400)}, 1e-10},
        {scaled(AR1, 1000), 3, 5, {0.0, std::ldexp(AR1_M3_R5[1], -1000), AR1_M3_R5[2],
                                   std::ldexp(AR1_M3_R5[3], 1000)}, 1e-10},
    };
    for (const auto& c : cases)
        expect_coefficients(helpers::estimate_friedrich_coefficients(c.x, c.m, c.r), c.want, c.rtol);
}

TEST(Friedrich, FailuresGiveMPlusOneNans) {
    struct Case {
        std::vector<double> x;
        std::uint64_t m, r;
    };
    const Case cases[] = {
        {{0, 1, 0, 1, 0}, 0, 2},          // degree 0
        {{0, 1, 0, 1, 0}, 1, 0},          // no bins
        {{4.0}, 3, 2},                    // no step
        {{2, 2, 2, 2}, 2, 2},             // constant: equal edges
        {{0, 0, 0, 1, 2}, 1, 2},          // edges 0, 0, 1 repeat
        {{0, -NaN, 1, 2}, 1, 2},          // a NaN of either sign lands on an outer edge
        {{0, 1, INFINITY, 2}, 1, 2},      // and so does an infinity
        {{-1e308, 1e308, 0.0}, 1, 2},     // the middle edge overflows
        {{0, 1, 0, 1, 0}, 1, I64_MAX},    // tied values share an edge at any huge r
        {{1e308, 1.7e308, 0}, 1, 1},      // the level sum overflows
        {{1e308, 5e-324, NaN}, 3, 3},     // a NaN drift: not a zero polynomial
    };
    for (const auto& c : cases) {
        const auto got = helpers::estimate_friedrich_coefficients(c.x, c.m, c.r);
        ASSERT_EQ(got.size(), c.m + 1);
        for (double v : got) EXPECT_TRUE(std::isnan(v)) << "m=" << c.m << " r=" << c.r;
    }
}

TEST(Friedrich, DegreeBeyondTheFittedRangeGivesNoCoefficients) {
    const std::vector<double> x{0, 1, 3, 2, 7};
    for (std::uint64_t m : {std::uint64_t{65}, I64_MAX, U64_MAX})  // m + 1 would wrap to 0 at the last
        EXPECT_TRUE(helpers::estimate_friedrich_coefficients(x, m, 2).empty());
    EXPECT_EQ(helpers::estimate_friedrich_coefficients(x, 64, 2).size(), 65u);
}
