// The dedicated thread pools of the batches: one oneTBB arena per thread
// count, built on first request and kept (with its workers) for the rest of
// the process. The cache is the only state batches share.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <oneapi/tbb/task_arena.h>

namespace batch {

// Dedicated pools, one per thread count.
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
