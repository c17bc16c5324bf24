#include "numeric/interrupt.h"

#include <time.h>

namespace interrupt {

namespace {

thread_local Scope* CURRENT = nullptr;

}  // namespace

Clock::time_point Clock::now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);  // cannot fail for this clock id on Linux
    return time_point(std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec));
}

Scope::Scope(Token& token, Check check, void* state)
    : token_(token), check_(check), state_(state), previous_(CURRENT) {
    CURRENT = this;
}

Scope::Scope(Token& token, const Scope* like)
    : Scope(token, like ? like->check_ : nullptr, like ? like->state_ : nullptr) {
    if (like) next_ = like->next_;
}

Scope::~Scope() { CURRENT = previous_; }

bool Scope::poll() {
    if (token_.stopped()) return true;
    if (!check_) return false;
    const auto now = Clock::now();
    // The first poll only starts the count: a short call is never checked.
    if (next_ == Clock::time_point{}) {
        next_ = now + CHECK_EVERY;
        return false;
    }
    if (now < next_) return false;
    next_ = now + CHECK_EVERY;
    if (!check_(state_)) return false;
    token_.stop();
    return true;
}

Scope* current() { return CURRENT; }

bool poll() {
    Scope* scope = CURRENT;
    return scope && scope->poll();
}

}  // namespace interrupt
