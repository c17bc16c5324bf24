"""The simple statistics and location calculators, checked against numpy/scipy
and against hand-derived values where the definitions differ from numpy's on
purpose (compensated sums, signed zeros, the sign of a NaN)."""

import math

import numpy as np
import pytest
import scipy.stats

from conftest import INF, NAN, NEG_NAN, one, same
from selquor_rs import compute_feature


ORACLES = {
    "abs_energy": lambda x: np.dot(x, x),
    "absolute_sum_of_changes": lambda x: math.fsum(np.abs(np.diff(x))),
    "kurtosis": lambda x: scipy.stats.kurtosis(x, fisher=True, bias=False),
    "mean": lambda x: math.fsum(x) / len(x),
    "mean_abs_change": lambda x: np.mean(np.abs(np.diff(x))),
    "mean_change": lambda x: np.mean(np.diff(x)),
    # The mean of the central second differences over two.
    "mean_second_derivative_central": lambda x: np.mean((x[2:] - 2 * x[1:-1] + x[:-2]) / 2),
    "median": np.median,
    "root_mean_square": lambda x: np.sqrt(np.mean(x * x)),
    "skewness": lambda x: scipy.stats.skew(x, bias=False),
    "standard_deviation": np.std,
    "sum_values": math.fsum,
    "variance": np.var,
    "variance_larger_than_standard_deviation": lambda x: float(np.var(x) > 1.0),
    "variation_coefficient": lambda x: np.std(x) / np.mean(x),
}
# The extremes and their locations: test_extremes_match_numpy_around_block_boundaries.
SIMPLE = sorted(ORACLES) + ["absolute_maximum", "first_location_of_maximum", "first_location_of_minimum",
                            "last_location_of_maximum", "last_location_of_minimum", "length", "maximum", "minimum"]
_rng = np.random.default_rng(2024)
SERIES = {
    "short": np.array([0.5, -1.25, 3.0, 2.0]),
    "gauss": _rng.standard_normal(1000),
    "offset": _rng.standard_normal(777) * 1e-3 + 1e4,
    "heavy": _rng.standard_t(2, 5000),
    "negative": -_rng.exponential(1.0, 301),
    # A NaN at either end reaches every value (the changes read the ends).
    "nan first": np.r_[NAN, _rng.standard_normal(18)],
    "nan last": np.r_[_rng.standard_normal(18), NEG_NAN],
}


@pytest.mark.parametrize("kind", sorted(SERIES))
@pytest.mark.parametrize("name", sorted(ORACLES))
def test_values_agree_with_numpy_and_scipy(name, kind):
    x = SERIES[kind]
    got, want = one(name, x), float(ORACLES[name](x))
    if name == "variance_larger_than_standard_deviation" or math.isnan(want):
        assert same(got, want)
    elif name in ("skewness", "kurtosis", "mean_second_derivative_central"):
        # Plain sums of powers of deviations: on "offset" the rounding of the
        # mean (half an ulp of 1e4 against a spread of 1e-3) shows in the 7th
        # digit. The second derivative is telescoped, numpy sums every term.
        assert got == pytest.approx(want, rel=1e-5 if kind == "offset" else 1e-9, abs=1e-12)
    else:
        assert got == pytest.approx(want, rel=1e-12, abs=0.0)


def test_empty_series_gives_one_value_even_without_sets():
    empty = {"abs_energy": -0.0, "absolute_sum_of_changes": 0.0, "sum_values": 0.0, "length": 0.0,
             "variance_larger_than_standard_deviation": 0.0}  # fmt: skip
    for name in SIMPLE:
        out = compute_feature(name, np.array([]), [])
        assert len(out) == 1 and same(out[0], empty.get(name, NAN)), name


@pytest.mark.parametrize(
    "x, name, want",
    [
        ([-2.5], "absolute_sum_of_changes", 0.0),
        ([-2.5], "mean_abs_change", NAN),
        ([-2.5], "mean_change", NAN),
        # sqrt(0) / -2.5
        ([-2.5], "variation_coefficient", -0.0),
        ([0.0] * 4, "variation_coefficient", NAN),
        ([-1.0, -3.0], "variation_coefficient", -0.5),
        ([2.0] * 4, "skewness", 0.0),
        ([2.0] * 4, "kurtosis", 0.0),
        # Three samples suffice for the skewness, four for the kurtosis.
        ([1.0, 2.0], "skewness", NAN),
        ([1.0, 2.0, 3.0], "kurtosis", NAN),
        # The sum of squares squared underflows.
        ([0.0, 0.0, 1e-170, 0.0, 0.0], "kurtosis", 0.0),
        # Population variances 2.25 and 1.0; an infinite variance is no larger.
        ([0.0, 3.0], "variance_larger_than_standard_deviation", 1.0),
        ([0.0, 2.0], "variance_larger_than_standard_deviation", 0.0),
        ([0.0, INF], "variance_larger_than_standard_deviation", 0.0),
        # Compensated sums: the plain sum gives 0.0 ...
        ([1e16, 1.0, -1e16], "mean", 1.0 / 3.0),
        ([1e8, 1.0, 1e8], "root_mean_square", math.sqrt(math.fsum([1e16, 1.0, 1e16]) / 3)),
        # m = 0; adding the square 9 to s = 18 * 2^-52, (s - t) + d rounds to 0
        # and s is lost: 36 / 6. A magnitude test would keep it and give the
        # rounded exact value 6 + 2^-50.
        ([3 * 2.0**-26, -3 * 2.0**-26, 3.0, -3.0, 3.0, -3.0], "variance", 6.0),
        # Only the end samples enter.
        ([NAN, 1.0, 2.0], "mean_change", NAN),
        ([1.0, NAN, 2.0], "mean_change", 0.5),
        ([1.0, 2.0, NAN, 4.0, 9.0], "mean_second_derivative_central", 4.0 / 6.0),
    ],
)
def test_worked_examples(x, name, want):
    assert same(one(name, x), want)


@pytest.mark.parametrize("n", [1, 7, 9, 15, 16, 17, 2047, 2048, 2049, 4111, 9000])
def test_extremes_match_numpy_around_block_boundaries(n, rng):
    """Few distinct values (ties, -0.0 against 0.0), infinities of both signs
    and NaNs of both signs; numpy's arg-extremes also stop at the first NaN."""
    pool = np.array([-0.0, 0.0, 1.0, -1.0, INF, -INF, 1e308, -1e308, NAN, NEG_NAN])
    for k in range(2, 11):
        x = rng.choice(pool[:k], n)
        if k == 8:
            x[rng.integers(n)] = NEG_NAN
        a = np.abs(x)
        want = {
            "maximum": x[np.argmax(x)],
            "minimum": x[np.argmin(x)],
            "absolute_maximum": a[np.argmax(a)],
            "first_location_of_maximum": np.argmax(x) / n,
            "first_location_of_minimum": np.argmin(x) / n,
            "last_location_of_maximum": 1 - np.argmax(x[::-1]) / n,
            "last_location_of_minimum": 1 - np.argmin(x[::-1]) / n,
        }
        for name, w in want.items():
            # Bit for bit: the sign of a zero and of a NaN included.
            assert np.float64(one(name, x)).tobytes() == np.float64(w).tobytes(), (name, k)
