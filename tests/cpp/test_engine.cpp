#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <thread>
#include <vector>

#include "helpers/panic.h"
#include "batch/engine.h"
#include "batch/pools.h"
#include "test_util.h"

namespace {

using batch::PlanItem;
using helpers::Params;

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

TEST(PoolCache, OnlyCountsBelowTheAmbientSizeGetADedicatedPoolOfExactlyThatSize) {
    batch::PoolCache cache(slow_build);
    builds = 0;
    with_ambient(8, [&] {
        for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{8}, std::uint64_t{9}, U64_MAX})
            EXPECT_EQ(cache.get(n), nullptr) << n;
        tbb::task_arena* one = cache.get(1);
        tbb::task_arena* three = cache.get(3);
        ASSERT_TRUE(one && three);
        EXPECT_EQ(one->max_concurrency(), 1);
        EXPECT_EQ(three->max_concurrency(), 3);
        EXPECT_EQ(cache.get(1), one);  // kept
    });
    // An ambient pool of one thread: no count is below its size.
    with_ambient(1, [&] { EXPECT_EQ(cache.get(2), nullptr); });
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

TEST(PoolCache, FailedBuildFallsBackAndIsRetriedWhileAnExceptionPoisonsTheCache) {
    batch::PoolCache failing(failing_build), throwing(throwing_build);
    builds = 0;
    with_ambient(8, [&] {
        EXPECT_EQ(failing.get(2), nullptr);
        EXPECT_EQ(failing.get(2), nullptr);
        EXPECT_EQ(builds.load(), 2);
        EXPECT_THROW(throwing.get(2), std::bad_alloc);  // the call fails
        EXPECT_EQ(throwing.get(3), nullptr);  // and no later one builds
    });
    EXPECT_EQ(builds.load(), 3);
    EXPECT_FALSE(failing.poisoned());
    EXPECT_TRUE(throwing.poisoned());
    EXPECT_EQ(failing.size() + throwing.size(), 0u);
}

// Guards that keep the row loops inside their buffers: three series over six
// values, with plan widths or offsets the boundary would never let through.
TEST(RunBatch, RefusesWhatCannotBeLaidOut) {
    const std::vector<double> values{1, 2, 3, 4, 5, 6};
    const std::vector<std::int64_t> offsets{0, 2, 2, 6}, past_end{0, 2, 2, 7};
    const std::size_t huge = std::size_t{1} << 62;  // 3 * 2^62 cells overflow 64 bits
    const std::vector<PlanItem> wide{{"mean", {}, huge}}, one{{"mean", std::vector<Params>(1), 1}};
    // Widths whose sum wraps around to the row width.
    const std::vector<PlanItem> wrap{{"mean", {}, std::size_t{1} << 63}, {"mean", {}, (std::size_t{1} << 63) + 1}};
    std::vector<std::uint64_t> timings;
    EXPECT_THROW(batch::run_batch(values, offsets, wide, huge, 0), std::bad_alloc);
    EXPECT_THROW(batch::run_batch(values, offsets, wide, huge, 0, &timings), std::bad_alloc);
    EXPECT_THROW(batch::run_batch(values, offsets, one, 2, 0), helpers::InternalFailure);
    EXPECT_THROW(batch::run_batch(values, offsets, wrap, 1, 0), helpers::InternalFailure);
    EXPECT_THROW(batch::run_batch(values, past_end, one, 1, 0), helpers::InternalFailure);
}

}  // namespace
