// Entropies: histogram, approximate and sample entropies and the entropy of
// the Welch density.
//
// No allocation here is sized by a bin count or another parameter beyond what
// the series itself needs: bin edges are computed on demand and only occupied
// bins are counted.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "calculators/entropy.h"
#include "calculators/registry.h"
#include "calculators/template_matches.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

bool any_nan(Series x) {
    return std::any_of(x.begin(), x.end(), [](double v) { return std::isnan(v); });
}

}  // namespace

// ------------------------------------------------------------------ edges

BinEdges::BinEdges(double lo, double hi, std::uint64_t bins) : hi_(hi), bins_(bins) {
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

// ------------------------------------------------------ histogram entropy

double binned_entropy(Series x, std::uint64_t bins) {
    // NaN or an infinity leaves no histogram to speak of.
    if (x.empty() || !stats::all_finite(x)) return NaN;
    if (bins == 0) return -0.0;
    return binned_entropy_finite(x, bins, stats::min(x), stats::max(x));
}

double binned_entropy_finite(Series x, std::uint64_t bins, double lo, double hi) {
    if (lo == hi) {
        hi = hi + 0.5;
        lo = lo - 0.5;
    }
    const BinEdges edges(lo, hi, bins);
    // Bin of a sample: where its position points, moved by one where
    // rounding put it on the wrong side of an edge.
    auto bin = [&](double v) {
        std::uint64_t i = edges.guess(v);
        if (i > 0 && edges.edge(i) > v) --i;
        if (i + 1 < bins && v >= edges.edge(i + 1)) ++i;
        return i;
    };
    // Occupied bins in ascending order. A bin count no larger than the
    // series gets a dense table; a larger one sorts the bin numbers.
    std::vector<std::uint64_t> counts;
    if (bins <= x.size()) {
        std::vector<std::uint64_t> dense(bins, 0);
        for (double v : x) ++dense[bin(v)];
        for (std::uint64_t c : dense)
            if (c != 0) counts.push_back(c);
    } else {
        // Each step over 10^7 samples takes a few tenths of a second, a set
        // more than a second: a stop request is seen between them (the
        // value is then discarded).
        if (interrupt::poll()) return NaN;
        std::vector<std::uint64_t> index(x.size());
        std::transform(x.begin(), x.end(), index.begin(), bin);
        if (interrupt::poll()) return NaN;
        counts = run_lengths(index);
        if (interrupt::poll()) return NaN;
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

std::vector<std::uint64_t> run_lengths(std::vector<std::uint64_t>& v) {
    // The vector sort of signed keys, the sign bit flipped to keep the
    // unsigned order: a few times faster than std::sort, and a sort cannot
    // be stopped halfway (10^7 values take a second with std::sort).
    // (The signed view of unsigned storage is an allowed alias.)
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    for (std::uint64_t& u : v) u ^= SIGN;
    stats::sort_keys({reinterpret_cast<std::int64_t*>(v.data()), v.size()});
    for (std::uint64_t& u : v) u ^= SIGN;
    std::vector<std::uint64_t> counts;
    for (std::size_t k = 0; k < v.size();) {
        std::size_t e = k + 1;
        while (e < v.size() && v[e] == v[k]) ++e;
        counts.push_back(e - k);
        k = e;
    }
    return counts;
}

namespace {

// binned_entropy: "max_bins" (integer, negative as 0; default 0).
// Empty or non-finite series: NaN. max_bins 0: -0.0. A constant series falls
// in one bin of [x0 - 0.5, x0 + 0.5]: -0.0.
Values binned_entropy_sets(Series x, ParamSets params) {
    Values out(params.size());
    if (params.empty()) return out;
    const bool undefined = x.empty() || !stats::all_finite(x);
    const double lo = undefined ? NaN : stats::min(x), hi = undefined ? NaN : stats::max(x);
    Memo<std::uint64_t> memo;
    for (std::size_t s = 0; s < params.size() && !interrupt::poll(); ++s) {
        const std::uint64_t bins = helpers::count_param(params[s], "max_bins");
        if (undefined) {
            out[s] = NaN;
        } else if (bins == 0) {
            out[s] = -0.0;
        } else {
            out[s] = memo(bins, [&] { return binned_entropy_finite(x, bins, lo, hi); });
        }
    }
    return out;
}

// ------------------------------------------------- approximate entropy

// A set of approximate_entropy: its value when nothing is to be counted
// (fixed), else the tolerance and m whose template matches give it.
struct ApproximateSet {
    double fixed = NaN;
    double tol = NaN;
    std::uint64_t m = 0;
    bool swept() const { return !std::isnan(tol); }
};

ApproximateSet approximate_set(SeriesContext& context, const Params& params) {
    const std::size_t n = context.size();
    const std::uint64_t m = helpers::count_param(params, "m");
    // n <= m + 1 without forming m + 1.
    if (n == 0 || m >= n - 1) return {0.0, NaN, m};
    const double tol = helpers::real_param(params, "r") * std::sqrt(context.variance());
    if (std::isnan(tol) || tol < 0.0) return {};
    return {NaN, tol, m};
}

// The phi of the template matches of lengths m (none for m = 0, every empty
// template matching: phi(0) = 0) and m + 1.
void announce_set(TemplateMatchSlot& slot, const ApproximateSet& set) {
    if (set.m > 0) slot.announce({set.tol, set.m, true});
    slot.announce({set.tol, set.m + 1, true});
}

// The sets of one approximate_entropy item, the template matches of each
// announced.
std::vector<ApproximateSet> approximate_sets(SeriesContext& context, ParamSets params) {
    std::vector<ApproximateSet> sets;
    for (const Params& p : params) {
        sets.push_back(approximate_set(context, p));
        if (sets.back().swept()) announce_set(context.template_matches(), sets.back());
    }
    return sets;
}

void announce_approximate(SeriesContext& context, ParamSets params) {
    if (!params.empty() && !any_nan(context.x())) approximate_sets(context, params);
}

// approximate_entropy: "m" (integer, negative as 0; default 0), "r" (real;
// default NaN). A NaN sample: NaN. n <= m + 1 (the empty series included):
// 0.0. A negative or NaN tolerance r * std (an infinite sample, a variance
// that overflows, a missing r): NaN. A constant series: 0.0.
Values approximate_entropy(SeriesContext& context, ParamSets params) {
    const Series x = context.x();
    Values out(params.size(), NaN);
    if (params.empty() || any_nan(x)) return out;
    const std::vector<ApproximateSet> sets = approximate_sets(context, params);
    TemplateMatchSlot& slot = context.template_matches();
    auto phi_of = [&](double tol, std::uint64_t k) { return k == 0 ? 0.0 : slot.get(x, {tol, k, true}).phi; };
    for (std::size_t i = 0; i < params.size(); ++i) {
        const ApproximateSet& set = sets[i];
        out[i] = set.swept() ? std::fabs(phi_of(set.tol, set.m) - phi_of(set.tol, set.m + 1)) : set.fixed;
    }
    return out;
}

// ------------------------------------------------------ sample entropy

// sample_entropy's tolerance, 0.2 times the population deviation; NaN when
// the entropy is NaN whatever the matches: fewer than 4 samples, or any
// non-finite sample or an overflowing variance.
double sample_tolerance(SeriesContext& context) {
    const Series x = context.x();
    if (x.size() < 4 || any_nan(x)) return NaN;
    return std::sqrt(context.variance()) * 0.2;
}

// sample_entropy's pair counts: lengths 2 and 3 within tol.
constexpr MatchRequest sample_pairs(double tol, std::uint64_t length) { return {tol, length, false}; }

void announce_pairs(TemplateMatchSlot& slot, double tol) {
    slot.announce(sample_pairs(tol, 2));
    slot.announce(sample_pairs(tol, 3));
}

void announce_sample(SeriesContext& context, ParamSets) {
    const double tol = sample_tolerance(context);
    if (!std::isnan(tol)) announce_pairs(context.template_matches(), tol);
}

// sample_entropy (no parameters): -ln(A / B), B and A the ordered pairs of
// distinct matching templates of lengths 2 and 3 (templates of length 2 at
// 0 .. n - 2, of length 3 at 0 .. n - 3) within sample_tolerance (NaN: NaN).
// No length-2 match: NaN (0/0); no length-3 match: +inf.
double sample_entropy_of(SeriesContext& context) {
    const double tol = sample_tolerance(context);
    if (std::isnan(tol)) return NaN;
    TemplateMatchSlot& slot = context.template_matches();
    announce_pairs(slot, tol);
    // Exact integers (below 2^53 for any series that fits in memory).
    const double b = 2.0 * static_cast<double>(slot.get(context.x(), sample_pairs(tol, 2)).pairs);
    const double a = 2.0 * static_cast<double>(slot.get(context.x(), sample_pairs(tol, 3)).pairs);
    return -std::log(a / b);
}

Values sample_entropy(SeriesContext& context, ParamSets) { return one(sample_entropy_of(context)); }

// ------------------------------------------------------ fourier entropy

// fourier_entropy: "bins" (integer, negative as 0; default 0). The binned
// entropy of the Welch density scaled by its largest bin. Empty series, or
// a density without a finite nonzero maximum (a constant series, a NaN
// sample): NaN. bins 0: -0.0.
Values fourier_entropy(SeriesContext& context, ParamSets params) {
    Values out(params.size(), NaN);
    if (params.empty()) return out;
    const std::span<const double> psd = context.welch();
    const double top = psd.empty() ? NaN : stats::max(psd);
    if (!std::isfinite(top) || top == 0.0) return out;
    std::vector<double> scaled(psd.size());
    for (std::size_t k = 0; k < psd.size(); ++k) scaled[k] = psd[k] / top;
    Memo<std::uint64_t> memo;
    for (std::size_t s = 0; s < params.size() && !interrupt::poll(); ++s) {
        const std::uint64_t bins = helpers::count_param(params[s], "bins");
        out[s] = memo(bins, [&] { return binned_entropy(scaled, bins); });
    }
    return out;
}

constexpr Entry TABLE[] = {
    {"approximate_entropy", approximate_entropy, announce_approximate},
    {"binned_entropy", binned_entropy_sets},
    {"fourier_entropy", fourier_entropy},
    {"sample_entropy", sample_entropy, announce_sample},
};

}  // namespace

constinit const std::span<const Entry> ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
