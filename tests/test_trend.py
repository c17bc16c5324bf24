"""Trend and regression calculators against statsmodels, scipy and numpy."""
import math
import warnings

import numpy as np
import pytest
import scipy.signal
import scipy.stats
from numpy.lib.stride_tricks import sliding_window_view
from statsmodels.regression.linear_model import OLS
from statsmodels.tsa.stattools import adfuller

from conftest import I64_MAX, NAN, calc

RNG = np.random.default_rng(20240611)


def ar2(n, level=0.0):
    e, x = RNG.normal(size=n), np.zeros(n)
    for i in range(2, n):
        x[i] = 0.6 * x[i - 1] - 0.3 * x[i - 2] + e[i]
    return x + level


SERIES = {"walk": np.cumsum(RNG.normal(size=1000)), "ar2": ar2(1000)}
# The lag search screens candidates before fitting them exactly: drifting, near-unit-root and
# offset series (the constant and the level nearly collinear) as well.
ADF_SERIES = {**SERIES, "drift": np.cumsum(RNG.normal(size=1000) + 0.05), "offset": ar2(1000, 1e4),
              "near unit root": scipy.signal.lfilter([1.0], [1.0, -0.95], RNG.normal(size=1000))}
LINE = ("slope", "intercept", "rvalue", "pvalue", "stderr")


def run(name, x, *sets):
    return np.array(calc(name, x, *sets))


def nan_equal(got, want):
    return np.array_equal(got, np.asarray(want, dtype=float), equal_nan=True)


# ------------------------------------------------------------------ unit root

ADF = [{"attr": a} for a in ("teststat", "pvalue", "usedlag")]


def adf(x, mode):
    return run("augmented_dickey_fuller", x, *({**s, "autolag": mode} for s in ADF))


@pytest.mark.parametrize("kind", ADF_SERIES)
@pytest.mark.parametrize("n", [10, 30, 57, 100, 300, 1000])
@pytest.mark.parametrize("mode", ["AIC", "BIC", "t-stat", None])
def test_adf_matches_statsmodels_in_every_mode(kind, n, mode):
    x = ADF_SERIES[kind][:n]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stat, p, lag = adfuller(x, autolag=mode)[:3]
    got = adf(x, mode)
    assert got[2] == lag
    assert got[:2] == pytest.approx([stat, p], rel=1e-9)


def test_adf_modes_are_case_insensitive_and_unknown_texts_give_nan():
    x = SERIES["ar2"][:100]
    aic, bic, tstat, fixed = (adf(x, m) for m in ("aic", "BIC", "t-stat", "none"))
    assert fixed[2] == 12.0  # maxlag = min(100 // 2 - 2, ceil(12 (100 / 100)^0.25))
    for spelling, want in [("Aic", aic), ("aIC", aic), ("bic", bic), ("T-STAT", tstat), ("None", fixed), ("", fixed)]:
        assert nan_equal(adf(x, spelling), want)
    assert nan_equal(run("augmented_dickey_fuller", x, *ADF), aic)  # a missing key reads "AIC"
    for bad in (" aic", "aic ", "tstat", "foo"):
        assert np.isnan(adf(x, bad)).all()
    assert np.isnan(run("augmented_dickey_fuller", x, {"attr": "lag"}, {"attr": 1})).all()


@pytest.mark.parametrize("x", [[1.0, 2.0, 0.5], [2.0] * 20, [*range(9), NAN, 3.0], [*range(9), math.inf, 3.0], [-math.inf, *range(9)]])
def test_adf_is_nan_for_short_constant_or_non_finite_series(x):
    assert np.isnan(run("augmented_dickey_fuller", x, *ADF)).all()


@pytest.mark.parametrize("x", [[0.0, 2.0, 1.0, 4.0], [0.0, 2.0, 1.0, 4.0, 3.5]])
def test_adf_of_four_or_five_samples_uses_no_lag(x):
    # maxlag = min(n // 2 - 2, ...) = 0: the final fit is [level, 1] on n - 1 rows.
    dx = np.diff(x)
    fit = OLS(dx, np.column_stack([x[:-1], np.ones(len(dx))])).fit()
    for mode in ("AIC", "t-stat", None):
        got = adf(x, mode)
        assert got[0] == pytest.approx(fit.tvalues[0], rel=1e-12) and got[2] == 0.0


# ---------------------------------------------------------------- lines

def test_linear_trend_matches_scipy_and_fails_as_nan():
    x = SERIES["walk"][:200]
    r = scipy.stats.linregress(np.arange(200.0), x)
    want = [r.slope, r.intercept, r.rvalue, r.pvalue, r.stderr]
    assert run("linear_trend", x, *({"attr": a} for a in LINE)) == pytest.approx(want, rel=1e-10)
    assert nan_equal(run("linear_trend", [3.0, 3.0, 3.0], *({"attr": a} for a in LINE)), [0, 3, NAN, NAN, NAN])
    assert np.isnan(run("linear_trend", [1.0], {"attr": "slope"}))


AGG = {"mean": np.mean, "max": np.max, "median": np.median, "var": np.var}


@pytest.mark.parametrize("f_agg", AGG)
@pytest.mark.parametrize("chunk_len", [2, 7, 333])
def test_agg_linear_trend_matches_a_chunked_linregress(f_agg, chunk_len):
    x = SERIES["ar2"]
    ddof = 1 if f_agg == "var" else 0
    chunks = [x[i: i + chunk_len] for i in range(0, len(x), chunk_len)]
    agg = [AGG[f_agg](c, ddof=ddof) if ddof and len(c) > 1 else AGG[f_agg](c) for c in chunks]
    if ddof and len(chunks[-1]) == 1:
        agg[-1] = NAN  # one sample with ddof 1: no variance
    r = scipy.stats.linregress(np.arange(float(len(agg))), agg)
    sets = [{"chunk_len": chunk_len, "f_agg": f_agg, "attr": a, "__ddof": True if ddof else 0} for a in LINE]
    got = run("agg_linear_trend", x, *sets)
    if np.isnan(agg).any():
        assert np.isnan(got).all()
    else:
        want = [r.slope, r.intercept, r.rvalue, r.pvalue, r.stderr]
        assert got == pytest.approx(want, rel=1e-9, abs=1e-15)


def test_agg_linear_trend_range_and_names():
    x = [1.0, 4.0, 2.0, 8.0, 5.0]
    # Chunks [1, 4], [2, 8], [5]: maxima 4, 8, 5 against 0, 1, 2, slope 0.5.
    assert run("agg_linear_trend", x, {"chunk_len": 2, "f_agg": "max", "attr": "slope"}) == [0.5]
    for bad in ({"chunk_len": 0}, {"chunk_len": -1}, {"chunk_len": 5}, {}, {"chunk_len": I64_MAX},
                {"chunk_len": 2, "f_agg": "Max"}, {"chunk_len": 2, "f_agg": 5}, {"chunk_len": 2, "attr": "Slope"}):
        assert np.isnan(run("agg_linear_trend", x, {"f_agg": "max", "attr": "slope", **bad}))


# ---------------------------------------------------------- autoregression

def test_ar_coefficient_short_series_order_zero_and_huge_orders():
    x = [1.0, 2.0, 4.0, 3.0]
    assert nan_equal(run("ar_coefficient", x, *({"k": 2, "coeff": c} for c in range(4))), [NAN, NAN, 0.0, NAN])
    assert nan_equal(run("ar_coefficient", x, {"k": 0, "coeff": 0}, {"k": 0, "coeff": -3}, {"k": 0, "coeff": 1}), [2.5, 2.5, NAN])
    assert run("ar_coefficient", [], {"k": 0, "coeff": 0}) == [0.0]
    assert np.isnan(run("ar_coefficient", [*SERIES["ar2"][:50], NAN, 1.0], {"k": 1, "coeff": 0}, {"k": 1, "coeff": 1})).all()
    big = 10**15
    assert nan_equal(run("ar_coefficient", SERIES["ar2"][:100], {"k": big, "coeff": 5}, {"k": big, "coeff": big},
                         {"k": I64_MAX, "coeff": I64_MAX}), [NAN, 0.0, 0.0])


def test_ar_coefficient_of_white_noise_is_as_exact_as_numpy_lstsq():
    # Designs of condition near 1: every order's fit is within a few roundings
    # of the largest coefficient. Rotations stopped while a column cosine is
    # still ~1e-6 leave errors of 1e-12 and more at some orders (8, 9, 15).
    x = np.random.default_rng(5).normal(size=500)
    for k in range(1, 21):
        design = np.column_stack([np.ones(500 - k), sliding_window_view(x[:-1], k)[:, ::-1]])
        want = np.linalg.lstsq(design, x[k:], rcond=None)[0]
        got = run("ar_coefficient", x, *({"k": k, "coeff": c} for c in range(k + 1)))
        assert np.abs(got - want).max() <= 5e-14 * np.abs(want).max(), k


@pytest.mark.parametrize("scale", [1e75, 1e76, 1e-70])
def test_ar_coefficient_of_a_scaled_series_matches_numpy_lstsq(scale):
    # Squares of the lag columns overflow (or the pair products do); the
    # rotations still converge and the cut-off 1e-15 * smax is numpy's.
    x = SERIES["ar2"][:200] * scale
    design = np.column_stack([np.ones(198), sliding_window_view(x[:-1], 2)[:, ::-1]])
    want = np.linalg.lstsq(design, x[2:], rcond=1e-15)[0]
    assert run("ar_coefficient", x, *({"k": 2, "coeff": c} for c in range(3))) == pytest.approx(want, rel=1e-9)


# ---------------------------------------------------------- drift polynomial

def drift_fit(x, m, r):
    s, d = x[:-1], np.diff(x)
    edges = np.quantile(s, np.arange(r + 1) / r)
    b = np.clip(np.searchsorted(edges, s, side="left") - 1, 0, r - 1)
    occupied = np.unique(b)
    lx = [s[b == k].mean() for k in occupied]
    ly = [d[b == k].mean() for k in occupied]
    return np.polyfit(lx, ly, m)


# Short decimals, exact in binary: empty bins at r = 30, and more coefficients than points at m = 6.
WALK = np.array([0, 1.25, 0.5, -0.75, -1.5, -0.25, 1.0, 1.75, 0.625, -0.125, -1.125, 0.375, 2.0])


@pytest.mark.parametrize("x,m,r", [(SERIES["ar2"], 3, 30), (SERIES["ar2"], 2, 10), (SERIES["ar2"], 5, 50),
                                   (WALK, 2, 30), (WALK, 6, 4)])
def test_friedrich_and_langevin_match_polyfit_and_numpy_roots(x, m, r):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # polyfit's rank warning: the minimum-norm fit is wanted
        coef = drift_fit(x, m, r)
    got = run("friedrich_coefficients", x, *({"m": m, "r": r, "coeff": c} for c in range(m + 2)))
    assert got[: m + 1] == pytest.approx(coef, rel=1e-7, abs=1e-12) and np.isnan(got[m + 1])
    want = max(np.roots(coef).real)
    assert run("max_langevin_fixed_point", x, {"m": m, "r": r})[0] == pytest.approx(want, rel=1e-7)


@pytest.mark.parametrize("x,m,r,fit_fails", [
    ([], 3, 30, True),                            # no samples
    (SERIES["ar2"], 3, 0, True),                  # no bins
    (SERIES["ar2"], I64_MAX, 30, True),           # a degree beyond the fitted range, never allocated
    (SERIES["ar2"] * 1e109 + 1e110, 3, 30, True),  # cubes of the levels overflow
    (SERIES["ar2"] * 0.1 + 1e5, 6, 30, False),    # the monic form of a tiny leading coefficient overflows
    (WALK, 0, 2, True),                           # degree 0
    ([4.0], 3, 2, True),                          # no step
    ([2.0] * 4, 2, 2, True),                      # equal edges
    ([0.0, 0.0, 0.0, 1.0, 2.0], 1, 2, True),      # edges 0, 0, 1 repeat
    ([0.0, -NAN, 1.0, 2.0], 1, 2, True),          # a NaN lands on an outer edge
    ([0.0, 1.0, np.inf, 2.0], 1, 2, True),        # and so does an infinity
    ([-1e308, 1e308, 0.0], 1, 2, True),           # the middle edge overflows
    ([0.0, 1.0, 0.0, 1.0, 0.0], 1, I64_MAX, True),  # tied values share an edge at any huge r
])
def test_failed_drift_fits_and_overflowing_roots_give_nan(x, m, r, fit_fails):
    coef = run("friedrich_coefficients", x, *({"m": m, "r": r, "coeff": c} for c in range(4)))
    assert np.isnan(coef).all() == fit_fails
    assert np.isnan(run("max_langevin_fixed_point", x, {"m": m, "r": r}))


def test_drift_fit_with_a_huge_bin_count_bins_each_value_apart():
    # r >= 2 (n - 1) puts every distinct level in its own bin: the fit is polyfit on the raw points.
    x = np.array([0.0, 1.0, 3.0, 2.0, 7.0])
    want = np.polyfit(x[:-1], np.diff(x), 2)
    for r in (8, 2**20, 2**40):
        got = run("friedrich_coefficients", x, *({"m": 2, "r": r, "coeff": c} for c in range(3)))
        assert got == pytest.approx(want, rel=1e-12)
