// The batch engine: offsets validation, the pool cache and the row loops.
#include "batch/engine.h"

#include <time.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <new>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "calculators/calculators.h"
#include "helpers/panic.h"

namespace batch {

std::optional<std::string> check_offsets(std::uint64_t n_values, std::span<const std::int64_t> offsets) {
    // Only the first offset is tested for its sign: the order check keeps
    // every later one at or above it.
    if (offsets[0] < 0) return "offsets must be non-negative, found " + std::to_string(offsets[0]);
    for (std::size_t i = 1; i < offsets.size(); ++i)
        if (offsets[i] < offsets[i - 1])
            return "offsets must be non-decreasing, found " + std::to_string(offsets[i]) + " after " +
                   std::to_string(offsets[i - 1]);
    const std::int64_t end = offsets.back();
    if (static_cast<std::uint64_t>(end) > n_values)
        return "offsets end at " + std::to_string(end) + " but only " + std::to_string(n_values) +
               " values were given";
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Pool cache

PoolCache::PoolCache(Builder build) : build_(build) {}

tbb::task_arena* PoolCache::get(std::uint64_t n_threads) {
    if (n_threads == 0) return nullptr;
    // The ambient pool: the arena the caller runs in, else the default one.
    const int ambient = tbb::this_task_arena::max_concurrency();
    if (n_threads >= static_cast<std::uint64_t>(ambient)) return nullptr;

    std::lock_guard guard(lock_);
    if (poisoned_) return nullptr;
    if (auto it = pools_.find(n_threads); it != pools_.end()) return it->second.get();
    try {
        // n < ambient <= INT_MAX.
        std::unique_ptr<tbb::task_arena> arena = build_(static_cast<int>(n_threads));
        if (!arena) return nullptr;
        tbb::task_arena* pool = arena.get();
        pools_.emplace(n_threads, std::move(arena));
        return pool;
    } catch (...) {
        // A failure while the map may be half-updated: this call fails, and
        // the cache is no longer trusted, so every later one runs on the
        // ambient pool.
        poisoned_ = true;
        throw;
    }
}

std::size_t PoolCache::size() {
    std::lock_guard guard(lock_);
    return pools_.size();
}

bool PoolCache::poisoned() {
    std::lock_guard guard(lock_);
    return poisoned_;
}

namespace {

std::unique_ptr<tbb::task_arena> build_arena(int n_threads) {
    try {
        // One slot is kept for the calling thread, which works in the arena
        // while it waits: n threads in all.
        auto arena = std::make_unique<tbb::task_arena>(n_threads);
        arena->initialize();
        return arena;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

PoolCache& pools() {
    // Never freed: the arenas live as long as the process.
    static PoolCache* const POOLS = new PoolCache(build_arena);
    return *POOLS;
}

tbb::task_arena* pool_for(std::uint64_t n_threads) { return pools().get(n_threads); }

// ---------------------------------------------------------------------------
// Row loops

namespace {

// The quiet NaN every cell starts as.
constexpr double EMPTY_CELL = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Checks what the row loops rely on to stay inside their buffers (the
// boundary has validated all of it: a failure here is a bug), and allocates
// the NaN-filled matrix.
std::vector<double> start_matrix(std::span<const double> values, std::span<const std::int64_t> offsets,
                                 std::span<const PlanItem> plan, std::size_t width) {
    if (auto problem = check_offsets(values.size(), offsets)) helpers::panic(*problem);
    std::size_t total = 0;
    for (const PlanItem& item : plan) {
        if (item.width > width - total) helpers::panic("plan widths exceed the row width");
        total += item.width;
    }
    if (total != width) helpers::panic("plan widths do not add up to the row width");

    const std::size_t n_series = offsets.size() - 1;
    // 8 bytes a cell: a count past max_size() could never be allocated, and
    // n_series * width itself may not fit in 64 bits.
    const std::size_t max_cells = std::vector<double>().max_size();
    if (width != 0 && n_series > max_cells / width) throw std::bad_alloc();
    return std::vector<double>(n_series * width, EMPTY_CELL);
}

calculators::Series series(std::span<const double> values, std::span<const std::int64_t> offsets,
                           std::size_t i) {
    const auto begin = static_cast<std::size_t>(offsets[i]);
    return values.subspan(begin, static_cast<std::size_t>(offsets[i + 1]) - begin);
}

// Each plan item's calculator, looked up once per call (null: not implemented).
std::vector<calculators::Calculator> resolve_plan(std::span<const PlanItem> plan) {
    std::vector<calculators::Calculator> resolved(plan.size());
    for (std::size_t j = 0; j < plan.size(); ++j) resolved[j] = calculators::resolve(plan[j].name);
    return resolved;
}

// Copies at most `item.width` values of the answer to the item's cells at
// `row`; a short answer leaves the remaining cells at NaN.
void copy_answer(const calculators::Values& answer, const PlanItem& item, double* row) {
    std::copy_n(answer.data(), std::min(answer.size(), item.width), row);
}

// The implemented items of the plan, for the row contexts.
std::vector<calculators::RowItem> row_items(std::span<const PlanItem> plan,
                                            std::span<const calculators::Calculator> resolved) {
    std::vector<calculators::RowItem> items;
    for (std::size_t j = 0; j < plan.size(); ++j)
        if (resolved[j]) items.push_back({resolved[j], plan[j].params});
    return items;
}

// Every item of one row shares the row's context; an item whose calculator
// is not implemented leaves its cells at NaN.
void evaluate_row(calculators::Series x, std::span<const PlanItem> plan,
                  std::span<const calculators::Calculator> resolved, std::span<const calculators::RowItem> items,
                  double* row) {
    calculators::SeriesContext context(x, items);
    for (std::size_t j = 0; j < plan.size(); ++j) {
        if (resolved[j]) copy_answer(calculators::run(resolved[j], context, plan[j].params), plan[j], row);
        row += plan[j].width;
    }
}

std::uint64_t monotonic_ns() {
    timespec t;
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0)
        helpers::panic(std::string("the monotonic clock cannot be read: ") + std::strerror(errno));
    // Unsigned arithmetic: wraps rather than overflows.
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace

std::vector<double> run_batch(std::span<const double> values, std::span<const std::int64_t> offsets,
                              std::span<const PlanItem> plan, std::size_t width, std::uint64_t n_threads) {
    // No series, or no column: nothing to evaluate.
    if (offsets.size() < 2 || width == 0) return {};
    std::vector<double> matrix = start_matrix(values, offsets, plan, width);
    const std::size_t n_series = offsets.size() - 1;
    double* const cells = matrix.data();
    const std::vector<calculators::Calculator> resolved = resolve_plan(plan);
    const std::vector<calculators::RowItem> items = row_items(plan, resolved);

    tbb::task_arena* const pool = pool_for(n_threads);
    // A lone series on the ambient pool needs no worker.
    if (!pool && n_series == 1) {
        evaluate_row(series(values, offsets, 0), plan, resolved, items, cells);
        return matrix;
    }
    // Whole rows only. Rows differ in cost by orders of magnitude (series
    // length, FFT-based items), so ranges are split on demand down to single
    // rows; the auto partitioner keeps per-row scheduling cost low when they
    // are uniform.
    auto rows = [&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n_series, 1),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              for (std::size_t i = range.begin(); i != range.end(); ++i)
                                  evaluate_row(series(values, offsets, i), plan, resolved, items, cells + i * width);
                          });
    };
    if (pool)
        pool->execute(rows);
    else
        rows();
    return matrix;
}

std::vector<double> run_batch_timed(std::span<const double> values, std::span<const std::int64_t> offsets,
                                    std::span<const PlanItem> plan, std::size_t width,
                                    std::vector<std::uint64_t>& timings) {
    timings.assign(plan.size(), 0);
    // No series, or no column: nothing to evaluate.
    if (offsets.size() < 2 || width == 0) return {};
    std::vector<double> matrix = start_matrix(values, offsets, plan, width);
    const std::size_t n_series = offsets.size() - 1;

    const std::vector<calculators::Calculator> resolved = resolve_plan(plan);
    const std::vector<calculators::RowItem> items = row_items(plan, resolved);

    double* row = matrix.data();
    for (std::size_t i = 0; i < n_series; ++i) {
        // A quantity the row's items share is timed in the first item that
        // asks for it.
        calculators::SeriesContext context(series(values, offsets, i), items);
        for (std::size_t j = 0; j < plan.size(); ++j) {
            const PlanItem& item = plan[j];
            // An item that is not implemented is timed too: its cost is the
            // (empty) time around it.
            const std::uint64_t t0 = monotonic_ns();
            calculators::Values answer;
            if (resolved[j]) answer = calculators::run(resolved[j], context, item.params);
            const std::uint64_t t1 = monotonic_ns();
            timings[j] += t1 < t0 ? 0 : t1 - t0;  // wraps modulo 2^64
            copy_answer(answer, item, row);
            row += item.width;
        }
    }
    return matrix;
}

}  // namespace batch
