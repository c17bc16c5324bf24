"""The least-squares line against a time axis."""
import math

import numpy as np
import pytest
from scipy import stats

from selquor_rs import compute_linear_trend_timewise

NAN = float("nan")
ATTRS = ["slope", "intercept", "rvalue", "pvalue", "stderr"]
ALL = [{"attr": a} for a in ATTRS]


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


@pytest.mark.parametrize("n", [3, 4, 10, 100, 1000])
def test_fields_match_scipy(rng, n):
    hours = np.sort(rng.uniform(0, 48, n))
    x = 0.3 * hours + rng.normal(0, 2, n)
    ref = stats.linregress(hours, x)
    out = compute_linear_trend_timewise(hours, x, ALL)
    expected = [ref.slope, ref.intercept, ref.rvalue, ref.pvalue, ref.stderr]
    np.testing.assert_allclose(out, expected, rtol=1e-9, atol=1e-12)


def test_pvalue_of_a_weak_trend_matches_scipy(rng):
    # A p-value in the middle of its range, where the continued fraction works hardest.
    hours = np.arange(30.0)
    x = rng.normal(0, 1, 30) + 0.01 * hours
    ref = stats.linregress(hours, x)
    assert 0.01 < ref.pvalue < 0.99
    (p,) = compute_linear_trend_timewise(hours, x, [{"attr": "pvalue"}])
    assert p == pytest.approx(ref.pvalue, rel=1e-9)


def test_attr_selects_the_field_and_anything_else_is_nan():
    hours = np.array([0.0, 1.0, 2.0, 3.0])
    x = np.array([1.0, 2.0, 3.0, 5.0])
    out = compute_linear_trend_timewise(hours, x, [{"attr": "slope"}, {"attr": "Slope"}, {}, {"attr": 1}])
    assert out[0] == pytest.approx(1.3, rel=1e-15)
    assert all(math.isnan(v) for v in out[1:])


def test_index_axis_example():
    # y = [1, 2, 3, 5] on 0..3: slope 1.3, rvalue ~0.983, Student's t with 2 dof.
    out = compute_linear_trend_timewise(np.arange(4.0), np.array([1.0, 2.0, 3.0, 5.0]), ALL)
    ref = stats.linregress(np.arange(4.0), [1.0, 2.0, 3.0, 5.0])
    np.testing.assert_allclose(out, [ref.slope, ref.intercept, ref.rvalue, ref.pvalue, ref.stderr], rtol=1e-12)
    assert out[1] == 2.75 - 1.3 * 1.5


@pytest.mark.parametrize(
    "hours, x",
    [
        ([0.0, 1.0, 2.0], [1.0, 2.0]),  # lengths differ
        ([], []),
        ([1.0], [2.0]),
        ([2.0, 2.0, 2.0], [1.0, 2.0, 3.0]),  # no spread of the time axis
        ([0.0, np.nan, 2.0], [1.0, 2.0, 3.0]),
    ],
)
def test_degenerate_input_gives_nan_everywhere(hours, x):
    out = compute_linear_trend_timewise(np.array(hours, dtype=float), np.array(x, dtype=float), ALL)
    assert len(out) == 5 and all(math.isnan(v) for v in out)


def test_constant_samples():
    # ssym and ssxym are both 0: slope 0, intercept the leading part of the
    # mean, rvalue/pvalue/stderr NaN.
    out = compute_linear_trend_timewise(np.arange(3.0), np.array([0.1, 0.1, 0.1]), ALL)
    assert out[0] == 0.0
    assert out[1] == 0.10000000000000002
    assert all(math.isnan(v) for v in out[2:])


def test_two_points():
    # df = 0: no p-value; r exactly 1 makes the standard error 0/0.
    out = compute_linear_trend_timewise(np.array([0.0, 1.0]), np.array([1.0, 3.0]), ALL)
    assert out[:3] == [2.0, 1.0, 1.0]
    assert math.isnan(out[3]) and math.isnan(out[4])


def test_perfect_line_has_a_tiny_positive_pvalue():
    out = compute_linear_trend_timewise(np.arange(5.0), np.array([1.0, 3.0, 5.0, 7.0, 9.0]), ALL)
    assert out[2] == 1.0
    assert 0.0 < out[3] < 1e-20
    assert out[4] == 0.0


def test_empty_params_still_converts_and_answers_nothing():
    assert compute_linear_trend_timewise(np.arange(3.0), np.arange(3.0), []) == []


def test_parameter_errors_come_before_contiguity():
    strided = np.arange(6.0)[::2]
    with pytest.raises(ValueError, match="^each parameter entry must be a dict$"):
        compute_linear_trend_timewise(np.arange(3.0), strided, [1])
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        compute_linear_trend_timewise(strided, np.arange(3.0), [{}])


def test_arrays_are_not_written():
    hours = np.arange(4.0)
    x = np.array([1.0, 2.0, 3.0, 5.0])
    hours.flags.writeable = False
    x.flags.writeable = False
    compute_linear_trend_timewise(hours, x, ALL)
    np.testing.assert_array_equal(x, [1.0, 2.0, 3.0, 5.0])
