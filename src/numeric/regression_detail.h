// Small pieces shared by the least-squares routines; not part of the interface.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "numeric/large_buffer.h"
#include "numeric/regression.h"

namespace regression::detail {

// len(data) == rows * cols, without overflowing the product.
inline bool well_formed(const Matrix& a) {
    std::size_t len = 0;
    return !__builtin_mul_overflow(a.rows, a.cols, &len) && len == a.data.size();
}

// The largest value folded from 0.0; a NaN never becomes the maximum.
inline double max_ignoring_nan(std::span<const double> x) {
    double top = 0.0;
    for (double v : x)
        if (v > top) top = v;
    return top;
}

// A design read row by row. The fits copy each row into their own layout,
// so a caller whose rows follow a rule (the lags of a series) never stores
// the design whole.
class DesignRows {
public:
    DesignRows(std::size_t rows, std::size_t cols) : rows(rows), cols(cols) {}
    // Writes the cols values of row i to out.
    virtual void row(std::size_t i, double* out) const = 0;

    const std::size_t rows, cols;

protected:
    ~DesignRows() = default;
};

// The working arrays of the Householder factorisation (the tiled design and
// the reflection vectors), kept by a caller that fits several designs in a
// row so that each fit reuses the memory the previous one touched. Arrays
// grow on demand; reserve sizes them for every design of up to rows x cols
// at once (untouched memory costs nothing).
struct FactorScratch {
    numeric::LargeBuffer tiles, vs;
    void reserve(std::size_t rows, std::size_t cols);
};

// ols_nested of regression.h on a design given by its rows, with the
// working arrays in scratch when given.
std::vector<std::optional<OlsFit>> ols_nested(const DesignRows& x, std::span<const double> y, std::size_t k_first,
                                              FactorScratch* scratch = nullptr);

}  // namespace regression::detail
