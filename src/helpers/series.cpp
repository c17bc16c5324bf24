#include "helpers/series.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>

#include "numeric/stats.h"

namespace helpers {

UniqueCounts unique_counts(std::span<const double> x) {
    UniqueCounts out;
    const DistinctValues g = distinct_values_sorted(stats::sorted_total(x));
    out.values = g.values;
    out.counts = g.counts;
    if (g.nans > 0) {
        out.values.push_back(std::numeric_limits<double>::quiet_NaN());
        out.counts.push_back(g.nans);
    }
    return out;
}

DistinctValues distinct_values_sorted(std::span<const double> sorted) {
    DistinctValues out;
    // Every NaN sorts last.
    std::size_t end = sorted.size();
    while (end > 0 && std::isnan(sorted[end - 1])) --end;
    out.nans = sorted.size() - end;
    for (std::size_t i = 0; i < end;) {
        std::size_t j = i + 1;
        while (j < end && sorted[j] == sorted[i]) ++j;
        out.values.push_back(sorted[i]);
        out.counts.push_back(j - i);
        i = j;
    }
    return out;
}

DistinctValues distinct_values_hashed(std::span<const double> x) {
    // Open addressing with linear probing on the bit patterns, at most half
    // full; each slot names its group. -0.0 is entered as +0.0 (they are one
    // group) and NaNs are only counted, so a NaN pattern marks an empty slot.
    constexpr std::uint64_t EMPTY = ~std::uint64_t{0};
    constexpr std::uint64_t NEGATIVE_ZERO = std::uint64_t{1} << 63;
    const std::size_t n = x.size();
    int bits = 4;
    while ((std::size_t{1} << bits) < 2 * n) ++bits;
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[mask + 1]);
    std::unique_ptr<std::size_t[]> group_of(new std::size_t[mask + 1]);
    std::fill_n(keys.get(), mask + 1, EMPTY);
    DistinctValues out;
    out.values.reserve(n);
    out.counts.reserve(n);
    bool negative_zero = false;
    std::size_t zero_group = 0;
    for (const double v : x) {
        if (v != v) {
            ++out.nans;
            continue;
        }
        std::uint64_t b = std::bit_cast<std::uint64_t>(v);
        if (b == NEGATIVE_ZERO) {
            negative_zero = true;
            b = 0;
        }
        // Fold the high bits (sign, exponent, leading mantissa) down before
        // the multiplicative hash, whose top bits it then reads.
        std::size_t h = static_cast<std::size_t>(((b ^ (b >> 32)) * 0x9E3779B97F4A7C15u) >> (64 - bits));
        while (keys[h] != b && keys[h] != EMPTY) h = (h + 1) & mask;
        if (keys[h] == EMPTY) {
            keys[h] = b;
            group_of[h] = out.values.size();
            if (b == 0) zero_group = out.values.size();
            out.values.push_back(std::bit_cast<double>(b));
            out.counts.push_back(0);
        }
        ++out.counts[group_of[h]];
    }
    if (negative_zero) out.values[zero_group] = -0.0;
    return out;
}

DistinctValues distinct_values(std::span<const double> x) {
    if (x.size() < HASHED_DISTINCT_LIMIT) return distinct_values_hashed(x);
    return distinct_values_sorted(stats::sorted_total(x));
}

std::vector<std::uint64_t> length_sequences_where(const std::vector<bool>& mask) {
    std::vector<std::uint64_t> runs;
    std::uint64_t run = 0;
    for (bool b : mask) {
        if (b) {
            ++run;
        } else if (run > 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    if (run > 0) runs.push_back(run);
    if (runs.empty()) runs.push_back(0);
    return runs;
}

double energy(std::span<const double> x) {
    double s = -0.0;
    for (double v : x) s += v * v;
    return s;
}

double abs_change_sum(std::span<const double> x) {
    if (x.size() < 2) return 0.0;
    return stats::sum_of(x.size() - 1, [p = x.data()](std::size_t i) { return std::fabs(p[i + 1] - p[i]); });
}

double corrcoef(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    if (y.size() != n || n == 0) return std::numeric_limits<double>::quiet_NaN();
    const double mx = stats::sum(x) / static_cast<double>(n);
    const double my = stats::sum(y) / static_cast<double>(n);
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    if (sxx <= 0.0 || syy <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    double r = sxy / std::sqrt(syy * sxx);
    if (r < -1.0) r = -1.0;
    if (r > 1.0) r = 1.0;
    return r;
}

}  // namespace helpers
