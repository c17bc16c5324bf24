// How the calculator families present themselves to the dispatch.
//
// Each family file defines a table of (name, function) entries; the dispatch
// looks a name up across the families' tables. A calculator that no table
// lists answers nothing.
#pragma once

#include <span>
#include <string_view>

#include "calculators/calculators.h"

namespace calculators {

// A calculator reads the series alone, or the series' shared context (its
// sorted copy, moments, transforms) when it uses one.
using OnSeries = Values (*)(Series x, ParamSets params);
using OnContext = Values (*)(SeriesContext& context, ParamSets params);
// Tells a row's context what the calculator will read of a computation that
// its items share, before the first item runs (a calculator that reads one
// announces its own sets the same way when it runs).
using Announce = void (*)(SeriesContext& context, ParamSets params);

struct Entry {
    constexpr Entry(std::string_view n, OnSeries f) : name(n), on_series(f) {}
    constexpr Entry(std::string_view n, OnContext f, Announce a = nullptr) : name(n), on_context(f), announce(a) {}

    std::string_view name;
    OnSeries on_series = nullptr;
    OnContext on_context = nullptr;
    Announce announce = nullptr;

    Values run(SeriesContext& context, ParamSets params) const {
        return on_context ? on_context(context, params) : on_series(context.x(), params);
    }
};

// A scalar calculator ignores the parameter sets: exactly one value.
template <double (*F)(Series)>
Values scalar(Series x, ParamSets) {
    return one(F(x));
}

// The same for a scalar calculator that reads the series' shared context.
template <double (*F)(SeriesContext&)>
Values shared_scalar(SeriesContext& context, ParamSets) {
    return one(F(context));
}

// One table per family, in the family's own file.
extern const std::span<const Entry> SIMPLE_ENTRIES;        // simple.cpp: statistics and locations
extern const std::span<const Entry> AGG_ENTRIES;           // aggregations.cpp: __supports_f_agg
extern const std::span<const Entry> COUNT_ENTRIES;         // counts.cpp: counts, reoccurrence, duplicates
extern const std::span<const Entry> PEAK_ENTRIES;          // peaks.cpp: peaks, strikes, crossings, spread
extern const std::span<const Entry> QUANTILE_ENTRIES;      // quantiles.cpp: quantiles, corridors, mass
extern const std::span<const Entry> OTHER_ENTRIES;         // other.cpp: the remaining calculators
extern const std::span<const Entry> AUTOCORRELATION_ENTRIES;  // autocorrelation.cpp
extern const std::span<const Entry> ENTROPY_ENTRIES;          // entropy.cpp: histogram and template entropies
extern const std::span<const Entry> PERMUTATION_ENTROPY_ENTRIES;  // permutation_entropy.cpp
extern const std::span<const Entry> LEMPEL_ZIV_ENTRIES;       // lempel_ziv.cpp: the phrase count
extern const std::span<const Entry> TREND_ENTRIES;            // trend.cpp: trends, regressions, unit root, drift
extern const std::span<const Entry> SPECTRAL_ENTRIES;         // spectral.cpp: FFT coefficients and densities
extern const std::span<const Entry> WAVELET_ENTRIES;          // wavelet.cpp: CWT coefficients and peaks

// The tables of the families present in this build, in lookup order.
std::span<const std::span<const Entry>* const> families();

}  // namespace calculators
