#include "numeric/stats.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <hwy/contrib/sort/vqsort.h>

#include "numeric/constants.h"
#include "numeric/order_keys.h"
#include "numeric/special.h"

namespace stats {

namespace {

using numeric::NaN;

// Neumaier accumulator with the magnitude test; a NaN magnitude takes the
// second branch. Callers decide what to do with a non-finite s or e.
struct Neumaier {
    double s = 0.0, e = 0.0;
    void add(double v) {
        const double t = s + v;
        if (std::fabs(s) >= std::fabs(v))
            e += (s - t) + v;
        else
            e += (v - t) + s;
        s = t;
    }
};

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

// ---- Quantiles ------------------------------------------------------------

// floor/ceil of a position to an index: NaN and negatives give 0, values
// beyond the unsigned range saturate.
std::size_t to_index(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(v);
}

double from_key(std::int64_t k) { return from_total_order_key(k); }

}  // namespace

QuantilePosition quantile_position(std::size_t n, double q) {
    // A NaN q passes both clamps and ends at index 0.
    const double qa = (0.0 > q) ? 0.0 : q;
    const double qc = (1.0 < qa) ? 1.0 : qa;
    const double pos = static_cast<double>(n - 1) * qc;
    // pos <= n - 1 unless n - 1 rounds up as a double (beyond 2^53): keep
    // the indices inside the series all the same.
    const std::size_t lo = std::min(to_index(std::floor(pos)), n - 1);
    const std::size_t hi = std::min(to_index(std::ceil(pos)), n - 1);
    return {pos, lo, hi};
}

double quantile_interpolate(const QuantilePosition& at, double xlo, double xhi) {
    if (at.lo == at.hi) return xlo;
    const double frac = at.pos - static_cast<double>(at.lo);
    return (xhi - xlo) * frac + xlo;
}

double sum(Series x) {
    return sum_of(x.size(), [p = x.data()](std::size_t i) { return p[i]; });
}

double mean(Series x) {
    if (x.empty()) return NaN;
    return sum(x) / static_cast<double>(x.size());
}

double squared_deviations(Series x, double m) {
    // Every term is >= 0 or NaN, hence no magnitude test; and no fallback:
    // an infinite square makes e inf - inf = NaN.
    double s = 0.0, e = 0.0;
    for (double v : x) {
        const double d = (v - m) * (v - m);
        const double t = s + d;
        e += (s - t) + d;
        s = t;
    }
    return s + e;
}

std::array<double, 2> sum_pair(Series a, Series b) {
    if (a.size() != b.size()) return {sum(a), sum(b)};
    // Two copies of sum_of's first pass, side by side.
    double s[2] = {0.0, 0.0}, e[2] = {0.0, 0.0};
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double v[2] = {a[i], b[i]};
        for (int k = 0; k < 2; ++k) {
            const double t = s[k] + v[k];
            const double vv = t - s[k];
            e[k] += (s[k] - (t - vv)) + (v[k] - vv);
            s[k] = t;
        }
    }
    std::array<double, 2> out;
    for (int k = 0; k < 2; ++k) {
        // sum_of's endings; the rare second pass is sum_of's own.
        if (!std::isfinite(s[k]))
            out[k] = s[k];
        else if (std::isfinite(e[k]))
            out[k] = s[k] + e[k];
        else
            out[k] = sum(k == 0 ? a : b);
    }
    return out;
}

std::array<double, 2> squared_deviations_pair(Series a, double ma, Series b, double mb) {
    if (a.size() != b.size()) return {squared_deviations(a, ma), squared_deviations(b, mb)};
    double s[2] = {0.0, 0.0}, e[2] = {0.0, 0.0};
    const double m[2] = {ma, mb};
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double v[2] = {a[i], b[i]};
        for (int k = 0; k < 2; ++k) {
            const double d = (v[k] - m[k]) * (v[k] - m[k]);
            const double t = s[k] + d;
            e[k] += (s[k] - t) + d;
            s[k] = t;
        }
    }
    return {s[0] + e[0], s[1] + e[1]};
}

double var(Series x) {
    if (x.empty()) return NaN;
    const double n = static_cast<double>(x.size());
    return squared_deviations(x, sum(x) / n) / n;
}

double std(Series x) { return std::sqrt(var(x)); }

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

std::vector<double> diff(Series x) {
    std::vector<double> d;
    if (x.size() < 2) return d;
    d.resize(x.size() - 1);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) d[i] = x[i + 1] - x[i];
    return d;
}

bool all_finite(Series x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

void sort_keys(std::span<std::int64_t> keys) {
    // One sorter per thread: it owns the sort's scratch buffers, and its
    // calls dispatch to the widest vector target of the running machine.
    // Integer keys only: this Highway's sort of doubles mishandles heavy
    // ties near zero and infinities.
    thread_local const hwy::Sorter sorter;
    if (keys.size() > 1) sorter(keys.data(), keys.size(), hwy::SortAscending());
}

namespace {

// Sorts the keys of x into out (x may be out itself). The keys are held in
// out's storage, which this file touches only as doubles; the sort, compiled
// apart, reads and writes it as the integers whose bytes it holds.
void sort_keys_into(Series x, double* out) {
    const std::size_t n = x.size();
    detail::to_order_keys(x.data(), out, n);
    sort_keys({reinterpret_cast<std::int64_t*>(out), n});
    detail::from_order_keys(out, n);
}

}  // namespace

void sort_total(std::span<double> x) {
    if (x.size() > 1) sort_keys_into(x, x.data());
}

std::vector<double> sorted_total(Series x) {
    if (x.size() < 2) return {x.begin(), x.end()};
    std::vector<double> out(x.size());
    sort_keys_into(x, out.data());
    return out;
}

double quantile_sorted(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0 || std::isnan(x[n - 1])) return NaN;
    const QuantilePosition at = quantile_position(n, q);
    return quantile_interpolate(at, x[at.lo], x[at.hi]);
}

double quantile(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0) return NaN;
    // Selection on the total-order keys gives exactly the order statistics
    // of a sorted copy (equal keys are equal bits), at linear cost.
    std::unique_ptr<std::int64_t[]> k(new std::int64_t[n]);
    std::int64_t top = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < n; ++i) {
        k[i] = total_order_key(x[i]);
        top = std::max(top, k[i]);
    }
    // The last of the sorted copy is NaN (of either sign).
    if (std::isnan(from_key(top))) return NaN;
    const QuantilePosition at = quantile_position(n, q);
    std::int64_t* const first = k.get();
    std::nth_element(first, first + at.lo, first + n);
    const double xlo = from_key(first[at.lo]);
    if (at.lo == at.hi) return xlo;
    // hi = lo + 1: the smallest key after the selected one.
    const double xhi = from_key(*std::min_element(first + at.lo + 1, first + n));
    return quantile_interpolate(at, xlo, xhi);
}

LinregressResult linregress(Series x, Series y) {
    const LinregressResult none{NaN, NaN, NaN, NaN, NaN};
    const std::size_t n = x.size();
    if (y.size() != n || n < 2) return none;
    const double nd = static_cast<double>(n);

    Neumaier sx, sy;
    for (std::size_t i = 0; i < n; ++i) {
        sx.add(x[i]);
        sy.add(y[i]);
    }
    // Means kept as a leading part and a correction, so the centring below
    // loses nothing to the rounding of the mean.
    const double hi_x = sx.s / nd, lo_x = (sx.e + std::fma(hi_x, -nd, sx.s)) / nd;
    const double hi_y = sy.s / nd, lo_y = (sy.e + std::fma(hi_y, -nd, sy.s)) / nd;

    Neumaier sxx, sxy, syy;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = (x[i] - hi_x) - lo_x;
        const double dy = (y[i] - hi_y) - lo_y;
        sxx.add(dx * dx);
        sxy.add(dx * dy);
        syy.add(dy * dy);
    }
    const double ssxm = sxx.s + sxx.e, ssxym = sxy.s + sxy.e, ssym = syy.s + syy.e;
    if (ssxm == 0.0) return none;

    LinregressResult out;
    out.slope = ssxym / ssxm;
    out.intercept = hi_y - out.slope * hi_x;
    double r;
    if (ssym == 0.0) {
        r = (ssxym == 0.0) ? NaN : 0.0;
    } else {
        r = ssxym / std::sqrt(ssxm * ssym);
        r = (-1.0 > r) ? -1.0 : r;
        r = (1.0 < r) ? 1.0 : r;
    }
    out.rvalue = r;
    const double df = nd - 2.0;
    out.std_err = std::sqrt(ssym * (1.0 - r * r) / ssxm / df);

    // Two-sided p-value of Student's t with df degrees of freedom, via the
    // regularised incomplete beta function I_{df/(df+t^2)}(df/2, 1/2).
    constexpr double TINY = 1e-20;
    constexpr double LN_GAMMA_HALF = 0.5723649429246995;  // ln_gamma(0.5) as computed here
    if (!(df > 0.0)) {
        out.pvalue = NaN;
        return out;
    }
    const double t = std::sqrt(df / (((1.0 - r) + TINY) * ((r + 1.0) + TINY))) * r;
    if (std::isnan(t)) {
        out.pvalue = NaN;
        return out;
    }
    if (std::isinf(t)) {
        out.pvalue = 0.0;
        return out;
    }
    const double xb = df / (t * t + df);
    double I;
    if (xb <= 0.0) {
        I = 0.0;
    } else if (xb >= 1.0) {
        I = 1.0;
    } else {
        const double a = df * 0.5;
        const double lnpre = (special::ln_gamma(a + 0.5) - special::ln_gamma(a)) + (-LN_GAMMA_HALF);
        const double bt = std::exp(std::log(1.0 - xb) * 0.5 + (std::log(xb) * a + lnpre));
        if ((a + 1.0) / ((a + 0.5) + 2.0) > xb)
            I = bt * special::betacf(a, 0.5, xb) / a;
        else
            I = 1.0 - 2.0 * (bt * special::betacf(0.5, a, 1.0 - xb));
    }
    const double tail = I * 0.5;
    out.pvalue = tail + tail;
    return out;
}

LinregressResult linregress_index(Series y) {
    if (y.empty()) return {NaN, NaN, NaN, NaN, NaN};
    std::vector<double> axis(y.size());
    for (std::size_t i = 0; i < axis.size(); ++i) axis[i] = static_cast<double>(i);
    return linregress(axis, y);
}

}  // namespace stats
