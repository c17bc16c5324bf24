// Roots of a real polynomial by simultaneous Aberth-Ehrlich iteration.
#pragma once

#include <complex>
#include <span>
#include <vector>

namespace regression {

// Every complex root of the polynomial with coefficients c (highest power
// first): the roots iterated from the starting circle, in the order of their
// starting points, then one exact 0 for each trailing zero coefficient.
// Leading zeros are dropped. No roots for an empty, all-zero or nonzero
// constant polynomial, for a NaN or infinite coefficient, and when dividing
// by the leading coefficient overflows.
std::vector<std::complex<double>> poly_roots(std::span<const double> c);

// The largest real part among the roots: NaN for no roots, and NaN when a
// root is not finite (the iteration overflowed or diverged).
double largest_real_part(std::span<const std::complex<double>> roots);

}  // namespace regression
