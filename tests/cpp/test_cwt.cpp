#include <gtest/gtest.h>

#include <algorithm>

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
// entry is skipped (numpy would give NaN there). Every window, given only the
// filter entries it reads, has the bits of the defining sum.
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

// The count keeps one row and the first point of each line; it must agree with
// the whole-matrix search, ties included (rounded series have flat tops).
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
