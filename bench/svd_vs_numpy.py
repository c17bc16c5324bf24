"""regression::jacobi_svd against numpy.linalg.svd on the same matrix, in one run.

    cmake -S . -B build -G Ninja -DSELQUOR_BUILD_BENCH=ON && cmake --build build
    python bench/svd_vs_numpy.py [--exe build/svd_bench] [--rows 1000] [--cols 10]
        [--baseline OTHER/svd_bench] [--ar K]

The matrix (standard normal, seeded) goes to the C++ executable through a
temporary file of raw doubles; both sides time the decomposition alone, take
the best and the median of the repetitions, and the singular values are
compared before any time is reported. --baseline times a second build of
svd_bench (another version of the decomposition) in the same run, the two
executables taking turns; --ar K decomposes the autoregression design of
order K (a column of ones, then lags 1 .. K) of a seeded random walk of
--rows samples instead.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np


def numpy_times(a: np.ndarray, repeats: int) -> tuple[float, float]:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        np.linalg.svd(a, full_matrices=False)
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[0], times[len(times) // 2]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--exe", default=os.path.join("build", "svd_bench"))
    p.add_argument("--rows", type=int, default=1000)
    p.add_argument("--cols", type=int, default=10)
    p.add_argument("--repeats", type=int, default=200)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--baseline", help="another svd_bench, timed in the same run")
    p.add_argument("--ar", type=int, help="decompose the autoregression design of this order")
    args = p.parse_args()
    exes = [args.exe] + ([args.baseline] if args.baseline else [])
    for exe in exes:
        if not os.path.exists(exe):
            sys.exit(f"{exe} not found: configure with -DSELQUOR_BUILD_BENCH=ON and build")

    rng = np.random.default_rng(args.seed)
    if args.ar:
        x = np.cumsum(rng.standard_normal(args.rows))
        k = args.ar
        lags = np.column_stack([x[k - l:len(x) - l] for l in range(1, k + 1)])
        a = np.column_stack([np.ones(len(lags)), lags])
    else:
        a = rng.standard_normal((args.rows, args.cols))
    rows, cols = a.shape
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(np.ascontiguousarray(a, dtype=np.float64).tobytes())
        path = f.name
    # The executables take turns, a tenth of the repetitions at a time.
    times = {exe: [] for exe in exes}
    values = {}
    try:
        for _ in range(10):
            for exe in exes:
                out = subprocess.run([exe, path, str(rows), str(cols), str(max(1, args.repeats // 10))],
                                     check=True, capture_output=True, text=True).stdout.split()
                times[exe].append((float(out[0]), float(out[1])))
                values[exe] = np.array([float(v) for v in out[2:]])
    finally:
        os.unlink(path)
    s_numpy = np.linalg.svd(a, compute_uv=False)
    err = max(np.max(np.abs(v - s_numpy) / s_numpy) for v in values.values())
    if err > 1e-12:
        sys.exit(f"singular values disagree: max relative difference {err:.3g}")
    np_best, np_median = numpy_times(a, args.repeats)

    print(f"{rows} x {cols} matrix, {args.repeats} repetitions, "
          f"singular values agree to {err:.1e} (relative)")
    print(f"{'':24}{'best':>12}{'median':>12}")
    names = {args.exe: "regression::jacobi_svd", args.baseline: "baseline"}
    # The best of the turns' best times, the median of their medians.
    best = {exe: min(t[0] for t in times[exe]) for exe in exes}
    median = {exe: sorted(t[1] for t in times[exe])[len(times[exe]) // 2] for exe in exes}
    for exe in exes:
        print(f"{names[exe]:24}{best[exe] * 1e6:10.1f}us{median[exe] * 1e6:10.1f}us")
    print(f"{'numpy.linalg.svd':24}{np_best * 1e6:10.1f}us{np_median * 1e6:10.1f}us")
    print(f"ratio to numpy (median): {median[args.exe] / np_median:.2f}")
    if args.baseline:
        print(f"baseline / this (median): {median[args.baseline] / median[args.exe]:.2f}")


if __name__ == "__main__":
    main()
