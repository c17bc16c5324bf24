#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <ostream>
#include <thread>
#include <vector>

#include "helpers/panic.h"
#include "module/engine.h"

namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

struct OffsetsCase {
    std::uint64_t n_values;
    std::vector<std::int64_t> offsets;
    std::optional<std::string> message;
};

void PrintTo(const OffsetsCase& c, std::ostream* os) {
    *os << "offsets";
    for (std::int64_t o : c.offsets) *os << ' ' << o;
    *os << " over " << c.n_values;
}

class CheckOffsets : public testing::TestWithParam<OffsetsCase> {};

TEST_P(CheckOffsets, ReportsTheFirstViolatedRule) {
    const OffsetsCase& c = GetParam();
    EXPECT_EQ(batch::check_offsets(c.n_values, c.offsets), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, CheckOffsets,
    testing::Values(
        OffsetsCase{10, {-1, 0}, "offsets must be non-negative, found -1"},
        OffsetsCase{10, {I64_MIN, 0}, "offsets must be non-negative, found -9223372036854775808"},
        OffsetsCase{10, {0, 5, 3}, "offsets must be non-decreasing, found 3 after 5"},
        OffsetsCase{3, {0, 4}, "offsets end at 4 but only 3 values were given"},
        // Only the first offset's sign is tested; a later negative one breaks the order.
        OffsetsCase{10, {2, -1}, "offsets must be non-decreasing, found -1 after 2"},
        // Order is checked before the end.
        OffsetsCase{2, {5, 3}, "offsets must be non-decreasing, found 3 after 5"},
        OffsetsCase{0, {0, I64_MAX}, "offsets end at 9223372036854775807 but only 0 values were given"},
        OffsetsCase{3, {3, 3}, std::nullopt}, OffsetsCase{10, {1, 3}, std::nullopt},
        OffsetsCase{0, {0, 0, 0}, std::nullopt}, OffsetsCase{U64_MAX, {0, I64_MAX}, std::nullopt}));

// Runs f as if the ambient pool had n threads, whatever this machine has.
template <class F>
auto with_ambient(int n, F f) {
    tbb::task_arena outer(n);
    return outer.execute(f);
}

std::unique_ptr<tbb::task_arena> plain_build(int n) { return std::make_unique<tbb::task_arena>(n); }

TEST(PoolCache, AmbientRequestsBuildNothing) {
    batch::PoolCache cache(plain_build);
    with_ambient(8, [&] {
        for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{8}, std::uint64_t{9}, U64_MAX})
            EXPECT_EQ(cache.get(n), nullptr) << n;
    });
    EXPECT_EQ(cache.size(), 0u);
}

TEST(PoolCache, DedicatedPoolHasExactlyNThreadsAndIsReused) {
    batch::PoolCache cache(plain_build);
    with_ambient(8, [&] {
        tbb::task_arena* one = cache.get(1);
        ASSERT_NE(one, nullptr);
        EXPECT_EQ(one->max_concurrency(), 1);
        EXPECT_EQ(cache.get(1), one);
        tbb::task_arena* two = cache.get(2);
        tbb::task_arena* three = cache.get(3);
        ASSERT_NE(two, nullptr);
        ASSERT_NE(three, nullptr);
        EXPECT_NE(two, three);
        EXPECT_EQ(two->max_concurrency(), 2);
        EXPECT_EQ(three->max_concurrency(), 3);
        EXPECT_EQ(cache.get(2), two);
    });
    EXPECT_EQ(cache.size(), 3u);
}

TEST(PoolCache, OneThreadAmbientPoolNeverBuilds) {
    batch::PoolCache cache(plain_build);
    with_ambient(1, [&] {
        EXPECT_EQ(cache.get(1), nullptr);
        EXPECT_EQ(cache.get(2), nullptr);
    });
    EXPECT_EQ(cache.size(), 0u);
}

std::atomic<int> failing_builds{0};
std::unique_ptr<tbb::task_arena> failing_build(int) {
    ++failing_builds;
    return nullptr;
}

TEST(PoolCache, FailedBuildFallsBackAndIsRetried) {
    batch::PoolCache cache(failing_build);
    failing_builds = 0;
    with_ambient(8, [&] {
        EXPECT_EQ(cache.get(2), nullptr);
        EXPECT_EQ(cache.get(2), nullptr);
    });
    EXPECT_EQ(failing_builds.load(), 2);
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_FALSE(cache.poisoned());
}

std::atomic<int> throwing_builds{0};
std::unique_ptr<tbb::task_arena> throwing_build(int n) {
    if (throwing_builds++ == 0) throw std::bad_alloc();
    return plain_build(n);
}

TEST(PoolCache, ExceptionUnderTheLockPoisonsEveryLaterRequest) {
    batch::PoolCache cache(throwing_build);
    throwing_builds = 0;
    with_ambient(8, [&] {
        EXPECT_EQ(cache.get(2), nullptr);
        EXPECT_EQ(cache.get(2), nullptr);
        EXPECT_EQ(cache.get(3), nullptr);
    });
    EXPECT_TRUE(cache.poisoned());
    EXPECT_EQ(throwing_builds.load(), 1);  // a poisoned cache builds nothing
    EXPECT_EQ(cache.size(), 0u);
}

std::atomic<int> slow_builds{0};
std::unique_ptr<tbb::task_arena> slow_build(int n) {
    ++slow_builds;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the other caller arrive
    return plain_build(n);
}

TEST(PoolCache, ConcurrentFirstRequestsShareOneBuild) {
    batch::PoolCache cache(slow_build);
    slow_builds = 0;
    tbb::task_arena* seen[2] = {nullptr, nullptr};
    auto request = [&](int k) { seen[k] = with_ambient(8, [&] { return cache.get(4); }); };
    std::thread a(request, 0), b(request, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(slow_builds.load(), 1);
}

TEST(PoolCache, ProcessWideCacheKeepsItsPools) {
    with_ambient(8, [] {
        const std::size_t before = batch::pools().size();
        EXPECT_EQ(batch::pool_for(0), nullptr);
        EXPECT_EQ(batch::pools().size(), before);
        tbb::task_arena* pool = batch::pool_for(5);
        ASSERT_NE(pool, nullptr);
        EXPECT_EQ(batch::pool_for(5), pool);
    });
}

// `mean` over {1, 2, 3, 4, 5, 6} cut as [0, 2), [2, 2), [2, 6).
struct Batch {
    std::vector<double> values{1, 2, 3, 4, 5, 6};
    std::vector<std::int64_t> offsets{0, 2, 2, 6};
    std::vector<PlanItem> plan;
    std::size_t width = 0;

    void add(std::string name, std::size_t n_sets) {
        plan.push_back(PlanItem{std::move(name), std::vector<Params>(n_sets), n_sets});
        width += n_sets;
    }
};

bool same_cells(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    return true;
}

TEST(RunBatch, PoolsGiveTheSameMatrix) {
    Batch b;
    b.add("mean", 2);  // scalar: second column stays NaN
    b.add("mean", 0);
    b.add("matrix_profile", 1);  // not implemented
    b.add("mean", 1);
    const double nan = std::nan("");
    // Means by hand: 1.5, empty (NaN), 4.5.
    const std::vector<double> expected{1.5, nan, nan, 1.5, nan, nan, nan, nan, 4.5, nan, nan, 4.5};
    with_ambient(8, [&] {
        for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{8}, U64_MAX})
            EXPECT_TRUE(same_cells(batch::run_batch(b.values, b.offsets, b.plan, b.width, n), expected)) << n;
    });
    std::vector<std::uint64_t> timings{7, 7, 7, 7, 7, 7};
    EXPECT_TRUE(same_cells(batch::run_batch_timed(b.values, b.offsets, b.plan, b.width, timings), expected));
    EXPECT_EQ(timings.size(), b.plan.size());
}

TEST(RunBatch, UnrepresentableMatrixIsAnAllocationFailure) {
    Batch b;
    b.plan.push_back(PlanItem{"mean", {}, std::size_t{1} << 62});
    b.width = std::size_t{1} << 62;  // 3 rows: 3 * 2^62 cells overflow 64 bits
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, b.width, 0), std::bad_alloc);
    std::vector<std::uint64_t> timings;
    EXPECT_THROW(batch::run_batch_timed(b.values, b.offsets, b.plan, b.width, timings), std::bad_alloc);
}

TEST(RunBatch, InconsistentInputsAreRejectedBeforeAnyWrite) {
    Batch b;
    b.add("mean", 1);
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, 2, 0), helpers::InternalFailure);
    // Widths whose sum wraps around to the row width.
    Batch wrap;
    wrap.plan.push_back(PlanItem{"mean", {}, std::size_t{1} << 63});
    wrap.plan.push_back(PlanItem{"mean", {}, (std::size_t{1} << 63) + 1});
    EXPECT_THROW(batch::run_batch(wrap.values, wrap.offsets, wrap.plan, 1, 0), helpers::InternalFailure);
    b.offsets.back() = 7;  // past the 6 values
    EXPECT_THROW(batch::run_batch(b.values, b.offsets, b.plan, b.width, 0), helpers::InternalFailure);
}

}  // namespace
