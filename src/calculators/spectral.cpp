// The spectrum of a series: single bins of its one-sided FFT, the shape of
// its magnitude spectrum, and single bins of its Welch density. Each reads
// the series' one transform (or density), shared by every set of the call
// and every plan item of a batch row.
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/spectral.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;
constexpr double DEGREES_PER_RADIAN = 57.29577951308232;

// By X_k = sum_j x_j w^(jk), one NaN sample (or an infinity times a zero
// weight) makes every bin NaN. The transform's kernels skip some products by
// exact zeros and ones, so which of its bins a NaN reaches depends on the
// kernel and the CPU target: such a series reads as all NaN instead.
bool undefined_spectrum(SeriesContext& c) { return !c.all_finite(); }

// ---- fft_coefficient ----------------------------------------------------------

// "coeff" (bin, default 0), "attr" ("real", "imag", "abs", "angle" in
// degrees; anything else NaN). A bin past n/2 (every bin of the empty
// series) is NaN, and so is every value of a series holding a NaN or an
// infinity (see undefined_spectrum).
Values fft_coefficient(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    if (undefined_spectrum(c)) return Values(params.size(), NaN);
    const std::span<const std::complex<double>> f = c.rfft();
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::uint64_t b = helpers::count_param(params[i], "coeff");
        const std::string_view attr = helpers::text_param(params[i], "attr");
        double v = NaN;
        if (b < f.size()) {
            const double re = f[b].real(), im = f[b].imag();
            if (attr == "real")
                v = re;
            else if (attr == "imag")
                v = im;
            else if (attr == "abs")
                v = std::hypot(re, im);
            else if (attr == "angle")
                v = std::atan2(im, re) * DEGREES_PER_RADIAN;
        }
        out[i] = v;
    }
    return out;
}

// ---- fft_aggregated -----------------------------------------------------------

// Moments of the bin index weighted by the magnitude spectrum A:
// m_k = sum_i i^k A_i / sum(A) (plain sums from -0.0, i^k by repeated
// multiplication), the four summed side by side in one pass, each in index
// order. All NaN when sum(A) is 0 (empty or all-zero series).
class SpectralMoments {
public:
    explicit SpectralMoments(std::span<const std::complex<double>> f) {
        std::vector<double> a(f.size());
        for (std::size_t i = 0; i < f.size(); ++i) a[i] = std::hypot(f[i].real(), f[i].imag());
        const double total = stats::sum(a);
        double s[4] = {-0.0, -0.0, -0.0, -0.0};
        for (std::size_t i = 0; i < a.size(); ++i) {
            const double x = static_cast<double>(i), x2 = x * x, x3 = x2 * x, x4 = x3 * x;
            s[0] += x * a[i];
            s[1] += x2 * a[i];
            s[2] += x3 * a[i];
            s[3] += x4 * a[i];
        }
        for (int k = 0; k < 4; ++k) m_[k] = total == 0.0 ? NaN : s[k] / total;
        variance_ = m_[1] - m_[0] * m_[0];
    }

    double centroid() const { return m_[0]; }
    double variance() const { return variance_; }
    double skew() const {
        if (variance_ < 0.5) return NaN;
        const double m1 = m_[0], v = variance_;
        return ((m_[2] - (3.0 * m1) * v) - (m1 * m1) * m1) / std::pow(v, 1.5);
    }
    double kurtosis() const {
        if (variance_ < 0.5) return NaN;
        const double m1 = m_[0];
        const double m1_4 = ((m1 * m1) * m1) * m1;
        return (((m_[3] - (4.0 * m1) * m_[2]) + (6.0 * (m1 * m1)) * m_[1]) - 3.0 * m1_4) / (variance_ * variance_);
    }

private:
    double m_[4];  // m1 .. m4
    double variance_;
};

// "aggtype": "centroid", "variance", "skew", "kurtosis" (the last two NaN
// for a variance below 0.5); anything else NaN. All NaN for a series holding
// a NaN or an infinity (see undefined_spectrum).
Values fft_aggregated(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    if (undefined_spectrum(c)) return Values(params.size(), NaN);
    const SpectralMoments moments(c.rfft());
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string_view type = helpers::text_param(params[i], "aggtype");
        double v = NaN;
        if (type == "centroid")
            v = moments.centroid();
        else if (type == "variance")
            v = moments.variance();
        else if (type == "skew")
            v = moments.skew();
        else if (type == "kurtosis")
            v = moments.kurtosis();
        out[i] = v;
    }
    return out;
}

// ---- spkt_welch_density -------------------------------------------------------

// "coeff" (bin, default 0): the Welch density at frequency coeff / nperseg;
// NaN past the last bin (every bin of the empty series).
Values spkt_welch_density(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    const std::span<const double> psd = c.welch();
    Values out(params.size());
    for (std::size_t i = 0; i < params.size(); ++i)
        out[i] = spectral::at_or_nan(psd, helpers::count_param(params[i], "coeff"));
    return out;
}

constexpr Entry TABLE[] = {
    {"fft_coefficient", fft_coefficient},
    {"fft_aggregated", fft_aggregated},
    {"spkt_welch_density", spkt_welch_density},
};

}  // namespace

constinit const std::span<const Entry> SPECTRAL_ENTRIES{TABLE};

}  // namespace calculators
