// Continuous wavelet transforms: Mexican-hat coefficients and the count of
// peaks that Ricker transforms over widths 1..n confirm.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "calculators/registry.h"
#include "helpers/params.h"
#include "numeric/constants.h"
#include "numeric/cwt.h"

namespace calculators {

namespace {

using numeric::NaN;
constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

// ---- cwt_coefficients ---------------------------------------------------------
//
// Keys: "widths" (list of reals; anything else is empty), "w" (real), "coeff"
// (integer, negative as 0). The value is entry "coeff" of the Mexican-hat
// row at the first width equal to "w"; NaN when no width equals it (a NaN w
// never does), when "coeff" is beyond the row, for a width that is not
// positive and finite, and for the empty series. Constant series give rows
// of zeros away from the ends; a NaN or infinite sample spreads NaN over the
// filter's reach.
//
// Sets with the same widths (compared by bit pattern, so [1, 2] and
// [1.0, 2.0] agree while 0.0 and -0.0 do not) share one table for the call;
// of a table only the rows that sets read are computed, and of a row only
// the coefficients read (each is two convolution sums of about the filter's
// length).

// A widths list as a key: hashed and compared by bit patterns.
struct BitsHash {
    std::size_t operator()(const std::vector<double>& widths) const {
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (double w : widths) h = (h ^ std::bit_cast<std::uint64_t>(w)) * 0x100000001b3ull;
        return static_cast<std::size_t>(h);
    }
};
struct BitsEqual {
    bool operator()(const std::vector<double>& a, const std::vector<double>& b) const {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double u, double v) {
                   return std::bit_cast<std::uint64_t>(u) == std::bit_cast<std::uint64_t>(v);
               });
    }
};

struct Read {
    std::size_t table, position;  // position NONE: w matches no width
    std::uint64_t coeff;
    auto operator<=>(const Read&) const = default;
};

Values cwt_coefficients(Series x, ParamSets params) {
    // First pass: one table per distinct widths list, and what each set reads.
    std::unordered_map<std::vector<double>, std::size_t, BitsHash, BitsEqual> keys;
    std::vector<const std::vector<double>*> tables;  // the keys, which stay in place
    std::vector<Read> reads;
    reads.reserve(params.size());
    for (const Params& p : params) {
        const auto [it, added] = keys.try_emplace(p.floats("widths"), tables.size());
        if (added) tables.push_back(&it->first);
        const std::vector<double>& table = it->first;
        const double w = helpers::real_param(p, "w");
        const auto match = std::find(table.begin(), table.end(), w);
        const std::size_t position = match == table.end() ? NONE : static_cast<std::size_t>(match - table.begin());
        reads.push_back({it->second, position, helpers::count_param(p, "coeff")});
    }

    // The distinct coefficients read, grouped by row, computed row by row.
    std::vector<Read> wanted;
    for (const Read& r : reads)
        if (r.position != NONE) wanted.push_back(r);
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<double> values(wanted.size());
    std::vector<std::uint64_t> coeffs;
    for (std::size_t g0 = 0; g0 < wanted.size() && !interrupt::poll();) {
        std::size_t g1 = g0;
        coeffs.clear();
        for (; g1 < wanted.size() && wanted[g1].table == wanted[g0].table &&
               wanted[g1].position == wanted[g0].position;
             ++g1)
            coeffs.push_back(wanted[g1].coeff);
        const std::vector<double> row = cwt::mexh_cwt_at(x, (*tables[wanted[g0].table])[wanted[g0].position], coeffs);
        std::copy(row.begin(), row.end(), values.begin() + static_cast<std::ptrdiff_t>(g0));
        g0 = g1;
    }

    // Second pass: each set's value.
    Values out(params.size(), NaN);
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (reads[i].position == NONE) continue;
        out[i] = values[std::lower_bound(wanted.begin(), wanted.end(), reads[i]) - wanted.begin()];
    }
    return out;
}

// ---- number_cwt_peaks ---------------------------------------------------------
//
// Key: "n" (integer; a missing key or a value that is not a number reads 0).
// The number of ridge lines through the maxima of the Ricker transforms at
// widths 1, 2, ..., n that are long enough and stand out of the noise of the
// width-1 row. 0.0 for n <= 0, the empty series and series of at most two
// samples (no strict maximum); NaN samples are never maxima, and a constant
// series has maxima only where the wavelet overhangs its ends. NaN when n
// times the series' length exceeds cwt::PEAK_CELLS_CAP. Every row is
// computed once for all the sets of the call.

Values number_cwt_peaks(Series x, ParamSets params) {
    std::vector<std::uint64_t> ns;
    ns.reserve(params.size());
    for (const Params& p : params) ns.push_back(helpers::count_param(p, "n"));
    return cwt::cwt_peak_counts(x, ns);
}

constexpr Entry TABLE[] = {
    {"cwt_coefficients", cwt_coefficients},
    {"number_cwt_peaks", number_cwt_peaks},
};

}  // namespace

constinit const std::span<const Entry> WAVELET_ENTRIES{TABLE};

}  // namespace calculators
