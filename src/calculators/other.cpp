// Calculators that share no numerical method with the other families:
// Benford correlation, chunk energy ratios, query similarity counts, the
// mean of the largest magnitudes and the complexity estimate cid_ce.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "calculators/registry.h"
#include "helpers/series.h"
#include "helpers/window_distances.h"
#include "numeric/constants.h"
#include "numeric/stats.h"

namespace calculators {

namespace {

using numeric::NaN;

// ---------------------------------------------------------------- benford

// First significant digit of the shortest decimal text that reads back as
// a (finite, > 0), from the text itself. Arithmetic on the exact value would
// misread doubles such as 1e23, which lies just below 10^23 but prints as
// "1e+23".
int leading_digit_of_text(double a) {
    char buf[32];
    // Shortest round-trip scientific text: "d.ddde+XX", the digit first.
    const auto res = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    if (res.ec != std::errc{}) return 0;  // unreachable: 32 bytes hold any double
    return buf[0] - '0';
}

// 10^k for the decimal exponents of normal doubles, k = -307 .. 308.
constexpr int POW10_LOW = -307, POW10_HIGH = 308;
using Pow10Table = std::array<double, POW10_HIGH - POW10_LOW + 1>;
const Pow10Table& powers_of_ten() {
    static const Pow10Table table = [] {
        Pow10Table t{};
        for (int k = POW10_LOW; k <= POW10_HIGH; ++k) t[k - POW10_LOW] = std::pow(10.0, k);
        return t;
    }();
    return table;
}

// The shortest text lies within half an ulp (< 1.2e-16 relative) of the
// value, and t = a / 10^e below is off by a few ulps at most; so a t whose
// fraction is farther than this from 0 and 1 has the same leading digit as
// the text. Closer ones (1.0, 0.2, 1e23, ...) are read from the text.
constexpr double DIGIT_MARGIN = 1e-9;
constexpr double LOG10_2 = 0.30102999566398119521;

// Leading digit of a sample: 0 for zero and NaN, 1 for an infinity (read as
// the largest finite double, 1.797...e308).
int leading_digit(double v, const Pow10Table& p10) {
    if (std::isnan(v) || v == 0.0) return 0;
    if (std::isinf(v)) return 1;
    const double a = std::fabs(v);
    // Subnormal and near-subnormal magnitudes have imprecise powers of ten.
    if (a < 1e-306) return leading_digit_of_text(a);
    int e2 = 0;
    std::frexp(a, &e2);  // a in [2^(e2-1), 2^e2): its decimal exponent is e or e + 1
    int e = static_cast<int>(std::floor((e2 - 1) * LOG10_2));
    if (e < POW10_HIGH && a >= p10[e + 1 - POW10_LOW]) ++e;
    const double t = a / p10[e - POW10_LOW];
    const int d = static_cast<int>(t);
    const double frac = t - d;
    if (d < 1 || d > 9 || frac < DIGIT_MARGIN || frac > 1.0 - DIGIT_MARGIN) return leading_digit_of_text(a);
    return d;
}

// No keys. The correlation of the leading-digit frequencies with Benford's
// law: NaN for the empty series and when no sample has a leading digit
// (zeros and NaNs have none but count in n; an infinity leads with 1); a
// constant series has one digit.
double benford_correlation(Series x) {
    // No samples, no observed frequencies.
    if (x.empty()) return NaN;
    const Pow10Table& p10 = powers_of_ten();
    std::array<std::uint64_t, 10> counts{};
    for (double v : x) ++counts[static_cast<std::size_t>(leading_digit(v, p10))];
    const double n = static_cast<double>(x.size());
    std::array<double, 9> expected{}, observed{};
    for (int d = 1; d <= 9; ++d) {
        expected[d - 1] = std::log10(1.0 + 1.0 / d);
        observed[d - 1] = static_cast<double>(counts[d]) / n;  // zeros stay in n
    }
    return helpers::corrcoef(expected, observed);
}

// ---------------------------------------------------------- energy ratios

struct EnergyContext {
    Series x;
    double total;
};

double energy_ratio(const EnergyContext& c, const Params& p) {
    // The number of segments is used as read: zero or negative gives no chunks.
    const std::int64_t segments = helpers::int_param(p, "num_segments");
    const std::uint64_t focus = helpers::count_param(p, "segment_focus");
    if (segments <= 0 || static_cast<std::uint64_t>(segments) <= focus) return NaN;
    // No energy to share out (empty or all-zero series).
    if (c.total == 0.0) return NaN;
    // Chunks as equal as possible, larger ones first. focus < segments, so
    // focus * q < segments * q <= n: the bounds never overflow, whatever
    // the parameters, and chunks past the last sample are empty.
    const std::uint64_t n = c.x.size(), s = static_cast<std::uint64_t>(segments);
    const std::uint64_t q = n / s, r = n % s;
    const std::uint64_t start = focus * q + std::min(focus, r);
    const std::uint64_t len = q + (focus < r ? 1 : 0);
    return helpers::energy(c.x.subspan(start, len)) / c.total;
}

// Keys "num_segments" (integer), "segment_focus" (integer, negative as 0).
// The share of the energy in chunk segment_focus of num_segments: NaN when
// focus >= segments (a missing key included), for the empty and the all-zero
// series and with a NaN sample; -0.0 for a chunk past the last sample.
Values energy_ratio_by_chunks(SeriesContext& context, ParamSets params) {
    // The total is the series' energy, shared with abs_energy.
    const EnergyContext c{context.x(), context.energy()};
    return map_sets(params, energy_ratio, c);
}

// ------------------------------------------------------ query similarity

// A missing key means exact matches only.
double similarity_threshold(const Params& p) { return helpers::real_param_or_zero(p, "threshold"); }

// Only a Bool switches normalisation; any other variant or none keeps it on.
bool similarity_normalize(const Params& p) {
    const PVal* v = p.find("normalize");
    return v == nullptr || v->tag() != PVal::Bool || helpers::bool_param(p, "normalize");
}

// A set with a query that fits the series.
struct QuerySet {
    std::size_t k;
    std::vector<double> query;
    bool normalize;
    double threshold;
};

// Query bits in byte order: a total order in which equal bits are equal.
bool query_before(const QuerySet& a, const QuerySet& b) {
    if (a.normalize != b.normalize) return a.normalize < b.normalize;
    if (a.query.size() != b.query.size()) return a.query.size() < b.query.size();
    const int c = std::memcmp(a.query.data(), b.query.data(), a.query.size() * sizeof(double));
    return c != 0 ? c < 0 : a.k < b.k;
}

bool same_query(const QuerySet& a, const QuerySet& b) {
    return a.normalize == b.normalize && a.query.size() == b.query.size() &&
           std::memcmp(a.query.data(), b.query.data(), a.query.size() * sizeof(double)) == 0;
}

// Keys "query" (list of reals), "threshold" (real, missing: 0.0),
// "normalize" (boolean, missing: true). How many windows lie within the
// threshold of the query (helpers::window_distances): NaN for a query of
// fewer than 3 values, 0.0 for a series shorter than the query; a window
// with a NaN (or, normalised, an infinite) sample never counts.
//
// Sets with the same query and normalisation (the same bits) differ only in
// their threshold: they are grouped, and each group's window distances are
// computed once and dropped before the next group's.
Values query_similarity_count(Series x, ParamSets params) {
    Values out(params.size());
    std::vector<QuerySet> sets;
    for (std::size_t k = 0; k < params.size(); ++k) {
        const Params& p = params[k];
        std::vector<double> query = p.floats("query");
        // A missing, None or too short query (fewer than 3 values).
        if (query.size() < 3) {
            out[k] = NaN;
            continue;
        }
        // No window fits.
        if (x.size() < query.size()) {
            out[k] = 0.0;
            continue;
        }
        sets.push_back({k, std::move(query), similarity_normalize(p), similarity_threshold(p)});
    }
    std::sort(sets.begin(), sets.end(), query_before);
    std::vector<double> d;
    for (std::size_t g = 0; g < sets.size() && !interrupt::poll(); ++g) {
        const QuerySet& set = sets[g];
        if (g == 0 || !same_query(set, sets[g - 1])) d = helpers::window_distances(x, set.query, set.normalize);
        std::uint64_t count = 0;
        for (double v : d) count += v <= set.threshold ? 1 : 0;
        out[set.k] = static_cast<double>(count);
    }
    return out;
}

// ------------------------------------------------- largest absolute values

// k from "number_of_maxima", or 0 when the set gives no mean: the key
// missing or not a number, k <= 0, or not fewer maxima than samples.
std::uint64_t maxima_wanted(const Params& p, std::size_t n) {
    // Only a number says how many maxima to take.
    const PVal* v = p.find("number_of_maxima");
    if (v == nullptr || (v->tag() != PVal::Int && v->tag() != PVal::Float)) return 0;
    const std::int64_t k = helpers::int_param(p, "number_of_maxima");
    if (k <= 0 || n <= static_cast<std::uint64_t>(k)) return 0;
    return static_cast<std::uint64_t>(k);
}

// Up to this many, the largest magnitudes are kept in a sorted buffer
// during one pass; more are selected from a copy.
constexpr std::size_t BUFFERED_MAXIMA = 32;

// The k (1 <= k <= n) largest of |x| in ascending order. A magnitude's bit
// pattern, sign cleared, orders as its value (NaN above infinity), so the
// pass compares integers.
std::vector<double> largest_magnitudes(Series x, std::size_t k) {
    if (k > BUFFERED_MAXIMA) {
        std::vector<double> a(x.size());
        std::transform(x.begin(), x.end(), a.begin(), [](double y) { return std::fabs(y); });
        const auto top = a.end() - static_cast<std::ptrdiff_t>(k);
        std::nth_element(a.begin(), top, a.end(), stats::total_less);
        // The vector sort of the total order: equal keys are equal bits.
        stats::sort_total({&*top, k});
        return std::vector<double>(top, a.end());
    }
    constexpr std::uint64_t MAGNITUDE = ~(std::uint64_t{1} << 63);
    auto key = [](double v) { return std::bit_cast<std::uint64_t>(v) & MAGNITUDE; };
    std::array<std::uint64_t, BUFFERED_MAXIMA> top;
    for (std::size_t i = 0; i < k; ++i) top[i] = key(x[i]);
    std::sort(top.begin(), top.begin() + k);
    for (std::size_t i = k; i < x.size(); ++i) {
        const std::uint64_t v = key(x[i]);
        // An equal key is the same value: keeping either gives the same list.
        if (v <= top[0]) continue;
        std::size_t j = 0;
        for (; j + 1 < k && top[j + 1] < v; ++j) top[j] = top[j + 1];
        top[j] = v;
    }
    std::vector<double> a(k);
    for (std::size_t i = 0; i < k; ++i) a[i] = std::bit_cast<double>(top[i]);
    return a;
}

// Key "number_of_maxima" (a number k). The mean of the k largest |x|: NaN
// unless 1 <= k < n (the empty series included); a NaN sample is the
// largest.
Values mean_n_absolute_max(Series x, ParamSets params) {
    Values out(params.size(), NaN);
    std::uint64_t most = 0;
    for (const Params& p : params) most = std::max(most, maxima_wanted(p, x.size()));
    if (most == 0) return out;
    // The `most` largest magnitudes in ascending order, once for every set:
    // the last k of them are the last k of the full ascending sort (equal
    // keys are identical bits; NaNs sort last).
    const std::vector<double> a = largest_magnitudes(x, most);
    for (std::size_t j = 0; j < params.size() && !interrupt::poll(); ++j) {
        const std::uint64_t k = maxima_wanted(params[j], x.size());
        if (k == 0) continue;
        out[j] = stats::sum(Series(a).last(k)) / static_cast<double>(k);
    }
    return out;
}

// ----------------------------------------------------------------- cid_ce

// Key "normalize" (boolean, missing: false). The root of the summed squared
// changes, of the z-normalised series when asked: -0.0 for the empty
// series, 0.0 for a constant one when normalised; NaN with a NaN sample.
// The mean and variance that normalise are the series', read once per call.
Values cid_ce(SeriesContext& c, ParamSets params) {
    const Series x = c.x();
    Values out(params.size());
    for (std::size_t k = 0; k < params.size() && !interrupt::poll(); ++k) {
        // Nothing to sum: the empty sum's -0.0.
        if (x.empty()) {
            out[k] = -0.0;
            continue;
        }
        double mu = 0.0, sd = 1.0;
        const bool normalize = helpers::bool_param(params[k], "normalize");
        if (normalize) {
            mu = c.mean();
            const double var = c.variance();
            // A constant series has no changes after normalisation.
            if (var == 0.0) {
                out[k] = 0.0;
                continue;
            }
            sd = std::sqrt(var);
        }
        double s = -0.0;
        double prev = normalize ? (x[0] - mu) / sd : x[0];
        for (std::size_t i = 1; i < x.size(); ++i) {
            const double cur = normalize ? (x[i] - mu) / sd : x[i];
            const double d = cur - prev;
            s += d * d;
            prev = cur;
        }
        out[k] = std::sqrt(s);
    }
    return out;
}

constexpr Entry TABLE[] = {
    {"benford_correlation", scalar<benford_correlation>},
    {"energy_ratio_by_chunks", energy_ratio_by_chunks},
    {"query_similarity_count", query_similarity_count},
    {"mean_n_absolute_max", mean_n_absolute_max},
    {"cid_ce", cid_ce},
};

}  // namespace

constinit const std::span<const Entry> OTHER_ENTRIES{TABLE};

}  // namespace calculators
