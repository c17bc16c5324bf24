// Small pieces shared by the least-squares routines; not part of the interface.
#pragma once

#include <cstddef>
#include <span>

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

}  // namespace regression::detail
