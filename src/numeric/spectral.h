// Spectra: the process-wide FFT planner, the one-sided FFT of a real series,
// the adjusted autocovariance and autocorrelation, the Levinson-Durbin
// partial autocorrelation and Welch's power spectral density.
//
// Transforms run on FFTW. Its planner is not thread-safe but its plans are:
// plans are made under PLANNER's lock and executed outside it, with FFTW's
// new-array functions on fftw_malloc buffers (the alignment every plan is
// made for). Plans are made with FFTW_ESTIMATE only, which chooses by
// operation counts, never by timing: a length always gets the same plan, so
// a result never depends on which thread, call or batch made the plan, nor
// on whether the plan was dropped from the bounded cache and made again.
//
// Values derived from a transform carry the transform's rounding (a few ulps
// of the largest bin); everything else is the stated arithmetic.
#pragma once

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "numeric/constants.h"

namespace spectral {

using Series = std::span<const double>;
using Complex = std::complex<double>;

// Storage with FFTW's SIMD alignment (fftw_malloc), so transforms write
// straight into a result.
void* aligned_alloc_bytes(std::size_t bytes);
void aligned_free(void* p) noexcept;
template <class T>
struct AlignedAllocator {
    using value_type = T;
    AlignedAllocator() = default;
    template <class U>
    AlignedAllocator(const AlignedAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(aligned_alloc_bytes(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { aligned_free(p); }
    template <class U>
    bool operator==(const AlignedAllocator<U>&) const { return true; }
};
using Spectrum = std::vector<Complex, AlignedAllocator<Complex>>;

// One FFTW plan; destroyed (under the planner's lock) when the cache and
// every caller have let go of it.
class Plan;
using PlanRef = std::shared_ptr<const Plan>;

// The cache of plans, least recently used dropped first once it holds more
// than MAX_PLANS plans or more than MAX_POINTS summed transform lengths (the
// plan just asked for always stays). Each thread also keeps its LOCAL most
// recent plans, found without the lock. Never destroyed.
class Planner {
public:
    static constexpr std::size_t MAX_PLANS = 256;
    static constexpr std::size_t MAX_POINTS = std::size_t{1} << 23;
    static constexpr std::size_t LOCAL = 4;

    // The plan of the real-to-complex forward transform of length n >= 1
    // (n reals to n/2 + 1 bins, unnormalised), made on first request. Valid
    // until the calling thread asks for LOCAL other lengths.
    const Plan& get(std::size_t n);
    // Drops every cached plan, the threads' own included (a plan in use
    // lives until released).
    void clear();
    std::size_t cached() const;

    // The planner's lock: every FFTW call but the new-array executes.
    std::mutex& mutex() const { return mutex_; }

private:
    using Lru = std::list<std::pair<std::size_t, PlanRef>>;  // (length, plan)

    PlanRef shared(std::size_t n);  // the cache behind the lock

    mutable std::mutex mutex_;
    Lru lru_;  // most recently used first
    std::unordered_map<std::size_t, Lru::iterator> index_;
    std::size_t points_ = 0;
    std::size_t evicted_ = 0;  // since FFTW last forgot its wisdom
    std::atomic<std::uint64_t> generation_{0};  // bumped by clear(): threads drop their own plans
};

extern Planner& PLANNER;

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
