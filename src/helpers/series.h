// Series routines shared by several calculator families.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace helpers {

// Distinct values with their counts: the groups of the values that are not
// NaN (-0.0 and 0.0 form one), and the size of the NaN group (every NaN,
// whatever its sign or payload).
struct DistinctValues {
    std::vector<double> values;         // -0.0 for the zeros when a -0.0 is among them
    std::vector<std::uint64_t> counts;  // samples equal (==) to values[i]
    std::uint64_t nans = 0;             // 0: no NaN group
    std::size_t groups() const { return values.size() + (nans > 0 ? 1 : 0); }
};

// Below this length the groups are counted in a hash table; from it on, a
// sorted copy is grouped, which is then as fast (measured: the table
// outgrows the first-level cache, and the sort is quick on heavy ties).
inline constexpr std::size_t HASHED_DISTINCT_LIMIT = std::size_t{1} << 13;

// The groups of x: hashed below HASHED_DISTINCT_LIMIT, sorted from it on.
DistinctValues distinct_values(std::span<const double> x);
// Counted in a hash table of the bit patterns (zeros and NaNs as one each).
DistinctValues distinct_values_hashed(std::span<const double> x);
// The number of groups, hashed as distinct_values_hashed. With
// stop_at_repeat, the scan stops at the first sample that joins a group, and
// the count is then below x.size() but otherwise short.
std::size_t count_groups_hashed(std::span<const double> x, bool stop_at_repeat);
// Grouped from a copy sorted by stats::sort_total (ascending groups).
DistinctValues distinct_values_sorted(std::span<const double> sorted);

// Lengths of the maximal runs of true, in order; [0] when there is none.
std::vector<std::uint64_t> length_sequences_where(const std::vector<bool>& mask);

// Plain left-to-right sum of squares from -0.0 (so nothing to add stays -0.0).
double energy(std::span<const double> x);

// stats::sum of |x[i+1] - x[i]|, the differences made on the fly; 0.0 for
// fewer than two samples.
double abs_change_sum(std::span<const double> x);

// Pearson correlation clamped to [-1, 1]; NaN for unequal or empty inputs
// and for a side without spread.
double corrcoef(std::span<const double> x, std::span<const double> y);

}  // namespace helpers
