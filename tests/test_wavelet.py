"""Mexican-hat coefficients against the integrated wavelet (by quadrature, and
bit for bit on spikes); CWT peak counts against scipy.signal.find_peaks_cwt."""
import functools
import math

import numpy as np
import pytest
from scipy import integrate, signal

from selquor_rs import compute_feature

NAN, INF = float("nan"), float("inf")
STEP = 16 / 4095
C = 2 / (math.sqrt(3) * math.pi**0.25)


def psi(t):
    return C * (1 - t * t) * math.exp(-t * t / 2)


# The tabulated running integral: a left Riemann sum from -8 in steps of 16/4095.
X = np.arange(4096) * STEP + (-8.0)
GRID = np.cumsum([((1.0 - v * v) * 0.8673250705840776) * math.exp(v * v * -0.5) for v in X]) * STEP


def mexh_row(x, a, values):
    """Resample `values` at floor(i / (step a)), reverse, convolve, difference,
    scale by -sqrt(a), trim to the centre."""
    i = np.arange(math.ceil(a * 16.0 + 1.0))
    j = np.floor(i / (STEP * a)).astype(np.int64)
    f = values[j[j < 4096]][::-1]
    coef = np.diff(np.convolve(x, f)) * -math.sqrt(a)
    d = len(coef) - len(x)
    return coef[d // 2: d // 2 + len(x)] if d > 0 else coef


def coefficients(x, a, n=None):
    n = len(x) if n is None else n
    return np.array(compute_feature("cwt_coefficients", np.asarray(x, float),
                                    [{"widths": [a], "w": a, "coeff": c} for c in range(n)]))


@functools.cache
def integral():
    """The integral of psi from -8 - step/2 to each grid point + step/2, by quadrature."""
    return np.array([integrate.quad(psi, -8 - STEP / 2, v + STEP / 2, epsabs=1e-13, limit=200)[0] for v in X])


@pytest.mark.parametrize("a", [0.5, 1, 2, 3.7, 10, 20, 40])
def test_rows_follow_the_integral_of_the_wavelet(rng, a):
    # The Riemann sum is within 8e-7 of the quadrature: rows move by ~6e-6 at most.
    x = rng.standard_normal(150)
    got = coefficients(x, a, 151)
    np.testing.assert_allclose(got[:150], mexh_row(x, a, integral()), rtol=0, atol=2e-5)
    assert math.isnan(got[150])  # "coeff" at the series' length is past the row


@pytest.mark.parametrize("a", [0.05, 0.07, 0.5, 1, 2, 7.3, 64, 300])
def test_rows_of_two_spikes_are_exact_grid_differences(a):
    # Two nonzero samples: every convolution output is (0 + p) + q, the same bits
    # in numpy; 300 has a filter longer than the series, 0.05 a one-entry one.
    x = np.zeros(64)
    x[5], x[40] = 1.5, -2.25
    want = mexh_row(x, a, GRID)
    assert len(want) == (63 if a == 0.05 else 64)
    got = coefficients(x, a, 64)
    np.testing.assert_array_equal(got[:len(want)], want)
    assert np.isnan(got[len(want):]).all()


# (x, params, want): the table of test_decisive_cases below.
COEFFICIENT_CASES = [
    ([0.0] * 9, {"widths": [3], "w": 3, "coeff": 4}, 0.0),
    ([1.0, 2.0], {"widths": [2, 2], "w": 2, "coeff": 0}, mexh_row(np.array([1.0, 2.0]), 2, GRID)[0]),
    ([1.0, 2.0], {"widths": [1, 2], "w": 3, "coeff": 0}, NAN),
    ([1.0, 2.0], {"widths": [0, 1], "w": 0, "coeff": 0}, NAN),
    ([1.0, 2.0], {"widths": [-1, NAN, INF], "w": -1, "coeff": 0}, NAN),
    ([1.0, 2.0], {"widths": [-1, NAN, INF], "w": INF, "coeff": 0}, NAN),
    ([1.0, 2.0], {"widths": "2", "w": 2, "coeff": 0}, NAN),
    ([1.0, 2.0], {"w": 2, "coeff": 0}, NAN),
    ([], {"widths": [2], "w": 2, "coeff": 0}, NAN),
    # A NaN sample spreads over the filter's reach only: width 1 reads 8 samples each side.
    ([NAN] + [1.0] * 30, {"widths": [1], "w": 1, "coeff": 8}, NAN),
    ([NAN] + [1.0] * 30, {"widths": [1], "w": 1, "coeff": 15}, 0.0),
]


@pytest.mark.parametrize("w, coeff", [(2, 3), (1e12, 0), (1e12, 99), (1e300, 50)])
def test_huge_widths_answer_without_sizing_memory(rng, w, coeff):
    # Width 1e12 (~1.6e13 filter entries): the 100 samples all read one grid
    # value near the centre, so the row is 0 * -sqrt(w) = -0.0.
    x = rng.standard_normal(100)
    got = compute_feature("cwt_coefficients", x, [{"widths": [2, 1e12, 1e300], "w": w, "coeff": coeff}])[0]
    want = mexh_row(x, 2, GRID)[coeff] if w == 2 else -0.0
    np.testing.assert_allclose(got, want, rtol=1e-12)
    assert math.copysign(1, got) == math.copysign(1, want)


# ---- number_cwt_peaks ------------------------------------------------------------

PROBE = np.sin(0.7 * np.arange(64))
SPIKE = np.eye(1, 50, 25)[0]


# (x, n, want), no key for None. The probe's 7 peaks at n = 2 are scipy's count (at n = 1, 5 and 12: the C++
# PeakCountsMatchScipy).
PEAK_CASES = [
    ([1.0, 3.0, 1.0], 1, 1.0),  # row [A, 3A, A], noise window of one sample: ratio exactly 1
    *[(SPIKE, n, 0.0) for n in (1, 3, 10)],  # even kernels give the spike a flat top
    ([], 3, 0.0), ([1.0], 3, 0.0), ([1.0, 2.0], 3, 0.0),
    *[(PROBE, n, 0.0) for n in (None, True, 0, -3, "3", [3])],
    (PROBE, 2.9, 7.0),  # read as 2
    # Above the cap of 2**27 transform cells: NaN, decided before any work.
    (PROBE, 2**27 // 64 + 1, NAN), (PROBE, 1e300, NAN), ([1.0, 2.0, 1.0], 2**63 - 1, NAN),
]


@pytest.mark.parametrize("name, x, params, want", [("cwt_coefficients", *row) for row in COEFFICIENT_CASES]
                         + [("number_cwt_peaks", x, {} if n is None else {"n": n}, want) for x, n, want in PEAK_CASES])
def test_decisive_cases(name, x, params, want):
    got = compute_feature(name, np.asarray(x, float), [params])[0]
    assert (math.isnan(got) and math.isnan(want)) or got == want


@pytest.mark.parametrize("kind, length", [(k, n) for k in ("noise", "walk", "sine") for n in (30, 200, 1000)]
                         + [("walk", 6000)])  # a noise window of 300 samples
def test_peak_counts_match_find_peaks_cwt(rng, kind, length):
    # scipy may convolve by FFT and orders tied ridge points differently:
    # agreement is only expected without ties, which random samples lack.
    t = np.arange(length)
    x = {"noise": rng.standard_normal(length),
         "walk": np.cumsum(rng.standard_normal(length)),
         "sine": np.sin(t * 2 * np.pi / 37) + 0.3 * rng.standard_normal(length)}[kind]
    ns = [1, 2, 5, 10, 20]
    got = compute_feature("number_cwt_peaks", x, [{"n": n} for n in ns])
    assert got == [float(len(signal.find_peaks_cwt(x, np.arange(1, n + 1)))) for n in ns]
