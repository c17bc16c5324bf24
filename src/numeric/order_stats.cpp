#include "numeric/order_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include <hwy/contrib/sort/vqsort.h>

#include "numeric/constants.h"
#include "numeric/order_keys.h"
#include "numeric/to_count.h"

namespace stats {

namespace {

using numeric::NaN;

using numeric::to_count;

double from_key(std::int64_t k) { return from_total_order_key(k); }

}  // namespace

QuantilePosition quantile_position(std::size_t n, double q) {
    // A NaN q passes both clamps and ends at index 0.
    const double qa = (0.0 > q) ? 0.0 : q;
    const double qc = (1.0 < qa) ? 1.0 : qa;
    const double pos = static_cast<double>(n - 1) * qc;
    // pos <= n - 1 unless n - 1 rounds up as a double (beyond 2^53): keep
    // the indices inside the series all the same.
    const std::size_t lo = std::min(to_count(std::floor(pos)), n - 1);
    const std::size_t hi = std::min(to_count(std::ceil(pos)), n - 1);
    return {pos, lo, hi};
}

double quantile_interpolate(const QuantilePosition& at, double xlo, double xhi) {
    if (at.lo == at.hi) return xlo;
    const double frac = at.pos - static_cast<double>(at.lo);
    return (xhi - xlo) * frac + xlo;
}

namespace {

// One sorter per thread: it owns the sort's scratch buffers, and its calls
// dispatch to the widest vector target of the running machine.
const hwy::Sorter& thread_sorter() {
    thread_local const hwy::Sorter sorter;
    return sorter;
}

}  // namespace

void sort_keys(std::span<std::int64_t> keys) {
    // Integer keys only: this Highway's sort of doubles mishandles heavy
    // ties near zero and infinities.
    if (keys.size() > 1) thread_sorter()(keys.data(), keys.size(), hwy::SortAscending());
}

void sort_keys_with_positions(std::span<std::int64_t> keys, std::span<std::uint64_t> positions) {
    // One 128-bit key a pair, the key (its order as unsigned) above the
    // position, so that the unsigned order is the pairs' order.
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    const std::size_t n = keys.size();
    std::vector<hwy::uint128_t> pairs(n);
    for (std::size_t i = 0; i < n; ++i) pairs[i] = {positions[i], static_cast<std::uint64_t>(keys[i]) ^ SIGN};
    if (n > 1) thread_sorter()(pairs.data(), n, hwy::SortAscending());
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = static_cast<std::int64_t>(pairs[i].hi ^ SIGN);
        positions[i] = pairs[i].lo;
    }
}

namespace {

// Sorts the keys of x into out (x may be out itself). The keys are held in
// out's storage, which this file touches only as doubles; the sort, compiled
// apart, reads and writes it as the integers whose bytes it holds.
void sort_keys_into(Series x, double* out) {
    const std::size_t n = x.size();
    detail::to_order_keys(x.data(), out, n);
    sort_keys({reinterpret_cast<std::int64_t*>(out), n});
    detail::from_order_keys(out, n);
}

}  // namespace

void sort_total(std::span<double> x) {
    if (x.size() > 1) sort_keys_into(x, x.data());
}

std::vector<double> sorted_total(Series x) {
    if (x.size() < 2) return {x.begin(), x.end()};
    std::vector<double> out(x.size());
    sort_keys_into(x, out.data());
    return out;
}

double quantile_sorted(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0 || std::isnan(x[n - 1])) return NaN;
    const QuantilePosition at = quantile_position(n, q);
    return quantile_interpolate(at, x[at.lo], x[at.hi]);
}

double quantile(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0) return NaN;
    // Selection on the total-order keys gives exactly the order statistics
    // of a sorted copy (equal keys are equal bits), at linear cost.
    std::unique_ptr<std::int64_t[]> k(new std::int64_t[n]);
    std::int64_t top = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < n; ++i) {
        k[i] = total_order_key(x[i]);
        top = std::max(top, k[i]);
    }
    // The last of the sorted copy is NaN (of either sign).
    if (std::isnan(from_key(top))) return NaN;
    const QuantilePosition at = quantile_position(n, q);
    std::int64_t* const first = k.get();
    std::nth_element(first, first + at.lo, first + n);
    const double xlo = from_key(first[at.lo]);
    if (at.lo == at.hi) return xlo;
    // hi = lo + 1: the smallest key after the selected one.
    const double xhi = from_key(*std::min_element(first + at.lo + 1, first + n));
    return quantile_interpolate(at, xlo, xhi);
}

}  // namespace stats
