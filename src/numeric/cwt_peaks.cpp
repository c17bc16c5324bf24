#include "numeric/cwt_peaks.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "numeric/constants.h"
#include "numeric/interrupt.h"
#include "numeric/order_windows.h"
#include "numeric/to_count.h"

namespace cwt {

namespace {

using numeric::NaN;
using numeric::to_count;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();
// pi^(1/4), of the Ricker wavelet's unit-energy amplitude 2 / (sqrt(3 w) pi^(1/4)).
constexpr double PI_FOURTH_ROOT = 1.3313353638003897;

}  // namespace

// ---- Ricker -------------------------------------------------------------------------

std::vector<double> ricker_row(Series x, double w) {
    const std::uint64_t len = x.size();
    const std::uint64_t size = std::min(to_count(10.0 * w), len);
    std::vector<double> row(len, 0.0);
    if (size == 0) return row;
    const double amplitude = 2.0 / (std::sqrt(3.0 * w) * PI_FOURTH_ROOT);
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

}  // namespace

std::vector<double> noise_floors(Series row0, std::span<const std::uint64_t> cols) {
    const std::uint64_t window = to_count(std::ceil(static_cast<double>(row0.size()) / 20.0));
    const std::uint64_t half = window / 2, odd = window % 2;
    return stats::window_quantiles(row0, cols, half, odd, 0.1);
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
    // The rows can take minutes in all: a stop request ends the search
    // between two rows (a row costs at least len; the counts are then
    // discarded).
    interrupt::Stride stride(std::uint64_t{1} << 16);
    for (std::uint64_t r = searched.back(); r-- > 0;) {
        if (stride(len)) return out;
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
