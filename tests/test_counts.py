"""Counts against levels and bands, duplicate flags and reoccurrence measures."""
import math

import numpy as np
import pytest

from selquor_rs import compute_feature, extract_batch

NAN = float("nan")
INF = float("inf")

SCALARS = [
    "count_above_mean",
    "count_below_mean",
    "has_duplicate",
    "has_duplicate_max",
    "has_duplicate_min",
    "percentage_of_reoccurring_datapoints_to_all_datapoints",
    "percentage_of_reoccurring_values_to_all_values",
    "sum_of_reoccurring_data_points",
    "sum_of_reoccurring_values",
    "ratio_value_number_to_time_series_length",
]
PARAMETERISED = {
    "count_above": {"t": 0.3},
    "count_below": {"t": 0.3},
    "value_count": {"value": 1.0},
    "range_count": {"min": -0.5, "max": 0.5},
    "ratio_beyond_r_sigma": {"r": 1.0},
}


def one(name, x, params=None):
    out = compute_feature(name, np.asarray(x, dtype=np.float64), [{}] if params is None else [params])
    assert out is not None and len(out) == 1
    return out[0]


def assert_same(got, want):
    # Exact, with NaN matching NaN and the sign of zero mattering.
    if math.isnan(want):
        assert math.isnan(got)
    else:
        assert got == want and math.copysign(1.0, got) == math.copysign(1.0, want)


def ties_series(seed, n=200):
    # Few distinct values so that ties, duplicates and equalities with the
    # thresholds below actually occur.
    rng = np.random.default_rng(seed)
    return rng.integers(-3, 4, size=n).astype(np.float64) / 2.0


# ---- the probe and degenerate series --------------------------------------

@pytest.mark.parametrize(
    "x",
    [
        np.sin(0.7 * np.arange(64)),
        np.array([]),
        np.full(7, 2.5),
        np.array([1.0, NAN, -INF, INF, 0.0, -0.0, NAN]),
        np.array([NAN]),
    ],
    ids=["probe", "empty", "constant", "nan-and-inf", "only-nan"],
)
@pytest.mark.parametrize("name", SCALARS + list(PARAMETERISED))
def test_every_calculator_answers_one_value_per_set(name, x):
    sets = [{}] if name in SCALARS else [{}, PARAMETERISED[name], PARAMETERISED[name]]
    out = compute_feature(name, x, sets)
    assert out is not None and len(out) == len(sets)
    if name not in SCALARS:
        assert compute_feature(name, x, []) == []


@pytest.mark.parametrize(
    "name, want",
    [
        ("count_above", NAN), ("count_below", NAN), ("ratio_beyond_r_sigma", NAN),
        ("value_count", 0.0), ("range_count", 0.0),
        ("count_above_mean", 0.0), ("count_below_mean", 0.0),
        ("has_duplicate", 0.0), ("has_duplicate_max", 0.0), ("has_duplicate_min", 0.0),
        ("percentage_of_reoccurring_datapoints_to_all_datapoints", NAN),
        ("percentage_of_reoccurring_values_to_all_values", NAN),
        ("ratio_value_number_to_time_series_length", NAN),
        # Plain sums over no group start from -0.0.
        ("sum_of_reoccurring_data_points", -0.0), ("sum_of_reoccurring_values", -0.0),
    ],
)
def test_empty_series(name, want):
    assert_same(one(name, [], PARAMETERISED.get(name, {})), want)


# ---- levels and bands ------------------------------------------------------

@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("t", [-1.5, -0.5, 0.0, 0.5, 1.49, 7.0])
def test_count_above_and_below_include_the_threshold(seed, t):
    x = ties_series(seed)
    x[::17] = NAN  # never counted, but part of n
    assert one("count_above", x, {"t": t}) == np.count_nonzero(x >= t) / x.size
    assert one("count_below", x, {"t": t}) == np.count_nonzero(x <= t) / x.size


def test_count_above_and_below_worked_example():
    # [1, 2, 3] with t = 2: two samples on each side including 2 itself;
    # the mean-based counts exclude the mean 2.
    x = [1.0, 2.0, 3.0]
    assert one("count_above", x, {"t": 2.0}) == 2 / 3
    assert one("count_below", x, {"t": 2}) == 2 / 3
    assert one("count_above_mean", x) == 1.0
    assert one("count_below_mean", x) == 1.0


@pytest.mark.parametrize("params", [{}, {"t": NAN}, {"t": "1"}, {"t": None}])
def test_count_above_with_no_level_counts_nothing(params):
    assert one("count_above", [1.0, 2.0], params) == 0.0
    assert one("count_below", [1.0, 2.0], params) == 0.0


@pytest.mark.parametrize("seed", [0, 3])
@pytest.mark.parametrize("lo, hi", [(-1.0, 1.0), (-0.5, -0.5), (1.0, -1.0), (-INF, INF), (0.0, 0.5)])
def test_range_count_is_half_open(seed, lo, hi):
    x = ties_series(seed)
    x[5] = NAN
    assert one("range_count", x, {"min": lo, "max": hi}) == np.count_nonzero((x >= lo) & (x < hi))


@pytest.mark.parametrize(
    "params, want",
    [({"min": 1.0, "max": 3.0}, 2.0), ({"min": 1, "max": 3.5}, 3.0), ({"max": 3.0}, 0.0), ({"min": 1.0}, 0.0)],
)
def test_range_count_worked_examples(params, want):
    assert one("range_count", [1.0, 2.0, 3.0], params) == want


# ---- value_count -----------------------------------------------------------

@pytest.mark.parametrize(
    "params, want",
    [
        # NaN, a missing key and anything that is not a number count the NaNs.
        ({"value": NAN}, 2.0), ({}, 2.0), ({"value": "1"}, 2.0), ({"value": None}, 2.0), ({"value": [1]}, 2.0),
        # Int, Bool and Float read as numbers.
        ({"value": 1}, 1.0), ({"value": True}, 1.0), ({"value": 1.0}, 1.0),
        ({"value": False}, 0.0), ({"value": 2.0}, 0.0),
    ],
)
def test_value_count_nan_and_number_readings(params, want):
    assert one("value_count", [NAN, 1.0, NAN], params) == want


def test_value_count_matches_signed_zeros_and_sign_set_nans():
    neg_nan = -np.float64(NAN)
    x = np.array([0.0, -0.0, neg_nan, NAN, 0.0])
    assert math.copysign(1.0, x[2]) == -1.0
    assert one("value_count", x, {"value": 0.0}) == 3.0
    assert one("value_count", x, {"value": -0.0}) == 3.0
    assert one("value_count", x, {"value": 0}) == 3.0
    assert one("value_count", x, {}) == 2.0


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_value_count_agrees_with_numpy(seed):
    x = ties_series(seed)
    for v in np.unique(x):
        assert one("value_count", x, {"value": float(v)}) == np.count_nonzero(x == v)


# ---- ratio_beyond_r_sigma ----------------------------------------------------

@pytest.mark.parametrize("r", [0.0, 0.5, 1.0, 2.0, 3.0, -1.0])
def test_ratio_beyond_r_sigma_agrees_with_numpy(r):
    x = np.random.default_rng(5).standard_t(3, size=500)
    want = np.count_nonzero(np.abs(x - x.mean()) > r * x.std()) / x.size
    assert one("ratio_beyond_r_sigma", x, {"r": r}) == want


@pytest.mark.parametrize("x", [[2.5] * 6, [1.0, 1.0, 1.0]])
@pytest.mark.parametrize("params", [{"r": 0.0}, {"r": 1}, {"r": -1.0}, {}])
def test_ratio_beyond_r_sigma_of_constant_is_zero(x, params):
    # No deviation exceeds r * 0; a negative r still compares 0 > -0.
    assert one("ratio_beyond_r_sigma", x, params) == 0.0


def test_ratio_beyond_r_sigma_without_r_is_zero():
    assert one("ratio_beyond_r_sigma", [1.0, 5.0, -3.0], {}) == 0.0


# ---- the mean-based counts ---------------------------------------------------

@pytest.mark.parametrize("seed", [0, 1, 2])
def test_counts_around_the_mean_agree_with_numpy(seed):
    x = np.random.default_rng(seed).normal(size=301)
    m = x.mean()
    assert one("count_above_mean", x) == np.count_nonzero(x > m)
    assert one("count_below_mean", x) == np.count_nonzero(x < m)


@pytest.mark.parametrize(
    "name", ["count_above_mean", "count_below_mean", "has_duplicate_max", "has_duplicate_min"]
)
def test_a_nan_sample_blocks_the_mean_and_extreme_tests(name):
    assert one(name, [3.0, 3.0, NAN, 1.0, 1.0]) == 0.0


@pytest.mark.parametrize("x", [[4.0] * 5, [-0.0, 0.0, -0.0]])
def test_constant_series(x):
    n = len(x)
    c = x[0]
    assert one("count_above_mean", x) == 0.0
    assert one("count_below_mean", x) == 0.0
    assert one("count_above", x, {"t": c}) == 1.0
    assert one("count_below", x, {"t": c}) == 1.0
    assert one("value_count", x, {"value": c}) == n
    for name in ["has_duplicate", "has_duplicate_max", "has_duplicate_min",
                 "percentage_of_reoccurring_datapoints_to_all_datapoints",
                 "percentage_of_reoccurring_values_to_all_values"]:
        assert one(name, x) == 1.0
    assert one("sum_of_reoccurring_data_points", x) == n * c
    assert one("sum_of_reoccurring_values", x) == c
    assert one("ratio_value_number_to_time_series_length", x) == 1 / n


@pytest.mark.parametrize(
    "name", ["has_duplicate", "has_duplicate_max", "has_duplicate_min",
             "percentage_of_reoccurring_datapoints_to_all_datapoints",
             "percentage_of_reoccurring_values_to_all_values"],
)
def test_a_single_sample_has_no_duplicate(name):
    assert one(name, [7.0]) == 0.0


# ---- duplicates and reoccurrence ---------------------------------------------

@pytest.mark.parametrize(
    "x, want",
    [
        ([1.0, NAN, NAN], 1.0),          # the NaNs form one group
        ([1.0, 2.0, NAN], 0.0),
        ([1.0, -0.0, 0.0], 1.0),         # -0.0 == 0.0
        ([INF, -INF, 1.0], 0.0),
        ([INF, 2.0, INF], 1.0),
    ],
)
def test_has_duplicate_grouping(x, want):
    assert one("has_duplicate", x) == want


@pytest.mark.parametrize(
    "x, want_max, want_min",
    [
        ([1.0, 3.0, 2.0, 3.0], 1.0, 0.0),
        ([1.0, 3.0, 1.0, 2.0], 0.0, 1.0),
        ([0.0, -0.0, -1.0], 1.0, 0.0),   # the two zeros tie for the maximum
        ([INF, INF, -INF], 1.0, 0.0),
    ],
)
def test_duplicate_extremes(x, want_max, want_min):
    assert one("has_duplicate_max", x) == want_max
    assert one("has_duplicate_min", x) == want_min


def test_reoccurrence_percentages_group_nans_differently():
    # Datapoints: the NaNs are dropped before grouping but stay in n:
    # the two 1.0 reoccur, 2 of 5. Values: groups 1.0, 2.0 and NaN, of which
    # 1.0 and NaN reoccur: 2 of 3.
    x = [1.0, 1.0, 2.0, NAN, NAN]
    assert one("percentage_of_reoccurring_datapoints_to_all_datapoints", x) == 0.4
    assert one("percentage_of_reoccurring_values_to_all_values", x) == 2 / 3
    assert one("ratio_value_number_to_time_series_length", x) == 3 / 5


@pytest.mark.parametrize(
    "x, points, values",
    [
        ([2.0, 2.0, 3.0], 4.0, 2.0),
        ([2.0, 2.0, 3.0, INF], NAN, NAN),   # 0 * inf for the lone infinity
        ([2.0, 2.0, NAN], NAN, NAN),        # the NaN group's value is NaN
        ([INF, INF, 1.0], INF, INF),
        ([-0.0, 0.0], -0.0, -0.0),          # one group valued -0.0, twice
        ([-0.0, 0.0, 5.0], 0.0, 0.0),       # ... plus 0 * 5.0 = +0.0
    ],
)
def test_reoccurrence_sums_worked_examples(x, points, values):
    assert_same(one("sum_of_reoccurring_data_points", x), points)
    assert_same(one("sum_of_reoccurring_values", x), values)


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_reoccurrence_measures_agree_with_numpy_unique(seed):
    x = ties_series(seed, n=int(np.random.default_rng(seed).integers(1, 40)))
    vals, counts = np.unique(x, return_counts=True)
    rep = counts >= 2
    assert one("has_duplicate", x) == float(vals.size != x.size)
    assert one("ratio_value_number_to_time_series_length", x) == vals.size / x.size
    assert one("percentage_of_reoccurring_values_to_all_values", x) == np.count_nonzero(rep) / vals.size
    assert one("percentage_of_reoccurring_datapoints_to_all_datapoints", x) == counts[rep].sum() / x.size
    # Halves of small integers: every product and partial sum is exact.
    assert one("sum_of_reoccurring_data_points", x) == float(np.sum(vals[rep] * counts[rep]))
    assert one("sum_of_reoccurring_values", x) == float(np.sum(vals[rep]))


def test_nan_grouping_agrees_with_numpy_unique():
    x = np.array([NAN, 1.0, -np.float64(NAN), 1.0, 2.0, NAN])
    vals, counts = np.unique(x, return_counts=True, equal_nan=True)  # one NaN group of 3
    assert one("ratio_value_number_to_time_series_length", x) == vals.size / x.size
    assert one("percentage_of_reoccurring_values_to_all_values", x) == np.count_nonzero(counts >= 2) / vals.size
    assert one("percentage_of_reoccurring_datapoints_to_all_datapoints", x) == 2 / 6


# ---- through the batch -------------------------------------------------------

def test_batch_rows_match_single_calls():
    rng = np.random.default_rng(9)
    series = [ties_series(1, 30), np.array([]), np.array([NAN, 1.0, 1.0]), rng.normal(size=50)]
    values = np.concatenate(series)
    offsets = np.cumsum([0] + [len(s) for s in series]).astype(np.int64)
    plan = [(name, [{}]) for name in SCALARS] + [
        (name, [p, {}]) for name, p in PARAMETERISED.items()
    ]
    flat, n_series, width = extract_batch(values, offsets, plan)
    assert (n_series, width) == (len(series), len(SCALARS) + 2 * len(PARAMETERISED))
    rows = np.array(flat).reshape(n_series, width)
    for i, s in enumerate(series):
        want = [v for name, sets in plan for v in compute_feature(name, s, sets)]
        np.testing.assert_array_equal(rows[i], want)
