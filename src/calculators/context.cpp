#include "calculators/context.h"

#include <cmath>
#include <utility>
#include <vector>

#include "calculators/registry.h"
#include "helpers/drift_fit.h"
#include "numeric/spectral.h"
#include "numeric/stats.h"

namespace calculators {

SeriesContext::SeriesContext(std::span<const double> x, std::span<const RowItem> row) : x_(x) {
    for (const RowItem& item : row)
        if (item.calculator->announce) item.calculator->announce(*this, item.params);
}

std::span<const double> SeriesContext::sorted() {
    return lazy(sorted_, [&] { return stats::sorted_total(x_); });
}

// Below this many samples the sort of the keys costs less than one
// selection among them (and is kept for the next reader); above it a
// selection is cheaper, up to half as costly at 10^6 samples.
constexpr std::size_t SORT_BELOW = 8192;

double SeriesContext::quantile(double q, bool several) {
    if (several || has_sorted() || x_.size() < SORT_BELOW) return stats::quantile_sorted(sorted(), q);
    return stats::quantile(x_, q);
}

const helpers::DistinctValues& SeriesContext::distinct() {
    return lazy(distinct_, [&] {
        // Grouping a sorted copy is linear; hashing beats sorting one first
        // only on shorter series.
        if (sorted_ || x_.size() >= helpers::HASHED_DISTINCT_LIMIT) return helpers::distinct_values_sorted(sorted());
        return helpers::distinct_values_hashed(x_);
    });
}

double SeriesContext::sum() {
    return lazy(sum_, [&] { return stats::sum(x_); });
}

// stats::mean is sum / n and stats::var the squared deviations from that
// mean over n: the same operations on the same sum.
double SeriesContext::mean() {
    return lazy(mean_, [&] { return x_.empty() ? stats::mean(x_) : sum() / static_cast<double>(x_.size()); });
}

double SeriesContext::variance() {
    return lazy(variance_, [&] {
        if (x_.empty()) return stats::var(x_);
        return stats::squared_deviations(x_, mean()) / static_cast<double>(x_.size());
    });
}

double SeriesContext::energy() {
    return lazy(energy_, [&] { return helpers::energy(x_); });
}

double SeriesContext::abs_change_sum() {
    return lazy(abs_change_sum_, [&] { return helpers::abs_change_sum(x_); });
}

double SeriesContext::max() {
    return lazy(max_, [&] { return stats::max(x_); });
}

double SeriesContext::min() {
    return lazy(min_, [&] { return stats::min(x_); });
}

// A NaN or an infinity leaves the plain running sum non-finite for good, and
// stats::sum gives that plain sum whenever its compensated one is not finite:
// a finite sum() (which the transform reads anyway) proves every sample
// finite, and only a non-finite one needs the pass.
bool SeriesContext::all_finite() {
    return lazy(all_finite_, [&] { return std::isfinite(sum()) || stats::all_finite(x_); });
}

std::span<const std::complex<double>> SeriesContext::rfft() {
    return lazy(rfft_, [&] { return spectral::rfft(x_, sum()); });
}

const spectral::Autocovariance& SeriesContext::autocovariance() {
    return lazy(autocovariance_, [&] { return spectral::autocovariance(x_, sum()); });
}

std::span<const double> SeriesContext::welch() {
    return lazy(welch_, [&] { return spectral::welch_psd(x_); });
}

const std::vector<double>& SeriesContext::drift_fit(std::uint64_t m, std::uint64_t r) {
    const auto key = std::make_pair(m, r);
    if (auto it = drift_fits_.find(key); it != drift_fits_.end()) return it->second;
    return drift_fits_.emplace(key, helpers::estimate_friedrich_coefficients(x_, m, r)).first->second;
}

// ------------------------------------------------------- template matches

TemplateMatchSlot::Kept& TemplateMatchSlot::find_or_add(const MatchRequest& request) {
    for (Kept& e : entries_) {
        if (e.request.length != request.length || !(e.request.tol == request.tol)) continue;
        if (request.phi && !e.request.phi) {
            e.request.phi = true;
            e.made = false;
        }
        return e;
    }
    return entries_.emplace_back(Kept{request, false, {}});
}

void TemplateMatchSlot::announce(const MatchRequest& request) { find_or_add(request); }

const MatchCounts& TemplateMatchSlot::get(std::span<const double> x, const MatchRequest& request) {
    Kept& wanted = find_or_add(request);
    if (!wanted.made) {
        std::vector<Kept*> pending;
        std::vector<MatchRequest> requests;
        for (Kept& e : entries_)
            if (!e.made) {
                pending.push_back(&e);
                requests.push_back(e.request);
            }
        std::vector<MatchCounts> counts = count_template_matches(x, requests);
        for (std::size_t i = 0; i < pending.size(); ++i) {
            pending[i]->counts = std::move(counts[i]);
            pending[i]->made = true;
        }
    }
    return wanted.counts;
}

}  // namespace calculators
