#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/constants.h"
#include "numeric/regression.h"
#include "numeric/householder_lanes.h"
#include "numeric/interrupt.h"
#include "numeric/large_buffer.h"
#include "numeric/regression_detail.h"
#include "numeric/stats.h"

namespace regression {

namespace {

using detail::apply_reflector;
using detail::apply_reflectors;
using detail::column_squares;
using detail::DesignRows;
using detail::divide_columns;
using detail::predict_rows;
using detail::Reflected;
using detail::TILE;

using numeric::EPS;
using numeric::LargeBuffer;
using numeric::NaN;
using stats::all_finite;

// A QR pivot within this many rounding units (scaled by m and the largest
// pivot) of zero makes the triangle unsafe to invert.
constexpr double QR_TOLERANCE_FACTOR = 100.0;
// Scaled coefficients and the diagonal of (Xs^T Xs)^-1 of one solution path.
struct Solution {
    std::vector<double> beta;
    std::vector<double> d;
    std::size_t rank = 0;
};

// Householder reflections of the scaled design, with the target carried as
// one more column. A reflection reads only the column it annihilates and
// updates every column to its right independently of the others, so the
// first k columns of this factorisation are, bit for bit, the factorisation
// of the first k columns alone: one pass serves every leading column set.
//
// The columns are stored in tiles of TILE (rows of TILE doubles) and
// factored tile by tile: a tile first takes every earlier reflection, then
// reflects its own columns. Each column sees exactly the operations of the
// column-by-column algorithm in the same order, but a tile stays in cache
// while all its reflections pass over it, and one pass over its rows serves
// all its columns. The squared norm of the next column is summed in the same
// pass that updates it.
struct Householder {
    double* tiles = nullptr;  // tile t: m rows of TILE doubles, columns t*TILE ..
    std::size_t m = 0, k = 0;
    std::size_t done = 0;      // columns reflected before the first that cannot be
    std::vector<double> nrm;  // the divisor of each column (1.0 past column k - 1)

    double at(std::size_t i, std::size_t j) const { return tiles[(j / TILE) * m * TILE + i * TILE + j % TILE]; }
    double b(std::size_t i) const { return at(i, k); }
};

// Tiles of the design with its target column, of every design of up to
// rows x cols.
std::size_t tiled_size(std::size_t rows, std::size_t cols) { return (cols + 1 + TILE - 1) / TILE * TILE * rows; }

// Scales the columns of x to unit norm (nrm: the divisors) and factors the
// scaled design, in the arrays of s.
Householder factor(const DesignRows& x, std::span<const double> y, detail::FactorScratch& s) {
    Householder h;
    const std::size_t m = x.rows, k = x.cols, ntiles = (k + 1 + TILE - 1) / TILE;
    h.m = m;
    h.k = k;
    // A long design can take minutes: a stop request leaves no column
    // factored (the fits are then discarded).
    interrupt::Stride stride(std::size_t{1} << 16);
    if (stride(m * (k + 1))) {
        h.done = 0;
        return h;
    }
    if (s.tiles.size() < tiled_size(m, k)) s.tiles = LargeBuffer(tiled_size(m, k));
    if (s.vs.size() < m * k) s.vs = LargeBuffer(m * k);
    h.tiles = s.tiles.data();
    auto tile = [&](std::size_t t) { return h.tiles + t * m * TILE; };
    // Row i of the design and y[i], then zeros to the end of the last tile.
    std::vector<double> wide(ntiles * TILE, 0.0);
    for (std::size_t i = 0; i < m; ++i) {
        if (stride(k + 1)) {
            h.done = 0;
            return h;
        }
        x.row(i, wide.data());
        wide[k] = y[i];
        for (std::size_t t = 0; t < ntiles; ++t) std::copy_n(wide.data() + t * TILE, TILE, tile(t) + i * TILE);
    }
    // Unit-norm columns make the rank tolerances scale-free; a column with
    // no finite positive norm is left as it is. The target (and the padding)
    // is divided by 1.0, which leaves it unchanged.
    h.nrm.assign(ntiles * TILE, 1.0);
    for (std::size_t t = 0; t < ntiles; ++t) {
        if (stride(m * TILE)) {
            h.done = 0;
            return h;
        }
        double ss[TILE];
        column_squares(tile(t), m, ss);
        for (std::size_t c = 0; c < TILE && t * TILE + c < k; ++c) {
            const double root = std::sqrt(ss[c]);
            h.nrm[t * TILE + c] = (!std::isfinite(root) || ss[c] == 0.0) ? 1.0 : root;
        }
        divide_columns(tile(t), m, h.nrm.data() + t * TILE);
    }
    // Every reflection's v, from its own row on (rows above are never read).
    double* const vs = s.vs.data();
    std::vector<double> vn(k);
    std::vector<char> applied(k, 0);
    bool escaped = false;
    h.done = k;
    for (std::size_t t = 0; t < ntiles; ++t) {
        if (stride(m * TILE)) {
            h.done = 0;
            return h;
        }
        const std::size_t start = t * TILE;
        // After an escape only the target's tile is still needed.
        if (escaped && t + 1 < ntiles) continue;
        double* const a = tile(t);
        // The norm of the tile's first column is summed while the last
        // earlier reflection updates it.
        const bool factor_own = !escaped && start < k;
        std::vector<std::size_t> earlier;
        for (std::size_t p = 0; p < std::min(start, h.done); ++p)
            if (applied[p]) earlier.push_back(p);
        const bool have_norm_first = factor_own && !earlier.empty() && earlier.back() + 1 == start;
        double nrm2 = apply_reflectors(a, m, earlier.data(), earlier.size(), vs, vn.data(),
                                       have_norm_first ? 0 : TILE,
                                       have_norm_first ? vs + start * m : nullptr);
        bool have_norm = have_norm_first;
        if (!factor_own) continue;
        for (std::size_t p = start; p < std::min(start + TILE, k); ++p) {
            const std::size_t c = p - start;
            // v starts as the column from row p: copied with its norm, or
            // already written by the update that the norm came from.
            double* const v = vs + p * m;
            if (!have_norm) {
                nrm2 = 0.0;
                for (std::size_t i = p; i < m; ++i) {
                    v[i] = a[i * TILE + c];
                    nrm2 += v[i] * v[i];
                }
            }
            have_norm = false;
            const double nrm = std::sqrt(nrm2);
            if (nrm2 == 0.0 || !std::isfinite(nrm)) {
                h.done = p;
                escaped = true;
                break;
            }
            const double alpha = a[p * TILE + c] > 0.0 ? -nrm : nrm;
            v[p] = a[p * TILE + c] - alpha;
            const std::size_t next_col = p + 1 < k && c + 1 < TILE ? c + 1 : TILE;
            const Reflected r = apply_reflector(a, m, p, v, 0.0, true, next_col, v + m);
            vn[p] = r.vn;
            applied[p] = r.applied;
            if (r.applied && next_col < TILE) {
                nrm2 = r.next_norm2;
                have_norm = true;
            }
        }
    }
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

// The first k columns of x, each divided by its norm.
Matrix scaled_columns(const DesignRows& x, std::span<const double> nrm, std::size_t k) {
    Matrix out{std::vector<double>(x.rows * k), x.rows, k};
    std::vector<double> row(x.cols);
    for (std::size_t i = 0; i < x.rows; ++i) {
        x.row(i, row.data());
        for (std::size_t j = 0; j < k; ++j) out(i, j) = row[j] / nrm[j];
    }
    return out;
}

// The rows of a well-formed matrix.
class MatrixRows final : public DesignRows {
public:
    explicit MatrixRows(const Matrix& x) : DesignRows(x.rows, x.cols), x_(x) {}
    void row(std::size_t i, double* out) const override { std::copy_n(x_.data.data() + i * cols, cols, out); }

private:
    const Matrix& x_;
};

// The residual sum of squares of every fit, rows in order: each row's
// prediction is summed over the columns in order, many rows at a time from
// a column-major block (independent sums), then the squares are added row by
// row, a few fits side by side.
void fill_ssr(const DesignRows& x, std::span<const double> y, std::vector<std::optional<OlsFit>>& fits) {
    constexpr std::size_t BLOCK = 64, GROUP = 4;
    const std::size_t m = x.rows, kmax = x.cols;
    std::vector<std::size_t> live;
    for (std::size_t c = 0; c < fits.size(); ++c)
        if (fits[c]) live.push_back(c);
    std::vector<double> block(BLOCK * kmax), pred(GROUP * BLOCK), ssr(live.size(), 0.0), row(kmax);
    // O(m k^2) over every lag: a stop request leaves the sums short (the
    // fits are then discarded).
    interrupt::Stride stride(std::size_t{1} << 20);
    for (std::size_t i0 = 0; i0 < m && !stride(BLOCK * kmax * (live.size() + 1)); i0 += BLOCK) {
        const std::size_t len = std::min(BLOCK, m - i0);
        for (std::size_t r = 0; r < len; ++r) {
            x.row(i0 + r, row.data());
            for (std::size_t j = 0; j < kmax; ++j) block[j * BLOCK + r] = row[j];
        }
        for (std::size_t g0 = 0; g0 < live.size(); g0 += GROUP) {
            const std::size_t g_len = std::min(GROUP, live.size() - g0);
            for (std::size_t g = 0; g < g_len; ++g) {
                const std::vector<double>& params = fits[live[g0 + g]]->params;
                predict_rows(block.data(), BLOCK, len, params.data(), params.size(), pred.data() + g * BLOCK);
            }
            double s[GROUP];
            for (std::size_t g = 0; g < GROUP; ++g) s[g] = g < g_len ? ssr[g0 + g] : 0.0;
            for (std::size_t r = 0; r < len; ++r) {
                const double yr = y[i0 + r];
                for (std::size_t g = 0; g < GROUP; ++g) {
                    const double res = yr - pred[g * BLOCK + r];
                    s[g] = s[g] + res * res;
                }
            }
            for (std::size_t g = 0; g < g_len; ++g) ssr[g0 + g] = s[g];
        }
    }
    for (std::size_t c = 0; c < live.size(); ++c) fits[live[c]]->ssr = ssr[c];
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

void detail::FactorScratch::reserve(std::size_t rows, std::size_t cols) {
    if (tiles.size() < tiled_size(rows, cols)) tiles = LargeBuffer(tiled_size(rows, cols));
    if (vs.size() < rows * cols) vs = LargeBuffer(rows * cols);
}

std::vector<std::optional<OlsFit>> detail::ols_nested(const DesignRows& x, std::span<const double> y,
                                                      std::size_t k_first, FactorScratch* scratch) {
    const std::size_t kmax = x.cols;
    std::vector<std::optional<OlsFit>> fits(k_first <= kmax ? kmax - k_first + 1 : 0);
    if (fits.empty() || y.size() != x.rows || x.rows == 0 || kmax == 0) return fits;
    const std::size_t m = x.rows;

    // Unit-norm columns make the rank tolerances scale-free; a column with no
    // finite positive norm is left as it is. A column's norm does not depend
    // on the other columns, so every leading set shares these.

    // QR needs at least as many rows as columns.
    FactorScratch own;
    const Householder h = factor(x, y, scratch ? *scratch : own);
    if (h.done == 0 && interrupt::poll()) return fits;
    const std::span<const double> nrm(h.nrm.data(), kmax);
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
            auto svd = solve_svd(scaled_columns(x, nrm, k), y);
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

std::vector<std::optional<OlsFit>> ols_nested(const Matrix& x, std::span<const double> y, std::size_t k_first) {
    if (!detail::well_formed(x)) return std::vector<std::optional<OlsFit>>(k_first <= x.cols ? x.cols - k_first + 1 : 0);
    return detail::ols_nested(MatrixRows(x), y, k_first);
}

std::optional<OlsFit> ols(const Matrix& x, std::span<const double> y) {
    if (x.cols == 0) return std::nullopt;
    return std::move(ols_nested(x, y, x.cols).front());
}

}  // namespace regression
