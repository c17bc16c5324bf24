// Permutation entropy: the entropy of the ordinal patterns of a series'
// windows. Memory follows the number of windows and the dimension, never
// their product.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <utility>
#include <vector>

#include "calculators/entropy.h"
#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

// A long series with a large dimension can take minutes: the counting and
// the ordering poll for a stop request every this many rank reads (a value
// left by a stop is discarded).
constexpr std::uint64_t STOP_STRIDE = std::uint64_t{1} << 18;

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
    // Dense counts when the patterns are few next to the windows.
    const std::uint64_t patterns = factorial(d);
    const bool dense = d <= 12 && patterns <= 8 * windows + 5040;
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

// Patterns longer than 20 samples, in O(windows + d) memory whatever d.
//
// A window is kept as its samples sorted by (key, index), which is their
// stable order: sorted afresh, or, from a window a few samples before it,
// updated by replacing the samples that leave with those that come in. A
// distinct pattern is kept as the start of the first window that shows it,
// with its count, a hash of its order and its first ranks; a window shows
// that pattern when its own order also sorts the first window, d - 1
// comparisons. The patterns are then put in the lexicographic order of
// their rank lists: by their first ranks, and where those tie, by blocks of
// further ranks recomputed from the series.
using Keyed = std::pair<std::int64_t, std::uint64_t>;  // (key, index in the series)

constexpr std::size_t HEAD = 4;          // ranks kept per pattern (d > 20)
constexpr std::uint64_t MAX_SLIDE = 8;   // a window further on is sorted afresh
constexpr std::size_t BLOCK_RANKS = std::size_t{1} << 20;  // ranks held at once while ordering ties

struct Pattern {
    std::uint64_t start, count, hash;
    std::array<std::uint64_t, HEAD> head;  // ranks of the first HEAD samples
};

class SortedWindow {
public:
    SortedWindow(const std::vector<std::int64_t>& key, std::size_t d) : key_(key), d_(d) {}

    // The window at `start`.
    void move_to(std::uint64_t start) {
        if (!entries_.empty() && start > start_ && start - start_ <= MAX_SLIDE && start - start_ < d_) {
            for (std::uint64_t i = start_; i < start; ++i) replace({key_[i], i}, {key_[i + d_], i + d_});
        } else {
            entries_.resize(d_);
            for (std::size_t j = 0; j < d_; ++j) entries_[j] = {key_[start + j], start + j};
            std::sort(entries_.begin(), entries_.end());
        }
        start_ = start;
    }

    // Offset in the window of the sample at each place of the order.
    std::uint64_t at(std::size_t place) const { return entries_[place].second - start_; }

    // The ranks of the window's samples first .. first + count - 1.
    void ranks(std::size_t first, std::size_t count, std::uint64_t* out) {
        if (count * 16 < d_) {
            for (std::size_t j = first; j < first + count; ++j)
                *out++ = static_cast<std::uint64_t>(
                    std::lower_bound(entries_.begin(), entries_.end(), Keyed{key_[start_ + j], start_ + j}) -
                    entries_.begin());
            return;
        }
        rank_.resize(d_);
        for (std::size_t p = 0; p < d_; ++p) rank_[at(p)] = p;
        std::copy_n(rank_.begin() + static_cast<std::ptrdiff_t>(first), count, out);
    }

private:
    // `out` replaced by `in`: the entries between their two places move by one.
    void replace(const Keyed& out, const Keyed& in) {
        const auto o = std::lower_bound(entries_.begin(), entries_.end(), out);
        const auto i = std::lower_bound(entries_.begin(), entries_.end(), in);
        if (i > o) {
            std::move(o + 1, i, o);
            *(i - 1) = in;
        } else {
            std::move_backward(i, o, o + 1);
            *i = in;
        }
    }

    const std::vector<std::int64_t>& key_;
    std::size_t d_;
    std::uint64_t start_ = 0;
    std::vector<Keyed> entries_;
    std::vector<std::uint64_t> rank_;
};

// Open addressing from the hash of a pattern to its place in `patterns`;
// doubles when half full.
class PatternIndex {
public:
    explicit PatternIndex(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected) cap *= 2;
        slots_.assign(cap, 0);
    }

    // The pattern of hash h that `same` accepts, or the one made by `make`.
    template <class Same, class Make>
    std::size_t find_or_add(std::uint64_t h, const std::vector<Pattern>& patterns, Same same, Make make) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(h) & mask;
        for (; slots_[i] != 0; i = (i + 1) & mask) {
            const std::size_t p = slots_[i] - 1;
            if (patterns[p].hash == h && same(patterns[p])) return p;
        }
        const std::size_t p = make();
        slots_[i] = p + 1;
        if (2 * (p + 1) > slots_.size()) grow(patterns);
        return p;
    }

private:
    void grow(const std::vector<Pattern>& patterns) {
        slots_.assign(slots_.size() * 2, 0);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t p = 0; p < patterns.size(); ++p) {
            std::size_t i = static_cast<std::size_t>(patterns[p].hash) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = p + 1;
        }
    }

    std::vector<std::size_t> slots_;  // place + 1; 0 is empty
};

std::vector<Pattern> count_patterns(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                    std::uint64_t windows) {
    std::vector<Pattern> patterns;
    PatternIndex index(std::min<std::uint64_t>(windows, 4096));
    SortedWindow s(key, d);
    interrupt::Stride stride(STOP_STRIDE);
    for (std::uint64_t w = 0; w < windows; ++w) {
        if (stride(d)) break;
        const std::uint64_t start = w * tau;
        s.move_to(start);
        std::uint64_t h = 0x243F6A8885A308D3ull;
        for (std::size_t q = 0; q < d; ++q) h = (std::rotl(h, 23) ^ s.at(q)) * 0x9E3779B97F4A7C15ull;
        // The first window of pattern p shows this one when every
        // neighbour pair of this order is in (key, index) order there too.
        auto same = [&](const Pattern& p) {
            const std::int64_t* k = key.data() + p.start;
            for (std::size_t q = 0; q + 1 < d; ++q) {
                const std::uint64_t a = s.at(q), b = s.at(q + 1);
                if (!(k[a] < k[b] || (k[a] == k[b] && a < b))) return false;
            }
            return true;
        };
        auto make = [&] {
            Pattern p{start, 0, h, {}};
            s.ranks(0, HEAD, p.head.data());
            patterns.push_back(p);
            return patterns.size() - 1;
        };
        ++patterns[index.find_or_add(h, patterns, same, make)].count;
    }
    return patterns;
}

// The patterns' places in the lexicographic order of their rank lists.
std::vector<std::size_t> pattern_order(const std::vector<std::int64_t>& key, std::size_t d,
                                       const std::vector<Pattern>& patterns) {
    std::vector<std::size_t> order(patterns.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return patterns[a].head < patterns[b].head; });
    // Runs of equal ranks still to order, from the given rank on.
    struct Run {
        std::size_t begin, end, rank;
    };
    std::vector<Run> todo;
    auto push_ties = [&](std::size_t begin, std::size_t end, std::size_t rank, auto equal) {
        for (std::size_t a = begin; a < end;) {
            std::size_t b = a + 1;
            while (b < end && equal(a, b)) ++b;
            if (b - a > 1 && rank < d) todo.push_back({a, b, rank});
            a = b;
        }
    };
    push_ties(0, order.size(), HEAD,
              [&](std::size_t a, std::size_t b) { return patterns[order[a]].head == patterns[order[b]].head; });
    SortedWindow s(key, d);
    std::vector<std::uint64_t> block;
    std::vector<std::size_t> rows, sorted;
    interrupt::Stride stride(STOP_STRIDE);
    while (!todo.empty()) {
        const Run run = todo.back();
        todo.pop_back();
        const std::size_t size = run.end - run.begin;
        const std::size_t width = std::min(std::max<std::size_t>(BLOCK_RANKS / size, 1), d - run.rank);
        if (stride(size * width)) break;
        block.resize(size * width);
        // The windows in series order, so that near ones slide.
        rows.resize(size);
        std::iota(rows.begin(), rows.end(), std::size_t{0});
        auto start_of = [&](std::size_t m) { return patterns[order[run.begin + m]].start; };
        std::sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) { return start_of(a) < start_of(b); });
        for (std::size_t m : rows) {
            s.move_to(start_of(m));
            s.ranks(run.rank, width, block.data() + m * width);
        }
        auto row = [&](std::size_t m) { return block.begin() + static_cast<std::ptrdiff_t>(m * width); };
        std::iota(rows.begin(), rows.end(), std::size_t{0});
        std::sort(rows.begin(), rows.end(), [&](std::size_t a, std::size_t b) {
            return std::lexicographical_compare(row(a), row(a) + width, row(b), row(b) + width);
        });
        sorted.resize(size);
        for (std::size_t m = 0; m < size; ++m) sorted[m] = order[run.begin + rows[m]];
        std::copy(sorted.begin(), sorted.end(), order.begin() + static_cast<std::ptrdiff_t>(run.begin));
        push_ties(run.begin, run.end, run.rank + width, [&](std::size_t a, std::size_t b) {
            return std::equal(row(rows[a - run.begin]), row(rows[a - run.begin]) + width, row(rows[b - run.begin]));
        });
    }
    return order;
}

double permutation_entropy_ranks(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                 std::uint64_t windows) {
    const std::vector<Pattern> patterns = count_patterns(key, tau, d, windows);
    std::vector<std::uint64_t> counts;
    counts.reserve(patterns.size());
    for (std::size_t p : pattern_order(key, d, patterns)) counts.push_back(patterns[p].count);
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
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> done;
    return map_sets(params, [&](Series s, const Params& p) {
        const std::int64_t tau = helpers::int_param(p, "tau");
        const std::int64_t dim = helpers::int_param(p, "dimension");
        if (tau < 1 || dim < 2 || static_cast<std::uint64_t>(dim) > n) return NaN;
        const std::uint64_t t = static_cast<std::uint64_t>(tau);
        const std::size_t d = static_cast<std::size_t>(dim);
        auto [it, fresh] = done.try_emplace({t, d}, 0.0);
        if (!fresh) return it->second;
        if (key.empty()) {
            key.resize(n);
            std::transform(s.begin(), s.end(), key.begin(), pattern_key);
        }
        const std::uint64_t windows = (n - d) / t + 1;
        it->second = d <= MAX_LEHMER ? permutation_entropy_lehmer(key, t, d, windows)
                                     : permutation_entropy_ranks(key, t, d, windows);
        return it->second;
    }, x);
}

constexpr Entry TABLE[] = {
    {"permutation_entropy", permutation_entropy},
};

}  // namespace

constinit const std::span<const Entry> PERMUTATION_ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
