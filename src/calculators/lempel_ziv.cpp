// The Lempel-Ziv phrase count of a series' symbols in equal-width bins.
//
// No allocation here is sized by the bin count: edges are computed on
// demand, a symbol is found in O(log bins) edge reads at most, and the
// phrase trie keys its children by (node, symbol).
#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "calculators/lempel_ziv.h"
#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

// The children of the phrase trie, keyed by (node, symbol): open addressing
// that doubles when half full, so its size follows the nodes made (at most
// one per sample), never the number of bins.
class TrieChildren {
public:
    // Room for `expected` nodes before the first doubling.
    explicit TrieChildren(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected) cap *= 2;
        slots_.resize(cap);
        mask_ = cap - 1;
    }

    // The child of (node, symbol), made with id `fresh` when missing;
    // second is true when it was made.
    std::pair<std::uint64_t, bool> find_or_add(std::uint64_t node, std::uint64_t symbol, std::uint64_t fresh) {
        Slot& s = probe(node, symbol);
        if (s.node_plus_one != 0) return {s.child, false};
        s = Slot{node + 1, symbol, fresh};
        if (++used_ * 2 > slots_.size()) grow();
        return {fresh, true};
    }

private:
    struct Slot {
        std::uint64_t node_plus_one = 0, symbol = 0, child = 0;  // node_plus_one 0: empty
    };

    static std::size_t hash(std::uint64_t node, std::uint64_t symbol) {
        // splitmix64's finaliser over a mix of both.
        std::uint64_t z = node * 0x9E3779B97F4A7C15ull ^ (symbol + 0x632BE59BD9B4E019ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }

    // The slot holding (node, symbol), or the empty slot where it belongs.
    Slot& probe(std::uint64_t node, std::uint64_t symbol) {
        for (std::size_t i = hash(node, symbol) & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.node_plus_one == 0 || (s.node_plus_one == node + 1 && s.symbol == symbol)) return s;
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old)
            if (s.node_plus_one != 0) probe(s.node_plus_one - 1, s.symbol) = s;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, used_ = 0;
};

// Phrases of the series' symbols in `bins` equal-width bins, over n.
double lempel_ziv(Series x, std::uint64_t bins, double lo, double hi) {
    const std::size_t n = x.size();
    const BinEdges edges(lo, hi, bins);
    const BinSymbols symbol(edges, bins);
    // Walk down from the root (node 0); a missing child ends a phrase, and
    // the next one starts at the root. A phrase still open at the end of the
    // series is not counted.
    // A short series may make a node per sample; a long one makes far fewer.
    TrieChildren children(std::min<std::size_t>(n, 4096));
    std::uint64_t nodes = 1, phrases = 0, node = 0;
    // A walk over 10^7 samples with a large alphabet takes seconds.
    interrupt::Stride stride(std::uint64_t{1} << 16);
    for (std::size_t i = 0; i < n && !stride(); ++i) {
        const auto [child, made] = children.find_or_add(node, symbol(x[i]), nodes);
        if (made) {
            ++nodes;
            ++phrases;
            node = 0;
        } else {
            node = child;
        }
    }
    return static_cast<double>(phrases) / static_cast<double>(n);
}

// lempel_ziv_complexity: "bins" (an Int or a Float read as an integer;
// missing, another kind or below 1: NaN). The empty series, and any series
// with a NaN or an infinity: NaN. A constant series has one symbol.
Values lempel_ziv_complexity(Series x, ParamSets params) {
    const bool undefined = x.empty() || !stats::all_finite(x);
    const double lo = undefined ? NaN : stats::min(x), hi = undefined ? NaN : stats::max(x);
    std::map<std::uint64_t, double> done;
    return map_sets(params, [&](Series s, const Params& p) {
        const PVal* v = p.find("bins");
        if (v == nullptr || (v->tag() != PVal::Int && v->tag() != PVal::Float)) return NaN;
        const std::int64_t bins = helpers::int_param(p, "bins");
        if (bins < 1 || undefined) return NaN;
        auto [it, fresh] = done.try_emplace(static_cast<std::uint64_t>(bins), 0.0);
        if (fresh) it->second = lempel_ziv(s, static_cast<std::uint64_t>(bins), lo, hi);
        return it->second;
    }, x);
}

constexpr Entry TABLE[] = {
    {"lempel_ziv_complexity", lempel_ziv_complexity},
};

}  // namespace

constinit const std::span<const Entry> LEMPEL_ZIV_ENTRIES{TABLE};

}  // namespace calculators
