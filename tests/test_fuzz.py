"""Random garbage into every function: each call either answers with a
well-formed result or raises one of the boundary's exception types."""
import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from selquor_rs import (
    compute_feature,
    compute_linear_trend_timewise,
    extract_batch,
    extract_batch_timed,
    implemented_calculators,
)

ALLOWED = (TypeError, ValueError, OverflowError, IndexError, UnicodeEncodeError)
# SELQUOR_FUZZ_EXAMPLES raises the count for a deeper local run.
SETTINGS = settings(max_examples=int(os.environ.get("SELQUOR_FUZZ_EXAMPLES", "150")), deadline=None, suppress_health_check=list(HealthCheck))

NAMES = implemented_calculators() + ["linear_trend_timewise", "matrix_profile", "no_such_calculator", ""]
# Keys the calculators read, so that garbage reaches their parameter rules.
KEYS = [
    "lag", "maxlag", "f_agg", "chunk_len", "k", "coeff", "m", "r", "n", "num_segments", "segment_focus",
    "number_of_maxima", "bins", "max_bins", "tau", "dimension", "t", "q", "ql", "qh", "value", "min", "max",
    "w", "threshold", "__ddof", "isabs", "normalize", "attr", "aggtype", "autolag", "widths", "query",
]

surrogates = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)
texts = st.text(max_size=6) | st.text(st.characters() | surrogates, max_size=4)
ints = st.integers(-5, 70) | st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30])
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([1e300, -0.0, 2.0**63])
scalars = st.none() | st.booleans() | ints | floats | texts | st.binary(max_size=4)


@st.composite
def arrays(draw):
    dtype = draw(st.sampled_from(["f8", "f8", "f8", "i8", "f4", ">f8", "u8", "?", "c16"]))
    shape = draw(st.sampled_from([(), (0,), (1,), (2,), (5,), (17,), (3, 2)]))
    a = np.asarray(draw(st.lists(floats, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))).reshape(shape)
    with np.errstate(all="ignore"):
        a = a.astype(dtype)
    if a.ndim == 1 and a.size > 2 and draw(st.booleans()):
        a = a[:: draw(st.sampled_from([2, -1, 3]))]
    if draw(st.booleans()):
        a.flags.writeable = False
    return a


@st.composite
def offsets(draw):
    n = draw(st.integers(0, 5))
    kind = draw(st.sampled_from(["sorted", "sorted", "random", "list", "strided", "f8"]))
    values = draw(st.lists(st.integers(-2, 20) | st.sampled_from([2**63 - 1, -(2**63)]), max_size=n))
    if kind == "sorted":
        return np.array(sorted(values), dtype=np.int64)
    if kind == "random":
        return np.array(values, dtype=np.int64)
    if kind == "strided":
        return np.repeat(np.array(values, dtype=np.int64), 2)[::2]
    if kind == "f8":
        return np.array(values, dtype=np.float64)
    return values


values_like = st.recursive(
    scalars | arrays(),
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner) | st.dictionaries(texts, inner, max_size=3),
    max_leaves=8,
)
keys = st.sampled_from(KEYS) | texts | ints | st.tuples(st.integers())
param_dicts = st.dictionaries(keys, values_like, max_size=4)
param_lists = st.lists(param_dicts | scalars, max_size=4) | values_like
plan_entries = (
    st.tuples(st.sampled_from(NAMES) | texts | scalars, param_lists)
    | st.tuples(st.sampled_from(NAMES), st.lists(st.dictionaries(st.sampled_from(KEYS), values_like, max_size=3), max_size=3))
    | st.tuples()
    | st.tuples(st.sampled_from(NAMES))
    | st.lists(scalars, max_size=2)
    | scalars
)
plans = st.lists(plan_entries, max_size=4) | scalars
anything = values_like | arrays() | offsets() | plans


def check_float_list(out, length=None):
    assert type(out) is list
    assert all(type(v) is float for v in out)
    if length is not None:
        assert len(out) == length


def run(call):
    try:
        return call()
    except ALLOWED:
        return None


@SETTINGS
@given(st.sampled_from(NAMES) | texts | scalars, arrays() | anything, st.lists(param_dicts, max_size=4) | param_lists)
def test_compute_feature(name, x, params):
    out = run(lambda: compute_feature(name, x, params))
    if out is not None:
        check_float_list(out)


@SETTINGS
@given(arrays() | anything, arrays() | anything, st.lists(param_dicts, max_size=4) | param_lists)
def test_compute_linear_trend_timewise(hours, x, params):
    out = run(lambda: compute_linear_trend_timewise(hours, x, params))
    if out is not None:
        check_float_list(out, len(params))


@SETTINGS
@given(arrays() | anything, offsets() | anything, plans, st.none() | ints | scalars, st.booleans())
def test_extract_batch(values, offs, plan, n_threads, pass_threads):
    call = (lambda: extract_batch(values, offs, plan, n_threads)) if pass_threads else (
        lambda: extract_batch(values, offs, plan))
    out = run(call)
    if out is not None:
        cells, n, w = out
        assert type(n) is int and type(w) is int
        check_float_list(cells, n * w)


@SETTINGS
@given(arrays() | anything, offsets() | anything, plans)
def test_extract_batch_timed(values, offs, plan):
    out = run(lambda: extract_batch_timed(values, offs, plan))
    if out is not None:
        cells, n, w, timings = out
        check_float_list(cells, n * w)
        assert len(timings) == (len(plan) if n else 0)
        assert all(type(t) is int and t >= 0 for t in timings)


@SETTINGS
@given(st.lists(anything, max_size=5), st.dictionaries(st.sampled_from(["name", "x", "params", "hours", "values",
                                                                          "offsets", "plan", "n_threads", "y"]),
                                                         anything, max_size=3))
@pytest.mark.parametrize(
    "function", [compute_feature, compute_linear_trend_timewise, extract_batch, extract_batch_timed]
)
def test_any_binding(function, args, kwargs):
    run(lambda: function(*args, **kwargs))


@SETTINGS
@given(st.lists(anything, max_size=2))
def test_implemented_calculators(args):
    out = run(lambda: implemented_calculators(*args))
    if out is not None:
        assert not args and all(type(n) is str for n in out)


def test_batch_matches_single_calls_on_garbage_samples(rng):
    # Values full of specials through every implemented calculator: the batch
    # row holds exactly what compute_feature answers (NaN for NaN).
    values = np.array([np.nan, np.inf, -np.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, 1.0, 2.0, 2.0, 3.0])
    o = np.array([0, 0, 1, 5, 12], dtype=np.int64)
    plan = [(name, [{}]) for name in implemented_calculators()]
    cells, n, w = extract_batch(values, o, plan)
    assert (n, w) == (4, len(plan))
    for i in range(n):
        for j, (name, params) in enumerate(plan):
            single = compute_feature(name, values[o[i] : o[i + 1]], params)
            expected = single[0] if single else math.nan
            got = cells[i * w + j]
            if name == "permutation_entropy":  # its terms are added in no fixed order
                assert got == pytest.approx(expected, rel=1e-12, nan_ok=True), (name, i)
            else:
                assert got == expected or (math.isnan(got) and math.isnan(expected)), (name, i)
