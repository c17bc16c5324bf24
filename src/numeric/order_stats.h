// The total order of doubles, sorting by it, and quantiles by linear
// interpolation between order statistics.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stats {

using Series = std::span<const double>;

// The order of every sort of doubles: -inf, negatives, -0.0, +0.0,
// positives, +inf, then every NaN whatever its sign bit, so a series that
// holds a NaN ends with one. It is the IEEE 754 total order (as signed keys:
// every bit but the sign flipped for a negative sign) with the sign-set NaNs,
// which that order puts first, rotated round to the end: the keys are
// shifted down by the distance of -inf from the smallest key, modulo 2^64.
// Keys compare as signed 64-bit integers, and equal keys are identical bit
// patterns, so any sort gives the stable sort's result.
inline constexpr std::uint64_t TOTAL_ORDER_ROTATION = 0x000F'FFFF'FFFF'FFFF;
inline std::int64_t total_order_key(double v) {
    const auto b = std::bit_cast<std::uint64_t>(v);
    const std::uint64_t ieee = b ^ ((std::uint64_t{0} - (b >> 63)) >> 1);
    return static_cast<std::int64_t>(ieee - TOTAL_ORDER_ROTATION);
}
// The double of a key (bits included: NaN payloads and signs come back).
inline double from_total_order_key(std::int64_t k) {
    const std::uint64_t ieee = static_cast<std::uint64_t>(k) + TOTAL_ORDER_ROTATION;
    return std::bit_cast<double>(ieee ^ ((std::uint64_t{0} - (ieee >> 63)) >> 1));
}
inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }
// Sorts ascending by that order (Highway's vqsort on the keys).
void sort_total(std::span<double> x);
// A sorted copy of x.
std::vector<double> sorted_total(Series x);
// Sorts keys ascending in place.
void sort_keys(std::span<std::int64_t> keys);
// Sorts the pairs (keys[i], positions[i]) ascending by key, then position:
// std::sort's order of the pairs, by the vector sort.
void sort_keys_with_positions(std::span<std::int64_t> keys, std::span<std::uint64_t> positions);

// Linear-interpolation quantile of a series already sorted by the total
// order; q is clamped to [0, 1] and a NaN q gives the smallest element.
double quantile_sorted(Series sorted, double q);
// The same on a sorted copy of x.
double quantile(Series x, double q);

// The interpolation position of q among n >= 1 sorted values and the two
// order statistics it falls between (equal when it hits one), and the
// quantile from those two: quantile_sorted's arithmetic, for callers that
// find order statistics without a sorted copy.
struct QuantilePosition {
    double pos;
    std::size_t lo, hi;
};
QuantilePosition quantile_position(std::size_t n, double q);
double quantile_interpolate(const QuantilePosition& at, double xlo, double xhi);

}  // namespace stats
