#include "calculators/context.h"

#include "numeric/stats.h"

namespace calculators {

std::span<const double> SeriesContext::sorted() {
    return lazy(sorted_, [&] {
        std::vector<double> s(x_.begin(), x_.end());
        stats::sort_total(s);
        return s;
    });
}

const helpers::UniqueCounts& SeriesContext::distinct() {
    return lazy(distinct_, [&] { return helpers::unique_counts(x_); });
}

double SeriesContext::mean() {
    return lazy(mean_, [&] { return stats::mean(x_); });
}

double SeriesContext::variance() {
    return lazy(variance_, [&] { return stats::var(x_); });
}

}  // namespace calculators
