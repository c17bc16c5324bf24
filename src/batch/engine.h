// The batch engine in plain C++: offsets validation, the thread-pool cache
// and the row loops. Nothing here touches a Python object, so the caller may
// run it with the interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <oneapi/tbb/task_arena.h>

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

// Dedicated thread pools, one per thread count, built on first request and
// kept (with their workers) for the rest of the process.
class PoolCache {
public:
    // Builds an arena of exactly n threads; null when it cannot be built.
    using Builder = std::unique_ptr<tbb::task_arena> (*)(int n_threads);

    explicit PoolCache(Builder build);

    // Null means the ambient pool: n 0, n not below the ambient pool's size,
    // a failed build (tried again next time) or a poisoned cache. An
    // exception while the lock is held propagates and poisons the cache.
    tbb::task_arena* get(std::uint64_t n_threads);
    std::size_t size();
    // Every request after an exception under the lock answers null.
    bool poisoned();

private:
    std::mutex lock_;
    bool poisoned_ = false;
    std::unordered_map<std::uint64_t, std::unique_ptr<tbb::task_arena>> pools_;
    Builder build_;
};

// The process-wide cache (POOLS), created on first use and never freed.
PoolCache& pools();

// pools().get(n_threads): the pool that runs a batch for n_threads.
tbb::task_arena* pool_for(std::uint64_t n_threads);

}  // namespace batch
