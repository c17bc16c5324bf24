"""Peaks, strikes, crossings, quantiles and spread against range."""
import itertools
import math

import numpy as np
import pytest
from scipy.signal import argrelmax

from selquor_rs import compute_feature, implemented_calculators

NAN = float("nan")
INF = float("inf")
I64_MAX = 2**63 - 1

SCALARS = ["longest_strike_above_mean", "longest_strike_below_mean"]
PARAMETERISED = {
    "number_peaks": {"n": 3},
    "number_crossing_m": {"m": 0.0},
    "quantile": {"q": 0.3},
    "change_quantiles": {"ql": 0.2, "qh": 0.8, "isabs": True, "f_agg": "mean"},
    "index_mass_quantile": {"q": 0.5},
    "symmetry_looking": {"r": 0.1},
    "large_standard_deviation": {"r": 0.2},
}


def one(name, x, params=None):
    out = compute_feature(name, np.asarray(x, dtype=np.float64), [{}] if params is None else [params])
    assert out is not None and len(out) == 1
    return out[0]


def same(got, want):
    return (math.isnan(got) and math.isnan(want)) or got == want


# ---- the probe and degenerate series --------------------------------------

def test_the_probe_lists_every_calculator_here():
    listed = set(implemented_calculators())
    assert set(SCALARS) | set(PARAMETERISED) <= listed


@pytest.mark.parametrize(
    "x",
    [
        np.sin(0.7 * np.arange(64)),
        np.array([]),
        np.full(9, -1.25),
        np.array([1.0, NAN, -INF, INF, 0.0, -0.0, NAN, 3.0, 2.0]),
        np.array([INF, -INF]),
    ],
    ids=["probe", "empty", "constant", "nan-and-inf", "infinities"],
)
@pytest.mark.parametrize("name", SCALARS + list(PARAMETERISED))
def test_every_calculator_answers_one_value_per_set(name, x):
    sets = [{}] if name in SCALARS else [{}, PARAMETERISED[name], {}]
    out = compute_feature(name, x, sets)
    assert out is not None and len(out) == len(sets)
    if name not in SCALARS:
        assert compute_feature(name, x, []) == []


@pytest.mark.parametrize(
    "name, want",
    [
        ("number_peaks", 0.0), ("number_crossing_m", 0.0), ("longest_strike_above_mean", 0.0),
        ("longest_strike_below_mean", 0.0), ("symmetry_looking", 0.0), ("large_standard_deviation", 0.0),
        ("change_quantiles", 0.0), ("quantile", NAN), ("index_mass_quantile", NAN),
    ],
)
def test_empty_series(name, want):
    assert same(one(name, [], PARAMETERISED.get(name, {})), want)


@pytest.mark.parametrize("c", [0.0, 3.5, -2.0])
def test_constant_series(c):
    x = np.full(6, c)
    assert one("number_peaks", x, {"n": 1}) == 0.0
    assert one("number_crossing_m", x, {"m": c}) == 0.0
    assert one("change_quantiles", x, {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}) == 0.0  # lo == hi
    assert one("quantile", x, {"q": 0.7}) == c
    assert one("longest_strike_above_mean", x) == 0.0
    assert one("longest_strike_below_mean", x) == 0.0
    assert one("symmetry_looking", x, {"r": 1.0}) == 0.0
    assert one("large_standard_deviation", x, {"r": 0.0}) == 0.0
    imq = one("index_mass_quantile", x, {"q": 0.5})
    assert math.isnan(imq) if c == 0.0 else imq == 0.5


# ---- number_peaks ------------------------------------------------------------

def peaks_oracle(x, s):
    n = len(x)
    if s <= 0 or n <= 2 * s:
        return 0
    return sum(1 for i in argrelmax(np.asarray(x), order=s)[0] if s <= i < n - s)


@pytest.mark.parametrize(
    "x, params, want",
    [
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": 1}, 2.0),
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": 2}, 0.0),    # only index 2 is examined
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": 3}, 0.0),    # 5 <= 6
        ([1.0, 3.0, 3.0, 1.0], {"n": 1}, 0.0),         # a plateau is no strict peak
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": 1.9}, 2.0),  # truncated to 1
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": -1}, 0.0),
        ([1.0, 3.0, 2.0, 4.0, 1.0], {}, 0.0),
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": True}, 0.0),
        ([1.0, 3.0, 2.0, 4.0, 1.0], {"n": "1"}, 0.0),
        ([5.0, 1.0, 5.0], {"n": 1}, 0.0),              # the ends are never examined
        ([1.0, 5.0, 1.0], {"n": 1}, 1.0),
        ([1.0, 3.0, NAN, 4.0, 1.0], {"n": 1}, 0.0),    # nothing beats a NaN neighbour
        ([1.0, NAN, 1.0], {"n": 1}, 0.0),              # a NaN is no peak
        ([-INF, 0.0, -INF, INF, 1.0], {"n": 1}, 2.0),
        ([-1.0, 0.0, -0.0, -1.0], {"n": 1}, 0.0),      # 0.0 is not above -0.0
        ([0.0, 1.0, 2.0, 9.0, 2.0, 1.0, 0.0], {"n": 3}, 1.0),
    ],
)
def test_number_peaks_worked_examples(x, params, want):
    assert one("number_peaks", x, params) == want


@pytest.mark.parametrize("n", [I64_MAX, I64_MAX - 1, 2**62, 2**62 + 1, 1e300, INF, 1e19, 9.3e18])
@pytest.mark.parametrize("length", [0, 1, 7, 1000])
def test_number_peaks_huge_support_counts_nothing(n, length):
    # Every such support exceeds half the series: exactly no peak, whatever
    # 2 * n would do in 64-bit arithmetic.
    x = np.sin(0.7 * np.arange(length))
    assert one("number_peaks", x, {"n": n}) == 0.0


@pytest.mark.parametrize("seed", range(4))
def test_number_peaks_agrees_with_scipy_relative_maxima(seed):
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 6, size=400).astype(np.float64)  # many ties
    x[rng.integers(0, 400, size=5)] = NAN
    sets = [{"n": s} for s in (1, 2, 3, 5, 8, 50, 199, 200)]
    got = compute_feature("number_peaks", x, sets)
    assert got == [float(peaks_oracle(x, p["n"])) for p in sets]


def test_number_peaks_on_a_long_smooth_series():
    # A sine of period 100 over 10^5 samples: supports below, at and beyond
    # the distance between neighbouring crests.
    x = np.sin(2 * np.pi * np.arange(100_000) / 100)
    sets = [{"n": s} for s in (1, 10, 49, 99, 100, 150, 1000)]
    got = compute_feature("number_peaks", x, sets)
    assert got == [float(peaks_oracle(x, p["n"])) for p in sets]
    assert got[0] == 1000.0


# ---- crossings and strikes ---------------------------------------------------

@pytest.mark.parametrize(
    "x, m, want",
    [
        ([0.0, 2.0, 0.0, 2.0], 1.0, 3.0),
        ([0.0, 1.0, 2.0], 1.0, 1.0),      # a sample equal to m is below
        ([0.0, 2.0, NAN, 2.0], 1.0, 3.0),  # a NaN sample is not above
        ([0.0, 2.0, 0.0], NAN, 0.0),
        ([5.0], 1.0, 0.0),
        ([-INF, INF, -INF], 0.0, 2.0),
    ],
)
def test_number_crossing_m_worked_examples(x, m, want):
    assert one("number_crossing_m", x, {"m": m}) == want


@pytest.mark.parametrize("m", [-0.5, 0.0, 0.3, 2.0])
def test_number_crossing_m_agrees_with_numpy(m):
    x = np.random.default_rng(1).normal(size=500)
    assert one("number_crossing_m", x, {"m": m}) == np.count_nonzero(np.diff((x > m).astype(int)))


def longest_run(flags):
    return max((len(list(g)) for k, g in itertools.groupby(flags) if k), default=0)


@pytest.mark.parametrize("seed", range(3))
def test_longest_strikes_agree_with_a_run_scan(seed):
    x = np.random.default_rng(seed).normal(size=300).cumsum()
    m = x.mean()
    assert one("longest_strike_above_mean", x) == longest_run(x > m)
    assert one("longest_strike_below_mean", x) == longest_run(x < m)


@pytest.mark.parametrize(
    "x, above, below",
    [
        ([1.0, 5.0, 5.0, 1.0, 5.0], 2.0, 1.0),
        ([1.0, 5.0, NAN, 1.0], 0.0, 0.0),        # the mean is NaN
        ([1.0, 2.0, 3.0, 10.0], 1.0, 3.0),       # strikes running to either end
        ([10.0, 1.0, 2.0, 3.0], 1.0, 3.0),
    ],
)
def test_longest_strikes_worked_examples(x, above, below):
    assert one("longest_strike_above_mean", x) == above
    assert one("longest_strike_below_mean", x) == below


# ---- quantile ----------------------------------------------------------------

@pytest.mark.parametrize(
    "params, want",
    [({"q": 0.5}, 2.0), ({"q": 0.25}, 1.5), ({"q": 2.0}, 3.0), ({"q": -1}, 1.0), ({}, 1.0), ({"q": True}, 3.0)],
)
def test_quantile_worked_examples(params, want):
    assert one("quantile", [3.0, 1.0, 2.0], params) == want


@pytest.mark.parametrize("q", [0.0, 0.1, 0.25, 0.5, 0.77, 0.99, 1.0])
def test_quantile_agrees_with_numpy(q):
    x = np.random.default_rng(2).normal(size=257)
    assert one("quantile", x, {"q": q}) == pytest.approx(np.quantile(x, q), rel=1e-14, abs=0)


@pytest.mark.parametrize("q", [0.0, 0.5, 1.0])
def test_quantile_with_a_nan_sample_is_nan(q):
    assert math.isnan(one("quantile", [1.0, NAN, 2.0], {"q": q}))


# ---- change_quantiles --------------------------------------------------------

AGGS = {
    "mean": np.mean, "median": np.median, "var": np.var, "std": np.std, "max": np.max, "min": np.min,
    "sum": np.sum, "nanmean": np.nanmean, "argmax": np.argmax,
}


def change_quantiles_oracle(x, ql, qh, isabs, f_agg):
    if not ql < qh or len(x) < 2:
        return 0.0
    lo, hi = np.quantile(x, [ql, qh])
    if lo == hi:
        return 0.0
    inside = (x >= lo) & (x <= hi)
    d = np.diff(x)[inside[1:] & inside[:-1]]
    if isabs:
        d = np.abs(d)
    return float(AGGS[f_agg](d)) if d.size else 0.0


@pytest.mark.parametrize("f_agg", list(AGGS))
@pytest.mark.parametrize("ql, qh", [(0.0, 1.0), (0.1, 0.9), (0.3, 0.5), (0.0, 0.2), (0.8, 1.0)])
@pytest.mark.parametrize("isabs", [False, True])
def test_change_quantiles_agrees_with_numpy(f_agg, ql, qh, isabs):
    # Quarter steps: samples sit exactly on the corridor edges.
    x = np.random.default_rng(4).integers(-8, 9, size=300).astype(np.float64) / 4.0
    got = one("change_quantiles", x, {"ql": ql, "qh": qh, "isabs": isabs, "f_agg": f_agg})
    assert got == pytest.approx(change_quantiles_oracle(x, ql, qh, isabs, f_agg), rel=1e-12, abs=1e-14)


@pytest.mark.parametrize(
    "x, params, want",
    [
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "qh": 1.0, "isabs": False, "f_agg": "mean"}, 1.0),
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.5, "qh": 0.5, "f_agg": "mean"}, 0.0),
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.7, "qh": 0.2, "f_agg": "mean"}, 0.0),
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "qh": 1.0}, NAN),                # no aggregation
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "qh": 1.0, "f_agg": "Mean"}, NAN),
        ([0.0, 1.0, 2.0, 3.0], {"qh": 1.0, "f_agg": "max"}, 1.0),           # missing ql acts as 0
        ([0.0, 1.0, 2.0, 3.0], {"ql": 0.0, "f_agg": "max"}, 0.0),           # missing qh: hi == lo
        ([0.0, 1.0, NAN, 3.0], {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}, 0.0),  # both edges NaN
        # Corridor [0, 2]: changes 2 and -1.
        ([0.0, 2.0, 1.0], {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}, 0.5),
        ([0.0, 2.0, 1.0], {"ql": 0.0, "qh": 1.0, "isabs": True, "f_agg": "mean"}, 1.5),
        ([0.0, 2.0, 1.0], {"ql": 0.0, "qh": 1.0, "isabs": 1, "f_agg": "mean"}, 1.5),
        ([0.0, 2.0, 1.0], {"ql": 0.0, "qh": 1.0, "isabs": 1.0, "f_agg": "mean"}, 0.5),  # a Float is not a boolean
        ([0.0, 2.0, 1.0], {"ql": 0.0, "qh": 1.0, "isabs": "yes", "f_agg": "mean"}, 0.5),
        # Corridor [0, 1]: the 5 breaks every pair, so no change is taken.
        ([0.0, 5.0, 1.0, 5.0, 0.0], {"ql": 0.0, "qh": 0.5, "f_agg": "mean"}, 0.0),
        ([4.0], {"ql": 0.0, "qh": 1.0, "f_agg": "mean"}, 0.0),
    ],
)
def test_change_quantiles_corridors(x, params, want):
    assert same(one("change_quantiles", x, params), want)


# ---- index_mass_quantile -----------------------------------------------------

@pytest.mark.parametrize(
    "x, qs, want",
    [
        ([1.0, 1.0, 1.0, 1.0], [0.5, 0.0, 1.5, 1.0, NAN], [0.5, 0.25, 0.25, 1.0, 0.25]),
        ([0.0, 0.0, 0.0], [0.5, 0.0], [NAN, NAN]),
        ([1.0, NAN, 2.0], [0.0, 0.5, 1.0], [1 / 3, 1 / 3, 1 / 3]),
        # The total is inf: c = [0, NaN, NaN]; only q <= 0 finds index 0.
        ([1.0, INF, 1.0], [-1.0, 0.0, 0.5], [1 / 3, 1 / 3, 1 / 3]),
        ([0.0, -3.0, 0.0, 1.0], [0.5, 0.75, 0.76, 1.0], [0.5, 0.5, 1.0, 1.0]),
    ],
)
def test_index_mass_quantile_worked_examples(x, qs, want):
    got = compute_feature("index_mass_quantile", np.array(x), [{"q": q} for q in qs])
    assert len(got) == len(want) and all(same(g, w) for g, w in zip(got, want))


def test_index_mass_quantile_agrees_with_numpy():
    x = np.random.default_rng(6).normal(size=1001)
    c = np.cumsum(np.abs(x)) / np.abs(x).sum()
    qs = [0.0, 0.013, 0.1, 0.333, 0.5, 0.9, 0.999]
    got = compute_feature("index_mass_quantile", x, [{"q": q} for q in qs])
    assert got == [(int(np.argmax(c >= q)) + 1) / x.size for q in qs]


def test_index_mass_quantile_missing_q_gives_the_first_index():
    assert one("index_mass_quantile", [1.0, 2.0, 3.0, 4.0], {}) == 0.25


# ---- spread against range ----------------------------------------------------

@pytest.mark.parametrize("r", [0.0, 0.01, 0.05, 0.2, 1.0])
@pytest.mark.parametrize("seed", range(3))
def test_symmetry_and_spread_agree_with_numpy(r, seed):
    x = np.random.default_rng(seed).gamma(2.0, size=99)
    rng_ = x.max() - x.min()
    assert one("symmetry_looking", x, {"r": r}) == float(abs(x.mean() - np.median(x)) < r * rng_)
    assert one("large_standard_deviation", x, {"r": r}) == float(r * rng_ < x.std())


@pytest.mark.parametrize(
    "params, want", [({"r": 0.4}, 1.0), ({"r": 0.5}, 0.0), ({"r": True}, 0.0), ({}, 0.0), ({"r": 0}, 1.0)]
)
def test_large_standard_deviation_is_strict(params, want):
    # std of [0, 1] is 0.5 and the range 1.
    assert one("large_standard_deviation", [0.0, 1.0], params) == want


@pytest.mark.parametrize("name", ["symmetry_looking", "large_standard_deviation"])
def test_spread_tests_fail_on_nan(name):
    assert one(name, [0.0, NAN, 5.0], {"r": 10.0}) == 0.0
