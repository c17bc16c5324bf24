"""The module object, argument binding and conversion, and the batch entry points."""
import importlib
import math
import struct
import sys

import numpy as np
import pytest

import selquor_rs
from selquor_rs import (
    compute_feature,
    compute_linear_trend_timewise,
    extract_batch,
    extract_batch_timed,
    implemented_calculators,
)

mod = selquor_rs._selquor_rs
FUNCTIONS = [
    "compute_feature",
    "compute_linear_trend_timewise",
    "implemented_calculators",
    "extract_batch",
    "extract_batch_timed",
]
X = np.array([1.0, 2.0, 3.0, 4.0])

# ------------------------------------------------------------------ module


def test_module_attributes():
    assert mod.__version__ == "0.1.1"
    assert mod.__all__ == ["__version__"] + FUNCTIONS
    assert mod.__doc__ == ""
    for name in FUNCTIONS:
        f = getattr(mod, name)
        assert f.__name__ == name
        assert f.__module__ == mod.__name__


@pytest.mark.parametrize(
    "name, signature, first_line",
    [
        ("compute_feature", "(name, x, params)", "Evaluate one calculator over one signal."),
        (
            "compute_linear_trend_timewise",
            "(hours, x, params)",
            "`linear_trend_timewise`, which needs the time axis rather than the index.",
        ),
        ("implemented_calculators", "()", "Names this crate implements, so the Python layer can assert coverage"),
        ("extract_batch", "(values, offsets, plan, n_threads=0)", "Evaluate a whole plan over many series, in parallel."),
        ("extract_batch_timed", "(values, offsets, plan)", "As [`extract_batch`], but also reporting how long each plan item took."),
    ],
)
def test_text_signature_and_docstring(name, signature, first_line):
    f = getattr(mod, name)
    assert f.__text_signature__ == signature
    assert f.__doc__.split("\n")[0] == first_line


def test_timed_docstring_keeps_quotes():
    assert '"what does\neach feature cost"' in extract_batch_timed.__doc__


def test_reimport_returns_the_same_module_object():
    name = mod.__name__
    mod.some_attribute = 42
    try:
        del sys.modules[name]
        again = importlib.import_module(name)
        assert again is mod
        assert again.some_attribute == 42
    finally:
        sys.modules[name] = mod
        del mod.some_attribute


def test_import_in_a_sub_interpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        script = (
            "import sys\n"
            f"sys.path[:0] = {sys.path!r}\n"
            "try:\n"
            "    import selquor_rs._selquor_rs\n"
            "except ImportError as e:\n"
            "    assert 'sub-interpreters' in str(e), e\n"
            "else:\n"
            "    raise AssertionError('imported')\n"
        )
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    # The main interpreter keeps working.
    assert compute_feature("no_such_calculator", X, [{}]) is None


# ----------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: compute_feature("mean", X), "compute_feature() missing 1 required positional argument: 'params'"),
        (lambda: compute_feature("mean"), "compute_feature() missing 2 required positional arguments: 'x' and 'params'"),
        (
            lambda: compute_feature(),
            "compute_feature() missing 3 required positional arguments: 'name', 'x', and 'params'",
        ),
        (
            lambda: extract_batch(plan=[]),
            "extract_batch() missing 2 required positional arguments: 'values' and 'offsets'",
        ),
        (lambda: compute_feature("mean", X, [], y=1), "compute_feature() got an unexpected keyword argument 'y'"),
        (lambda: compute_feature("mean", X, [], name="mean"), "compute_feature() got multiple values for argument 'name'"),
        (lambda: compute_feature("mean", X, [], 1), "compute_feature() takes 3 positional arguments but 4 were given"),
        (
            lambda: compute_linear_trend_timewise(X, X, [], 1, 2),
            "compute_linear_trend_timewise() takes 3 positional arguments but 5 were given",
        ),
        (
            lambda: extract_batch(X, X, [], 0, 1),
            "extract_batch() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: extract_batch_timed(X, X, [], n_threads=1),
            "extract_batch_timed() got an unexpected keyword argument 'n_threads'",
        ),
    ],
)
def test_binding_errors_use_cpython_wording(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_every_argument_may_be_given_by_keyword():
    assert compute_feature(params=[], x=X, name="no_such_calculator") is None
    out = extract_batch(n_threads=1, plan=[], offsets=np.array([0, 2]), values=X)
    assert out == ([], 1, 0)
    assert extract_batch_timed(plan=[], offsets=np.array([0]), values=X) == ([], 0, 0, [])
    assert compute_linear_trend_timewise(params=[], x=X, hours=X) == []


def test_implemented_calculators_takes_no_arguments():
    with pytest.raises(TypeError):
        implemented_calculators(1)


# -------------------------------------------------------------- conversion

F64 = np.zeros(3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: compute_feature(1, F64, []), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: compute_feature(b"mean", F64, []), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: compute_feature("m", [1.0], []), "argument 'x': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: compute_feature("m", 1.0, []), "argument 'x': 'float' object cannot be converted to 'PyArray<T, D>'"),
        (
            lambda: compute_feature("m", np.zeros(3, np.int64), []),
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: compute_feature("m", np.zeros(3, np.float32), []),
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: compute_feature("m", np.zeros(3, ">f8"), []),
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: compute_feature("m", np.zeros((2, 2)), []),
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: compute_feature("m", np.float64(1.0), []),
            "argument 'x': 'float64' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: compute_feature("m", np.array(1.0), []),
            "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (lambda: compute_feature("m", F64, ()), "argument 'params': 'tuple' object cannot be converted to 'PyList'"),
        (
            lambda: compute_linear_trend_timewise([1.0], F64, []),
            "argument 'hours': 'list' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: extract_batch(F64, np.zeros(2), []),
            "argument 'offsets': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: extract_batch(F64, np.zeros(2, np.uint64), []),
            "argument 'offsets': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            lambda: extract_batch(F64, np.zeros(2, np.int64), ()),
            "argument 'plan': 'tuple' object cannot be converted to 'PyList'",
        ),
        (
            lambda: extract_batch(F64, np.zeros(2, np.int64), [], None),
            "argument 'n_threads': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            lambda: extract_batch(F64, np.zeros(2, np.int64), [], 1.0),
            "argument 'n_threads': 'float' object cannot be interpreted as an integer",
        ),
    ],
)
def test_conversion_errors_carry_the_argument_name(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    cause = e.value.__cause__
    assert type(cause) is TypeError
    assert str(cause) == message.split(": ", 1)[1]


def test_conversions_run_in_signature_order():
    # Both x and params are wrong: x is reported.
    with pytest.raises(TypeError, match="argument 'x'"):
        compute_feature("m", [1.0], ())
    with pytest.raises(TypeError, match="argument 'values'"):
        extract_batch([1.0], [0], (), -1)


@pytest.mark.parametrize("n_threads", [-1, 2**64])
def test_n_threads_out_of_range_is_an_unprefixed_overflow(n_threads):
    with pytest.raises(OverflowError) as e:
        extract_batch(F64, np.zeros(1, np.int64), [], n_threads)
    assert not str(e.value).startswith("argument")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("n_threads", [0, 1, True, np.int64(3), Index(2), 2**64 - 1])
def test_n_threads_accepts_ints_and_index_objects(n_threads):
    out = extract_batch(X, np.array([0, 2, 4]), [("mean", [{}])], n_threads)
    assert out == ([1.5, 3.5], 2, 1)


def test_n_threads_index_errors_other_than_type_errors_are_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("broken index")

    with pytest.raises(ValueError, match="^broken index$"):
        extract_batch(F64, np.zeros(1, np.int64), [], Broken())


def test_name_without_utf8_form_raises_the_encoding_error_unprefixed():
    with pytest.raises(UnicodeEncodeError) as e:
        compute_feature("\ud800", F64, [])
    assert "argument" not in str(e.value)


def test_array_subclasses_are_accepted():
    class Sub(np.ndarray):
        # A subclass cannot redirect the module to other memory.
        @property
        def __array_interface__(self):
            raise AssertionError("not consulted")

        @property
        def __array_struct__(self):
            raise AssertionError("not consulted")

    x = np.array([1.0, 2.0, 4.0]).view(Sub)
    assert compute_feature("mean", x, []) == [7.0 / 3.0]


def test_list_subclass_is_accepted():
    class L(list):
        pass

    assert compute_feature("no_such_calculator", X, L([{}])) is None


# -------------------------------------------------------------- contiguity

BASE = np.arange(4.0)


@pytest.mark.parametrize(
    "x",
    [
        np.arange(2.0)[::2],  # one element: flagged contiguous
        np.arange(8.0)[::-1][::-1],
        np.asfortranarray(np.arange(3.0)),
        np.arange(12.0).reshape(3, 4)[1],  # a view that does not own its data
    ],
)
def test_contiguous_layouts_are_accepted(x):
    assert compute_feature("mean", x, []) == [float(np.mean(x))]


def test_empty_array_is_accepted():
    assert compute_feature("count_above", np.zeros(0), []) == []


def test_read_only_array_is_read_in_place():
    x = np.array([1.0, 5.0])
    x.flags.writeable = False
    assert compute_feature("mean", x, []) == [3.0]
    np.testing.assert_array_equal(x, [1.0, 5.0])


@pytest.mark.parametrize("x", [BASE[::2], BASE[::-1]])
def test_strided_array_is_refused(x):
    with pytest.raises(TypeError) as e:
        compute_feature("mean", x, [])
    assert str(e.value) == "The given array is not contiguous"
    assert e.value.__cause__ is None


def test_misaligned_array_is_refused():
    buf = bytearray(8 * 4 + 1)
    x = np.frombuffer(buf, dtype=np.float64, offset=1, count=4)
    assert not x.flags.aligned
    with pytest.raises(TypeError, match="^The given array is not aligned$"):
        compute_feature("mean", x, [])


def test_contiguity_is_checked_after_every_conversion():
    with pytest.raises(TypeError, match="argument 'params'"):
        compute_feature("mean", BASE[::2], ())


# ---------------------------------------------------------- single series


def test_unknown_name_gives_none_after_params_are_converted():
    assert compute_feature("no_such_calculator", X, [{}]) is None
    with pytest.raises(ValueError, match="^each parameter entry must be a dict$"):
        compute_feature("no_such_calculator", X, [1])


def test_scalar_calculator_answers_once_whatever_the_sets():
    assert compute_feature("mean", np.array([1.0, 2.0]), []) == [1.5]
    assert compute_feature("mean", np.array([1.0, 2.0]), [{}, {}]) == [1.5]


def test_parameterised_calculator_with_no_sets_answers_nothing():
    assert compute_feature("count_above", X, []) == []


def test_name_is_not_normalised():
    assert compute_feature("Mean", X, []) is None
    assert compute_feature(" mean", X, []) is None


def test_non_finite_values_come_back_unchanged():
    assert compute_feature("mean", np.array([1.0, np.inf]), []) == [math.inf]
    assert math.isnan(compute_feature("mean", np.array([1.0, np.nan]), [])[0])


CATALOGUE_EXCLUDED = {"linear_trend_timewise", "matrix_profile"}


def test_implemented_calculators_lists_names_in_catalogue_order():
    names = implemented_calculators()
    assert all(type(n) is str for n in names)
    assert names == sorted(names)  # the catalogue is in ascending byte order
    assert len(set(names)) == len(names) <= 74
    assert not CATALOGUE_EXCLUDED & set(names)
    probe = np.sin(np.arange(64) * 0.7)
    for n in names:
        assert compute_feature(n, probe, [{}]) is not None
    assert implemented_calculators() == names  # nothing cached, same answer


# -------------------------------------------------------------------- panic


def test_panic_is_a_base_exception_with_its_message(is_panic):
    class Grow:
        def __init__(self, d):
            self.d = d

        def __index__(self):
            self.d["added"] = 1
            return 1

    params = {"a": None}
    params["a"] = Grow(params)
    try:
        compute_feature("mean", X, [params])
    except Exception:  # noqa: BLE001
        pytest.fail("the panic must not be an Exception")
    except BaseException as e:  # noqa: BLE001
        assert is_panic(e)
        assert e.args == ("dictionary changed size during iteration",)
    else:
        pytest.fail("no panic")
    # The process goes on.
    assert compute_feature("mean", X, []) == [2.5]


# -------------------------------------------------------------------- batch

V = np.arange(10.0)


@pytest.mark.parametrize(
    "offsets, message",
    [
        ([-1, 0], "offsets must be non-negative, found -1"),
        ([0, 5, 3], "offsets must be non-decreasing, found 3 after 5"),
        ([0, 11], "offsets end at 11 but only 10 values were given"),
        ([2, -1], "offsets must be non-decreasing, found -1 after 2"),
        ([0, 12, 11], "offsets must be non-decreasing, found 11 after 12"),
        ([-(2**63), 2**63 - 1], "offsets must be non-negative, found -9223372036854775808"),
        ([0, 2**63 - 1], "offsets end at 9223372036854775807 but only 10 values were given"),
    ],
)
@pytest.mark.parametrize("timed", [False, True])
def test_malformed_offsets(offsets, message, timed):
    f = extract_batch_timed if timed else extract_batch
    with pytest.raises(ValueError) as e:
        # The plan is malformed too: offsets are checked first.
        f(V, np.array(offsets, dtype=np.int64), [1])
    assert str(e.value) == message


@pytest.mark.parametrize("offsets", [[], [0], [99]])
def test_fewer_than_two_offsets_return_early(offsets):
    o = np.array(offsets, dtype=np.int64)
    assert extract_batch(V, o, [1, 2]) == ([], 0, 0)
    assert extract_batch_timed(V, o, [("mean", [{}]), 1]) == ([], 0, 0, [])


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda o: extract_batch(V[::2], o, []), TypeError),
        (lambda o: extract_batch(V, o, ()), TypeError),
        (lambda o: extract_batch(V, o, [], -1), OverflowError),
        (lambda o: extract_batch_timed(V[::2], o, []), TypeError),
    ],
)
def test_early_return_still_checks_arguments(call, error):
    with pytest.raises(error):
        call(np.zeros(1, np.int64))


def test_non_contiguous_offsets_are_refused():
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        extract_batch(V, np.arange(6, dtype=np.int64)[::2], [])


def test_zero_width_returns_early():
    o = np.array([0, 1, 2, 3])
    assert extract_batch(V, o, []) == ([], 3, 0)
    assert extract_batch(V, o, [("mean", []), ("no_such_calculator", [])]) == ([], 3, 0)
    assert extract_batch_timed(V, o, []) == ([], 3, 0, [])
    assert extract_batch_timed(V, o, [("a", []), ("b", [])]) == ([], 3, 0, [0, 0])


def _bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


@pytest.mark.parametrize("n_threads", [0, 1, 2, 3, 1000])
def test_copy_rule_and_layout(n_threads):
    o = np.array([0, 3, 3, 7, 10])
    plan = [
        ("mean", [{}, {}, {}]),  # scalar: first column only
        ("count_above", []),  # width 0: no column
        ("no_such_calculator", [{}]),  # not implemented: NaN
        ("count_above", [{"t": 2.0}, {"t": 8.0}]),
        ("mean", [{}]),  # listed twice: its own columns
    ]
    cells, n, w = extract_batch(V, o, plan, n_threads)
    assert (n, w) == (4, 7)
    rows = [cells[i * w : (i + 1) * w] for i in range(n)]
    for i, row in enumerate(rows):
        x = V[o[i] : o[i + 1]]
        mean = compute_feature("mean", x, [])[0]
        above = [float(np.mean(x >= t)) if x.size else math.nan for t in (2.0, 8.0)]
        expected = [mean, math.nan, math.nan, math.nan, *above, mean]
        np.testing.assert_array_equal(row, expected)
        for j in (1, 2, 3):
            assert _bits(row[j]) == 0x7FF8000000000000
    timed_cells, tn, tw, timings = extract_batch_timed(V, o, plan)
    assert (tn, tw) == (n, w)
    np.testing.assert_array_equal(timed_cells, cells)
    assert len(timings) == len(plan)
    assert all(type(t) is int and t >= 0 for t in timings)


def test_series_are_taken_between_offsets_only():
    cells, n, w = extract_batch(V, np.array([1, 3]), [("mean", [{}])])
    assert (cells, n, w) == ([1.5], 1, 1)  # values at positions 1 and 2


def test_non_finite_samples_pass_through():
    values = np.array([np.nan, 1.0, np.inf, 2.0])
    cells, _, _ = extract_batch(values, np.array([0, 2, 4]), [("mean", [{}])])
    assert math.isnan(cells[0]) and cells[1] == math.inf


@pytest.mark.parametrize(
    "plan, error, message",
    [
        ([["mean", []]], ValueError, "plan entries must be (name, [params]) tuples"),
        ([("mean", ({},))], ValueError, "plan parameters must be a list"),
        ([()], IndexError, "tuple index out of range"),
        ([("mean",)], IndexError, "tuple index out of range"),
        ([(1,)], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([(None, [])], TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ([("mean", [1])], ValueError, "each parameter entry must be a dict"),
        ([("mean", [{}]), ("mean", 1), ["x"]], ValueError, "plan parameters must be a list"),
        ([("mean", [{}]), ("mean", [{2: 1}])], TypeError, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_malformed_plans(plan, error, message):
    for f in (extract_batch, extract_batch_timed):
        with pytest.raises(error) as e:
            f(V, np.array([0, 10]), plan)
        assert type(e.value) is error
        assert str(e.value) == message


def test_plan_name_without_utf8_form():
    with pytest.raises(UnicodeEncodeError):
        extract_batch(V, np.array([0, 10]), [("\udcff", [{}])])


def test_concurrent_batches_agree():
    import threading

    values = np.sin(np.arange(400.0))
    o = np.arange(0, 401, 20, dtype=np.int64)
    plan = [("mean", [{}]), ("count_above", [{"t": 0.0}, {"t": 0.5}])]
    reference = extract_batch(values, o, plan)
    results = []

    def worker(n_threads):
        for _ in range(20):
            results.append(extract_batch(values, o, plan, n_threads))
            results.append(extract_batch_timed(values, o, plan)[:3])

    threads = [threading.Thread(target=worker, args=(n,)) for n in (0, 1, 2, 3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 160
    assert all(r == reference for r in results)


def test_plan_accepts_named_tuples_and_ignores_extra_items():
    import collections

    Item = collections.namedtuple("Item", "name params extra")
    out = extract_batch(V, np.array([0, 4]), [Item("mean", [{}], "ignored"), ("mean", [{}], 1, 2)])
    assert out == ([1.5, 1.5], 1, 2)
