// The SIMD sweeps of the Jacobi SVD against the pair-by-pair loop they
// replaced (kept below as the oracle): the same bits of s, U and V on every
// SIMD target, for random, ill-conditioned, rank-deficient, badly scaled and
// non-finite matrices of many shapes. The least-squares solve on top of them
// is scalar (test_regression.cpp).
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <random>
#include <vector>

#include "numeric/regression.h"
#include "test_util.h"

namespace {

using regression::Matrix;
using regression::Svd;
using Vec = std::vector<double>;

// ---- The oracle: the scalar loop, pair after pair in the cyclic order.
void rotate(double* xp, double* xq, std::size_t len, std::size_t stride, double cs, double sn) {
    for (std::size_t i = 0; i < len; ++i) {
        const double wp = xp[i * stride], wq = xq[i * stride];
        xp[i * stride] = cs * wp - sn * wq;
        xq[i * stride] = wq * cs + wp * sn;
    }
}

Svd reference_svd(const Matrix& a) {
    Svd out;
    const std::size_t m = a.rows, n = a.cols;
    out.v = Matrix{Vec(n * n, 0.0), n, n};
    for (std::size_t j = 0; j < n; ++j) out.v(j, j) = 1.0;
    std::vector<double> w(m * n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) w[j * m + i] = a(i, j);
    for (int sweep = 0; sweep < 60; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p + 1 < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                double alpha = 0.0, beta = 0.0, gamma = 0.0;
                for (std::size_t i = 0; i < m; ++i) {
                    const double x = w[p * m + i], y = w[q * m + i];
                    alpha += x * x;
                    beta += y * y;
                    gamma += x * y;
                }
                const double product = beta * alpha;
                const double norm = std::isfinite(product) ? std::sqrt(product) : std::sqrt(beta) * std::sqrt(alpha);
                if (gamma == 0.0 || product == 0.0 || 1e-17 * norm >= std::fabs(gamma)) continue;
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
        if (off < 1e-15) break;
    }
    out.s.assign(n, 0.0);
    out.u = Matrix{Vec(m * n, 0.0), m, n};
    for (std::size_t j = 0; j < n; ++j) {
        double ss = -0.0;
        for (std::size_t i = 0; i < m; ++i) ss += w[j * m + i] * w[j * m + i];
        out.s[j] = std::sqrt(ss);
        if (ss > 0.0)
            for (std::size_t i = 0; i < m; ++i) out.u(i, j) = w[j * m + i] / out.s[j];
    }
    return out;
}

// ---- The matrices.
enum class Kind { Normal, Graded, Collinear, Repeated, ZeroColumn, Tiny, Huge, Overflow, WithNaN, WithInf, ArDesign };

Matrix make(std::size_t m, std::size_t n, Kind kind, unsigned seed) {
    Matrix a{noise(m * n, seed), m, n};
    std::mt19937_64 gen(seed);
    auto at = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(gen); };
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            double& x = a(i, j);
            switch (kind) {
                case Kind::Graded: x *= std::pow(10.0, -double(j % 12)); break;  // condition ~1e11
                case Kind::Collinear: x = j == 0 ? x : a(i, 0) + 1e-9 * x; break;
                case Kind::Repeated: x = j % 3 == 2 ? a(i, j - 1) : x; break;
                case Kind::ZeroColumn: x = j == n / 2 ? 0.0 : x; break;
                case Kind::Tiny: x *= 1e-150; break;
                case Kind::Huge: x *= 1e150; break;
                case Kind::Overflow: x *= 1e76; break;  // squares fine, products of sums overflow
                case Kind::ArDesign: x = j == 0 ? 1.0 : a.data[(i + n - j) % (m * n)]; break;
                default: break;
            }
        }
    if (kind == Kind::WithNaN) a(at(m), at(n)) = NaN;
    if (kind == Kind::WithInf) a(at(m), at(n)) = -INF;
    return a;
}

}  // namespace

TEST(JacobiLanes, SameBitsAsThePairByPairLoopOnEveryTarget) {
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1},  {1, 5},   {5, 1},   {2, 2},   {3, 7},  {7, 3},
                                                          {9, 9},  {17, 9},  {40, 16}, {33, 17}, {64, 24}, {100, 33},
                                                          {990, 11}};
    std::vector<Matrix> cases;
    unsigned seed = 1;
    for (auto [m, n] : shapes)
        for (int k = 0; k <= int(Kind::ArDesign); ++k) cases.push_back(make(m, n, Kind(k), seed++));
    cases.push_back(make(2000, 70, Kind::Normal, seed++));
    cases.push_back(make(300, 41, Kind::Graded, seed++));
    cases.push_back(make(300, 41, Kind::WithNaN, seed++));

    for (const Matrix& a : cases) {
        SCOPED_TRACE(testing::Message() << a.rows << "x" << a.cols << " seed " << &a - cases.data() + 1);
        const Svd want = reference_svd(a);
        for (const std::int64_t target : hwy::SupportedAndGeneratedTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            SCOPED_TRACE(hwy::TargetName(target));
            const Svd got = regression::jacobi_svd(a);
            ASSERT_TRUE(same_bits(got.s, want.s));
            ASSERT_TRUE(same_bits(got.u.data, want.u.data) && got.u.rows == a.rows && got.u.cols == a.cols);
            ASSERT_TRUE(same_bits(got.v.data, want.v.data) && got.v.rows == a.cols && got.v.cols == a.cols);
        }
        hwy::SetSupportedTargetsForTest(0);
    }
}
