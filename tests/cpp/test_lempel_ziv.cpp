// The Lempel-Ziv symbols against a plain binary search over edges computed
// from their definition, where runs of edges round to one double (the
// phrase count only sees which samples share a symbol, not the symbols).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "calculators/lempel_ziv.h"
#include "test_util.h"

namespace {

// The first k in [0, b) with v <= e_{k+1}; e_i = i * ((hi - lo) / b) + lo,
// e_b = hi.
std::uint64_t bisect(double v, double lo, double hi, std::uint64_t b) {
    const double step = (hi - lo) / static_cast<double>(b);
    auto edge = [&](std::uint64_t i) { return i >= b ? hi : static_cast<double>(i) * step + lo; };
    std::uint64_t a = 0, c = b;
    while (a < c) {
        const std::uint64_t mid = a + (c - a) / 2;
        if (!(v > edge(mid + 1)))
            c = mid;
        else
            a = mid + 1;
    }
    return a;
}

TEST(LempelZiv, SymbolsAreThoseOfTheBinarySearch) {
    std::mt19937_64 g(5);
    std::normal_distribution<double> normal;
    std::vector<double> ulps, two_clusters, subnormal;
    for (int k = 0; k < 1000; ++k) {
        ulps.push_back(1.0 + static_cast<double>(g() % 50) * 0x1p-52);
        two_clusters.push_back(normal(g) * 1e-3 - (k % 3 == 0 ? 1.0 : 0.0));
        subnormal.push_back(static_cast<double>(g() % 1000) * 5e-324);
    }
    const std::vector<std::vector<double>> series = {ulps, two_clusters, subnormal, noise(400, 6),
                                                     {0.004477116866966169, 2.928306550154137, 1.5}};
    const std::uint64_t BINS[] = {1, 2, 7, 1000, 1'000'000'007, 3'000'000'000'000'000, 12'345'678'901'234'567,
                                  1ull << 62, (1ull << 63) - 1};
    for (const auto& x : series) {
        const double lo = *std::min_element(x.begin(), x.end()), hi = *std::max_element(x.begin(), x.end());
        for (const std::uint64_t b : BINS) {
            const calculators::BinEdges edges(lo, hi, b);
            const calculators::BinSymbols symbol(edges, b);
            for (const double v : x) ASSERT_EQ(symbol(v), bisect(v, lo, hi, b)) << v << " " << b;
        }
    }
}

}  // namespace
