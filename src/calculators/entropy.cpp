// Entropies and complexity: histogram, approximate, sample and permutation
// entropies, the entropy of the Welch density and the Lempel-Ziv phrase
// count.
//
// No allocation here is sized by a bin count or another parameter beyond what
// the series itself needs: bin edges are computed on demand, only occupied
// bins are counted, and the phrase trie keys its children by (node, symbol).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <utility>
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

// Counts of equal values, in ascending order, from a list sorted in place.
template <class T>
std::vector<std::uint64_t> run_lengths(std::vector<T>& v) {
    std::sort(v.begin(), v.end());
    std::vector<std::uint64_t> counts;
    for (std::size_t k = 0; k < v.size();) {
        std::size_t e = k + 1;
        while (e < v.size() && v[e] == v[k]) ++e;
        counts.push_back(e - k);
        k = e;
    }
    return counts;
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
        std::vector<std::uint64_t> index(x.size());
        std::transform(x.begin(), x.end(), index.begin(), bin);
        counts = run_lengths(index);
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
    const bool undefined = x.empty() || !stats::all_finite(x);
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
            if (std::isnan(tol)) continue;
            slot.announce({tol, 2, false});
            slot.announce({tol, 3, false});
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
    slot.announce({tol, 2, false});
    slot.announce({tol, 3, false});
    // Exact integers (below 2^53 for any series that fits in memory).
    const double b = 2.0 * static_cast<double>(slot.get(x, {tol, 2, false}).pairs);
    const double a = 2.0 * static_cast<double>(slot.get(x, {tol, 3, false}).pairs);
    return -std::log(a / b);
}

Values sample_entropy(SeriesContext& context, ParamSets) { return one(sample_entropy_of(context)); }

// ------------------------------------------------ permutation entropy

// Sort key of the ordinal patterns: every NaN first and equal to the others,
// then the numbers by value with -0.0 equal to 0.0.
std::int64_t pattern_key(double v) {
    if (std::isnan(v)) return std::numeric_limits<std::int64_t>::min();
    return stats::total_order_key(v + 0.0);
}

// A window's pattern is the list of its samples' ranks (a stable sort by
// key, ties in index order), ordered as the base-d numbers of their digits,
// which is lexicographic order. Up to 20 samples a pattern is numbered by
// its Lehmer code: digit k counts the later samples that sort before sample
// k, and sum digit_k * (d - 1 - k)! is the pattern's place in that order.
constexpr std::size_t MAX_LEHMER = 20;  // 20! < 2^64

std::uint64_t factorial(std::size_t k) {
    std::uint64_t f = 1;
    for (std::size_t i = 2; i <= k; ++i) f *= i;
    return f;
}

// -sum p ln p over the patterns in ascending order, counts given in that
// order, from -0.0. Most patterns are rare, so the terms of small counts are
// computed once each.
double pattern_entropy(const std::vector<std::uint64_t>& counts, std::uint64_t windows) {
    const double total = static_cast<double>(windows);
    auto term = [total](std::uint64_t c) {
        const double p = static_cast<double>(c) / total;
        return std::log(p) * p;
    };
    constexpr std::uint64_t SMALL = 64;
    double small[SMALL];
    bool known[SMALL] = {};
    double h = -0.0;
    for (std::uint64_t c : counts) {
        if (c < SMALL) {
            if (!known[c]) {
                small[c] = term(c);
                known[c] = true;
            }
            h += small[c];
        } else {
            h += term(c);
        }
    }
    return -h;
}

double permutation_entropy_lehmer(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                  std::uint64_t windows) {
    std::uint64_t weight[MAX_LEHMER];
    for (std::size_t k = 0; k < d; ++k) weight[k] = factorial(d - 1 - k);
    std::uint64_t digit[MAX_LEHMER];
    auto direct = [&](std::size_t start) {
        for (std::size_t k = 0; k < d; ++k) {
            std::uint64_t c = 0;
            for (std::size_t j = k + 1; j < d; ++j) c += key[start + j] < key[start + k] ? 1 : 0;
            digit[k] = c;
        }
    };
    auto code = [&] {
        std::uint64_t c = 0;
        for (std::size_t k = 0; k < d; ++k) c += digit[k] * weight[k];
        return c;
    };
    // Dense counts when the patterns are few next to the windows.
    const std::uint64_t patterns = factorial(d);
    const bool dense = d <= 12 && patterns <= 8 * windows + 5040;
    std::vector<std::uint32_t> table(dense ? patterns : 0, 0);
    std::vector<std::uint64_t> codes;
    if (!dense) codes.reserve(windows);
    for (std::uint64_t w = 0; w < windows; ++w) {
        if (tau == 1 && w > 0) {
            // The window slides by one: drop the first sample's digit and
            // let every remaining sample count the one that came in.
            const std::int64_t in = key[w + d - 1];
            for (std::size_t k = 0; k + 1 < d; ++k) digit[k] = digit[k + 1] + (in < key[w + k] ? 1 : 0);
            digit[d - 1] = 0;
        } else {
            direct(w * tau);
        }
        if (dense)
            ++table[code()];
        else
            codes.push_back(code());
    }
    std::vector<std::uint64_t> counts;
    if (dense) {
        for (std::uint32_t c : table)
            if (c != 0) counts.push_back(c);
    } else {
        counts = run_lengths(codes);
    }
    return pattern_entropy(counts, windows);
}

// Patterns longer than 20 samples: rank lists kept whole, ordered
// lexicographically.
double permutation_entropy_ranks(const std::vector<std::int64_t>& key, std::uint64_t tau, std::size_t d,
                                 std::uint64_t windows) {
    std::map<std::vector<std::uint32_t>, std::uint64_t> counts;
    std::vector<std::uint32_t> order(d), rank(d);
    for (std::uint64_t w = 0; w < windows; ++w) {
        const std::int64_t* k = key.data() + w * tau;
        for (std::size_t i = 0; i < d; ++i) order[i] = static_cast<std::uint32_t>(i);
        std::stable_sort(order.begin(), order.end(), [k](std::uint32_t a, std::uint32_t b) { return k[a] < k[b]; });
        for (std::size_t p = 0; p < d; ++p) rank[order[p]] = static_cast<std::uint32_t>(p);
        ++counts[rank];
    }
    std::vector<std::uint64_t> ordered;
    ordered.reserve(counts.size());
    for (const auto& kv : counts) ordered.push_back(kv.second);
    return pattern_entropy(ordered, windows);
}

// permutation_entropy: "tau" (integer; below 1 gives NaN; default 0, so
// NaN), "dimension" (integer; below 2 gives NaN; default 0, so NaN).
// Windows of `dimension` consecutive samples starting every tau samples;
// -sum p ln p over the ordinal patterns, added in ascending pattern order.
// n < dimension: NaN. NaN samples rank lowest and give a value. One pattern
// (a monotone series, a single window): -0.0.
Values permutation_entropy(Series x, ParamSets params) {
    const std::size_t n = x.size();
    std::vector<std::int64_t> key;
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> done;
    return map_sets(params, [&](Series s, const Params& p) {
        const std::int64_t tau = helpers::int_param(p, "tau");
        const std::int64_t dim = helpers::int_param(p, "dimension");
        if (tau < 1 || dim < 2 || static_cast<std::uint64_t>(dim) > n) return NaN;
        const std::uint64_t t = static_cast<std::uint64_t>(tau);
        const std::size_t d = static_cast<std::size_t>(dim);
        auto [it, fresh] = done.try_emplace({t, d}, 0.0);
        if (!fresh) return it->second;
        if (key.empty()) {
            key.resize(n);
            std::transform(s.begin(), s.end(), key.begin(), pattern_key);
        }
        const std::uint64_t windows = (n - d) / t + 1;
        it->second = d <= MAX_LEHMER ? permutation_entropy_lehmer(key, t, d, windows)
                                     : permutation_entropy_ranks(key, t, d, windows);
        return it->second;
    }, x);
}

// ------------------------------------------------ Lempel-Ziv complexity

// The children of the phrase trie, keyed by (node, symbol): open addressing
// that doubles when half full, so its size follows the nodes made (at most
// one per sample), never the number of bins.
class TrieChildren {
public:
    // Room for `expected` nodes before the first doubling.
    explicit TrieChildren(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected) cap *= 2;
        slots_.resize(cap);
        mask_ = cap - 1;
    }

    // The child of (node, symbol), made with id `fresh` when missing;
    // second is true when it was made.
    std::pair<std::uint64_t, bool> find_or_add(std::uint64_t node, std::uint64_t symbol, std::uint64_t fresh) {
        Slot& s = probe(node, symbol);
        if (s.node_plus_one != 0) return {s.child, false};
        s = Slot{node + 1, symbol, fresh};
        if (++used_ * 2 > slots_.size()) grow();
        return {fresh, true};
    }

private:
    struct Slot {
        std::uint64_t node_plus_one = 0, symbol = 0, child = 0;  // node_plus_one 0: empty
    };

    static std::size_t hash(std::uint64_t node, std::uint64_t symbol) {
        // splitmix64's finaliser over a mix of both.
        std::uint64_t z = node * 0x9E3779B97F4A7C15ull ^ (symbol + 0x632BE59BD9B4E019ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }

    // The slot holding (node, symbol), or the empty slot where it belongs.
    Slot& probe(std::uint64_t node, std::uint64_t symbol) {
        for (std::size_t i = hash(node, symbol) & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.node_plus_one == 0 || (s.node_plus_one == node + 1 && s.symbol == symbol)) return s;
        }
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old)
            if (s.node_plus_one != 0) probe(s.node_plus_one - 1, s.symbol) = s;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0, used_ = 0;
};

// The symbol of v: the first k in [0, b) with v <= e_{k+1} by a binary
// search over the edges. While e_{b-1} <= e_b the edges ascend and the
// search's answer is the bin found from v's position, moved to the first
// edge at or above v; otherwise (a bin count near the resolution of the
// doubles) the search itself runs.
class Symbols {
public:
    Symbols(const BinEdges& edges, std::uint64_t bins)
        : edges_(edges), bins_(bins), ascending_(bins == 1 || edges.edge(bins - 1) <= edges.edge(bins)) {}

    std::uint64_t operator()(double v) const {
        if (!ascending_) return search(v);
        std::uint64_t k = edges_.guess(v);
        while (k > 0 && !(v > edges_.edge(k))) --k;
        while (k + 1 < bins_ && v > edges_.edge(k + 1)) ++k;
        return k;
    }

private:
    std::uint64_t search(double v) const {
        std::uint64_t a = 0, b = bins_;
        while (a < b) {
            const std::uint64_t mid = a + (b - a) / 2;
            if (!(v > edges_.edge(mid + 1)))
                b = mid;
            else
                a = mid + 1;
        }
        return a;
    }

    const BinEdges& edges_;
    std::uint64_t bins_;
    bool ascending_;
};

// Phrases of the series' symbols in `bins` equal-width bins, over n.
double lempel_ziv(Series x, std::uint64_t bins, double lo, double hi) {
    const std::size_t n = x.size();
    const BinEdges edges(lo, hi, bins);
    const Symbols symbol(edges, bins);
    // Walk down from the root (node 0); a missing child ends a phrase, and
    // the next one starts at the root. A phrase still open at the end of the
    // series is not counted.
    // A short series may make a node per sample; a long one makes far fewer.
    TrieChildren children(std::min<std::size_t>(n, 4096));
    std::uint64_t nodes = 1, phrases = 0, node = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto [child, made] = children.find_or_add(node, symbol(x[i]), nodes);
        if (made) {
            ++nodes;
            ++phrases;
            node = 0;
        } else {
            node = child;
        }
    }
    return static_cast<double>(phrases) / static_cast<double>(n);
}

// lempel_ziv_complexity: "bins" (an Int or a Float read as an integer;
// missing, another kind or below 1: NaN). The empty series, and any series
// with a NaN or an infinity: NaN. A constant series has one symbol.
Values lempel_ziv_complexity(Series x, ParamSets params) {
    const bool undefined = x.empty() || !stats::all_finite(x);
    const double lo = undefined ? NaN : stats::min(x), hi = undefined ? NaN : stats::max(x);
    std::map<std::uint64_t, double> done;
    return map_sets(params, [&](Series s, const Params& p) {
        const PVal* v = p.find("bins");
        if (v == nullptr || (v->tag() != PVal::Int && v->tag() != PVal::Float)) return NaN;
        const std::int64_t bins = helpers::int_param(p, "bins");
        if (bins < 1 || undefined) return NaN;
        auto [it, fresh] = done.try_emplace(static_cast<std::uint64_t>(bins), 0.0);
        if (fresh) it->second = lempel_ziv(s, static_cast<std::uint64_t>(bins), lo, hi);
        return it->second;
    }, x);
}

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
    for (std::size_t s = 0; s < params.size(); ++s) {
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
    {"lempel_ziv_complexity", lempel_ziv_complexity},
    {"permutation_entropy", permutation_entropy},
    {"sample_entropy", sample_entropy},
};

}  // namespace

constinit const std::span<const Entry> ENTROPY_ENTRIES{TABLE};

}  // namespace calculators
