#include "numeric/extremes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "numeric/constants.h"

namespace stats {

namespace {

using numeric::NaN;

// ---- Extremes -------------------------------------------------------------
//
// The defining scan (keep the first strict extreme, stop at the first NaN)
// is sequential; it is evaluated here block by block with lane-parallel
// comparisons instead. Within a NaN-free block only the extreme value is
// needed: the first element comparing equal to the overall extreme is where
// the scan would stop moving, so the exact position is recovered afterwards
// by one search inside the first block that reached it. Comparisons decide
// everything, so the answer is the scan's bit for bit (-0.0 vs +0.0
// included: they compare equal, and the position picks the element).

// Two lanes: the width every x86-64 has, so the compiler maps these to
// native instructions without a target switch.
using V2 = double __attribute__((vector_size(16)));
using M2 = std::int64_t __attribute__((vector_size(16)));
// Eight independent two-lane accumulators: enough chains in flight to hide
// the latency of the compare-select.
constexpr int LANES = 8;
constexpr std::size_t STEP = 2 * LANES;
static_assert(LANES == 8, "the NaN witness below adds the eight lanes as two trees");

// Fits in L1, so the searches that follow a block cost little.
constexpr std::size_t BLOCK = 2048;

// Loads two values (absolute values for Abs) into v.
template <bool Abs>
inline void load2(V2& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
    if constexpr (Abs) {
        const M2 magnitude = M2{} + std::numeric_limits<std::int64_t>::max();
        v = reinterpret_cast<V2>(reinterpret_cast<M2>(v) & magnitude);
    }
}

template <bool Greater>
inline void keep(V2& best, const V2& v) {
    if constexpr (Greater)
        best = v > best ? v : best;
    else
        best = v < best ? v : best;
}

template <bool Abs>
inline double value_at(const double* p, std::size_t i) {
    return Abs ? std::fabs(p[i]) : p[i];
}

template <bool Greater>
inline bool beats(double v, double best) {
    return Greater ? v > best : v < best;
}

// Extreme of p[0, len) (len >= 1) by the plain scan, in `out`; true when
// the block holds a NaN, in which case `out` is meaningless.
template <bool Greater, bool Abs>
bool block_extreme_scalar(const double* p, std::size_t len, double& out) {
    double best = value_at<Abs>(p, 0);
    bool nan = false;
    for (std::size_t i = 0; i < len; ++i) {
        const double v = value_at<Abs>(p, i);
        nan |= std::isnan(v);
        if (beats<Greater>(v, best)) best = v;
    }
    out = best;
    return nan;
}

// The same, lane-parallel. A NaN is noticed through a running sum of the
// values, which any NaN makes NaN; infinities of both signs can make it NaN
// too, so a NaN sum sends the block to the plain scan.
template <bool Greater, bool Abs>
bool block_extreme(const double* p, std::size_t len, double& out) {
    if (len < STEP) return block_extreme_scalar<Greater, Abs>(p, len, out);
    V2 m[LANES], v[LANES], witness[2] = {};
    for (int l = 0; l < LANES; ++l) load2<Abs>(m[l], p + 2 * l);
    std::size_t i = STEP;
    for (; i + STEP <= len; i += STEP) {
        for (int l = 0; l < LANES; ++l) load2<Abs>(v[l], p + i + 2 * l);
        witness[0] += (v[0] + v[1]) + (v[2] + v[3]);
        witness[1] += (v[4] + v[5]) + (v[6] + v[7]);
        for (int l = 0; l < LANES; ++l) keep<Greater>(m[l], v[l]);
    }
    for (int l = 0; l < LANES; ++l) witness[l & 1] += m[l];
    const V2 w = witness[0] + witness[1];
    if (std::isnan(w[0] + w[1])) return block_extreme_scalar<Greater, Abs>(p, len, out);
    double best = m[0][0];
    for (int l = 0; l < LANES; ++l)
        for (int j = 0; j < 2; ++j)
            if (beats<Greater>(m[l][j], best)) best = m[l][j];
    for (; i < len; ++i) {
        const double x = value_at<Abs>(p, i);
        if (std::isnan(x)) return true;
        if (beats<Greater>(x, best)) best = x;
    }
    out = best;
    return false;
}

// Whether an element (absolute value for Abs) is a NaN (Nan) or equals v.
template <bool Abs, bool Nan>
inline bool matches(double x, double v) {
    const double a = Abs ? std::fabs(x) : x;
    return Nan ? std::isnan(a) : a == v;
}

// The same test over the STEP elements from p, lane-parallel.
template <bool Abs, bool Nan>
inline bool any_matches(const double* p, double v) {
    const V2 target = {v, v};
    M2 hit = {};
    for (int l = 0; l < LANES; ++l) {
        V2 x;
        load2<Abs>(x, p + 2 * l);
        hit |= Nan ? (x != x) : (x == target);
    }
    return (hit[0] | hit[1]) != 0;
}

// Position of the first (Reverse: last) element of p[0, len) (len >= 1)
// that matches. The block scan saw one, but another thread writing to the
// series may have removed it since: the search stops at the block's end and
// then answers the block's first (Reverse: last) position, so a position
// never leaves the series whatever the memory holds by then.
template <bool Abs, bool Nan, bool Reverse>
std::size_t find_in_block(const double* p, std::size_t len, double v = 0.0) {
    if constexpr (Reverse) {
        std::size_t end = len;  // p[end, len) holds no match
        while (end >= STEP && !any_matches<Abs, Nan>(p + end - STEP, v)) end -= STEP;
        for (std::size_t i = end; i-- > 0;)
            if (matches<Abs, Nan>(p[i], v)) return i;
        return len - 1;
    } else {
        std::size_t i = 0;  // p[0, i) holds no match
        while (i + STEP <= len && !any_matches<Abs, Nan>(p + i, v)) i += STEP;
        for (; i < len; ++i)
            if (matches<Abs, Nan>(p[i], v)) return i;
        return 0;
    }
}

// Position the scan of `max`/`min` stops at (Reverse: the scan of the
// reversed series, as a position of the original). x is not empty.
template <bool Greater, bool Abs, bool Reverse>
std::size_t extreme_position(Series x) {
    const double* p = x.data();
    const std::size_t n = x.size();
    const std::size_t blocks = (n + BLOCK - 1) / BLOCK;
    double best = 0.0;
    std::size_t best_start = 0, best_len = 0;
    for (std::size_t k = 0; k < blocks; ++k) {
        const std::size_t b = Reverse ? blocks - 1 - k : k;
        const std::size_t start = b * BLOCK, len = std::min(BLOCK, n - start);
        double m;
        if (block_extreme<Greater, Abs>(p + start, len, m))
            return start + find_in_block<false, true, Reverse>(p + start, len);
        // Strict: a later block that only ties does not hold the first one.
        if (k == 0 || beats<Greater>(m, best)) {
            best = m;
            best_start = start;
            best_len = len;
        }
    }
    return best_start + find_in_block<Abs, false, Reverse>(p + best_start, best_len, best);
}

}  // namespace

double max(Series x) { return x.empty() ? NaN : x[extreme_position<true, false, false>(x)]; }
double min(Series x) { return x.empty() ? NaN : x[extreme_position<false, false, false>(x)]; }
double max_abs(Series x) { return x.empty() ? NaN : std::fabs(x[extreme_position<true, true, false>(x)]); }

std::optional<std::size_t> argmax(Series x) {
    if (x.empty()) return std::nullopt;
    return extreme_position<true, false, false>(x);
}
std::optional<std::size_t> argmin(Series x) {
    if (x.empty()) return std::nullopt;
    return extreme_position<false, false, false>(x);
}
std::optional<std::size_t> last_argmax(Series x) {
    if (x.empty()) return std::nullopt;
    return extreme_position<true, false, true>(x);
}
std::optional<std::size_t> last_argmin(Series x) {
    if (x.empty()) return std::nullopt;
    return extreme_position<false, false, true>(x);
}

}  // namespace stats
