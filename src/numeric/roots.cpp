#include "numeric/roots.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstddef>
#include <limits>

#include "numeric/constants.h"

namespace regression {

namespace {

constexpr int MAX_SWEEPS = 500;
// A sweep whose largest step is below this ends the iteration.
constexpr double CONVERGED = 1e-15;
// Root vectors kept to recognise a cycle: cycles of up to 15 sweeps, which
// the iteration enters within a few dozen sweeps.
constexpr int REMEMBERED = 16;

// Complex arithmetic by the plain formulas (no scaling, no special cases),
// so that every step rounds the same way wherever it runs.
struct C {
    double re, im;
};
C add(C a, C b) { return {a.re + b.re, a.im + b.im}; }
C sub(C a, C b) { return {a.re - b.re, a.im - b.im}; }
C mul(C a, C b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
double norm2(C b) { return b.re * b.re + b.im * b.im; }
C div(C a, C b, double den) { return {(a.re * b.re + a.im * b.im) / den, (a.im * b.re - a.re * b.im) / den}; }

// Horner's scheme from the highest power, starting at 0 + 0i.
C horner(const std::vector<double>& coef, C z) {
    C acc{0.0, 0.0};
    for (double c : coef) acc = add(mul(acc, z), C{c, 0.0});
    return acc;
}

// Whether the roots from `a` on hold exactly the bits of `z`.
bool same_bits(std::vector<C>::const_iterator a, const std::vector<C>& z) {
    for (const C& b : z) {
        if (std::bit_cast<std::uint64_t>(a->re) != std::bit_cast<std::uint64_t>(b.re) ||
            std::bit_cast<std::uint64_t>(a->im) != std::bit_cast<std::uint64_t>(b.im))
            return false;
        ++a;
    }
    return true;
}

}  // namespace

std::vector<std::complex<double>> poly_roots(std::span<const double> c) {
    for (double v : c)
        if (!std::isfinite(v)) return {};
    std::size_t first = 0, last = c.size();
    while (first < last && c[first] == 0.0) ++first;
    if (first == last) return {};
    std::size_t zeros = 0;
    while (last - first > 1 && c[last - 1] == 0.0) {
        --last;
        ++zeros;
    }
    const std::size_t deg = last - first - 1;
    std::vector<std::complex<double>> out;
    if (deg == 0) {
        out.assign(zeros, {0.0, 0.0});
        return out;
    }

    std::vector<double> p(deg + 1), dp(deg);
    for (std::size_t i = 0; i <= deg; ++i) p[i] = c[first + i] / c[first];
    // A leading coefficient tiny against the others overflows the monic form.
    for (double v : p)
        if (!std::isfinite(v)) return {};
    for (std::size_t i = 0; i < deg; ++i) dp[i] = static_cast<double>(deg - i) * p[i];

    double a = 0.0;
    for (std::size_t i = 1; i <= deg; ++i)
        if (std::fabs(p[i]) > a) a = std::fabs(p[i]);
    const double radius = 0.5 * (1.0 + a);
    std::vector<C> z(deg);
    for (std::size_t k = 0; k < deg; ++k) {
        const double theta = (static_cast<double>(k) * numeric::TWO_PI) / static_cast<double>(deg) + 0.4;
        z[k] = {radius * std::cos(theta), radius * std::sin(theta)};
    }

    // A sweep reads nothing but the roots, so once they repeat an earlier
    // state they cycle through the states since (large roots step by an
    // ulp, never below the absolute bound, or settle into a small cycle).
    // The last sweep's state is then read off the cycle: the same bits as
    // sweeping on.
    std::vector<C> seen(REMEMBERED * deg);
    const auto state = [&](int t) { return seen.begin() + static_cast<std::ptrdiff_t>((t % REMEMBERED) * deg); };
    std::copy(z.begin(), z.end(), state(0));
    for (int sweep = 0; sweep < MAX_SWEEPS; ++sweep) {
        double largest = 0.0;
        for (std::size_t k = 0; k < deg; ++k) {
            const C pz = horner(p, z[k]), qz = horner(dp, z[k]);
            const double qn = norm2(qz);
            const C newton = qn == 0.0 ? C{0.0, 0.0} : div(pz, qz, qn);
            C s{0.0, 0.0};
            for (std::size_t j = 0; j < deg; ++j) {
                if (j == k) continue;
                const C d = sub(z[k], z[j]);
                const double dn = norm2(d);
                if (dn == 0.0) continue;
                s = add(s, div(C{1.0, 0.0}, d, dn));
            }
            const C den = sub(C{1.0, 0.0}, mul(newton, s));
            const double dn = norm2(den);
            const C w = dn == 0.0 ? C{0.0, 0.0} : div(newton, den, dn);
            z[k] = sub(z[k], w);
            const double step = std::hypot(w.re, w.im);
            if (step > largest) largest = step;
        }
        if (largest < CONVERGED) break;
        // The state after t sweeps against the ones kept before it.
        const int t = sweep + 1, kept = std::min(t, REMEMBERED - 1);
        int period = 1;
        while (period <= kept && !same_bits(state(t - period), z)) ++period;
        if (period <= kept) {
            const int start = t - period;
            const auto last = state(start + (MAX_SWEEPS - start) % period);
            std::copy(last, last + static_cast<std::ptrdiff_t>(deg), z.begin());
            break;
        }
        std::copy(z.begin(), z.end(), state(t));
    }

    out.reserve(deg + zeros);
    for (const C& r : z) out.emplace_back(r.re, r.im);
    out.insert(out.end(), zeros, {0.0, 0.0});
    return out;
}

double largest_real_part(std::span<const std::complex<double>> roots) {
    if (roots.empty()) return numeric::NaN;
    double best = -std::numeric_limits<double>::infinity();
    for (const auto& r : roots) {
        if (!std::isfinite(r.real()) || !std::isfinite(r.imag())) return numeric::NaN;
        if (r.real() > best) best = r.real();
    }
    return best;
}

}  // namespace regression
