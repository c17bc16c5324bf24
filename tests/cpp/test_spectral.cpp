#include <gtest/gtest.h>

#include <thread>

#include "numeric/spectral.h"
#include "test_util.h"

namespace {

std::vector<double> normal(std::size_t n, unsigned seed) {
    std::vector<double> x = noise(n, seed);
    for (double& v : x) v = 1.5 + 2.0 * v;
    return x;
}

// Everything the FFT routines give for one series, as raw bits.
std::vector<std::uint64_t> fingerprint(const std::vector<double>& x) {
    std::vector<std::uint64_t> out;
    for (const auto& c : spectral::rfft(x)) {
        out.push_back(bits(c.real()));
        out.push_back(bits(c.imag()));
    }
    for (double v : spectral::acovf_adjusted(x, x.size())) out.push_back(bits(v));
    for (double v : spectral::welch_psd(x)) out.push_back(bits(v));
    return out;
}

TEST(Acovf, AnEmptySeriesHasNoLags) {
    EXPECT_TRUE(spectral::acovf_adjusted(std::vector<double>{}, 3).empty());
    EXPECT_TRUE(spectral::acf_from_acovf({}, 3).empty());
}

// By hand for [1, 2, 3, 4]: d = [-1.5, -0.5, 0.5, 1.5], acov_k = sum d_i
// d_{i+k} / (n - k) = [5/4, 5/12, -3/4, -9/4]; Levinson-Durbin: phi_11 = 1/3,
// phi_22 = (-3/4 - 5/36) / (5/4 * 8/9) = -4/5 (statsmodels' acovf(adjusted=
// True), acf(adjusted=True) and pacf(method="ldadjusted") agree).
TEST(Acovf, AutocorrelationsOfAShortRamp) {
    const std::vector<double> x{1, 2, 3, 4};
    const auto near = [](const std::vector<double>& got, const std::vector<double>& want) {
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-14) << k;
    };
    near(spectral::acovf_adjusted(x, 3), {5.0 / 4, 5.0 / 12, -3.0 / 4, -9.0 / 4});
    near(spectral::acf_adjusted(x, 9), {1.0, 1.0 / 3, -3.0 / 5, -9.0 / 5});
    near(spectral::pacf_ld(x, 2), {1.0, 1.0 / 3, -4.0 / 5});
}

// The recursion stops at a non-finite autocovariance.
TEST(Pacf, StopsAtANonFiniteAutocovariance) {
    const auto q = spectral::pacf_from_acovf(std::vector<double>{2.0, 1.0, NaN, 0.5}, 3);
    EXPECT_EQ(q[1], 0.5);
    EXPECT_TRUE(std::isnan(q[2]) && std::isnan(q[3]));
}

TEST(Planner, DroppingPlansNeverChangesAResult) {
    std::vector<std::vector<double>> series;
    for (std::size_t n : {1u, 6u, 100u, 255u, 256u, 1000u, 1031u, 4096u}) series.push_back(normal(n, 3));
    std::vector<std::vector<std::uint64_t>> first;
    for (const auto& x : series) first.push_back(fingerprint(x));
    spectral::PLANNER.clear();
    for (std::size_t i = 0; i < series.size(); ++i) EXPECT_EQ(fingerprint(series[i]), first[i]);
    // Many lengths: the cache stays bounded and evicts, and FFTW forgets its
    // wisdom on the way; the results do not move.
    for (std::size_t n = 2; n < 3 * spectral::Planner::MAX_PLANS; ++n) spectral::rfft(normal(n, 1));
    EXPECT_LE(spectral::PLANNER.cached(), spectral::Planner::MAX_PLANS);
    for (std::size_t i = 0; i < series.size(); ++i) EXPECT_EQ(fingerprint(series[i]), first[i]);
}

TEST(Planner, ConcurrentTransformsGiveTheSerialBits) {
    std::vector<std::vector<double>> series;
    for (std::size_t n = 1; n < 600; n += 37) series.push_back(normal(n, static_cast<unsigned>(n)));
    std::vector<std::vector<std::uint64_t>> want;
    for (const auto& x : series) want.push_back(fingerprint(x));
    std::vector<int> ok(8, 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t i = 0; i < series.size(); ++i) {
                    // Plans dropped while other threads execute them.
                    if (t == 0 && i % 5 == 0) spectral::PLANNER.clear();
                    if (fingerprint(series[(i + t) % series.size()]) != want[(i + t) % series.size()]) ok[t] = 0;
                }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << "thread " << t;
}

}  // namespace
