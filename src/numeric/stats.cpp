#include "numeric/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/special.h"

namespace stats {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

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

// floor/ceil of a position to an index: NaN and negatives give 0, values
// beyond the unsigned range saturate.
std::size_t to_index(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(v);
}

double from_key(std::int64_t k) {
    // The key map is an involution: applying it to a key gives the bits back.
    const std::int64_t b = k ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(k >> 63) >> 1);
    double v;
    __builtin_memcpy(&v, &b, sizeof v);
    return v;
}

template <bool Greater>
std::size_t first_extreme(Series x) {
    std::size_t b = 0;
    double best = x[0];
    if (std::isnan(best)) return 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double v = x[i];
        if (std::isnan(v)) return i;
        if (Greater ? v > best : v < best) {
            best = v;
            b = i;
        }
    }
    return b;
}

}  // namespace

double sum(Series x) {
    Neumaier acc;
    for (double v : x) acc.add(v);
    if (std::isfinite(acc.s) && std::isfinite(acc.e)) return acc.s + acc.e;
    double plain = 0.0;
    for (double v : x) plain += v;
    return plain;
}

double mean(Series x) {
    if (x.empty()) return NaN;
    return sum(x) / static_cast<double>(x.size());
}

double var(Series x) {
    if (x.empty()) return NaN;
    const double n = static_cast<double>(x.size());
    const double m = sum(x) / n;
    double s = 0.0, e = 0.0;
    for (double v : x) {
        const double d = (v - m) * (v - m);
        const double t = s + d;
        e += (s - t) + d;
        s = t;
    }
    return (s + e) / n;
}

double std(Series x) { return std::sqrt(var(x)); }

double max(Series x) { return x.empty() ? NaN : x[first_extreme<true>(x)]; }
double min(Series x) { return x.empty() ? NaN : x[first_extreme<false>(x)]; }

std::optional<std::size_t> argmax(Series x) {
    if (x.empty()) return std::nullopt;
    return first_extreme<true>(x);
}
std::optional<std::size_t> argmin(Series x) {
    if (x.empty()) return std::nullopt;
    return first_extreme<false>(x);
}

std::vector<double> diff(Series x) {
    std::vector<double> d;
    if (x.size() < 2) return d;
    d.resize(x.size() - 1);
    for (std::size_t i = 0; i + 1 < x.size(); ++i) d[i] = x[i + 1] - x[i];
    return d;
}

void sort_total(std::span<double> x) {
    // Sorting the integer keys is exact: equal keys are identical bit patterns.
    static_assert(sizeof(double) == sizeof(std::int64_t));
    auto* k = reinterpret_cast<std::int64_t*>(x.data());
    for (std::size_t i = 0; i < x.size(); ++i) k[i] = total_order_key(x[i]);
    std::sort(k, k + x.size());
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = from_key(k[i]);
}

double quantile_sorted(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0 || std::isnan(x[n - 1])) return NaN;
    const double qa = (0.0 > q) ? 0.0 : q;
    const double qc = (1.0 < qa) ? 1.0 : qa;
    const double pos = static_cast<double>(n - 1) * qc;
    const std::size_t lo = to_index(std::floor(pos));
    const std::size_t hi = to_index(std::ceil(pos));
    if (lo == hi) return x[lo];
    const double frac = pos - static_cast<double>(lo);
    return (x[hi] - x[lo]) * frac + x[lo];
}

double quantile(Series x, double q) {
    const std::size_t n = x.size();
    if (n == 0) return NaN;
    // Selection on the total-order keys gives the same order statistics as
    // a full sort of a copy, at linear cost.
    std::vector<std::int64_t> k(n);
    std::int64_t top = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < n; ++i) {
        k[i] = total_order_key(x[i]);
        top = std::max(top, k[i]);
    }
    if (std::isnan(from_key(top))) return NaN;
    const double qa = (0.0 > q) ? 0.0 : q;
    const double qc = (1.0 < qa) ? 1.0 : qa;
    const double pos = static_cast<double>(n - 1) * qc;
    const std::size_t lo = to_index(std::floor(pos));
    const std::size_t hi = to_index(std::ceil(pos));
    std::nth_element(k.begin(), k.begin() + static_cast<std::ptrdiff_t>(lo), k.end());
    const double xlo = from_key(k[lo]);
    if (lo == hi) return xlo;
    const double xhi = from_key(*std::min_element(k.begin() + static_cast<std::ptrdiff_t>(lo) + 1, k.end()));
    const double frac = pos - static_cast<double>(lo);
    return (xhi - xlo) * frac + xlo;
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
