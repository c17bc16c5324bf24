// The quantile cut of the drift fit: r + 1 edges judged a run at a time, so
// that its cost follows the series, never the bin count.
#include "helpers/quantile_cut.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace helpers {

namespace {

using numeric::EPS;

// Runs of edges that neither the count of doubles between their ends nor the
// rounding bound decides are compared edge by edge, up to this many edges in
// a call or 8 per sample, whichever is more; a cut that needs more is not
// made and the fit is NaN. All r + 1 edges fit within it up to that many, so
// the cap only applies to bin counts beyond 2^20 and 8 per sample.
constexpr std::uint64_t CHECKED_EDGES = std::uint64_t{1} << 20;

using Wide = unsigned __int128;

// The smallest positive double (twice the error of a product that
// underflows) and the unit roundoff.
constexpr double TINY = std::numeric_limits<double>::denorm_min();
constexpr double UNIT_ROUNDOFF = EPS / 2.0;

// How many doubles lie in [a, b] (a <= b by the total order).
Wide doubles_between(double a, double b) {
    return static_cast<Wide>(static_cast<__int128>(stats::total_order_key(b)) -
                             static_cast<__int128>(stats::total_order_key(a))) + 1;
}

// The r + 1 quantile edges of a sorted finite series, e_k =
// stats::quantile_sorted(sorted, k / r) (k = r: 1.0), read on demand. Along k
// the position (n - 1) k / r never decreases, nor does the order statistic
// below it, and between two neighbouring order statistics (one run) the
// edges never decrease either; across runs they may (the difference of the
// two statistics is rounded).
class Edges {
public:
    // An edge's index with its position among the order statistics.
    struct Point {
        std::uint64_t k;
        stats::QuantilePosition at;
    };

    Edges(std::span<const double> sorted, std::uint64_t r) : sorted_(sorted), r_(r), top_(point(r)) {}

    double q(std::uint64_t k) const {
        return k >= r_ ? 1.0 : static_cast<double>(k) / static_cast<double>(r_);
    }
    Point point(std::uint64_t k) const { return {k, stats::quantile_position(sorted_.size(), q(k))}; }
    double value(const Point& p) const {
        return stats::quantile_interpolate(p.at, sorted_[p.at.lo], sorted_[p.at.hi]);
    }
    double at(std::uint64_t k) const { return value(point(k)); }

    // The last edge of the run that starts at `from` (the order statistic
    // below it is lo - 1), and the first edge past it, whose order statistic
    // is at least lo (the top edge's always is): a gallop out from the exact
    // position's guess, which rounding moves by a few edges at most, then a
    // bisection.
    std::pair<Point, Point> run_end(std::size_t lo, const Point& from) const {
        Point below = from, above = top_;
        const auto probe = [&](std::uint64_t k) {
            const Point p = point(k);
            const bool reaches = p.at.lo >= lo;
            (reaches ? above : below) = p;
            return reaches;
        };
        const Wide span = sorted_.size() - 1;
        const Wide exact = (static_cast<Wide>(lo) * r_ + span - 1) / span;
        const bool up = !probe(static_cast<std::uint64_t>(std::clamp<Wide>(exact, Wide{from.k} + 1, r_)));
        for (std::uint64_t step = 1; above.k - below.k > step; step = step >> 63 ? ~std::uint64_t{0} : 2 * step)
            if (probe(up ? below.k + step : above.k - step) == up) break;
        while (above.k - below.k > 1) probe(below.k + (above.k - below.k) / 2);
        return {below, above};
    }

private:
    std::span<const double> sorted_;
    std::uint64_t r_;
    Point top_;
};

// Whether rounding alone cannot merge two neighbouring edges of the run
// between sorted values a and a + d (d = their rounded difference) at lo.
// Each edge is within B of a + d ((n - 1) k / r - lo): the position carries
// four roundings (k, r, the quotient and the product by n - 1), then d times
// the fraction and the sum one each. Edges (n - 1) / r apart times d are
// then in strictly increasing order whenever that spacing exceeds 2 B.
//
// The margins: the position's four roundings err by at most
// (1 + u)^4 - 1 < 4.01 u; the two edges' bounds take a twentieth more for
// the rounding of the bound's own arithmetic; and where the products
// underflow, each edge's errs by at most a few TINY.
constexpr double POSITION_ROUNDINGS = 4.01;
constexpr double TWO_EDGES = 2.1;
constexpr double UNDERFLOW_MARGIN = 8.0 * TINY;

bool certainly_strict(double a, double d, std::size_t lo, std::size_t n, std::uint64_t r) {
    const double bound =
        UNIT_ROUNDOFF * (d * (POSITION_ROUNDINGS * (static_cast<double>(lo) + 1.0) + 3.0) + std::fabs(a));
    const double spacing = d * (static_cast<double>(n - 1) / static_cast<double>(r));
    return spacing > TWO_EDGES * bound + UNDERFLOW_MARGIN;
}

}  // namespace

// The edges are taken a run at a time: a run between two neighbouring order
// statistics is decided by its ends (more edges than distinct doubles at some
// stage of the formula: two neighbours are equal; spaced beyond the rounding
// error: none are), or else checked edge by edge within the budget. So the
// cost follows the number of samples, never r.
std::optional<QuantileCut> qcut_labels(std::span<const double> signal, std::uint64_t r) {
    const std::size_t n = signal.size();
    if (n == 0 || r == 0) return std::nullopt;
    // The total-order-sorted copy, with the position each value came from
    // (equal keys are identical bits: the values are stats::sort_total's).
    std::vector<std::int64_t> keys(n);
    std::vector<std::uint64_t> position(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = stats::total_order_key(signal[i]), position[i] = i;
    stats::sort_keys_with_positions(keys, position);
    // Each pass below over 10^7 samples takes a good part of a second: a
    // stop request is seen within them (the fit is then discarded).
    interrupt::Stride stride(std::uint64_t{1} << 16);
    if (stride(n)) return std::nullopt;
    // The sorted values come from the keys, not from a second read of the
    // signal: labels and bins then agree even when another thread changes
    // the samples meanwhile.
    std::vector<double> sorted(n);
    for (std::size_t j = 0; j < n; ++j) sorted[j] = stats::from_total_order_key(keys[j]);
    // The outer edges are the extremes: any NaN or infinity lands on one.
    if (!std::isfinite(sorted.front()) || !std::isfinite(sorted.back())) return std::nullopt;
    // One value makes every edge the same.
    if (n == 1) return std::nullopt;
    // From 2^55 on, integers convert to doubles 8 or more apart: of the
    // last three edges' k (r - 2, r - 1, r) two neighbours convert alike, and
    // their edges are equal (k = r - 1 as r gives 1.0, as k = r does).
    if (r >= std::uint64_t{1} << 55) return std::nullopt;

    const Edges edges(sorted, r);
    // below[j]: the edges whose first sorted value above them is sorted[j]
    // (j = n: none is above); the edges below sorted[j] are then the prefix
    // sum, whatever the order of the edges.
    std::vector<std::uint64_t> below(n + 1, 0);
    // The first sorted value above e, given sorted[from - 1] <= e: a gallop
    // up from `from`, as an edge lies a sample or two above its run's start.
    const auto first_above = [&](double e, std::size_t from) {
        std::size_t below_end = from, end = from;
        for (std::size_t step = 1; end < n && !(e < sorted[end]); step *= 2) {
            below_end = end + 1;
            end = std::min(n, end + step);
        }
        return static_cast<std::size_t>(std::upper_bound(sorted.begin() + below_end, sorted.begin() + end, e) -
                                        sorted.begin());
    };
    // The edges first .. last of the run from sorted[lo], whose values never
    // decrease (and are not below sorted[lo]).
    const auto count_run = [&](auto&& self, std::size_t lo, std::uint64_t first, double e_first,
                               std::uint64_t last, double e_last) -> void {
        const std::size_t at = first_above(e_first, lo + 1);
        if (at == first_above(e_last, lo + 1)) {
            below[at] += last - first + 1;
            return;
        }
        const std::uint64_t mid = first + (last - first) / 2;
        self(self, lo, first, e_first, mid, edges.at(mid));
        self(self, lo, mid + 1, edges.at(mid + 1), last, e_last);
    };

    const std::uint64_t budget = std::max<std::uint64_t>(CHECKED_EDGES, std::uint64_t{8} * n);
    std::uint64_t checked = 0;
    double previous = 0.0;  // the last edge of the run before
    Edges::Point start = edges.point(0), next{};
    for (;;) {
        if (stride()) return std::nullopt;
        const std::size_t lo = start.at.lo;
        const std::uint64_t first = start.k;
        // The run ends before the first edge past the next order statistic;
        // edges at the last one all equal it.
        Edges::Point end{};
        if (lo + 1 < n)
            std::tie(end, next) = edges.run_end(lo + 1, start);
        else
            end = edges.point(r);
        const std::uint64_t last = end.k;
        const std::uint64_t length = last - first + 1;
        const double e_first = edges.value(start), e_last = length == 1 ? e_first : edges.value(end);
        // Neighbours across runs, then the ends: the run lies between them.
        if (!std::isfinite(e_first) || !std::isfinite(e_last)) return std::nullopt;
        if (first > 0 && e_first == previous) return std::nullopt;
        if (length > 1 && e_first == e_last) return std::nullopt;
        if (length > 2 && lo + 1 < n &&
            !certainly_strict(sorted[lo], sorted[lo + 1] - sorted[lo], lo, n, r)) {
            // More edges than distinct values at any stage of the formula
            // (k / r, its position, the edge): two neighbours are equal.
            const Wide distinct = std::min({doubles_between(edges.q(first), edges.q(last)),
                                            doubles_between(start.at.pos, end.at.pos),
                                            doubles_between(e_first, e_last)});
            if (length > distinct) return std::nullopt;
            // Else only the edges themselves tell.
            if (length > budget - checked) return std::nullopt;
            checked += length;
            double e = e_first;
            for (std::uint64_t k = first + 1; k <= last; ++k) {
                const double e_k = edges.at(k);
                if (e_k == e) return std::nullopt;
                e = e_k;
            }
        }
        count_run(count_run, lo, first, e_first, last, e_last);
        previous = e_last;
        if (last == r) break;
        start = next;
    }

    // Label of the value at each sorted position.
    std::vector<std::uint64_t> label_at(n);
    std::uint64_t acc = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (stride()) return std::nullopt;
        acc += below[j];
        label_at[j] = sorted[j] == sorted[0] ? 0 : std::min(acc - 1, r - 1);
    }

    QuantileCut cut;
    cut.labels.resize(n);
    for (std::size_t j = 0; j < n; ++j) cut.labels[position[j]] = label_at[j];
    // Labels never decrease along the sorted values.
    std::unique_copy(label_at.begin(), label_at.end(), std::back_inserter(cut.occupied));
    return cut;
}

}  // namespace helpers
