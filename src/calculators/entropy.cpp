// Entropies and complexity: histogram, approximate, sample and permutation
// entropies and the Lempel-Ziv phrase count.
//
// No allocation here is sized by a bin count or another parameter beyond what
// the series itself needs: bin edges are computed on demand, only occupied
// bins are counted, and the phrase trie keys its children by (node, symbol).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "calculators/entropy.h"
#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

bool all_finite(Series x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

bool any_nan(Series x) {
    return std::any_of(x.begin(), x.end(), [](double v) { return std::isnan(v); });
}

}  // namespace

// ------------------------------------------------------------------ edges

BinEdges::BinEdges(double lo, double hi, std::uint64_t bins) : lo_(lo), hi_(hi), bins_(bins) {
    const double b = static_cast<double>(bins);
    // A range wider than the largest double is taken at half scale: halving
    // is exact for such magnitudes, so the edges and positions are those of
    // exact arithmetic (an edge past the largest double reads +inf, which
    // compares with every sample as the exact edge would).
    if (!std::isfinite(hi - lo)) scale_ = 0.5;
    slo_ = lo * scale_;
    span_ = hi * scale_ - slo_;
    step_ = span_ / b;
}

double BinEdges::edge(std::uint64_t i) const {
    if (i >= bins_) return hi_;
    const double e = static_cast<double>(i) * step_ + slo_;
    return scale_ == 1.0 ? e : e * 2.0;
}

double BinEdges::position(double v) const {
    return ((v * scale_ - slo_) / span_) * static_cast<double>(bins_);
}

// ------------------------------------------------------ histogram entropy

double binned_entropy(Series x, std::uint64_t bins) {
    // NaN or an infinity leaves no histogram to speak of.
    if (x.empty() || !all_finite(x)) return NaN;
    if (bins == 0) return -0.0;
    return binned_entropy_finite(x, bins, stats::min(x), stats::max(x));
}

double binned_entropy_finite(Series x, std::uint64_t bins, double lo, double hi) {
    if (lo == hi) {
        hi = hi + 0.5;
        lo = lo - 0.5;
    }
    const BinEdges edges(lo, hi, bins);
    const std::uint64_t last = bins - 1;
    // Bin of each sample: the scaled position truncated, then moved by one
    // where rounding put it on the wrong side of an edge.
    std::vector<std::uint64_t> index(x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double v = x[k];
        const std::int64_t t = helpers::saturating_int(edges.position(v));
        std::uint64_t i = t < 0 ? 0 : std::min(static_cast<std::uint64_t>(t), last);
        if (i > 0 && edges.edge(i) > v) --i;
        if (i + 1 < bins && v >= edges.edge(i + 1)) ++i;
        index[k] = i;
    }
    // Occupied bins in ascending order. A bin count no larger than the
    // series gets a dense table; a larger one sorts the bin numbers.
    std::vector<std::uint64_t> counts;
    if (bins <= x.size()) {
        std::vector<std::uint64_t> dense(bins, 0);
        for (std::uint64_t i : index) ++dense[i];
        for (std::uint64_t c : dense)
            if (c != 0) counts.push_back(c);
    } else {
        std::sort(index.begin(), index.end());
        for (std::size_t k = 0; k < index.size();) {
            std::size_t e = k;
            while (e < index.size() && index[e] == index[k]) ++e;
            counts.push_back(e - k);
            k = e;
        }
    }
    // Empty bins would each add +0.0: starting from +0.0 instead of -0.0
    // and skipping them gives the same bits.
    const double n = static_cast<double>(x.size());
    double h = 0.0;
    for (std::uint64_t c : counts) {
        const double p = static_cast<double>(c) / n;
        h += std::log(p) * p;
    }
    return -h;
}

namespace {

// binned_entropy: "max_bins" (integer, negative as 0; default 0).
// Empty or non-finite series: NaN. max_bins 0: -0.0. A constant series falls
// in one bin of [x0 - 0.5, x0 + 0.5]: -0.0.
Values binned_entropy_sets(Series x, ParamSets params) {
    Values out(params.size());
    if (params.empty()) return out;
    const bool undefined = x.empty() || !all_finite(x);
    const double lo = undefined ? NaN : stats::min(x), hi = undefined ? NaN : stats::max(x);
    std::map<std::uint64_t, double> done;
    for (std::size_t s = 0; s < params.size(); ++s) {
        const std::uint64_t bins = helpers::count_param(params[s], "max_bins");
        if (undefined) {
            out[s] = NaN;
        } else if (bins == 0) {
            out[s] = -0.0;
        } else {
            auto [it, fresh] = done.try_emplace(bins, 0.0);
            if (fresh) it->second = binned_entropy_finite(x, bins, lo, hi);
            out[s] = it->second;
        }
    }
    return out;
}

constexpr Entry TABLE[] = {
    {"binned_entropy", binned_entropy_sets},
};

}  // namespace

constinit const std::span<const Entry> ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
