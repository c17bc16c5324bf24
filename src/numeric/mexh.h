// Mexican-hat transform rows by the integrated-wavelet method: the running
// integral of the wavelet, tabulated once per process, is resampled for each
// width, convolved with the series, differenced and scaled.
//
// Widths never size memory beyond the series: filter entries are computed on
// demand and only the convolution sums that a result keeps are formed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "numeric/convolution.h"

namespace cwt {

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
    // Entries first .. first + out.size() - 1, all below size().
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

}  // namespace cwt
