"""The entropy calculators against the numpy computation of the same values, in one run.

    python bench/entropy_vs_numpy.py [--n 1000] [--repeats 7] [--scaling 1000,100000]

Speed against numpy: each calculator through `compute_feature` on one
seeded 1,000-sample series (white noise plus a slow sine), with the
parameter sets a user would ask for, against the idiomatic vectorised numpy
computation of the same values; both timed with time.perf_counter, best of
the rounds, alternating short bursts of each so that both see the same
load. numpy's BLAS is held to one thread, as a calculator runs on one.

Cost per sample against length: each calculator (with the same sets) at the
sizes of --scaling. The template entropies compare all pairs of templates
(one pass per diagonal of the distance matrix), so their cost per sample
grows with n; the others are linear or n log n.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_var] = "1"

import numpy as np  # noqa: E402
from numpy.lib.stride_tricks import sliding_window_view  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of_pair  # noqa: E402

# ---------------------------------------------------------------- numpy side


def apen_numpy(x, m, r):
    tol = r * np.std(x)

    def phi(k):
        t = sliding_window_view(x, k)
        d = np.max(np.abs(t[:, None, :] - t[None, :, :]), axis=2)
        return np.mean(np.log(np.sum(d <= tol, axis=1) / len(t)))

    return abs(phi(m) - phi(m + 1))


def apen_numpy_rows(x, m, r):
    # The same, one template against all at a time (less memory).
    tol = r * np.std(x)

    def phi(k):
        t = sliding_window_view(x, k)
        c = [np.count_nonzero(np.max(np.abs(t - row), axis=1) <= tol) for row in t]
        return np.mean(np.log(np.array(c) / len(t)))

    return abs(phi(m) - phi(m + 1))


def sampen_numpy_rows(x):
    tol = 0.2 * np.std(x)

    def pairs(k):
        t = sliding_window_view(x, k)
        return sum(np.count_nonzero(np.max(np.abs(t - row), axis=1) <= tol) for row in t) - len(t)

    return -np.log(pairs(3) / pairs(2))


def sampen_numpy(x):
    tol = 0.2 * np.std(x)

    def pairs(k):
        t = sliding_window_view(x, k)
        d = np.max(np.abs(t[:, None, :] - t[None, :, :]), axis=2)
        return np.sum(d <= tol) - len(t)

    return -np.log(pairs(3) / pairs(2))


def pe_numpy(x, tau, d):
    w = sliding_window_view(x, d)[::tau]
    _, counts = np.unique(np.argsort(w, axis=1, kind="stable"), axis=0, return_counts=True)
    p = counts / counts.sum()
    return -np.sum(p * np.log(p))


def binned_numpy(x, b):
    counts, _ = np.histogram(x, bins=b)
    p = counts[counts > 0] / len(x)
    return -np.sum(p * np.log(p))


def lz_numpy(x, b):
    edges = np.linspace(x.min(), x.max(), b + 1)
    s = np.searchsorted(edges[1:], x, side="left").tolist()
    seen, i, q, n = set(), 0, 0, len(s)
    while i < n:
        j = i + 1
        while j <= n and tuple(s[i:j]) in seen:
            j += 1
        if j > n:
            break
        seen.add(tuple(s[i:j]))
        q += 1
        i = j
    return q / n


# What a user would ask for: the usual grids of each calculator, with the
# numpy idioms that compute the same values (the faster one is the baseline).
CASES = [
    ("approximate_entropy", [{"m": 2, "r": r} for r in (0.1, 0.3, 0.5, 0.7, 0.9)],
     [lambda x, p: apen_numpy(x, p["m"], p["r"]), lambda x, p: apen_numpy_rows(x, p["m"], p["r"])]),
    ("sample_entropy", [{}], [lambda x, p: sampen_numpy(x), lambda x, p: sampen_numpy_rows(x)]),
    ("permutation_entropy", [{"tau": 1, "dimension": d} for d in (3, 4, 5, 6, 7)],
     [lambda x, p: pe_numpy(x, p["tau"], p["dimension"])]),
    ("binned_entropy", [{"max_bins": 10}], [lambda x, p: binned_numpy(x, p["max_bins"])]),
    ("lempel_ziv_complexity", [{"bins": b} for b in (2, 3, 5, 10, 100)], [lambda x, p: lz_numpy(x, p["bins"])]),
]
QUADRATIC = {"approximate_entropy", "sample_entropy"}


def make_series(n, seed):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(n) + np.sin(np.arange(n) * 0.05)


def best_of(fn, repeats):
    best = math.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1000)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--seed", type=int, default=3)
    ap.add_argument("--scaling", default="1000,100000")
    args = ap.parse_args()
    try:
        from selquor_rs import compute_feature
    except ImportError as exc:  # pragma: no cover - depends on the build tree
        sys.exit(f"cannot import selquor_rs ({exc})")

    x = make_series(args.n, args.seed)
    print(f"one series of {args.n} samples, one thread, best of {args.repeats} rounds of 3 calls")
    print(f"{'calculator':24}{'sets':>5}{'selquor':>12}{'numpy':>12}{'speed-up':>10}")
    for name, sets, fns in CASES:
        ours = compute_feature(name, x, sets)
        best = None
        for fn in fns:
            want = [fn(x, p) for p in sets]
            for o, w in zip(ours, want):
                if not math.isclose(o, w, rel_tol=1e-9, abs_tol=1e-12):
                    sys.exit(f"{name}: {o!r} but numpy gives {w!r}")
            t_ours, t_np = best_of_pair(lambda: compute_feature(name, x, sets),
                                        lambda: [fn(x, p) for p in sets], args.repeats)
            if best is None or t_np / t_ours < best[1] / best[0]:
                best = (t_ours, t_np)
        t_ours, t_np = best
        print(f"{name:24}{len(sets):>5}{t_ours * 1e6:10.1f}us{t_np * 1e6:10.1f}us{t_np / t_ours:9.1f}x")

    sizes = [int(s) for s in args.scaling.split(",") if s]
    print("\ncost per sample (ns), same sets; quadratic ones also per pair of samples")
    print(f"{'calculator':24}" + "".join(f"{f'n={n}':>14}" for n in sizes) + "  growth")
    for name, sets, _ in CASES:
        row = []
        for n in sizes:
            y = make_series(n, args.seed)
            reps = 1 if (name in QUADRATIC and n > 20000) else args.repeats
            t = best_of(lambda: compute_feature(name, y, sets), reps)
            row.append((n, t))
        cells = "".join(f"{t / n * 1e9:14.1f}" for n, t in row)
        if name in QUADRATIC:
            cells += "  quadratic: " + ", ".join(f"{t / (n * n / 2) * 1e9:.3f} ns/pair at n={n}" for n, t in row)
        print(f"{name:24}{cells}")


if __name__ == "__main__":
    main()
