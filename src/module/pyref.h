// Owning handle for a new Python reference, and the few helpers every file
// of the boundary shares. Include this instead of Python.h directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace module {

// Owns one strong reference (or none). Destroy only with the interpreter
// lock held.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference; null stays null (a failed call).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a function's result).
    PyObject* release() { return std::exchange(p_, nullptr); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    PyObject* p_ = nullptr;
};

// `__qualname__` of an object's type as a new str reference, or null with an
// error set.
inline Ref type_qualname(PyObject* obj) {
    return Ref(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
}

// Sets TypeError "'{type}' object cannot be converted to '{target}'";
// always returns null.
PyObject* raise_cannot_convert(PyObject* obj, const char* target);

// Sets the panic exception (derived from BaseException) with `message`.
void raise_panic(const char* message);

}  // namespace module
