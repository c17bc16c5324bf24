// Binding of fast-call arguments to parameter names, and the conversion of
// each argument kind into a plain value. Every function returns false (or
// null) with a Python exception set on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "module/pyref.h"

namespace module {

struct Signature {
    const char* function;
    std::span<const char* const> names;  // every parameter, positional-or-keyword
    std::size_t required;                // the first `required` names have no default
};

// Fills out[i] with the borrowed argument for names[i], or null for an
// omitted optional parameter. Raises CPython's wording of binding errors.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** out);

// Text: a str (or subclass) as UTF-8, borrowed from the str object.
bool to_text(PyObject* obj, const char* param, std::string_view& out);

// List: a list (or subclass); nothing is read yet.
bool to_list(PyObject* obj, const char* param);

// Unsigned count: an int (or subclass), else through __index__; 0..2^64-1.
bool to_count(PyObject* obj, const char* param, std::uint64_t& out);

// A read-only, one-dimensional NumPy array of doubles or of int64. The view
// keeps NumPy's interface capsule, and with it a reference to the array, until
// it is destroyed: the buffer cannot be reallocated (resize checks references)
// while it is read.
enum class Element { Float64, Int64 };

struct ArrayView {
    Ref keep;
    const void* data = nullptr;
    std::size_t size = 0;
    bool contiguous = false;
    bool aligned = false;

    std::span<const double> doubles() const { return {static_cast<const double*>(data), size}; }
    std::span<const std::int64_t> ints() const { return {static_cast<const std::int64_t*>(data), size}; }
};

bool to_array(PyObject* obj, const char* param, Element element, ArrayView& out);

// TypeError "The given array is not contiguous" unless NumPy flags the array
// as C- or Fortran-contiguous; then "The given array is not aligned" unless
// its elements are aligned.
bool require_contiguous(const ArrayView& view);

}  // namespace module
