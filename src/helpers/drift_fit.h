// The drift polynomial of a series, fitted over its quantile bins.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace helpers {

// Least-squares polynomial of degree m (highest power first, m + 1 values)
// fitted to the mean drift x[i+1] - x[i] against the mean level x[i] in r
// quantile bins. All NaN on any failure (m = 0, r = 0, n < 2, non-finite or
// repeated bin edges, no solution). A degree above 64 is not fitted (a
// resource bound): the list is empty, and callers read a missing coefficient
// as NaN.
std::vector<double> estimate_friedrich_coefficients(std::span<const double> x, std::uint64_t m,
                                                    std::uint64_t r);

}  // namespace helpers
