// What the calculators of one series share.
//
// A SeriesContext wraps one series and computes derived quantities on first
// use: every plan item of a batch row, and every parameter set of a call,
// reads the same sorted copy, distinct-value table or moments instead of
// recomputing them. Each quantity is exactly what its defining routine
// returns on the series, so a calculator gives the same bits whether it
// finds the quantity here or computes it itself.
//
// One context per compute() call, and one per row of a batch; a row belongs
// to one worker, so nothing here is locked. A family that shares a transform
// (an FFT, an autocorrelation, a density) adds it as one more lazy slot; one
// whose items share a computation that serves all their requests at once
// (the template sweep) has them announced when a row's context is made.
#pragma once

#include <complex>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "calculators/template_matches.h"
#include "helpers/params.h"
#include "helpers/series.h"
#include "numeric/spectral.h"

namespace calculators {

struct Entry;
using helpers::Params;

// The template matches that the items of one series ask for (the approximate
// and sample entropies). Requests announced before the first read are all
// made by the count that read runs (one sweep for a row's usual handful); a
// request that comes later runs a count of its own (with whatever else is
// still waiting). Counts keep their address once made.
class TemplateMatchSlot {
public:
    void announce(const MatchRequest& request);
    // The counts of `request` on x, the series of every earlier call.
    const MatchCounts& get(std::span<const double> x, const MatchRequest& request);

private:
    struct Kept {
        MatchRequest request;
        bool made = false;
        MatchCounts counts;
    };
    Kept& find_or_add(const MatchRequest& request);

    std::list<Kept> entries_;  // addresses kept; empty without an allocation
};

// One item of the batch row a context serves: its calculator and sets.
struct RowItem {
    const Entry* calculator;
    std::span<const Params> params;
};

class SeriesContext {
public:
    // A context made for a batch row has each item announce what it will
    // share (Entry::announce) before the first item runs.
    explicit SeriesContext(std::span<const double> x, std::span<const RowItem> row = {});
    SeriesContext(const SeriesContext&) = delete;
    SeriesContext& operator=(const SeriesContext&) = delete;

    std::span<const double> x() const { return x_; }
    std::size_t size() const { return x_.size(); }

    // The series sorted ascending by the order of stats::sort_total.
    std::span<const double> sorted();
    bool has_sorted() const { return sorted_.has_value(); }
    // stats::quantile(x, q): read from the sorted copy when there is one,
    // when `several` quantiles are to come, or when the series is short enough
    // for a sort to cost less than one selection; else by selection.
    double quantile(double q, bool several = false);
    // The groups of equal values (helpers::distinct_values), from the sorted
    // copy when there is one.
    const helpers::DistinctValues& distinct();
    bool has_distinct() const { return distinct_.has_value(); }
    // stats::sum, stats::mean and stats::var of the series (the mean and
    // the variance made from the one sum, as those routines make them).
    double sum();
    double mean();
    double variance();
    // helpers::energy and helpers::abs_change_sum of the series.
    double energy();
    double abs_change_sum();
    // stats::max and stats::min of the series.
    double max();
    double min();
    // stats::all_finite of the series: no NaN and no infinity.
    bool all_finite();
    // spectral::rfft of the series.
    std::span<const std::complex<double>> rfft();
    // spectral::autocovariance of the series (every lag).
    const spectral::Autocovariance& autocovariance();
    // spectral::welch_psd of the series.
    std::span<const double> welch();
    // helpers::estimate_friedrich_coefficients of the series with degree m
    // and r bins, fitted once per (m, r).
    const std::vector<double>& drift_fit(std::uint64_t m, std::uint64_t r);

    // The template matches of the approximate and sample entropies.
    TemplateMatchSlot& template_matches() { return template_matches_; }

private:
    // The slot's value, made by make() on first use.
    template <class T, class Make>
    const T& lazy(std::optional<T>& slot, Make&& make) {
        if (!slot) slot.emplace(make());
        return *slot;
    }

    std::span<const double> x_;
    std::optional<std::vector<double>> sorted_;
    std::optional<helpers::DistinctValues> distinct_;
    std::optional<double> sum_, mean_, variance_, energy_, abs_change_sum_, max_, min_;
    std::optional<bool> all_finite_;
    std::optional<spectral::Spectrum> rfft_;
    std::optional<spectral::Autocovariance> autocovariance_;
    std::optional<std::vector<double>> welch_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::vector<double>> drift_fits_;
    TemplateMatchSlot template_matches_;
};

}  // namespace calculators
