#include "numeric/regression.h"

#include <algorithm>
#include <cmath>

#include "numeric/interrupt.h"
#include "numeric/jacobi_lanes.h"
#include "numeric/regression_detail.h"

namespace regression {

Svd jacobi_svd(const Matrix& a) {
    Svd out;
    const std::size_t m = a.rows, n = a.cols;
    // A malformed matrix, or one whose V could not even be indexed (a shape
    // without rows is well formed for any column count), has nothing to
    // decompose.
    std::size_t nn = 0;
    if (!detail::well_formed(a) || __builtin_mul_overflow(n, n, &nn)) return out;
    // No rows: no pair rotates, every column sums to -0.0, V is the identity.
    if (m == 0) {
        out.v = Matrix{std::vector<double>(nn, 0.0), n, n};
        for (std::size_t j = 0; j < n; ++j) out.v(j, j) = 1.0;
        out.s.assign(n, -0.0);
        out.u = Matrix{{}, 0, n};
        return out;
    }
    out.s.assign(n, 0.0);
    out.u = Matrix{std::vector<double>(m * n, 0.0), m, n};
    out.v = Matrix{std::vector<double>(nn, 0.0), n, n};
    if (n > 0) detail::jacobi_lanes(a.data.data(), m, n, out.s.data(), out.u.data.data(), out.v.data.data());
    return out;
}

std::optional<std::vector<double>> svd_lstsq(const Matrix& a, std::span<const double> y, double rcond) {
    if (!detail::well_formed(a) || y.size() != a.rows || a.rows == 0 || a.cols == 0) return std::nullopt;
    std::vector<double> w(a.data.size());
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < a.cols; ++j) w[j * a.rows + i] = a(i, j);
    return svd_lstsq_columns(std::move(w), a.rows, a.cols, y, rcond);
}

std::optional<std::vector<double>> svd_lstsq_columns(std::vector<double> columns, std::size_t rows, std::size_t cols,
                                                     std::span<const double> y, double rcond) {
    const std::size_t m = rows, n = cols;
    std::size_t len = 0, nn = 0;
    if (__builtin_mul_overflow(m, n, &len) || len != columns.size() || __builtin_mul_overflow(n, n, &nn) ||
        y.size() != m || m == 0 || n == 0)
        return std::nullopt;
    // s stays 0 when a stop request cuts the sweeps short: zeros, discarded.
    std::vector<double> s(n, 0.0), v(nn, 0.0);
    detail::jacobi_sweeps(columns.data(), m, n, s.data(), v.data());
    // A NaN or an overflow anywhere in the matrix reaches the singular
    // values: no solution, rather than confident zeros.
    for (double sv : s)
        if (!std::isfinite(sv)) return std::nullopt;
    const double smax = detail::max_ignoring_nan(s);
    std::vector<double> beta(n, 0.0);
    // Nothing to invert.
    if (smax == 0.0) return beta;
    const double cutoff = rcond * smax;
    for (std::size_t i = 0; i < n; ++i) {
        // A column of a long design: poll between them.
        if (interrupt::poll()) break;
        // Also every s_i = 0, whose column of U would be zeros.
        if (cutoff >= s[i]) continue;
        // U's column i is the rotated column i / s_i.
        const double* const wi = columns.data() + i * m;
        double uy = -0.0;
        for (std::size_t r = 0; r < m; ++r) uy += (wi[r] / s[i]) * y[r];
        const double coef = uy / s[i];
        for (std::size_t j = 0; j < n; ++j) beta[j] = v[j * n + i] * coef + beta[j];
    }
    return beta;
}

}  // namespace regression
