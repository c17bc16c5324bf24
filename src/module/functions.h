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

private:
    PyThreadState* state_;
};

}  // namespace module
