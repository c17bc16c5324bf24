#include "numeric/special.h"

#include <cmath>

namespace special {

double ln_gamma(double x) {
    constexpr double pi = 3.141592653589793;
    if (x < 0.5) return std::log(pi / std::sin(x * pi)) - ln_gamma(1.0 - x);
    constexpr double c[8] = {676.5203681218851,     -1259.1392167224028,
                             771.3234287776531,     -176.6150291621406,
                             12.507343278686905,    -0.13857109526572012,
                             9.984369578019572e-6,  1.5056327351493116e-7};
    const double z = x - 1.0;
    double s = 0.9999999999998099;
    for (int i = 0; i < 8; ++i) s += c[i] / (z + static_cast<double>(i + 1));
    const double t = 7.5 + z;
    // 0.9189385332046727 = ln(sqrt(2 pi))
    return std::log(s) + ((std::log(t) * (z + 0.5) + 0.9189385332046727) - t);
}

double betacf(double a, double b, double x) {
    constexpr double FPMIN = 1e-300;
    constexpr double EPS = 3e-16;
    constexpr int MAX_ITER = 300;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double cl = 1.0;
    double dl = 1.0 - (qab * x) / qap;
    if (std::fabs(dl) < FPMIN) dl = FPMIN;
    dl = 1.0 / dl;
    double h = dl;
    auto step = [&](double aa) {
        dl = 1.0 + aa * dl;
        cl = 1.0 + aa / cl;
        if (std::fabs(dl) < FPMIN) dl = FPMIN;
        if (std::fabs(cl) < FPMIN) cl = FPMIN;
        dl = 1.0 / dl;
        return dl * cl;
    };
    for (int it = 1; it <= MAX_ITER; ++it) {
        const double m = it, m2 = m + m;
        h *= step(((b - m) * m * x) / ((qam + m2) * (a + m2)));
        const double del = step(((m + qab) * (-(a + m)) * x) / ((m2 + qap) * (a + m2)));
        h *= del;
        if (std::fabs(del - 1.0) < EPS) break;  // a NaN step never converges
    }
    return h;
}

}  // namespace special
