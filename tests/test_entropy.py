"""Entropy and complexity calculators against numpy transcriptions of their definitions."""
import collections
import math
import os

import numpy as np
import pytest

from conftest import I64_MAX as BIG
from conftest import INF, NAN, NEG_NAN, calc, close, in_child, one, same


def rows_of(name, rows):
    return [(name, x, params, want) for x, params, want in rows]


# ---------------------------------------------------------------- binned


def binned_oracle(x, b):
    # Equal-width bins over [min, max], the last bin closed; -sum p ln p over
    # the occupied bins in bin order.
    x = np.asarray(x, dtype=np.float64)
    lo, hi = x.min(), x.max()
    if lo == hi:
        lo, hi = lo - 0.5, hi + 0.5
    edges = [i * ((hi - lo) / b) + lo for i in range(b)] + [hi]
    counts = np.bincount(np.minimum(np.searchsorted(edges, x, side="right") - 1, b - 1))
    p = counts[counts > 0] / len(x)
    return -np.sum(p * np.log(p))


@pytest.mark.parametrize("seed, b", [(0, 1), (1, 2), (2, 7), (3, 10), (4, 100), (5, 1000)])
def test_binned_entropy_matches_the_histogram(seed, b):
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.normal(size=300), rng.integers(-4, 5, size=200) / 4.0])
    assert one("binned_entropy", x, {"max_bins": b}) == pytest.approx(binned_oracle(x, b), rel=1e-13, abs=1e-15)


E37 = 37 * ((8.4 - 8.0) / 100) + 8.0


BINNED = rows_of("binned_entropy", [
    ([], {"max_bins": 5}, NAN),
    ([1.0, NAN, 2.0], {"max_bins": 5}, NAN),
    ([1.0, INF, 2.0], {"max_bins": 5}, NAN),  # an infinity leaves no histogram
    ([-INF, 0.0], {"max_bins": 0}, NAN),
    ([1.0, 2.0, 3.0], {"max_bins": 0}, -0.0),
    ([1.0, 2.0, 3.0], {"max_bins": -2}, -0.0),  # negative: no bins
    ([1.0, 2.0, 3.0], {}, -0.0),  # no key: no bins
    ([4.5] * 7, {"max_bins": 3}, -0.0),
    ([1e300] * 4, {"max_bins": 3}, -0.0),  # the +-0.5 widening vanishes; still one bin
    ([-1e308, 1e308], {"max_bins": 2}, math.log(2)),  # hi - lo overflows
    ([-1e308, 0.0, 1e308], {"max_bins": 2}, math.log(3) - (2 / 3) * math.log(2)),  # 0 is the middle edge: last bin
    # 2^63 - 1 bins on three samples: three occupied bins.
    ([0.0, 0.5, 1.0], {"max_bins": BIG}, math.log(3)),
    # e_37 = 8.148 lies at position 36.99999999999989: the edge test puts
    # it in bin 37 with its next double (bins 0, 37, 37, 99).
    ([8.0, E37, math.nextafter(E37, INF), 8.4], {"max_bins": 100}, 1.5 * math.log(2)),
])


# ------------------------------------------------- template entropies


def match_counts(x, k, tol):
    # C_i: templates j (i included) with every |x_{i+t} - x_{j+t}| <= tol.
    t = np.lib.stride_tricks.sliding_window_view(x, k)
    return (np.abs(t[:, None, :] - t[None, :, :]) <= tol).all(axis=2).sum(axis=1)


def apen_oracle(x, m, r):
    x = np.asarray(x, dtype=np.float64)
    tol = r * np.std(x)

    phi = lambda k: 0.0 if k == 0 else sum(map(math.log, match_counts(x, k, tol) / (len(x) - k + 1))) / (len(x) - k + 1)  # noqa: E731
    return abs(phi(m) - phi(m + 1))


def sampen_oracle(x):
    x = np.asarray(x, dtype=np.float64)
    tol = np.std(x) * 0.2
    b = (match_counts(x, 2, tol) - 1).sum()  # templates at 0 .. n-2
    a = (match_counts(x, 3, tol) - 1).sum()  # templates at 0 .. n-3
    return NAN if b == 0 else INF if a == 0 else -math.log(a / b)


def series(kind, n, seed):
    rng = np.random.default_rng(seed)
    if kind == "normal":
        return rng.normal(size=n)
    if kind == "ties":  # many exact distances at the tolerance
        return rng.integers(0, 4, size=n) / 4.0
    return np.cumsum(rng.normal(size=n))  # a walk: long runs of matches


@pytest.mark.parametrize("kind, n", [(k, n) for k in ("normal", "ties", "walk") for n in (5, 37, 160)] + [("walk", 700)])
def test_template_entropies_match_the_pairwise_definition(kind, n):
    x = series(kind, n, n)
    sets = [{"m": m, "r": r} for m in (0, 1, 2, 3, 7, 70) for r in (0.1, 0.25, 0.9)]
    got = calc("approximate_entropy", x, *sets)
    for g, p in zip(got, sets):
        want = 0.0 if n <= p["m"] + 1 else apen_oracle(x, p["m"], p["r"])
        assert g == pytest.approx(want, rel=1e-12, abs=1e-15), p
    (got,) = calc("sample_entropy", x, {}, {"m": 3})  # one value whatever the sets
    assert close(got, sampen_oracle(x), rel=1e-13)


# n <= m + 1 (the empty series before its NaN tolerance): the pairwise test's m = 7 and 70.
TEMPLATE = rows_of("approximate_entropy", [
    ([], {"m": 2, "r": 0.2}, 0.0),
    ([1.0, 2.0, 3.0], {"m": BIG, "r": 0.2}, 0.0),  # no overflow in m + 1
    ([1.0, NAN, 3.0, 4.0], {"m": 1, "r": 0.2}, NAN),
    ([1.0, INF, 3.0, 4.0], {"m": 1, "r": 0.2}, NAN),  # NaN tolerance
    ([1.0, 2.0, 3.0, 4.0], {"m": 0}, NAN),  # missing r
    ([1.0, 2.0, 3.0, 4.0], {"m": 1, "r": -0.5}, NAN),
    ([2.5] * 9, {"m": 2, "r": 0.0}, 0.0),
]) + rows_of("sample_entropy", [
    ([1.0, 2.0, 3.0], {}, NAN),
    ([1.0, 2.0, 3.0, 4.0, NAN], {}, NAN),
    ([1e200, -1e200, 1e200, -1e200, 3e200], {}, NAN),  # the variance overflows
    ([3.0, -INF, 1.0, 2.0, 5.0], {}, NAN),
    ([7.0] * 10, {}, -math.log(7 / 9)),  # constant: -ln((n-3)/(n-1))
    ([0.0, 1.0, 3.0, 7.0, 15.0], {}, NAN),  # no length-2 match
    ([0.0, 0.0, 9.0, 0.0, 0.0, 5.0], {}, INF),  # a length-2 match, none of length 3
])


# A child's own peak (VmHWM in KiB; ru_maxrss would carry this process's). A
# sanitizer's shadow memory and redzones inflate every peak.
CHILD = """import re, numpy as np
from selquor_rs import compute_feature
peak = lambda: int(re.search(r"VmHWM:\\s*(\\d+) kB", open("/proc/self/status").read()).group(1))
"""
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_template_entropy_memory_does_not_grow_with_the_sets():
    # 200 sets (distinct tolerances, m 1..4) on 20,000 samples; the values
    # are those of single sets (every 25th: one costs 50 ms).
    grown_kib, same_values = in_child(CHILD + """
x, sets = np.random.default_rng(2).normal(size=20000), [{"m": 1 + i % 4, "r": 0.05 + i / 250} for i in range(200)]
start = peak()
many = compute_feature("approximate_entropy", x, sets)
print(peak() - start, many[::25] == [compute_feature("approximate_entropy", x, [s])[0] for s in sets[::25]])
""", timeout=300).split()
    assert same_values == "True"
    assert int(grown_kib) < 24 * 1024 or SANITIZED


# ------------------------------------------------ permutation entropy


def pe_oracle(x, tau, d):
    # Rank lists of the stable argsort, -0.0 == 0.0 and every NaN above +inf
    # (keys: the ranks of the distinct numbers, one more for NaN); -sum p ln p
    # in ascending order of the rank lists.
    x = np.asarray(x, dtype=np.float64)
    numbers = np.unique(x[~np.isnan(x)])
    key = np.where(np.isnan(x), len(numbers), np.searchsorted(numbers, x))
    patterns = collections.Counter(
        tuple(np.argsort(np.argsort(key[start : start + d], kind="stable"))) for start in range(0, len(x) - d + 1, tau)
    )
    n, h = sum(patterns.values()), -0.0
    for rank in sorted(patterns):
        h += math.log(patterns[rank] / n) * (patterns[rank] / n)
    return -h


@pytest.mark.parametrize(
    "tau, d", [(1, 2), (1, 3), (1, 5), (2, 4), (3, 7), (1, 9), (4, 12), (1, 21), (2, 25), (1, 64), (9, 100), (3, 200)]
)
@pytest.mark.parametrize("kind", ["normal", "periodic", "specials"])
def test_permutation_entropy_matches_the_patterns_bit_for_bit(tau, d, kind):
    x = series("normal", 400, d)
    if kind == "periodic":
        # Repeated patterns, and distinct ones (a swapped neighbour pair) that
        # share their first ranks.
        x = np.tile(x[:13], 31)[:400]
        for i in np.random.default_rng(d).integers(0, 399, size=6):
            x[[i, i + 1]] = x[[i + 1, i]]
    if kind == "specials":  # heavy ties; NaN of both signs beside -inf, -0.0, +0.0, +inf
        x = np.random.default_rng(d).choice([NAN, NEG_NAN, -INF, -0.0, 0.0, INF, 1.0], size=400)
    got = one("permutation_entropy", x, {"tau": tau, "dimension": d})
    assert same(got, pe_oracle(x, tau, d))


PERMUTATION = rows_of("permutation_entropy", [
    (np.arange(10.0), {"tau": 1, "dimension": 3}, -0.0),  # one pattern
    ([1.0, 2.0], {"tau": 1, "dimension": 3}, NAN),  # n < dimension
    ([3.0, 1.0, 2.0], {"tau": 1, "dimension": 3}, -0.0),  # one window
    ([3.0, 1.0, 2.0, 0.0], {"tau": 2, "dimension": 3}, -0.0),  # tau beyond n - d
    ([3.0, 1.0, 2.0, 0.0], {"dimension": 3}, NAN),
    ([3.0, 1.0, 2.0, 0.0], {"tau": 1}, NAN),
    ([3.0, 1.0, 2.0, 0.0], {"tau": 1, "dimension": BIG}, NAN),
    ([3.0, 1.0, 2.0, 0.0], {"tau": BIG, "dimension": 2}, -0.0),
    ([NAN, 1.0, NAN, 2.0], {"tau": 1, "dimension": 2}, math.log(3) - (2 / 3) * math.log(2)),
    # NaN and -inf ranked apart: patterns (1, 2, 0), (0, 1, 2); then four
    ([NAN, -INF, -INF, NAN], {"tau": 1, "dimension": 3}, math.log(2)),
    ([0.0, NAN, -INF, -INF, NAN, 0.0], {"tau": 1, "dimension": 3}, math.log(4)),
])


def test_permutation_entropy_memory_follows_the_windows_not_the_dimension():
    # 10,001 windows of 10,000 samples, all distinct patterns: ln 10001.
    value, peak_kib = in_child(CHILD + """
x = np.random.default_rng(1).normal(size=20000)
print(repr(compute_feature("permutation_entropy", x, [{"tau": 1, "dimension": 10000}])[0]), peak())
""", timeout=300).split()
    assert float(value) == pytest.approx(math.log(10001), rel=1e-12)
    assert int(peak_kib) < 64 * 1024 or SANITIZED


# ----------------------------------------------------- Lempel-Ziv


def lz_symbols(x, b):
    # Per sample, the first k in [0, b) with v <= e_{k+1} by bisection; edges
    # computed where read, so any b.
    lo, hi = min(x), max(x)
    step = (hi - lo) / b
    edge = lambda i: hi if i >= b else float(i) * step + lo  # noqa: E731
    out = []
    for v in x:
        a, c = 0, b
        while a < c:
            mid = a + (c - a) // 2
            a, c = (a, mid) if not v > edge(mid + 1) else (mid + 1, c)
        out.append(a)
    return out


def lz_oracle(x, b):
    sym = lz_symbols([float(v) for v in x], b)
    phrases, seen, i = 0, set(), 0
    while i < len(sym):
        j = i + 1
        while tuple(sym[i:j]) in seen and j <= len(sym):
            j += 1
        if j > len(sym):
            break
        seen.add(tuple(sym[i:j]))
        phrases += 1
        i = j
    return phrases / len(x)


@pytest.mark.parametrize("b", [1, 2, 3, 10, 64])
@pytest.mark.parametrize("kind", ["normal", "ties", "walk"])
def test_lempel_ziv_matches_the_phrase_parse(b, kind):
    x = series(kind, 300, b)
    assert one("lempel_ziv_complexity", x, {"bins": b}) == lz_oracle(x, b)


# Where e_{b-1} rounds above e_b = hi, the symbols are the binary search's: the C++ symbol test.
LEMPEL_ZIV = rows_of("lempel_ziv_complexity", [
    ([5.0], {"bins": 3}, 1.0),
    ([5.0] * 2, {"bins": 3}, 0.5),
    ([5.0] * 3, {"bins": 3}, 2 / 3),
    ([5.0] * 6, {"bins": 3}, 0.5),  # q(q+1)/2 <= n
    ([], {"bins": 3}, NAN),
    ([1.0, NAN, 2.0], {"bins": 3}, NAN),
    ([1.0, INF, 2.0], {"bins": 3}, NAN),
    ([1.0, 2.0, 1.0], {"bins": 0}, NAN),
    ([1.0, 2.0, 1.0], {}, NAN),
    ([1.0, 2.0, 1.0, 2.0], {"bins": 2.9}, 0.75),  # phrases 0 | 1 | 01
    ([1.0, 2.0, 1.0, 2.0], {"bins": BIG}, 0.75),
    ([-1e308, 1e308, -1e308, 1e308], {"bins": 2}, 0.75),  # hi - lo overflows
])


@pytest.mark.parametrize("name, x, params, want", BINNED + TEMPLATE + PERMUTATION + LEMPEL_ZIV)
def test_decisive_cases(name, x, params, want):
    assert close(one(name, x, params), want, rel=1e-14)


# Bin counts where runs of up to 2^63 consecutive edges round to one double:
# each call answers within a second, in a child that a hang cannot block.
_LZ_CHILD = """
import sys, time, numpy as np
from selquor_rs import compute_feature
x = np.frombuffer(bytes.fromhex(sys.stdin.read()), dtype=np.float64)
t = time.perf_counter()
(v,) = compute_feature("lempel_ziv_complexity", x, [{"bins": int(sys.argv[1])}])
print(repr(v), time.perf_counter() - t)
"""


@pytest.mark.parametrize(
    "x, bins, want",
    [
        ([1e16, 1e16 + 2, 1e16 + 4, 1e16 + 6], BIG, 1.0),
        ([1.7e9, 1.7e9 + 1, 1.7e9 + 3, 1.7e9 + 2], BIG, 1.0),
        ([1e9, 1e9 + 1], 2**62, None),
        (np.random.default_rng(7).integers(0, 1000, 1000) * 5e-324, 10**9, None),  # subnormal: a zero step
        (1 + 1e-9 * np.random.default_rng(8).normal(size=1000), 2**62, None),
    ],
)
def test_lempel_ziv_answers_at_once_for_any_bin_count(x, bins, want):
    x = np.asarray(x, dtype=np.float64)
    want = lz_oracle(x, bins) if want is None else want
    value, seconds = in_child(_LZ_CHILD, timeout=60, stdin=x.tobytes().hex(), args=[str(bins)]).split()
    assert float(value) == want and float(seconds) < 1.0
