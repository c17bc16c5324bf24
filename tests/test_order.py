"""The order of the sorted copy and the groups of equal values, against numpy.
Every NaN sorts after +inf whatever its sign; -0.0 sorts before +0.0 and
equals it when values are grouped (by hashing below the hashed length, else
from the sorted copy; batch plans that sort first: test_shared_work)."""
import math

import numpy as np
import pytest

from conftest import INF, NAN, NEG_NAN, same
from selquor_rs import compute_feature

QS = [0.0, 0.1, 0.3, 0.5, 0.75, 1.0]
DISTINCT = ["has_duplicate", "percentage_of_reoccurring_datapoints_to_all_datapoints",
            "percentage_of_reoccurring_values_to_all_values", "sum_of_reoccurring_data_points",
            "sum_of_reoccurring_values", "ratio_value_number_to_time_series_length"]  # fmt: skip


def series(kind, n, seed):
    rng = np.random.default_rng(seed)
    pool = np.array([-0.0, 0.0, 1.0, -1.0, 2.5, INF, -INF, 5e-324, -5e-324, 1e-310, NAN, NEG_NAN])
    return {
        "gauss": lambda: rng.normal(size=n),
        "ties": lambda: rng.choice(pool, n),
        "finite ties": lambda: rng.choice(pool[:5], n),
        "subnormal": lambda: np.where(rng.random(n) < 0.2, rng.choice([-0.0, 0.0], n), rng.normal(size=n) * 1e-310),
        "constant": lambda: np.full(n, -0.0 if seed % 2 else 3.5),
    }[kind]()


CASES = [(k, n) for k in ("gauss", "ties", "finite ties", "subnormal", "constant") for n in (0, 1, 2, 3, 17, 1000, 4099)]
CASES += [("gauss", 20_000), ("ties", 140_000), ("finite ties", 20_000)]  # above the hashed length


def total_sorted(x):
    # numpy puts every NaN last; -0.0 goes before +0.0 (the secondary key).
    return x[np.lexsort((~np.signbit(x), x))]


def quantile_ref(s, q):
    n = len(s)
    if n == 0 or math.isnan(s[-1]):
        return NAN
    pos = (n - 1) * min(max(q, 0.0), 1.0)
    lo, hi = math.floor(pos), math.ceil(pos)
    return float(s[lo]) if lo == hi else (float(s[hi]) - float(s[lo])) * (pos - lo) + float(s[lo])


def distinct_ref(x):
    s = total_sorted(x)
    v = s[~np.isnan(s)]
    starts = np.flatnonzero(np.r_[True, v[1:] != v[:-1]]) if v.size else np.array([], dtype=int)
    values, counts, nans = v[starts], np.diff(np.r_[starts, v.size]), x.size - v.size
    groups = values.size + (nans > 0)
    rep = counts >= 2

    def weighted_sum(by_count):
        # The plain sum from -0.0 in ascending order, zero weights included.
        total = -0.0
        for val, c in zip(values.tolist(), counts.tolist()):
            total += ((c if by_count else 1.0) if c >= 2 else 0.0) * val
        return total + ((nans if by_count else 1.0) if nans >= 2 else 0.0) * NAN if nans else total

    n = x.size
    return {
        "has_duplicate": float(groups != n),
        "percentage_of_reoccurring_datapoints_to_all_datapoints": counts[rep].sum() / n if n else NAN,
        "percentage_of_reoccurring_values_to_all_values": (rep.sum() + (nans >= 2)) / groups if n else NAN,
        "sum_of_reoccurring_data_points": weighted_sum(True),
        "sum_of_reoccurring_values": weighted_sum(False),
        "ratio_value_number_to_time_series_length": groups / n if n else NAN,
    }


@pytest.mark.parametrize("nan", [NAN, NEG_NAN])  # NEG_NAN: the bits of 0/0 and inf - inf on x86
@pytest.mark.parametrize("at", [0, 2, 4])
def test_a_nan_of_either_sign_makes_every_order_statistic_nan(nan, at):
    x = np.insert(np.array([1.0, 2.0, 3.0, 4.0]), at, nan)
    assert np.isnan(compute_feature("median", x, [{}]) + compute_feature("quantile", x, [{"q": q} for q in QS])).all()


@pytest.mark.parametrize("kind, n", CASES)
def test_order_statistics_and_groups_match_a_total_order_sort(kind, n):
    x = series(kind, n, n)
    s, ref = total_sorted(x), distinct_ref(x)
    want = [quantile_ref(s, 0.5)] + [quantile_ref(s, q) for q in QS] + [ref[name] for name in DISTINCT]
    got = compute_feature("median", x, [{}]) + compute_feature("quantile", x, [{"q": q} for q in QS])
    got += [compute_feature(name, x, [{}])[0] for name in DISTINCT]
    assert all(map(same, got, want)), list(zip(["median", *QS, *DISTINCT], got))
