#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "numeric/cwt.h"
#include "numeric/stats.h"
#include "test_util.h"

namespace {

// The defining sum, the kernel's oracle: out[i + j] = b[j] * a[i] + out[i + j]
// for ascending i, zero samples skipped.
std::vector<double> direct_convolution(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> out(a.size() + b.size() - 1, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != 0.0)
            for (std::size_t j = 0; j < b.size(); ++j) out[i + j] = b[j] * a[i] + out[i + j];
    return out;
}

// numpy.convolve([1, 2, 3], [0, 1, 0.5]); a zero sample against an infinite
// entry is skipped (numpy would give NaN there). Then every window, tiles
// crossed and filter entries given only where the window reads them, has the
// bits of the defining sum: zero samples, NaN and inf ones, a zero filter
// entry (0 * inf is a NaN term) and an infinite one.
TEST(Cwt, ConvolutionWindowsHaveTheBitsOfTheDefiningSum) {
    EXPECT_EQ(cwt::convolve_full(std::vector<double>{1, 2, 3}, std::vector<double>{0, 1, 0.5}),
              (std::vector<double>{0, 1, 2.5, 4, 1.5}));
    EXPECT_EQ(cwt::convolve_full(std::vector<double>{0, 1}, std::vector<double>{INF, 1}),
              (std::vector<double>{0, INF, 1}));
    for (std::size_t n : {1, 9, 1300}) {
        for (std::size_t size : {1, 4, 41, 1700}) {
            std::vector<double> x = noise(n, static_cast<unsigned>(n + size));
            for (std::size_t i = 0; i < n; i += 5) x[i] = 0.0;
            if (n > 8) x[3] = -5e-324, x[6] = -0.0, x[7] = NaN, x[8] = INF;  // x[3] * f may underflow to -0.0
            std::vector<double> f = noise(size, 7);
            f[0] = 0.0;
            if (size == 41) f[20] = -INF;
            const std::vector<double> full = direct_convolution(x, f);
            const std::vector<double> got = cwt::convolve_full(x, f);
            ASSERT_EQ(got.size(), full.size());
            for (std::size_t k = 0; k < full.size(); ++k) ASSERT_TRUE(same(got[k], full[k])) << n << " " << size << " " << k;
            for (auto [k0, k1] : {std::pair<std::size_t, std::size_t>{full.size() / 3, std::min(full.size() / 3 + 2, full.size())},
                                  {full.size() - 1, full.size()}, {full.size() / 2, full.size()}}) {
                const std::uint64_t first = cwt::window_filter_first(n, k0), last = cwt::window_filter_last(size, k1);
                const std::vector<double> part(f.begin() + first, f.begin() + last + 1);
                std::vector<double> out(k1 - k0);
                cwt::convolve_window(x, {size, first, part}, k0, out);
                for (std::size_t k = k0; k < k1; ++k)
                    ASSERT_TRUE(same(out[k - k0], full[k])) << n << " " << size << " " << k;
            }
        }
    }
}

void expect_close(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    double scale = 0.0;
    for (double v : want) scale = std::max(scale, std::fabs(v));
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-13 * scale) << i;
}

const std::vector<double> X6{1.0, 2.0, 0.0, -1.0, 3.0, 0.5};

// Rows of X6 from numpy by the integrated-wavelet method itself: X =
// arange(4096) * 16/4095 - 8, grid = cumsum((1 - X**2) * 2/(sqrt(3) pi**0.25)
// * exp(-X**2/2)) * 16/4095, filter = grid[j][::-1] for j = floor(arange(ceil(
// 16 a + 1)) / (16/4095 a)) below 4096, row = -sqrt(a) * diff(convolve(x,
// filter)) trimmed to its centre (width 0.05: one entry, a row one short).
TEST(Cwt, MexicanHatRowsMatchADirectComputation) {
    const std::vector<double> w1{-0.03263457611377851, 1.7002786359314506, 0.4210597632339088,
                                 -2.2920306928581216, 0.4672172903323736, 2.076160241206293};
    const std::vector<double> w005{6.045748926188665e-16, -1.209149785237733e-15, -6.045748926188665e-16,
                                   2.418299570475466e-15, -1.5114372315471665e-15};
    const std::vector<double> w25{0.4745892661753454, 0.8145060181431434, 0.9259719413212892,
                                  0.9623718079762229, 0.9741016516375419, 0.8544723155694613};
    expect_close(cwt::mexh_cwt_row(X6, 1.0), w1);
    expect_close(cwt::mexh_cwt_row(X6, 0.05), w005);
    // One row per width in order, duplicates again; a width <= 0 or NaN gives
    // NaN rows, an empty series empty rows.
    const cwt::Matrix m = cwt::mexh_cwt(X6, std::vector<double>{2.5, 0.0, NaN, 2.5});
    ASSERT_EQ(m.size(), 4u);
    expect_close(m[0], w25);
    EXPECT_TRUE(same_bits(m[3], m[0]));
    for (const auto& row : {m[1], m[2]}) {
        ASSERT_EQ(row.size(), X6.size());
        EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](double v) { return std::isnan(v); }));
    }
    EXPECT_EQ(cwt::mexh_cwt(std::vector<double>{}, std::vector<double>{1.0, -1.0}), (cwt::Matrix{{}, {}}));
}

// Ricker rows of X6 from numpy: N = min(floor(10 w), len), t = (arange(N) -
// (N - 1)/2)**2, kernel = exp(-t/(2 w**2)) (1 - t/w**2) 2/(sqrt(3 w) pi**0.25),
// convolve(x, kernel[::-1])[(N - 1)//2:][:len]. By hand, [1, 3, 1] at width 1
// has the kernel [0, A, 0] and the row [A, 3A, A].
TEST(Cwt, RickerRowsMatchADirectComputation) {
    const cwt::Matrix m = cwt::ricker_cwt(X6, std::vector<double>{1.0, 2.0});
    ASSERT_EQ(m.size(), 2u);
    expect_close(m[0], {-0.1298892941738784, 1.9222412200248233, 0.5479227686019473, -2.63402629922862,
                        0.5720006747925415, 2.361179712060182});
    expect_close(m[1], {0.9623406246311836, 1.8297548472612837, 0.6407169223271677, 0.2184903328779444,
                        0.8999260386225372, 1.7479138564520513});
    const double a = 2.0 / (std::sqrt(3.0) * std::pow(3.141592653589793, 0.25));
    expect_close(cwt::ricker_cwt(std::vector<double>{1, 3, 1}, std::vector<double>{1.0})[0], {a, 3 * a, a});
}

// Noise floors, from a sorted window (len 1000: 50 samples) or from ranks
// (len 20000: 1000 samples), are stats::quantile of each clipped window:
// columns near both ends, close together and far apart; specials included.
TEST(Cwt, NoiseFloorsAreQuantilesOfTheirWindows) {
    for (std::size_t len : {7, 1000, 20000}) {
        std::vector<double> row = noise(len, 3);
        for (std::size_t i = 0; i < len; i += 7) row[i] = std::round(row[i]);  // ties
        if (len > 100) row[40] = NaN, row[41] = -NaN, row[90] = INF, row[91] = -0.0, row[92] = 0.0;
        std::vector<std::uint64_t> cols;
        for (std::uint64_t c = 0; c < len; c += (c % 5 == 0 ? 1 : c % 11 == 0 ? 1500 : 3 + c % 400)) cols.push_back(c);
        cols.push_back(len - 1);
        const std::vector<double> got = cwt::noise_floors(row, cols);
        const std::uint64_t window = (len + 19) / 20, half = window / 2;
        for (std::size_t j = 0; j < cols.size(); ++j) {
            const std::uint64_t lo = cols[j] > half ? cols[j] - half : 0;
            const std::uint64_t hi = std::min<std::uint64_t>(cols[j] + half + window % 2, len);
            const double want = stats::quantile(std::span(row).subspan(lo, hi - lo), 0.1);
            ASSERT_TRUE(std::isnan(want) ? std::isnan(got[j]) : bits(got[j]) == bits(want)) << len << " " << cols[j];
        }
    }
}

// A matrix whose row r has strict maxima (value 1 among zeros) at cols[r].
cwt::Matrix spikes(std::size_t width, const std::vector<std::vector<std::uint64_t>>& cols) {
    cwt::Matrix m(cols.size(), std::vector<double>(width, 0.0));
    for (std::size_t r = 0; r < cols.size(); ++r)
        for (std::uint64_t c : cols[r]) m[r][c] = 1.0;
    return m;
}

using Points = std::vector<std::pair<std::vector<std::uint64_t>, std::vector<std::uint64_t>>>;

Points ridges(const cwt::Matrix& m, std::vector<double> distances) {
    Points out;
    for (const cwt::Ridge& r : cwt::identify_ridge_lines(m, distances, 1.0)) out.push_back({r.rows, r.cols});
    return out;
}

TEST(Cwt, RidgeLinesFollowTheTieGapAndOrderRules) {
    // Row 1, col 5 is 2 from both lines' ends: the first line takes it. Row 0
    // extends the first line twice; its points are ordered by row, the two of
    // row 0 in the order they were added.
    EXPECT_EQ(ridges(spikes(12, {{2, 4}, {5, 9}, {3, 7}}), {10, 10, 10}),
              (Points{{{0, 0, 1, 2}, {2, 4, 5, 3}}, {{1, 2}, {9, 7}}}));
    // A line started in a row is no candidate for the row's later maxima.
    EXPECT_EQ(ridges(spikes(12, {{6, 8}, {2}}), {1, 1}), (Points{{{1}, {2}}, {{0}, {6}}, {{0}, {8}}}));
    // Two rows without a maximum close both lines, the last first; lines
    // closed come before those still open.
    EXPECT_EQ(ridges(spikes(12, {{5}, {}, {}, {2, 8}}), {10, 10, 10, 10}),
              (Points{{{3}, {8}}, {{3}, {2}}, {{0}, {5}}}));
    // Exactly the maximum distance links; past it a new line starts.
    EXPECT_EQ(ridges(spikes(12, {{6}, {4}}), {2, 2}), (Points{{{0, 1}, {6, 4}}}));
    EXPECT_EQ(ridges(spikes(12, {{7}, {4}}), {2, 2}), (Points{{{1}, {4}}, {{0}, {7}}}));
}

// len(scipy.signal.find_peaks_cwt(sin(0.7 k), arange(1, n + 1))), k < 64:
// 7, 8 and 9 peaks for n = 1, 5 and 12, by the whole-matrix search and by
// the count.
TEST(Cwt, PeakCountsMatchScipy) {
    std::vector<double> x(64);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = std::sin(0.7 * static_cast<double>(k));
    for (auto [n, want] : {std::pair<std::uint64_t, double>{1, 7.0}, {5, 8.0}, {12, 9.0}}) {
        std::vector<double> widths, distances;
        for (std::uint64_t w = 1; w <= n; ++w) widths.push_back(w), distances.push_back(w * 0.25);
        const cwt::Matrix m = cwt::ricker_cwt(x, widths);
        EXPECT_EQ(cwt::filter_ridge_lines(m, cwt::identify_ridge_lines(m, distances, 1.0), n), want) << n;
        EXPECT_EQ(cwt::cwt_peak_count(x, n), want) << n;
    }
}

// The count keeps one row and the first point of each line; it must agree
// with the ridge lines and filter over the whole matrix, ties included
// (rounded series have flat tops and equal distances).
TEST(Cwt, PeakCountsAgreeWithTheWholeMatrixSearch) {
    for (std::size_t len : {3, 50, 400}) {
        for (bool rounded : {false, true}) {
            std::vector<double> x = noise(len, static_cast<unsigned>(len));
            if (rounded)
                for (double& v : x) v = std::round(v * 2);
            for (std::uint64_t n : {1, 2, 3, 8, 16}) {
                std::vector<double> widths, distances;
                for (std::uint64_t w = 1; w <= n; ++w) widths.push_back(w), distances.push_back(w * 0.25);
                const cwt::Matrix m = cwt::ricker_cwt(x, widths);
                const std::uint64_t want = cwt::filter_ridge_lines(m, cwt::identify_ridge_lines(m, distances, 1.0), n);
                EXPECT_EQ(cwt::cwt_peak_count(x, n), static_cast<double>(want)) << len << " " << rounded << " " << n;
            }
        }
    }
}

}  // namespace
