// Routines shared by the entropy calculators: equal-width bin edges computed
// on demand, the entropy of a histogram, and counts of equal values.
#pragma once

#include <cstdint>
#include <vector>

#include "calculators/calculators.h"

namespace calculators {

// The edges e_0 .. e_b of b equal-width bins over [lo, hi] (lo <= hi, both
// finite): e_i = i * ((hi - lo) / b) + lo for i < b, e_b = hi exactly. No
// edge is stored, so any bin count costs nothing. A range wider than the
// largest double gives the edges of exact arithmetic.
class BinEdges {
public:
    BinEdges(double lo, double hi, std::uint64_t bins);

    double edge(std::uint64_t i) const {
        if (i >= bins_) return hi_;
        const double e = static_cast<double>(i) * step_ + slo_;
        return scale_ == 1.0 ? e : e * 2.0;
    }

    // ((v - lo) / (hi - lo)) * b: where v falls, before truncation.
    double position(double v) const { return ((v * scale_ - slo_) / span_) * static_cast<double>(bins_); }

    // The bin that v's position points at, for lo <= v <= hi: the position
    // truncated toward zero (NaN as 0, saturating past 2^63), clamped to the
    // last bin. Rounding can leave it one bin off an edge.
    std::uint64_t guess(double v) const {
        const double f = position(v);  // >= 0 or NaN
        if (!(f >= 1.0)) return 0;
        const std::uint64_t last = bins_ - 1;
        if (f >= 9223372036854775808.0) return last;
        return std::min(static_cast<std::uint64_t>(f), last);
    }

private:
    double hi_;
    std::uint64_t bins_;
    double scale_ = 1.0, slo_, span_, step_;
};

// Entropy -sum p ln p of the histogram of x in `bins` equal-width bins over
// [min, max] (widened by 0.5 each way for a constant series); bins counted
// by the edges above. Empty or non-finite x: NaN; bins 0: -0.0.
double binned_entropy(Series x, std::uint64_t bins);
// The same for a finite, non-empty x with bins >= 1, given its extremes.
double binned_entropy_finite(Series x, std::uint64_t bins, double lo, double hi);

// Counts of equal values, in ascending order, from a list sorted in place.
std::vector<std::uint64_t> run_lengths(std::vector<std::uint64_t>& v);

}  // namespace calculators
