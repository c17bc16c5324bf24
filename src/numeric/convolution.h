// Direct linear convolution, whole or by windows of its outputs: the kernel
// every wavelet row of this module runs on.
//
// Every convolution sum is the defining one: out[i + j] = b[j] * a[i] +
// out[i + j] for ascending series index i, from +0.0, a zero sample a[i]
// skipped. A window that computes only some outputs, or several outputs at
// once in vector lanes, gives the same bits at those outputs, and the full
// convolution is the window of all of them. No FFT: peak detection depends
// on exact ties.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace cwt {

using Series = std::span<const double>;
using Matrix = std::vector<std::vector<double>>;

// Full linear convolution of a (la) and b (lb >= 1): la + lb - 1 values;
// empty when a is empty.
std::vector<double> convolve_full(Series a, Series b);

// A filter of `size` entries of which `values` holds entries first ..
// first + values.size() - 1 (the rest are never read by the caller's window).
struct FilterPart {
    std::uint64_t size;
    std::uint64_t first;
    std::span<const double> values;
};

// out[k - k0] = full convolution of x with the filter at k, for k in
// [k0, k0 + out.size()): the entries of the filter the window reads must be
// in `f.values`, that is [window_filter_first, window_filter_last].
void convolve_window(Series x, const FilterPart& f, std::uint64_t k0, std::span<double> out);
// The filter entries that outputs [k0, k1) of a convolution with a series of
// n samples read: [first, last], or first > last when none.
std::uint64_t window_filter_first(std::uint64_t n, std::uint64_t k0);
std::uint64_t window_filter_last(std::uint64_t size, std::uint64_t k1);


}  // namespace cwt
