#include "helpers/series.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numeric/stats.h"

namespace helpers {

UniqueCounts unique_counts(std::span<const double> x) {
    UniqueCounts out;
    std::vector<double> sorted(x.begin(), x.end());
    stats::sort_total(sorted);
    // Sign-set NaNs sort first and sign-clear NaNs last; skip both ends.
    std::size_t lo = 0, hi = sorted.size();
    while (lo < hi && std::isnan(sorted[lo])) ++lo;
    while (hi > lo && std::isnan(sorted[hi - 1])) --hi;
    const std::uint64_t nans = sorted.size() - (hi - lo);
    for (std::size_t i = lo; i < hi;) {
        std::size_t j = i + 1;
        while (j < hi && sorted[j] == sorted[i]) ++j;
        out.values.push_back(sorted[i]);
        out.counts.push_back(j - i);
        i = j;
    }
    if (nans > 0) {
        out.values.push_back(std::numeric_limits<double>::quiet_NaN());
        out.counts.push_back(nans);
    }
    return out;
}

std::vector<std::uint64_t> length_sequences_where(const std::vector<bool>& mask) {
    std::vector<std::uint64_t> runs;
    std::uint64_t run = 0;
    for (bool b : mask) {
        if (b) {
            ++run;
        } else if (run > 0) {
            runs.push_back(run);
            run = 0;
        }
    }
    if (run > 0) runs.push_back(run);
    if (runs.empty()) runs.push_back(0);
    return runs;
}

double corrcoef(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    if (y.size() != n || n == 0) return std::numeric_limits<double>::quiet_NaN();
    const double mx = stats::sum(x) / static_cast<double>(n);
    const double my = stats::sum(y) / static_cast<double>(n);
    double sxx = 0.0, syy = 0.0, sxy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - mx, dy = y[i] - my;
        sxx += dx * dx;
        syy += dy * dy;
        sxy += dx * dy;
    }
    if (sxx <= 0.0 || syy <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    double r = sxy / std::sqrt(syy * sxx);
    if (r < -1.0) r = -1.0;
    if (r > 1.0) r = 1.0;
    return r;
}

}  // namespace helpers
