// The CWT peak count: Ricker transform rows, the ridge lines through their
// maxima, the filter that keeps the lines standing out of the noise of the
// narrowest row, and the count of those lines.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "numeric/convolution.h"

namespace cwt {

// The Ricker transform row of width w, as long as x (n >= 1).
std::vector<double> ricker_row(Series x, double w);
Matrix ricker_cwt(Series x, std::span<const double> widths);

// Columns of the strict relative maxima of a row (ends compare with
// themselves, so they never are), ascending.
void relative_maxima(Series row, std::vector<std::uint64_t>& cols);

// A ridge line: rows and cols in pairs. While it is built the points are in
// the order they were added; finished, they are ordered by ascending row,
// points of one row in the order they were added.
struct Ridge {
    std::vector<std::uint64_t> rows, cols;
    std::uint64_t gap = 0;
};

// Ridge lines through the maxima of the matrix, from its last row down:
// the lines closed during the search in the order they were closed, then the
// lines still open, each finished as described at Ridge.
std::vector<Ridge> identify_ridge_lines(const Matrix& matrix, std::span<const double> max_distances,
                                        double gap_thresh);
// The noise floor of row 0 at columns `cols` (ascending, distinct): the
// 10% quantile (stats::quantile) of row0[c - h, c + h + odd) clipped to the
// row, for a window of 2h + odd = ceil(len / 20) samples. O(log len) per
// column moved over, whatever the window's width.
std::vector<double> noise_floors(Series row0, std::span<const std::uint64_t> cols);
// How many ridge lines have at least ceil(n_widths / 4) points and a first
// point at least as large in magnitude as the noise floor of row 0 there.
std::uint64_t filter_ridge_lines(const Matrix& matrix, std::span<const Ridge> ridges,
                                 std::uint64_t n_widths);

// Above this many transform cells (n rows of the series' length) the peak
// count is not computed: work grows like cells * min(10 n, len).
constexpr std::uint64_t PEAK_CELLS_CAP = std::uint64_t{1} << 27;

// The CWT peak count of x with the widths 1, 2, ..., n, for each n of `ns`:
// 0.0 for n = 0 or an empty x, NaN for n * len above PEAK_CELLS_CAP. Each
// transform row is computed once for all ns, and only one row is held at a
// time.
std::vector<double> cwt_peak_counts(Series x, std::span<const std::uint64_t> ns);
double cwt_peak_count(Series x, std::uint64_t n);

}  // namespace cwt
