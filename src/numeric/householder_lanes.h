// SIMD row loops of the least-squares fits (regression_ols.cpp) and of the
// unit-root test's normal equations (adf.cpp); each gives the bits of the
// scalar loop it replaces.
#pragma once

#include <cstddef>

namespace regression::detail {

// Columns per tile of the Householder factorisation: a tile is stored as
// rows of TILE doubles, and one pass over its rows reflects all its columns.
inline constexpr std::size_t TILE = 8;

struct Reflected {
    double vn;          // |v|^2 (computed here when `own`)
    double next_norm2;  // see apply_reflector
    bool applied;       // vn > 0: the tile was updated
};

// The reflection of step p (v from row p on, |v|^2 = vn) applied to every
// column j of a tile: dot = A[p,j] v[p] + v[i] A[i,j] for i = p+1 .. m-1 in
// order, f = (dot + dot) / vn, A[i,j] = A[i,j] - v[i] f for i = p .. m-1;
// nothing unless vn > 0. With `own`, vn is summed here from -0.0 over
// v[p]^2, v[p+1]^2, ... in the same pass. When norm_col < TILE and the tile
// was updated, next_norm2 is the sum from 0.0 of the updated A[i, norm_col]^2
// for i = p+1 .. m-1 in order, and next_col[i] gets A[i, norm_col] for those
// rows (the next reflection's v).
Reflected apply_reflector(double* tile, std::size_t m, std::size_t p, const double* v, double vn, bool own,
                          std::size_t norm_col, double* next_col);

// apply_reflector for the reflections ps[0] < ps[1] < ... < ps[count-1], all
// with vn > 0, in that order (reflection p's v is vs + p * m from row p, its
// |v|^2 vns[p]). Returns next_norm2 of the last reflection when norm_col <
// TILE (and next_col as apply_reflector), otherwise 0.0.
double apply_reflectors(double* tile, std::size_t m, const std::size_t* ps, std::size_t count, const double* vs,
                        const double* vns, std::size_t norm_col, double* next_col);

// out[j] = the sum from -0.0 of tile[i * TILE + j]^2 over the m rows in order.
void column_squares(const double* tile, std::size_t m, double* out);

// Every row of the tile divided by `by`, column by column.
void divide_columns(double* tile, std::size_t m, const double* by);

// For four rows r0 .. r3 of w doubles stored one after another (rows) and
// every a <= b < w: part[a * w + b] = part[a * w + b] + ((r0[a] r0[b] +
// r1[a] r1[b]) + (r2[a] r2[b] + r3[a] r3[b])), each term as written.
void gram_rows4(const double* rows, std::size_t w, double* part);

// pred[r] = sum over j < k of block[j * stride + r] * params[j], from 0.0 in
// column order, for r < len.
void predict_rows(const double* block, std::size_t stride, std::size_t len, const double* params, std::size_t k,
                  double* pred);

}  // namespace regression::detail
