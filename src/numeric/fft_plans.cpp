#include "numeric/fft_plans.h"

#include <fftw3.h>

#include <algorithm>
#include <new>

namespace spectral {

void* aligned_alloc_bytes(std::size_t bytes) {
    void* p = fftw_malloc(std::max<std::size_t>(bytes, 1));
    if (!p) throw std::bad_alloc();
    return p;
}

void aligned_free(void* p) noexcept { fftw_free(p); }

class Plan {
public:
    explicit Plan(fftw_plan p) : plan(p) {}
    fftw_plan plan;
};

void execute(const Plan& plan, double* in, double (*out)[2]) { fftw_execute_dft_r2c(plan.plan, in, out); }

Planner& PLANNER = *new Planner();  // never freed: plans may outlive any static

namespace {

// Made under the planner's lock. FFTW_ESTIMATE looks at the arrays only for
// their alignment, so two scratch arrays from fftw_malloc stand in for every
// later buffer (all of which come from fftw_malloc too).
fftw_plan make_fftw_plan(std::size_t n) {
    double* real = static_cast<double*>(fftw_malloc(n * sizeof(double)));
    auto* cplx = static_cast<fftw_complex*>(fftw_malloc((n / 2 + 1) * sizeof(fftw_complex)));
    fftw_plan p = nullptr;
    if (real && cplx) {
        // 64-bit dimensions: no length is too long to describe.
        const fftw_iodim64 dim{static_cast<std::ptrdiff_t>(n), 1, 1};
        p = fftw_plan_guru64_dft_r2c(1, &dim, 0, nullptr, real, cplx, FFTW_ESTIMATE);
    }
    fftw_free(real);
    fftw_free(cplx);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

PlanRef Planner::shared(std::size_t n) {
    // Plans evicted here are released after the lock (their deleter takes it).
    std::vector<PlanRef> dropped;
    std::lock_guard lock(mutex_);
    if (const auto it = index_.find(n); it != index_.end()) {
        lru_.splice(lru_.begin(), lru_, it->second);
        return it->second->second;
    }
    PlanRef plan(new Plan(make_fftw_plan(n)), [](const Plan* p) {
        std::lock_guard relock(PLANNER.mutex());
        fftw_destroy_plan(p->plan);
        delete p;
    });
    lru_.emplace_front(n, plan);
    index_.emplace(n, lru_.begin());
    points_ += n;
    while (lru_.size() > 1 && (lru_.size() > MAX_PLANS || points_ > MAX_POINTS)) {
        auto& [old_n, old_plan] = lru_.back();
        points_ -= old_n;
        index_.erase(old_n);
        dropped.push_back(std::move(old_plan));
        lru_.pop_back();
        ++evicted_;
    }
    // FFTW remembers every problem it has solved. Forgetting bounds that
    // memory when many lengths pass through; FFTW_ESTIMATE decides again
    // exactly as before, so later plans are the same.
    if (evicted_ >= MAX_PLANS) {
        fftw_forget_wisdom();
        evicted_ = 0;
    }
    return plan;
}

const Plan& Planner::get(std::size_t n) {
    struct Local {
        std::uint64_t generation = 0;
        std::size_t next = 0;
        std::size_t length[LOCAL] = {};
        PlanRef plan[LOCAL];
    };
    thread_local Local local;
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    if (local.generation != generation) {
        for (PlanRef& p : local.plan) p.reset();
        local.generation = generation;
    }
    for (std::size_t i = 0; i < LOCAL; ++i)
        if (local.plan[i] && local.length[i] == n) return *local.plan[i];
    const std::size_t slot = local.next++ % LOCAL;
    local.plan[slot] = shared(n);  // the plan replaced is released outside the lock
    local.length[slot] = n;
    return *local.plan[slot];
}

void Planner::clear() {
    generation_.fetch_add(1, std::memory_order_acq_rel);
    Lru dropped;  // released after the lock
    std::lock_guard lock(mutex_);
    dropped.swap(lru_);
    index_.clear();
    points_ = 0;
    fftw_forget_wisdom();
    evicted_ = 0;
}

std::size_t Planner::cached() const {
    std::lock_guard lock(mutex_);
    return lru_.size();
}

}  // namespace spectral
