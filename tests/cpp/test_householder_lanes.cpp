// The tiled, SIMD Householder least squares against the column-by-column
// loop it replaced (kept below as the oracle): the same bits of the
// coefficients, t values and ssr on every SIMD target, for shapes on both
// sides of the tile width and designs like those the calculators build.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <optional>
#include <vector>

#include "numeric/regression.h"
#include "test_util.h"

namespace {

using regression::Matrix;
using Vec = std::vector<double>;

struct Fit {
    Vec params, tvalues;
    double ssr;
};

// The QR path of the least-squares fit, one column and one sum at a time;
// nothing where it would escape to the SVD.
std::optional<Fit> reference_qr(const Matrix& x, const Vec& y) {
    const std::size_t m = x.rows, k = x.cols;
    Vec nrm(k), a(m * k), b = y, v(m);
    for (std::size_t j = 0; j < k; ++j) {
        double ss = -0.0;
        for (std::size_t i = 0; i < m; ++i) ss += x(i, j) * x(i, j);
        nrm[j] = (!std::isfinite(std::sqrt(ss)) || ss == 0.0) ? 1.0 : std::sqrt(ss);
        for (std::size_t i = 0; i < m; ++i) a[i * k + j] = x(i, j) / nrm[j];
    }
    auto reflect = [&](double* col, std::size_t stride, std::size_t p, double vn) {
        double dot = col[p * stride] * v[p];
        for (std::size_t i = p + 1; i < m; ++i) dot += v[i] * col[i * stride];
        const double f = (dot + dot) / vn;
        for (std::size_t i = p; i < m; ++i) col[i * stride] = col[i * stride] - v[i] * f;
    };
    for (std::size_t p = 0; p < k; ++p) {
        double nrm2 = 0.0;
        for (std::size_t i = p; i < m; ++i) nrm2 += a[i * k + p] * a[i * k + p];
        if (nrm2 == 0.0 || !std::isfinite(std::sqrt(nrm2))) return std::nullopt;
        const double alpha = a[p * k + p] > 0.0 ? -std::sqrt(nrm2) : std::sqrt(nrm2);
        for (std::size_t i = p; i < m; ++i) v[i] = a[i * k + p];
        v[p] -= alpha;
        double vn = -0.0;
        for (std::size_t i = p; i < m; ++i) vn += v[i] * v[i];
        if (!(vn > 0.0)) continue;
        for (std::size_t j = p; j < k; ++j) reflect(a.data() + j, k, p, vn);
        reflect(b.data(), 1, p, vn);
    }
    double dmax = 0.0;
    for (std::size_t p = 0; p < k; ++p) dmax = std::max(dmax, std::fabs(a[p * k + p]));
    const double tol = ((double(m) * dmax) * 2.220446049250313e-16) * 100.0;
    for (std::size_t p = 0; p < k; ++p)
        if (!(tol < std::fabs(a[p * k + p]))) return std::nullopt;
    Vec beta(k), rinv(k * k, 0.0), d(k, -0.0);
    for (std::size_t p = k; p-- > 0;) {
        double val = b[p];
        for (std::size_t j = p + 1; j < k; ++j) val = val - a[p * k + j] * beta[j];
        beta[p] = val / a[p * k + p];
    }
    for (std::size_t j = 0; j < k; ++j) {
        rinv[j * k + j] = 1.0 / a[j * k + j];
        for (std::size_t i = j; i-- > 0;) {
            double acc = 0.0;
            for (std::size_t l = i + 1; l <= j; ++l) acc += a[i * k + l] * rinv[l * k + j];
            rinv[i * k + j] = (-acc) / a[i * k + i];
        }
    }
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t l = i; l < k; ++l) d[i] += rinv[i * k + l] * rinv[i * k + l];
    for (std::size_t j = 0; j < k; ++j)
        if (!std::isfinite(beta[j]) || !std::isfinite(d[j])) return std::nullopt;
    Fit out{Vec(k), Vec(k, NaN), 0.0};
    for (std::size_t j = 0; j < k; ++j) out.params[j] = beta[j] / nrm[j];
    for (std::size_t i = 0; i < m; ++i) {
        double pred = 0.0;
        for (std::size_t j = 0; j < k; ++j) pred += x(i, j) * out.params[j];
        out.ssr += (y[i] - pred) * (y[i] - pred);
    }
    if (double(m) - double(k) > 0.0)
        for (std::size_t j = 0; j < k; ++j) {
            const double w = d[j] * (out.ssr / (double(m) - double(k)));
            if (w > 0.0) out.tvalues[j] = beta[j] / std::sqrt(w);
        }
    return out;
}

}  // namespace

TEST(HouseholderLanes, SameBitsAsTheColumnByColumnLoopOnEveryTarget) {
    // Widths around the tile (8 columns, the target the ninth) and the
    // vectors; a constant first column and columns of very different
    // scales; the lag design of a random walk.
    const std::pair<std::size_t, std::size_t> shapes[] = {{3, 1},   {9, 7},   {12, 8},  {30, 9},  {40, 15},
                                                          {40, 16}, {64, 17}, {200, 24}, {301, 33}, {1000, 70}};
    std::vector<std::pair<Matrix, Vec>> cases;
    unsigned seed = 3;
    for (auto [m, k] : shapes) {
        Matrix plain{noise(m * k, seed++), m, k}, scaled = plain, lags{{}, m, k};
        const Vec walk = noise(m + k + 1, seed++);
        double level = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            scaled(i, 0) = 1.0;
            for (std::size_t j = 1; j < k; ++j) scaled(i, j) *= std::pow(10.0, double(j % 5) * 3.0 - 6.0);
            level += walk[i + k];
            lags.data.push_back(level);
            for (std::size_t j = 1; j < k; ++j) lags.data.push_back(walk[i + k - j]);
        }
        const Vec y = noise(m, seed++);
        for (const Matrix* x : {&plain, &scaled, &lags}) cases.emplace_back(*x, y);
    }
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const auto& [x, y] = cases[c];
        SCOPED_TRACE(testing::Message() << x.rows << "x" << x.cols << " case " << c);
        const auto want = reference_qr(x, y);
        ASSERT_TRUE(want);
        for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            SCOPED_TRACE(hwy::TargetName(target));
            const auto got = regression::ols(x, y);
            ASSERT_TRUE(got && got->rank == x.cols);
            EXPECT_TRUE(same_bits(got->params, want->params));
            EXPECT_TRUE(same_bits(got->tvalues, want->tvalues));
            EXPECT_TRUE(same(got->ssr, want->ssr));
        }
        hwy::SetSupportedTargetsForTest(0);
    }
}
