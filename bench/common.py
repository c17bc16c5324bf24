"""Shared pieces of the benchmark scripts: the synthetic batch, the plan of
realistic parameter grids, and small timing/formatting helpers.

Plain numpy only; the module under test is imported lazily so that a missing
build gives one readable message instead of a traceback at import time.
"""

from __future__ import annotations

import gc
import os
import sys
import time

import numpy as np


def load_module():
    try:
        import selquor_rs
    except ImportError as exc:  # pragma: no cover - depends on the build tree
        sys.exit(f"cannot import selquor_rs ({exc}); build it and set PYTHONPATH=<build>/python")
    return selquor_rs


def cpu_count() -> int:
    return os.cpu_count() or 1


# --------------------------------------------------------------------------
# Synthetic batch

def make_batch(n_series: int, length: int, seed: int):
    """A seeded batch of equal-length series, a third each (at random) of
    white noise, random walks and noisy sines, each with its own level and
    scale so that level-sensitive features (variation coefficient, counts
    against fixed thresholds) see varied inputs.

    Returns (values float64 flat, offsets int64, kinds array of 0/1/2)."""
    rng = np.random.default_rng(seed)
    kinds = rng.integers(0, 3, size=n_series)
    out = np.empty((n_series, length), dtype=np.float64)
    t = np.arange(length, dtype=np.float64)
    for k in range(3):
        rows = np.flatnonzero(kinds == k)
        if rows.size == 0:
            continue
        noise = rng.standard_normal((rows.size, length))
        if k == 0:  # white noise
            block = noise
        elif k == 1:  # random walk
            block = np.cumsum(noise, axis=1)
        else:  # sine with noise: periods of 8 to 200 samples, random phase
            period = rng.uniform(8.0, 200.0, size=(rows.size, 1))
            phase = rng.uniform(0.0, 2.0 * np.pi, size=(rows.size, 1))
            amp = rng.uniform(0.5, 3.0, size=(rows.size, 1))
            block = amp * np.sin(2.0 * np.pi * t / period + phase) + 0.3 * noise
        level = rng.normal(0.0, 2.0, size=(rows.size, 1))
        scale = rng.lognormal(0.0, 0.5, size=(rows.size, 1))
        out[rows] = level + scale * block
    values = np.ascontiguousarray(out.reshape(-1))
    offsets = np.arange(n_series + 1, dtype=np.int64) * length
    return values, offsets, kinds


def subset(values, offsets, n):
    """The first n series of a batch, as a fresh (values, offsets) pair."""
    n = min(n, len(offsets) - 1)
    end = int(offsets[n])
    return np.ascontiguousarray(values[:end]), np.ascontiguousarray(offsets[: n + 1])


# --------------------------------------------------------------------------
# Plan: the kind of parameter grids a user extracting features would ask for

def _grid():
    fc = [{"coeff": c, "attr": a} for a in ("real", "imag", "abs", "angle") for c in range(100)]
    cq = [
        {"ql": ql, "qh": qh, "isabs": isabs, "f_agg": f}
        for ql in (0.0, 0.2, 0.4, 0.6, 0.8)
        for qh in (0.2, 0.4, 0.6, 0.8, 1.0)
        if ql < qh
        for isabs in (False, True)
        for f in ("mean", "var")
    ]
    widths = [2, 5, 10, 20]
    query = [float(v) for v in np.sin(np.linspace(0.0, 2.0 * np.pi, 16))]
    return {
        "agg_autocorrelation": [{"f_agg": f, "maxlag": 40} for f in ("mean", "median", "var")],
        "agg_linear_trend": [
            {"attr": a, "chunk_len": c, "f_agg": f}
            for a in ("rvalue", "intercept", "slope", "stderr")
            for c in (5, 10, 50)
            for f in ("max", "min", "mean", "var")
        ],
        "approximate_entropy": [{"m": 2, "r": r} for r in (0.1, 0.3, 0.5, 0.7, 0.9)],
        "ar_coefficient": [{"k": 10, "coeff": c} for c in range(11)],
        "augmented_dickey_fuller": [{"attr": a, "autolag": "AIC"} for a in ("teststat", "pvalue", "usedlag")],
        "autocorrelation": [{"lag": k} for k in range(10)],
        "binned_entropy": [{"max_bins": 10}],
        "c3": [{"lag": k} for k in (1, 2, 3)],
        "change_quantiles": cq,
        "cid_ce": [{"normalize": True}, {"normalize": False}],
        "count_above": [{"t": 0.0}],
        "count_below": [{"t": 0.0}],
        "cwt_coefficients": [{"widths": widths, "coeff": c, "w": w} for c in range(15) for w in widths],
        "energy_ratio_by_chunks": [{"num_segments": 10, "segment_focus": i} for i in range(10)],
        "fft_aggregated": [{"aggtype": a} for a in ("centroid", "variance", "skew", "kurtosis")],
        "fft_coefficient": fc,
        "fourier_entropy": [{"bins": b} for b in (2, 3, 5, 10, 100)],
        "friedrich_coefficients": [{"m": 3, "r": 30, "coeff": c} for c in range(4)],
        "index_mass_quantile": [{"q": q / 10} for q in range(1, 10)],
        "large_standard_deviation": [{"r": r * 0.05} for r in range(1, 20)],
        "lempel_ziv_complexity": [{"bins": b} for b in (2, 3, 5, 10, 100)],
        "linear_trend": [{"attr": a} for a in ("pvalue", "rvalue", "intercept", "slope", "stderr")],
        "max_langevin_fixed_point": [{"m": 3, "r": 30}],
        "mean_n_absolute_max": [{"number_of_maxima": k} for k in (3, 5, 7)],
        "number_crossing_m": [{"m": m} for m in (-1.0, 0.0, 1.0)],
        "number_cwt_peaks": [{"n": n} for n in (1, 5)],
        "number_peaks": [{"n": n} for n in (1, 3, 5, 10, 50)],
        "partial_autocorrelation": [{"lag": k} for k in range(10)],
        "permutation_entropy": [{"tau": 1, "dimension": d} for d in (3, 4, 5, 6, 7)],
        "quantile": [{"q": q} for q in (0.1, 0.2, 0.3, 0.4, 0.6, 0.7, 0.8, 0.9)],
        "query_similarity_count": [
            {"query": query, "threshold": t, "normalize": True} for t in (1.0, 3.0)
        ],
        "range_count": [{"min": -1.0, "max": 1.0}, {"min": -1e12, "max": 0.0}, {"min": 0.0, "max": 1e12}],
        "ratio_beyond_r_sigma": [{"r": r} for r in (0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 5.0, 6.0, 7.0, 10.0)],
        "spkt_welch_density": [{"coeff": c} for c in (2, 5, 8)],
        "symmetry_looking": [{"r": r * 0.05} for r in range(20)],
        "time_reversal_asymmetry_statistic": [{"lag": k} for k in (1, 2, 3)],
        "value_count": [{"value": v} for v in (-1, 0, 1)],
    }


PARAMS = _grid()

# Kept out of the FFT-free plan of run.py's scaling section: the calculators
# that run FFTs, and with them `autocorrelation` and the two wavelet
# calculators, which compute by direct sums and convolutions but belong to
# the same group by definition of the targets. (Transforms are planned under
# one lock but run outside it; bench/spectral.py measures that group's
# scaling beside this plan.)
FFT_CALCULATORS = frozenset({
    "fft_coefficient",
    "fft_aggregated",
    "spkt_welch_density",
    "fourier_entropy",
    "cwt_coefficients",
    "number_cwt_peaks",
    "agg_autocorrelation",
    "autocorrelation",
    "partial_autocorrelation",
})


def build_plan(implemented, *, exclude=frozenset(), only=None):
    """A plan over every implemented calculator (optionally restricted to
    `only` and without `exclude`), each with its grid from PARAMS or [{}]."""
    plan = []
    for name in implemented:
        if name in exclude or (only is not None and name not in only):
            continue
        plan.append((name, PARAMS.get(name, [{}])))
    return plan


def plan_width(plan):
    return sum(len(p) for _, p in plan)


# --------------------------------------------------------------------------
# Timing

def best_time(fn, repeats: int, budget: float) -> float:
    """Best wall time of up to `repeats` calls of fn(); stops early once the
    calls so far have used `budget` seconds (at least one call always runs).
    The previous result is dropped before each call so that its
    deallocation is never timed."""
    best = float("inf")
    spent = 0.0
    result = None
    for _ in range(max(1, repeats)):
        del result
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t0
        best = min(best, dt)
        spent += dt
        if spent >= budget:
            break
    del result
    return best


def best_of_pair(ours, theirs, repeats: int, burst: int = 3) -> tuple[float, float]:
    """Best times of two callables over `repeats` rounds; each round runs a
    short burst of each, so that both see the same load on the machine and
    numpy's BLAS threads are awake when np.dot is timed."""
    best = [float("inf"), float("inf")]
    for _ in range(repeats):
        for k, fn in enumerate((ours, theirs)):
            for _ in range(burst):
                t0 = time.perf_counter()
                fn()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best[0], best[1]


def thread_counts():
    n = cpu_count()
    return sorted({t for t in (1, 2, 4, n) if t <= n} | {n})


def fmt_ns(ns: float) -> str:
    if ns >= 1e9:
        return f"{ns / 1e9:.2f} s"
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.1f} us"
    return f"{ns:.0f} ns"


def table(headers, rows, aligns=None):
    """Plain-text table; aligns is a string of 'l'/'r' per column."""
    cells = [[str(c) for c in r] for r in rows]
    widths = [len(h) for h in headers]
    for r in cells:
        for i, c in enumerate(r):
            widths[i] = max(widths[i], len(c))
    aligns = aligns or "l" + "r" * (len(headers) - 1)

    def line(r):
        return "  ".join(c.ljust(w) if a == "l" else c.rjust(w) for c, w, a in zip(r, widths, aligns)).rstrip()

    out = [line(headers), "  ".join("-" * w for w in widths)]
    out += [line(r) for r in cells]
    return "\n".join(out)
