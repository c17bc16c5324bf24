// The quantile bins of a series, as the drift fit takes them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace helpers {

// The quantile bins of a series: bin 0 holds the lowest of the r + 1 edges
// e_k = stats::quantile_sorted(sorted signal, k / r) (k = r: 1.0), and bin
// k the values in (e_k, e_k+1]; a value's label is the number of edges below
// it, less one, at most r - 1. Nothing when an edge is not finite or two
// neighbouring edges are equal (a constant signal, a NaN or an infinity, a
// bin count too fine for the doubles between two samples), and when deciding
// the latter would compare more edges one by one than 2^20 and 8 per sample.
struct QuantileCut {
    std::vector<std::uint64_t> labels;    // bin of each value, in index order
    std::vector<std::uint64_t> occupied;  // the distinct labels, ascending
};
std::optional<QuantileCut> qcut_labels(std::span<const double> signal, std::uint64_t r);

}  // namespace helpers
