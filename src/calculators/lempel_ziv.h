// The symbols of the Lempel-Ziv phrase count: the bin of each sample among
// b equal-width bins, found as a binary search over the edges finds it.
#pragma once

#include <algorithm>
#include <cstdint>

#include "calculators/entropy.h"

namespace calculators {

// The symbol of v (lo <= v <= hi): the first k in [0, b) with v <= e_{k+1},
// as a binary search over the edges finds it. e_1 .. e_{b-1} never decrease
// (each operation of the edge formula is monotone in i) and v <= e_b = hi,
// so the test fails below one k and holds from it on, even where e_{b-1}
// rounds above hi. The search therefore starts at the bin of v's position
// and gallops away from it: one or two edge reads where the position is
// right, O(log b) where many edges round to the same double.
class BinSymbols {
public:
    BinSymbols(const BinEdges& edges, std::uint64_t bins)
        : edges_(edges), bins_(bins) {}

    std::uint64_t operator()(double v) const {
        const std::uint64_t k = edges_.guess(v);
        if (at_or_below(v, k)) {
            if (k == 0 || !at_or_below(v, k - 1)) return k;
            // Below k - 1: probe k - 2, k - 4, k - 8, ...
            std::uint64_t hi = k - 1;
            for (std::uint64_t step = 1; hi > 0; step *= 2) {
                const std::uint64_t j = hi - std::min(step, hi);
                if (!at_or_below(v, j)) return search(v, j + 1, hi);
                hi = j;
            }
            return 0;
        }
        // Above k: probe k + 1, k + 2, k + 4, ..., up to the last bin, which
        // takes every v.
        const std::uint64_t last = bins_ - 1;
        std::uint64_t lo = k + 1;
        for (std::uint64_t step = 1; lo < last; step *= 2) {
            const std::uint64_t j = lo + std::min(step - 1, last - lo);
            if (at_or_below(v, j)) return search(v, lo, j);
            lo = j + 1;
        }
        return last;
    }

private:
    // Symbol k takes v when v <= e_{k+1}.
    bool at_or_below(double v, std::uint64_t k) const { return !(v > edges_.edge(k + 1)); }

    // The first k in [a, b) that takes v, b when none does.
    std::uint64_t search(double v, std::uint64_t a, std::uint64_t b) const {
        while (a < b) {
            const std::uint64_t mid = a + (b - a) / 2;
            if (at_or_below(v, mid))
                b = mid;
            else
                a = mid + 1;
        }
        return a;
    }

    const BinEdges& edges_;
    std::uint64_t bins_;
};

}  // namespace calculators
