"""Peaks, strikes, crossings, quantiles and spread against range."""
import itertools
import math

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from conftest import INF, NAN, NEG_NAN, calc, one, same


def rows(name, x, key, pairs):
    return [(name, x, {key: v}, w) for v, w in pairs]


PEAKS = [1.0, 3.0, 2.0, 4.0, 1.0]
CQ = {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}


@pytest.mark.parametrize(
    "name, x, params, want",
    [
        *[(n, [], {"n": 1, "m": 0.0, "r": 0.0}, 0.0) for n in ("number_peaks", "number_crossing_m", "symmetry_looking",
          "large_standard_deviation", "longest_strike_above_mean", "longest_strike_below_mean")],
        *[(n, [], {"q": 0.5, **CQ}, w) for n, w in (("quantile", NAN), ("index_mass_quantile", NAN))],
        # Peaks: n read as a truncated count (the supports themselves: the window oracle below).
        *rows("number_peaks", PEAKS, "n", [(1.9, 2.0)]),
        *rows("number_peaks", PEAKS, "n", [(v, 0.0) for v in (-1, True, "1", None)]),
        # Every support here exceeds half the series, whatever 2 * n would do in 64-bit arithmetic.
        *rows("number_peaks", np.sin(np.arange(999.0)), "n", [(n, 0.0) for n in (2**63 - 1, 2**62 + 1, INF)]),
        # Crossings: a NaN sample and a NaN level are below (a sample equal to m too: the C++ lane counts).
        ("number_crossing_m", [0.0, 2.0, NAN, 2.0], {"m": 1}, 3.0),
        ("number_crossing_m", [0.0, 2.0, 0.0], {}, 0.0),
        # A strike may run to the end; a NaN makes the mean NaN; a constant has none.
        ("longest_strike_below_mean", [10.0, 1.0, 2.0, 3.0], {}, 3.0),
        ("longest_strike_above_mean", [1.0, 5.0, NAN, 5.0], {}, 0.0),
        ("longest_strike_above_mean", [2.5] * 4, {}, 0.0),
        # Quantiles clamp the level; a missing one takes the smallest sample.
        *rows("quantile", [3.0, 1.0, 2.0], "q", [(2.0, 3.0), (-1, 1.0), (True, 3.0), (None, 1.0)]),
        # change_quantiles corridors: both ends inclusive, the aggregation
        # read before the tests (NaN only when there are changes).
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {"qh": 1.0, "f_agg": "max"}, 1.0),  # missing ql acts as 0
        ("change_quantiles", [0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "f_agg": "max"}, 0.0),  # missing qh: hi == lo
        ("change_quantiles", [0.0, 1.0, NAN, 3.0], CQ, 0.0),                            # NaN edges
        ("change_quantiles", [0.0, NEG_NAN, 1.0, 3.0], {**CQ, "ql": 0.5}, 0.0),        # NaN edges too
        *[("change_quantiles", [0.0, 2.0, 1.0], {**CQ, "isabs": v}, w)  # a Float is no boolean
          for v, w in ((True, 1.5), (1, 1.5), (0, 0.5), (1.0, 0.5), ("yes", 0.5))],
        # Spread against range, strict; std of [0, 1] is 0.5.
        *rows("large_standard_deviation", [0.0, 1.0], "r", [(0.4, 1.0), (0.5, 0.0), (None, 0.0)]),
        ("large_standard_deviation", [0.0, NAN, 5.0], {"r": 0.0}, 0.0),
        ("symmetry_looking", [0.0, NAN, 5.0], {"r": 10.0}, 0.0),
        # index_mass_quantile: the first c_i >= q, else the first index; c of
        # [0, -3, 0, 1] is 0, .75, .75, 1 and of [1, inf, 1] 0, NaN, NaN.
        *rows("index_mass_quantile", [1.0] * 4, "q", [(0.5, 0.5), (0.0, 0.25), (1.5, 0.25), (1.0, 1.0), (NAN, 0.25)]),
        *rows("index_mass_quantile", [0.0, -3.0, 0.0, 1.0], "q", [(0.5, 0.5), (0.75, 0.5), (0.76, 1.0)]),
        *rows("index_mass_quantile", [1.0, INF, 1.0], "q", [(0.5, 1 / 3), (-1.0, 1 / 3)]),
        *rows("index_mass_quantile", [1.0, NAN, 2.0], "q", [(0.0, 1 / 3)]),
        ("index_mass_quantile", [0.0, -0.0], {"q": 0.5}, NAN),
    ],
)
def test_worked_examples(name, x, params, want):
    assert same(one(name, x, params), want)


def peaks_oracle(x, s):
    # Every window of 2s + 1 samples whose centre beats all the others.
    if len(x) <= 2 * s:
        return 0.0
    w = sliding_window_view(x, 2 * s + 1)
    return float(np.all(w[:, [s]] > np.delete(w, s, axis=1), axis=1).sum())


@pytest.mark.parametrize("seed", range(3))
def test_number_peaks_agrees_with_windows_for_every_support(seed):
    # Plateaus, long monotone runs, NaNs and infinities, extremes at the ends.
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.choice([-1.0, 0.0, 1.0, 3.0, -3.0], size=300))
    x[rng.integers(0, 300, size=4)] = [NAN, NEG_NAN, INF, -INF]
    x[[0, -1]] = 1e9
    supports = [1, 2, 3, 15, 16, 17, 18, 30, 60, 149, 150]
    assert calc("number_peaks", x, *({"n": s} for s in supports)) == [peaks_oracle(x, s) for s in supports]


def test_strikes_agree_with_numpy_runs():
    x = np.random.default_rng(1).normal(size=500).cumsum()
    runs = lambda flags: max((len(list(g)) for k, g in itertools.groupby(flags) if k), default=0)  # noqa: E731
    assert calc("longest_strike_above_mean", x, {}) == [runs(x > x.mean())]
    assert calc("longest_strike_below_mean", x, {}) == [runs(x < x.mean())]


AGGS = {"mean": np.mean, "median": np.median, "var": np.var, "max": np.max, "sum": np.sum, "argmax": np.argmax}
@pytest.mark.parametrize("ql, qh", [(0.0, 1.0), (0.1, 0.9), (0.3, 0.5), (0.8, 1.0)])
@pytest.mark.parametrize("isabs", [False, True])
def test_change_quantiles_agrees_with_numpy(ql, qh, isabs):
    # Quarter steps: samples sit exactly on the corridor edges.
    x = np.random.default_rng(4).integers(-8, 9, size=300) / 4.0
    lo, hi = np.quantile(x, [ql, qh])
    inside = (x >= lo) & (x <= hi)
    d = np.diff(x)[inside[1:] & inside[:-1]]
    d = np.abs(d) if isabs else d
    got = calc("change_quantiles", x, *({"ql": ql, "qh": qh, "isabs": isabs, "f_agg": f} for f in AGGS))
    np.testing.assert_allclose(got, [float(f(d)) for f in AGGS.values()], rtol=1e-12, atol=1e-14)


def test_index_mass_quantile_and_spread_agree_with_numpy():
    x = np.random.default_rng(6).gamma(2.0, size=1001) - 1.0
    c = np.cumsum(np.abs(x)) / math.fsum(np.abs(x))
    qs = [0.0, 0.013, 0.5, 0.999, c[500], np.nextafter(c[500], 2)]
    assert calc("index_mass_quantile", x, *({"q": q} for q in qs)) == [(np.argmax(c >= q) + 1) / x.size for q in qs]
    span = x.max() - x.min()
    for r in (0.0, 0.01, 0.05, 0.2, 1.0):
        assert calc("symmetry_looking", x, {"r": r}) == [float(abs(x.mean() - np.median(x)) < r * span)]
        assert calc("large_standard_deviation", x, {"r": r}) == [float(r * span < x.std())]
