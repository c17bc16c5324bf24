"""Random garbage into every module function: each call either answers with a
well-formed result or raises one of the boundary's exception types."""
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
SETTINGS = settings(
    max_examples=int(os.environ.get("SELQUOR_FUZZ_EXAMPLES", "150")), deadline=None,
    suppress_health_check=list(HealthCheck),
)
NAMES = st.sampled_from(implemented_calculators() + ["linear_trend_timewise", "matrix_profile", "nope", ""])
# Keys the calculators read, so that garbage reaches their parameter rules.
KEYS = st.sampled_from(
    "lag maxlag f_agg chunk_len k coeff m r n num_segments segment_focus number_of_maxima bins max_bins tau "
    "dimension t q ql qh value min max w threshold __ddof isabs normalize attr aggtype autolag widths query".split()
)
texts = st.text(st.characters() | st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), max_size=5)
ints = st.integers(-5, 70) | st.sampled_from([2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64])
floats = st.floats() | st.sampled_from([1e300, -1e300, -0.0, 2.0**63])
scalars = st.none() | st.booleans() | ints | floats | texts | st.binary(max_size=3)


def make_array(dtype, shape, samples, step, writeable):
    with np.errstate(all="ignore"):
        a = np.array(samples[: int(np.prod(shape))]).reshape(shape).astype(dtype)
    a = a[::step] if a.ndim == 1 else a
    a.flags.writeable = writeable
    return a


arrays = st.builds(
    make_array, st.sampled_from(["f8"] * 3 + ["i8", "f4", ">f8", "u8", "?", "c16"]),
    st.sampled_from([(), (0,), (1,), (2,), (5,), (17,), (3, 2)]), st.lists(floats, min_size=17, max_size=17),
    st.sampled_from([1, 1, 2, -1, 3]), st.booleans(),
)
offsets = st.builds(
    lambda v, kind: np.repeat(np.array(v), 2)[::2] if kind == "strided" else np.array(v, dtype=kind),
    st.lists(st.integers(-2, 20) | st.sampled_from([2**63 - 1, -(2**63)]), max_size=5).map(sorted)
    | st.lists(st.integers(-2, 20), max_size=5), st.sampled_from(["i8", "i8", "f8", "strided"]),
)
values = st.recursive(
    scalars | arrays,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner) | st.dictionaries(texts, inner, max_size=3),
    max_leaves=8,
)
param_dicts = st.dictionaries(KEYS | texts | ints | st.tuples(st.integers()), values, max_size=4)
param_lists = st.lists(param_dicts, max_size=4) | st.lists(param_dicts | scalars, max_size=3) | values
plans = st.lists(
    st.tuples(NAMES, st.lists(st.dictionaries(KEYS, values, max_size=3), max_size=3))
    | st.tuples(NAMES | scalars, param_lists) | st.tuples() | st.tuples(NAMES) | st.lists(scalars, max_size=2) | scalars,
    max_size=4,
) | scalars
anything = values | offsets | plans
ARGS = {
    compute_feature: st.tuples(NAMES | scalars, arrays | anything, param_lists),
    compute_linear_trend_timewise: st.tuples(arrays | anything, arrays | anything, param_lists),
    extract_batch: st.tuples(arrays | anything, offsets | anything, plans)
    | st.tuples(arrays | anything, offsets | anything, plans, ints | scalars),
    extract_batch_timed: st.tuples(arrays | anything, offsets | anything, plans),
}


def floats_only(out, length):
    return type(out) is list and all(type(v) is float for v in out) and len(out) == length


@SETTINGS
@given(data=st.data())
@pytest.mark.parametrize("f", list(ARGS))
def test_garbage_gets_a_result_or_a_boundary_error(f, data):
    args = data.draw(ARGS[f] | st.lists(anything, max_size=5).map(tuple))  # any arity too
    try:
        out = f(*args)
    except ALLOWED:
        return
    if f is compute_feature:
        assert out is None or floats_only(out, len(out))
    elif f is compute_linear_trend_timewise:
        assert floats_only(out, len(args[2]))
    else:
        cells, n, w, *timings = out
        assert type(n) is int and type(w) is int and floats_only(cells, n * w)
        for spans in timings:
            assert len(spans) == (len(args[2]) if n else 0) and all(type(t) is int and t >= 0 for t in spans)
