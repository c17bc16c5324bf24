#include "module/params_py.h"

#include <cstdint>
#include <string>

#include "helpers/panic.h"

namespace module {

namespace {

// The "-convertible" tests below are probes: a failure is not an error, so
// the exception is discarded and the caller tries the next rule.

bool integer_convertible(PyObject* obj, std::int64_t& out) {
    const long v = PyLong_AsLong(obj);  // int, or __index__; 64-bit long here
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}
static_assert(sizeof(long) == sizeof(std::int64_t));

bool float_convertible(PyObject* obj, double& out) {
    const double v = PyFloat_AsDouble(obj);  // float, __float__, or __index__
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

// Every item through `take` in iteration order; false (no error set) when
// iteration fails or `take` refuses an item.
template <class Take>
bool all_items(PyObject* iterable, Take&& take) {
    Ref it(PyObject_GetIter(iterable));
    if (!it) {
        PyErr_Clear();
        return false;
    }
    while (Ref item{PyIter_Next(it.get())}) {
        if (!take(item.get())) return false;
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

bool ints_of(PyObject* seq, std::vector<std::int64_t>& out) {
    return all_items(seq, [&](PyObject* item) {
        std::int64_t v;
        if (!integer_convertible(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

bool floats_of(PyObject* seq, std::vector<double>& out) {
    return all_items(seq, [&](PyObject* item) {
        double v;
        if (!float_convertible(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

bool utf8_copy(PyObject* str, std::string& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

// The value rules, in their order; only an out-of-range int and a str with
// no UTF-8 form fail.
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
        if (ints_of(obj, ints)) {
            out.v = std::move(ints);
            return true;
        }
        std::vector<double> reals;
        if (!floats_of(obj, reals)) reals.clear();  // a non-number anywhere: empty
        out.v = std::move(reals);
        return true;
    }
    std::int64_t i;
    if (integer_convertible(obj, i)) {
        out.v = i;
        return true;
    }
    double d;
    if (float_convertible(obj, d)) {
        out.v = d;
        return true;
    }
    if (PySequence_Check(obj)) {
        std::vector<double> reals;
        if (floats_of(obj, reals)) {
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

}  // namespace

bool params_from_list(PyObject* list, std::vector<Params>& out) {
    const Py_ssize_t size = PyList_Size(list);
    out.clear();
    out.reserve(static_cast<std::size_t>(size));
    // Hooks may shrink the list meanwhile: stop at its current end.
    for (Py_ssize_t i = 0; i < size && i < PyList_Size(list); ++i) {
        Ref entry = Ref::borrow(PyList_GetItem(list, i));
        if (!entry) return false;
        if (!PyDict_Check(entry.get())) {
            PyErr_SetString(PyExc_ValueError, "each parameter entry must be a dict");
            return false;
        }
        Params set;
        if (!params_from_dict(entry.get(), set)) return false;
        out.push_back(std::move(set));
    }
    return true;
}

bool parse_plan(PyObject* plan, std::vector<PlanItem>& out) {
    const Py_ssize_t size = PyList_Size(plan);
    out.clear();
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size && i < PyList_Size(plan); ++i) {
        Ref entry = Ref::borrow(PyList_GetItem(plan, i));
        if (!entry) return false;
        if (!PyTuple_Check(entry.get())) {
            PyErr_SetString(PyExc_ValueError, "plan entries must be (name, [params]) tuples");
            return false;
        }
        PlanItem item;
        Ref name = Ref::borrow(PyTuple_GetItem(entry.get(), 0));  // IndexError when empty
        if (!name) return false;
        if (!PyUnicode_Check(name.get())) {
            raise_cannot_convert(name.get(), "PyString");
            return false;
        }
        if (!utf8_copy(name.get(), item.name)) return false;
        Ref params = Ref::borrow(PyTuple_GetItem(entry.get(), 1));
        if (!params) return false;
        if (!PyList_Check(params.get())) {
            PyErr_SetString(PyExc_ValueError, "plan parameters must be a list");
            return false;
        }
        if (!params_from_list(params.get(), item.params)) return false;
        item.width = item.params.size();
        out.push_back(std::move(item));
    }
    return true;
}

}  // namespace module
