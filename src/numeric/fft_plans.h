// The FFT plans: FFTW's planner behind one process-wide cache (PLANNER), and
// the aligned storage every plan is made for.
//
// FFTW's planner is not thread-safe but its plans are: plans are made under
// PLANNER's lock and executed outside it, with FFTW's new-array functions on
// fftw_malloc buffers. Plans are made with FFTW_ESTIMATE only, which chooses
// by operation counts, never by timing: a length always gets the same plan,
// so a result never depends on which thread, call or batch made the plan,
// nor on whether the plan was dropped from the bounded cache and made again.
#pragma once

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace spectral {

using Complex = std::complex<double>;

// Storage with FFTW's SIMD alignment (fftw_malloc), so transforms write
// straight into a result.
void* aligned_alloc_bytes(std::size_t bytes);
void aligned_free(void* p) noexcept;
template <class T>
struct AlignedAllocator {
    using value_type = T;
    AlignedAllocator() = default;
    template <class U>
    AlignedAllocator(const AlignedAllocator<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(aligned_alloc_bytes(n * sizeof(T))); }
    void deallocate(T* p, std::size_t) noexcept { aligned_free(p); }
    template <class U>
    bool operator==(const AlignedAllocator<U>&) const { return true; }
};

// One FFTW plan; destroyed (under the planner's lock) when the cache and
// every caller have let go of it.
class Plan;
using PlanRef = std::shared_ptr<const Plan>;

// Runs `plan` (of length n) from `in` (n reals) to `out` (n/2 + 1 bins, laid
// out as fftw_complex), both from aligned_alloc_bytes. Needs no lock.
void execute(const Plan& plan, double* in, double (*out)[2]);

// The cache of plans, least recently used dropped first once it holds more
// than MAX_PLANS plans or more than MAX_POINTS summed transform lengths (the
// plan just asked for always stays). Each thread also keeps its LOCAL most
// recent plans, found without the lock. Never destroyed.
class Planner {
public:
    static constexpr std::size_t MAX_PLANS = 256;
    static constexpr std::size_t MAX_POINTS = std::size_t{1} << 23;
    static constexpr std::size_t LOCAL = 4;

    // The plan of the real-to-complex forward transform of length n >= 1
    // (n reals to n/2 + 1 bins, unnormalised), made on first request. Valid
    // until the calling thread asks for LOCAL other lengths.
    const Plan& get(std::size_t n);
    // Drops every cached plan, the threads' own included (a plan in use
    // lives until released).
    void clear();
    std::size_t cached() const;

    // The planner's lock: every FFTW call but the new-array executes.
    std::mutex& mutex() const { return mutex_; }

private:
    using Lru = std::list<std::pair<std::size_t, PlanRef>>;  // (length, plan)

    PlanRef shared(std::size_t n);  // the cache behind the lock

    mutable std::mutex mutex_;
    Lru lru_;  // most recently used first
    std::unordered_map<std::size_t, Lru::iterator> index_;
    std::size_t points_ = 0;
    std::size_t evicted_ = 0;  // since FFTW last forgot its wisdom
    std::atomic<std::uint64_t> generation_{0};  // bumped by clear(): threads drop their own plans
};

extern Planner& PLANNER;

}  // namespace spectral
