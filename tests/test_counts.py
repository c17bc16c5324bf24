"""Counts against levels and bands, duplicate flags and reoccurrence measures."""
import numpy as np
import pytest

from conftest import INF, NAN, NEG_NAN, one, same

SCALARS = ["count_above_mean", "count_below_mean", "has_duplicate", "has_duplicate_max", "has_duplicate_min"]


def ties(seed, n=200):
    # Halves of small integers: ties, duplicates and samples on the levels.
    return np.random.default_rng(seed).integers(-3, 4, size=n) / 2.0


@pytest.mark.parametrize(
    "name, x, params, want",
    [
        # The empty series: 0/0 ratios, zero counts and flags, -0.0 plain sums.
        *[(n, [], {"t": 0.0, "r": 1.0}, NAN) for n in ("count_above", "count_below", "ratio_beyond_r_sigma")],
        *[(n, [], {"value": 0.0, "min": -1.0, "max": 1.0}, 0.0) for n in ("value_count", "range_count")],
        *[(n, [], {}, 0.0) for n in SCALARS[:5]],  # the group counts' empty series: test_order
        # Levels include the threshold, the mean-based counts exclude the
        # mean; a NaN threshold, bound or r counts nothing.
        ("count_above_mean", [1.0, 2.0, 3.0], {}, 1.0),
        ("count_below", [1.0, 2.0], {"t": "1"}, 0.0),
        ("range_count", [1.0, 2.0, 3.0], {"max": 3.0}, 0.0),
        ("ratio_beyond_r_sigma", [1.0, 5.0, -3.0], {}, 0.0),
        ("ratio_beyond_r_sigma", [2.5] * 6, {"r": 0.0}, 0.0),  # no deviation exceeds r * 0
        # value_count: a NaN of either sign, a missing key or a non-number counts the NaNs.
        *[("value_count", [NAN, 1.0, NEG_NAN], p, 2.0) for p in ({"value": NAN}, {}, {"value": "1"}, {"value": None})],
        *[("value_count", [NAN, 1.0, -0.0, 0.0], {"value": v}, w) for v, w in ((1, 1.0), (True, 1.0), (0, 2.0))],
        # A NaN sample makes the mean and the extremes NaN.
        *[(n, [3.0, 3.0, NAN, 1.0, 1.0], {}, 0.0) for n in SCALARS[:2] + SCALARS[3:5]],
        # Duplicated extremes: -0.0 == 0.0.
        ("has_duplicate_max", [0.0, -0.0, -1.0], {}, 1.0),
        ("has_duplicate_min", [INF, -INF, -INF], {}, 1.0),
        ("has_duplicate_max", [7.0], {}, 0.0),
        # Reoccurrence sums weigh every group, so 0 * inf shows (the other
        # group rules: test_order's reference).
        ("sum_of_reoccurring_data_points", [2.0, 2.0, 3.0, INF], {}, NAN),
    ],
)
def test_worked_examples(name, x, params, want):
    assert same(one(name, x, params), want)


@pytest.mark.parametrize("t", [-1.5, 0.0, 1.49, 7.0])
def test_level_counts_agree_with_numpy(t):
    x = ties(0)
    x[::17] = NAN  # never counted, but part of n
    assert one("count_above", x, {"t": t}) == np.count_nonzero(x >= t) / x.size
    assert one("count_below", x, {"t": t}) == np.count_nonzero(x <= t) / x.size
    assert one("value_count", x, {"value": t}) == np.count_nonzero(x == t)
    assert one("range_count", x, {"min": t, "max": t + 1.0}) == np.count_nonzero((x >= t) & (x < t + 1.0))
    y = np.random.default_rng(1).standard_t(3, size=500)
    assert one("ratio_beyond_r_sigma", y, {"r": t}) == np.count_nonzero(np.abs(y - y.mean()) > t * y.std()) / y.size
