#include "module/functions.h"

#include <atomic>
#include <cmath>
#include <string_view>

#include "calculators/calculators.h"
#include "calculators/trend.h"
#include "module/args.h"
#include "module/params_py.h"
#include "numeric/interrupt.h"
#include "numeric/stats.h"

namespace module {

PyObject* float_list(std::span<const double> values) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

namespace {

// The ident of the interpreter's main thread, the one that runs signal
// handlers; learnt when the module is created, so that a check never runs
// Python code (which would run a pending handler outside the check, and
// whose failure would have to be cleared along with the handler's error).
std::atomic<unsigned long> MAIN_THREAD{0};

}  // namespace

bool learn_main_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    if (!ident) return false;
    const unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return false;
    MAIN_THREAD.store(id, std::memory_order_relaxed);
    return true;
}

bool on_main_thread() { return PyThread_get_thread_ident() == MAIN_THREAD.load(std::memory_order_relaxed); }

bool check_signals(void*) { return PyErr_CheckSignals() != 0; }

bool check_signals_released(void* released) {
    auto& r = *static_cast<Released*>(released);
    return r.main && r.gil.with_lock([] { return PyErr_CheckSignals() != 0; });
}

bool interrupted() {
    const interrupt::Scope* scope = interrupt::current();
    return scope && scope->token().stopped();
}

PyObject* compute_feature(PyObject* const* args) {
    std::string_view name;
    ArrayView x;
    if (!to_text(args[0], "name", name) || !to_array(args[1], "x", Element::Float64, x) ||
        !to_list(args[2], "params"))
        return nullptr;
    if (!require_contiguous(x)) return nullptr;
    std::vector<Params> sets;
    if (!params_from_list(args[2], sets)) return nullptr;

    const auto values = calculators::compute(name, x.doubles(), sets);
    if (interrupted()) return nullptr;
    if (!values) Py_RETURN_NONE;  // not implemented here: the caller falls back
    return float_list(*values);
}

PyObject* compute_linear_trend_timewise(PyObject* const* args) {
    ArrayView hours, x;
    if (!to_array(args[0], "hours", Element::Float64, hours) || !to_array(args[1], "x", Element::Float64, x) ||
        !to_list(args[2], "params"))
        return nullptr;
    // A malformed parameter list is reported ahead of the array layout.
    std::vector<Params> sets;
    if (!params_from_list(args[2], sets)) return nullptr;
    if (!require_contiguous(hours) || !require_contiguous(x)) return nullptr;

    const stats::LinregressResult line = stats::linregress(hours.doubles(), x.doubles());
    std::vector<double> out;
    out.reserve(sets.size());
    for (const Params& set : sets) out.push_back(calculators::line_field(line, helpers::text_param(set, "attr")));
    return float_list(out);
}

PyObject* implemented_calculators() {
    // A probe signal with some structure: every calculator has something to
    // chew on, and only the answer's presence matters.
    double probe[64];
    for (int k = 0; k < 64; ++k) probe[k] = std::sin(static_cast<double>(k) * 0.7);
    const Params empty[1];

    Ref names(PyList_New(0));
    if (!names) return nullptr;
    for (std::string_view name : calculators::CALCULATOR_NAMES) {
        if (!calculators::compute(name, probe, empty)) continue;
        Ref text(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!text || PyList_Append(names.get(), text.get()) < 0) return nullptr;
    }
    return names.release();
}

}  // namespace module
