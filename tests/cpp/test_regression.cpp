// Expected values were computed once with numpy 2.4 and statsmodels 0.15:
//   np.linalg.svd(A, full_matrices=False), np.linalg.lstsq(A, y, rcond=...)[0],
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
#include <numeric>
#include <vector>

#include "numeric/regression.h"

namespace {

using regression::Matrix;
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

Matrix from_rows(const std::vector<std::vector<double>>& rows) {
    Matrix a{{}, rows.size(), rows.empty() ? 0 : rows[0].size()};
    for (const auto& r : rows) a.data.insert(a.data.end(), r.begin(), r.end());
    return a;
}

// 30 x 4 of small integers and halves, exact in both languages:
// ((i*7 + j*13) % 17) - 8 + 0.5*j.
Matrix tall_matrix() {
    Matrix a{{}, 30, 4};
    for (int i = 0; i < 30; ++i)
        for (int j = 0; j < 4; ++j) a.data.push_back(((i * 7 + j * 13) % 17) - 8 + 0.5 * j);
    return a;
}

// Singular values sorted descending, as numpy reports them.
std::vector<double> descending(std::vector<double> s) {
    std::sort(s.begin(), s.end(), std::greater<>());
    return s;
}

void expect_near_rel(const std::vector<double>& got, const std::vector<double>& want, double rtol, double atol = 0.0) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_NEAR(got[i], want[i], atol + rtol * std::fabs(want[i])) << "at " << i;
}

// |A - U diag(s) V^T| elementwise.
double reconstruction_error(const Matrix& a, const regression::Svd& d) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < a.cols; ++j) {
            double v = 0.0;
            for (std::size_t k = 0; k < a.cols; ++k) v += d.u(i, k) * d.s[k] * d.v(j, k);
            worst = std::max(worst, std::fabs(v - a(i, j)));
        }
    return worst;
}

}  // namespace

TEST(JacobiSvd, MatchesNumpyOnWellConditionedMatrix) {
    const Matrix a = from_rows({{2, -1, 0.5}, {1, 3, -2}, {0, 1, 4}, {-1, 2, 1}});
    const auto d = regression::jacobi_svd(a);
    expect_near_rel(descending(d.s), {4.639924560387891, 3.8856152382945153, 2.3713064529585135}, 1e-14);
    // Singular vectors agree with numpy's up to the sign of each pair.
    const double np_u[4][3] = {{0.0655967774082965, 0.31079339123229555, -0.811063664666346},
                               {-0.49050439667700396, -0.7138106613562922, -0.4477746380249309},
                               {0.8417705944209118, -0.29873008952596813, -0.2659639699791742},
                               {0.21569600367748812, -0.5519439657358612, 0.2663395803716684}};
    const double np_v[3][3] = {{-0.12392590397845377, 0.11831333229121822, -0.9852128327043201},
                               {-0.05688613300242036, -0.9920805740896871, -0.11198259858525737},
                               {0.9906595470670806, -0.04216740347737474, -0.1296748699202056}};
    std::vector<std::size_t> order(3);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](auto x, auto y) { return d.s[x] > d.s[y]; });
    for (std::size_t c = 0; c < 3; ++c) {
        const std::size_t k = order[c];
        const double sign = d.v(0, k) * np_v[0][c] < 0 ? -1.0 : 1.0;
        for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(d.v(j, k), sign * np_v[j][c], 1e-13);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(d.u(i, k), sign * np_u[i][c], 1e-13);
    }
    EXPECT_LT(reconstruction_error(a, d), 1e-14);
}

TEST(JacobiSvd, TallMatrixMatchesNumpyAndReconstructs) {
    const Matrix a = tall_matrix();
    const auto d = regression::jacobi_svd(a);
    expect_near_rel(descending(d.s), {34.392195702746974, 31.840963697283886, 23.14898806765229, 15.570942714424667},
                    1e-14);
    EXPECT_LT(reconstruction_error(a, d), 1e-13);
}

TEST(JacobiSvd, RankDeficientMatrixHasOneVanishingValue) {
    // Third column = first + second.
    const auto d = regression::jacobi_svd(from_rows({{1, 2, 3}, {2, -1, 1}, {0, 1, 1}, {3, 0, 3}}));
    const auto s = descending(d.s);
    EXPECT_NEAR(s[0], 5.6714658652412284, 1e-13);
    EXPECT_NEAR(s[1], 2.7990132081509658, 1e-13);
    EXPECT_LT(s[2], 1e-14);
}

TEST(JacobiSvd, OrthogonalColumnsAreNotRotated) {
    // gamma = 0 for the only pair: values in column order, identity factors.
    const auto d = regression::jacobi_svd(from_rows({{3, 0}, {0, 4}}));
    EXPECT_EQ(d.s, (std::vector<double>{3.0, 4.0}));
    EXPECT_EQ(d.u.data, (std::vector<double>{1, 0, 0, 1}));
    EXPECT_EQ(d.v.data, (std::vector<double>{1, 0, 0, 1}));
}

TEST(JacobiSvd, OneByOneKeepsTheSignInU) {
    const auto d = regression::jacobi_svd(from_rows({{-2}}));
    EXPECT_EQ(d.s, std::vector<double>{2.0});
    EXPECT_EQ(d.u.data, std::vector<double>{-1.0});
    EXPECT_EQ(d.v.data, std::vector<double>{1.0});
}

TEST(JacobiSvd, RankOneSquareGivesZeroInColumnOrder) {
    // [[1, 1], [1, 1]]: one rotation by 45 degrees leaves (0, 2) in column order.
    const auto d = regression::jacobi_svd(from_rows({{1, 1}, {1, 1}}));
    EXPECT_EQ(d.s[0], 0.0);
    EXPECT_NEAR(d.s[1], 2.0, 1e-15);
    EXPECT_EQ(d.u(0, 0), 0.0);
    EXPECT_EQ(d.u(1, 0), 0.0);
}

TEST(JacobiSvd, DegenerateShapes) {
    // No rows: every column sums to -0.0, nothing rotates, V stays the identity.
    const auto none = regression::jacobi_svd(Matrix{{}, 0, 2});
    ASSERT_EQ(none.s.size(), 2u);
    EXPECT_TRUE(std::signbit(none.s[0]) && none.s[0] == 0.0);
    EXPECT_EQ(none.u.rows, 0u);
    EXPECT_EQ(none.v.data, (std::vector<double>{1, 0, 0, 1}));
    const auto empty = regression::jacobi_svd(Matrix{{}, 3, 0});
    EXPECT_TRUE(empty.s.empty() && empty.v.data.empty() && empty.u.data.empty());
    // A data length that does not match the shape decomposes to nothing.
    const auto bad = regression::jacobi_svd(Matrix{{1.0, 2.0}, 2, 2});
    EXPECT_TRUE(bad.s.empty() && bad.u.data.empty() && bad.v.data.empty());
    const auto huge = regression::jacobi_svd(Matrix{{1.0}, std::size_t{1} << 33, std::size_t{1} << 33});
    EXPECT_TRUE(huge.s.empty());
    // No rows is well formed for any column count, but V of 2^32 x 2^32 cannot be indexed.
    const auto wide = regression::jacobi_svd(Matrix{{}, 0, std::size_t{1} << 32});
    EXPECT_TRUE(wide.s.empty() && wide.v.data.empty());
}

TEST(JacobiSvd, ZeroAndNanColumns) {
    // A zero column has s = 0 and a zero column of U.
    const auto z = regression::jacobi_svd(from_rows({{1, 0}, {2, 0}}));
    EXPECT_EQ(z.s[1], 0.0);
    EXPECT_EQ(z.u(0, 1), 0.0);
    EXPECT_NEAR(z.s[0], std::sqrt(5.0), 1e-15);
    // A NaN spreads through the rotation into both columns.
    const auto n = regression::jacobi_svd(from_rows({{1, 2}, {NaN, 1}}));
    EXPECT_TRUE(std::isnan(n.s[0]) && std::isnan(n.s[1]));
}

TEST(SvdLstsq, MatchesNumpyLstsq) {
    struct Case {
        Matrix a;
        std::vector<double> y;
        double rcond;
        std::vector<double> want;
    };
    const Case cases[] = {
        {from_rows({{2, -1, 0.5}, {1, 3, -2}, {0, 1, 4}, {-1, 2, 1}}),
         {1, -2, 3, 0.5},
         1e-15,
         {0.16003282724661486, -0.16228970045137492, 0.8112433319655316}},
        // Rank-deficient: the minimum-norm solution.
        {from_rows({{1, 2, 3}, {2, -1, 1}, {0, 1, 1}, {3, 0, 3}}),
         {1, 0, 2, -1},
         1e-12,
         {-0.3174603174603174, 0.49206349206349176, 0.1746031746031745}},
        // Wide: the minimum-norm solution of an underdetermined system.
        {from_rows({{1, 2, 0, -1}, {0, 1, 3, 1}}),
         {4, -2},
         1e-15,
         {0.7076923076923078, 1.1692307692307695, -0.7384615384615392, -0.9538461538461543}},
        {from_rows({{1, 1}, {1, 1}}), {2, 2}, 1e-15, {1.0, 1.0}},
        {from_rows({{3, 4, 0}}), {10}, 1e-15, {1.2, 1.6, 0.0}},
    };
    for (const auto& c : cases) {
        const auto beta = regression::svd_lstsq(c.a, c.y, c.rcond);
        ASSERT_TRUE(beta);
        expect_near_rel(*beta, c.want, 1e-12, 1e-15);
    }
    std::vector<double> yt(30);
    for (int i = 0; i < 30; ++i) yt[i] = ((i * 5) % 11) - 5.0;
    const auto beta = regression::svd_lstsq(tall_matrix(), yt, 1e-15);
    ASSERT_TRUE(beta);
    expect_near_rel(*beta, {0.15538724748915617, 0.03569160584304115, 0.01649505380151066, 0.07681578580842648},
                    1e-12);
}

TEST(SvdLstsq, DegenerateInputs) {
    const Matrix a = from_rows({{1, 2}, {3, 4}});
    EXPECT_FALSE(regression::svd_lstsq(a, std::vector<double>{1, 2, 3}, 1e-15));
    EXPECT_FALSE(regression::svd_lstsq(Matrix{{}, 0, 2}, std::vector<double>{}, 1e-15));
    EXPECT_FALSE(regression::svd_lstsq(Matrix{{}, 2, 0}, std::vector<double>{1, 2}, 1e-15));
    EXPECT_FALSE(regression::svd_lstsq(Matrix{{1, 2, 3}, 2, 2}, std::vector<double>{1, 2}, 1e-15));
    // All zero: no singular value to invert, n zeros.
    EXPECT_EQ(*regression::svd_lstsq(Matrix{{0, 0, 0, 0, 0, 0}, 2, 3}, std::vector<double>{1, 2}, 1e-15),
              (std::vector<double>{0, 0, 0}));
    // An infinite entry makes the largest singular value infinite: zeros.
    EXPECT_EQ(*regression::svd_lstsq(from_rows({{INFINITY, 1}, {0, 1}}), std::vector<double>{1, 2}, 1e-15),
              (std::vector<double>{0, 0}));
    // NaN everywhere after the rotations: no finite maximum, zeros again.
    EXPECT_EQ(*regression::svd_lstsq(from_rows({{1, 2}, {NaN, 1}}), std::vector<double>{1, 2}, 1e-15),
              (std::vector<double>{0, 0}));
    // A NaN in y only spreads into the solution.
    const auto b = regression::svd_lstsq(a, std::vector<double>{NaN, 1}, 1e-15);
    EXPECT_TRUE(std::isnan((*b)[0]) && std::isnan((*b)[1]));
}

TEST(Ols, MatchesStatsmodelsOnFullRankDesigns) {
    {
        const auto fit = regression::ols(from_rows({{1, 0}, {1, 1}, {1, 2}}), std::vector<double>{1, 2, 4});
        ASSERT_TRUE(fit);
        expect_near_rel(fit->params, {5.0 / 6.0, 1.5}, 1e-14);
        expect_near_rel(fit->tvalues, {std::sqrt(5.0), 3.0 * std::sqrt(3.0)}, 1e-13);
        EXPECT_NEAR(fit->ssr, 1.0 / 6.0, 1e-15);
        EXPECT_EQ(fit->nobs, 3u);
        EXPECT_EQ(fit->rank, 2u);
    }
    {
        // Intercept, trend and a periodic regressor over 30 rows.
        Matrix x{{}, 30, 3};
        std::vector<double> y(30);
        for (int i = 0; i < 30; ++i) {
            const double c = ((i * 7) % 5) - 2.0;
            x.data.insert(x.data.end(), {1.0, double(i), c});
            y[i] = 0.5 + 0.25 * i - 0.75 * c + (((i * 3) % 7) - 3) * 0.1;
        }
        const auto fit = regression::ols(x, y);
        ASSERT_TRUE(fit);
        expect_near_rel(fit->params, {0.4977939529675256, 0.2494624860022399, -0.751397909667786}, 1e-12);
        expect_near_rel(fit->tvalues, {6.595555296689065, 55.76674587471623, -27.445163014024995}, 1e-11);
        EXPECT_NEAR(fit->ssr, 1.2061883165360192, 1e-12);
        EXPECT_EQ(fit->rank, 3u);
    }
    {
        // Columns twelve orders of magnitude apart: the unit-norm scaling keeps
        // the QR path.
        Matrix x{{}, 12, 3};
        std::vector<double> y(12);
        for (int i = 0; i < 12; ++i) {
            const double c = 1e-6 * ((i * i) % 7);
            x.data.insert(x.data.end(), {1.0, 1e6 * i, c});
            y[i] = 3.0 - 2e-6 * i + 5e5 * c + ((i % 3) - 1) * 0.01;
        }
        const auto fit = regression::ols(x, y);
        ASSERT_TRUE(fit);
        expect_near_rel(fit->params, {2.994423006921904, 4.639628678964982e-10, 5.015726246814707e+05}, 1e-8);
        expect_near_rel(fit->tvalues, {531.867832439954, 0.6222127847922921, 269.27574520439197}, 1e-8);
        EXPECT_NEAR(fit->ssr, 0.0006998179832544454, 1e-12);
        EXPECT_EQ(fit->rank, 3u);
    }
}

TEST(Ols, RankDeficientDesignFallsBackToScaledMinimumNorm) {
    // Third column = 2 * second: equal after scaling, QR escapes.
    Matrix x{{}, 6, 3};
    for (int i = 0; i < 6; ++i) x.data.insert(x.data.end(), {1.0, double(i), 2.0 * i});
    const auto fit = regression::ols(x, std::vector<double>{1, 3, 2, 5, 4, 6});
    ASSERT_TRUE(fit);
    expect_near_rel(fit->params, {1.2857142857142858, 0.44285714285714317, 0.22142857142857164}, 1e-12);
    expect_near_rel(fit->tvalues, {1.8295101634089177, 3.8158362203593144, 3.815836220359315}, 1e-10);
    EXPECT_NEAR(fit->ssr, 3.7714285714285705, 1e-12);
    EXPECT_EQ(fit->rank, 2u);
}

TEST(Ols, ZeroColumnGetsZeroCoefficientAndNanT) {
    // Hand-derived: the line through (0,1), (1,2), (2,4) is 5/6 + 3/2 t with
    // t-values sqrt(5) and 3 sqrt(3); the zero column adds nothing.
    const auto fit = regression::ols(from_rows({{1, 0, 0}, {1, 1, 0}, {1, 2, 0}}), std::vector<double>{1, 2, 4});
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->params[0], 5.0 / 6.0, 1e-14);
    EXPECT_NEAR(fit->params[1], 1.5, 1e-14);
    EXPECT_EQ(fit->params[2], 0.0);
    EXPECT_NEAR(fit->tvalues[0], std::sqrt(5.0), 1e-12);
    EXPECT_NEAR(fit->tvalues[1], 3.0 * std::sqrt(3.0), 1e-12);
    EXPECT_TRUE(std::isnan(fit->tvalues[2]));
    EXPECT_EQ(fit->rank, 2u);
}

TEST(Ols, MoreColumnsThanRowsIsScaledMinimumNorm) {
    // Scaled design [[1, 1, 1]]: beta_s = [5/3, 5/3, 5/3], divided by the norms 1, 2, 3.
    const auto fit = regression::ols(from_rows({{1, 2, 3}}), std::vector<double>{5});
    ASSERT_TRUE(fit);
    expect_near_rel(fit->params, {5.0 / 3.0, 5.0 / 6.0, 5.0 / 9.0}, 1e-14);
    EXPECT_EQ(fit->rank, 1u);
    EXPECT_NEAR(fit->ssr, 0.0, 1e-28);
    for (double t : fit->tvalues) EXPECT_TRUE(std::isnan(t));
}

TEST(Ols, ExactFitHasNanTValues) {
    // A constant fitted by a constant: every step is exact in binary (norm 2,
    // scaled entries 0.5), so ssr is 0 with 3 degrees of freedom left.
    const auto fit = regression::ols(Matrix{{1, 1, 1, 1}, 4, 1}, std::vector<double>{3, 3, 3, 3});
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->params[0], 3.0);
    EXPECT_EQ(fit->ssr, 0.0);
    EXPECT_TRUE(std::isnan(fit->tvalues[0]));
}

TEST(Ols, DegenerateInputs) {
    const Matrix x = from_rows({{1, 0}, {1, 1}, {1, 2}});
    EXPECT_FALSE(regression::ols(x, std::vector<double>{1, 2}));
    EXPECT_FALSE(regression::ols(Matrix{{}, 0, 2}, std::vector<double>{}));
    EXPECT_FALSE(regression::ols(Matrix{{}, 2, 0}, std::vector<double>{1, 2}));
    EXPECT_FALSE(regression::ols(Matrix{{1, 2}, 3, 2}, std::vector<double>{1, 2, 3}));
    // All-zero design: no usable singular value.
    EXPECT_FALSE(regression::ols(Matrix{std::vector<double>(6, 0.0), 3, 2}, std::vector<double>{1, 2, 3}));
    // A NaN in X reaches every singular value through the rotations.
    EXPECT_FALSE(regression::ols(from_rows({{1, 0}, {1, NaN}, {1, 2}}), std::vector<double>{1, 2, 4}));
    // A NaN in y only: the SVD path runs and the fit is NaN throughout.
    const auto fit = regression::ols(x, std::vector<double>{1, NaN, 4});
    ASSERT_TRUE(fit);
    EXPECT_TRUE(std::isnan(fit->params[0]) && std::isnan(fit->params[1]));
    EXPECT_TRUE(std::isnan(fit->tvalues[0]) && std::isnan(fit->ssr));
    EXPECT_EQ(fit->rank, 2u);
    // One row, one column: exact fit, no degrees of freedom left.
    const auto one = regression::ols(from_rows({{2}}), std::vector<double>{3});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->params[0], 1.5);
    EXPECT_EQ(one->ssr, 0.0);
    EXPECT_TRUE(std::isnan(one->tvalues[0]));
    EXPECT_EQ(one->rank, 1u);
}
