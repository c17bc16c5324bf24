"""The module object, argument binding and conversion, array layouts and the panic exception."""
import gc
import importlib
import re
import sys

import numpy as np
import pytest

import selquor_rs
from conftest import Index
from selquor_rs import (
    compute_feature,
    compute_linear_trend_timewise,
    extract_batch,
    extract_batch_timed,
    implemented_calculators,
)

mod = selquor_rs._selquor_rs
X = np.array([1.0, 2.0, 3.0, 4.0])
O = np.array([0, 4])
# Each function's signature and the first line of its documentation.
DOCS = {
    "compute_feature": ("(name, x, params)", "Evaluate one calculator over one signal."),
    "compute_linear_trend_timewise": ("(hours, x, params)", "`linear_trend_timewise`, which needs the time axis rather than the index."),
    "implemented_calculators": ("()", "Names this crate implements, so the Python layer can assert coverage"),
    "extract_batch": ("(values, offsets, plan, n_threads=0)", "Evaluate a whole plan over many series, in parallel."),
    "extract_batch_timed": ("(values, offsets, plan)", "As [`extract_batch`], but also reporting how long each plan item took."),
}


def test_module_attributes_signatures_and_docstrings():
    assert mod.__version__ == "0.1.1" and mod.__doc__ == ""
    assert mod.__all__ == ["__version__", *DOCS]
    for name, (signature, first_line) in DOCS.items():
        f = getattr(mod, name)
        assert (f.__name__, f.__module__, f.__text_signature__) == (name, mod.__name__, signature)
        assert f.__doc__.split("\n")[0] == first_line


def test_reimport_returns_the_same_module_object():
    mod.some_attribute = 42
    try:
        del sys.modules[mod.__name__]
        again = importlib.import_module(mod.__name__)
        assert again is mod and again.some_attribute == 42
    finally:
        sys.modules[mod.__name__] = mod
        del mod.some_attribute


def test_import_in_a_sub_interpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    script = (
        f"import sys\nsys.path[:0] = {sys.path!r}\ntry:\n    import selquor_rs._selquor_rs\n"
        "except ImportError as e:\n    assert 'sub-interpreters' in str(e), e\n"
        "else:\n    raise AssertionError('imported')\n"
    )
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    assert compute_feature("mean", X, []) == [2.5]  # the main interpreter is unaffected


def test_every_argument_may_be_given_by_keyword():
    assert compute_feature(params=[], x=X, name="mean") == [2.5]
    assert compute_linear_trend_timewise(params=[], x=X, hours=X) == []
    assert extract_batch(n_threads=1, plan=[("mean", [{}])], offsets=O, values=X) == ([2.5], 1, 1)
    assert extract_batch_timed(plan=[], offsets=O[:1], values=X) == ([], 0, 0, [])


MISALIGNED = np.frombuffer(bytearray(33), dtype=np.float64, offset=1, count=4)
CONTIGUOUS = "The given array is not contiguous"
A = "'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "call, error, message",
    [
        # Binding, in CPython's words.
        (lambda: compute_feature("m", X), TypeError, "compute_feature() missing 1 required positional argument: 'params'"),
        (lambda: extract_batch(plan=[]), TypeError, "extract_batch() missing 2 required positional arguments: 'values' and 'offsets'"),
        (lambda: extract_batch_timed(), TypeError, "extract_batch_timed() missing 3 required positional arguments: 'values', 'offsets', and 'plan'"),
        (lambda: compute_feature("m", X, [], y=1), TypeError, "compute_feature() got an unexpected keyword argument 'y'"),
        (lambda: compute_feature("m", X, [], name="m"), TypeError, "compute_feature() got multiple values for argument 'name'"),
        (lambda: compute_linear_trend_timewise(X, X, [], 1, 2), TypeError, "compute_linear_trend_timewise() takes 3 positional arguments but 5 were given"),
        (lambda: extract_batch(X, O, [], 0, 1), TypeError, "extract_batch() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: extract_batch_timed(X, O, [], n_threads=1), TypeError, "extract_batch_timed() got an unexpected keyword argument 'n_threads'"),
        (lambda: implemented_calculators(1), TypeError, None),
        # Conversion, in signature order: a TypeError names the argument and keeps the original as its cause.
        (lambda: compute_feature(b"m", X, []), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: compute_feature("m", [1.0], ()), TypeError, "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
        *[
            (lambda a=a: compute_feature("m", a, []), TypeError, "argument 'x': " + A)
            for a in (X.astype(np.int64), X.astype(np.float32), X.astype(">f8"), X.reshape(2, 2), np.array(1.0))
        ],
        (lambda: compute_feature("m", X[::2], ()), TypeError, "argument 'params': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: compute_linear_trend_timewise(X, [1.0], ()), TypeError, "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: extract_batch(X, X, []), TypeError, "argument 'offsets': " + A),
        (lambda: extract_batch(X, O, (), -1), TypeError, "argument 'plan': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: extract_batch(X, O, [], None), TypeError, "argument 'n_threads': 'NoneType' object cannot be interpreted as an integer"),
        # Other conversion errors are raised unchanged.
        (lambda: extract_batch(X, O, [], -1), OverflowError, None),
        (lambda: extract_batch(X, O, [], 2**64), OverflowError, None),
        (lambda: extract_batch(X, O, [], Index(ValueError("broken"))), ValueError, "broken"),
        (lambda: compute_feature("\ud800", X, []), UnicodeEncodeError, None),
        # Layout, after every conversion; then parameters. The time-axis trend
        # reads its parameters first, then hours, then x.
        (lambda: compute_feature("m", X[::-1], [1]), TypeError, CONTIGUOUS),
        (lambda: extract_batch(MISALIGNED, O[:1], []), TypeError, "The given array is not aligned"),  # cannot be read in place
        (lambda: compute_linear_trend_timewise(X, X[::2], [1]), ValueError, "each parameter entry must be a dict"),
        (lambda: compute_linear_trend_timewise(X[::2], MISALIGNED, [{}]), TypeError, CONTIGUOUS),
        (lambda: extract_batch(X, O[::-1], [1]), TypeError, CONTIGUOUS),  # before the offsets
        (lambda: extract_batch_timed(X[::2], O[:1], [1]), TypeError, CONTIGUOUS),  # before the early return
    ],
)
def test_boundary_errors(call, error, message):
    with pytest.raises(error) as e:
        call()
    text, cause = str(e.value), e.value.__cause__
    assert type(e.value) is error and text == (message or text)
    if text.startswith("argument"):
        assert type(cause) is TypeError and str(cause) == text.split(": ", 1)[1]
    else:
        assert cause is None


class Forged(np.ndarray):
    # A subclass cannot redirect the module to other memory.
    __array_interface__ = property(lambda self: pytest.fail("consulted"))
    __array_struct__ = property(lambda self: pytest.fail("consulted"))


def test_layouts_read_in_place():
    read_only = np.array([1.0, 5.0])
    read_only.flags.writeable = False
    for x in (np.arange(2.0)[::2], np.arange(12.0).reshape(3, 4)[1], read_only, np.array([1.0, 2.0, 4.0]).view(Forged)):
        assert compute_feature("mean", x, []) == [np.mean(np.asarray(x))]  # one element, owns no data, ...


def test_implemented_calculators_lists_names_in_catalogue_order():
    names = implemented_calculators()
    assert all(type(n) is str for n in names)
    assert names == sorted(set(names)) and len(names) <= 74  # the catalogue is in ascending order
    assert not {"linear_trend_timewise", "matrix_profile"} & set(names)
    probe = np.sin(np.arange(64) * 0.7)
    assert all(compute_feature(n, probe, [{}]) is not None for n in names)
    assert compute_feature("linear_trend_timewise", probe, [{}]) is None
    assert compute_feature("Mean", probe, [{}]) is None  # names are not normalised


class Mutate:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


def mutating(change):
    d = {"a": None, "b": 1}
    d["a"] = Mutate(lambda: change(d))
    return d


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda d: d.__setitem__("c", 1), "dictionary changed size during iteration"),
        (lambda d: (d.pop("a"), d.__setitem__("c", 1)), "dictionary keys changed during iteration"),
    ],
)
@pytest.mark.parametrize("call", [lambda p: compute_feature("mean", X, p), lambda p: extract_batch(X, O, [("mean", p)])])
def test_panic_is_a_base_exception_carrying_its_message(change, message, call, capfd):
    caught = []
    for _ in range(2):
        with pytest.raises(BaseException) as e:
            call([mutating(change)])
        assert not isinstance(e.value, Exception) and e.value.args == (message,)
        caught.append(type(e.value))
        # Reported first on standard error, with where it happened.
        assert re.fullmatch(rf"selquor_rs: internal failure at \S+params_py\.cpp:\d+:\d+ \(thread .+\): {message}\n",
                            capfd.readouterr().err)
    assert caught[0] is caught[1] and caught[0].__bases__ == (BaseException,)  # one class for the process
    assert (caught[0].__module__, caught[0].__qualname__) == ("pyo3_runtime", "PanicException")
    assert compute_feature("mean", X, []) == [2.5]  # and the process goes on


def test_hook_emptying_the_parameter_list_stops_the_conversion():
    params = []
    params.append({"number_of_maxima": Mutate(params.clear)})
    params.append({"number_of_maxima": 1})
    assert compute_feature("mean_n_absolute_max", X, params) == [4.0]


PARAMS = [{"query": [1, 2.5, "x", None], "lag": Index(3), "attr": "slope"}, {}]
PLAN = [("autocorrelation", PARAMS), ("mean", [])]


@pytest.mark.parametrize(
    "call",
    [
        lambda: compute_feature("autocorrelation", X, PARAMS),
        lambda: compute_feature("mean", X[::2], PARAMS),
        lambda: compute_linear_trend_timewise(X, X, [*PARAMS, {"k": 2**64}]),
        lambda: extract_batch(X, O, PLAN, 1),
        lambda: extract_batch_timed(X, O, [*PLAN, ("k", [{1: 2}])]),
    ],
)
def test_calls_keep_no_reference_to_their_arguments(call):
    watched = [X, O, PLAN, *PARAMS, *PARAMS[0].values()]
    counts = []
    for _ in range(2):
        for _ in range(50):
            try:
                call()
            except (TypeError, ValueError, OverflowError):
                pass
        gc.collect()  # garbage of earlier tests that holds a watched object goes first
        counts.append([sys.getrefcount(o) for o in watched])
    assert counts[0] == counts[1]
