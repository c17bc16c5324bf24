#include "numeric/linregress.h"

#include <cmath>
#include <vector>

#include "numeric/constants.h"
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

}  // namespace

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
