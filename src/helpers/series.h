// Series routines shared by several calculator families.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace helpers {

struct UniqueCounts {
    std::vector<double> values;        // ascending by the total order; NaNs last, as one group
    std::vector<std::uint64_t> counts;  // samples equal (==) to values[i]
};

// Distinct values with their counts. -0.0 and 0.0 form one group (valued
// -0.0, which sorts first); every NaN, whatever its sign or payload, falls
// into one trailing group valued +NaN.
UniqueCounts unique_counts(std::span<const double> x);

// Lengths of the maximal runs of true, in order; [0] when there is none.
std::vector<std::uint64_t> length_sequences_where(const std::vector<bool>& mask);

// Pearson correlation clamped to [-1, 1]; NaN for unequal or empty inputs
// and for a side without spread.
double corrcoef(std::span<const double> x, std::span<const double> y);

// Least-squares polynomial of degree m (highest power first, m + 1 values)
// fitted to the mean drift x[i+1] - x[i] against the mean level x[i] in r
// quantile bins. All NaN on any failure (m = 0, r = 0, n < 2, non-finite or
// repeated bin edges, no solution). A degree above 64 is not fitted (a
// resource bound): the list is empty, and callers read a missing coefficient
// as NaN.
std::vector<double> estimate_friedrich_coefficients(std::span<const double> x, std::uint64_t m,
                                                    std::uint64_t r);

}  // namespace helpers
