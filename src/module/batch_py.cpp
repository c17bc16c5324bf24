#include "module/functions.h"

namespace module {

PyObject* extract_batch(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "extract_batch is not available yet");
    return nullptr;
}

PyObject* extract_batch_timed(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "extract_batch_timed is not available yet");
    return nullptr;
}

}  // namespace module
