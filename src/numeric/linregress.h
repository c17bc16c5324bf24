// The least-squares line of one series on another, with the two-sided
// p-value of its slope.
#pragma once

#include <span>

namespace stats {

using Series = std::span<const double>;

// The least-squares line of y on x; all five fields NaN on degenerate input.
struct LinregressResult {
    double slope, intercept, rvalue, pvalue, std_err;
};
LinregressResult linregress(Series x, Series y);
// Against the index axis 0, 1, ..., n-1.
LinregressResult linregress_index(Series y);

}  // namespace stats
