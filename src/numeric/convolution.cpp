#include "numeric/convolution.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/interrupt.h"

namespace cwt {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) { return a > U64_MAX - b ? U64_MAX : a + b; }

// ---- Convolution kernel ------------------------------------------------------
//
// Outputs are computed in tiles; within a tile the filter is walked from its
// last entry read to its first, and every output of the tile takes its term
// for that entry in one vector pass. For one output k, descending entries m
// are ascending series indices i = k - m, so each lane adds in the order of
// the full convolution.
//
// The full convolution skips zero samples. With a finite filter entry (every
// entry of the wavelets here) their terms are +-0.0, which change no sum: a
// sum that starts at +0.0 is never -0.0, and s + (+-0.0) = s for any other
// s. So the lanes add them instead of testing for them; only an infinite or
// NaN entry, whose zero-sample terms would be NaN, tests the samples.

constexpr std::uint64_t TILE = 512;
// Multiply-adds between two polls for a stop request: a window of a wide
// filter over a long series takes seconds.
constexpr std::uint64_t POLL_EVERY = std::uint64_t{1} << 22;

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
// One copy of the kernel per instruction set, chosen at load time (ifunc).
#define CWT_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define CWT_CLONES
#endif

// out[k - k0] for k in [k0, k1) += f[m] * x[k - m], m from m_hi down to m_lo
// (those that reach x); `fm` points at entry m_lo.
CWT_CLONES void tile_terms(const double* __restrict x, std::uint64_t n, const double* __restrict fm,
                           std::uint64_t m_lo, std::uint64_t m_hi, std::uint64_t k0, std::uint64_t k1,
                           double* __restrict out) {
    for (std::uint64_t m = m_hi + 1; m-- > m_lo;) {
        // Outputs k with 0 <= k - m < n.
        const std::uint64_t lo = std::max(k0, m);
        const std::uint64_t hi = std::min(k1, add_sat(m, n));
        if (lo >= hi) continue;
        const double f = fm[m - m_lo];
        const double* xs = x + (lo - m);
        double* o = out + (lo - k0);
        const std::uint64_t len = hi - lo;
        if (std::isfinite(f)) {
            for (std::uint64_t j = 0; j < len; ++j) o[j] = f * xs[j] + o[j];
        } else {
            for (std::uint64_t j = 0; j < len; ++j) o[j] = xs[j] == 0.0 ? o[j] : f * xs[j] + o[j];
        }
    }
}

}  // namespace

std::uint64_t window_filter_first(std::uint64_t n, std::uint64_t k0) { return k0 >= n ? k0 - (n - 1) : 0; }

std::uint64_t window_filter_last(std::uint64_t size, std::uint64_t k1) { return std::min(size, k1) - 1; }

void convolve_window(Series x, const FilterPart& f, std::uint64_t k0, std::span<double> out) {
    std::fill(out.begin(), out.end(), 0.0);
    const std::uint64_t n = x.size();
    if (n == 0 || f.size == 0) return;
    interrupt::Stride stride(POLL_EVERY);
    for (std::uint64_t t0 = 0; t0 < out.size(); t0 += TILE) {
        const std::uint64_t tk0 = k0 + t0;
        const std::uint64_t tk1 = tk0 + std::min<std::uint64_t>(TILE, out.size() - t0);
        const std::uint64_t m_lo = window_filter_first(n, tk0);
        const std::uint64_t m_hi = window_filter_last(f.size, tk1);
        if (m_lo > m_hi) continue;
        if (stride((m_hi - m_lo + 1) * (tk1 - tk0))) return;
        tile_terms(x.data(), n, f.values.data() + (m_lo - f.first), m_lo, m_hi, tk0, tk1, out.data() + t0);
    }
}

std::vector<double> convolve_full(Series a, Series b) {
    if (a.empty() || b.empty()) return {};
    std::vector<double> out(a.size() + b.size() - 1);
    convolve_window(a, {b.size(), 0, b}, 0, out);
    return out;
}

}  // namespace cwt
