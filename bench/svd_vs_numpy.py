"""regression::jacobi_svd against numpy.linalg.svd on the same matrix, in one run.

    cmake -S . -B build -G Ninja -DSELQUOR_BUILD_BENCH=ON && cmake --build build
    python bench/svd_vs_numpy.py [--exe build/svd_bench] [--rows 1000] [--cols 10]

The matrix (standard normal, seeded) goes to the C++ executable through a
temporary file of raw doubles; both sides time the decomposition alone, take
the best and the median of the repetitions, and the singular values are
compared before any time is reported.
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
    args = p.parse_args()
    if not os.path.exists(args.exe):
        sys.exit(f"{args.exe} not found: configure with -DSELQUOR_BUILD_BENCH=ON and build")

    a = np.random.default_rng(args.seed).standard_normal((args.rows, args.cols))
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        f.write(np.ascontiguousarray(a, dtype=np.float64).tobytes())
        path = f.name
    try:
        out = subprocess.run([args.exe, path, str(args.rows), str(args.cols), str(args.repeats)],
                             check=True, capture_output=True, text=True).stdout.split()
    finally:
        os.unlink(path)
    jac_best, jac_median = float(out[0]), float(out[1])
    s_jacobi = np.array([float(v) for v in out[2:]])
    s_numpy = np.linalg.svd(a, compute_uv=False)
    err = np.max(np.abs(s_jacobi - s_numpy) / s_numpy)
    if err > 1e-12:
        sys.exit(f"singular values disagree: max relative difference {err:.3g}")
    np_best, np_median = numpy_times(a, args.repeats)

    print(f"{args.rows} x {args.cols} matrix, {args.repeats} repetitions, "
          f"singular values agree to {err:.1e} (relative)")
    print(f"{'':24}{'best':>12}{'median':>12}")
    print(f"{'regression::jacobi_svd':24}{jac_best * 1e6:10.1f}us{jac_median * 1e6:10.1f}us")
    print(f"{'numpy.linalg.svd':24}{np_best * 1e6:10.1f}us{np_median * 1e6:10.1f}us")
    print(f"ratio (median): {jac_median / np_median:.2f}")


if __name__ == "__main__":
    main()
