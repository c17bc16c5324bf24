// The spectrum of a series: single bins of its one-sided FFT, the shape of
// its magnitude spectrum, and single bins of its Welch density. Each reads
// the series' one transform (or density), shared by every set of the call
// and every plan item of a batch row.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/spectral.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double DEGREES_PER_RADIAN = 57.29577951308232;

// ---- fft_coefficient ----------------------------------------------------------

// "coeff" (bin, default 0), "attr" ("real", "imag", "abs", "angle" in
// degrees; anything else NaN). A bin past n/2 (every bin of the empty
// series) is NaN.
Values fft_coefficient(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
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
// multiplication). All NaN when sum(A) is 0 (empty or all-zero series).
class SpectralMoments {
public:
    explicit SpectralMoments(std::span<const std::complex<double>> f) : a_(f.size()) {
        for (std::size_t i = 0; i < f.size(); ++i) a_[i] = std::hypot(f[i].real(), f[i].imag());
        total_ = stats::sum(a_);
        m1_ = moment(1);
        variance_ = moment(2) - m1_ * m1_;
    }

    double centroid() const { return m1_; }
    double variance() const { return variance_; }
    double skew() {
        if (variance_ < 0.5) return NaN;
        const double m1 = m1_, v = variance_;
        return ((moment(3) - (3.0 * m1) * v) - (m1 * m1) * m1) / std::pow(v, 1.5);
    }
    double kurtosis() {
        if (variance_ < 0.5) return NaN;
        const double m1 = m1_;
        const double m1_4 = ((m1 * m1) * m1) * m1;
        return (((moment(4) - (4.0 * m1) * moment(3)) + (6.0 * (m1 * m1)) * moment(2)) - 3.0 * m1_4) /
               (variance_ * variance_);
    }

private:
    // Each moment is summed once per call.
    double moment(int k) {
        std::optional<double>& slot = moments_[k - 1];
        if (!slot) {
            double s = -0.0;
            for (std::size_t i = 0; i < a_.size(); ++i) {
                const double x = static_cast<double>(i);
                double p = x;
                for (int j = 1; j < k; ++j) p *= x;
                s += p * a_[i];
            }
            slot = total_ == 0.0 ? NaN : s / total_;
        }
        return *slot;
    }

    std::vector<double> a_;
    double total_, m1_, variance_;
    std::optional<double> moments_[4];
};

// "aggtype": "centroid", "variance", "skew", "kurtosis" (the last two NaN
// for a variance below 0.5); anything else NaN.
Values fft_aggregated(SeriesContext& c, ParamSets params) {
    if (params.empty()) return {};
    SpectralMoments moments(c.rfft());
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
