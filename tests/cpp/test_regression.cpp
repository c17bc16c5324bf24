// The decomposition and least squares are checked against numpy through the
// module (ar_coefficient, friedrich_coefficients); here the shapes and inputs
// it cannot reach. Expected values were computed once with statsmodels 0.15:
//   sm.OLS(y, X).fit() -> params, tvalues, ssr;
// for the rank-deficient OLS case, whose coefficients are the minimum-norm
// solution of the unit-norm scaled design, with
//   Xs = X / norm(X, axis=0); P = np.linalg.pinv(Xs, rcond=m*eps);
//   bs = P @ y; params = bs / norm; t = bs / sqrt(diag(P @ P.T) * ssr / (m - rank)).
// Hand-derived values say so where they stand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "numeric/regression.h"
#include "test_util.h"

namespace {

using regression::Matrix;
using Vec = std::vector<double>;

Matrix from_rows(const std::vector<Vec>& rows) {
    Matrix a{{}, rows.size(), rows.empty() ? 0 : rows[0].size()};
    for (const auto& r : rows) a.data.insert(a.data.end(), r.begin(), r.end());
    return a;
}

// m x k, element (i, j) = f(i, j).
template <class F>
Matrix build(std::size_t m, std::size_t k, F f) {
    Matrix a{{}, m, k};
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < k; ++j) a.data.push_back(f(double(i), j));
    return a;
}

// Elementwise |got - want| <= atol + rtol |want|; a NaN is expected as NaN.
void expect_close(const Vec& got, const Vec& want, double rtol, double atol = 0.0) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::isnan(want[i]) ? std::isnan(got[i])
                                        : std::fabs(got[i] - want[i]) <= atol + rtol * std::fabs(want[i]))
            << "at " << i << ": " << got[i] << " for " << want[i];
}

}  // namespace

TEST(JacobiSvd, DegenerateShapes) {
    // No rows: every column sums to -0.0, V stays the identity.
    const auto none = regression::jacobi_svd(Matrix{{}, 0, 2});
    EXPECT_TRUE(none.s.size() == 2 && std::signbit(none.s[0]) && none.s[1] == 0.0 && std::signbit(none.s[1]));
    EXPECT_EQ(none.u.rows, 0u);
    EXPECT_EQ(none.v.data, (Vec{1, 0, 0, 1}));
    EXPECT_TRUE(regression::jacobi_svd(Matrix{{}, 3, 0}).s.empty());
    // Malformed data, a rows * cols that overflows, and a well-formed row-less
    // shape whose cols * cols overflows (it used to write past V) decompose to nothing.
    for (const Matrix& bad : {Matrix{{1, 2}, 2, 2}, Matrix{{1}, std::size_t{1} << 33, std::size_t{1} << 33},
                              Matrix{{}, 0, std::size_t{1} << 32}}) {
        const auto d = regression::jacobi_svd(bad);
        EXPECT_TRUE(d.s.empty() && d.u.data.empty() && d.v.data.empty());
    }
}

TEST(SvdLstsqAndOls, ShapesWithoutASolution) {
    // y of the wrong length, no rows, no columns, malformed data.
    for (const auto& [a, y] : {std::pair{from_rows({{1, 2}, {3, 4}}), Vec{1, 2, 3}}, std::pair{Matrix{{}, 0, 2}, Vec{}},
                               std::pair{Matrix{{}, 2, 0}, Vec{1, 2}}, std::pair{Matrix{{1, 2, 3}, 2, 2}, Vec{1, 2}}}) {
        EXPECT_FALSE(regression::svd_lstsq(a, y, 1e-15));
        EXPECT_FALSE(regression::ols(a, y));
    }
}

TEST(SvdLstsq, DegenerateInputs) {
    // All zero: zeros. An infinite or NaN singular value (an overflow or a NaN in
    // the matrix): no solution rather than confident zeros.
    EXPECT_EQ(*regression::svd_lstsq(Matrix{Vec(6, 0.0), 2, 3}, Vec{1, 2}, 1e-15), (Vec{0, 0, 0}));
    EXPECT_FALSE(regression::svd_lstsq(from_rows({{INFINITY, 1}, {0, 1}}), Vec{1, 2}, 0.0));
    EXPECT_FALSE(regression::svd_lstsq(from_rows({{1, 2}, {NaN, 1}}), Vec{1, 2}, 1e-15));
    EXPECT_FALSE(regression::svd_lstsq(from_rows({{1e200, 1}, {1e200, 2}}), Vec{1, 2}, 1e-15));
    // rcond 0: the zero singular value is still cut (0 >= 0); the minimum-norm solution.
    expect_close(*regression::svd_lstsq(from_rows({{3, 4, 0}}), Vec{10}, 0.0), {1.2, 1.6, 0.0}, 1e-15);
    // A NaN in y only spreads into the solution.
    expect_close(*regression::svd_lstsq(from_rows({{1, 2}, {3, 4}}), Vec{NaN, 1}, 1e-15), {NaN, NaN}, 0.0);
}

TEST(Ols, MatchesStatsmodelsAndHandDerivedFits) {
    // Hand-derived: the line through (0,1), (1,2), (2,4) is 5/6 + 3/2 t with
    // t-values sqrt(5) and 3 sqrt(3), ssr 1/6.
    const Vec line_t{std::sqrt(5.0), 3.0 * std::sqrt(3.0)};
    const struct {
        Matrix x;
        Vec y, params, tvalues;
        double ssr;
        std::size_t rank;
        double rtol;
    } cases[] = {
        {from_rows({{1, 0}, {1, 1}, {1, 2}}), {1, 2, 4}, {5.0 / 6, 1.5}, line_t, 1.0 / 6, 2, 1e-13},
        // A zero column: QR escapes, the SVD path gives it coefficient 0 and t NaN.
        {from_rows({{1, 0, 0}, {1, 1, 0}, {1, 2, 0}}), {1, 2, 4}, {5.0 / 6, 1.5, 0.0}, {line_t[0], line_t[1], NaN},
         1.0 / 6, 2, 1e-12},
        // Columns twelve orders of magnitude apart: the unit-norm scaling keeps the QR path.
        {build(12, 3,
               [](double i, std::size_t j) { return j == 0 ? 1.0 : j == 1 ? 1e6 * i : 1e-6 * std::fmod(i * i, 7); }),
         build(12, 1,
               [](double i, std::size_t) {
                   return 3.0 - 2e-6 * i + 5e5 * (1e-6 * std::fmod(i * i, 7)) + (std::fmod(i, 3) - 1) * 0.01;
               }).data,
         {2.994423006921904, 4.639628678964982e-10, 5.015726246814707e+05},
         {531.867832439954, 0.6222127847922921, 269.27574520439197}, 0.0006998179832544454, 3, 1e-8},
        // Third column = 2 * second: equal after scaling, the scaled minimum-norm solution.
        {build(6, 3, [](double i, std::size_t j) { return j == 0 ? 1.0 : j * i; }), {1, 3, 2, 5, 4, 6},
         {1.2857142857142858, 0.44285714285714317, 0.22142857142857164},
         {1.8295101634089177, 3.8158362203593144, 3.815836220359315}, 3.7714285714285705, 2, 1e-10},
        // Hand-derived, wide: scaled design [[1, 1, 1]], beta_s = 5/3 each over the norms 1, 2, 3; df 0.
        {from_rows({{1, 2, 3}}), {5}, {5.0 / 3, 5.0 / 6, 5.0 / 9}, {NaN, NaN, NaN}, 0.0, 1, 1e-14},
        // Exact fits, every step exact in binary (norm 2, scaled entries 0.5 or 1): ssr exactly
        // 0, so no t-value even with 3 degrees of freedom left; one row and column, df 0.
        {Matrix{{1, 1, 1, 1}, 4, 1}, {3, 3, 3, 3}, {3.0}, {NaN}, 0.0, 1, 0.0},
        {Matrix{{2}, 1, 1}, {3}, {1.5}, {NaN}, 0.0, 1, 0.0},
        // Square: a rounding residue in ssr over df 0 is still no t-value.
        {from_rows({{1, 0}, {1, 1}}), {1, 0.3}, {1.0, -0.7}, {NaN, NaN}, 0.0, 2, 1e-14},
        // A NaN in y only: QR escapes, the SVD path runs and the fit is NaN throughout.
        {from_rows({{1, 0}, {1, 1}, {1, 2}}), {1, NaN, 4}, {NaN, NaN}, {NaN, NaN}, NaN, 2, 0.0},
    };
    for (const auto& c : cases) {
        const auto fit = regression::ols(c.x, c.y);
        ASSERT_TRUE(fit);
        expect_close(fit->params, c.params, c.rtol);
        expect_close(fit->tvalues, c.tvalues, c.rtol);
        expect_close({fit->ssr}, {c.ssr}, 1e-12, c.rtol == 0.0 ? 0.0 : 1e-28);
        EXPECT_TRUE(fit->rank == c.rank && fit->nobs == c.x.rows) << fit->rank;
    }
}

TEST(Ols, DegenerateInputs) {
    // All-zero design: no usable singular value; a NaN in X reaches every one; a column
    // whose squares overflow keeps norm 1 and makes the largest singular value infinite.
    EXPECT_FALSE(regression::ols(Matrix{Vec(6, 0.0), 3, 2}, Vec{1, 2, 3}));
    EXPECT_FALSE(regression::ols(from_rows({{1, 1e200}, {1, 2e200}, {1, 3e200}}), Vec{1, 2, 3}));
    EXPECT_FALSE(regression::ols(from_rows({{1, 0}, {1, NaN}, {1, 2}}), Vec{1, 2, 4}));
}
