// The one-sided Jacobi SVD's sweeps in SIMD lanes (jacobi_lanes.cpp), used by
// regression::jacobi_svd; not part of the interface.
#pragma once

#include <cmath>
#include <cstddef>

namespace regression::detail {

// A pair whose cosine is below this is already orthogonal to working
// precision and is not rotated.
inline constexpr double JACOBI_PAIR_TOLERANCE = 1e-17;
// The sweeps stop once no pair had a cosine of this size.
inline constexpr double JACOBI_CONVERGED = 1e-15;
inline constexpr int JACOBI_MAX_SWEEPS = 60;

struct JacobiRotation {
    double cs, sn;
    bool rotate;
};

// The rotation of a pair from its sums (alpha = |w_p|^2, beta = |w_q|^2,
// gamma = w_p . w_q); none for orthogonal or empty columns (NaN never
// skips). `off` takes the pair's cosine when larger.
inline JacobiRotation jacobi_rotation(double alpha, double beta, double gamma, double& off) {
    // Where beta * alpha overflows, the product of the roots keeps the pair
    // from being skipped for good.
    const double product = beta * alpha;
    const double norm = std::isfinite(product) ? std::sqrt(product) : std::sqrt(beta) * std::sqrt(alpha);
    if (gamma == 0.0 || product == 0.0 || JACOBI_PAIR_TOLERANCE * norm >= std::fabs(gamma)) return {1.0, 0.0, false};
    const double cosine = std::fabs(gamma) / norm;
    if (cosine > off) off = cosine;
    const double zeta = (beta - alpha) / (gamma + gamma);
    const double sg = std::isnan(zeta) ? zeta : (std::signbit(zeta) ? -1.0 : 1.0);
    const double t = sg / (std::fabs(zeta) + std::sqrt(zeta * zeta + 1.0));
    const double cs = 1.0 / std::sqrt(t * t + 1.0);
    return {cs, t * cs, true};
}

// The decomposition of the row-major m x n matrix a (m, n >= 1): s (n values),
// u (m x n, row-major) and v (n x n, row-major), as regression::jacobi_svd
// defines them.
void jacobi_lanes(const double* a, std::size_t m, std::size_t n, double* s, double* u, double* v);

// The same sweeps on w, the matrix already column by column (column j at
// w + j * m), rotated in place into U diag(s) without forming U: s and v as
// above, v zero on entry. False, with s untouched, when a stop request cut
// the sweeps short.
bool jacobi_sweeps(double* w, std::size_t m, std::size_t n, double* s, double* v);

}  // namespace regression::detail
