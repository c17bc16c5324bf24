"""The other calculators against numpy, Python's shortest repr and hand-derived values."""
import math

import numpy as np
import pytest

from conftest import I64_MAX, INF, NAN, calc, close
from selquor_rs import extract_batch

WALK = np.cumsum(np.random.default_rng(20240611).normal(size=200))
X10 = np.arange(1.0, 11.0)


def check(got, want, rel=1e-13):
    assert close(got, want, rel)


# ---------------------------------------------------------------- benford

def benford_digit(v):
    """First significant digit of Python's shortest round-trip repr."""
    v = 0.0 if math.isnan(v) else math.copysign(np.finfo(float).max, v) if math.isinf(v) else v
    return next((int(c) for c in repr(abs(v)) if c in "123456789"), 0)


EXPECTED = [math.log10(1 + 1 / d) for d in range(1, 10)]


def test_benford_leading_digit_of_every_kind_of_double():
    # d * 10^k with neighbours a few ulps away, random bit patterns of every sign,
    # exponent and NaN payload, and subnormals. A one-sample series has a
    # one-hot O, so its correlation names the digit (NaN for digit 0).
    bounds = np.array([float(f"{d}e{k}") for k in range(-324, 309) for d in range(1, 11)])
    bits = bounds[(bounds > 0) & (bounds < INF)].view(np.int64)[:, None] + np.arange(-3, 4)
    rng = np.random.default_rng(7)
    x = np.concatenate([bits.ravel().view(np.float64), rng.integers(-2**63, 2**63 - 1, 200_000).view(np.float64),
                        np.arange(0, 5000).view(np.float64), [-0.0, 1e23, -9.999999999999999e22, -INF]])
    flat, _, _ = extract_batch(x, np.arange(x.size + 1, dtype=np.int64), [("benford_correlation", [{}])])
    by_digit = [NAN] + [np.corrcoef(EXPECTED, np.eye(9)[d - 1])[0, 1] for d in range(1, 10)]
    np.testing.assert_allclose(flat, [by_digit[benford_digit(v)] for v in x.tolist()], rtol=1e-13)


@pytest.mark.parametrize("x", [np.random.default_rng(3).lognormal(0, 3, 500), [0.0123, 950.0, 0.0, -2.5, 3.0],
                               [NAN, INF, -INF, 2.0, 2.0], [], [0.0, -0.0]])
def test_benford_correlates_with_shortest_text_digits(x):
    digits = [benford_digit(v) for v in map(float, x)]
    observed = [digits.count(d) / max(len(x), 1) for d in range(1, 10)]
    want = NAN if not any(observed) else np.corrcoef(EXPECTED, observed)[0, 1]  # no digit: undefined
    check(calc("benford_correlation", x, {})[0], want, rel=1e-12)


# ---------------------------------------------------------- energy ratios

def chunk_share(x, segments, focus):
    x = np.asarray(x, dtype=float)
    return float(np.sum(np.array_split(x, segments)[focus] ** 2) / np.sum(x**2))  # larger chunks first


@pytest.mark.parametrize("x,segments,focus,want", [
    *[(X10, s, f, chunk_share(X10, s, f)) for s, f in [(3, 0), (3, 2), (7, 6), (10, 9), (1, 0)]],
    (X10, 3, -1, 30 / 385), (X10, 3, 3, NAN), (X10, 0, -1, NAN), (X10, -5, None, NAN),  # chunk 0: 1 + 4 + 9 + 16
    (X10, 1e300, I64_MAX, NAN), (X10, None, None, NAN),             # both saturate, both missing: S <= F
    ([1.0, 2.0], 4, 3, -0.0), ([1.0, 2.0], I64_MAX, I64_MAX - 1, -0.0), ([1.0, 2.0], 1e300, 1, 0.8),  # empty chunks
    ([], 2, 0, NAN), ([0.0, -0.0], 2, 0, NAN),                      # no energy
])
def test_energy_ratio_by_chunks(x, segments, focus, want):
    params = {k: v for k, v in [("num_segments", segments), ("segment_focus", focus)] if v is not None}
    check(calc("energy_ratio_by_chunks", x, params)[0], want)


# ------------------------------------------------------ query similarity

def window_distances(x, query, normalize):
    w = np.lib.stride_tricks.sliding_window_view(np.asarray(x, dtype=float), len(query))
    q = np.asarray(query, dtype=float)
    if normalize:
        w, q = (w - w.mean(axis=1, keepdims=True)) / w.std(axis=1, keepdims=True), (q - q.mean()) / q.std()
    return np.sqrt(((w - q) ** 2).sum(axis=1))


@pytest.mark.parametrize("normalize", [True, False])
@pytest.mark.parametrize("query", [[0.5, -1.0, 2.0], [1, 2, 3, 2, 1], list(WALK[40:52])])
def test_similarity_count_matches_window_distances(query, normalize):
    d = window_distances(WALK, query, normalize)
    u = np.unique(np.round(d, 9))
    ts = list((u[:-1] + u[1:]) / 2)[:: max(1, len(u) // 8)]  # halfway: rounding cannot decide
    got = calc("query_similarity_count", WALK, *({"query": query, "normalize": normalize, "threshold": t} for t in ts))
    assert got == [float((d <= t).sum()) for t in ts]


ANTI = math.sqrt(12)  # z-scores [-a, 0, a] against [a, 0, -a], a = sqrt(3/2)


@pytest.mark.parametrize("x,params,want", [
    # Only a bool turns normalisation off: [2, 4, 6] has the shape of [1, 2, 3] but lies sqrt(14) away.
    *[([2.0, 4.0, 6.0], {"query": [1, 2, 3], "normalize": v, "threshold": 1e-6}, c)
      for v, c in [(0, 1.0), (None, 1.0), ("no", 1.0), (False, 0.0)]],
    ([5.0, 5.0, 5.0], {"query": [1, 1, 1]}, 1.0),                    # two constants: distance 0
    *[([5.0, 6.0, 5.0], {"query": [1, 1, 1], "threshold": math.sqrt(3) * f}, c)  # constant against varying
      for f, c in [(1 + 1e-12, 1.0), (1 - 1e-12, 0.0)]],
    ([1.0, 2.0, 3.0, 0.0, 1.0, 2.0, 3.0, 3.5], {"query": [1, 2, 3], "normalize": False}, 2.0),  # exact matches
    *[([1.0, 2.0, 4.0], {"query": [1, 2, 3], "normalize": False, "threshold": t}, c)            # distance 1
      for t, c in [(NAN, 0.0), ("1", 0.0), (None, 0.0), (True, 1.0)]],
    *[(WALK, p, NAN) for p in ({}, {"query": [1.0, 2.0]}, {"query": "abc"}, {"query": None}, {"query": 3})],
    ([1.0, 2.0], {"query": [1, 2, 3]}, 0.0),                         # no window fits
    *[([3.0, 2.0, 1.0], {"query": [1, 2, 3], "threshold": ANTI * f}, c) for f, c in [(0.999, 0.0), (1.001, 1.0)]],
    # A NaN or infinity makes the distance undefined: never a match (3 of 6 windows hold one).
    *[([0.0, 1.0, 3.0, 2.0, bad, 5.0, 4.0, 6.0], {"query": [1, 2, 4], "normalize": v, "threshold": 1e300}, 3.0)
      for bad in (NAN, INF) for v in (True, False)],
    *[(WALK, {"query": [1.0, NAN, 2.0], "normalize": v, "threshold": 1e300}, 0.0) for v in (True, False)],
])
def test_similarity_count(x, params, want):
    check(calc("query_similarity_count", x, params)[0], want)


# ------------------------------------------------- largest absolute values

@pytest.mark.parametrize("x,k,want", [
    *[(WALK, k, np.sort(np.abs(WALK))[-k:].mean()) for k in (1, 17, 199)],
    *[([-5.0, 1.0, 3.0], k, 4.0) for k in (2, 2.7)],
    *[([-5.0, 1.0, 3.0], k, NAN) for k in (3, 0, -1, I64_MAX, 1e300, NAN, True, "2")],  # an Int or a Float only
    ([1.0, NAN, 3.0, 2.0], 2, NAN), ([-NAN, 1.0, 2.0], 2, NAN), ([1.0, -INF, 3.0], 2, INF),
    ([-0.0, 0.0, -0.0, 0.0], 2, 0.0),                                # magnitudes have no sign
])
def test_mean_n_absolute_max(x, k, want):
    check(calc("mean_n_absolute_max", x, {"number_of_maxima": k})[0], want)
    assert math.isnan(calc("mean_n_absolute_max", x, {})[0])          # the key is required


# ----------------------------------------------------------------- cid_ce

def cid(x, normalize):
    x = np.asarray(x, dtype=float)
    return math.sqrt(np.sum(np.diff((x - x.mean()) / x.std() if normalize else x) ** 2))


@pytest.mark.parametrize("x,normalize,want", [
    *[(WALK, v, cid(WALK, True)) for v in (True, 1, -3)],
    *[(WALK, v, cid(WALK, False)) for v in (False, 0, 1.0, "yes", None)],
    ([0.0, 3.0, 7.0], False, 5.0), ([2.0, 2.0, 2.0], True, 0.0), ([2.0], True, 0.0),  # sqrt(9 + 16); no spread
    ([], True, -0.0), ([], False, -0.0), ([4.0], False, -0.0),       # nothing to sum
    ([1.0, NAN, 2.0], False, NAN), ([1.0, NAN, 2.0], True, NAN), ([1.0, INF, 2.0], True, NAN),
])
def test_cid_ce(x, normalize, want):
    check(calc("cid_ce", x, {"normalize": normalize})[0], want, rel=1e-12)
