#include "numeric/spectral.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <new>
#include <optional>

#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace spectral {

namespace {

using numeric::NaN;

}  // namespace

// ---- Scratch --------------------------------------------------------------

namespace {

// A growable fftw_malloc array (FFTW's alignment). Each thread keeps its own;
// one above KEEP elements (the transforms of series up to 2^17 samples
// stay) is freed after the call that needed it.
template <class T>
class Buffer {
public:
    static constexpr std::size_t KEEP = std::size_t{1} << 18;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { fftw_free(p_); }

    T* get(std::size_t n) {
        if (n > cap_) {
            fftw_free(p_);
            p_ = nullptr;
            cap_ = 0;
            p_ = static_cast<T*>(fftw_malloc(std::max<std::size_t>(n, 1) * sizeof(T)));
            if (!p_) throw std::bad_alloc();
            cap_ = n;
        }
        return p_;
    }
    void trim() {
        if (cap_ > KEEP) {
            fftw_free(p_);
            p_ = nullptr;
            cap_ = 0;
        }
    }

private:
    T* p_ = nullptr;
    std::size_t cap_ = 0;
};

struct Scratch {
    Buffer<double> real;
    Buffer<fftw_complex> cplx;
};

// The calling thread's scratch, trimmed when the call is done. No routine
// below holds one while calling another that takes one.
class ScratchUse {
public:
    ScratchUse() : s_(scratch()) {}
    ~ScratchUse() {
        s_.real.trim();
        s_.cplx.trim();
    }
    Scratch* operator->() { return &s_; }

private:
    static Scratch& scratch() {
        thread_local Scratch s;
        return s;
    }
    Scratch& s_;
};

// True when every element equals p[0]: blocks of branch-free compares.
bool all_equal(const double* p, std::size_t n) {
    const double first = p[0];
    constexpr std::size_t BLOCK = 256;
    for (std::size_t i = 0; i < n; i += BLOCK) {
        bool same = true;
        for (std::size_t j = i; j < std::min(n, i + BLOCK); ++j) same &= (p[j] == first);
        if (!same) return false;
    }
    return true;
}

// The mean to remove before a transform: the common value of a constant
// run (so its deviations are exactly 0), else the rounded sum over n. `sum`
// receives stats::sum of the run: `known` when given, else computed here
// with the equality test riding along.
double centre(const double* p, std::size_t n, std::optional<double> known, double& sum) {
    const double first = p[0];
    bool same = true;
    if (known) {
        sum = *known;
        same = all_equal(p, n);
    } else {
        sum = stats::sum_of(n, [&](std::size_t i) {
            same &= (p[i] == first);
            return p[i];
        });
    }
    return same && first == first ? first : sum / static_cast<double>(n);
}

// out <- the n/2 + 1 bins of the transform of src - mean, through buf (n
// reals of scratch; may be src itself), with bin 0 the compensated sum of
// src. A non-finite mean is not removed.
void demeaned_rfft(const Plan& plan, const double* src, std::size_t n, std::optional<double> known, double* buf,
                   fftw_complex* out) {
    double sum;
    double mean = centre(src, n, known, sum);
    if (!std::isfinite(mean)) mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) buf[i] = src[i] - mean;
    execute(plan, buf, out);
    out[0][0] = sum;
    out[0][1] = 0.0;
}

}  // namespace

// ---- One-sided FFT --------------------------------------------------------

Spectrum rfft(Series x, std::optional<double> sum) {
    const std::size_t n = x.size();
    if (n == 0) return {};
    const Plan& plan = PLANNER.get(n);
    ScratchUse s;
    Spectrum result(n / 2 + 1);
    demeaned_rfft(plan, x.data(), n, sum, s->real.get(n), reinterpret_cast<fftw_complex*>(result.data()));
    return result;
}

// ---- Autocovariance and autocorrelations ----------------------------------

Autocovariance autocovariance(Series x, std::optional<double> known) {
    Autocovariance a;
    const std::size_t n = x.size();
    if (n == 0) return a;
    // The circular correlation of the zero-padded series equals the linear
    // one once the padding is at least n.
    const std::size_t m = std::bit_ceil(2 * n);
    const Plan& forward = PLANNER.get(m);
    ScratchUse s;
    double* buf = s->real.get(m);
    fftw_complex* freq = s->cplx.get(m / 2 + 1);
    double sum;
    const double mean = centre(x.data(), n, known, sum);
    for (std::size_t i = 0; i < n; ++i) buf[i] = x[i] - mean;
    std::fill(buf + n, buf + m, 0.0);
    // (A first poll only starts the owner's clock.)
    if (interrupt::poll()) return a;
    execute(forward, buf, freq);
    // Each transform of a long series takes most of a second: a stop request
    // is seen between them (the autocovariance is then discarded).
    if (interrupt::poll()) return a;
    // The power spectrum is real and even (P_k = P_{M-k}): its forward
    // transform is M times the circular autocorrelation, with a real input
    // transform of the same length.
    for (std::size_t k = 0; k <= m / 2; ++k) {
        const double re = freq[k][0], im = freq[k][1];
        buf[k] = re * re + im * im;
    }
    for (std::size_t k = m / 2 + 1; k < m; ++k) buf[k] = buf[m - k];
    execute(forward, buf, freq);
    a.lagged_.resize(n);
    for (std::size_t k = 0; k < n; ++k) a.lagged_[k] = freq[k][0];
    a.inv_m_ = 1.0 / static_cast<double>(m);
    return a;
}

std::vector<double> Autocovariance::prefix(std::uint64_t nlags) const {
    if (lagged_.empty()) return {};
    std::vector<double> acov(std::min<std::uint64_t>(nlags, lagged_.size() - 1) + 1);
    for (std::size_t k = 0; k < acov.size(); ++k) acov[k] = at(k);
    return acov;
}

std::vector<double> acovf_adjusted(Series x, std::uint64_t nlags, std::optional<double> sum) {
    return autocovariance(x, sum).prefix(nlags);
}

std::vector<double> acf_from_acovf(std::span<const double> acov, std::uint64_t nlags) {
    if (acov.empty()) return {};
    const std::size_t lags = std::min<std::uint64_t>(nlags, acov.size() - 1) + 1;
    const double r0 = acov[0];
    std::vector<double> r(lags, NaN);
    if (std::isfinite(r0) && r0 != 0.0)
        for (std::size_t k = 0; k < lags; ++k) r[k] = acov[k] / r0;
    return r;
}

std::vector<double> acf_adjusted(Series x, std::uint64_t nlags) {
    return acf_from_acovf(acovf_adjusted(x, nlags), nlags);
}

std::vector<double> pacf_from_acovf(std::span<const double> r, std::uint64_t nlags) {
    const std::size_t lags = r.empty() ? 0 : std::min<std::uint64_t>(nlags, r.size() - 1);
    std::vector<double> out(lags + 1, NaN);
    out[0] = 1.0;
    if (lags == 0 || !std::isfinite(r[0]) || r[0] == 0.0) return out;
    std::vector<double> phi(lags + 1, 0.0), prev(lags + 1, 0.0);
    double v = r[0];
    // O(lags^2): 10^5 lags take seconds, so poll by the order's work.
    interrupt::Stride stride(std::uint64_t{1} << 20);
    for (std::size_t k = 1; k <= lags; ++k) {
        if (!std::isfinite(r[k]) || v == 0.0 || stride(3 * k)) break;
        double num = r[k];
        for (std::size_t j = 1; j < k; ++j) num = num - prev[j] * r[k - j];
        const double phi_kk = num / v;
        phi[k] = phi_kk;
        for (std::size_t j = 1; j < k; ++j) phi[j] = prev[j] - prev[k - j] * phi_kk;
        out[k] = phi_kk;
        std::copy(phi.begin(), phi.begin() + static_cast<std::ptrdiff_t>(k) + 1, prev.begin());
        v = v * (1.0 - phi_kk * phi_kk);
    }
    return out;
}

std::vector<double> pacf_ld(Series x, std::uint64_t nlags) {
    return pacf_from_acovf(acovf_adjusted(x, nlags), nlags);
}

// ---- Welch ------------------------------------------------------------------

namespace {

constexpr std::size_t MAX_SEGMENT = 256;

struct Window {
    std::vector<double> w;
    double scale;
};

// The periodic Hann window of each segment length, and 1 / sum(w^2), made
// once per length for the process.
const Window& hann(std::size_t nperseg) {
    static std::array<std::once_flag, MAX_SEGMENT + 1> once;
    static std::array<Window, MAX_SEGMENT + 1> windows;
    std::call_once(once[nperseg], [nperseg] {
        Window& win = windows[nperseg];
        win.w.resize(nperseg);
        if (nperseg == 1) {
            win.w[0] = 1.0;
        } else {
            const double len = static_cast<double>(nperseg);
            for (std::size_t i = 0; i < nperseg; ++i)
                win.w[i] = 0.5 - std::cos((static_cast<double>(i) * numeric::TWO_PI) / len) * 0.5;
        }
        double squares = -0.0;
        for (double v : win.w) squares += v * v;
        win.scale = 1.0 / squares;
    });
    return windows[nperseg];
}

}  // namespace

std::vector<double> welch_psd(Series x) {
    const std::size_t n = x.size();
    if (n == 0) return {};
    const std::size_t nperseg = std::min(n, MAX_SEGMENT);
    const std::size_t noverlap = nperseg / 2, step = nperseg - noverlap, nfreq = noverlap + 1;
    const std::size_t nseg = (n - noverlap) / step;
    const Window& win = hann(nperseg);
    const Plan& plan = PLANNER.get(nperseg);
    ScratchUse s;
    double* seg = s->real.get(nperseg);
    fftw_complex* bins = s->cplx.get(nfreq);
    std::vector<double> psd(nfreq, 0.0);
    for (std::size_t g = 0; g < nseg; ++g) {
        const double* src = x.data() + g * step;
        double sum;
        const double mu = centre(src, nperseg, std::nullopt, sum);
        for (std::size_t i = 0; i < nperseg; ++i) seg[i] = (src[i] - mu) * win.w[i];
        demeaned_rfft(plan, seg, nperseg, std::nullopt, seg, bins);
        for (std::size_t k = 0; k < nfreq; ++k) {
            const double re = bins[k][0], im = bins[k][1];
            psd[k] = (re * re + im * im) * win.scale + psd[k];
        }
    }
    const double segments = static_cast<double>(nseg);
    for (double& p : psd) p = p / segments;
    // One-sided: the negative frequencies fold onto the positive ones, all
    // but bin 0 and the Nyquist bin of an even segment.
    const std::size_t last = nperseg % 2 == 0 ? nfreq - 1 : nfreq;
    for (std::size_t k = 1; k < last; ++k) psd[k] = psd[k] + psd[k];
    return psd;
}

}  // namespace spectral
