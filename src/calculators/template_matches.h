// Template matching for the approximate and sample entropies.
//
// The template of length k at i is x_i .. x_{i+k-1}; two templates match
// when every pair of corresponding samples is within the tolerance
// (|x_{i+t} - x_{j+t}| <= tol). Pairs are visited along the diagonals
// j = i + d of the distance matrix: a diagonal is one pass of comparisons,
// and the pairs that match at length k are the windows of k consecutive
// matching positions on it. So one sweep costs O(n^2) whatever the lengths
// and serves every length at once, with exactly the counts of the pairwise
// definition (|a - b| == |b - a| bit for bit, so each pair is compared once).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace calculators {

struct TemplateMatches {
    // Per length, in the order of `lengths`: the number of unordered pairs
    // i < j of templates that match.
    std::vector<std::uint64_t> pairs;
    // Per length, when asked for: for each template i in [0, n - k], the
    // number of templates j != i that match it.
    std::vector<std::vector<std::uint64_t>> per_template;
};

// `lengths` ascending, distinct, each in [1, n]. A NaN tolerance matches
// nothing.
TemplateMatches count_template_matches(std::span<const double> x, double tol,
                                       std::span<const std::uint64_t> lengths, bool per_template);

}  // namespace calculators
