"""The simple statistics and location calculators, checked against numpy/scipy
and against hand-derived values where the definitions differ from numpy's on
purpose (compensated sums, signed zeros, the sign of a NaN)."""

import math

import numpy as np
import pytest
import scipy.stats

from selquor_rs import compute_feature

NAN = float("nan")

SIMPLE = [
    "abs_energy",
    "absolute_maximum",
    "absolute_sum_of_changes",
    "first_location_of_maximum",
    "first_location_of_minimum",
    "kurtosis",
    "last_location_of_maximum",
    "last_location_of_minimum",
    "length",
    "maximum",
    "mean",
    "mean_abs_change",
    "mean_change",
    "mean_second_derivative_central",
    "median",
    "minimum",
    "root_mean_square",
    "skewness",
    "standard_deviation",
    "sum_values",
    "variance",
    "variance_larger_than_standard_deviation",
    "variation_coefficient",
]


def value(name, x):
    out = compute_feature(name, np.asarray(x, dtype=np.float64), [{}])
    assert out is not None and len(out) == 1
    return out[0]


def same(a, b):
    """Equal as values, with NaN equal to NaN and the sign of a zero kept."""
    if math.isnan(b):
        return math.isnan(a)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def series():
    rng = np.random.default_rng(2024)
    return {
        "short": np.array([0.5, -1.25, 3.0, 2.0]),
        "gauss": rng.standard_normal(1000),
        "offset": rng.standard_normal(777) * 1e-3 + 1e4,
        "heavy": rng.standard_t(2, 5000),
        "negative": -rng.exponential(1.0, 301),
        # Long enough for several blocks of the extreme scans.
        "long": rng.standard_normal(20011),
    }


SERIES = series()

ORACLES = {
    "abs_energy": lambda x: np.dot(x, x),
    "absolute_maximum": lambda x: np.max(np.abs(x)),
    "absolute_sum_of_changes": lambda x: math.fsum(np.abs(np.diff(x))),
    "first_location_of_maximum": lambda x: np.argmax(x) / len(x),
    "first_location_of_minimum": lambda x: np.argmin(x) / len(x),
    "kurtosis": lambda x: scipy.stats.kurtosis(x, fisher=True, bias=False),
    "last_location_of_maximum": lambda x: 1.0 - np.argmax(x[::-1]) / len(x),
    "last_location_of_minimum": lambda x: 1.0 - np.argmin(x[::-1]) / len(x),
    "length": lambda x: float(len(x)),
    "maximum": np.max,
    "mean": lambda x: math.fsum(x) / len(x),
    "mean_abs_change": lambda x: np.mean(np.abs(np.diff(x))),
    "mean_change": lambda x: np.mean(np.diff(x)),
    # The mean of the central second differences over two.
    "mean_second_derivative_central": lambda x: np.mean((x[2:] - 2 * x[1:-1] + x[:-2]) / 2),
    "median": np.median,
    "minimum": np.min,
    "root_mean_square": lambda x: np.sqrt(np.mean(x * x)),
    "skewness": lambda x: scipy.stats.skew(x, bias=False),
    "standard_deviation": np.std,
    "sum_values": math.fsum,
    "variance": np.var,
    "variance_larger_than_standard_deviation": lambda x: float(np.var(x) > 1.0),
    "variation_coefficient": lambda x: np.std(x) / np.mean(x),
}

# Exact for values picked from the series and for counts; otherwise a
# tolerance for the different order of the arithmetic.
EXACT = {
    "absolute_maximum",
    "first_location_of_maximum",
    "first_location_of_minimum",
    "last_location_of_maximum",
    "last_location_of_minimum",
    "length",
    "maximum",
    "minimum",
    "variance_larger_than_standard_deviation",
}


@pytest.mark.parametrize("kind", sorted(SERIES))
@pytest.mark.parametrize("name", SIMPLE)
def test_values_agree_with_numpy_and_scipy(name, kind):
    x = SERIES[kind]
    got, want = value(name, x), float(ORACLES[name](x))
    if name in EXACT:
        assert got == want
    elif name == "mean_second_derivative_central":
        # Telescoped from the end samples; numpy sums every difference.
        assert got == pytest.approx(want, rel=1e-9, abs=1e-12 * np.max(np.abs(x)))
    elif name in ("skewness", "kurtosis"):
        # Plain sums of powers of deviations; on the "offset" series the
        # rounding of the mean alone (half an ulp of 1e4 against a spread of
        # 1e-3) moves the third and fourth moments in the 7th digit.
        rel = 1e-5 if kind == "offset" else 1e-10
        assert got == pytest.approx(want, rel=rel, abs=0.0)
    else:
        assert got == pytest.approx(want, rel=1e-12, abs=0.0)


@pytest.mark.parametrize("name", SIMPLE)
@pytest.mark.parametrize("sets", [[], [{}], [{"q": 0.5}, {}, {"lag": 3}]])
def test_one_value_whatever_the_parameter_sets(name, sets):
    probe = np.sin(0.7 * np.arange(64))
    out = compute_feature(name, probe, sets)
    assert out is not None and len(out) == 1
    assert same(out[0], value(name, probe))


EMPTY = {
    "abs_energy": -0.0,
    "absolute_sum_of_changes": 0.0,
    "sum_values": 0.0,
    "variance_larger_than_standard_deviation": 0.0,
    "length": 0.0,
}


@pytest.mark.parametrize("name", SIMPLE)
def test_empty_series(name):
    assert same(value(name, []), EMPTY.get(name, NAN))


ONE_SAMPLE = {
    "abs_energy": 6.25,
    "absolute_maximum": 2.5,
    "absolute_sum_of_changes": 0.0,
    "first_location_of_maximum": 0.0,
    "first_location_of_minimum": 0.0,
    "kurtosis": NAN,
    "last_location_of_maximum": 1.0,
    "last_location_of_minimum": 1.0,
    "length": 1.0,
    "maximum": -2.5,
    "mean": -2.5,
    "mean_abs_change": NAN,
    "mean_change": NAN,
    "mean_second_derivative_central": NAN,
    "median": -2.5,
    "minimum": -2.5,
    "root_mean_square": 2.5,
    "skewness": NAN,
    "standard_deviation": 0.0,
    "sum_values": -2.5,
    "variance": 0.0,
    "variance_larger_than_standard_deviation": 0.0,
    "variation_coefficient": -0.0,
}


@pytest.mark.parametrize("name", SIMPLE)
def test_one_sample(name):
    assert same(value(name, [-2.5]), ONE_SAMPLE[name])


@pytest.mark.parametrize(
    "x, name, want",
    [
        ([2.0] * 4, "skewness", 0.0),
        ([2.0] * 4, "kurtosis", 0.0),
        ([2.0] * 4, "variance", 0.0),
        ([2.0] * 4, "absolute_sum_of_changes", 0.0),
        ([2.0] * 4, "mean_change", 0.0),
        ([2.0] * 4, "variation_coefficient", 0.0),
        ([-2.0] * 4, "variation_coefficient", -0.0),
        ([0.0] * 4, "variation_coefficient", NAN),
        ([2.0] * 4, "first_location_of_maximum", 0.0),
        ([2.0] * 4, "last_location_of_maximum", 1.0),
        ([-1.0, -3.0], "variation_coefficient", -0.5),
        # Three samples suffice for the skewness, four for the kurtosis.
        ([1.0, 2.0], "skewness", NAN),
        ([1.0, 2.0, 3.0], "kurtosis", NAN),
        # Population variances 2.25 and 1.0; an infinite variance is no larger.
        ([0.0, 3.0], "variance_larger_than_standard_deviation", 1.0),
        ([0.0, 2.0], "variance_larger_than_standard_deviation", 0.0),
        ([0.0, math.inf], "variance_larger_than_standard_deviation", 0.0),
        ([1.0, NAN, 3.0], "variance_larger_than_standard_deviation", 0.0),
        # A spread whose square of the sum of squares underflows.
        ([0.0, 0.0, 1e-170, 0.0, 0.0], "kurtosis", 0.0),
    ],
)
def test_degenerate_series(x, name, want):
    assert same(value(name, x), want)


def test_skewness_of_three_samples():
    x = np.array([1.0, 2.0, 7.0])
    assert value("skewness", x) == pytest.approx(scipy.stats.skew(x, bias=False), rel=1e-14)
    y = np.array([1.0, 2.0, 7.0, -3.0])
    assert value("kurtosis", y) == pytest.approx(scipy.stats.kurtosis(y, bias=False), rel=1e-14)


NAN_EVERYWHERE = [
    "abs_energy",
    "absolute_maximum",
    "maximum",
    "minimum",
    "mean",
    "standard_deviation",
    "variance",
    "sum_values",
    "root_mean_square",
    "skewness",
    "kurtosis",
    "variation_coefficient",
    "absolute_sum_of_changes",
    "mean_abs_change",
]


@pytest.mark.parametrize("name", NAN_EVERYWHERE)
@pytest.mark.parametrize("where", [0, 3, 9])
def test_a_nan_anywhere_gives_nan(name, where):
    x = np.arange(10.0)
    x[where] = NAN
    assert math.isnan(value(name, x))


@pytest.mark.parametrize(
    "x, want",
    [([NAN, 1.0, 2.0], NAN), ([1.0, NAN, 2.0], 0.5), ([1.0, 5.0, NAN], NAN)],
)
def test_mean_change_reads_only_the_end_samples(x, want):
    assert same(value("mean_change", x), want)


def test_length_counts_nan_samples():
    assert value("length", [NAN, NAN, 1.0]) == 3.0


@pytest.mark.parametrize(
    "x, first, last",
    [
        ([1.0, NAN, 3.0, NAN], 0.25, 1.0),
        ([5.0, 1.0, 5.0], 0.0, 1.0),
        # 1 - 2/3: the last maximum sits 2 samples before the end.
        ([5.0, 1.0, 2.0], 0.0, 1.0 - 2.0 / 3.0),
        ([NAN, 1.0, 2.0], 0.0, 1.0 - 2.0 / 3.0),
    ],
)
def test_locations_of_maximum(x, first, last):
    assert value("first_location_of_maximum", x) == first
    assert value("last_location_of_maximum", x) == last


def test_locations_of_minimum_mirror_the_maximum():
    x = np.array([3.0, -1.0, 4.0, -1.0, 5.0])
    assert value("first_location_of_minimum", x) == 0.2
    # The last -1.0 sits 1 sample before the last: 1 - 1/5.
    assert value("last_location_of_minimum", x) == 1.0 - 1.0 / 5.0


def test_last_locations_far_apart():
    # Ties in different scan blocks: the first and the last occurrence.
    x = np.zeros(50000)
    x[123] = x[45678] = 9.0
    assert value("first_location_of_maximum", x) == 123 / 50000
    assert value("last_location_of_maximum", x) == 1.0 - (50000 - 1 - 45678) / 50000
    assert value("first_location_of_minimum", x) == 0.0
    assert value("last_location_of_minimum", x) == 1.0


# Where the definitions differ from numpy's on purpose.


def test_sums_are_compensated():
    x = np.array([1e16, 1.0, -1e16])
    assert np.sum(x) == 0.0
    assert value("sum_values", x) == 1.0
    assert value("mean", x) == 1.0 / 3.0
    assert value("root_mean_square", [1e8, 1.0, 1e8]) == math.sqrt(math.fsum([1e16, 1.0, 1e16]) / 3)


def test_compensated_sum_falls_back_to_the_plain_sum():
    assert value("sum_values", [math.inf, 1.0]) == math.inf
    assert value("sum_values", [1e308, 1e308]) == math.inf
    assert math.isnan(value("sum_values", [math.inf, -math.inf]))


def test_variance_overflow_is_nan_not_inf():
    assert math.isnan(value("variance", [1e200, -1e200]))
    assert math.isnan(value("standard_deviation", [1.0, math.inf]))


def test_abs_energy_of_nothing_is_negative_zero():
    assert math.copysign(1.0, value("abs_energy", [])) == -1.0


@pytest.mark.parametrize(
    "x, name, want",
    [
        ([-0.0, 0.0], "maximum", -0.0),
        ([0.0, -0.0], "maximum", 0.0),
        ([0.0, -0.0], "minimum", 0.0),
        ([-0.0, 0.0], "minimum", -0.0),
        ([-0.0, -0.0], "absolute_maximum", 0.0),
    ],
)
def test_signed_zero_ties_keep_the_first(x, name, want):
    assert same(value(name, x), want)


def test_maximum_returns_the_first_nan():
    neg = -np.float64(NAN)
    assert np.signbit(neg)
    got = value("maximum", [1.0, neg, NAN])
    assert math.isnan(got) and math.copysign(1.0, got) == -1.0
    # The absolute value clears the sign of the NaN too.
    got = value("absolute_maximum", [1.0, neg, NAN])
    assert math.isnan(got) and math.copysign(1.0, got) == 1.0


def test_median_ignores_a_negative_nan_that_it_does_not_touch():
    neg = -np.float64(NAN)
    x = np.array([4.0, neg, 2.0, 3.0])
    assert math.isnan(np.median(x))
    # The negative NaN sorts first: median of [-nan, 2, 3, 4] is 2.5.
    assert value("median", x) == 2.5
    assert math.isnan(value("median", [4.0, NAN, 2.0, 3.0]))
    assert math.isnan(value("median", [neg, 2.0]))


def test_median_interpolation_matches_numpy_quantile():
    rng = np.random.default_rng(5)
    for n in (1, 2, 10, 11, 1000, 1001):
        x = rng.standard_normal(n)
        assert value("median", x) == pytest.approx(np.quantile(x, 0.5), rel=1e-15, abs=1e-300)


def test_median_of_infinities():
    assert value("median", [1.0, math.inf]) == math.inf
    # (inf - (-inf)) * 0.5 + (-inf)
    assert math.isnan(value("median", [-math.inf, math.inf]))
