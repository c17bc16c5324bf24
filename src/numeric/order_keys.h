// The total-order keys of stats::total_order_key over whole arrays, in SIMD
// lanes (internal to order_stats.cpp). A key is held in a double's storage, so
// the arrays stay arrays of doubles.
#pragma once

#include <cstddef>

namespace stats::detail {

// out[i] takes the bits of total_order_key(x[i]); x may be out.
void to_order_keys(const double* x, double* out, std::size_t n);
// The inverse in place: p[i] = from_total_order_key(the bits of p[i]).
void from_order_keys(double* p, std::size_t n);

}  // namespace stats::detail
