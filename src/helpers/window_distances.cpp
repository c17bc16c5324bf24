// Window distances of query_similarity_count: one window a SIMD lane.
//
// This file is compiled once per SIMD target (Highway's foreach_target);
// the running machine's best target is chosen at the first call. A lane
// evaluates one window with the scalar definition's operations in the
// scalar order (no sum is reordered, and the build allows no fused
// multiply-add), so a lane's bits are the scalar bits. Windows left over
// after the last full vector take the scalar code.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "helpers/window_distances.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#ifndef SELQUOR_WINDOW_DISTANCES_TERMS
#define SELQUOR_WINDOW_DISTANCES_TERMS
namespace helpers {
// What every window of one query shares: the query and its moments.
struct QueryTerms {
    const double* q;
    std::size_t m;
    double var_q;   // stats::var of the query, not NaN
    double m_mu_q;  // m * mean(q)
    double sd_q_m;  // sqrt(var_q) * m
};
}  // namespace helpers
#endif

HWY_BEFORE_NAMESPACE();
namespace helpers {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Plain distances of B vectors of windows side by side.
template <int B, class D>
void PlainBlocks(D d, const double* w, const double* q, std::size_t m, double* out) {
    const std::size_t N = hn::Lanes(d);
    hn::Vec<D> acc[B];
    for (int b = 0; b < B; ++b) acc[b] = hn::Set(d, -0.0);
    for (std::size_t j = 0; j < m; ++j) {
        const auto qj = hn::Set(d, q[j]);
        for (int b = 0; b < B; ++b) {
            const auto diff = hn::Sub(qj, hn::LoadU(d, w + b * N + j));
            acc[b] = hn::Add(acc[b], hn::Mul(diff, diff));
        }
    }
    for (int b = 0; b < B; ++b) hn::StoreU(hn::Sqrt(acc[b]), d, out + b * N);
}

// Plain distances of windows 0, N, 2N, ... while a whole vector of windows
// fits; returns how many windows it did.
std::size_t PlainLanes(const double* x, std::size_t windows, const double* q, std::size_t m, double* out) {
    const hn::ScalableTag<double> d;
    const std::size_t N = hn::Lanes(d);
    std::size_t s = 0;
    for (; s + 2 * N <= windows; s += 2 * N) PlainBlocks<2>(d, x + s, q, m, out + s);
    for (; s + N <= windows; s += N) PlainBlocks<1>(d, x + s, q, m, out + s);
    return s;
}

// B vectors of windows, those starting at w + b * N + lane, evaluated side
// by side so that each chain of additions hides the others' latency.
//
// Sums are stats::sum of each lane's window: Knuth's two-sum, and where that
// leaves a finite sum with a non-finite compensation, Neumaier's form again
// (see stats::sum_of), the plain sum where the sum is not finite. The
// products with the query are summed plainly from -0.0, and the squared
// deviations as stats::squared_deviations, with no magnitude test and no
// fallback.
template <int B, class D>
void NormalizedBlocks(D d, const double* w, const QueryTerms& qt, double* out) {
    using V = hn::Vec<D>;
    const std::size_t N = hn::Lanes(d), m = qt.m;
    const double* q = qt.q;
    V s[B], e[B], dot[B], sum[B];
    for (int b = 0; b < B; ++b) {
        s[b] = hn::Zero(d);
        e[b] = hn::Zero(d);
        dot[b] = hn::Set(d, -0.0);
    }
    for (std::size_t j = 0; j < m; ++j) {
        const V qj = hn::Set(d, q[j]);
        for (int b = 0; b < B; ++b) {
            const V v = hn::LoadU(d, w + b * N + j);
            const V t = hn::Add(s[b], v);
            const V vv = hn::Sub(t, s[b]);
            e[b] = hn::Add(e[b], hn::Add(hn::Sub(s[b], hn::Sub(t, vv)), hn::Sub(v, vv)));
            s[b] = t;
            dot[b] = hn::Add(dot[b], hn::Mul(qj, v));
        }
    }
    for (int b = 0; b < B; ++b) {
        const auto s_finite = hn::IsFinite(s[b]);
        const auto e_finite = hn::IsFinite(e[b]);
        sum[b] = hn::IfThenElse(hn::And(s_finite, e_finite), hn::Add(s[b], e[b]), s[b]);
        const auto redo = hn::AndNot(e_finite, s_finite);
        if (!hn::AllFalse(d, redo)) {
            V s2 = hn::Zero(d), e2 = hn::Zero(d);
            for (std::size_t j = 0; j < m; ++j) {
                const V v = hn::LoadU(d, w + b * N + j);
                const V t = hn::Add(s2, v);
                // A NaN magnitude takes the second form.
                const auto s_big = hn::Ge(hn::Abs(s2), hn::Abs(v));
                e2 = hn::Add(e2, hn::IfThenElse(s_big, hn::Add(hn::Sub(s2, t), v), hn::Add(hn::Sub(v, t), s2)));
                s2 = t;
            }
            sum[b] = hn::IfThenElse(redo, hn::IfThenElse(hn::IsFinite(e2), hn::Add(s2, e2), s2), sum[b]);
        }
    }
    const V md = hn::Set(d, static_cast<double>(m));
    V mu[B];
    for (int b = 0; b < B; ++b) {
        mu[b] = hn::Div(sum[b], md);
        s[b] = hn::Zero(d);
        e[b] = hn::Zero(d);
    }
    for (std::size_t j = 0; j < m; ++j) {
        for (int b = 0; b < B; ++b) {
            const V dev = hn::Sub(hn::LoadU(d, w + b * N + j), mu[b]);
            const V sq = hn::Mul(dev, dev);
            const V t = hn::Add(s[b], sq);
            e[b] = hn::Add(e[b], hn::Add(hn::Sub(s[b], t), sq));
            s[b] = t;
        }
    }
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0), nan = hn::Set(d, std::nan(""));
    const V root_m = hn::Set(d, std::sqrt(static_cast<double>(m)));
    const V two_m = hn::Set(d, 2.0 * static_cast<double>(m));
    const V m_mu_q = hn::Set(d, qt.m_mu_q), sd_q_m = hn::Set(d, qt.sd_q_m);
    for (int b = 0; b < B; ++b) {
        const V var_w = hn::Div(hn::Add(s[b], e[b]), md);
        const auto w_const = hn::Eq(var_w, zero);
        V dist;
        if (qt.var_q == 0.0) {
            dist = hn::IfThenElse(w_const, zero, root_m);
        } else {
            const V num = hn::Sub(dot[b], hn::Mul(m_mu_q, mu[b]));
            V dd = hn::Mul(two_m, hn::Sub(one, hn::Div(num, hn::Mul(hn::Sqrt(var_w), sd_q_m))));
            dd = hn::IfThenElse(hn::Lt(dd, zero), zero, dd);
            dist = hn::IfThenElse(w_const, root_m, hn::Sqrt(dd));
        }
        hn::StoreU(hn::IfThenElse(hn::IsNaN(var_w), nan, dist), d, out + b * N);
    }
}

// Normalised distances, as PlainLanes.
std::size_t NormalizedLanes(const double* x, std::size_t windows, const QueryTerms& qt, double* out) {
    const hn::ScalableTag<double> d;
    const std::size_t N = hn::Lanes(d);
    std::size_t s = 0;
    for (; s + 2 * N <= windows; s += 2 * N) NormalizedBlocks<2>(d, x + s, qt, out + s);
    for (; s + N <= windows; s += N) NormalizedBlocks<1>(d, x + s, qt, out + s);
    return s;
}

}  // namespace HWY_NAMESPACE
}  // namespace helpers
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include "helpers/window_distances.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace helpers {

HWY_EXPORT(PlainLanes);
HWY_EXPORT(NormalizedLanes);

namespace {

double plain_distance(std::span<const double> q, const double* w) {
    double s = -0.0;
    for (std::size_t j = 0; j < q.size(); ++j) {
        const double d = q[j] - w[j];
        s += d * d;
    }
    return std::sqrt(s);
}

double normalized_distance(std::span<const double> q, double mu_q, double var_q, const double* wp) {
    const std::span<const double> w(wp, q.size());
    const double m = static_cast<double>(q.size());
    // stats::mean and stats::var of the window, its sum made once.
    const double mu_w = stats::sum(w) / m, var_w = stats::squared_deviations(w, mu_w) / m;
    if (std::isnan(var_q) || std::isnan(var_w)) return std::nan("");
    // Two constants are the same shape; a constant against a varying
    // sequence is as far apart as z-normalisation allows.
    if (var_q == 0.0 && var_w == 0.0) return 0.0;
    if (var_q == 0.0 || var_w == 0.0) return std::sqrt(m);
    double dot = -0.0;
    for (std::size_t j = 0; j < q.size(); ++j) dot += q[j] * w[j];
    double d = 2.0 * m * (1.0 - (dot - (m * mu_q) * mu_w) / (std::sqrt(var_w) * (std::sqrt(var_q) * m)));
    // Rounding can push a perfect match below zero; a NaN stays undefined.
    if (d < 0.0) d = 0.0;
    return std::sqrt(d);
}

// Windows a call of the lanes takes at a time: a multiple of every vector
// pass's width (up to 2 x 8 lanes), so the chunks leave the lanes the same
// windows; about POLL_EVERY multiply-adds of work (at most CHUNK windows),
// so that a stop request is seen between chunks however long the query.
constexpr std::size_t WIDEST_PASS = 16;
constexpr std::size_t CHUNK = 4096;
constexpr std::uint64_t POLL_EVERY = std::uint64_t{1} << 22;  // multiply-adds

std::size_t chunk_windows(std::size_t m) {
    const std::uint64_t fit = POLL_EVERY / std::max<std::size_t>(m, 1) / WIDEST_PASS * WIDEST_PASS;
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(fit, WIDEST_PASS, CHUNK));
}

// lanes(s, windows from s) chunk by chunk, adding to `done` the windows
// they did (all but the last vector's worth); false when asked to stop.
template <class Lanes>
bool chunked(std::size_t windows, std::size_t m, std::size_t& done, Lanes&& lanes) {
    interrupt::Stride stride(POLL_EVERY);
    const std::size_t chunk = chunk_windows(m);
    while (done < windows) {
        const std::size_t take = std::min(chunk, windows - done);
        const std::size_t did = lanes(done, take);
        done += did;
        if (did < take) break;
        if (stride(std::uint64_t{take} * m)) return false;
    }
    return true;
}

}  // namespace

std::vector<double> window_distances(std::span<const double> x, std::span<const double> query, bool normalize) {
    const std::size_t m = query.size(), windows = x.size() - m + 1;
    std::vector<double> d(windows);
    std::size_t done = 0;
    if (!normalize) {
        const bool whole = chunked(windows, m, done, [&](std::size_t s, std::size_t take) {
            return HWY_DYNAMIC_DISPATCH(PlainLanes)(x.data() + s, take, query.data(), m, d.data() + s);
        });
        if (!whole) return d;
        for (std::size_t s = done; s < windows; ++s) d[s] = plain_distance(query, x.data() + s);
        return d;
    }
    const double mu_q = stats::mean(query), var_q = stats::var(query);
    // A query without a variance has no distance from anything.
    if (std::isnan(var_q)) {
        d.assign(windows, std::nan(""));
        return d;
    }
    const double mq = static_cast<double>(m);
    const QueryTerms terms{query.data(), m, var_q, mq * mu_q, std::sqrt(var_q) * mq};
    if (!chunked(windows, m, done, [&](std::size_t s, std::size_t take) {
            return HWY_DYNAMIC_DISPATCH(NormalizedLanes)(x.data() + s, take, terms, d.data() + s);
        }))
        return d;
    for (std::size_t s = done; s < windows; ++s) d[s] = normalized_distance(query, mu_q, var_q, x.data() + s);
    return d;
}

}  // namespace helpers

#endif  // HWY_ONCE
