#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "helpers/panic.h"
#include "module/engine.h"

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

// Runs f as if the ambient pool had n threads, whatever this machine has.
template <class F>
auto with_ambient(int n, F f) {
    tbb::task_arena outer(n);
    return outer.execute(f);
}

std::atomic<int> builds{0};

std::unique_ptr<tbb::task_arena> slow_build(int n) {
    ++builds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets a concurrent caller arrive
    return std::make_unique<tbb::task_arena>(n);
}
std::unique_ptr<tbb::task_arena> failing_build(int) {
    ++builds;
    return nullptr;
}
std::unique_ptr<tbb::task_arena> throwing_build(int) {
    ++builds;
    throw std::bad_alloc();
}

TEST(PoolCache, AmbientRequestsBuildNothing) {
    batch::PoolCache cache(slow_build);
    builds = 0;
    with_ambient(8, [&] {
        for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{8}, std::uint64_t{9}, U64_MAX})
            EXPECT_EQ(cache.get(n), nullptr) << n;
    });
    // An ambient pool of one thread: no count is below its size.
    with_ambient(1, [&] { EXPECT_EQ(cache.get(1), nullptr); });
    EXPECT_EQ(builds.load(), 0);
}

TEST(PoolCache, DedicatedPoolsHaveExactlyNThreadsAndAreKept) {
    batch::PoolCache cache(slow_build);
    builds = 0;
    with_ambient(8, [&] {
        tbb::task_arena* one = cache.get(1);
        tbb::task_arena* three = cache.get(3);
        ASSERT_TRUE(one && three);
        EXPECT_EQ(one->max_concurrency(), 1);
        EXPECT_EQ(three->max_concurrency(), 3);
        EXPECT_EQ(cache.get(1), one);
        EXPECT_EQ(cache.get(3), three);
    });
    EXPECT_EQ(builds.load(), 2);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(PoolCache, ConcurrentFirstRequestsShareOneBuild) {
    batch::PoolCache cache(slow_build);
    builds = 0;
    tbb::task_arena* seen[2] = {nullptr, nullptr};
    auto request = [&](int k) { seen[k] = with_ambient(8, [&] { return cache.get(4); }); };
    std::thread a(request, 0), b(request, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(builds.load(), 1);
}

TEST(PoolCache, FailedBuildFallsBackAndIsRetried) {
    batch::PoolCache cache(failing_build);
    builds = 0;
    with_ambient(8, [&] {
        EXPECT_EQ(cache.get(2), nullptr);
        EXPECT_EQ(cache.get(2), nullptr);
    });
    EXPECT_EQ(builds.load(), 2);
    EXPECT_FALSE(cache.poisoned());
}

TEST(PoolCache, ExceptionUnderTheLockFailsTheCallAndPoisonsTheCache) {
    batch::PoolCache cache(throwing_build);
    builds = 0;
    with_ambient(8, [&] {
        EXPECT_THROW(cache.get(2), std::bad_alloc);
        EXPECT_EQ(cache.get(2), nullptr);
        EXPECT_EQ(cache.get(3), nullptr);
    });
    EXPECT_TRUE(cache.poisoned());
    EXPECT_EQ(builds.load(), 1);  // a poisoned cache builds nothing
    EXPECT_EQ(cache.size(), 0u);
}

// Three series over six values: [0, 2), [2, 2), [2, 6).
struct Batch {
    std::vector<double> values{1, 2, 3, 4, 5, 6};
    std::vector<std::int64_t> offsets{0, 2, 2, 6};
    std::vector<PlanItem> plan;
};

TEST(RunBatch, UnrepresentableMatrixIsAnAllocationFailure) {
    Batch b;
    const std::size_t width = std::size_t{1} << 62;  // 3 * 2^62 cells overflow 64 bits
    b.plan.push_back(PlanItem{"mean", {}, width});
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, width, 0), std::bad_alloc);
    std::vector<std::uint64_t> timings;
    EXPECT_THROW(batch::run_batch_timed(b.values, b.offsets, b.plan, width, timings), std::bad_alloc);
}

TEST(RunBatch, InconsistentInputsFailBeforeAnyWrite) {
    Batch b;
    b.plan.push_back(PlanItem{"mean", std::vector<Params>(1), 1});
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, 2, 0), helpers::InternalFailure);
    // Widths whose sum wraps around to the row width.
    Batch wrap;
    wrap.plan.push_back(PlanItem{"mean", {}, std::size_t{1} << 63});
    wrap.plan.push_back(PlanItem{"mean", {}, (std::size_t{1} << 63) + 1});
    EXPECT_THROW(batch::run_batch(wrap.values, wrap.offsets, wrap.plan, 1, 0), helpers::InternalFailure);
    b.offsets.back() = 7;  // past the six values
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, 1, 0), helpers::InternalFailure);
}

}  // namespace
