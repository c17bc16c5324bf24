// The drift fit's quantile bins at any bin count: the labels (or the refusal)
// of a scan over all r + 1 edges, however the routine avoids the scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "helpers/series.h"
#include "numeric/stats.h"
#include "test_util.h"

namespace {

// Every edge in turn, by its definition; labels by counting the edges below.
std::optional<std::vector<std::uint64_t>> scanned_labels(const std::vector<double>& x, std::uint64_t r) {
    std::vector<double> sorted = x;
    std::sort(sorted.begin(), sorted.end(), stats::total_less);
    std::vector<double> edges;
    for (std::uint64_t k = 0; k <= r; ++k) {
        const double e = stats::quantile_sorted(sorted, k == r ? 1.0 : double(k) / double(r));
        if (!std::isfinite(e) || (k > 0 && e == edges.back())) return std::nullopt;
        edges.push_back(e);
    }
    std::sort(edges.begin(), edges.end());
    std::vector<std::uint64_t> out;
    for (double v : x) {
        const auto below = std::uint64_t(std::lower_bound(edges.begin(), edges.end(), v) - edges.begin());
        out.push_back(v == sorted[0] ? 0 : std::min(below - 1, r - 1));
    }
    return out;
}

std::optional<std::vector<std::uint64_t>> labels(const std::vector<double>& x, std::uint64_t r) {
    auto cut = helpers::qcut_labels(x, r);
    if (!cut) return std::nullopt;
    return cut->labels;
}

// 1e8 plus multiples of `gap` ulps (2^-26 each), shuffled.
std::vector<double> ulp_spaced(double gap, std::size_t n = 40) {
    std::vector<double> x(n);
    for (std::size_t k = 0; k < n; ++k) x[k] = 1e8 + double((17 * k) % n) * gap * 0x1p-26;
    return x;
}

std::vector<double> tied(std::size_t n) {
    std::vector<double> x = noise(n, 3);
    for (double& v : x) v = std::round(v * 2.0) / 2.0;
    return x;
}

TEST(QuantileCut, AgreesWithTheScanFromOneBinToFourPerSample) {
    const std::vector<std::vector<double>> series = {
        noise(40, 1), tied(40), ulp_spaced(1), ulp_spaced(3), ulp_spaced(1500), ulp_spaced(1700), ulp_spaced(2500),
        // A rounded difference that carries edges past the next sample.
        {-1.0, 1.5e-16, 2e-16, 3e-16, 1.0, 0.0}, {5e-324, 1e-323, 0.0, 3e-323, -5e-324},
        // Across 1.0 the doubles thin out: edges spaced below the coarser
        // spacing, and not more of them than doubles in all.
        {1.0 - 100 * 0x1p-53, 1.0 + 100 * 0x1p-52}, {1.0 + 0x1p-52, 1.0 - 0x1p-53, 1.0 + 40 * 0x1p-52, 1.0 - 30 * 0x1p-53},
    };
    for (std::size_t i = 0; i < series.size(); ++i)
        for (std::uint64_t r : {1, 2, 3, 38, 39, 40, 120, 150, 170, 190, 1000, 65535, 65536, 65537, 65538, 300000})
            EXPECT_EQ(labels(series[i], r), scanned_labels(series[i], r)) << i << " r " << r;
    // Past four bins per sample.
    const std::vector<double> long_noise = noise(20001, 2), long_tied = tied(20001);
    for (std::uint64_t r : {80003, 80004, 80005}) {
        EXPECT_EQ(labels(long_noise, r), scanned_labels(long_noise, r)) << r;
        EXPECT_EQ(labels(long_tied, r), scanned_labels(long_tied, r)) << r;
    }
}

TEST(QuantileCut, AgreesWithTheScanOnShortAwkwardSeries) {
    std::mt19937_64 rng(11);
    const double pool[] = {0.0, -0.0, 1.0, 1.0 + 0x1p-52, 1.0 + 0x1p-50, 1.0 - 0x1p-52, 2.0, -1.0, 3e-16, 1e300};
    std::uniform_int_distribution<int> pick(0, 9), length(2, 7);
    std::uniform_real_distribution<double> log_bins(0.0, 8.0);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<double> x(length(rng));
        for (double& v : x) v = pool[pick(rng)];
        const auto r = static_cast<std::uint64_t>(std::exp(log_bins(rng)));
        ASSERT_EQ(labels(x, r), scanned_labels(x, r)) << trial;
    }
}

TEST(QuantileCut, HugeBinCounts) {
    // r - 1 and r are the same double: the last two edges are equal.
    EXPECT_FALSE(helpers::qcut_labels(std::vector<double>{0, 1, 2, 3}, (std::uint64_t{1} << 63) - 1));
    EXPECT_FALSE(helpers::qcut_labels(std::vector<double>{0, 1, 2, 3}, U64_MAX));
    EXPECT_FALSE(helpers::qcut_labels(noise(1000, 4), std::uint64_t{1} << 62));
    // Far more edges than doubles between neighbouring samples.
    EXPECT_FALSE(helpers::qcut_labels(ulp_spaced(1), std::uint64_t{1} << 40));

    // Across 1.0, edges spaced within rounding of the doubles above it, and
    // fewer of them than doubles between the samples: within 2^20 edges they
    // are compared one by one, beyond that the cut is refused.
    const std::vector<double> across = {1.0 - 0x1p-34, 1.0 + 0x1p-33};
    EXPECT_EQ(labels(across, (1 << 20) - 1), scanned_labels(across, (1 << 20) - 1));
    EXPECT_FALSE(helpers::qcut_labels(std::vector<double>{1.0 - 0x1p-32, 1.0 + 0x1p-31}, 3 << 20));
}

}  // namespace
