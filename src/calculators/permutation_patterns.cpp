// The lexicographic order of the long patterns' rank lists: by their first
// ranks, and where those tie, by blocks of further ranks recomputed from the
// series.
#include "calculators/permutation_patterns.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

namespace calculators::permutation {

namespace {

constexpr std::size_t BLOCK_RANKS = std::size_t{1} << 20;  // ranks held at once while ordering ties

}  // namespace

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

}  // namespace calculators::permutation
