"""Autocorrelation calculators against statsmodels, numpy and hand-derived values."""
import numpy as np
import pytest
from statsmodels.tsa.stattools import acf, pacf

from conftest import I64_MAX, INF, NAN
from conftest import calc as run

I64_MIN = -(2**63)
WALK = np.cumsum(np.random.default_rng(20240611).normal(size=300))
NOISE = np.random.default_rng(5).normal(size=257)


def direct_autocorrelation(x, lag):
    d = x - x.mean()
    return np.dot(d[lag:], d[: len(x) - lag]) / (x.var() * (len(x) - lag))


@pytest.mark.parametrize("x", [WALK, NOISE, np.arange(7.0) ** 2])
def test_autocorrelation_matches_the_direct_sum(x):
    lags = [0, 1, 2, 5, len(x) - 1]
    got = run("autocorrelation", x, *({"lag": k} for k in lags))
    np.testing.assert_allclose(got, [direct_autocorrelation(x, k) for k in lags], rtol=1e-10, atol=1e-13)


def aggregate(r, f):
    return {"mean": np.mean, "median": np.median, "var": np.var, "max": np.max, "nansum": np.nansum}[f](r)


@pytest.mark.parametrize("x", [WALK, NOISE])
def test_agg_autocorrelation_matches_statsmodels_acf(x):
    sets = [{"maxlag": m, "f_agg": f} for m in (1, 7, 40) for f in ("mean", "median", "var", "max", "nansum")]
    r = acf(x, adjusted=True, fft=False, nlags=40)[1:]
    want = [aggregate(r[: s["maxlag"]], s["f_agg"]) for s in sets]
    # FFT-based autocovariance: a few ulps of acov_0 per lag.
    np.testing.assert_allclose(run("agg_autocorrelation", x, *sets), want, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("x, sets, want", [
    (np.full(10, 3.0), [{"maxlag": 3, "f_agg": "mean"}], [0.0]),           # aggregates zeros
    ([0, 1e-5], [{"maxlag": 1, "f_agg": "mean"}], [0.0]),                  # v = 2.5e-11 < 1e-10, not acf's -1
    ([2.0], [{"maxlag": 3, "f_agg": "mean"}], [0.0]),
    (WALK, [{"maxlag": 0, "f_agg": "mean"}, {"maxlag": 0, "f_agg": "sum"}], [NAN, 0.0]),
    (WALK, [{"maxlag": 3, "f_agg": "Mean"}, {"maxlag": 3}], [NAN, NAN]),
    # Undefined autocorrelation: the aggregation of maxlag NaNs, none built.
    ([INF], [{"maxlag": 3, "f_agg": "mean"}, {"maxlag": I64_MAX, "f_agg": "nansum"}], [NAN, 0.0]),
    ([1.0, NAN, 2.0], [{"maxlag": I64_MAX, "f_agg": f} for f in ("max", "argmax", "any", "nanprod")],
     [NAN, 0.0, 1.0, 1.0]),
    ([], [{"maxlag": 2, "f_agg": "mean"}], [NAN]),
    # More lags asked than the series has: lags 1 .. 3 only, acov 1.25, 0.25, -1.25, -0.75.
    ([1.0, 2.0, 4.0, 3.0], [{"maxlag": I64_MAX, "f_agg": "sum"}], [0.2 - 1.0 - 0.6]),
])
def test_agg_autocorrelation_decisive_cases(x, sets, want):
    np.testing.assert_allclose(run("agg_autocorrelation", x, *sets), want, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("x", [WALK, NOISE, [1, 3, 2, 5, 4, 6, 5, 8]])
def test_partial_autocorrelation_matches_statsmodels_levinson_durbin(x):
    x = np.asarray(x, dtype=np.float64)
    top = min(12, len(x) // 2 - 1)
    want = pacf(x, nlags=top, method="ld")  # adjusted autocovariance, Levinson-Durbin
    got = run("partial_autocorrelation", x, *({"lag": k} for k in range(top + 3)))
    np.testing.assert_allclose(got[: top + 1], want, rtol=1e-8, atol=1e-12)
    # floor(n / 2) and beyond: NaN (beyond top only when n is short).
    assert np.isnan(got[len(x) // 2:]).all()


def single_lags(x, pairs):
    return [("autocorrelation", x, [lag], [want]) for lag, want in pairs]


# Exact, hand-derived values of both lag readers.
@pytest.mark.parametrize("name, x, lags, want", [
    # autocorrelation: at lag -1, S = -1 + 0 + 1; at -3, S = 2 over 6 v, v = 2/3; lag n, and |lag| of -2^63
    # (no signed magnitude), are NaN.
    *single_lags([1, 2, 3], [(1, 0.0), (-1, 0.0), (-3, 0.5), (-2, NAN), (3, NAN), (I64_MAX, NAN), (I64_MIN, NAN)]),
    *single_lags([5, 5, 5, 5], [(1, NAN)]),  # no spread
    *single_lags([0, 1e-4], [(0, NAN), (-1, NAN)]),  # v = 2.5e-9 is within 1e-8 of 0: shared lags and the lone test
    *single_lags([], [(0, NAN)]),
    *single_lags([1, NAN, 3, 4], [(1, NAN)]),
    # partial_autocorrelation: n < 4; no lag of 1 or more asked; lag 0 read from a recursion that reaches >= 1;
    # a constant, whatever the rounded mean.
    ("partial_autocorrelation", [1, 2, 3], [0, 1], [NAN, NAN]),
    ("partial_autocorrelation", WALK, [0], [NAN]),
    ("partial_autocorrelation", WALK, [0, I64_MAX], [1.0, NAN]),
    ("partial_autocorrelation", np.full(6, 0.1), [0, 1, 2], [1.0, NAN, NAN]),
    ("partial_autocorrelation", [1, NAN, 2, 3, 4], [0, 1], [1.0, NAN]),
])
def test_lag_decisive_cases(name, x, lags, want):
    np.testing.assert_equal(run(name, x, *({"lag": k} for k in lags)), want)


def c3_numpy(x, l):
    n = len(x)
    return np.mean(x[2 * l:] * x[l: n - l] * x[: n - 2 * l])


def tras_numpy(x, l):
    n = len(x)
    a, b, c = x[2 * l:], x[l: n - l], x[: n - 2 * l]
    return np.mean(a * a * b - b * c * c)


@pytest.mark.parametrize("name, oracle", [("c3", c3_numpy), ("time_reversal_asymmetry_statistic", tras_numpy)])
def test_c3_and_time_reversal_match_numpy_and_give_zero_past_half(name, oracle):
    lags = [0, 1, 3, 100, 149]
    np.testing.assert_allclose(run(name, WALK, *({"lag": k} for k in lags)), [oracle(WALK, k) for k in lags],
                               rtol=1e-11, atol=1e-12)
    # n <= 2 lag, the empty series and a lag of 2^63 - 1 give 0.0, not NaN.
    for x, lag in [(WALK, 150), (WALK, I64_MAX), ([], 0), ([1.0, 2.0, 3.0], 2)]:
        assert run(name, x, {"lag": lag}) == [0.0]
    assert np.isnan(run(name, [1.0, NAN, 3.0], {"lag": 1})[0])
