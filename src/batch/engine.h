// The batch engine in plain C++: offsets validation and the row loops, on
// the pools of batch/pools.h. Nothing here touches a Python object, so the
// caller may run it with the interpreter lock released.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "helpers/params.h"

namespace batch {

using helpers::Params;

// One entry of a batch plan: a calculator name and its parameter sets; it
// owns `width` (= params.size()) consecutive output columns.
struct PlanItem {
    std::string name;
    std::vector<Params> params;
    std::size_t width = 0;
};

// Empty when 0 <= offsets[0] <= ... <= offsets[m-1] <= n_values; otherwise
// the message of the first violated rule. Requires at least two offsets.
std::optional<std::string> check_offsets(std::uint64_t n_values, std::span<const std::int64_t> offsets);

// Evaluates every plan item over every series into a row-major
// n_series x width matrix that starts as NaN. Exceptions raised by a row
// (internal failures, allocation) propagate to the caller.
//
// Untimed (timings null): rows run in parallel on the pool chosen for
// n_threads (0: the ambient pool), the items of a row sharing the row's
// context. Timed: row after row on the calling thread, each item on a fresh
// context so that its time is its own cost whatever the plan's order, adding
// the nanoseconds spent in each item's calculator (monotonic clock) to
// (*timings)[item]; the timings are reset to one 0 per item first.
//
// The call stops early when the interrupt scope it runs in (if any) is asked
// to stop: its rows stop at the next row or at the next stride of a long
// calculator, and no matrix is returned.
std::optional<std::vector<double>> run_batch(std::span<const double> values, std::span<const std::int64_t> offsets,
                              std::span<const PlanItem> plan, std::size_t width, std::uint64_t n_threads,
                              std::vector<std::uint64_t>* timings = nullptr);

}  // namespace batch
