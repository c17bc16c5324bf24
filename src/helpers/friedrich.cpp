// Drift polynomial of a series: the mean step x[i+1] - x[i] against the mean
// level x[i] in r quantile bins, fitted by minimum-norm least squares.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>

#include "helpers/series.h"
#include "numeric/constants.h"
#include "numeric/regression.h"
#include "numeric/stats.h"

namespace helpers {

namespace {

using numeric::EPS;
using numeric::NaN;

// The largest degree fitted. The one-sided Jacobi SVD of the K x (m + 1)
// design keeps an (m + 1) x (m + 1) rotation and costs O((K + m) m^2) per
// sweep, whatever the length of the series, so the degree must be bounded;
// this one keeps a fit within milliseconds for the usual few dozen bins. A
// larger m is answered with no coefficients at all, which every reader of
// the list takes as NaN.
constexpr std::uint64_t MAX_DEGREE = 64;

// Bin counts up to this (or up to four bins per sample) are cut at the
// floating-point quantile edges one by one. Beyond it every edge position is
// less than half a sample apart, and the bins are taken from the exact edge
// positions k (n - 1) / r instead of enumerating r + 1 edges.
constexpr std::uint64_t SCANNED_BINS = std::uint64_t{1} << 16;

struct Cut {
    std::vector<std::uint64_t> labels;    // bin of each value, in index order
    std::vector<std::uint64_t> occupied;  // the distinct labels, ascending
};

// Bin label (0 .. r-1) of every value of `signal`: bin 0 holds the lowest edge
// and the bins are the right-closed intervals between the r + 1 quantile
// edges. Nothing when an edge is not finite or two neighbouring edges are
// equal (a constant signal, a NaN or an infinity among the values).
std::optional<Cut> qcut_labels(std::span<const double> signal, std::uint64_t r) {
    const std::size_t n = signal.size();
    // The total-order-sorted copy, with the position each value came from
    // (equal keys are identical bits: the values are stats::sort_total's).
    std::vector<std::pair<std::int64_t, std::size_t>> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = {stats::total_order_key(signal[i]), i};
    std::sort(order.begin(), order.end());
    // The sorted values come from the keys, not from a second read of the
    // signal: labels and bins then agree even when another thread changes
    // the samples meanwhile.
    std::vector<double> sorted(n);
    for (std::size_t j = 0; j < n; ++j) sorted[j] = stats::from_total_order_key(order[j].first);
    // The outer edges are the extremes: any NaN or infinity lands on one.
    if (!std::isfinite(sorted.front()) || !std::isfinite(sorted.back())) return std::nullopt;
    // One value makes every edge the same.
    if (n == 1) return std::nullopt;

    // Label of the value at each sorted position.
    std::vector<std::uint64_t> label_at(n);
    if (r <= std::max<std::uint64_t>(SCANNED_BINS, std::uint64_t{4} * n)) {
        // Edge e lies below sorted[j] exactly when j >= the first index above
        // e: count the edges at that index, and the prefix sums give the
        // number of edges below each value whatever the order of the edges.
        std::vector<std::uint64_t> below(n + 1, 0);
        double prev = 0.0;
        for (std::uint64_t k = 0; k <= r; ++k) {
            const double q = k == r ? 1.0 : static_cast<double>(k) / static_cast<double>(r);
            const double e = stats::quantile_sorted(sorted, q);
            if (!std::isfinite(e) || (k > 0 && e == prev)) return std::nullopt;
            prev = e;
            ++below[static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), e) - sorted.begin())];
        }
        std::uint64_t acc = 0;
        for (std::size_t j = 0; j < n; ++j) {
            acc += below[j];
            label_at[j] = sorted[j] == sorted[0] ? 0 : std::min(acc - 1, r - 1);
        }
    } else {
        // With r >= 2 (n - 1) every closed unit interval of positions holds two
        // neighbouring edges, so two equal neighbours fail the cut, and
        // distinct values each fall into their own bin: sorted[j] lies above
        // exactly the edges k < j r / (n - 1).
        for (std::size_t j = 0; j + 1 < n; ++j)
            if (sorted[j] == sorted[j + 1]) return std::nullopt;
        const auto span = static_cast<unsigned __int128>(n - 1);
        label_at[0] = 0;
        for (std::size_t j = 1; j < n; ++j) {
            const unsigned __int128 scaled = static_cast<unsigned __int128>(j) * r;
            label_at[j] = static_cast<std::uint64_t>((scaled + span - 1) / span) - 1;
        }
    }

    Cut cut;
    cut.labels.resize(n);
    for (std::size_t j = 0; j < n; ++j) cut.labels[order[j].second] = label_at[j];
    // Labels never decrease along the sorted values.
    std::unique_copy(label_at.begin(), label_at.end(), std::back_inserter(cut.occupied));
    return cut;
}

}  // namespace

std::vector<double> estimate_friedrich_coefficients(std::span<const double> x, std::uint64_t m, std::uint64_t r) {
    // Too high a degree to fit: no coefficients (every one of them reads as NaN).
    if (m > MAX_DEGREE) return {};
    const std::size_t terms = static_cast<std::size_t>(m) + 1;
    std::vector<double> failed(terms, NaN);
    // A constant has no drift to fit; one sample has no step.
    if (m == 0 || x.size() < 2) return failed;
    if (r == 0) return failed;

    // The last sample only ends the last step.
    const std::span<const double> signal = x.first(x.size() - 1);
    const auto cut = qcut_labels(signal, r);
    if (!cut) return failed;

    // One point per occupied bin, in bin order.
    const std::vector<std::uint64_t>& bins = cut->occupied;
    const std::size_t k_points = bins.size();
    std::vector<double> count(k_points, 0.0), level(k_points, 0.0), drift(k_points, 0.0);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const auto at = std::lower_bound(bins.begin(), bins.end(), cut->labels[i]);
        const auto b = static_cast<std::size_t>(at - bins.begin());
        count[b] += 1.0;
        level[b] += signal[i];
        drift[b] += x[i + 1] - x[i];
    }

    // Vandermonde rows, highest power first, each column scaled to unit norm.
    regression::Matrix v{std::vector<double>(k_points * terms), k_points, terms};
    std::vector<double> y(k_points);
    for (std::size_t i = 0; i < k_points; ++i) {
        const double xi = level[i] / count[i];
        y[i] = drift[i] / count[i];
        double power = 1.0;
        for (std::size_t j = terms; j-- > 0;) {
            v(i, j) = power;
            power *= xi;
        }
    }
    // A power or a column's sum of squares that overflows leaves nothing to
    // fit (scaling would turn it into zeros or NaN and the solver into
    // confident zeros).
    if (!stats::all_finite(v.data)) return failed;
    std::vector<double> scale(terms);
    for (std::size_t j = 0; j < terms; ++j) {
        double ss = -0.0;
        for (std::size_t i = 0; i < k_points; ++i) ss += v(i, j) * v(i, j);
        if (!std::isfinite(ss)) return failed;
        scale[j] = ss == 0.0 ? 1.0 : std::sqrt(ss);
        for (std::size_t i = 0; i < k_points; ++i) v(i, j) = v(i, j) / scale[j];
    }

    const auto beta = regression::svd_lstsq(v, y, static_cast<double>(k_points) * EPS);
    if (!beta) return failed;
    std::vector<double> out(terms);
    for (std::size_t j = 0; j < terms; ++j) out[j] = (*beta)[j] / scale[j];
    return out;
}

}  // namespace helpers
