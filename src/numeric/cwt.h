// Continuous wavelet transforms by direct convolution: Mexican-hat rows by
// the integrated-wavelet method, Ricker rows, ridge lines through the
// maxima of Ricker rows, and the CWT peak count built on them.
//
// Every convolution sum adds its terms in ascending series index, starting
// from +0.0 and skipping zero samples, exactly as the full linear convolution
// `convolve_full` does; a routine that computes only some outputs, or several
// outputs at once in vector lanes, gives the same bits as the full
// convolution at those outputs. No FFT: peak detection depends on exact ties.
//
// Widths never size memory beyond the series: filter entries are computed on
// demand and only the convolution sums that a result keeps are formed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace cwt {

using Series = std::span<const double>;
using Matrix = std::vector<std::vector<double>>;

// ---- Convolution ------------------------------------------------------------

// Full linear convolution of a (la) and b (lb >= 1): la + lb - 1 values;
// empty when a is empty.
std::vector<double> convolve_full(Series a, Series b);

// A filter of `size` entries of which `values` holds entries first ..
// first + values.size() - 1 (the rest are never read by the caller's window).
struct FilterPart {
    std::uint64_t size;
    std::uint64_t first;
    std::span<const double> values;
};

// out[k - k0] = full convolution of x with the filter at k, for k in
// [k0, k0 + out.size()): the entries of the filter the window reads must be
// in `f.values`, that is [window_filter_first, window_filter_last], and
// finite (then adding the terms of zero samples changes no bit).
void convolve_window(Series x, const FilterPart& f, std::uint64_t k0, std::span<double> out);
// The filter entries that outputs [k0, k1) of a convolution with a series of
// n samples read: [first, last], or first > last when none.
std::uint64_t window_filter_first(std::uint64_t n, std::uint64_t k0);
std::uint64_t window_filter_last(std::uint64_t size, std::uint64_t k1);

// ---- Mexican hat --------------------------------------------------------------

constexpr std::size_t GRID_POINTS = 4096;
constexpr double GRID_STEP = 0.003907203907203907;  // 16 / 4095: x from -8 to 8

// Running integral of the Mexican-hat wavelet on the grid, built once per
// process on first use (concurrent first users wait for it).
struct Grid {
    std::array<double, GRID_POINTS> values;
    double step;
};
const Grid& int_psi_grid();

// The resampled, reversed integral for width a, entries computed on demand.
// size() is 0 when the width has no filter (a <= 0, NaN or infinite).
class MexhFilter {
public:
    explicit MexhFilter(double a);
    std::uint64_t size() const { return size_; }
    // Entry m < size().
    double at(std::uint64_t m) const;
    void fill(std::uint64_t first, std::span<double> out) const;

private:
    double divisor_ = 0.0;  // grid step * a
    std::uint64_t size_ = 0;
};

// One transform row of x at width a: n values (n - 1 for a filter of one
// entry); n NaN values for a width that is not positive and finite.
std::vector<double> mexh_cwt_row(Series x, double a);
// One row per width, in order; empty rows for an empty x.
Matrix mexh_cwt(Series x, std::span<const double> widths);
// Entries `coeffs` (ascending, distinct) of mexh_cwt_row(x, a), NaN for an
// entry beyond the row; costs two convolution sums per coefficient at most.
std::vector<double> mexh_cwt_at(Series x, double a, std::span<const std::uint64_t> coeffs);

// ---- Ricker, ridges and peaks -------------------------------------------------

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
