// Row loops of the least-squares fits in SIMD lanes.
//
// This file is compiled once per SIMD target (Highway's foreach_target);
// the running machine's best target is chosen at the first call. A lane
// holds one column (or one row) and performs exactly the scalar operations
// in the scalar order: every sum runs over the rows in order, no sum is
// reordered, and the build allows no fused multiply-add. So the bits are
// the same on every target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "numeric/householder_lanes.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstddef>

#include "numeric/householder_lanes.h"

HWY_BEFORE_NAMESPACE();
namespace regression::detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using regression::detail::TILE;

// One reflection of a tile of TILE columns (rows of TILE doubles): every
// column's dot with v, summed from row p in row order, then the update from
// row p on. See apply_reflector in the header.
Reflected ApplyReflector(double* tile, std::size_t m, std::size_t p, const double* v, double vn, bool own,
                         std::size_t norm_col, double* next_col) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    constexpr std::size_t N = hn::MaxLanes(d);
    constexpr std::size_t NV = TILE / N;
    static_assert(NV * N == TILE, "the tile is a whole number of vectors");

    V dot[NV];
    const V vp = hn::Set(d, v[p]);
    const double* row = tile + p * TILE;
    for (std::size_t q = 0; q < NV; ++q) dot[q] = hn::Mul(hn::LoadU(d, row + q * N), vp);
    if (own) {
        vn = -0.0;
        vn += v[p] * v[p];
    }
    for (std::size_t i = p + 1; i < m; ++i) {
        const double vi = v[i];
        const V vv = hn::Set(d, vi);
        row = tile + i * TILE;
        for (std::size_t q = 0; q < NV; ++q) dot[q] = hn::Add(dot[q], hn::Mul(vv, hn::LoadU(d, row + q * N)));
        if (own) vn += vi * vi;
    }
    Reflected out{vn, 0.0, false};
    if (!(vn > 0.0)) return out;
    out.applied = true;
    V f[NV];
    const V vnv = hn::Set(d, vn);
    for (std::size_t q = 0; q < NV; ++q) f[q] = hn::Div(hn::Add(dot[q], dot[q]), vnv);
    double next = 0.0;
    for (std::size_t i = p; i < m; ++i) {
        const V vv = hn::Set(d, v[i]);
        double* const r = tile + i * TILE;
        for (std::size_t q = 0; q < NV; ++q) hn::StoreU(hn::Sub(hn::LoadU(d, r + q * N), hn::Mul(vv, f[q])), d, r + q * N);
        if (norm_col < TILE && i > p) {
            next += r[norm_col] * r[norm_col];
            next_col[i] = r[norm_col];
        }
    }
    out.next_norm2 = next;
    return out;
}

// The reflections ps[0], ps[1], ... (each with vn > 0) of a tile in turn,
// the update pass of one carrying the dot pass of the next: row i is read
// for the next dots right after the update of row i, which is all that the
// next reflection's dots depend on. See apply_reflectors in the header.
double ApplyReflectors(double* tile, std::size_t m, const std::size_t* ps, std::size_t count, const double* vs,
                       const double* vns, std::size_t norm_col, double* next_col) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    constexpr std::size_t N = hn::MaxLanes(d);
    constexpr std::size_t NV = TILE / N;
    if (count == 0) return 0.0;

    V dot[NV], f[NV];
    // The first dot pass on its own.
    {
        const std::size_t p = ps[0];
        const double* const v = vs + p * m;
        const V vp = hn::Set(d, v[p]);
        for (std::size_t q = 0; q < NV; ++q) dot[q] = hn::Mul(hn::LoadU(d, tile + p * TILE + q * N), vp);
        for (std::size_t i = p + 1; i < m; ++i) {
            const V vv = hn::Set(d, v[i]);
            for (std::size_t q = 0; q < NV; ++q)
                dot[q] = hn::Add(dot[q], hn::Mul(vv, hn::LoadU(d, tile + i * TILE + q * N)));
        }
    }
    double next = 0.0;
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t p = ps[c];
        const double* const v = vs + p * m;
        const V vnv = hn::Set(d, vns[p]);
        for (std::size_t q = 0; q < NV; ++q) f[q] = hn::Div(hn::Add(dot[q], dot[q]), vnv);
        const bool more = c + 1 < count;
        const std::size_t pn = more ? ps[c + 1] : m;
        const double* const vn = vs + pn * m;
        // Rows before the next reflection's first row: update only.
        std::size_t i = p;
        for (; i < std::min(pn, m); ++i) {
            const V vv = hn::Set(d, v[i]);
            double* const r = tile + i * TILE;
            for (std::size_t q = 0; q < NV; ++q) hn::StoreU(hn::Sub(hn::LoadU(d, r + q * N), hn::Mul(vv, f[q])), d, r + q * N);
            if (!more && norm_col < TILE && i > p) {
                next += r[norm_col] * r[norm_col];
                next_col[i] = r[norm_col];
            }
        }
        if (!more) break;
        // Its first row starts the next dots, the later rows add to them.
        {
            const V vv = hn::Set(d, v[i]), vq = hn::Set(d, vn[i]);
            double* const r = tile + i * TILE;
            for (std::size_t q = 0; q < NV; ++q) {
                const V a = hn::Sub(hn::LoadU(d, r + q * N), hn::Mul(vv, f[q]));
                hn::StoreU(a, d, r + q * N);
                dot[q] = hn::Mul(a, vq);
            }
        }
        for (++i; i < m; ++i) {
            const V vv = hn::Set(d, v[i]), vq = hn::Set(d, vn[i]);
            double* const r = tile + i * TILE;
            for (std::size_t q = 0; q < NV; ++q) {
                const V a = hn::Sub(hn::LoadU(d, r + q * N), hn::Mul(vv, f[q]));
                hn::StoreU(a, d, r + q * N);
                dot[q] = hn::Add(dot[q], hn::Mul(vq, a));
            }
        }
    }
    return next;
}

// out[j] = the sum from -0.0 of tile[i * TILE + j]^2 over the rows in order.
void ColumnSquares(const double* tile, std::size_t m, double* out) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    constexpr std::size_t N = hn::MaxLanes(d);
    constexpr std::size_t NV = TILE / N;
    V acc[NV];
    for (std::size_t q = 0; q < NV; ++q) acc[q] = hn::Set(d, -0.0);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t q = 0; q < NV; ++q) {
            const V a = hn::LoadU(d, tile + i * TILE + q * N);
            acc[q] = hn::Add(acc[q], hn::Mul(a, a));
        }
    for (std::size_t q = 0; q < NV; ++q) hn::StoreU(acc[q], d, out + q * N);
}

// tile[i * TILE + j] /= by[j] for every row.
void DivideColumns(double* tile, std::size_t m, const double* by) {
    const hn::ScalableTag<double> d;
    using V = hn::Vec<decltype(d)>;
    constexpr std::size_t N = hn::MaxLanes(d);
    constexpr std::size_t NV = TILE / N;
    V div[NV];
    for (std::size_t q = 0; q < NV; ++q) div[q] = hn::LoadU(d, by + q * N);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t q = 0; q < NV; ++q) {
            double* const r = tile + i * TILE + q * N;
            hn::StoreU(hn::Div(hn::LoadU(d, r), div[q]), d, r);
        }
}

// The upper triangle of the Gram matrix of four rows of width w, added to
// part; see gram_rows4 in the header.
void GramRows4(const double* rows, std::size_t w, double* part) {
    const hn::ScalableTag<double> d;
    constexpr std::size_t N = hn::MaxLanes(d);
    const double *r0 = rows, *r1 = r0 + w, *r2 = r1 + w, *r3 = r2 + w;
    for (std::size_t a = 0; a < w; ++a) {
        double* const ga = part + a * w;
        const double s0 = r0[a], s1 = r1[a], s2 = r2[a], s3 = r3[a];
        const auto a0 = hn::Set(d, s0), a1 = hn::Set(d, s1), a2 = hn::Set(d, s2), a3 = hn::Set(d, s3);
        std::size_t b = a;
        for (; b + N <= w; b += N) {
            const auto pair01 = hn::Add(hn::Mul(a0, hn::LoadU(d, r0 + b)), hn::Mul(a1, hn::LoadU(d, r1 + b)));
            const auto pair23 = hn::Add(hn::Mul(a2, hn::LoadU(d, r2 + b)), hn::Mul(a3, hn::LoadU(d, r3 + b)));
            hn::StoreU(hn::Add(hn::LoadU(d, ga + b), hn::Add(pair01, pair23)), d, ga + b);
        }
        for (; b < w; ++b) ga[b] += (s0 * r0[b] + s1 * r1[b]) + (s2 * r2[b] + s3 * r3[b]);
    }
}

// pred[r] = sum over j < k of block[j * stride + r] * params[j], from 0.0
// in column order, for r < len; a whole vector of rows at a time.
std::size_t PredictRows(const double* block, std::size_t stride, std::size_t len, const double* params, std::size_t k,
                        double* pred) {
    const hn::ScalableTag<double> d;
    constexpr std::size_t N = hn::MaxLanes(d);
    std::size_t r = 0;
    for (; r + 2 * N <= len; r += 2 * N) {
        auto a0 = hn::Zero(d), a1 = hn::Zero(d);
        for (std::size_t j = 0; j < k; ++j) {
            const auto pj = hn::Set(d, params[j]);
            a0 = hn::Add(a0, hn::Mul(hn::LoadU(d, block + j * stride + r), pj));
            a1 = hn::Add(a1, hn::Mul(hn::LoadU(d, block + j * stride + r + N), pj));
        }
        hn::StoreU(a0, d, pred + r);
        hn::StoreU(a1, d, pred + r + N);
    }
    return r;
}

}  // namespace HWY_NAMESPACE
}  // namespace regression::detail
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace regression::detail {

HWY_EXPORT(ApplyReflector);
HWY_EXPORT(PredictRows);
HWY_EXPORT(ApplyReflectors);
HWY_EXPORT(ColumnSquares);
HWY_EXPORT(DivideColumns);
HWY_EXPORT(GramRows4);

double apply_reflectors(double* tile, std::size_t m, const std::size_t* ps, std::size_t count, const double* vs,
                        const double* vns, std::size_t norm_col, double* next_col) {
    return HWY_DYNAMIC_DISPATCH(ApplyReflectors)(tile, m, ps, count, vs, vns, norm_col, next_col);
}

void column_squares(const double* tile, std::size_t m, double* out) {
    HWY_DYNAMIC_DISPATCH(ColumnSquares)(tile, m, out);
}

void divide_columns(double* tile, std::size_t m, const double* by) { HWY_DYNAMIC_DISPATCH(DivideColumns)(tile, m, by); }

void gram_rows4(const double* rows, std::size_t w, double* part) { HWY_DYNAMIC_DISPATCH(GramRows4)(rows, w, part); }

Reflected apply_reflector(double* tile, std::size_t m, std::size_t p, const double* v, double vn, bool own,
                          std::size_t norm_col, double* next_col) {
    return HWY_DYNAMIC_DISPATCH(ApplyReflector)(tile, m, p, v, vn, own, norm_col, next_col);
}

void predict_rows(const double* block, std::size_t stride, std::size_t len, const double* params, std::size_t k,
                  double* pred) {
    std::size_t r = HWY_DYNAMIC_DISPATCH(PredictRows)(block, stride, len, params, k, pred);
    for (; r < len; ++r) {
        double acc = 0.0;
        for (std::size_t j = 0; j < k; ++j) acc += block[j * stride + r] * params[j];
        pred[r] = acc;
    }
}

}  // namespace regression::detail

#endif  // HWY_ONCE
