// The batch engine: offsets validation and the row loops.
#include "batch/engine.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <exception>
#include <memory>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "batch/pools.h"
#include "calculators/calculators.h"
#include "helpers/panic.h"
#include "numeric/interrupt.h"

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

std::uint64_t monotonic_ns() {
    timespec t;
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0)
        helpers::panic(std::string("the monotonic clock cannot be read: ") + std::strerror(errno));
    // Unsigned arithmetic: wraps rather than overflows.
    return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// The plan, its resolved calculators and the matrix: what every row reads.
struct Rows {
    std::span<const double> values;
    std::span<const std::int64_t> offsets;
    std::span<const PlanItem> plan;
    std::vector<calculators::Calculator> resolved;
    std::vector<calculators::RowItem> items;
    std::size_t width;
    double* cells;

    // Every item of row i shares the row's context; an item whose
    // calculator is not implemented leaves its cells at NaN.
    void evaluate(std::size_t i) const {
        calculators::SeriesContext context(series(values, offsets, i), items);
        double* row = cells + i * width;
        for (std::size_t j = 0; j < plan.size(); ++j) {
            if (resolved[j]) copy_answer(calculators::run(resolved[j], context, plan[j].params), plan[j], row);
            row += plan[j].width;
        }
    }

    // Row i with each item on a fresh context, adding the time of each
    // item's calculator to timings[item]. An item that is not implemented is
    // timed too: its cost is the (empty) time around it.
    void evaluate_timed(std::size_t i, std::vector<std::uint64_t>& timings) const {
        const calculators::Series x = series(values, offsets, i);
        double* row = cells + i * width;
        for (std::size_t j = 0; j < plan.size(); ++j) {
            calculators::Values answer;
            const std::uint64_t t0 = monotonic_ns();
            if (resolved[j]) {
                const calculators::RowItem own{resolved[j], plan[j].params};
                calculators::SeriesContext context(x, std::span(&own, 1));
                answer = calculators::run(resolved[j], context, plan[j].params);
            }
            const std::uint64_t t1 = monotonic_ns();
            timings[j] += t1 < t0 ? 0 : t1 - t0;  // wraps modulo 2^64
            copy_answer(answer, plan[j], row);
            row += plan[j].width;
        }
    }
};

// The rows of one call, handed out from a shared counter to the calling
// thread and to the pool's workers. The state is shared with the workers'
// tasks: a task that starts after the call has ended finds no row left and
// touches nothing else.
struct Share {
    const Rows* rows;
    std::size_t n_series;
    std::size_t threads;
    // Each on a cache line of its own: every thread writes the counter at
    // every claim, and reads the token at every row.
    alignas(64) std::atomic<std::size_t> next{0};
    // Tasks inside their row loop; the call waits for none to be left.
    alignas(64) std::atomic<std::size_t> active{0};
    alignas(64) interrupt::Token token;
    std::mutex lock;
    std::condition_variable idle;
    std::exception_ptr failure;  // the first row that threw, under lock

    Share(const Rows* r, std::size_t n, std::size_t t) : rows(r), n_series(n), threads(t) {}

    // No row is handed out after this (the rows in flight run on).
    void close() { next.store(n_series); }

    // Evaluates the rows it claims until none is left or stop(row) answers
    // true before a row. Many rows a claim while plenty remain, so tiny rows
    // do not queue on the counter; fewer as they run out, down to one, so
    // the threads finish together.
    template <class Stop>
    void take_rows(Stop&& stop) {
        constexpr std::size_t MAX_CLAIM = 16;
        std::size_t claim = std::clamp<std::size_t>(n_series / (8 * threads), 1, MAX_CLAIM);
        for (;;) {
            const std::size_t begin = next.fetch_add(claim);
            if (begin >= n_series) return;
            const std::size_t end = std::min(n_series, begin + claim);
            for (std::size_t i = begin; i < end; ++i) {
                if (stop(i)) return;
                rows->evaluate(i);
            }
            claim = std::clamp<std::size_t>((n_series - end) / (8 * threads), 1, MAX_CLAIM);
        }
    }

    // Row loop of a worker.
    void work() {
        active.fetch_add(1);
        {
            interrupt::Scope scope(token);
            try {
                take_rows([&](std::size_t) { return token.stopped(); });
            } catch (...) {
                {
                    std::lock_guard guard(lock);
                    if (!failure) failure = std::current_exception();
                }
                // The call fails: the others stop at their next row or stride.
                token.stop();
                close();
            }
        }
        if (active.fetch_sub(1) == 1) {
            std::lock_guard guard(lock);
            idle.notify_all();
        }
    }

    // Waits for the rows in flight; poll() runs between waits of a few
    // milliseconds and stops the rows when it answers true.
    template <class Poll>
    void wait(Poll&& poll) {
        std::unique_lock guard(lock);
        while (active.load() != 0) {
            idle.wait_for(guard, interrupt::CHECK_EVERY / 4);
            if (active.load() == 0 || token.stopped()) continue;
            guard.unlock();
            if (poll()) close();
            guard.lock();
        }
    }
};

// Whatever happens on the calling thread, the rows in flight are waited for
// before the call's buffers go.
struct Drain {
    Share& share;
    const int unwinding = std::uncaught_exceptions();
    ~Drain() {
        // The caller's row threw: the call fails, the others stop early.
        if (std::uncaught_exceptions() > unwinding) share.token.stop();
        share.close();
        share.wait([] { return false; });
    }
};

// The arena that the ambient pool's workers join when the caller runs in no
// arena: one of the default size, for the process.
tbb::task_arena& default_arena() {
    static tbb::task_arena* const DEFAULT = [] {
        auto* arena = new tbb::task_arena();  // never freed, like the pools
        arena->initialize();
        return arena;
    }();
    return *DEFAULT;
}

}  // namespace

std::optional<std::vector<double>> run_batch(std::span<const double> values,
                                             std::span<const std::int64_t> offsets,
                                             std::span<const PlanItem> plan, std::size_t width,
                                             std::uint64_t n_threads, std::vector<std::uint64_t>* timings) {
    if (timings) timings->assign(plan.size(), 0);
    // No series, or no column: nothing to evaluate.
    if (offsets.size() < 2 || width == 0) return std::vector<double>{};
    std::vector<double> matrix = start_matrix(values, offsets, plan, width);
    const std::size_t n_series = offsets.size() - 1;
    std::vector<calculators::Calculator> resolved = resolve_plan(plan);
    std::vector<calculators::RowItem> items = row_items(plan, resolved);
    const Rows rows{values, offsets, plan, std::move(resolved), std::move(items), width, matrix.data()};

    // The calling thread polls between its rows, every so many samples (a
    // row costs at least about its length; rows of a few samples would pay
    // more for reading the clock than for their work), and inside long
    // calculators, with the check of the scope it was called in. A stop ends
    // the call with no matrix.
    interrupt::Stride stride(std::size_t{1} << 16);
    auto stop = [&](const interrupt::Scope& scope, std::size_t i) {
        return scope.token().stopped() || stride(static_cast<std::size_t>(offsets[i + 1] - offsets[i]) + 1);
    };
    auto alone = [&](auto&& evaluate) -> std::optional<std::vector<double>> {
        interrupt::Token token;
        interrupt::Scope scope(token, interrupt::current());
        for (std::size_t i = 0; i < n_series && !stop(scope, i); ++i) evaluate(i);
        if (token.stopped()) return std::nullopt;
        return std::move(matrix);
    };
    if (timings) return alone([&](std::size_t i) { rows.evaluate_timed(i, *timings); });

    // An arena keeps one slot for a thread from outside, here the calling
    // thread, which takes rows beside the workers: n threads in all. A lone
    // series on the ambient pool needs no worker.
    tbb::task_arena* pool = pool_for(n_threads);
    if (!pool && n_series == 1) return alone([&](std::size_t i) { rows.evaluate(i); });
    std::optional<tbb::task_arena> attached;
    if (!pool && tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized)
        pool = &attached.emplace(tbb::task_arena::attach());
    tbb::task_arena& arena = pool ? *pool : default_arena();
    const std::size_t workers =
        std::min(static_cast<std::size_t>(std::max(arena.max_concurrency() - 1, 0)), n_series - 1);
    if (workers == 0) return alone([&](std::size_t i) { rows.evaluate(i); });

    auto share = std::make_shared<Share>(&rows, n_series, workers + 1);
    interrupt::Scope scope(share->token, interrupt::current());
    {
        Drain drain{*share};
        for (std::size_t k = 0; k < workers; ++k) arena.enqueue([share] { share->work(); });
        share->take_rows([&](std::size_t i) { return stop(scope, i); });
        share->wait([&] { return scope.poll(); });
    }
    if (share->failure) std::rethrow_exception(share->failure);
    if (share->token.stopped()) return std::nullopt;
    return matrix;
}

}  // namespace batch
