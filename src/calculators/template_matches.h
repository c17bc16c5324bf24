// Template matching for the approximate and sample entropies.
//
// The template of length k at i is x_i .. x_{i+k-1}; two templates match
// when every pair of corresponding samples is within the tolerance
// (|x_{i+t} - x_{j+t}| <= tol). Pairs are visited along the diagonals
// j = i + d of the distance matrix: a diagonal is one pass of comparisons,
// and the pairs that match at length k are the windows of k consecutive
// matching positions on it. So one sweep costs O(n^2) whatever the lengths
// and serves many lengths and tolerances at once, with exactly the
// counts of the pairwise definition (|a - b| == |b - a| bit for bit, so each
// pair is compared once).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "numeric/constants.h"

namespace calculators {

// One count a sweep makes: the matches of the templates of `length` (at
// least 1) within `tol`. A NaN tolerance matches nothing.
struct MatchRequest {
    double tol;
    std::uint64_t length;
    // The mean log share of the partners (MatchCounts::phi), not only the
    // number of pairs.
    bool phi;
};

struct MatchCounts {
    // The number of unordered pairs i < j of templates that match.
    std::uint64_t pairs = 0;
    // When asked for: with N = n - length + 1 templates and C_i the
    // templates matching template i (itself included), the sum over i in
    // order of ln(C_i / N), over N. NaN without templates.
    double phi = numeric::NaN;
};

// The counts of every request, in the order of the requests. A length above
// n has no templates. Memory is O(n) whatever the number of requests: a
// sweep counts at most a bounded number of (tolerance, length) streams at
// once, and each count is read off into its two numbers when its sweep ends.
std::vector<MatchCounts> count_template_matches(std::span<const double> x, std::span<const MatchRequest> requests);

}  // namespace calculators
