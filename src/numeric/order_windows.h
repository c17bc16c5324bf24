// Order statistics of a window sliding along a series: the structures that
// hold the window as it moves, and the quantiles read from them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace stats {

// For each column c of `cols` (ascending), the q-quantile by quantile_sorted's
// arithmetic of row[c - half, c + half + odd) clipped to the row (NaN for an
// empty window or one holding a NaN). O(log len) per column moved over,
// whatever the window's width.
std::vector<double> window_quantiles(std::span<const double> row, std::span<const std::uint64_t> cols,
                                     std::uint64_t half, std::uint64_t odd, double q);

}  // namespace stats
