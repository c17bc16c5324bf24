#include "batch/pools.h"

namespace batch {

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

}  // namespace batch
