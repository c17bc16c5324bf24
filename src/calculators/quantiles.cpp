// The quantile calculators: quantiles of a series, aggregates of the changes
// inside a corridor between two quantiles, and the index where the
// cumulative mass reaches a level.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "calculators/registry.h"
#include "helpers/agg.h"
#include "helpers/counting.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

double as_double(std::uint64_t count) { return static_cast<double>(count); }

// From this many levels on, one sort of the series costs less than a
// selection per level, however long the series.
constexpr std::size_t SORT_FROM_SETS = 3;

// Key "q" (real, clamped to [0, 1]; a missing or NaN q gives the
// smallest sample). Linear interpolation between order statistics: NaN for
// the empty series and with a NaN sample (which orders last).
Values quantile(SeriesContext& c, ParamSets params) {
    const bool sort = params.size() >= SORT_FROM_SETS;
    Values out(params.size());
    for (std::size_t k = 0; k < params.size(); ++k) out[k] = c.quantile(helpers::real_param(params[k], "q"), sort);
    return out;
}

// The changes between neighbours that both lie in one corridor [lo, hi],
// with their absolute values and the sums the aggregations share.
struct Corridor {
    std::vector<double> changes, magnitudes;
    AggData signed_data{{}}, abs_data{{}};

    void fill(Series x, double lo, double hi) {
        changes.resize(x.size() - 1);
        magnitudes.resize(x.size() - 1);
        const std::size_t kept = helpers::changes_within(x, lo, hi, changes.data(), magnitudes.data());
        changes.resize(kept);
        magnitudes.resize(kept);
        signed_data = AggData(changes);
        abs_data = AggData(magnitudes);
    }

    // The changes or their magnitudes, with what `agg` reads made for both.
    AggData& data(bool isabs, Agg agg) {
        AggData::prepare_pair(signed_data, abs_data, agg);
        return isabs ? abs_data : signed_data;
    }
};

// A set whose corridor holds changes: its position and what it asks.
struct CorridorSet {
    std::size_t k;
    std::uint64_t lo_bits, hi_bits;  // edges of equal bits bound the same changes
    bool isabs;
    Agg agg;
};

// Keys "ql", "qh" (reals, quantile levels), "isabs" (boolean), "f_agg"
// (aggregation name; unknown or missing: NaN). The aggregate of the changes
// between neighbours that both lie in [quantile(ql), quantile(qh)] (their
// magnitudes with isabs): 0.0 when no change qualifies, so for ql >= qh, the
// empty and the constant series, and a corridor whose edge is NaN (a NaN
// sample orders last).
// The sets are grouped by corridor, and each corridor's changes are made
// once for its group and dropped before the next, so the scratch stays at
// two lists of the series' length however many sets there are.
Values change_quantiles(SeriesContext& c, ParamSets params) {
    const Series x = c.x();
    Values out(params.size(), 0.0);
    // Two levels a set: a sort pays from the second set on.
    const bool sort = params.size() > 1;
    std::vector<CorridorSet> sets;
    for (std::size_t k = 0; k < params.size(); ++k) {
        const Params& p = params[k];
        const double ql = helpers::real_param(p, "ql");
        const double qh = helpers::real_param(p, "qh");
        // An Int counts as a boolean here: nonzero is true.
        const bool isabs = helpers::bool_param(p, "isabs");
        const Agg agg = Agg::parse(helpers::text_param(p, "f_agg"));
        // An empty or inverted corridor; false for a NaN level, which then
        // clamps to the lowest position in the quantile.
        if (ql >= qh) continue;
        // No pair of neighbours, no change.
        if (x.size() < 2) continue;
        const double lo = c.quantile(ql, sort);
        const double hi = c.quantile(qh, sort);
        // A corridor of one value or with a NaN edge holds no change.
        if (lo == hi || std::isnan(lo) || std::isnan(hi)) continue;
        sets.push_back({k, std::bit_cast<std::uint64_t>(lo), std::bit_cast<std::uint64_t>(hi), isabs, agg});
    }
    std::sort(sets.begin(), sets.end(), [](const CorridorSet& a, const CorridorSet& b) {
        return std::tie(a.lo_bits, a.hi_bits, a.k) < std::tie(b.lo_bits, b.hi_bits, b.k);
    });
    Corridor corridor;
    // A set costs a pass over the changes: poll by the samples passed.
    interrupt::Stride stride(std::uint64_t{1} << 16);
    for (std::size_t g = 0; g < sets.size() && !stride(x.size()); ++g) {
        const CorridorSet& set = sets[g];
        if (g == 0 || set.lo_bits != sets[g - 1].lo_bits || set.hi_bits != sets[g - 1].hi_bits)
            corridor.fill(x, std::bit_cast<double>(set.lo_bits), std::bit_cast<double>(set.hi_bits));
        AggData& data = corridor.data(set.isabs, set.agg);
        // No change taken: 0.0.
        if (!data.data().empty()) out[set.k] = Agg::apply_with_ddof(set.agg, data, 0.0);
    }
    return out;
}

// The cumulative absolute mass c_i = (|x_0| + ... + |x_i|) / S, computed once
// per call and shared by all levels: the running sums are kept, and c_i is
// formed where it is read.
struct CumulativeMass {
    std::vector<double> running;  // empty when S is 0 (or there are no samples)
    double total = 0.0;           // S, the compensated sum

    double at(std::size_t i) const { return running[i] / total; }
};

CumulativeMass cumulative_mass(Series x) {
    CumulativeMass m;
    // The running sums are the plain partial sums of the compensated sum's
    // first pass.
    m.running.resize(x.size());
    m.total = stats::sum_of(
        x.size(), [p = x.data()](std::size_t i) { return std::abs(p[i]); },
        [&m](std::size_t i, double s) { m.running[i] = s; });
    // No mass to distribute (a NaN total is not 0 and goes on).
    if (m.total == 0.0) m.running.clear();
    return m;
}

double index_mass_quantile_one(const CumulativeMass& m, double q) {
    const std::size_t n = m.running.size();
    if (n == 0) return NaN;
    std::size_t first = n;
    if (std::isfinite(m.total)) {
        // A finite total is the sum of finite magnitudes, so the plain running
        // sums are finite too, never decrease, and neither do their quotients
        // by the positive total: c_i >= q holds on a suffix (nowhere for a
        // NaN q), found by bisection.
        std::size_t lo = 0, hi = n;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (m.at(mid) >= q)
                hi = mid;
            else
                lo = mid + 1;
        }
        first = lo;
    } else {
        // An infinite or NaN total: the quotients are 0 or NaN, in no order.
        for (std::size_t i = 0; i < n; ++i)
            if (m.at(i) >= q) {
                first = i;
                break;
            }
    }
    // No level reached: the first index.
    if (first == n) return 1.0 / as_double(n);
    return as_double(first + 1) / as_double(n);
}

// Key "q" (real). The relative index (i + 1) / n of the first sample where
// the running sum of |x| reaches q times the total: NaN for the empty series
// and a zero total; 1 / n where no level is reached (a missing or NaN q, a
// non-finite total).
Values index_mass_quantile(Series x, ParamSets params) {
    const CumulativeMass m = cumulative_mass(x);
    return map_sets(params, [](const CumulativeMass& mass, const Params& p) {
        return index_mass_quantile_one(mass, helpers::real_param(p, "q"));
    }, m);
}

constexpr Entry TABLE[] = {
    {"quantile", quantile},
    {"change_quantiles", change_quantiles},
    {"index_mass_quantile", index_mass_quantile},
};

}  // namespace

constinit const std::span<const Entry> QUANTILE_ENTRIES{TABLE};

}  // namespace calculators
