// Small dense least squares without a linear-algebra dependency.
//
// The matrices of this system have few columns (a polynomial degree, an
// autoregression order, a handful of lag terms), so a one-sided Jacobi SVD
// and an unblocked Householder QR are all that is needed. Every routine is
// pure, never throws, and reports a shape it cannot solve as no result.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace regression {

// Row-major dense matrix: element (i, j) is data[i * cols + j]. A matrix whose
// data length is not rows * cols is malformed; every routine below treats it
// as having no solution (jacobi_svd returns an empty decomposition, as it
// does for a column count whose square does not fit in size_t).
struct Matrix {
    std::vector<double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double operator()(std::size_t i, std::size_t j) const { return data[i * cols + j]; }
    double& operator()(std::size_t i, std::size_t j) { return data[i * cols + j]; }
};

// A = U * diag(s) * V^T up to rounding, for A of m rows and n columns.
struct Svd {
    std::vector<double> s;  // n values in column order: not sorted, never negative
                            // (-0.0 for a matrix without rows)
    Matrix u;               // m x n; column j is the rotated column j / s_j, or zeros
    Matrix v;               // n x n, the accumulated rotations
};

// One-sided (Hestenes) Jacobi SVD: cyclic sweeps over the column pairs
// (p, q), p < q, until the largest cosine between two columns falls below
// 1e-15, at most 60 sweeps.
Svd jacobi_svd(const Matrix& a);

// Minimum-norm least-squares solution of a * beta = y over the singular
// directions with s_i > rcond * max(s). n zeros when every singular value is
// 0; nothing when one is NaN or infinite (a NaN or an overflow in a), when
// len(y) != rows or when a dimension is 0.
std::optional<std::vector<double>> svd_lstsq(const Matrix& a, std::span<const double> y, double rcond);
// The same on the matrix given column by column (column j at columns[j *
// rows ..]; a length other than rows * cols has no solution), rotated in
// place: the decomposition needs no memory beyond the matrix itself.
std::optional<std::vector<double>> svd_lstsq_columns(std::vector<double> columns, std::size_t rows, std::size_t cols,
                                                     std::span<const double> y, double rcond);

struct OlsFit {
    std::vector<double> params;   // k coefficients, in the units of the given columns
    std::vector<double> tvalues;  // NaN where the variance term is not positive or nobs <= rank
    double ssr = 0.0;             // residual sum of squares against the unscaled design
    std::size_t nobs = 0;
    std::size_t rank = 0;  // k from QR, the number of kept singular values from the SVD
};

// Ordinary least squares on unit-norm scaled columns: Householder QR when it
// is numerically safe, otherwise the Jacobi SVD with the cut-off
// max(m, k) * eps * max(s). Nothing for a wrong shape or when the design has
// no usable singular value.
std::optional<OlsFit> ols(const Matrix& x, std::span<const double> y);

// The fits of y on the leading k columns of x for k = k_first .. x.cols, in
// that order: element k - k_first is exactly what ols gives on the first k
// columns (nothing for k = 0), from one factorisation of x.
std::vector<std::optional<OlsFit>> ols_nested(const Matrix& x, std::span<const double> y, std::size_t k_first);

}  // namespace regression
