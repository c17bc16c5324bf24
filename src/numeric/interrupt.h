// Stopping long work early.
//
// A call that may be asked to stop (a Python call, on Ctrl-C) opens a Scope
// on its thread; the threads that work for it open scopes on the same Token.
// Loops that can run for seconds call poll() at a coarse stride and return at
// once when it answers true: the work is then abandoned and its value
// discarded by whoever opened the scope. Without a scope poll() is false, so
// code that is never stopped pays one thread-local read per stride.
//
// The thread that owns the call also runs the owner's check when enough time
// has passed (the clock is read only at the stride): the check is how a stop
// request from outside (a signal) is seen. Nothing here knows who asks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace interrupt {

// The stop flag of one call, shared by every thread working for it.
class Token {
public:
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }
    void stop() { stop_.store(true, std::memory_order_relaxed); }

private:
    std::atomic<bool> stop_{false};
};

// Asked on the owner's thread; true means stop (the check keeps its own
// account of why, e.g. a pending exception).
using Check = bool (*)(void* state);

// The time between two checks of the owner.
inline constexpr std::chrono::milliseconds CHECK_EVERY{20};

// The clock of the checks: the kernel's coarse monotonic clock, whose
// resolution (a few milliseconds) is far below CHECK_EVERY and which costs
// a fraction of a precise reading, taken at every poll of the owner.
struct Clock {
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<Clock, duration>;
    static time_point now();
};

class Scope {
public:
    // The owner's scope: `check` (if not null) runs at most every
    // CHECK_EVERY from a poll on this thread, and stops the token when it
    // answers true. Once stopped, it is never asked again.
    Scope(Token& token, Check check, void* state);
    // A helper thread's scope: stops when the owner does.
    explicit Scope(Token& token) : Scope(token, nullptr, nullptr) {}
    // The owner's scope for a part of its work with a token of its own, with
    // the check (and its timing) of `like` (null: no check).
    Scope(Token& token, const Scope* like);
    // Restores the scope that was open on this thread before.
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    Token& token() const { return token_; }
    // The poll of this scope: true when the work is to stop.
    bool poll();

private:
    Token& token_;
    Check check_;
    void* state_;
    Scope* previous_;
    Clock::time_point next_{};  // the epoch: not started
};

// The scope open on this thread, or null.
Scope* current();

// True when the work of this thread's scope is to stop.
bool poll();

// Polls every `every` units of work: call it with the work just done.
class Stride {
public:
    explicit Stride(std::uint64_t every) : every_(every) {}
    bool operator()(std::uint64_t work = 1) {
        if ((done_ += work) < every_) return false;
        done_ = 0;
        return poll();
    }

private:
    std::uint64_t every_, done_ = 0;
};

}  // namespace interrupt
