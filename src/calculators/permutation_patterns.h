// Ordinal patterns longer than 20 samples, in O(windows + d) memory
// whatever d (internal to permutation entropy; a header for its tests).
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
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "helpers/open_table.h"
#include "numeric/interrupt.h"

namespace calculators::permutation {

// A long series with a large dimension can take minutes: the counting and
// the ordering poll for a stop request every this many rank reads (a value
// left by a stop is discarded).
inline constexpr std::uint64_t STOP_STRIDE = std::uint64_t{1} << 18;

using Keyed = std::pair<std::int64_t, std::uint64_t>;  // (key, index in the series)

inline constexpr std::size_t HEAD = 4;         // ranks kept per pattern (d >= HEAD)
inline constexpr std::uint64_t MAX_SLIDE = 8;  // a window further on is sorted afresh

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

// The hash of a window's order: its offsets place by place, each step a
// rotation, an xor and a Fibonacci-hashing multiply.
struct OrderHash {
    // The first 64 bits of pi's fraction: a start with no structure of its own.
    static constexpr std::uint64_t SEED = 0x243F6A8885A308D3ull;
    // 2^64 / the golden ratio, Fibonacci hashing's multiplier.
    static constexpr std::uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;
    static constexpr int ROTATION = 23;

    std::uint64_t operator()(const SortedWindow& s, std::size_t d) const {
        std::uint64_t h = SEED;
        for (std::size_t q = 0; q < d; ++q) h = (std::rotl(h, ROTATION) ^ s.at(q)) * GOLDEN;
        return h;
    }
};

// The distinct patterns of the windows at 0, tau, 2 tau, ... (d >= HEAD), in
// the order they first show, with their counts. `hash` only spreads them
// over the index: patterns of equal hash are told apart by their windows. A
// stop request ends the count early (its value is then discarded).
template <class Hash = OrderHash>
std::vector<Pattern> count_patterns(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                    std::uint64_t windows, Hash hash = {}) {
    // The index holds a pattern's place + 1; 0 is empty.
    struct Slot {
        std::size_t place_plus_one = 0;
        bool used() const { return place_plus_one != 0; }
    };
    std::vector<Pattern> patterns;
    helpers::OpenTable<Slot> index(std::min<std::uint64_t>(windows, 4096));
    auto pattern_of = [&](const Slot& slot) -> Pattern& { return patterns[slot.place_plus_one - 1]; };
    SortedWindow s(key, d);
    interrupt::Stride stride(STOP_STRIDE);
    for (std::uint64_t w = 0; w < windows; ++w) {
        if (stride(d)) break;
        const std::uint64_t start = w * tau;
        s.move_to(start);
        const std::uint64_t h = hash(s, d);
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
        Slot& slot = index.probe(static_cast<std::size_t>(h), [&](const Slot& t) {
            const Pattern& p = pattern_of(t);
            return p.hash == h && same(p);
        });
        if (slot.used()) {
            ++pattern_of(slot).count;
            continue;
        }
        Pattern p{start, 1, h, {}};
        s.ranks(0, HEAD, p.head.data());
        patterns.push_back(p);
        slot.place_plus_one = patterns.size();
        index.filled([&](const Slot& t) { return static_cast<std::size_t>(pattern_of(t).hash); });
    }
    return patterns;
}

// The patterns' places in the lexicographic order of their rank lists. A
// stop request ends the ordering early (its value is then discarded).
std::vector<std::size_t> pattern_order(const std::vector<std::int64_t>& key, std::size_t d,
                                       const std::vector<Pattern>& patterns);

}  // namespace calculators::permutation
