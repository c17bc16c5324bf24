// The module `_selquor_rs`: its creation, its function table and the wrapper
// that every function is entered through.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "helpers/panic.h"
#include "module/args.h"
#include "module/functions.h"
#include "numeric/interrupt.h"

namespace module {

void raise_panic(const char* message) {
    // Derived from BaseException so that `except Exception` does not swallow
    // a bug; created on first use and kept for the life of the process.
    static PyObject* panic_type = nullptr;
    if (!panic_type) {
        panic_type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
        if (!panic_type) return;
    }
    Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(panic_type, text.get());
}

namespace {

// Runs `body` and turns anything thrown below it into a Python exception.
// Internal failures have already been reported on stderr by helpers::panic.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const helpers::InternalFailure& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "internal failure: %s\n", e.what());
        raise_panic(e.what());
    } catch (...) {
        std::fprintf(stderr, "internal failure: unknown exception\n");
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

using Body = PyObject* (*)(PyObject* const* bound);

template <const Signature& S, Body B>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        static_assert(S.names.size() <= 4);
        if (!bind(S, args, nargs, kwnames, bound)) return nullptr;
        // Long work checks for signals at its strides (a handler that
        // raises ends the call with its exception).
        interrupt::Token token;
        interrupt::Scope scope(token, check_signals, nullptr);
        return B(bound);
    });
}

PyObject* entry_implemented(PyObject*, PyObject*) noexcept {
    return guarded([] { return implemented_calculators(); });
}

constexpr const char* FEATURE_NAMES[] = {"name", "x", "params"};
constexpr const char* TREND_NAMES[] = {"hours", "x", "params"};
constexpr const char* BATCH_NAMES[] = {"values", "offsets", "plan", "n_threads"};
constexpr const char* TIMED_NAMES[] = {"values", "offsets", "plan"};
constexpr Signature FEATURE{"compute_feature", FEATURE_NAMES, 3};
constexpr Signature TREND{"compute_linear_trend_timewise", TREND_NAMES, 3};
constexpr Signature BATCH{"extract_batch", BATCH_NAMES, 3};
constexpr Signature TIMED{"extract_batch_timed", TIMED_NAMES, 3};

template <const Signature& S, Body B>
PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<S, B>));
}

PyMethodDef FUNCTIONS[] = {
    {"compute_feature", fast<FEATURE, compute_feature>(), METH_FASTCALL | METH_KEYWORDS,
     "compute_feature(name, x, params)\n--\n\n"
     "Evaluate one calculator over one signal.\n\n"
     "Returns `None` when the calculator is not implemented here, which is how\n"
     "the Python layer knows to fall back to the reference rather than guess."},
    {"compute_linear_trend_timewise", fast<TREND, compute_linear_trend_timewise>(), METH_FASTCALL | METH_KEYWORDS,
     "compute_linear_trend_timewise(hours, x, params)\n--\n\n"
     "`linear_trend_timewise`, which needs the time axis rather than the index."},
    {"implemented_calculators", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_implemented)),
     METH_NOARGS,
     "implemented_calculators()\n--\n\n"
     "Names this crate implements, so the Python layer can assert coverage\n"
     "against `dir(selquor...feature_calculators)` instead of assuming it."},
    {"extract_batch", fast<BATCH, extract_batch>(), METH_FASTCALL | METH_KEYWORDS,
     "extract_batch(values, offsets, plan, n_threads=0)\n--\n\n"
     "Evaluate a whole plan over many series, in parallel.\n\n"
     "`values` is the concatenation of every series' samples and `offsets` marks\n"
     "the boundaries, so the caller hands over one flat array rather than a list\n"
     "of arrays - there is no per-series Python object to unwrap on this side.\n\n"
     "Returns a flat row-major matrix of `n_series x total_width`."},
    {"extract_batch_timed", fast<TIMED, extract_batch_timed>(), METH_FASTCALL | METH_KEYWORDS,
     "extract_batch_timed(values, offsets, plan)\n--\n\n"
     "As [`extract_batch`], but also reporting how long each plan item took.\n\n"
     "Runs single-threaded on purpose. The question this answers is \"what does\n"
     "each feature cost\", and attributing wall time per feature across a thread\n"
     "pool would measure contention rather than work. The totals are therefore\n"
     "comparable to each other, not to a threaded extraction's wall clock."},
};

PyModuleDef DEFINITION = {
    PyModuleDef_HEAD_INIT, "_selquor_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that owns the module (-1: none yet) and the module itself;
// both are set once and kept for the life of the process.
std::atomic<std::int64_t> INTERPRETER{-1};
PyObject* MODULE = nullptr;

// Appends `name` to `__all__` (creating it when missing), then sets the
// attribute. Steals nothing.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        raise_cannot_convert(all.get(), "PyList");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

bool populate(PyObject* module) {
    Ref version(PyUnicode_FromString("0.1.1"));
    if (!version || !add(module, "__version__", version.get())) return false;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : FUNCTIONS) {
        Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!function || !add(module, def.ml_name, function.get())) return false;
    }
    return true;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    std::int64_t owner = -1;
    if (!INTERPRETER.compare_exchange_strong(owner, id) && owner != id) {
        // The process-wide caches and the module cell are not per
        // interpreter.
        PyErr_SetString(PyExc_ImportError,
                        "_selquor_rs does not support sub-interpreters: only one interpreter per process can import it");
        return nullptr;
    }
    if (!learn_main_thread()) return nullptr;
    if (MODULE) {
        Py_INCREF(MODULE);
        return MODULE;
    }
    Ref module(PyModule_Create2(&DEFINITION, 3));  // 3: the stable ABI's API version
    if (!module || !populate(module.get())) return nullptr;
    MODULE = module.release();
    Py_INCREF(MODULE);  // one reference for the cell, one for the caller
    return MODULE;
}

}  // namespace

}  // namespace module

PyMODINIT_FUNC PyInit__selquor_rs(void) {
    return module::guarded([] { return module::initialise(); });
}
