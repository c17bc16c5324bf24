#include "numeric/order_windows.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>

#include "numeric/constants.h"
#include "numeric/stats.h"

namespace stats {

namespace {

using numeric::NaN;

// Where v goes in `sorted` (ascending by the total order): before the first
// element not below it, or with `after`, after the last element not above it.
// Branch-free halving: the comparisons are unpredictable.
std::size_t rank(const std::vector<double>& sorted, double v, bool after) {
    const std::int64_t k = total_order_key(v);
    const double* base = sorted.data();
    std::size_t n = sorted.size();
    if (n == 0) return 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        const std::int64_t m = total_order_key(base[half - 1]);
        base = (after ? m <= k : m < k) ? base + half : base;
        n -= half;
    }
    const std::int64_t m = total_order_key(*base);
    return static_cast<std::size_t>(base - sorted.data()) + ((after ? m <= k : m < k) ? 1 : 0);
}

// A window of the row held as a sorted copy: for small windows, where moving
// a few elements costs less than any tree.
class SortedWindow {
public:
    explicit SortedWindow(Series row) : row_(row) {}
    void add(std::uint64_t i) { sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(rank(sorted_, row_[i], true)), row_[i]); }
    // Equal keys are identical bits: any element of equal key is the one leaving.
    void remove(std::uint64_t i) { sorted_.erase(sorted_.begin() + static_cast<std::ptrdiff_t>(rank(sorted_, row_[i], false))); }
    double kth(std::uint64_t k) const { return sorted_[k]; }

private:
    Series row_;
    std::vector<double> sorted_;
};

// A window of the row held as counts over the ranks of the whole row in the
// total order (a Fenwick tree): O(log len) to move by a sample or to find an
// order statistic, whatever the window's width.
class RankedWindow {
public:
    explicit RankedWindow(Series row) : row_(row), order_(row.size()), rank_(row.size()), tree_(row.size() + 1, 0) {
        std::vector<std::int64_t> keys(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) keys[i] = total_order_key(row[i]), order_[i] = i;
        std::sort(order_.begin(), order_.end(),
                  [&keys](std::uint64_t a, std::uint64_t b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); });
        for (std::size_t r = 0; r < order_.size(); ++r) rank_[order_[r]] = r;
    }
    void add(std::uint64_t i) { update(i, 1); }
    void remove(std::uint64_t i) { update(i, -1); }
    // The k-th smallest (from 0) of the window.
    double kth(std::uint64_t k) const {
        std::uint64_t pos = 0;
        for (std::uint64_t step = std::bit_floor(order_.size()); step > 0; step >>= 1) {
            if (pos + step <= order_.size() && static_cast<std::uint64_t>(tree_[pos + step]) <= k) {
                pos += step;
                k -= static_cast<std::uint64_t>(tree_[pos]);
            }
        }
        return row_[order_[pos]];
    }

private:
    void update(std::uint64_t i, std::int64_t delta) {
        for (std::uint64_t p = rank_[i] + 1; p < tree_.size(); p += p & (~p + 1)) tree_[p] += delta;
    }
    Series row_;
    std::vector<std::uint64_t> order_, rank_;
    std::vector<std::int64_t> tree_;
};

constexpr std::uint64_t SORTED_WINDOW_MAX = 256;

template <class Window>
std::vector<double> quantiles_of(Series row, std::span<const std::uint64_t> cols, std::uint64_t half,
                                 std::uint64_t odd, double q) {
    Window window(row);
    std::vector<double> out;
    out.reserve(cols.size());
    std::uint64_t lo = 0, hi = 0;  // the window held: row[lo, hi)
    for (std::uint64_t c : cols) {
        const std::uint64_t next_lo = c > half ? c - half : 0;
        const std::uint64_t next_hi = std::min<std::uint64_t>(c + half + odd, row.size());
        // Columns ascend, so both ends only move right.
        for (std::uint64_t j = lo; j < std::min(next_lo, hi); ++j) window.remove(j);
        for (std::uint64_t j = std::max(hi, next_lo); j < next_hi; ++j) window.add(j);
        lo = next_lo;
        hi = next_hi;
        const std::uint64_t n = next_hi - next_lo;
        // quantile_sorted of the window: NaN when its largest is NaN.
        if (n == 0 || std::isnan(window.kth(n - 1))) {
            out.push_back(NaN);
            continue;
        }
        const QuantilePosition at = quantile_position(n, q);
        const double xlo = window.kth(at.lo);
        out.push_back(quantile_interpolate(at, xlo, at.hi == at.lo ? xlo : window.kth(at.hi)));
    }
    return out;
}

}  // namespace

std::vector<double> window_quantiles(Series row, std::span<const std::uint64_t> cols, std::uint64_t half,
                                     std::uint64_t odd, double q) {
    // 2 half + odd without overflow: a half beyond the row acts as the row.
    const std::uint64_t width = half > row.size() ? row.size() + 1 : 2 * half + odd;
    return width <= SORTED_WINDOW_MAX ? quantiles_of<SortedWindow>(row, cols, half, odd, q)
                                      : quantiles_of<RankedWindow>(row, cols, half, odd, q);
}

}  // namespace stats
