// extract_batch and extract_batch_timed: the Python half. Everything that
// reads or builds a Python object runs with the interpreter lock; the engine
// runs without it.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "module/args.h"
#include "batch/engine.h"
#include "module/functions.h"
#include "module/params_py.h"
#include "numeric/interrupt.h"

namespace module {

namespace {

// A spare buffer for the offsets snapshot, kept per thread between calls:
// memory freshly mapped for a large snapshot costs a page fault per 512
// series on every call. A call takes the spare (a call nested in it by a
// conversion hook on the same thread finds none and allocates its own) and
// puts its buffer back when it ends, unless the buffer is larger than is
// worth keeping.
thread_local std::vector<std::int64_t> SPARE_BOUNDS;
constexpr std::size_t KEEP_BOUNDS = std::size_t{1} << 20;  // 8 MiB

// The arrays and plan of one batch call, converted and checked.
struct Batch {
    ArrayView values, offsets;
    // The offsets as checked. Another Python thread may write to the array
    // once the interpreter lock is released, so the rows read this copy.
    std::vector<std::int64_t> bounds = std::exchange(SPARE_BOUNDS, {});
    std::vector<PlanItem> plan;
    std::size_t width = 0;

    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        if (bounds.capacity() <= KEEP_BOUNDS && bounds.capacity() > SPARE_BOUNDS.capacity())
            SPARE_BOUNDS = std::move(bounds);
    }
};

// (list, n_series, width[, timings]) with the list built from `cells`.
PyObject* result(std::span<const double> cells, std::size_t n_series, std::size_t width,
                 const std::vector<std::uint64_t>* timings) {
    Ref tuple(PyTuple_New(timings ? 4 : 3));
    if (!tuple) return nullptr;
    PyObject* list = float_list(cells);
    if (!list) return nullptr;
    PyTuple_SetItem(tuple.get(), 0, list);  // steals
    PyObject* rows = PyLong_FromSize_t(n_series);
    if (!rows) return nullptr;
    PyTuple_SetItem(tuple.get(), 1, rows);
    PyObject* columns = PyLong_FromSize_t(width);
    if (!columns) return nullptr;
    PyTuple_SetItem(tuple.get(), 2, columns);
    if (timings) {
        Ref spans(PyList_New(static_cast<Py_ssize_t>(timings->size())));
        if (!spans) return nullptr;
        for (std::size_t j = 0; j < timings->size(); ++j) {
            PyObject* ns = PyLong_FromUnsignedLongLong((*timings)[j]);
            if (!ns) return nullptr;
            PyList_SetItem(spans.get(), static_cast<Py_ssize_t>(j), ns);
        }
        PyTuple_SetItem(tuple.get(), 3, spans.release());
    }
    return tuple.release();
}

// extract_batch (args: values, offsets, plan, n_threads) and, when `timed`,
// extract_batch_timed (values, offsets, plan): the checks in a fixed order
// (the first that fails names the error), the early returns, then the engine
// with the interpreter lock released.
PyObject* batch_call(PyObject* const* args, bool timed) {
    Batch batch;
    std::uint64_t n_threads = 0;
    if (!to_array(args[0], "values", Element::Float64, batch.values) ||
        !to_array(args[1], "offsets", Element::Int64, batch.offsets) || !to_list(args[2], "plan") ||
        (!timed && args[3] && !to_count(args[3], "n_threads", n_threads)))
        return nullptr;
    if (!require_contiguous(batch.values) || !require_contiguous(batch.offsets)) return nullptr;
    std::vector<std::uint64_t> timings;
    std::vector<std::uint64_t>* const timed_out = timed ? &timings : nullptr;
    // No series: the offsets and the plan are not looked at.
    if (batch.offsets.size < 2) return result({}, 0, 0, timed_out);
    const std::span<const std::int64_t> offsets = batch.offsets.ints();
    batch.bounds.assign(offsets.begin(), offsets.end());
    if (auto problem = batch::check_offsets(batch.values.size, batch.bounds)) {
        PyErr_SetString(PyExc_ValueError, problem->c_str());
        return nullptr;
    }
    if (!parse_plan(args[2], batch.plan)) return nullptr;
    for (const PlanItem& item : batch.plan) batch.width += item.width;
    const std::size_t n_series = batch.offsets.size - 1;
    // No column: nothing to evaluate, every item timed at 0.
    if (batch.width == 0) {
        timings.assign(batch.plan.size(), 0);
        return result({}, n_series, 0, timed_out);
    }
    // The result list must be able to hold every cell.
    if (n_series > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*) / batch.width)
        return PyErr_NoMemory();

    std::optional<std::vector<double>> cells;
    {
        Released released;
        interrupt::Token token;
        interrupt::Scope scope(token, check_signals_released, &released);
        cells = batch::run_batch(batch.values.doubles(), batch.bounds, batch.plan, batch.width, n_threads,
                                 timed_out);
    }
    batch.plan.clear();
    // Stopped: a signal handler raised, and its exception is the answer.
    if (!cells) return nullptr;
    return result(*cells, n_series, batch.width, timed_out);
}

}  // namespace

PyObject* extract_batch(PyObject* const* args) { return batch_call(args, false); }
PyObject* extract_batch_timed(PyObject* const* args) { return batch_call(args, true); }

}  // namespace module
