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
    std::map<std::uint64_t, double> done;
    for (std::size_t s = 0; s < params.size() && !interrupt::poll(); ++s) {
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

// ------------------------------------------------- approximate entropy

// phi(k) = (sum over the N = n - k + 1 templates, in order, of ln(C_i / N)) / N,
// where C_i counts the templates matching template i, itself included. The
// logarithms are kept by count: few distinct counts occur.
double phi(const std::vector<std::uint64_t>& partners) {
    const std::size_t templates = partners.size();
    const double count = static_cast<double>(templates);
    std::vector<double> logs(templates, NaN);
    double s = 0.0;
    for (std::uint64_t c : partners) {
        double& l = logs[c];  // c < templates: a template has fewer partners
        if (std::isnan(l)) l = std::log(static_cast<double>(c + 1) / count);
        s += l;
    }
    return s / count;
}

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

// The template matches of lengths m (none for m = 0, every empty template
// matching) and m + 1, per template.
void announce_set(TemplateMatchSlot& slot, const ApproximateSet& set) {
    if (set.m > 0) slot.announce({set.tol, set.m, true});
    slot.announce({set.tol, set.m + 1, true});
}

// sample_entropy's tolerance: 0.2 times the population deviation.
double sample_tolerance(SeriesContext& context) { return std::sqrt(context.variance()) * 0.2; }

// sample_entropy's pair counts: lengths 2 and 3 within tol.
constexpr MatchRequest sample_pairs(double tol, std::uint64_t length) { return {tol, length, false}; }
void announce_sample(TemplateMatchSlot& slot, double tol) {
    slot.announce(sample_pairs(tol, 2));
    slot.announce(sample_pairs(tol, 3));
}

Values approximate_entropy(SeriesContext& context, ParamSets params);
Values sample_entropy(SeriesContext& context, ParamSets params);

// The first template entropy to run on a series announces what every
// template-entropy item of the row will read (the same tolerances and
// lengths its own run reads), so that one sweep makes it all.
void announce_row(SeriesContext& context) {
    TemplateMatchSlot& slot = context.template_matches();
    if (slot.announced()) return;
    slot.mark_announced();
    for (const RowItem& item : context.row()) {
        if (item.calculator->on_context == approximate_entropy) {
            for (const Params& p : item.params) {
                const ApproximateSet set = approximate_set(context, p);
                if (set.swept()) announce_set(slot, set);
            }
        } else if (item.calculator->on_context == sample_entropy && context.size() >= 4) {
            const double tol = sample_tolerance(context);
            if (!std::isnan(tol)) announce_sample(slot, tol);
        }
    }
}

// approximate_entropy: "m" (integer, negative as 0; default 0), "r" (real;
// default NaN). A NaN sample: NaN. n <= m + 1 (the empty series included):
// 0.0. A negative or NaN tolerance r * std (an infinite sample, a variance
// that overflows, a missing r): NaN. A constant series: 0.0.
Values approximate_entropy(SeriesContext& context, ParamSets params) {
    const Series x = context.x();
    Values out(params.size(), NaN);
    if (params.empty() || any_nan(x)) return out;
    announce_row(context);
    TemplateMatchSlot& slot = context.template_matches();
    std::vector<ApproximateSet> sets;
    for (const Params& p : params) {
        sets.push_back(approximate_set(context, p));
        if (sets.back().swept()) announce_set(slot, sets.back());
    }
    // phi of each (tolerance, length) asked; phi(0) = 0.
    std::map<std::pair<double, std::uint64_t>, double> phis;
    auto phi_of = [&](double tol, std::uint64_t k) {
        if (k == 0) return 0.0;
        auto [it, fresh] = phis.try_emplace({tol, k}, 0.0);
        if (fresh) it->second = phi(slot.get(x, {tol, k, true}).per_template);
        return it->second;
    };
    for (std::size_t i = 0; i < params.size(); ++i) {
        const ApproximateSet& set = sets[i];
        out[i] = set.swept() ? std::fabs(phi_of(set.tol, set.m) - phi_of(set.tol, set.m + 1)) : set.fixed;
    }
    return out;
}

// ------------------------------------------------------ sample entropy

// sample_entropy (no parameters): -ln(A / B), B and A the ordered pairs of
// distinct matching templates of lengths 2 and 3 (templates of length 2 at
// 0 .. n - 2, of length 3 at 0 .. n - 3) within 0.2 * std. Fewer than 4
// samples, or any non-finite sample or an overflowing variance (NaN
// tolerance): NaN. No length-2 match: NaN (0/0); no length-3 match: +inf.
double sample_entropy_of(SeriesContext& context) {
    const Series x = context.x();
    if (x.size() < 4 || any_nan(x)) return NaN;
    const double tol = sample_tolerance(context);
    if (std::isnan(tol)) return NaN;
    announce_row(context);
    TemplateMatchSlot& slot = context.template_matches();
    announce_sample(slot, tol);
    // Exact integers (below 2^53 for any series that fits in memory).
    const double b = 2.0 * static_cast<double>(slot.get(x, sample_pairs(tol, 2)).pairs);
    const double a = 2.0 * static_cast<double>(slot.get(x, sample_pairs(tol, 3)).pairs);
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
    std::map<std::uint64_t, double> done;
    for (std::size_t s = 0; s < params.size() && !interrupt::poll(); ++s) {
        const std::uint64_t bins = helpers::count_param(params[s], "bins");
        auto [it, fresh] = done.try_emplace(bins, 0.0);
        if (fresh) it->second = binned_entropy(scaled, bins);
        out[s] = it->second;
    }
    return out;
}

constexpr Entry TABLE[] = {
    {"approximate_entropy", approximate_entropy},
    {"binned_entropy", binned_entropy_sets},
    {"fourier_entropy", fourier_entropy},
    {"sample_entropy", sample_entropy},
};

}  // namespace

constinit const std::span<const Entry> ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
