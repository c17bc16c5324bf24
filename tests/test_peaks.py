"""Peaks, strikes, crossings, quantiles and spread against range."""
import itertools
import math

import numpy as np
import pytest
from scipy.signal import argrelmax

from selquor_rs import compute_feature, implemented_calculators

NAN, INF = float("nan"), float("inf")

SCALARS = ["longest_strike_above_mean", "longest_strike_below_mean"]
PARAMETERISED = {
    "number_peaks": {"n": 3}, "number_crossing_m": {"m": 0.0}, "quantile": {"q": 0.3},
    "change_quantiles": {"ql": 0.2, "qh": 0.8, "isabs": True, "f_agg": "mean"},
    "index_mass_quantile": {"q": 0.5}, "symmetry_looking": {"r": 0.1}, "large_standard_deviation": {"r": 0.2},
}


def many(name, x, sets):
    out = compute_feature(name, np.asarray(x, dtype=np.float64), sets)
    assert out is not None and len(out) == len(sets)
    return out


def one(name, x, params=None):
    return many(name, x, [params or {}])[0]


def same(got, want):
    return (math.isnan(got) and math.isnan(want)) or got == want


def test_the_probe_lists_every_calculator_here():
    assert set(SCALARS) | set(PARAMETERISED) <= set(implemented_calculators())


@pytest.mark.parametrize(
    "x",
    [np.sin(0.7 * np.arange(64)), [], [-1.25] * 9, [1.0, NAN, -INF, INF, 0.0, -0.0, NAN, 3.0, 2.0], [INF, -INF]],
    ids=["probe", "empty", "constant", "nan-and-inf", "infinities"],
)
@pytest.mark.parametrize("name", SCALARS + list(PARAMETERISED))
def test_every_calculator_answers_one_value_per_set(name, x):
    many(name, x, [{}] if name in SCALARS else [{}, PARAMETERISED[name], {}])
    assert name in SCALARS or compute_feature(name, np.zeros(3), []) == []


CONST = [2.5] * 6
CQ = {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}


@pytest.mark.parametrize(
    "name, x, params, want",
    [
        # The empty series.
        *[(n, [], PARAMETERISED.get(n), 0.0) for n in SCALARS + [
            "number_peaks", "number_crossing_m", "symmetry_looking", "large_standard_deviation", "change_quantiles"]],
        ("quantile", [], {"q": 0.5}, NAN),
        ("index_mass_quantile", [], {"q": 0.5}, NAN),
        # A constant series: no strict peak, no change of side, lo == hi.
        ("number_peaks", CONST, {"n": 1}, 0.0),
        ("number_crossing_m", CONST, {"m": 2.5}, 0.0),
        ("change_quantiles", CONST, CQ, 0.0),
        ("quantile", CONST, {"q": 0.7}, 2.5),
        ("symmetry_looking", CONST, {"r": 1.0}, 0.0),
        ("large_standard_deviation", CONST, {"r": 0.0}, 0.0),
        ("longest_strike_above_mean", CONST, {}, 0.0),
        # Peaks: strict, never at the ends, never at or next to a NaN.
        ("number_peaks", [1.0, 3.0, 2.0, 4.0, 1.0], {"n": 1}, 2.0),
        ("number_peaks", [1.0, 3.0, 2.0, 4.0, 1.0], {"n": 2}, 0.0),   # only index 2 is examined
        ("number_peaks", [1.0, 3.0, 2.0, 4.0, 1.0], {"n": 3}, 0.0),   # 5 <= 6
        ("number_peaks", [1.0, 3.0, 2.0, 4.0, 1.0], {"n": 1.9}, 2.0),
        *[("number_peaks", [1.0, 3.0, 2.0, 4.0, 1.0], p, 0.0) for p in ({"n": -1}, {}, {"n": True}, {"n": "1"})],
        ("number_peaks", [1.0, 3.0, 3.0, 1.0], {"n": 1}, 0.0),
        ("number_peaks", [5.0, 1.0, 5.0], {"n": 1}, 0.0),
        ("number_peaks", [1.0, 3.0, NAN, 4.0, 1.0], {"n": 1}, 0.0),
        ("number_peaks", [-INF, 0.0, -INF, INF, 1.0], {"n": 1}, 2.0),
        ("number_peaks", [-1.0, 0.0, -0.0, -1.0], {"n": 1}, 0.0),     # 0.0 is not above -0.0
        # Crossings: a sample equal to m, a NaN sample and a NaN level are below.
        ("number_crossing_m", [0.0, 2.0, 0.0, 2.0], {"m": 1.0}, 3.0),
        ("number_crossing_m", [0.0, 1.0, 2.0], {"m": 1.0}, 1.0),
        ("number_crossing_m", [0.0, 2.0, NAN, 2.0], {"m": 1}, 3.0),
        ("number_crossing_m", [0.0, 2.0, 0.0], {}, 0.0),
        # Strikes, up to either end; a NaN makes the mean NaN.
        ("longest_strike_above_mean", [1.0, 5.0, 5.0, 1.0, 5.0], {}, 2.0),
        ("longest_strike_below_mean", [1.0, 5.0, 5.0, 1.0, 5.0], {}, 1.0),
        ("longest_strike_below_mean", [1.0, 2.0, 3.0, 10.0], {}, 3.0),
        ("longest_strike_below_mean", [10.0, 1.0, 2.0, 3.0], {}, 3.0),
        ("longest_strike_above_mean", [1.0, 5.0, NAN, 5.0], {}, 0.0),
        # Quantiles clamp the level; a missing one takes the smallest sample.
        *[("quantile", [3.0, 1.0, 2.0], {"q": q}, w) for q, w in ((0.5, 2.0), (0.25, 1.5), (2.0, 3.0), (-1, 1.0), (True, 3.0))],
        ("quantile", [3.0, 1.0, 2.0], {}, 1.0),
        ("quantile", [1.0, NAN, 2.0], {"q": 0.5}, NAN),
        # change_quantiles corridors: both ends inclusive, the aggregation
        # read before the tests (NaN only when there are changes).
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {**CQ, "isabs": False}, 1.0),
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {**CQ, "ql": 0.5, "qh": 0.5}, 0.0),
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {**CQ, "ql": 0.7, "qh": 0.2}, 0.0),
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "qh": 1.0}, NAN),
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {**CQ, "f_agg": "Mean"}, NAN),
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {"qh": 1.0, "f_agg": "max"}, 1.0),  # missing ql acts as 0
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "f_agg": "max"}, 0.0),  # missing qh: hi == lo
        ("change_quantiles", [0.0, 1.0, NAN, 3.0], CQ, 0.0),                            # NaN edges
        ("change_quantiles", [0.0, 2.0, 1.0], CQ, 0.5),                                 # changes 2 and -1
        *[("change_quantiles", [0.0, 2.0, 1.0], {**CQ, "isabs": v}, w)
          for v, w in ((True, 1.5), (1, 1.5), (0, 0.5), (1.0, 0.5), ("yes", 0.5))],   # a Float is no boolean
        ("change_quantiles", [0.0, 5.0, 1.0, 5.0, 0.0], {**CQ, "qh": 0.5}, 0.0),        # [0, 1]: no pair inside
        ("change_quantiles", [4.0], CQ, 0.0),
        # Spread against range, strict; std of [0, 1] is 0.5.
        ("large_standard_deviation", [0.0, 1.0], {"r": 0.4}, 1.0),
        ("large_standard_deviation", [0.0, 1.0], {"r": 0.5}, 0.0),
        ("large_standard_deviation", [0.0, 1.0], {}, 0.0),
        ("large_standard_deviation", [0.0, NAN, 5.0], {"r": 0.0}, 0.0),
        ("symmetry_looking", [0.0, NAN, 5.0], {"r": 10.0}, 0.0),
    ],
)
def test_worked_examples(name, x, params, want):
    assert same(one(name, x, params), want)


@pytest.mark.parametrize("n", [2**63 - 1, 2**63 - 2, 2**62, 2**62 + 1, 1e300, INF, 1e19])
@pytest.mark.parametrize("length", [0, 1, 7, 1000])
def test_number_peaks_huge_support_counts_nothing(n, length):
    # Every support here exceeds half the series, whatever 2 * n would do in
    # 64-bit arithmetic.
    assert one("number_peaks", np.sin(0.7 * np.arange(length)), {"n": n}) == 0.0


def peaks_oracle(x, s):
    n = len(x)
    return 0 if n <= 2 * s else sum(1 for i in argrelmax(np.asarray(x), order=s)[0] if s <= i < n - s)


@pytest.mark.parametrize("seed", range(3))
def test_number_peaks_agrees_with_scipy_relative_maxima(seed):
    rng = np.random.default_rng(seed)
    ties = rng.integers(0, 6, size=400).astype(np.float64)
    ties[rng.integers(0, 400, size=5)] = NAN
    sine = np.sin(2 * np.pi * np.arange(100_000) / 100)  # crests 100 apart
    for x, supports in ((ties, (1, 2, 3, 5, 16, 17, 50, 199, 200)), (sine, (1, 10, 49, 99, 100, 150, 1000))):
        assert many("number_peaks", x, [{"n": s} for s in supports]) == [peaks_oracle(x, s) for s in supports]


def test_crossings_and_strikes_agree_with_numpy():
    x = np.random.default_rng(1).normal(size=500).cumsum()
    for m in (-5.0, 0.0, 3.3):
        assert one("number_crossing_m", x, {"m": m}) == np.count_nonzero(np.diff((x > m).astype(int)))
    runs = lambda flags: max((len(list(g)) for k, g in itertools.groupby(flags) if k), default=0)  # noqa: E731
    assert one("longest_strike_above_mean", x) == runs(x > x.mean())
    assert one("longest_strike_below_mean", x) == runs(x < x.mean())


def test_quantile_agrees_with_numpy():
    x = np.random.default_rng(2).normal(size=257)
    qs = [0.0, 0.1, 0.25, 0.5, 0.77, 0.99, 1.0]
    np.testing.assert_allclose(many("quantile", x, [{"q": q} for q in qs]), np.quantile(x, qs), rtol=1e-14)


AGGS = {"mean": np.mean, "median": np.median, "var": np.var, "std": np.std, "max": np.max,
        "sum": np.sum, "nanmin": np.nanmin, "argmax": np.argmax}


@pytest.mark.parametrize("ql, qh", [(0.0, 1.0), (0.1, 0.9), (0.3, 0.5), (0.0, 0.2), (0.8, 1.0)])
@pytest.mark.parametrize("isabs", [False, True])
def test_change_quantiles_agrees_with_numpy(ql, qh, isabs):
    # Quarter steps: samples sit exactly on the corridor edges.
    x = np.random.default_rng(4).integers(-8, 9, size=300) / 4.0
    lo, hi = np.quantile(x, [ql, qh])
    inside = (x >= lo) & (x <= hi)
    d = np.diff(x)[inside[1:] & inside[:-1]]
    d = np.abs(d) if isabs else d
    got = many("change_quantiles", x, [{"ql": ql, "qh": qh, "isabs": isabs, "f_agg": f} for f in AGGS])
    want = [float(f(d)) if d.size and lo != hi else 0.0 for f in AGGS.values()]
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize(
    "x, qs, want",
    [
        ([1.0, 1.0, 1.0, 1.0], [0.5, 0.0, 1.5, 1.0, NAN], [0.5, 0.25, 0.25, 1.0, 0.25]),
        ([0.0, -3.0, 0.0, 1.0], [0.5, 0.75, 0.76, 1.0], [0.5, 0.5, 1.0, 1.0]),  # c = 0, .75, .75, 1
        ([0.0, 0.0, 0.0], [0.5], [NAN]),
        ([1.0, NAN, 2.0], [0.0, 1.0], [1 / 3, 1 / 3]),
        ([1.0, INF, 1.0], [-1.0, 0.5], [1 / 3, 1 / 3]),  # c = 0, NaN, NaN
    ],
)
def test_index_mass_quantile_worked_examples(x, qs, want):
    assert all(same(g, w) for g, w in zip(many("index_mass_quantile", x, [{"q": q} for q in qs]), want))


def test_index_mass_quantile_and_spread_agree_with_numpy():
    x = np.random.default_rng(6).gamma(2.0, size=1001) - 1.0
    c = np.cumsum(np.abs(x)) / np.abs(x).sum()
    qs = [0.0, 0.013, 0.1, 0.333, 0.5, 0.9, 0.999]
    assert many("index_mass_quantile", x, [{"q": q} for q in qs]) == [(np.argmax(c >= q) + 1) / x.size for q in qs]
    span = x.max() - x.min()
    for r in (0.0, 0.01, 0.05, 0.2, 1.0):
        assert one("symmetry_looking", x, {"r": r}) == float(abs(x.mean() - np.median(x)) < r * span)
        assert one("large_standard_deviation", x, {"r": r}) == float(r * span < x.std())
