#include "numeric/cwt.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "numeric/constants.h"
#include "numeric/stats.h"

namespace cwt {

namespace {

using numeric::NaN;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// A non-negative double as an unsigned count, truncated, with saturation:
// NaN and negative values give 0, values from 2^64 up the largest count.
std::uint64_t to_count(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return U64_MAX;
    return static_cast<std::uint64_t>(v);
}

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) { return a > U64_MAX - b ? U64_MAX : a + b; }

// ---- Convolution kernel ------------------------------------------------------
//
// Outputs are computed in tiles; within a tile the filter is walked from its
// last entry read to its first, and every output of the tile takes its term
// for that entry in one vector pass. For one output k, descending entries m
// are ascending series indices i = k - m, so each lane adds in the order of
// the full convolution.
//
// The full convolution skips zero samples. With finite filter entries (all
// wavelets here) their terms are +-0.0, which change no sum: a sum that
// starts at +0.0 is never -0.0, and s + (+-0.0) = s for any other s. So the
// lanes add them instead of testing for them.

constexpr std::uint64_t TILE = 512;

#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
// One copy of the kernel per instruction set, chosen at load time (ifunc).
#define CWT_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define CWT_CLONES
#endif

// out[k - k0] for k in [k0, k1) += f[m] * x[k - m], m from m_hi down to m_lo
// (those that reach x); `fm` points at entry m_lo.
CWT_CLONES void tile_terms(const double* __restrict x, std::uint64_t n, const double* __restrict fm,
                           std::uint64_t m_lo, std::uint64_t m_hi, std::uint64_t k0, std::uint64_t k1,
                           double* __restrict out) {
    for (std::uint64_t m = m_hi + 1; m-- > m_lo;) {
        // Outputs k with 0 <= k - m < n.
        const std::uint64_t lo = std::max(k0, m);
        const std::uint64_t hi = std::min(k1, add_sat(m, n));
        if (lo >= hi) continue;
        const double f = fm[m - m_lo];
        const double* xs = x + (lo - m);
        double* o = out + (lo - k0);
        const std::uint64_t len = hi - lo;
        for (std::uint64_t j = 0; j < len; ++j) o[j] = f * xs[j] + o[j];
    }
}

}  // namespace

std::vector<double> convolve_full(Series a, Series b) {
    if (a.empty() || b.empty()) return {};
    std::vector<double> out(a.size() + b.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == 0.0) continue;
        for (std::size_t j = 0; j < b.size(); ++j) out[i + j] = b[j] * a[i] + out[i + j];
    }
    return out;
}

std::uint64_t window_filter_first(std::uint64_t n, std::uint64_t k0) { return k0 >= n ? k0 - (n - 1) : 0; }

std::uint64_t window_filter_last(std::uint64_t size, std::uint64_t k1) { return std::min(size, k1) - 1; }

void convolve_window(Series x, const FilterPart& f, std::uint64_t k0, std::span<double> out) {
    std::fill(out.begin(), out.end(), 0.0);
    const std::uint64_t n = x.size();
    if (n == 0 || f.size == 0) return;
    for (std::uint64_t t0 = 0; t0 < out.size(); t0 += TILE) {
        const std::uint64_t tk0 = k0 + t0;
        const std::uint64_t tk1 = tk0 + std::min<std::uint64_t>(TILE, out.size() - t0);
        const std::uint64_t m_lo = window_filter_first(n, tk0);
        const std::uint64_t m_hi = window_filter_last(f.size, tk1);
        if (m_lo > m_hi) continue;
        tile_terms(x.data(), n, f.values.data() + (m_lo - f.first), m_lo, m_hi, tk0, tk1, out.data() + t0);
    }
}

// ---- Mexican hat ----------------------------------------------------------------

const Grid& int_psi_grid() {
    // A function-local static: built once, concurrent first callers wait,
    // and a build that throws leaves it to be built by the next caller.
    static const Grid grid = [] {
        Grid g{};
        g.step = GRID_STEP;
        double s = 0.0;
        for (std::size_t k = 0; k < GRID_POINTS; ++k) {
            const double x = static_cast<double>(k) * GRID_STEP + (-8.0);
            const double x2 = x * x;
            s += ((1.0 - x2) * 0.8673250705840776) * std::exp(x2 * -0.5);
            g.values[k] = s * GRID_STEP;
        }
        return g;
    }();
    return grid;
}

namespace {

// The grid index of resampling point i: floor(i / divisor), a NaN or
// negative quotient giving 0.
std::uint64_t grid_index(std::uint64_t i, double divisor) {
    return to_count(std::floor(static_cast<double>(i) / divisor));
}

}  // namespace

MexhFilter::MexhFilter(double a) {
    // An infinite width would resample the first grid value forever.
    if (!(a > 0.0) || std::isinf(a)) return;
    const std::uint64_t count = to_count(std::ceil(a * 16.0 + 1.0));
    divisor_ = GRID_STEP * a;
    // The indices never decrease: the filter ends at the first index past
    // the grid, found by bisection over [0, count).
    std::uint64_t lo = 0, hi = count;
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        if (grid_index(mid, divisor_) >= GRID_POINTS)
            hi = mid;
        else
            lo = mid + 1;
    }
    size_ = lo;
}

double MexhFilter::at(std::uint64_t m) const {
    return int_psi_grid().values[grid_index(size_ - 1 - m, divisor_)];
}

void MexhFilter::fill(std::uint64_t first, std::span<double> out) const {
    const Grid& g = int_psi_grid();
    for (std::size_t j = 0; j < out.size(); ++j) out[j] = g.values[grid_index(size_ - 1 - (first + j), divisor_)];
}

namespace {

// The row's length and where it starts in the differenced convolution:
// centred on n values, or everything (n - 1 values) for a one-entry filter.
struct Trim {
    std::uint64_t offset, length;
};
Trim mexh_trim(std::uint64_t n, std::uint64_t size) {
    if (size >= 2) return {(size - 2) / 2, n};
    return {0, n - 1};
}

}  // namespace

std::vector<double> mexh_cwt_at(Series x, double a, std::span<const std::uint64_t> coeffs) {
    std::vector<double> out(coeffs.size(), NaN);
    const std::uint64_t n = x.size();
    if (n == 0) return out;
    const MexhFilter filter(a);
    if (filter.size() == 0) return out;
    const Trim trim = mexh_trim(n, filter.size());
    // Only coefficients inside the row; coeffs ascend, so they are a prefix.
    const std::size_t count = std::lower_bound(coeffs.begin(), coeffs.end(), trim.length) - coeffs.begin();
    if (count == 0) return out;
    // Coefficient c is the difference of convolution outputs off + c and
    // off + c + 1. Every output needed lies in [off, off + length], and the
    // filter entries they read in at most 2n + 1 consecutive entries: fill
    // those once.
    const std::uint64_t k_first = trim.offset + coeffs[0];
    const std::uint64_t k_end = trim.offset + coeffs[count - 1] + 2;
    const std::uint64_t f_first = window_filter_first(n, k_first);
    const std::uint64_t f_last = window_filter_last(filter.size(), k_end);
    std::vector<double> entries(f_last - f_first + 1);
    filter.fill(f_first, entries);
    const FilterPart part{filter.size(), f_first, entries};
    const double scale = -std::sqrt(a);
    std::vector<double> conv;
    // Runs of coefficients whose outputs touch or overlap share one window.
    for (std::size_t r0 = 0; r0 < count;) {
        std::size_t r1 = r0 + 1;
        while (r1 < count && coeffs[r1] <= coeffs[r1 - 1] + 2) ++r1;
        const std::uint64_t c0 = coeffs[r0];
        conv.resize(coeffs[r1 - 1] - c0 + 2);
        convolve_window(x, part, trim.offset + c0, conv);
        for (std::size_t r = r0; r < r1; ++r) {
            const std::uint64_t j = coeffs[r] - c0;
            out[r] = (conv[j + 1] - conv[j]) * scale;
        }
        r0 = r1;
    }
    return out;
}

std::vector<double> mexh_cwt_row(Series x, double a) {
    const MexhFilter filter(a);
    if (filter.size() == 0) return std::vector<double>(x.size(), NaN);
    if (x.empty()) return {};
    std::vector<std::uint64_t> all(mexh_trim(x.size(), filter.size()).length);
    std::iota(all.begin(), all.end(), std::uint64_t{0});
    return mexh_cwt_at(x, a, all);
}

Matrix mexh_cwt(Series x, std::span<const double> widths) {
    Matrix rows;
    rows.reserve(widths.size());
    for (double a : widths) rows.push_back(x.empty() ? std::vector<double>{} : mexh_cwt_row(x, a));
    return rows;
}

// ---- Ricker -------------------------------------------------------------------------

std::vector<double> ricker_row(Series x, double w) {
    const std::uint64_t len = x.size();
    const std::uint64_t size = std::min(to_count(10.0 * w), len);
    std::vector<double> row(len, 0.0);
    if (size == 0) return row;
    const double amplitude = 2.0 / (std::sqrt(3.0 * w) * 1.3313353638003897);
    const double centre = (static_cast<double>(size) - 1.0) * 0.5;
    const double w2 = w * w;
    std::vector<double> kernel(size);
    for (std::uint64_t i = 0; i < size; ++i) {
        const double d = static_cast<double>(i) - centre;
        const double t = d * d;
        kernel[i] = std::exp(-t / (w2 + w2)) * ((1.0 - t / w2) * amplitude);
    }
    // Convolving applies the kernel reversed; it is symmetric, but the
    // reversal keeps that true to the bit whatever the rounding.
    std::reverse(kernel.begin(), kernel.end());
    convolve_window(x, {size, 0, kernel}, (size - 1) / 2, row);
    return row;
}

Matrix ricker_cwt(Series x, std::span<const double> widths) {
    Matrix rows;
    rows.reserve(widths.size());
    for (double w : widths) rows.push_back(ricker_row(x, w));
    return rows;
}

void relative_maxima(Series row, std::vector<std::uint64_t>& cols) {
    cols.clear();
    for (std::size_t i = 1; i + 1 < row.size(); ++i)
        if (row[i] > row[i - 1] && row[i] > row[i + 1]) cols.push_back(i);
}

// ---- Ridge lines ------------------------------------------------------------------

namespace {

// Links the maxima of rows fed from the highest row down into ridge lines.
// Line is Ridge (every point kept) or RidgeHead (what the count reads); both
// provide start, extend, last and gap.
template <class Line>
class RidgeLinker {
public:
    explicit RidgeLinker(double gap_thresh) : gap_thresh_(gap_thresh) {}

    // Row r with its maxima `cols` (ascending) and values `row`; `done`
    // receives each line closed here, in the order it is closed.
    template <class Done>
    void add_row(std::uint64_t r, std::span<const std::uint64_t> cols, Series row, double max_distance,
                 Done&& done) {
        if (!started_) {
            // The first row with a maximum starts one line per maximum.
            for (std::uint64_t c : cols) lines_.push_back(Line::start(r, c, row[c]));
            started_ = !cols.empty();
            return;
        }
        for (Line& line : lines_) ++line.gap;
        // The last columns before this row, sorted (with the list position
        // breaking ties), are the only candidates: lines started in this row
        // are not, while one line may be extended by several maxima.
        ends_.clear();
        for (std::size_t i = 0; i < lines_.size(); ++i) ends_.push_back({lines_[i].last(), i});
        std::sort(ends_.begin(), ends_.end());
        for (std::uint64_t c : cols) {
            const auto [index, distance] = nearest(c);
            if (index < lines_.size() && max_distance >= static_cast<double>(distance))
                lines_[index].extend(r, c, row[c]);
            else
                lines_.push_back(Line::start(r, c, row[c]));
        }
        // Close lines whose gap exceeds the threshold, from the last to the
        // first; the others keep their order.
        for (std::size_t i = lines_.size(); i-- > 0;)
            if (closes(lines_[i])) done(lines_[i]);
        std::erase_if(lines_, [this](const Line& line) { return closes(line); });
    }

    // The lines still open, in list order.
    template <class Done>
    void finish(Done&& done) {
        for (const Line& line : lines_) done(line);
        lines_.clear();
    }

private:
    using End = std::pair<std::uint64_t, std::size_t>;  // last column, list position

    bool closes(const Line& line) const { return static_cast<double>(line.gap) > gap_thresh_; }

    // The line whose last column is nearest to c, the first in list order
    // among equally near ones; a position past the list when there is none.
    std::pair<std::size_t, std::uint64_t> nearest(std::uint64_t c) const {
        const auto above = std::lower_bound(ends_.begin(), ends_.end(), End{c, 0});
        std::pair<std::size_t, std::uint64_t> best{U64_MAX, U64_MAX};
        if (above != ends_.end()) best = {above->second, above->first - c};
        if (above != ends_.begin()) {
            const std::uint64_t below = std::prev(above)->first;
            // The first in list order of the lines ending at `below`.
            const std::size_t index = std::lower_bound(ends_.begin(), above, End{below, 0})->second;
            const std::uint64_t distance = c - below;
            if (distance < best.second || (distance == best.second && index < best.first))
                best = {index, distance};
        }
        return best;
    }

    double gap_thresh_;
    bool started_ = false;
    std::vector<Line> lines_;
    std::vector<End> ends_;
};

// A Ridge as the linker builds it.
struct RidgeLine : Ridge {
    static RidgeLine start(std::uint64_t r, std::uint64_t c, double) {
        RidgeLine line;
        line.rows = {r};
        line.cols = {c};
        return line;
    }
    void extend(std::uint64_t r, std::uint64_t c, double) {
        rows.push_back(r);
        cols.push_back(c);
        gap = 0;
    }
    std::uint64_t last() const { return cols.back(); }
};

// What the count reads of a line: its number of points and its first point
// once finished (the lowest row, and there the first point added; rows
// arrive descending, so that is the first point of the latest row).
struct RidgeHead {
    std::uint64_t end, gap, points, row, col;
    double value;

    static RidgeHead start(std::uint64_t r, std::uint64_t c, double v) { return {c, 0, 1, r, c, v}; }
    void extend(std::uint64_t r, std::uint64_t c, double v) {
        end = c;
        gap = 0;
        ++points;
        if (r < row) {
            row = r;
            col = c;
            value = v;
        }
    }
    std::uint64_t last() const { return end; }
};

// The first point of a ridge line long enough to count: column and value.
using Head = std::pair<std::uint64_t, double>;

// Where v goes in `sorted` (ascending by the total order): before the first
// element not below it, or with `after`, after the last element not above it.
// Branch-free halving: the comparisons are unpredictable.
std::size_t rank(const std::vector<double>& sorted, double v, bool after) {
    const std::int64_t k = stats::total_order_key(v);
    const double* base = sorted.data();
    std::size_t n = sorted.size();
    if (n == 0) return 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        const std::int64_t m = stats::total_order_key(base[half - 1]);
        base = (after ? m <= k : m < k) ? base + half : base;
        n -= half;
    }
    const std::int64_t m = stats::total_order_key(*base);
    return static_cast<std::size_t>(base - sorted.data()) + ((after ? m <= k : m < k) ? 1 : 0);
}

// A window of the row held as a sorted copy: for small windows, where moving
// a few elements costs less than any tree.
class SortedWindow {
public:
    explicit SortedWindow(Series row) : row_(row) {}
    void add(std::uint64_t i) { sorted_.insert(sorted_.begin() + static_cast<std::ptrdiff_t>(rank(sorted_, row_[i], true)), row_[i]); }
    // Equal keys are identical bits: any element of equal key is the one leaving.
    void remove(std::uint64_t i) { sorted_.erase(sorted_.begin() + static_cast<std::ptrdiff_t>(rank(sorted_, row_[i], false))); }
    double kth(std::uint64_t k) const { return sorted_[k]; }

private:
    Series row_;
    std::vector<double> sorted_;
};

// A window of the row held as counts over the ranks of the whole row in the
// total order (a Fenwick tree): O(log len) to move by a sample or to find an
// order statistic, whatever the window's width.
class RankedWindow {
public:
    explicit RankedWindow(Series row) : row_(row), order_(row.size()), rank_(row.size()), tree_(row.size() + 1, 0) {
        std::vector<std::int64_t> keys(row.size());
        for (std::size_t i = 0; i < row.size(); ++i) keys[i] = stats::total_order_key(row[i]), order_[i] = i;
        std::sort(order_.begin(), order_.end(),
                  [&keys](std::uint64_t a, std::uint64_t b) { return keys[a] < keys[b] || (keys[a] == keys[b] && a < b); });
        for (std::size_t r = 0; r < order_.size(); ++r) rank_[order_[r]] = r;
    }
    void add(std::uint64_t i) { update(i, 1); }
    void remove(std::uint64_t i) { update(i, -1); }
    // The k-th smallest (from 0) of the window.
    double kth(std::uint64_t k) const {
        std::uint64_t pos = 0;
        for (std::uint64_t step = std::bit_floor(order_.size()); step > 0; step >>= 1) {
            if (pos + step <= order_.size() && static_cast<std::uint64_t>(tree_[pos + step]) <= k) {
                pos += step;
                k -= static_cast<std::uint64_t>(tree_[pos]);
            }
        }
        return row_[order_[pos]];
    }

private:
    void update(std::uint64_t i, std::int64_t delta) {
        for (std::uint64_t p = rank_[i] + 1; p < tree_.size(); p += p & (~p + 1)) tree_[p] += delta;
    }
    Series row_;
    std::vector<std::uint64_t> order_, rank_;
    std::vector<std::int64_t> tree_;
};

constexpr std::uint64_t SORTED_WINDOW_MAX = 256;

template <class Window>
std::vector<double> window_quantiles(Series row, std::span<const std::uint64_t> cols, std::uint64_t half,
                                     std::uint64_t odd) {
    Window window(row);
    std::vector<double> out;
    out.reserve(cols.size());
    std::uint64_t lo = 0, hi = 0;  // the window held: row[lo, hi)
    for (std::uint64_t c : cols) {
        const std::uint64_t next_lo = c > half ? c - half : 0;
        const std::uint64_t next_hi = std::min<std::uint64_t>(c + half + odd, row.size());
        // Columns ascend, so both ends only move right.
        for (std::uint64_t j = lo; j < std::min(next_lo, hi); ++j) window.remove(j);
        for (std::uint64_t j = std::max(hi, next_lo); j < next_hi; ++j) window.add(j);
        lo = next_lo;
        hi = next_hi;
        const std::uint64_t n = next_hi - next_lo;
        // quantile_sorted of the window: NaN when its largest is NaN.
        if (n == 0 || std::isnan(window.kth(n - 1))) {
            out.push_back(NaN);
            continue;
        }
        const stats::QuantilePosition at = stats::quantile_position(n, 0.1);
        const double xlo = window.kth(at.lo);
        out.push_back(stats::quantile_interpolate(at, xlo, at.hi == at.lo ? xlo : window.kth(at.hi)));
    }
    return out;
}

}  // namespace

std::vector<double> noise_floors(Series row0, std::span<const std::uint64_t> cols) {
    const std::uint64_t window = to_count(std::ceil(static_cast<double>(row0.size()) / 20.0));
    const std::uint64_t half = window / 2, odd = window % 2;
    return window <= SORTED_WINDOW_MAX ? window_quantiles<SortedWindow>(row0, cols, half, odd)
                                       : window_quantiles<RankedWindow>(row0, cols, half, odd);
}

namespace {

// For each list of heads, how many stand out of row 0's noise floor: at
// least as large in magnitude (NaN ratios do not; x / 0 does unless x is 0).
std::vector<std::uint64_t> count_standing_out(Series row0, std::span<const std::vector<Head>> lists) {
    std::vector<std::uint64_t> cols;
    for (const auto& heads : lists)
        for (const Head& h : heads) cols.push_back(h.first);
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    const std::vector<double> floors = noise_floors(row0, cols);
    std::vector<std::uint64_t> counts;
    for (const auto& heads : lists) {
        std::uint64_t passed = 0;
        for (const auto& [col, value] : heads) {
            const double noise = floors[std::lower_bound(cols.begin(), cols.end(), col) - cols.begin()];
            passed += std::fabs(value / noise) >= 1.0 ? 1 : 0;
        }
        counts.push_back(passed);
    }
    return counts;
}

double min_ridge_length(std::uint64_t n_widths) { return std::ceil(static_cast<double>(n_widths) * 0.25); }

}  // namespace

std::vector<Ridge> identify_ridge_lines(const Matrix& matrix, std::span<const double> max_distances,
                                        double gap_thresh) {
    RidgeLinker<RidgeLine> linker(gap_thresh);
    std::vector<Ridge> finished;
    const auto keep = [&finished](const RidgeLine& line) { finished.push_back(line); };
    std::vector<std::uint64_t> cols;
    for (std::size_t r = matrix.size(); r-- > 0;) {
        relative_maxima(matrix[r], cols);
        linker.add_row(r, cols, matrix[r], max_distances[r], keep);
    }
    linker.finish(keep);
    // Points were added row by row from the top: order them by ascending row,
    // those of one row in the order they were added.
    std::vector<std::size_t> order;
    for (Ridge& ridge : finished) {
        order.resize(ridge.rows.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&ridge](std::size_t a, std::size_t b) { return ridge.rows[a] < ridge.rows[b]; });
        Ridge sorted;
        sorted.gap = ridge.gap;
        for (std::size_t i : order) {
            sorted.rows.push_back(ridge.rows[i]);
            sorted.cols.push_back(ridge.cols[i]);
        }
        ridge = std::move(sorted);
    }
    return finished;
}

std::uint64_t filter_ridge_lines(const Matrix& matrix, std::span<const Ridge> ridges, std::uint64_t n_widths) {
    if (matrix.empty()) return 0;
    const double min_length = min_ridge_length(n_widths);
    std::vector<Head> heads;
    for (const Ridge& ridge : ridges)
        if (static_cast<double>(ridge.rows.size()) >= min_length)
            heads.push_back({ridge.cols[0], matrix[ridge.rows[0]][ridge.cols[0]]});
    return count_standing_out(matrix[0], std::span(&heads, 1))[0];
}

// ---- Peak count ---------------------------------------------------------------------

std::vector<double> cwt_peak_counts(Series x, std::span<const std::uint64_t> ns) {
    const std::uint64_t len = x.size();
    std::vector<double> out(ns.size(), 0.0);
    // The counts to compute, one search per distinct n; the rest are 0.0
    // (nothing to transform, or no sample that can be a maximum) or NaN
    // (above the cap, decided before anything is allocated).
    std::vector<std::uint64_t> searched;
    for (std::size_t i = 0; i < ns.size(); ++i) {
        if (ns[i] == 0 || len == 0) continue;
        if (ns[i] > PEAK_CELLS_CAP / len)
            out[i] = NaN;
        else if (len > 2)
            searched.push_back(ns[i]);
    }
    if (searched.empty()) return out;
    std::sort(searched.begin(), searched.end());
    searched.erase(std::unique(searched.begin(), searched.end()), searched.end());

    struct Search {
        std::uint64_t n;
        double min_length;
        RidgeLinker<RidgeHead> linker;
        std::vector<Head> heads;  // first points of lines long enough to count
    };
    std::vector<Search> searches;
    searches.reserve(searched.size());
    // The gap threshold is ceil of the narrowest width, 1.
    for (std::uint64_t n : searched) searches.push_back({n, min_ridge_length(n), RidgeLinker<RidgeHead>(1.0), {}});

    // Rows do not depend on n: each is computed once, from the widest down,
    // and fed to every search that reaches it; only one row is held.
    std::vector<double> row;
    std::vector<std::uint64_t> cols;
    for (std::uint64_t r = searched.back(); r-- > 0;) {
        const double w = static_cast<double>(r + 1);
        row = ricker_row(x, w);
        relative_maxima(row, cols);
        for (Search& s : searches) {
            if (s.n <= r) continue;
            s.linker.add_row(r, cols, row, w * 0.25, [&s](const RidgeHead& line) {
                if (static_cast<double>(line.points) >= s.min_length) s.heads.push_back({line.col, line.value});
            });
        }
    }
    std::vector<std::vector<Head>> heads;
    for (Search& s : searches) {
        s.linker.finish([&s](const RidgeHead& line) {
            if (static_cast<double>(line.points) >= s.min_length) s.heads.push_back({line.col, line.value});
        });
        heads.push_back(std::move(s.heads));
    }
    // `row` is row 0 now, the row of the noise floor.
    const std::vector<std::uint64_t> counts = count_standing_out(row, heads);
    for (std::size_t i = 0; i < ns.size(); ++i) {
        if (ns[i] == 0 || len <= 2 || std::isnan(out[i])) continue;
        const auto at = std::lower_bound(searched.begin(), searched.end(), ns[i]) - searched.begin();
        out[i] = static_cast<double>(counts[at]);
    }
    return out;
}

double cwt_peak_count(Series x, std::uint64_t n) { return cwt_peak_counts(x, std::span(&n, 1))[0]; }

}  // namespace cwt
