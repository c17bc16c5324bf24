"""The least-squares line against a time axis, and its p-value."""
import numpy as np
import pytest
from scipy import stats

from selquor_rs import compute_linear_trend_timewise

NAN = float("nan")
ALL = [{"attr": a} for a in ("slope", "intercept", "rvalue", "pvalue", "stderr")]


def line(hours, x, params=ALL):
    return compute_linear_trend_timewise(np.asarray(hours, dtype=float), np.asarray(x, dtype=float), params)


@pytest.mark.parametrize(
    "n, trend",
    [(3, 0.3), (10, 0.3), (30, 0.01), (1000, 0.3), (1000, 0.0005), (7, -2.0)],
)
def test_fields_match_scipy(rng, n, trend):
    # Weak trends put the p-value mid-range, where the continued fraction works hardest.
    hours = np.sort(rng.uniform(0, 48, n))
    x = trend * hours + rng.normal(0, 2, n)
    ref = stats.linregress(hours, x)
    expected = [ref.slope, ref.intercept, ref.rvalue, ref.pvalue, ref.stderr]
    np.testing.assert_allclose(line(hours, x), expected, rtol=1e-9, atol=1e-14)


@pytest.mark.parametrize(
    "hours, x, expected",
    [
        # slope 6.5 / 5; intercept from the leading parts of the means: 2.75 - 1.3 * 1.5.
        # The p-value is the algorithm's arithmetic evaluated step by step in
        # Python; it agrees with scipy's Student t to 2e-15.
        ([0, 1, 2, 3], [1, 2, 3, 5], [1.3, 2.75 - 1.3 * 1.5, None, 0.01729237017600919, None]),
        # Compensated centred sums give the correctly rounded slope (checked with
        # exact fractions); plain ones are an ulp off.
        (range(6), [2 / 6 * v - 2 / 7 for v in range(6)], [1 / 3, None, 1.0, None, 0.0]),
        # Rounding pushes r to 1.0000000000000002: it is clamped to 1.
        (range(6), [17 / 6 * v - 5 / 7 for v in range(6)], [None, None, 1.0, None, None]),
        # Constant samples: ssym = ssxym = 0, so no correlation; the intercept is
        # the leading part of the compensated mean.
        ([0, 1, 2], [0.1, 0.1, 0.1], [0.0, 0.10000000000000002, NAN, NAN, NAN]),
        # Two points: no degree of freedom; r exactly 1 makes the standard error 0/0.
        ([0, 1], [1, 3], [2.0, 1.0, 1.0, NAN, NAN]),
        # A perfect line: r clamps to 1, and the tiny guard keeps t finite.
        ([0, 1, 2, 3, 4], [1, 3, 5, 7, 9], [2.0, 1.0, 1.0, None, 0.0]),
        ([0, 1, 2], [1, 2], [NAN] * 5),  # lengths differ
        ([], [], [NAN] * 5),
        ([1], [2], [NAN] * 5),
        ([2, 2, 2], [1, 2, 3], [NAN] * 5),  # no spread of the time axis
        ([0, NAN, 2], [1, 2, 3], [NAN] * 5),
    ],
)
def test_worked_examples(hours, x, expected):
    out = line(hours, x)
    checked = [i for i, e in enumerate(expected) if e is not None]
    np.testing.assert_array_equal([out[i] for i in checked], [expected[i] for i in checked])
    if len(hours) == 5:
        assert 0.0 < out[3] < 1e-20


def test_attr_selects_a_field_by_exact_text():
    out = line([0, 1, 2, 3], [1, 3, 5, 8], [{"attr": "slope"}, {"attr": "Slope"}, {}, {"attr": 1}, {"attr": "slope "}])
    assert out[0] == 2.3 and np.isnan(out[1:]).all()
    assert line([0, 1], [1, 2], []) == []
