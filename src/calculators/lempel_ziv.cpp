// The Lempel-Ziv phrase count of a series' symbols in equal-width bins.
//
// No allocation here is sized by the bin count: edges are computed on
// demand, a symbol is found in O(log bins) edge reads at most, and the
// phrase trie keys its children by (node, symbol).
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "calculators/lempel_ziv.h"
#include "calculators/registry.h"
#include "helpers/open_table.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

// The children of the phrase trie, keyed by (node, symbol): the table's size
// follows the nodes made (at most one per sample), never the number of bins.
class TrieChildren {
public:
    // Room for `expected` nodes before the first doubling.
    explicit TrieChildren(std::size_t expected) : table_(expected) {}

    // The child of (node, symbol), made with id `fresh` when missing;
    // second is true when it was made.
    std::pair<std::uint64_t, bool> find_or_add(std::uint64_t node, std::uint64_t symbol, std::uint64_t fresh) {
        Slot& s = table_.probe(hash(node, symbol),
                               [&](const Slot& t) { return t.node_plus_one == node + 1 && t.symbol == symbol; });
        if (s.used()) return {s.child, false};
        s = Slot{node + 1, symbol, fresh};
        table_.filled([](const Slot& t) { return hash(t.node_plus_one - 1, t.symbol); });
        return {fresh, true};
    }

private:
    struct Slot {
        std::uint64_t node_plus_one = 0, symbol = 0, child = 0;  // node_plus_one 0: empty
        bool used() const { return node_plus_one != 0; }
    };

    static std::size_t hash(std::uint64_t node, std::uint64_t symbol) {
        // splitmix64's finaliser over a mix of both.
        std::uint64_t z = node * 0x9E3779B97F4A7C15ull ^ (symbol + 0x632BE59BD9B4E019ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }

    helpers::OpenTable<Slot> table_;
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
    Memo<std::uint64_t> memo;
    return map_sets(params, [&](Series s, const Params& p) {
        const std::int64_t bins = helpers::int_param(p, "bins");
        if (bins < 1 || undefined) return NaN;
        const auto b = static_cast<std::uint64_t>(bins);
        return memo(b, [&] { return lempel_ziv(s, b, lo, hi); });
    }, x);
}

constexpr Entry TABLE[] = {
    {"lempel_ziv_complexity", lempel_ziv_complexity},
};

}  // namespace

constinit const std::span<const Entry> LEMPEL_ZIV_ENTRIES{TABLE};

}  // namespace calculators
