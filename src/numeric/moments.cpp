#include "numeric/moments.h"

#include <algorithm>
#include <cmath>

#include "numeric/constants.h"

namespace stats {

using numeric::NaN;

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

}  // namespace stats
