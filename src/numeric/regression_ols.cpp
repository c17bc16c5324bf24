#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/regression.h"
#include "numeric/regression_detail.h"

namespace regression {

namespace {

constexpr double EPS = 2.220446049250313e-16;  // double machine epsilon
// A QR pivot within this many rounding units (scaled by m and the largest
// pivot) of zero makes the triangle unsafe to invert.
constexpr double QR_TOLERANCE_FACTOR = 100.0;

// Scaled coefficients and the diagonal of (Xs^T Xs)^-1 of one solution path.
struct Solution {
    std::vector<double> beta;
    std::vector<double> d;
    std::size_t rank = 0;
};

bool all_finite(const std::vector<double>& x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// Householder QR of the scaled design; nothing when a column is empty or
// not finite, a pivot is too small, or the result is not finite.
std::optional<Solution> solve_qr(const Matrix& xs, std::span<const double> y) {
    const std::size_t m = xs.rows, k = xs.cols;
    Matrix a = xs;
    std::vector<double> b(y.begin(), y.end());
    std::vector<double> v(m);
    for (std::size_t p = 0; p < k; ++p) {
        double nrm2 = 0.0;
        for (std::size_t i = p; i < m; ++i) nrm2 += a(i, p) * a(i, p);
        const double nrm = std::sqrt(nrm2);
        if (nrm2 == 0.0 || !std::isfinite(nrm)) return std::nullopt;
        const double alpha = a(p, p) > 0.0 ? -nrm : nrm;
        for (std::size_t i = p; i < m; ++i) v[i] = a(i, p);
        v[p] = v[p] - alpha;
        double vn = -0.0;
        for (std::size_t i = p; i < m; ++i) vn += v[i] * v[i];
        if (!(vn > 0.0)) continue;
        for (std::size_t j = p; j < k; ++j) {
            double dot = a(p, j) * v[p];
            for (std::size_t i = p + 1; i < m; ++i) dot += v[i] * a(i, j);
            const double f = (dot + dot) / vn;
            for (std::size_t i = p; i < m; ++i) a(i, j) = a(i, j) - v[i] * f;
        }
        double dot = -0.0;
        for (std::size_t i = p; i < m; ++i) dot += v[i] * b[i];
        const double f = (dot + dot) / vn;
        for (std::size_t i = p; i < m; ++i) b[i] = b[i] - v[i] * f;
    }

    double dmax = 0.0;
    for (std::size_t p = 0; p < k; ++p)
        if (std::fabs(a(p, p)) > dmax) dmax = std::fabs(a(p, p));
    if (dmax == 0.0 || !std::isfinite(dmax)) return std::nullopt;
    const double tol = ((static_cast<double>(m) * dmax) * EPS) * QR_TOLERANCE_FACTOR;
    for (std::size_t p = 0; p < k; ++p)
        if (!(tol < std::fabs(a(p, p)))) return std::nullopt;

    Solution out;
    out.beta.assign(k, 0.0);
    for (std::size_t p = k; p-- > 0;) {
        double val = b[p];
        for (std::size_t j = p + 1; j < k; ++j) val = val - a(p, j) * out.beta[j];
        out.beta[p] = val / a(p, p);
    }

    // R^-1, upper triangular, column by column.
    Matrix rinv{std::vector<double>(k * k, 0.0), k, k};
    for (std::size_t j = 0; j < k; ++j) {
        rinv(j, j) = 1.0 / a(j, j);
        for (std::size_t i = j; i-- > 0;) {
            double acc = 0.0;
            for (std::size_t l = i + 1; l <= j; ++l) acc += a(i, l) * rinv(l, j);
            rinv(i, j) = (-acc) / a(i, i);
        }
    }
    out.d.assign(k, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        double di = -0.0;
        for (std::size_t l = i; l < k; ++l) di += rinv(i, l) * rinv(i, l);
        out.d[i] = di;
    }
    if (!all_finite(out.beta) || !all_finite(out.d)) return std::nullopt;
    out.rank = k;
    return out;
}

// Truncated SVD of the scaled design; nothing when no singular value is usable.
std::optional<Solution> solve_svd(const Matrix& xs, std::span<const double> y) {
    const std::size_t m = xs.rows, k = xs.cols;
    const Svd d = jacobi_svd(xs);
    const double smax = detail::max_ignoring_nan(d.s);
    if (smax == 0.0 || std::isinf(smax)) return std::nullopt;
    const double tol = (static_cast<double>(std::max(m, k)) * EPS) * smax;
    Solution out;
    out.beta.assign(k, 0.0);
    out.d.assign(k, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        if (tol >= d.s[i]) continue;
        ++out.rank;
        double uy = -0.0;
        for (std::size_t r = 0; r < m; ++r) uy += d.u(r, i) * y[r];
        const double coef = uy / d.s[i];
        for (std::size_t j = 0; j < k; ++j) {
            out.beta[j] = d.v(j, i) * coef + out.beta[j];
            const double vs = d.v(j, i) / d.s[i];
            out.d[j] = vs * vs + out.d[j];
        }
    }
    return out;
}

}  // namespace

std::optional<OlsFit> ols(const Matrix& x, std::span<const double> y) {
    if (!detail::well_formed(x) || y.size() != x.rows || x.rows == 0 || x.cols == 0) return std::nullopt;
    const std::size_t m = x.rows, k = x.cols;

    // Unit-norm columns make the rank tolerances scale-free; a column with no
    // finite positive norm is left as it is.
    std::vector<double> nrm(k);
    for (std::size_t j = 0; j < k; ++j) {
        double ss = -0.0;
        for (std::size_t i = 0; i < m; ++i) ss += x(i, j) * x(i, j);
        const double root = std::sqrt(ss);
        nrm[j] = (!std::isfinite(root) || ss == 0.0) ? 1.0 : root;
    }
    Matrix xs{std::vector<double>(m * k), m, k};
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < k; ++j) xs(i, j) = x(i, j) / nrm[j];

    std::optional<Solution> sol;
    if (k <= m) sol = solve_qr(xs, y);
    if (!sol) sol = solve_svd(xs, y);
    if (!sol) return std::nullopt;

    OlsFit fit;
    fit.params.resize(k);
    for (std::size_t j = 0; j < k; ++j) fit.params[j] = sol->beta[j] / nrm[j];
    double ssr = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        double pred = 0.0;
        for (std::size_t j = 0; j < k; ++j) pred += x(i, j) * fit.params[j];
        const double res = y[i] - pred;
        ssr = ssr + res * res;
    }
    fit.ssr = ssr;
    fit.nobs = m;
    fit.rank = sol->rank;
    fit.tvalues.assign(k, std::numeric_limits<double>::quiet_NaN());
    const double df = static_cast<double>(m) - static_cast<double>(sol->rank);
    // No residual degrees of freedom: no variance estimate.
    if (df <= 0.0) return fit;
    const double sigma2 = ssr / df;
    for (std::size_t j = 0; j < k; ++j) {
        const double w = sol->d[j] * sigma2;
        if (w > 0.0) fit.tvalues[j] = sol->beta[j] / std::sqrt(w);
    }
    return fit;
}

}  // namespace regression
