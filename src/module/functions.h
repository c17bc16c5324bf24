// Bodies of the module's functions. Each receives its bound arguments
// (borrowed; null for an omitted optional one) in signature order and returns
// a new reference, or null with a Python exception set. C++ exceptions are
// left to the caller (module.cpp), which turns them into Python exceptions.
#pragma once

#include <span>
#include <vector>

#include "module/pyref.h"

namespace module {

PyObject* compute_feature(PyObject* const* args);
PyObject* compute_linear_trend_timewise(PyObject* const* args);
PyObject* implemented_calculators();
PyObject* extract_batch(PyObject* const* args);
PyObject* extract_batch_timed(PyObject* const* args);

// Interrupt checks (numeric/interrupt.h): the handlers of pending signals
// run, and one that raises stops the call's work with its exception set.
// With the interpreter lock held (every call is entered in a scope of this
// check):
bool check_signals(void*);
// With the lock released by a `Released`, which takes it back for the check.
bool check_signals_released(void* released);
// The work of the current call was stopped by a check: its exception is set.
bool interrupted();

// A new list of floats holding `values` in order.
PyObject* float_list(std::span<const double> values);

// Releases the interpreter lock for its lifetime; re-acquires it on every
// exit, exceptions included. No Python object may be touched meanwhile.
class WithoutGil {
public:
    WithoutGil() : state_(PyEval_SaveThread()) {}
    ~WithoutGil() { PyEval_RestoreThread(state_); }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;

    // f(), with the lock taken back for its time.
    template <class F>
    auto with_lock(F&& f) {
        PyEval_RestoreThread(state_);
        auto answer = f();
        state_ = PyEval_SaveThread();
        return answer;
    }

private:
    PyThreadState* state_;
};

// Learns which thread is the interpreter's main thread; run once, when the
// module is created. False with the exception set.
bool learn_main_thread();
// True on the interpreter's main thread. Runs no Python code.
bool on_main_thread();

// The lock released for a call's work, and taken back only for the
// interrupt checks. Only the main thread runs signal handlers: elsewhere the
// checks do not take the lock back at all.
struct Released {
    const bool main = on_main_thread();  // asked while the lock is still held
    WithoutGil gil;
};

}  // namespace module
