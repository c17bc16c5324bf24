#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "numeric/spectral.h"
#include "numeric/stats.h"

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

std::vector<double> normal(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> d(1.5, 2.0);
    std::vector<double> x(n);
    for (double& v : x) v = d(gen);
    return x;
}

// Everything the FFT routines give for one series, as raw bits.
std::vector<std::uint64_t> fingerprint(const std::vector<double>& x) {
    std::vector<std::uint64_t> out;
    for (const auto& c : spectral::rfft(x)) {
        out.push_back(std::bit_cast<std::uint64_t>(c.real()));
        out.push_back(std::bit_cast<std::uint64_t>(c.imag()));
    }
    for (double v : spectral::acovf_adjusted(x, x.size())) out.push_back(std::bit_cast<std::uint64_t>(v));
    for (double v : spectral::welch_psd(x)) out.push_back(std::bit_cast<std::uint64_t>(v));
    return out;
}

TEST(Rfft, DecisiveCases) {
    const auto f = spectral::rfft(std::vector<double>{1, 2, 3, 4});
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], spectral::Complex(10, 0));
    EXPECT_NEAR(f[1].real(), -2, 1e-15);
    EXPECT_NEAR(f[1].imag(), 2, 1e-15);
    EXPECT_NEAR(f[2].real(), -2, 1e-15);
    EXPECT_EQ(spectral::rfft(std::vector<double>{5}), (spectral::Spectrum{{5, 0}}));
    // A sum handed in by the caller changes nothing.
    const auto x = normal(101, 4);
    EXPECT_EQ(spectral::rfft(x, stats::sum(x)), spectral::rfft(x));
    EXPECT_EQ(spectral::acovf_adjusted(x, 100, stats::sum(x)), spectral::acovf_adjusted(x, 100));
    EXPECT_TRUE(spectral::rfft(std::vector<double>{}).empty());
    // A non-finite mean is not removed: bin 0 is the sum, the others are not finite.
    const auto g = spectral::rfft(std::vector<double>{1, INF, 2, 3});
    EXPECT_EQ(g[0].real(), INF);
    EXPECT_FALSE(std::isfinite(g[1].real()) && std::isfinite(g[1].imag()));
    // A constant series has exactly zero bins past 0 although 0.1 * 6 / 6 != 0.1.
    const auto c = spectral::rfft(std::vector<double>(6, 0.1));
    for (std::size_t k = 1; k < c.size(); ++k) EXPECT_EQ(c[k], spectral::Complex(0, 0));
}

TEST(Acovf, MatchesDirectSumsAtEveryLag) {
    for (std::size_t n : {1u, 2u, 7u, 64u, 65u, 1000u}) {
        const auto x = normal(n, 7);
        long double mean = 0;
        for (double v : x) mean += v;
        mean /= n;
        const auto acov = spectral::acovf_adjusted(x, std::numeric_limits<std::uint64_t>::max());
        ASSERT_EQ(acov.size(), n);
        for (std::size_t k = 0; k < n; ++k) {
            long double s = 0;
            for (std::size_t i = 0; i + k < n; ++i) s += (x[i] - mean) * (x[i + k] - mean);
            // FFT rounding: a few ulps of acov_0 times n / (n - k).
            EXPECT_NEAR(acov[k], static_cast<double>(s / (n - k)), 1e-13 * acov[0] * n / (n - k)) << n << " " << k;
        }
        // A lag's value does not depend on how many lags are asked for.
        const auto short_one = spectral::acovf_adjusted(x, n / 2);
        EXPECT_EQ(short_one, std::vector<double>(acov.begin(), acov.begin() + n / 2 + 1));
    }
}

TEST(Acovf, DecisiveCases) {
    const auto a = spectral::acovf_adjusted(std::vector<double>{1, 2, 3}, 10);
    ASSERT_EQ(a.size(), 3u);  // no more lags than the series has
    EXPECT_NEAR(a[0], 2.0 / 3.0, 1e-15);
    EXPECT_NEAR(a[1], 0.0, 1e-15);
    EXPECT_NEAR(a[2], -1.0, 1e-15);
    const auto r = spectral::acf_adjusted(std::vector<double>{1, 2, 3}, 2);
    EXPECT_EQ(r[0], 1.0);
    EXPECT_NEAR(r[2], -1.5, 1e-15);
    EXPECT_TRUE(spectral::acovf_adjusted(std::vector<double>{}, 3).empty());
    EXPECT_TRUE(spectral::acf_adjusted(std::vector<double>{}, 3).empty());
    // Constant: exactly zero autocovariance, so an undefined autocorrelation.
    const std::vector<double> flat(6, 0.1);
    for (double v : spectral::acovf_adjusted(flat, 5)) EXPECT_EQ(v, 0.0);
    for (double v : spectral::acf_adjusted(flat, 3)) EXPECT_TRUE(std::isnan(v));
    const auto p = spectral::pacf_ld(flat, 3);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0], 1.0);
    for (std::size_t k = 1; k < 4; ++k) EXPECT_TRUE(std::isnan(p[k]));
    // The recursion stops at a non-finite autocovariance.
    const std::vector<double> acov{2.0, 1.0, NaN, 0.5};
    const auto q = spectral::pacf_from_acovf(acov, 3);
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
