// The sweeps of the one-sided Jacobi SVD in SIMD lanes.
//
// This file is compiled once per SIMD target (Highway's foreach_target); the
// running machine's best target is chosen at the first call. W is kept column
// by column. The three sums of a pair run in a lane each: the pairs of one
// p + q share no column, so a vector holds up to N of them, fed by a
// transpose of N rows of their columns, and each lane still adds its rows in
// order. A rotation works on single elements, so its lanes are rows. Every
// lane does the scalar operations in the scalar order, with no fused
// multiply-add in the build: the bits are those of the pair-by-pair loop on
// every target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "numeric/jacobi_lanes.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "numeric/interrupt.h"
#include "numeric/jacobi_lanes.h"

HWY_BEFORE_NAMESPACE();
namespace regression::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Sums in lanes of at most four pairs: 256-bit additions have the shorter
// latency, and the chain of additions in row order is what a sum waits on.
using DS = hn::CappedTag<double, 4>;
using VS = hn::Vec<DS>;

// r[l] lane c = v[c] lane l, for N x N (N = 1, 2 or 4).
HWY_INLINE void Transpose(VS* v) {
    const DS d;
    constexpr std::size_t N = hn::MaxLanes(d);
    static_assert(N == 1 || N == 2 || N == 4, "four lanes at most");
#if HWY_TARGET != HWY_SCALAR
    if constexpr (N == 2) {
        const VS a = hn::InterleaveLower(d, v[0], v[1]), b = hn::InterleaveUpper(d, v[0], v[1]);
        v[0] = a;
        v[1] = b;
    } else if constexpr (N == 4) {
        const VS t0 = hn::InterleaveLower(d, v[0], v[1]), t1 = hn::InterleaveUpper(d, v[0], v[1]);
        const VS t2 = hn::InterleaveLower(d, v[2], v[3]), t3 = hn::InterleaveUpper(d, v[2], v[3]);
        v[0] = hn::ConcatLowerLower(d, t2, t0);
        v[1] = hn::ConcatLowerLower(d, t3, t1);
        v[2] = hn::ConcatUpperUpper(d, t2, t0);
        v[3] = hn::ConcatUpperUpper(d, t3, t1);
    }
#else
    (void)v;  // one lane: nothing to move
#endif
}

// For the columns cp[c] and cq[c] (c < K N) of the column-major w: a[c] = the
// sum of w[cp[c]]^2, b[c] of w[cq[c]]^2, g[c] of w[cp[c]] w[cq[c]], each from
// `init` over the m rows in order; K vectors of pairs side by side.
template <std::size_t K>
void PairSums(const double* w, std::size_t m, const std::size_t* cp, const std::size_t* cq, double init, double* a,
              double* b, double* g) {
    const DS d;
    constexpr std::size_t N = hn::MaxLanes(d);
    const double* P[K * N];
    const double* Q[K * N];
    for (std::size_t c = 0; c < K * N; ++c) P[c] = w + cp[c] * m, Q[c] = w + cq[c] * m;
    VS sa[K], sb[K], sg[K];
    for (std::size_t k = 0; k < K; ++k) sa[k] = sb[k] = sg[k] = hn::Set(d, init);
    const auto add_row = [&](std::size_t k, VS p, VS q) HWY_ATTR {
        sa[k] = hn::Add(sa[k], hn::Mul(p, p));
        sb[k] = hn::Add(sb[k], hn::Mul(q, q));
        sg[k] = hn::Add(sg[k], hn::Mul(p, q));
    };
    std::size_t i = 0;
    for (; i + N <= m; i += N) {
        VS p[K][N], q[K][N];
        for (std::size_t k = 0; k < K; ++k) {
            for (std::size_t c = 0; c < N; ++c)
                p[k][c] = hn::LoadU(d, P[k * N + c] + i), q[k][c] = hn::LoadU(d, Q[k * N + c] + i);
            Transpose(p[k]);
            Transpose(q[k]);
        }
        for (std::size_t r = 0; r < N; ++r)
            for (std::size_t k = 0; k < K; ++k) add_row(k, p[k][r], q[k][r]);
    }
    for (; i < m; ++i) {
        for (std::size_t k = 0; k < K; ++k) {
            HWY_ALIGN double tp[N], tq[N];
            for (std::size_t c = 0; c < N; ++c) tp[c] = P[k * N + c][i], tq[c] = Q[k * N + c][i];
            add_row(k, hn::Load(d, tp), hn::Load(d, tq));
        }
    }
    for (std::size_t k = 0; k < K; ++k) {
        hn::StoreU(sa[k], d, a + k * N);
        hn::StoreU(sb[k], d, b + k * N);
        hn::StoreU(sg[k], d, g + k * N);
    }
}

// xp[i] = cs xp[i] - sn xq[i] and xq[i] = xq[i] cs + xp[i] sn (both read
// first) for i < len, in lanes of rows.
void RotateColumns(double* xp, double* xq, std::size_t len, double cs, double sn) {
    const hn::ScalableTag<double> d;
    const auto c = hn::Set(d, cs), s = hn::Set(d, sn);
    const std::size_t N = hn::Lanes(d);
    std::size_t i = 0;
    for (; i + N <= len; i += N) {
        const auto wp = hn::LoadU(d, xp + i), wq = hn::LoadU(d, xq + i);
        hn::StoreU(hn::Sub(hn::Mul(c, wp), hn::Mul(s, wq)), d, xp + i);
        hn::StoreU(hn::Add(hn::Mul(wq, c), hn::Mul(wp, s)), d, xq + i);
    }
    for (; i < len; ++i) {
        const double wp = xp[i], wq = xq[i];
        xp[i] = cs * wp - sn * wq;
        xq[i] = wq * cs + wp * sn;
    }
}

// The sweeps on the column-major w, in place, then s; false when a stop
// request cut them short (s then untouched).
bool SweepLanes(double* w, std::size_t m, std::size_t n, double* s_out, double* v_out) {
    constexpr std::size_t N = hn::MaxLanes(DS());
    // A sweep over a wide design can take minutes: a stop request abandons
    // the decomposition (its value is then discarded).
    interrupt::Stride stride(std::size_t{1} << 20);
    for (std::size_t j = 0; j < n; ++j) v_out[j * n + j] = 1.0;

    // The pairs of a sweep are visited in the cyclic order (0,1), (0,2), ...,
    // (n-2,n-1). Pair (p,q) reads only columns p and q, last changed by
    // (p,q-1) and (p-1,q): so the pairs with one p + q depend only on pairs
    // with a smaller sum, and running the sweep by increasing p + q gives
    // every pair the same columns as the cyclic order. The pairs of one sum
    // share no column, so their sums run side by side.
    std::size_t cp[2 * N], cq[2 * N];
    double alpha[2 * N], beta[2 * N], gamma[2 * N];
    for (int sweep = 0; sweep < JACOBI_MAX_SWEEPS; ++sweep) {
        double off = 0.0;
        for (std::size_t dd = 1; n >= 2 && dd <= 2 * n - 3; ++dd) {
            const std::size_t p_lo = dd > n - 1 ? dd - (n - 1) : 0, p_hi = (dd - 1) / 2;
            if (stride((m + n) * (p_hi + 1 - p_lo))) return false;
            for (std::size_t p0 = p_lo; p0 <= p_hi; p0 += 2 * N) {
                const std::size_t count = std::min(2 * N, p_hi + 1 - p0);
                // Lanes past the group repeat its last pair.
                for (std::size_t c = 0; c < 2 * N; ++c) cp[c] = p0 + std::min(c, count - 1), cq[c] = dd - cp[c];
                if (count > N)
                    PairSums<2>(w, m, cp, cq, 0.0, alpha, beta, gamma);
                else
                    PairSums<1>(w, m, cp, cq, 0.0, alpha, beta, gamma);
                for (std::size_t c = 0; c < count; ++c) {
                    const JacobiRotation r = jacobi_rotation(alpha[c], beta[c], gamma[c], off);
                    if (!r.rotate) continue;
                    const std::size_t p = cp[c], q = cq[c];
                    RotateColumns(w + p * m, w + q * m, m, r.cs, r.sn);
                    for (std::size_t i = 0; i < n; ++i) {
                        const double wp = v_out[i * n + p], wq = v_out[i * n + q];
                        v_out[i * n + p] = r.cs * wp - r.sn * wq;
                        v_out[i * n + q] = wq * r.cs + wp * r.sn;
                    }
                }
            }
        }
        if (off < JACOBI_CONVERGED) break;
    }

    // ss_j from -0.0 over the rows in order, s_j = sqrt(ss_j).
    double ss[2 * N], unused[4 * N];
    for (std::size_t j0 = 0; j0 < n; j0 += 2 * N) {
        const std::size_t count = std::min(2 * N, n - j0);
        if (stride(2 * m * count)) return false;
        for (std::size_t c = 0; c < 2 * N; ++c) cp[c] = cq[c] = j0 + std::min(c, count - 1);
        PairSums<2>(w, m, cp, cq, -0.0, ss, unused, unused + 2 * N);
        for (std::size_t c = 0; c < count; ++c) s_out[j0 + c] = std::sqrt(ss[c]);
    }
    return true;
}

void JacobiLanes(const double* a, std::size_t m, std::size_t n, double* s_out, double* u_out, double* v_out) {
    std::vector<double> w(m * n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) w[j * m + i] = a[i * n + j];
    if (!SweepLanes(w.data(), m, n, s_out, v_out)) return;
    // U = W / s_j where s_j > 0 (as ss_j > 0), zeros elsewhere.
    for (std::size_t j = 0; j < n; ++j) {
        if (!(s_out[j] > 0.0)) continue;
        const double* const wj = w.data() + j * m;
        for (std::size_t i = 0; i < m; ++i) u_out[i * n + j] = wj[i] / s_out[j];
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace regression::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace regression::detail {

HWY_EXPORT(JacobiLanes);
HWY_EXPORT(SweepLanes);

void jacobi_lanes(const double* a, std::size_t m, std::size_t n, double* s, double* u, double* v) {
    HWY_DYNAMIC_DISPATCH(JacobiLanes)(a, m, n, s, u, v);
}

bool jacobi_sweeps(double* w, std::size_t m, std::size_t n, double* s, double* v) {
    return HWY_DYNAMIC_DISPATCH(SweepLanes)(w, m, n, s, v);
}

}  // namespace regression::detail

#endif  // HWY_ONCE
