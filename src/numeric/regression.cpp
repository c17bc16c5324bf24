#include "numeric/regression.h"

#include <algorithm>
#include <cmath>

#include "numeric/regression_detail.h"

namespace regression {

namespace {

// A pair whose cosine is below this is already orthogonal to working
// precision and is not rotated.
constexpr double PAIR_TOLERANCE = 1e-17;
// The sweeps stop once no pair had a cosine of this size.
constexpr double CONVERGED = 1e-15;
constexpr int MAX_SWEEPS = 60;

// Rotates the pair (xp[i], xq[i]) of every element in place.
void rotate(double* xp, double* xq, std::size_t len, std::size_t stride, double cs, double sn) {
    for (std::size_t i = 0; i < len; ++i) {
        const double wp = xp[i * stride], wq = xq[i * stride];
        xp[i * stride] = cs * wp - sn * wq;
        xq[i * stride] = wq * cs + wp * sn;
    }
}

struct PairSums {
    double alpha, beta, gamma;
};

// alpha = sum of W[i,p]^2, beta = sum of W[i,q]^2, gamma = sum of
// W[i,p] W[i,q], each a plain sum from 0.0 in row order, for the pairs
// (ps[c], d - ps[c]) of columns of the column-major w; up to four pairs in
// one pass over the rows.
template <std::size_t K>
void pair_sums_fixed(const double* w, std::size_t m, std::size_t d, const std::size_t* ps, PairSums* out) {
    const double* wp[K];
    const double* wq[K];
    double alpha[K], beta[K], gamma[K];
    for (std::size_t c = 0; c < K; ++c) {
        wp[c] = w + ps[c] * m;
        wq[c] = w + (d - ps[c]) * m;
        alpha[c] = beta[c] = gamma[c] = 0.0;
    }
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t c = 0; c < K; ++c) {
            const double a = wp[c][i], b = wq[c][i];
            alpha[c] += a * a;
            beta[c] += b * b;
            gamma[c] += a * b;
        }
    for (std::size_t c = 0; c < K; ++c) out[c] = {alpha[c], beta[c], gamma[c]};
}

void pair_sums(const double* w, std::size_t m, std::size_t d, const std::size_t* ps, std::size_t count,
               PairSums* out) {
    for (std::size_t c = 0; c < count;) {
        switch (std::min<std::size_t>(count - c, 4)) {
            case 1: pair_sums_fixed<1>(w, m, d, ps + c, out + c); c += 1; break;
            case 2: pair_sums_fixed<2>(w, m, d, ps + c, out + c); c += 2; break;
            case 3: pair_sums_fixed<3>(w, m, d, ps + c, out + c); c += 3; break;
            default: pair_sums_fixed<4>(w, m, d, ps + c, out + c); c += 4; break;
        }
    }
}

}  // namespace

Svd jacobi_svd(const Matrix& a) {
    Svd out;
    const std::size_t m = a.rows, n = a.cols;
    // A malformed matrix, or one whose V could not even be indexed (a shape
    // without rows is well formed for any column count), has nothing to
    // decompose.
    std::size_t nn = 0;
    if (!detail::well_formed(a) || __builtin_mul_overflow(n, n, &nn)) return out;
    out.v = Matrix{std::vector<double>(nn, 0.0), n, n};
    for (std::size_t j = 0; j < n; ++j) out.v(j, j) = 1.0;
    // No rows: no pair rotates, every column sums to -0.0.
    if (m == 0) {
        out.s.assign(n, -0.0);
        out.u = Matrix{{}, 0, n};
        return out;
    }

    // W is kept column by column so that each pair reads two contiguous runs;
    // every rotation and sum sees the same values in the same row order as
    // on the row-major data, so the results are identical.
    std::vector<double> w(m * n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) w[j * m + i] = a(i, j);

    // The pairs of a sweep are visited in the cyclic order (0,1), (0,2), ...,
    // (n-2,n-1). Pair (p,q) reads only columns p and q, last changed by
    // (p,q-1) and (p-1,q): so the pairs with one p + q depend only on pairs
    // with a smaller sum, and running the sweep by increasing p + q gives
    // every pair the same columns as the cyclic order. The pairs of one sum
    // share disjoint columns, so their sums run side by side in one pass
    // over the rows (each still in row order), which the cyclic order's
    // chain of dependent additions could not.
    std::vector<PairSums> sums(n / 2 + 1);
    std::vector<std::size_t> ps(n / 2 + 1);
    for (int sweep = 0; sweep < MAX_SWEEPS; ++sweep) {
        double off = 0.0;
        for (std::size_t d = 1; n >= 2 && d <= 2 * n - 3; ++d) {
            const std::size_t p_lo = d > n - 1 ? d - (n - 1) : 0, p_hi = (d - 1) / 2;
            const std::size_t count = p_hi - p_lo + 1;
            for (std::size_t c = 0; c < count; ++c) ps[c] = p_lo + c;
            pair_sums(w.data(), m, d, ps.data(), count, sums.data());
            for (std::size_t c = 0; c < count; ++c) {
                const std::size_t p = ps[c], q = d - p;
                const double alpha = sums[c].alpha, beta = sums[c].beta, gamma = sums[c].gamma;
                // Where beta * alpha overflows, the product of the roots keeps
                // the pair from being skipped for good.
                const double product = beta * alpha;
                const double norm = std::isfinite(product) ? std::sqrt(product) : std::sqrt(beta) * std::sqrt(alpha);
                // Orthogonal or empty columns; NaN never skips.
                if (gamma == 0.0 || product == 0.0 || PAIR_TOLERANCE * norm >= std::fabs(gamma)) continue;
                const double cosine = std::fabs(gamma) / norm;
                if (cosine > off) off = cosine;
                const double zeta = (beta - alpha) / (gamma + gamma);
                const double sg = std::isnan(zeta) ? zeta : (std::signbit(zeta) ? -1.0 : 1.0);
                const double t = sg / (std::fabs(zeta) + std::sqrt(zeta * zeta + 1.0));
                const double cs = 1.0 / std::sqrt(t * t + 1.0);
                const double sn = t * cs;
                rotate(w.data() + p * m, w.data() + q * m, m, 1, cs, sn);
                rotate(out.v.data.data() + p, out.v.data.data() + q, n, n, cs, sn);
            }
        }
        if (off < CONVERGED) break;
    }

    out.s.assign(n, 0.0);
    out.u = Matrix{std::vector<double>(m * n, 0.0), m, n};
    for (std::size_t j = 0; j < n; ++j) {
        const double* const wj = w.data() + j * m;
        // From -0.0: a matrix without rows has singular values -0.0.
        double ss = -0.0;
        for (std::size_t i = 0; i < m; ++i) ss += wj[i] * wj[i];
        const double s = std::sqrt(ss);
        out.s[j] = s;
        if (ss > 0.0)
            for (std::size_t i = 0; i < m; ++i) out.u(i, j) = wj[i] / s;
    }
    return out;
}

std::optional<std::vector<double>> svd_lstsq(const Matrix& a, std::span<const double> y, double rcond) {
    if (!detail::well_formed(a) || y.size() != a.rows || a.rows == 0 || a.cols == 0) return std::nullopt;
    const std::size_t m = a.rows, n = a.cols;
    const Svd d = jacobi_svd(a);
    // A NaN or an overflow anywhere in a reaches the singular values: no
    // solution, rather than confident zeros.
    for (double s : d.s)
        if (!std::isfinite(s)) return std::nullopt;
    const double smax = detail::max_ignoring_nan(d.s);
    std::vector<double> beta(n, 0.0);
    // Nothing to invert.
    if (smax == 0.0) return beta;
    const double cutoff = rcond * smax;
    for (std::size_t i = 0; i < n; ++i) {
        if (cutoff >= d.s[i]) continue;
        double uy = -0.0;
        for (std::size_t r = 0; r < m; ++r) uy += d.u(r, i) * y[r];
        const double coef = uy / d.s[i];
        for (std::size_t j = 0; j < n; ++j) beta[j] = d.v(j, i) * coef + beta[j];
    }
    return beta;
}

}  // namespace regression
