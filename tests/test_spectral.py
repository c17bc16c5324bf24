"""Spectral calculators against numpy.fft, scipy.signal.welch and hand-derived values."""
import itertools
import math
import warnings

import numpy as np
import pytest
import scipy.signal

from conftest import I64_MAX, INF, NAN, NEG_NAN, close
from conftest import calc as run

RNG = np.random.default_rng(20240611)
LENGTHS = [1, 2, 3, 4, 7, 16, 97, 256, 257, 300, 384, 1000, 1024, 4099]


@pytest.mark.parametrize("n", LENGTHS)
def test_fft_coefficient_matches_numpy_rfft(n):
    x = RNG.normal(2.0, 1.0, n)
    f = np.fft.rfft(x)
    bins = sorted({0, len(f) // 2, len(f) - 1, min(1, len(f) - 1)})
    sets = [{"coeff": b, "attr": a} for b in bins for a in ("real", "imag", "abs")]
    want = [{"real": f[b].real, "imag": f[b].imag, "abs": abs(f[b])}[a] for b in bins for a in ("real", "imag", "abs")]
    # Transform rounding: a few ulps of the largest bin per log2(n) stage.
    np.testing.assert_allclose(run("fft_coefficient", x, *sets), want, rtol=0, atol=1e-13 * np.abs(f).max())
    angles = run("fft_coefficient", x, *({"coeff": b, "attr": "angle"} for b in bins))
    np.testing.assert_allclose(angles, np.angle(f[bins], deg=True), rtol=0, atol=1e-8)
    assert math.isnan(run("fft_coefficient", x, {"coeff": len(f), "attr": "real"})[0])


def spectral_moments(x):
    a = np.abs(np.fft.rfft(x))
    i = np.arange(len(a), dtype=np.float64)
    m1, m2, m3, m4 = (np.dot(i**k, a) / a.sum() for k in (1, 2, 3, 4))
    v = m2 - m1 * m1
    return {"centroid": m1, "variance": v,
            "skew": (m3 - 3 * m1 * v - m1**3) / v**1.5 if v >= 0.5 else NAN,
            "kurtosis": (m4 - 4 * m1 * m3 + 6 * m1**2 * m2 - 3 * m1**4) / v**2 if v >= 0.5 else NAN}


AGGTYPES = ["centroid", "variance", "skew", "kurtosis"]


@pytest.mark.parametrize("x", [RNG.normal(size=1000), np.sin(np.arange(300) * 0.3) + 5, np.arange(9.0)])
def test_fft_aggregated_matches_numpy_moments(x):
    want = spectral_moments(x)
    got = run("fft_aggregated", x, *({"aggtype": a} for a in AGGTYPES))
    np.testing.assert_allclose(got, [want[a] for a in AGGTYPES], rtol=1e-10)


SPECTRUM_PLAN = [
    ("fft_coefficient", [{"coeff": b, "attr": a} for b in (0, 1, 2, 7, 128) for a in ("real", "imag", "abs", "angle")]),
    ("fft_aggregated", [{"aggtype": a} for a in AGGTYPES]),
]


@pytest.mark.parametrize("n", [1, 2, 5, 8, 15, 64, 100, 257])
def test_a_nan_or_infinity_anywhere_makes_every_spectrum_value_nan(n):
    # By X_k = sum_j x_j w^(jk) one NaN (or an infinity times a zero weight)
    # reaches every bin, whichever bins the transform's kernels would skip.
    x = RNG.normal(size=n)
    for bad, p in itertools.product((NAN, NEG_NAN, INF, -INF), {0, 1 % n, n // 2, n - 1}):
        y = x.copy()
        y[p] = bad
        assert np.isnan([v for name, sets in SPECTRUM_PLAN for v in run(name, y, *sets)]).all()
    assert not np.isnan([v for name, sets in SPECTRUM_PLAN for v in run(name, x, *sets)]).all()
    # A finite series whose sum overflows keeps its spectrum: bin 0 is that sum.
    f = run("fft_coefficient", [1e308, 1e308, 0.0, 0.0], *({"coeff": b, "attr": a} for b in range(3) for a in ("real", "imag")))
    np.testing.assert_array_equal(f, [INF, 0.0, 1e308, -1e308, 0.0, 0.0])  # numpy.fft.rfft's bins


def scipy_welch(x):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return scipy.signal.welch(x, nperseg=min(len(x), 256))[1]


@pytest.mark.parametrize("n", LENGTHS + [5000])  # 300: the partial segment is dropped
def test_spkt_welch_density_matches_scipy_welch(n):
    x = RNG.normal(-1.0, 3.0, n)
    want = scipy_welch(x)
    got = run("spkt_welch_density", x, *({"coeff": k} for k in range(len(want) + 1)))
    np.testing.assert_allclose(got[:-1], want, rtol=1e-10, atol=1e-13 * want.max())
    assert math.isnan(got[-1])


def histogram_entropy(v, bins):
    h, _ = np.histogram(v, bins=bins)
    p = h[h > 0] / len(v)
    return -np.sum(p * np.log(p))


@pytest.mark.parametrize("n", [3, 50, 1000, 5000])
def test_fourier_entropy_matches_the_histogram_of_scipy_welch(n):
    x = RNG.normal(size=n)
    p = scipy_welch(x)
    bins = [1, 2, 3, 5, 10, 100]
    np.testing.assert_allclose(run("fourier_entropy", x, *({"bins": b} for b in bins)),
                               [histogram_entropy(p / p.max(), b) for b in bins], rtol=1e-12, atol=1e-15)


def sets(key, *values):
    return [{key: v} for v in values]


# Hand-derived values; bins, coefficients and attributes the numpy comparisons above do not reach.
@pytest.mark.parametrize("name, x, params, want", [
    # [1, 2, 3, 4]: bin 1 is -2 + 2i; a negative bin reads bin 0; the attribute is exact text.
    ("fft_coefficient", [1, 2, 3, 4], [{"coeff": 1, "attr": "angle"}, {"coeff": -4, "attr": "real"}], [135.0, 10.0]),
    ("fft_coefficient", [1, 2, 3, 4], [{"coeff": I64_MAX, "attr": "abs"}, {"coeff": 1}], [NAN, NAN]),
    ("fft_coefficient", [1, 2, 3, 4], [{"coeff": 1, "attr": True}, {"coeff": 1, "attr": "Real"}], [NAN, NAN]),
    ("fft_aggregated", [2.0, 2.0, 2.0, 2.0], sets("aggtype", *AGGTYPES), [0.0, 0.0, NAN, NAN]),  # variance 0 < 0.5
    # Constant: exactly zero bins past 0, though 0.6 / 6 != 0.1.
    ("fft_aggregated", np.full(6, 0.1), sets("aggtype", *AGGTYPES), [0.0, 0.0, NAN, NAN]),
    ("fft_aggregated", [0.0, 0.0, 0.0], sets("aggtype", *AGGTYPES), [NAN] * 4),  # nothing to weigh
    ("fft_aggregated", [], sets("aggtype", *AGGTYPES), [NAN] * 4),
    ("fft_aggregated", [1.0, 5.0, 2.0], sets("aggtype", "mean"), [NAN]),
    ("spkt_welch_density", [5.0], sets("coeff", 0), [0.0]),
    ("spkt_welch_density", [1.0, 3.0], sets("coeff", 0, 1), [1.0, 1.0]),  # even segment of 2: nothing doubled
    ("spkt_welch_density", [1.0, 2.0, 4.0], sets("coeff", 0, 1), [8 / 9, 31 / 9]),  # odd segment of 3: bin 1 doubled
    ("spkt_welch_density", np.full(300, 0.1), sets("coeff", 0, 1, 100), [0.0] * 3),  # constant segments: exact zeros
    ("spkt_welch_density", [], sets("coeff", 0), [NAN]),
    # Every bin of the density alone, no bin built.
    ("fourier_entropy", RNG.normal(size=1000), sets("bins", I64_MAX, 0, -3), [math.log(129), -0.0, -0.0]),
    ("fourier_entropy", np.full(300, 0.1), sets("bins", 3), [NAN]),  # constant: a density of exact zeros
    ("fourier_entropy", [1.0, NAN, 2.0, 3.0], sets("bins", 3), [NAN]),
    ("fourier_entropy", [], sets("bins", 3), [NAN]),
])
def test_hand_derived_cases(name, x, params, want):
    got = run(name, x, *params)
    assert len(got) == len(want) and all(close(g, w, rel=1e-14) for g, w in zip(got, want)), got
