// Drift polynomial of a series: the mean step x[i+1] - x[i] against the mean
// level x[i] in r quantile bins, fitted by minimum-norm least squares.
#include "helpers/drift_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "helpers/quantile_cut.h"
#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/regression.h"
#include "numeric/stats.h"

namespace helpers {

namespace {

using numeric::EPS;
using numeric::NaN;

// The largest degree fitted. The one-sided Jacobi SVD of the K x (m + 1)
// design keeps an (m + 1) x (m + 1) rotation and costs O((K + m) m^2) per
// sweep, whatever the length of the series, so the degree must be bounded;
// this one keeps a fit within milliseconds for the usual few dozen bins. A
// larger m is answered with no coefficients at all, which every reader of
// the list takes as NaN.
constexpr std::uint64_t MAX_DEGREE = 64;

}  // namespace

std::vector<double> estimate_friedrich_coefficients(std::span<const double> x, std::uint64_t m, std::uint64_t r) {
    // Too high a degree to fit: no coefficients (every one of them reads as NaN).
    if (m > MAX_DEGREE) return {};
    const std::size_t terms = static_cast<std::size_t>(m) + 1;
    std::vector<double> failed(terms, NaN);
    // A constant has no drift to fit; one sample has no step.
    if (m == 0 || x.size() < 2) return failed;
    if (r == 0) return failed;

    // The last sample only ends the last step.
    const std::span<const double> signal = x.first(x.size() - 1);
    const auto cut = qcut_labels(signal, r);
    if (!cut) return failed;

    // One point per occupied bin, in bin order.
    const std::vector<std::uint64_t>& bins = cut->occupied;
    const std::size_t k_points = bins.size();
    std::vector<double> count(k_points, 0.0), level(k_points, 0.0), drift(k_points, 0.0);
    interrupt::Stride stride(std::uint64_t{1} << 16);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        if (stride()) return failed;
        const auto at = std::lower_bound(bins.begin(), bins.end(), cut->labels[i]);
        const auto b = static_cast<std::size_t>(at - bins.begin());
        count[b] += 1.0;
        level[b] += signal[i];
        drift[b] += x[i + 1] - x[i];
    }

    // Vandermonde rows, highest power first, each column scaled to unit norm.
    regression::Matrix v{std::vector<double>(k_points * terms), k_points, terms};
    std::vector<double> y(k_points);
    for (std::size_t i = 0; i < k_points; ++i) {
        const double xi = level[i] / count[i];
        y[i] = drift[i] / count[i];
        double power = 1.0;
        for (std::size_t j = terms; j-- > 0;) {
            v(i, j) = power;
            power *= xi;
        }
    }
    // A power or a column's sum of squares that overflows leaves nothing to
    // fit (scaling would turn it into zeros or NaN and the solver into
    // confident zeros).
    if (!stats::all_finite(v.data)) return failed;
    std::vector<double> scale(terms);
    for (std::size_t j = 0; j < terms; ++j) {
        double ss = -0.0;
        for (std::size_t i = 0; i < k_points; ++i) ss += v(i, j) * v(i, j);
        if (!std::isfinite(ss)) return failed;
        scale[j] = ss == 0.0 ? 1.0 : std::sqrt(ss);
        for (std::size_t i = 0; i < k_points; ++i) v(i, j) = v(i, j) / scale[j];
    }

    const auto beta = regression::svd_lstsq(v, y, static_cast<double>(k_points) * EPS);
    if (!beta) return failed;
    std::vector<double> out(terms);
    for (std::size_t j = 0; j < terms; ++j) out[j] = (*beta)[j] / scale[j];
    return out;
}

}  // namespace helpers
