// Permutation entropy: the entropy of the ordinal patterns of a series'
// windows. Memory follows the number of windows and the dimension, never
// their product.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "calculators/entropy.h"
#include "calculators/permutation_patterns.h"
#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;
using permutation::STOP_STRIDE;

// Sort key of the ordinal patterns: the numbers by value with -0.0 equal to
// 0.0, then every NaN, equal to the others. -inf's key is the smallest
// int64 and +inf's lies below the largest, which the NaNs take.
std::int64_t pattern_key(double v) {
    if (std::isnan(v)) return std::numeric_limits<std::int64_t>::max();
    return stats::total_order_key(v + 0.0);
}

// A window's pattern is the list of its samples' ranks (a stable sort by
// key, ties in index order), ordered as the base-d numbers of their digits,
// which is lexicographic order. Up to 20 samples a pattern is numbered by
// its Lehmer code: digit k counts the later samples that sort before sample
// k, and sum digit_k * (d - 1 - k)! is the pattern's place in that order.
constexpr std::size_t MAX_LEHMER = 20;  // 20! < 2^64

std::uint64_t factorial(std::size_t k) {
    std::uint64_t f = 1;
    for (std::size_t i = 2; i <= k; ++i) f *= i;
    return f;
}

// -sum p ln p over the patterns in ascending order, counts given in that
// order, from -0.0. Most patterns are rare, so the terms of small counts are
// computed once each.
double pattern_entropy(const std::vector<std::uint64_t>& counts, std::uint64_t windows) {
    const double total = static_cast<double>(windows);
    auto term = [total](std::uint64_t c) {
        const double p = static_cast<double>(c) / total;
        return std::log(p) * p;
    };
    constexpr std::uint64_t SMALL = 64;
    double small[SMALL];
    bool known[SMALL] = {};
    double h = -0.0;
    for (std::uint64_t c : counts) {
        if (c < SMALL) {
            if (!known[c]) {
                small[c] = term(c);
                known[c] = true;
            }
            h += small[c];
        } else {
            h += term(c);
        }
    }
    return -h;
}

double permutation_entropy_lehmer(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                  std::uint64_t windows) {
    std::uint64_t weight[MAX_LEHMER];
    for (std::size_t k = 0; k < d; ++k) weight[k] = factorial(d - 1 - k);
    std::uint64_t digit[MAX_LEHMER];
    auto direct = [&](std::size_t start) {
        for (std::size_t k = 0; k < d; ++k) {
            std::uint64_t c = 0;
            for (std::size_t j = k + 1; j < d; ++j) c += key[start + j] < key[start + k] ? 1 : 0;
            digit[k] = c;
        }
    };
    auto code = [&] {
        std::uint64_t c = 0;
        for (std::size_t k = 0; k < d; ++k) c += digit[k] * weight[k];
        return c;
    };
    // Dense counts when the patterns are few next to the windows: at most
    // DENSE_PER_WINDOW 4-byte counts a window (four times the 8-byte code a
    // sparse count would sort), and always up to dimension 7.
    constexpr std::uint64_t DENSE_PER_WINDOW = 8;
    constexpr std::uint64_t ALWAYS_DENSE = 5040;  // 7!
    const std::uint64_t patterns = factorial(d);
    const bool dense = d <= 12 && patterns <= DENSE_PER_WINDOW * windows + ALWAYS_DENSE;
    std::vector<std::uint32_t> table(dense ? patterns : 0, 0);
    std::vector<std::uint64_t> codes;
    if (!dense) codes.reserve(windows);
    interrupt::Stride stride(STOP_STRIDE);
    for (std::uint64_t w = 0; w < windows; ++w) {
        if (stride(d)) return NaN;
        if (tau == 1 && w > 0) {
            // The window slides by one: drop the first sample's digit and
            // let every remaining sample count the one that came in.
            const std::int64_t in = key[w + d - 1];
            for (std::size_t k = 0; k + 1 < d; ++k) digit[k] = digit[k + 1] + (in < key[w + k] ? 1 : 0);
            digit[d - 1] = 0;
        } else {
            direct(w * tau);
        }
        if (dense)
            ++table[code()];
        else
            codes.push_back(code());
    }
    std::vector<std::uint64_t> counts;
    if (dense) {
        for (std::uint32_t c : table)
            if (c != 0) counts.push_back(c);
    } else {
        counts = run_lengths(codes);
    }
    return pattern_entropy(counts, windows);
}

double permutation_entropy_ranks(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                 std::uint64_t windows) {
    const std::vector<permutation::Pattern> patterns = permutation::count_patterns(key, tau, d, windows);
    std::vector<std::uint64_t> counts;
    counts.reserve(patterns.size());
    for (std::size_t p : permutation::pattern_order(key, d, patterns)) counts.push_back(patterns[p].count);
    return pattern_entropy(counts, windows);
}

// permutation_entropy: "tau" (integer; below 1 gives NaN; default 0, so
// NaN), "dimension" (integer; below 2 gives NaN; default 0, so NaN).
// Windows of `dimension` consecutive samples starting every tau samples;
// -sum p ln p over the ordinal patterns, added in ascending pattern order.
// n < dimension: NaN. NaN samples rank highest (above +inf, as in every
// order here) and give a value. One pattern (a monotone series, a single
// window): -0.0.
Values permutation_entropy(Series x, ParamSets params) {
    const std::size_t n = x.size();
    std::vector<std::int64_t> key;
    Memo<std::pair<std::uint64_t, std::uint64_t>> memo;
    return map_sets(params, [&](Series s, const Params& p) {
        const std::int64_t tau = helpers::int_param(p, "tau");
        const std::int64_t dim = helpers::int_param(p, "dimension");
        if (tau < 1 || dim < 2 || static_cast<std::uint64_t>(dim) > n) return NaN;
        const std::uint64_t t = static_cast<std::uint64_t>(tau);
        const std::size_t d = static_cast<std::size_t>(dim);
        return memo({t, d}, [&] {
            if (key.empty()) {
                key.resize(n);
                std::transform(s.begin(), s.end(), key.begin(), pattern_key);
            }
            const std::uint64_t windows = (n - d) / t + 1;
            return d <= MAX_LEHMER ? permutation_entropy_lehmer(key, t, d, windows)
                                   : permutation_entropy_ranks(key, t, d, windows);
        });
    }, x);
}

constexpr Entry TABLE[] = {
    {"permutation_entropy", permutation_entropy},
};

}  // namespace

constinit const std::span<const Entry> PERMUTATION_ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
