#include "helpers/series.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <utility>

#include "numeric/constants.h"
#include "numeric/stats.h"

namespace helpers {

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

namespace {

// Open addressing with linear probing on the bit patterns, at most half
// full. -0.0 is entered as +0.0 (they are one group) and NaNs are only
// counted, so a NaN pattern marks an empty slot.
constexpr std::uint64_t EMPTY = ~std::uint64_t{0};

struct GroupTable {
    int bits = 4;
    std::unique_ptr<std::uint64_t[]> keys;

    explicit GroupTable(std::size_t n) {
        while ((std::size_t{1} << bits) < 2 * n) ++bits;
        keys.reset(new std::uint64_t[slots()]);
        std::fill_n(keys.get(), slots(), EMPTY);
    }
    std::size_t slots() const { return std::size_t{1} << bits; }
};

// The key of v (not NaN): its bits, +0.0's for -0.0.
std::uint64_t group_key(double v) {
    const auto b = std::bit_cast<std::uint64_t>(v);
    return b == (std::uint64_t{1} << 63) ? 0 : b;
}

// The slot holding key k, or the empty slot where it goes. The high bits
// (sign, exponent, leading mantissa) are folded down before the
// multiplicative hash, whose top bits are read.
std::size_t probe(const std::uint64_t* keys, int bits, std::uint64_t k) {
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    std::size_t h = static_cast<std::size_t>(((k ^ (k >> 32)) * 0x9E3779B97F4A7C15u) >> (64 - bits));
    while (keys[h] != k && keys[h] != EMPTY) h = (h + 1) & mask;
    return h;
}

}  // namespace

DistinctValues distinct_values_hashed(std::span<const double> x) {
    const std::size_t n = x.size();
    // 32-bit counts and slots (the table is for short series).
    if (n >= (std::size_t{1} << 31)) return distinct_values_sorted(stats::sorted_total(x));
    GroupTable table(n);
    std::uint64_t* const keys = table.keys.get();
    const int bits = table.bits;
    // Counts per slot, and the slots in the order their groups appear.
    std::unique_ptr<std::uint32_t[]> counts(new std::uint32_t[table.slots()]);
    std::unique_ptr<std::uint32_t[]> order(new std::uint32_t[n > 0 ? n : 1]);
    std::uint32_t groups = 0;
    std::uint64_t nans = 0;
    bool negative_zero = false;
    for (const double v : x) {
        if (v != v) {
            ++nans;
            continue;
        }
        negative_zero |= std::bit_cast<std::uint64_t>(v) == (std::uint64_t{1} << 63);
        const std::uint64_t k = group_key(v);
        const std::size_t slot = probe(keys, bits, k);
        if (keys[slot] == EMPTY) {
            keys[slot] = k;
            counts[slot] = 0;
            order[groups++] = static_cast<std::uint32_t>(slot);
        }
        ++counts[slot];
    }
    DistinctValues out;
    out.nans = nans;
    out.values.resize(groups);
    out.counts.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t k = keys[order[g]];
        out.values[g] = k == 0 && negative_zero ? -0.0 : std::bit_cast<double>(k);
        out.counts[g] = counts[order[g]];
    }
    return out;
}

std::size_t count_groups_hashed(std::span<const double> x, bool stop_at_repeat) {
    GroupTable table(x.size());
    std::uint64_t* const keys = table.keys.get();
    const int bits = table.bits;
    std::size_t groups = 0;
    bool nan = false;
    for (const double v : x) {
        if (v != v) {
            if (nan && stop_at_repeat) break;
            nan = true;
            continue;
        }
        const std::uint64_t k = group_key(v);
        const std::size_t slot = probe(keys, bits, k);
        if (keys[slot] == EMPTY) {
            keys[slot] = k;
            ++groups;
        } else if (stop_at_repeat) {
            break;
        }
    }
    return groups + (nan ? 1 : 0);
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
    if (y.size() != n || n == 0) return numeric::NaN;
    const double mx = stats::sum(x) / static_cast<double>(n);
    const double my = stats::sum(y) / static_cast<double>(n);
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    if (sxx <= 0.0 || syy <= 0.0) return numeric::NaN;
    double r = sxy / std::sqrt(syy * sxx);
    if (r < -1.0) r = -1.0;
    if (r > 1.0) r = 1.0;
    return r;
}

}  // namespace helpers
