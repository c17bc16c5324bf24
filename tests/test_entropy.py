"""Entropy and complexity calculators against numpy transcriptions of their definitions."""
import math

import numpy as np
import pytest

from selquor_rs import compute_feature

NAN, INF = float("nan"), float("inf")
BIG = 2**63 - 1


def values(name, x, sets):
    out = compute_feature(name, np.asarray(x, dtype=np.float64), sets)
    assert out is not None and len(out) == len(sets)
    return out


def one(name, x, params=None):
    return values(name, x, [params or {}])[0]


def identical(got, want):
    # NaN matches NaN and the sign of a zero matters.
    return (math.isnan(got) and math.isnan(want)) or (got == want and math.copysign(1, got) == math.copysign(1, want))


def close(got, want, rel=1e-14):
    # Exact for NaN, zeros and infinities; otherwise within rel.
    if math.isnan(want) or want == 0 or math.isinf(want):
        return identical(got, want)
    return got == pytest.approx(want, rel=rel)


# ---------------------------------------------------------------- binned


def binned_oracle(x, b):
    # Equal-width bins over [min, max], the last bin closed; -sum p ln p over
    # the occupied bins in bin order.
    x = np.asarray(x, dtype=np.float64)
    lo, hi = x.min(), x.max()
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    edges = [i * ((hi - lo) / b) + lo for i in range(b)] + [hi]
    idx = np.searchsorted(edges, x, side="right") - 1
    idx = np.minimum(idx, b - 1)
    h = 0.0
    for c in np.bincount(idx, minlength=b):
        if c:
            p = c / len(x)
            h += math.log(p) * p
    return -h


@pytest.mark.parametrize("seed, b", [(0, 1), (1, 2), (2, 7), (3, 10), (4, 100), (5, 1000)])
def test_binned_entropy_matches_the_histogram(seed, b):
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.normal(size=300), rng.integers(-4, 5, size=200) / 4.0])
    assert one("binned_entropy", x, {"max_bins": b}) == pytest.approx(binned_oracle(x, b), rel=1e-13, abs=1e-15)


@pytest.mark.parametrize(
    "x, b, want",
    [
        ([], 5, NAN),
        ([1.0, NAN, 2.0], 5, NAN),
        ([1.0, INF, 2.0], 5, NAN),  # an infinity leaves no histogram
        ([-INF, 0.0], 0, NAN),
        ([1.0, 2.0, 3.0], 0, -0.0),
        ([1.0, 2.0, 3.0], 1, -0.0),
        ([4.5] * 7, 3, -0.0),
        ([1e300] * 4, 3, -0.0),  # the +-0.5 widening vanishes; still one bin
        ([0.0, 1.0], 2, math.log(2)),
        ([-1e308, 1e308], 2, math.log(2)),  # hi - lo overflows
        ([-1e308, 0.0, 1e308], 2, math.log(3) - (2 / 3) * math.log(2)),  # 0 is the middle edge: last bin
        # 2^63 - 1 bins on three samples: three occupied bins.
        ([0.0, 0.5, 1.0], BIG, math.log(3)),
        ([0.0, 0.5, 1.0], 1e300, math.log(3)),
    ],
)
def test_binned_entropy_decisive_cases(x, b, want):
    assert close(one("binned_entropy", x, {"max_bins": b}), want)


def test_binned_entropy_sets_in_order_and_repeated():
    x = np.random.default_rng(9).normal(size=50)
    sets = [{"max_bins": b} for b in (3, -2, 3, 10, None)]
    got = values("binned_entropy", x, sets)
    assert got[0] == got[2] == pytest.approx(binned_oracle(x, 3), rel=1e-13)
    assert identical(got[1], -0.0) and identical(got[4], -0.0)
    assert got[3] == pytest.approx(binned_oracle(x, 10), rel=1e-13)
