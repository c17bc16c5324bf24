#include "numeric/mexh.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/to_count.h"

namespace cwt {

namespace {

using numeric::NaN;
using numeric::to_count;

// 2 / (sqrt(3) pi^(1/4)): the factor that gives the Mexican hat
// (1 - x^2) exp(-x^2 / 2) unit energy.
constexpr double MEXH_NORM = 0.8673250705840776;

}  // namespace

const Grid& int_psi_grid() {
    // A function-local static: built once, concurrent first callers wait,
    // and a build that throws leaves it to be built by the next caller.
    static const Grid grid = [] {
        Grid g{};
        g.step = GRID_STEP;
        double s = 0.0;
        for (std::size_t k = 0; k < GRID_POINTS; ++k) {
            const double x = static_cast<double>(k) * GRID_STEP + (-8.0);
            const double x2 = x * x;
            s += ((1.0 - x2) * MEXH_NORM) * std::exp(x2 * -0.5);
            g.values[k] = s * GRID_STEP;
        }
        return g;
    }();
    return grid;
}

namespace {

// The grid index of resampling point i: floor(i / divisor), a NaN or
// negative quotient giving 0.
std::uint64_t grid_index(std::uint64_t i, double divisor) {
    return to_count(std::floor(static_cast<double>(i) / divisor));
}

}  // namespace

MexhFilter::MexhFilter(double a) {
    // An infinite width would resample the first grid value forever.
    if (!(a > 0.0) || std::isinf(a)) return;
    const std::uint64_t count = to_count(std::ceil(a * 16.0 + 1.0));
    divisor_ = GRID_STEP * a;
    // The indices never decrease: the filter ends at the first index past
    // the grid, found by bisection over [0, count).
    std::uint64_t lo = 0, hi = count;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (grid_index(mid, divisor_) >= GRID_POINTS)
            hi = mid;
        else
            lo = mid + 1;
    }
    size_ = lo;
}

void MexhFilter::fill(std::uint64_t first, std::span<double> out) const {
    const Grid& g = int_psi_grid();
    for (std::size_t j = 0; j < out.size(); ++j) out[j] = g.values[grid_index(size_ - 1 - (first + j), divisor_)];
}

namespace {

// The row's length and where it starts in the differenced convolution:
// centred on n values, or everything (n - 1 values) for a one-entry filter.
struct Trim {
    std::uint64_t offset, length;
};
Trim mexh_trim(std::uint64_t n, std::uint64_t size) {
    if (size >= 2) return {(size - 2) / 2, n};
    return {0, n - 1};
}

}  // namespace

std::vector<double> mexh_cwt_at(Series x, double a, std::span<const std::uint64_t> coeffs) {
    std::vector<double> out(coeffs.size(), NaN);
    const std::uint64_t n = x.size();
    if (n == 0) return out;
    const MexhFilter filter(a);
    if (filter.size() == 0) return out;
    const Trim trim = mexh_trim(n, filter.size());
    // Only coefficients inside the row; coeffs ascend, so they are a prefix.
    const std::size_t count = std::lower_bound(coeffs.begin(), coeffs.end(), trim.length) - coeffs.begin();
    if (count == 0) return out;
    // Coefficient c is the difference of convolution outputs off + c and
    // off + c + 1. Every output needed lies in [off, off + length], and the
    // filter entries they read in at most 2n + 1 consecutive entries: fill
    // those once.
    const std::uint64_t k_first = trim.offset + coeffs[0];
    const std::uint64_t k_end = trim.offset + coeffs[count - 1] + 2;
    const std::uint64_t f_first = window_filter_first(n, k_first);
    const std::uint64_t f_last = window_filter_last(filter.size(), k_end);
    std::vector<double> entries(f_last - f_first + 1);
    filter.fill(f_first, entries);
    const FilterPart part{filter.size(), f_first, entries};
    const double scale = -std::sqrt(a);
    std::vector<double> conv;
    // Thousands of coefficients of a wide filter take seconds: poll between
    // windows, by their multiply-adds (convolve_window polls within one).
    interrupt::Stride stride(std::uint64_t{1} << 22);
    // Runs of coefficients whose outputs touch or overlap share one window.
    for (std::size_t r0 = 0; r0 < count;) {
        std::size_t r1 = r0 + 1;
        while (r1 < count && coeffs[r1] <= coeffs[r1 - 1] + 2) ++r1;
        const std::uint64_t c0 = coeffs[r0];
        conv.resize(coeffs[r1 - 1] - c0 + 2);
        if (stride(conv.size() * entries.size())) break;
        convolve_window(x, part, trim.offset + c0, conv);
        for (std::size_t r = r0; r < r1; ++r) {
            const std::uint64_t j = coeffs[r] - c0;
            out[r] = (conv[j + 1] - conv[j]) * scale;
        }
        r0 = r1;
    }
    return out;
}

std::vector<double> mexh_cwt_row(Series x, double a) {
    const MexhFilter filter(a);
    if (filter.size() == 0) return std::vector<double>(x.size(), NaN);
    if (x.empty()) return {};
    std::vector<std::uint64_t> all(mexh_trim(x.size(), filter.size()).length);
    std::iota(all.begin(), all.end(), std::uint64_t{0});
    return mexh_cwt_at(x, a, all);
}

Matrix mexh_cwt(Series x, std::span<const double> widths) {
    Matrix rows;
    rows.reserve(widths.size());
    for (double a : widths) rows.push_back(x.empty() ? std::vector<double>{} : mexh_cwt_row(x, a));
    return rows;
}

}  // namespace cwt
