// Distances of every window of a series from a query, as
// `query_similarity_count` defines them.
#pragma once

#include <span>
#include <vector>

namespace helpers {

// d[s] for every window x[s .. s + m - 1], s = 0 .. n - m (m = query size,
// 1 <= m <= n):
// - not normalised: sqrt of the plain sum, from -0.0, of (q_j - w_j)^2;
// - normalised: the distance of the z-normalised window from the
//   z-normalised query, with the means and population variances of
//   stats::mean and stats::var: 0 for two constants, sqrt(m) for a constant
//   against a varying sequence, and NaN when either variance is NaN (a NaN
//   or infinite sample, or squares that overflow).
// Windows are evaluated in SIMD lanes, one window a lane, each with exactly
// the arithmetic of the scalar definition, so every bit is the same.
std::vector<double> window_distances(std::span<const double> x, std::span<const double> query, bool normalize);

}  // namespace helpers
