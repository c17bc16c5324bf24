// Special functions behind the p-values of the least-squares line and of
// the unit-root test.
#pragma once

namespace special {

// Natural log of the gamma function (Lanczos, g = 7, nine terms). Below 0.5
// it uses the reflection formula without an absolute value, so it is NaN
// where sin(pi x) is negative.
double ln_gamma(double x);

// Continued fraction of the regularised incomplete beta function, evaluated
// by the modified Lentz method (at most 300 iterations, relative step 3e-16).
double betacf(double a, double b, double x);

// Complementary error function: a 28-term Chebyshev expansion in
// 2 / (2 + |z|), summed by Clenshaw's recurrence; erfc(-z) = 2 - erfc(z).
double erfc(double z);

}  // namespace special
