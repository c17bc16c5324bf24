// Spectra: the one-sided FFT of a real series, the adjusted autocovariance
// and autocorrelation, the Levinson-Durbin partial autocorrelation and
// Welch's power spectral density, on the plans of numeric/fft_plans.h.
//
// Values derived from a transform carry the transform's rounding (a few ulps
// of the largest bin); everything else is the stated arithmetic.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "numeric/constants.h"
#include "numeric/fft_plans.h"

namespace spectral {

using Series = std::span<const double>;

using Spectrum = std::vector<Complex, AlignedAllocator<Complex>>;

// One-sided FFT of the series: n/2 + 1 bins of the transform of x - mean
// (no zeros appended), bin 0 replaced by (stats::sum(x), 0). The mean is
// stats::sum(x) / n, or x_0 when every sample equals x_0 (so a constant
// series has exactly zero bins past 0), and 0.0 when not finite. Empty for
// an empty series. A caller that has stats::sum(x) passes it as `sum`.
Spectrum rfft(Series x, std::optional<double> sum = std::nullopt);

// Adjusted autocovariance acov_k = sum_i d_i d_{i+k} / (n - k), d = x - mean
// (mean as in rfft, without the finiteness test), at every lag k < n from
// one transform of d zero-padded to the power of two M >= 2n and one
// transform of its (real, even) power spectrum. A lag's value is the same
// whichever lags are read.
class Autocovariance {
public:
    std::size_t size() const { return lagged_.size(); }  // n: lags 0 .. n - 1
    double at(std::size_t k) const { return (lagged_[k] * inv_m_) / static_cast<double>(lagged_.size() - k); }
    // Lags 0 .. min(nlags, n - 1); empty for an empty series.
    std::vector<double> prefix(std::uint64_t nlags) const;

private:
    friend Autocovariance autocovariance(Series x, std::optional<double> sum);
    std::vector<double> lagged_;  // M sum_i d_i d_{i+k}, as transformed
    double inv_m_ = 0.0;          // 1 / M
};
// A caller that has stats::sum(x) passes it as `sum`.
Autocovariance autocovariance(Series x, std::optional<double> sum = std::nullopt);
std::vector<double> acovf_adjusted(Series x, std::uint64_t nlags, std::optional<double> sum = std::nullopt);

// acov_k / acov_0 for the lags of `acov` up to nlags; all NaN (same length)
// unless acov_0 is finite and nonzero. Empty for an empty acov.
std::vector<double> acf_from_acovf(std::span<const double> acov, std::uint64_t nlags);
std::vector<double> acf_adjusted(Series x, std::uint64_t nlags);

// Partial autocorrelation at lags 0 .. min(nlags, acov.size() - 1) by the
// Levinson-Durbin recursion on the autocovariance: [1.0, phi_11, phi_22, ...];
// entries after the recursion stops (a non-finite autocovariance, a zero
// prediction error) are NaN, and so is every entry past 0 when acov_0 is
// zero or not finite. [1.0] for nlags 0 or an empty acov.
std::vector<double> pacf_from_acovf(std::span<const double> acov, std::uint64_t nlags);
std::vector<double> pacf_ld(Series x, std::uint64_t nlags);

// Welch's density: periodic Hann window, segments of nperseg = min(n, 256)
// samples overlapping by nperseg / 2 (a partial last segment is dropped),
// each segment's mean removed (the segment's value when constant), density
// scaling for a sampling frequency of 1, the mean over segments, one-sided
// (every bin doubled but 0 and, for an even nperseg, the last). nperseg/2 + 1
// values; empty for an empty series.
std::vector<double> welch_psd(Series x);

// A value at lag/bin k of a list, NaN past its end (lists are never padded
// to a parameter's size).
inline double at_or_nan(std::span<const double> v, std::uint64_t k) {
    return k < v.size() ? v[k] : numeric::NaN;
}

}  // namespace spectral
