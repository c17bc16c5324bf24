#include "module/params_py.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "helpers/panic.h"

namespace module {

namespace {

// The "-convertible" tests below are probes: a failure means "not this
// kind", so the exception is discarded and the caller tries the next rule.
// Some exceptions are no verdict on the value and end the call instead: an
// interrupt, an exit request, exhausted memory, and whatever a signal handler
// raises while a long sequence is converted.
enum class Probe { No, Yes, Fail };

Probe discard_probe_error() {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit) ||
        PyErr_ExceptionMatches(PyExc_MemoryError))
        return Probe::Fail;
    PyErr_Clear();
    return Probe::No;
}

Probe integer_convertible(PyObject* obj, std::int64_t& out) {
    const long v = PyLong_AsLong(obj);  // int, or __index__; 64-bit long here
    if (v == -1 && PyErr_Occurred()) return discard_probe_error();
    out = v;
    return Probe::Yes;
}
static_assert(sizeof(long) == sizeof(std::int64_t));

Probe float_convertible(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);  // float, __float__, or __index__
    if (v == -1.0 && PyErr_Occurred()) return discard_probe_error();
    out = v;
    return Probe::Yes;
}

// How many 8-byte items a converted list can ever hold: the machine's
// physical memory, or the process's address-space limit when that is lower.
std::size_t item_limit() {
    static const std::size_t limit = [] {
        std::uint64_t bytes = std::numeric_limits<std::uint64_t>::max();
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && page > 0) bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
        rlimit as{};
        if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY)
            bytes = std::min<std::uint64_t>(bytes, as.rlim_cur);
        return static_cast<std::size_t>(bytes / 8);
    }();
    return limit;
}

Probe too_many_items(std::size_t n) {
    PyErr_Format(PyExc_MemoryError, "a parameter sequence of %zu items cannot be held in memory", n);
    return Probe::Fail;
}

Probe uncountable_items() {
    PyErr_SetString(PyExc_MemoryError, "a parameter sequence too long to count cannot be held in memory");
    return Probe::Fail;
}

// Refuses a sequence whose length memory cannot hold before any item is
// read. A length that does not fit an index (range(10**20)) is such a length;
// any other failure to tell the length leaves the sequence unsized.
Probe check_length(PyObject* seq) {
    const Py_ssize_t n = PyObject_Size(seq);
    if (n < 0) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return uncountable_items();
        }
        return discard_probe_error() == Probe::Fail ? Probe::Fail : Probe::Yes;
    }
    return static_cast<std::size_t>(n) > item_limit() ? too_many_items(static_cast<std::size_t>(n)) : Probe::Yes;
}

// Signals are checked this often while items are read, so that Ctrl-C stops
// a long conversion.
constexpr std::size_t SIGNAL_CHECK_EVERY = 1 << 14;

// Every item through `take` (Probe of an item) in iteration order: Yes when
// all are taken, No when iteration fails or `take` refuses an item, Fail
// with the call's error set.
template <class Take>
Probe all_items(PyObject* iterable, Take&& take) {
    if (check_length(iterable) == Probe::Fail) return Probe::Fail;
    Ref it(PyObject_GetIter(iterable));
    if (!it) return discard_probe_error();
    for (std::size_t n = 1;; ++n) {
        Ref item(PyIter_Next(it.get()));
        if (!item) break;
        // An unsized (or lying) sequence is held to the same bound.
        if (n > item_limit()) return too_many_items(n);
        if (n % SIGNAL_CHECK_EVERY == 0 && PyErr_CheckSignals() < 0) return Probe::Fail;
        const Probe taken = take(item.get());
        if (taken != Probe::Yes) return taken;
    }
    if (PyErr_Occurred()) return discard_probe_error();
    return Probe::Yes;
}

Probe ints_of(PyObject* seq, std::vector<std::int64_t>& out) {
    return all_items(seq, [&](PyObject* item) {
        std::int64_t v;
        const Probe p = integer_convertible(item, v);
        if (p == Probe::Yes) out.push_back(v);
        return p;
    });
}

Probe floats_of(PyObject* seq, std::vector<double>& out) {
    return all_items(seq, [&](PyObject* item) {
        double v;
        const Probe p = float_convertible(item, v);
        if (p == Probe::Yes) out.push_back(v);
        return p;
    });
}

bool utf8_copy(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

// NumPy's boolean scalar type, found without importing NumPy: a value can
// only be one once NumPy is loaded. Looked up until found, then kept for the
// life of the process. Null while NumPy is not loaded.
PyObject* numpy_bool_type() {
    static PyObject* cached = nullptr;  // guarded by the interpreter lock
    if (cached) return cached;
    PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");  // borrowed
    if (!numpy) return nullptr;
    Ref type(PyObject_GetAttrString(numpy, "bool_"));
    if (!type || !PyType_Check(type.get())) {
        PyErr_Clear();
        return nullptr;
    }
    cached = type.release();
    return cached;
}

// The type cannot be subclassed, so its identity is the test.
bool is_numpy_bool(PyObject* obj) {
    PyObject* type = numpy_bool_type();
    return type && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type;
}

// The value rules, in their order; only an out-of-range int, a str with no
// UTF-8 form, a sequence too long for memory and the errors that are no
// verdict on a value (see Probe) fail.
bool to_pval(PyObject* obj, PVal& out) {
    if (obj == Py_None) {
        out.v = std::monostate{};
        return true;
    }
    if (PyBool_Check(obj)) {
        out.v = obj == Py_True;
        return true;
    }
    if (PyLong_Check(obj)) {
        const long v = PyLong_AsLong(obj);
        if (v == -1 && PyErr_Occurred()) return false;
        out.v = std::int64_t{v};
        return true;
    }
    if (PyFloat_Check(obj)) {
        out.v = PyFloat_AsDouble(obj);
        return true;
    }
    if (PyUnicode_Check(obj)) {
        std::string text;
        if (!utf8_copy(obj, text)) return false;
        out.v = std::move(text);
        return true;
    }
    if (PyTuple_Check(obj) || PyList_Check(obj)) {
        std::vector<std::int64_t> ints;
        Probe p = ints_of(obj, ints);
        if (p == Probe::Fail) return false;
        if (p == Probe::Yes) {
            out.v = std::move(ints);
            return true;
        }
        std::vector<double> reals;
        p = floats_of(obj, reals);
        if (p == Probe::Fail) return false;
        if (p == Probe::No) reals.clear();  // a non-number anywhere: empty
        out.v = std::move(reals);
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out.v = truth == 1;
        return true;
    }
    std::int64_t i = 0;
    Probe p = integer_convertible(obj, i);
    if (p == Probe::Fail) return false;
    if (p == Probe::Yes) {
        out.v = i;
        return true;
    }
    double d = 0.0;
    p = float_convertible(obj, d);
    if (p == Probe::Fail) return false;
    if (p == Probe::Yes) {
        out.v = d;
        return true;
    }
    if (PySequence_Check(obj)) {
        std::vector<double> reals;
        p = floats_of(obj, reals);
        if (p == Probe::Fail) return false;
        if (p == Probe::Yes) {
            out.v = std::move(reals);
            return true;
        }
    }
    out.v = std::monostate{};
    return true;
}

bool params_from_dict(PyObject* dict, Params& out) {
    // Value hooks may run arbitrary code, including code that edits this
    // dict; a change is a broken invariant of the conversion, as in a Python
    // for-loop over the dict.
    const Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t remaining = size;
    Py_ssize_t pos = 0;
    for (;;) {
        if (PyDict_Size(dict) != size) helpers::panic("dictionary changed size during iteration");
        if (remaining == -1) helpers::panic("dictionary keys changed during iteration");
        PyObject *k, *v;
        if (!PyDict_Next(dict, &pos, &k, &v)) break;
        --remaining;
        Ref key = Ref::borrow(k), value = Ref::borrow(v);  // hooks may drop the dict's references
        if (!PyUnicode_Check(key.get())) {
            raise_cannot_convert(key.get(), "PyString");
            return false;
        }
        std::string name;
        if (!utf8_copy(key.get(), name)) return false;
        PVal pval;
        if (!to_pval(value.get(), pval)) return false;
        out.set(std::move(name), std::move(pval));
    }
    return true;
}

// Reads each entry of `list` in order into `out` with read(entry, value),
// after checking it with is(entry) (else ValueError `message`). Hooks run by
// read may shrink the list meanwhile: the walk stops at its current end.
template <class T, class Is, class Read>
bool read_entries(PyObject* list, Is&& is, const char* message, std::vector<T>& out, Read&& read) {
    const Py_ssize_t size = PyList_Size(list);
    out.clear();
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size && i < PyList_Size(list); ++i) {
        Ref entry = Ref::borrow(PyList_GetItem(list, i));
        if (!entry) return false;
        if (!is(entry.get())) {
            PyErr_SetString(PyExc_ValueError, message);
            return false;
        }
        T value;
        if (!read(entry.get(), value)) return false;
        out.push_back(std::move(value));
    }
    return true;
}

}  // namespace

bool params_from_list(PyObject* list, std::vector<Params>& out) {
    return read_entries(list, [](PyObject* entry) { return PyDict_Check(entry); },
                        "each parameter entry must be a dict", out, params_from_dict);
}

bool parse_plan(PyObject* plan, std::vector<PlanItem>& out) {
    return read_entries(
        plan, [](PyObject* entry) { return PyTuple_Check(entry); }, "plan entries must be (name, [params]) tuples",
        out, [](PyObject* entry, PlanItem& item) {
            Ref name = Ref::borrow(PyTuple_GetItem(entry, 0));  // IndexError when empty
            if (!name) return false;
            if (!PyUnicode_Check(name.get())) {
                raise_cannot_convert(name.get(), "PyString");
                return false;
            }
            if (!utf8_copy(name.get(), item.name)) return false;
            Ref params = Ref::borrow(PyTuple_GetItem(entry, 1));
            if (!params) return false;
            if (!PyList_Check(params.get())) {
                PyErr_SetString(PyExc_ValueError, "plan parameters must be a list");
                return false;
            }
            if (!params_from_list(params.get(), item.params)) return false;
            item.width = item.params.size();
            return true;
        });
}

}  // namespace module
