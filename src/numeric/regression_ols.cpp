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
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// The row loops below keep every sum in its defined order and let the
// independent positions of a row (or the independent rows of a column) share
// vector lanes; the wider instruction sets are picked at load time.
#define SELQUOR_LANES __attribute__((target_clones("avx512f", "avx2", "default")))

// Scaled coefficients and the diagonal of (Xs^T Xs)^-1 of one solution path.
struct Solution {
    std::vector<double> beta;
    std::vector<double> d;
    std::size_t rank = 0;
};

bool all_finite(std::span<const double> x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// Householder reflections of the scaled design, with the target carried as
// one more column. A reflection reads only the column it annihilates and
// updates every column to its right independently of the others, so the
// first k columns of this factorisation are, bit for bit, the factorisation
// of the first k columns alone: one pass serves every leading column set.
//
// Rows are contiguous, so each pass over the rows updates all the trailing
// columns at once (independent accumulators, each summed in row order), and
// the squared norm of the next column is summed while its rows are updated.
struct Householder {
    std::vector<double> a;  // m x (k + 1), row-major; column k is the target
    std::size_t m = 0, k = 0, w = 0;
    std::size_t done = 0;  // columns reflected before the first that cannot be

    double at(std::size_t i, std::size_t j) const { return a[i * w + j]; }
    double b(std::size_t i) const { return a[i * w + k]; }
};

SELQUOR_LANES Householder factor(const Matrix& xs, std::span<const double> y) {
    Householder h;
    h.m = xs.rows;
    h.k = xs.cols;
    h.w = h.k + 1;
    const std::size_t m = h.m, k = h.k, w = h.w;
    h.a.resize(m * w);
    for (std::size_t i = 0; i < m; ++i) {
        std::copy_n(xs.data.data() + i * k, k, h.a.data() + i * w);
        h.a[i * w + k] = y[i];
    }
    double* const a = h.a.data();
    std::vector<double> v(m), dot(w), f(w);

    double nrm2 = 0.0;  // of column p over rows p .. m-1
    if (k > 0)
        for (std::size_t i = 0; i < m; ++i) nrm2 += a[i * w] * a[i * w];
    for (std::size_t p = 0; p < k; ++p) {
        const double nrm = std::sqrt(nrm2);
        if (nrm2 == 0.0 || !std::isfinite(nrm)) {
            h.done = p;
            return h;
        }
        const double alpha = a[p * w + p] > 0.0 ? -nrm : nrm;
        for (std::size_t i = p; i < m; ++i) v[i] = a[i * w + p];
        v[p] = v[p] - alpha;

        // dot_j = A[p,j] v[p] + sum over i > p of v[i] A[i,j], for every
        // trailing column and the target (whose sum from -0.0 starts with
        // the same product), with |v|^2 from -0.0 in the same pass.
        const std::size_t cols = w - p;
        double* const dp = dot.data() + p;
        const double* const rowp = a + p * w + p;
        double vn = -0.0;
        vn += v[p] * v[p];
        for (std::size_t j = 0; j < cols; ++j) dp[j] = rowp[j] * v[p];
        for (std::size_t i = p + 1; i < m; ++i) {
            const double vi = v[i];
            const double* const row = a + i * w + p;
            for (std::size_t j = 0; j < cols; ++j) dp[j] += vi * row[j];
            vn += vi * vi;
        }

        double next = 0.0;  // the squared norm of column p + 1 below row p
        if (vn > 0.0) {
            double* const fp = f.data() + p;
            for (std::size_t j = 0; j < cols; ++j) fp[j] = (dp[j] + dp[j]) / vn;
            for (std::size_t i = p; i < m; ++i) {
                const double vi = v[i];
                double* const row = a + i * w + p;
                for (std::size_t j = 0; j < cols; ++j) row[j] = row[j] - vi * fp[j];
                if (i > p && p + 1 < k) next += row[1] * row[1];
            }
        } else if (p + 1 < k) {
            for (std::size_t i = p + 1; i < m; ++i) next += a[i * w + p + 1] * a[i * w + p + 1];
        }
        nrm2 = next;
    }
    h.done = k;
    return h;
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

// x with every column divided by its norm (sum of squares from -0.0, rows in
// order), or by 1.0 where that norm is 0 or not finite; the divisors go to nrm.
SELQUOR_LANES Matrix unit_columns(const Matrix& x, std::span<double> nrm) {
    const std::size_t m = x.rows, k = x.cols;
    std::fill(nrm.begin(), nrm.end(), -0.0);
    for (std::size_t i = 0; i < m; ++i) {
        const double* const row = x.data.data() + i * k;
        for (std::size_t j = 0; j < k; ++j) nrm[j] += row[j] * row[j];
    }
    for (double& s : nrm) {
        const double root = std::sqrt(s);
        s = (!std::isfinite(root) || s == 0.0) ? 1.0 : root;
    }
    Matrix xs{std::vector<double>(m * k), m, k};
    for (std::size_t i = 0; i < m; ++i) {
        const double* const row = x.data.data() + i * k;
        double* const out = xs.data.data() + i * k;
        for (std::size_t j = 0; j < k; ++j) out[j] = row[j] / nrm[j];
    }
    return xs;
}

// The first k columns of a.
Matrix leading_columns(const Matrix& a, std::size_t k) {
    Matrix out{std::vector<double>(a.rows * k), a.rows, k};
    for (std::size_t i = 0; i < a.rows; ++i) std::copy_n(a.data.data() + i * a.cols, k, out.data.data() + i * k);
    return out;
}

// The residual sum of squares of every fit, rows in order: each row's
// prediction is summed over the columns in order, many rows at a time from
// a column-major block (independent sums), then the squares are added row by
// row.
SELQUOR_LANES void fill_ssr(const Matrix& x, std::span<const double> y, std::vector<std::optional<OlsFit>>& fits) {
    constexpr std::size_t BLOCK = 256;
    const std::size_t m = x.rows, kmax = x.cols;
    std::vector<double> block(BLOCK * kmax), pred(BLOCK);
    std::vector<double> ssr(fits.size(), 0.0);
    for (std::size_t i0 = 0; i0 < m; i0 += BLOCK) {
        const std::size_t len = std::min(BLOCK, m - i0);
        for (std::size_t r = 0; r < len; ++r)
            for (std::size_t j = 0; j < kmax; ++j) block[j * BLOCK + r] = x(i0 + r, j);
        for (std::size_t c = 0; c < fits.size(); ++c) {
            if (!fits[c]) continue;
            const std::vector<double>& params = fits[c]->params;
            std::fill_n(pred.begin(), len, 0.0);
            for (std::size_t j = 0; j < params.size(); ++j) {
                const double pj = params[j];
                const double* const col = block.data() + j * BLOCK;
                for (std::size_t r = 0; r < len; ++r) pred[r] += col[r] * pj;
            }
            double s = ssr[c];
            for (std::size_t r = 0; r < len; ++r) {
                const double res = y[i0 + r] - pred[r];
                s = s + res * res;
            }
            ssr[c] = s;
        }
    }
    for (std::size_t c = 0; c < fits.size(); ++c)
        if (fits[c]) fits[c]->ssr = ssr[c];
}

// The sample counts and the t-values of a fit whose ssr is already set.
void finish(OlsFit& fit, const Solution& sol, std::size_t m) {
    const std::size_t k = sol.beta.size();
    fit.nobs = m;
    fit.rank = sol.rank;
    fit.tvalues.assign(k, NaN);
    const double df = static_cast<double>(m) - static_cast<double>(sol.rank);
    // No residual degrees of freedom: no variance estimate.
    if (df <= 0.0) return;
    const double sigma2 = fit.ssr / df;
    for (std::size_t j = 0; j < k; ++j) {
        const double wj = sol.d[j] * sigma2;
        if (wj > 0.0) fit.tvalues[j] = sol.beta[j] / std::sqrt(wj);
    }
}

}  // namespace

std::vector<std::optional<OlsFit>> ols_nested(const Matrix& x, std::span<const double> y, std::size_t k_first) {
    const std::size_t kmax = x.cols;
    std::vector<std::optional<OlsFit>> fits(k_first <= kmax ? kmax - k_first + 1 : 0);
    if (fits.empty() || !detail::well_formed(x) || y.size() != x.rows || x.rows == 0 || kmax == 0) return fits;
    const std::size_t m = x.rows;

    // Unit-norm columns make the rank tolerances scale-free; a column with no
    // finite positive norm is left as it is. A column's norm does not depend
    // on the other columns, so every leading set shares these.
    std::vector<double> nrm(kmax);
    const Matrix xs = unit_columns(x, nrm);

    // QR needs at least as many rows as columns.
    const Householder h = factor(xs, y);
    const std::size_t qr_cols = std::min(h.done, m);

    // R^-1 of the reflected triangle: its leading k x k block is the inverse
    // of the leading k x k block of R, and the diagonal of the covariance of
    // the first k columns is the running sum of the squares of its first k
    // columns, row by row in column order.
    std::vector<double> rinv(qr_cols * qr_cols, 0.0);
    for (std::size_t j = 0; j < qr_cols; ++j) {
        rinv[j * qr_cols + j] = 1.0 / h.at(j, j);
        for (std::size_t i = j; i-- > 0;) {
            double acc = 0.0;
            for (std::size_t l = i + 1; l <= j; ++l) acc += h.at(i, l) * rinv[l * qr_cols + j];
            rinv[i * qr_cols + j] = (-acc) / h.at(i, i);
        }
    }
    std::vector<double> d(kmax, -0.0);
    std::vector<Solution> sols(fits.size());
    double dmax = 0.0;
    for (std::size_t k = 1; k <= kmax; ++k) {
        const std::size_t p = k - 1;
        bool qr = k <= qr_cols;
        if (qr) {
            if (std::fabs(h.at(p, p)) > dmax) dmax = std::fabs(h.at(p, p));
            for (std::size_t i = 0; i <= p; ++i) d[i] += rinv[i * qr_cols + p] * rinv[i * qr_cols + p];
        }
        if (k < k_first) continue;
        Solution& sol = sols[k - k_first];
        if (qr && (dmax == 0.0 || !std::isfinite(dmax))) qr = false;
        if (qr) {
            const double tol = ((static_cast<double>(m) * dmax) * EPS) * QR_TOLERANCE_FACTOR;
            for (std::size_t q = 0; q < k && qr; ++q) qr = tol < std::fabs(h.at(q, q));
        }
        if (qr) {
            sol.beta.assign(k, 0.0);
            for (std::size_t q = k; q-- > 0;) {
                double val = h.b(q);
                for (std::size_t j = q + 1; j < k; ++j) val = val - h.at(q, j) * sol.beta[j];
                sol.beta[q] = val / h.at(q, q);
            }
            sol.d.assign(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k));
            qr = all_finite(sol.beta) && all_finite(sol.d);
            sol.rank = k;
        }
        if (!qr) {
            auto svd = solve_svd(k == kmax ? xs : leading_columns(xs, k), y);
            if (!svd) continue;
            sol = std::move(*svd);
        }
        OlsFit& fit = fits[k - k_first].emplace();
        fit.params.resize(k);
        for (std::size_t j = 0; j < k; ++j) fit.params[j] = sol.beta[j] / nrm[j];
    }

    fill_ssr(x, y, fits);
    for (std::size_t c = 0; c < fits.size(); ++c)
        if (fits[c]) finish(*fits[c], sols[c], m);
    return fits;
}

std::optional<OlsFit> ols(const Matrix& x, std::span<const double> y) {
    if (x.cols == 0) return std::nullopt;
    return std::move(ols_nested(x, y, x.cols).front());
}

}  // namespace regression
