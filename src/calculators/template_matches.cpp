// Template matches counted by sweeps (template_sweep.h): the requests
// planned into streams, a bounded number a sweep, and each stream's counts
// read off as its sweep ends. A pair total is half the sum of its
// per-template counts, and a phi their mean log share; only integers are
// summed during a sweep, so no order of a floating-point sum is at stake.
#include "calculators/template_matches.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "calculators/template_sweep.h"
#include "numeric/constants.h"
#include "numeric/interrupt.h"

namespace calculators {

namespace {

using numeric::NaN;

// Diagonals per dispatch into the SIMD code.
constexpr std::size_t DIAGONALS_PER_STEP = 4 * sweep::BLOCK;
// The most (tolerance, length) streams one sweep counts, each holding 5
// bytes a sample (its byte counters and their 32-bit totals): a row's usual
// handful (the bench plan's six tolerances at two lengths) takes one sweep,
// more take more sweeps of this many, each stream still counted once.
constexpr std::size_t STREAMS_PER_SWEEP = 32;

// A distinct (tolerance, length) to count; -0.0 is 0.0 to a comparison.
struct Key {
    double tol;
    std::size_t length;
    bool phi;
};

bool before(const Key& a, const Key& b) { return a.tol != b.tol ? a.tol < b.tol : a.length < b.length; }

// The distinct keys of the requests, tolerances ascending. NaN tolerances
// and lengths without templates have nothing to count.
std::vector<Key> distinct_keys(std::span<const MatchRequest> requests, std::size_t n) {
    std::vector<Key> keys;
    for (const MatchRequest& q : requests)
        if (!std::isnan(q.tol) && q.length != 0 && q.length <= n)
            keys.push_back({q.tol + 0.0, static_cast<std::size_t>(q.length), q.phi});
    std::sort(keys.begin(), keys.end(), before);
    std::vector<Key> unique;
    for (const Key& k : keys) {
        if (!unique.empty() && unique.back().tol == k.tol && unique.back().length == k.length)
            unique.back().phi |= k.phi;
        else
            unique.push_back(k);
    }
    return unique;
}

// The streams of `keys` (sorted), stream i counting into counters[i];
// consecutive tolerances, GroupSize() at a time, share a level byte.
void plan_streams(sweep::State& st, std::span<const Key> keys) {
    const std::size_t group_size = sweep::group_size();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const bool new_tol = i == 0 || keys[i - 1].tol != keys[i].tol;
        if (new_tol && (st.groups.empty() || st.groups.back().tols.size() == group_size)) st.groups.emplace_back();
        sweep::Group& g = st.groups.back();
        if (new_tol) g.tols.push_back(keys[i].tol);
        // A pair total is counted per template too: it fills the other half
        // of a table lookup that would otherwise count nothing.
        g.streams.push_back({g.tols.size() - 1, keys[i].length, i});
        st.counters.emplace_back(st.n);
    }
    for (sweep::Group& g : st.groups) {
        std::stable_sort(g.streams.begin(), g.streams.end(),
                         [](const sweep::Stream& a, const sweep::Stream& b) { return a.length < b.length; });
        for (const sweep::Stream& s : g.streams)
            if (g.lengths.empty() || g.lengths.back() != s.length) g.lengths.push_back(s.length);
        // The high words of the tolerances, then a key no distance has.
        g.keys.assign(sweep::MAX_GROUP, -1);
        for (std::size_t j = 0; j < g.tols.size(); ++j)
            g.keys[j] = static_cast<std::int32_t>(std::bit_cast<std::uint64_t>(g.tols[j]) >> 32);
    }
}

// Sweeps the diagonals that hold templates of the shortest length; false
// when a stop request ended it (a long series can take minutes).
bool run_sweep(sweep::State& st, std::span<const Key> keys, interrupt::Stride& stride) {
    const std::size_t n = st.n;
    std::size_t kmin = SIZE_MAX, kmax = 0;
    for (const Key& k : keys) {
        kmin = std::min(kmin, k.length);
        kmax = std::max(kmax, k.length);
    }
    st.stride = sweep::LEAD + n + sweep::PAD;
    st.levels.assign(sweep::BLOCK * st.stride, sweep::NEVER);
    std::size_t slots = 0;
    for (const sweep::Group& g : st.groups) slots = std::max(slots, std::min(sweep::SLOTS, g.lengths.size()));
    st.windows.assign(slots * sweep::BLOCK * st.stride, sweep::NEVER);
    st.scrap.assign(n + sweep::PAD, 0);
    st.powers.assign(static_cast<std::size_t>(std::bit_width(kmax)) - 1, std::vector<std::int8_t>(n + sweep::PAD, 0));
    for (std::size_t d = 1; d + kmin <= n;) {
        const std::size_t end = std::min(d + DIAGONALS_PER_STEP, n - kmin + 1);
        if (stride((end - d) * (n - d))) return false;
        sweep::sweep_diagonals(st, d, end);
        d = end;
    }
    return true;
}

// MatchCounts::phi from the partners of each template; the logarithms are
// kept by count (few distinct counts occur) in `logs`.
double phi(std::span<const std::uint32_t> partners, std::vector<double>& logs) {
    const std::size_t templates = partners.size();
    const double count = static_cast<double>(templates);
    logs.assign(templates, NaN);
    double s = 0.0;
    for (std::uint64_t c : partners) {
        double& l = logs[c];  // c < templates: a template has fewer partners
        if (std::isnan(l)) l = std::log(static_cast<double>(c + 1) / count);
        s += l;
    }
    return s / count;
}

// The counts of the templates of `key`, read off its stream's counters.
MatchCounts read_off(sweep::Counters& c, const Key& key, std::size_t n, std::vector<double>& logs) {
    c.flush();
    const std::span<const std::uint32_t> partners(c.total.data(), n - key.length + 1);
    MatchCounts out;
    for (std::uint64_t v : partners) out.pairs += v;
    out.pairs /= 2;  // each pair was counted at both its templates
    if (key.phi) out.phi = phi(partners, logs);
    return out;
}

// The counts of every key, STREAMS_PER_SWEEP keys a sweep; false when a stop
// request ended a sweep.
bool count_keys(std::span<const double> x, std::span<const Key> keys, std::vector<MatchCounts>& made) {
    made.assign(keys.size(), {});
    std::vector<double> logs;
    interrupt::Stride stride(std::size_t{1} << 18);
    for (std::size_t from = 0; from < keys.size(); from += STREAMS_PER_SWEEP) {
        const auto group = keys.subspan(from, std::min(STREAMS_PER_SWEEP, keys.size() - from));
        sweep::State st(x);
        plan_streams(st, group);
        if (x.size() >= 2 && !run_sweep(st, group, stride)) return false;
        for (std::size_t i = 0; i < group.size(); ++i) made[from + i] = read_off(st.counters[i], group[i], x.size(), logs);
    }
    return true;
}

// Each request's counts: its key's, or those of no match at all.
std::vector<MatchCounts> hand_out(std::span<const MatchRequest> requests, std::span<const Key> keys,
                                  std::span<const MatchCounts> made, std::size_t n) {
    std::vector<MatchCounts> out(requests.size());
    std::vector<std::uint32_t> none;
    std::vector<double> logs;
    for (std::size_t r = 0; r < requests.size(); ++r) {
        const MatchRequest& q = requests[r];
        if (q.length == 0 || q.length > n) continue;
        if (std::isnan(q.tol)) {  // every template its own only partner
            none.assign(n - static_cast<std::size_t>(q.length) + 1, 0);
            if (q.phi) out[r].phi = phi(none, logs);
            continue;
        }
        const Key key{q.tol + 0.0, static_cast<std::size_t>(q.length), false};
        out[r] = made[static_cast<std::size_t>(std::lower_bound(keys.begin(), keys.end(), key, before) - keys.begin())];
        if (!q.phi) out[r].phi = NaN;
    }
    return out;
}

}  // namespace

std::vector<MatchCounts> count_template_matches(std::span<const double> x, std::span<const MatchRequest> requests) {
    const std::vector<Key> keys = distinct_keys(requests, x.size());
    std::vector<MatchCounts> made;
    // Stopped: the counts are discarded by the caller.
    if (!count_keys(x, keys, made)) return std::vector<MatchCounts>(requests.size());
    return hand_out(requests, keys, made, x.size());
}

}  // namespace calculators
