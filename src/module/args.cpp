#include "module/args.h"

#include <string>

namespace module {

namespace {

// "argument '{p}': " in front of a conversion's TypeError, with the original
// as its cause; any other error stays as it is. Returns false.
bool argument_error(const char* param) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return false;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), cause(value), owned_traceback(traceback);
    if (traceback) PyException_SetTraceback(cause.get(), traceback);
    Ref text(PyObject_Str(cause.get()));
    if (!text) return false;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return false;
    Ref error(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!error) return false;
    PyException_SetCause(error.get(), cause.release());  // steals the cause
    PyErr_SetObject(PyExc_TypeError, error.get());
    return false;
}

// NumPy's array interface as a C struct (version 2 of the protocol), reached
// through the `__array_struct__` capsule. Declared here so that no NumPy
// header is needed.
struct ArrayInterface {
    int two;
    int nd;
    char typekind;
    int itemsize;
    int flags;
    Py_ssize_t* shape;
    Py_ssize_t* strides;
    void* data;
    PyObject* descr;
};
constexpr int C_CONTIGUOUS = 0x0001;
constexpr int F_CONTIGUOUS = 0x0002;
constexpr int ALIGNED = 0x0100;
constexpr int NOTSWAPPED = 0x0200;

// The ndarray type and the getter of its own `__array_struct__`, looked up
// once. The getter is called directly, so a subclass that redefines the
// attribute cannot hand us a forged pointer.
struct Numpy {
    PyTypeObject* ndarray = nullptr;
    PyObject* struct_descriptor = nullptr;
    descrgetfunc get = nullptr;
};

const Numpy* numpy() {
    static Numpy cached;  // guarded by the interpreter lock; never released
    if (cached.get) return &cached;
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    Ref ndarray(PyObject_GetAttrString(np.get(), "ndarray"));
    if (!ndarray) return nullptr;
    if (!PyType_Check(ndarray.get())) {
        PyErr_SetString(PyExc_ImportError, "numpy.ndarray is not a type");
        return nullptr;
    }
    Ref descriptor(PyObject_GetAttrString(ndarray.get(), "__array_struct__"));
    if (!descriptor) return nullptr;
    auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(descriptor.get()), Py_tp_descr_get));
    if (!get) {
        PyErr_SetString(PyExc_ImportError, "numpy.ndarray.__array_struct__ is not a descriptor");
        return nullptr;
    }
    cached.ndarray = reinterpret_cast<PyTypeObject*>(ndarray.release());
    cached.struct_descriptor = descriptor.release();
    cached.get = get;
    return &cached;
}

}  // namespace

PyObject* raise_cannot_convert(PyObject* obj, const char* target) {
    Ref name = type_qualname(obj);
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return nullptr;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t n = sig.names.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;

    if (static_cast<std::size_t>(nargs) > n) {
        if (sig.required == n)
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", sig.function, n,
                         nargs);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                         sig.function, sig.required, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed
        if (!key) return false;
        std::size_t index = n;
        for (std::size_t i = 0; i < n; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
                index = i;
                break;
            }
        }
        if (index == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
            return false;
        }
        if (out[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function,
                         sig.names[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }

    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.required; ++i) missing += out[i] == nullptr;
    if (missing == 0) return true;
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        if (listed > 0) {
            if (missing > 2) names += ',';
            names += listed + 1 == missing ? " and " : " ";
        }
        names += '\'';
        names += sig.names[i];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, missing,
                 missing > 1 ? "s" : "", names.c_str());
    return false;
}

bool to_text(PyObject* obj, const char* param, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        raise_cannot_convert(obj, "PyString");
        return argument_error(param);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // kept by the str itself
    if (!utf8) return argument_error(param);
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_list(PyObject* obj, const char* param) {
    if (PyList_Check(obj)) return true;
    raise_cannot_convert(obj, "PyList");
    return argument_error(param);
}

bool to_count(PyObject* obj, const char* param, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return argument_error(param);
        obj = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return argument_error(param);
    out = value;
    return true;
}

bool to_array(PyObject* obj, const char* param, Element element, ArrayView& out) {
    const Numpy* np = numpy();
    if (!np) return argument_error(param);
    if (!PyObject_TypeCheck(obj, np->ndarray)) {
        raise_cannot_convert(obj, "PyArray<T, D>");
        return argument_error(param);
    }
    Ref capsule(np->get(np->struct_descriptor, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    if (!capsule) return argument_error(param);
    auto* info = static_cast<const ArrayInterface*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!info) return argument_error(param);
    const char kind = element == Element::Float64 ? 'f' : 'i';
    // NumPy's equivalence for these types: same kind, size and byte order.
    if (info->two != 2 || info->nd != 1 || info->typekind != kind || info->itemsize != 8 ||
        !(info->flags & NOTSWAPPED) || info->shape[0] < 0) {
        raise_cannot_convert(obj, "PyArray<T, D>");
        return argument_error(param);
    }
    out.data = info->data;
    out.size = static_cast<std::size_t>(info->shape[0]);
    out.contiguous = (info->flags & (C_CONTIGUOUS | F_CONTIGUOUS)) != 0;
    out.aligned = (info->flags & ALIGNED) != 0;
    out.keep = std::move(capsule);
    return true;
}

bool require_contiguous(const ArrayView& view) {
    if (!view.contiguous) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return false;
    }
    // Misaligned elements cannot be read in place without undefined
    // behaviour, and the array is never copied.
    if (!view.aligned) {
        PyErr_SetString(PyExc_TypeError, "The given array is not aligned");
        return false;
    }
    return true;
}

}  // namespace module
