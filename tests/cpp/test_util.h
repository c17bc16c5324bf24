// Values, comparisons and series the C++ tests share.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

inline constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double BIG = std::numeric_limits<double>::max();
inline constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The same bits, any NaN matching any NaN (which NaN an operation on two
// NaNs returns is the compiler's choice of operand order).
inline bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (bits(a[i]) != bits(b[i])) return false;
    return true;
}

inline std::vector<double> noise(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> x(n);
    for (double& v : x) v = normal(gen);
    return x;
}

// Sums that cancel, overflow or hide a compensation, subnormals and signed
// zeros; then lengths around the block sizes of the vectorised routines with
// few distinct values (ties), infinities and NaNs of both signs.
inline std::vector<std::vector<double>> awkward_series() {
    std::vector<std::vector<double>> out = {
        {}, {-NaN}, {-0.0, 0.0}, {0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, {1e200, -1e200, 3.0}, {INF, 1.0}, {INF, -INF},
        {1e16, 1.0, -1e16}, {5e-324, -5e-324, 1e-310, 0.0}, {1.5e308, -BIG, -1e292, BIG},
    };
    std::mt19937_64 rng(7);
    const double pool[] = {-0.0, 0.0, 1.0, -1.0, 2.5, -INF, INF, 1e308, -1e308, 3.0};
    for (std::size_t n : {1, 2, 3, 7, 15, 16, 17, 33, 2047, 2048, 2049, 4096, 5000, 9000}) {
        for (int variant = 0; variant < 12; ++variant) {
            std::vector<double> x(n);
            std::uniform_int_distribution<int> pick(0, variant < 4 ? 1 : 9);
            for (double& v : x) v = pool[pick(rng)];
            if (variant >= 8) {
                std::normal_distribution<double> gauss;
                for (double& v : x) v = std::round(gauss(rng) * 4.0) / 4.0;
            }
            std::uniform_int_distribution<std::size_t> where(0, n - 1);
            if (variant % 3 == 1) x[where(rng)] = NaN;
            if (variant % 3 == 2) {
                x[where(rng)] = -NaN;
                x[where(rng)] = NaN;
            }
            out.push_back(std::move(x));
        }
    }
    return out;
}
