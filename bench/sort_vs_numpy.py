"""The total-order sort against numpy.sort, and the distinct-value calculators
against their numpy loop, in one run.

    cmake -S . -B build -G Ninja -DSELQUOR_BUILD_BENCH=ON && cmake --build build
    PYTHONPATH=build/python python bench/sort_vs_numpy.py [--exe build/sort_bench] [--repeats 15]

The sort: a copy sorted by stats::sort_total (as numpy.sort copies and
sorts) in the C++ executable, fed the same seeded standard-normal samples
through a file of raw doubles, against numpy.sort in this process; its
output is checked against numpy.sort's before any time is reported. The executable also times
std::sort on the same keys, the sort this one replaced. Each side takes the
best of its repetitions, and the rounds alternate between the two so that
both see the same load on the machine.

The distinct-value calculators: compute_feature on one series of 1,000
samples (all distinct, and small integers with many ties) against the numpy
expression built on np.unique, best of alternating bursts.
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
import timeit

import numpy as np

from common import best_of_pair


def load():
    try:
        from selquor_rs import compute_feature
    except ImportError as exc:  # pragma: no cover - depends on the build tree
        sys.exit(f"cannot import selquor_rs ({exc}); build it and set PYTHONPATH=<build>/python")
    return compute_feature


def sort_row(exe: str, n: int, rounds: int, seed: int) -> None:
    x = np.random.default_rng(seed).standard_normal(n)
    repeats = max(3, 2_000_000 // n)
    with tempfile.TemporaryDirectory() as tmp:
        src, out = os.path.join(tmp, "x.bin"), os.path.join(tmp, "sorted.bin")
        x.tofile(src)
        ours, plain, theirs = math.inf, math.inf, math.inf
        for _ in range(rounds):
            fields = subprocess.run([exe, src, str(n), str(repeats), out], check=True, capture_output=True,
                                    text=True).stdout.split()
            ours, plain = min(ours, float(fields[0])), min(plain, float(fields[2]))
            theirs = min(theirs, *timeit.repeat(lambda: np.sort(x), number=1, repeat=repeats))
        if not np.array_equal(np.fromfile(out), np.sort(x)):
            sys.exit(f"n = {n}: the sorted copy differs from numpy.sort's")
    print(f"{n:>9}{ours * 1e6:12.1f}us{theirs * 1e6:12.1f}us{ours / theirs:8.2f}{plain * 1e6:14.1f}us")


def unique_cases():
    """(calculator, numpy expression on np.unique)."""

    def groups(x):
        return np.unique(x, return_counts=True)

    def datapoints(x):
        _, c = np.unique(x[~np.isnan(x)], return_counts=True)
        return c[c >= 2].sum() / x.size

    def values(x):
        _, c = groups(x)
        return np.count_nonzero(c >= 2) / c.size

    def sum_points(x):
        v, c = groups(x)
        return np.sum(v[c >= 2] * c[c >= 2])

    def sum_values(x):
        v, c = groups(x)
        return np.sum(v[c >= 2])

    return [
        ("has_duplicate", lambda x: float(np.unique(x).size != x.size)),
        ("percentage_of_reoccurring_datapoints_to_all_datapoints", datapoints),
        ("percentage_of_reoccurring_values_to_all_values", values),
        ("sum_of_reoccurring_data_points", sum_points),
        ("sum_of_reoccurring_values", sum_values),
        ("ratio_value_number_to_time_series_length", lambda x: np.unique(x).size / x.size),
    ]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--exe", default=os.path.join("build", "sort_bench"))
    p.add_argument("--repeats", type=int, default=15, help="alternating rounds")
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    if not os.path.exists(args.exe):
        sys.exit(f"{args.exe} not found: configure with -DSELQUOR_BUILD_BENCH=ON and build")
    compute_feature = load()

    print(f"total-order sort (a sorted copy) against numpy.sort, best of {args.repeats} alternating rounds")
    print(f"{'samples':>9}{'vqsort':>14}{'numpy.sort':>14}{'ratio':>8}{'std::sort':>16}")
    for n in (1_000, 1_000_000):
        sort_row(args.exe, n, args.repeats, args.seed)

    rng = np.random.default_rng(args.seed)
    series = {"distinct": rng.standard_normal(1000), "ties": np.round(rng.standard_normal(1000) * 3)}
    print(f"\ndistinct-value calculators on 1,000 samples against np.unique, best of {args.repeats} rounds of 3")
    print(f"{'calculator':58}{'series':>9}{'selquor':>11}{'numpy':>11}{'speed-up':>10}")
    for name, fn in unique_cases():
        for kind, x in series.items():
            got, want = compute_feature(name, x, [{}])[0], float(fn(x))
            if not math.isclose(got, want, rel_tol=1e-12, abs_tol=1e-12):
                sys.exit(f"{name} ({kind}): {got!r} but numpy gives {want!r}")
            ours, theirs = best_of_pair(lambda: compute_feature(name, x, [{}]), lambda: fn(x), args.repeats)
            print(f"{name:58}{kind:>9}{ours * 1e6:9.2f}us{theirs * 1e6:9.2f}us{theirs / ours:9.1f}x")


if __name__ == "__main__":
    main()
