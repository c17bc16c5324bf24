"""The simple statistics calculators against the equivalent numpy call, in one run.

    PYTHONPATH=build/python python bench/simple_vs_numpy.py [--n 1000000] [--repeats 15] [--blas-threads 1]

Each calculator runs through `compute_feature` on one seeded standard-normal
series; the numpy side is the closest single expression. Both are timed with
time.perf_counter, best of the repetitions, alternating short bursts of each
so that both see the same load on the machine. Rows marked "chain" are defined as a strictly sequential
sum (the compensated sums, the variance, the plain sums of powers), which no
reordering may touch; the others have no such order to keep.
"""

from __future__ import annotations

import argparse
import math
import os
import sys

# numpy's BLAS (np.dot) runs on one thread by default, as a calculator does;
# the variables must be set before numpy is first imported.
if __name__ == "__main__":
    _threads = "1"
    for i, arg in enumerate(sys.argv):
        if arg.startswith("--blas-threads="):
            _threads = arg.split("=", 1)[1]
        elif arg == "--blas-threads" and i + 1 < len(sys.argv):
            _threads = sys.argv[i + 1]
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = _threads

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import best_of_pair  # noqa: E402

try:
    import scipy.stats as sps
except ImportError:  # pragma: no cover - scipy is an optional test dependency
    sps = None


def load():
    try:
        from selquor_rs import compute_feature
    except ImportError as exc:  # pragma: no cover - depends on the build tree
        sys.exit(f"cannot import selquor_rs ({exc}); build it and set PYTHONPATH=<build>/python")
    return compute_feature


def cases(x: np.ndarray):
    """(calculator, sequential chain?, numpy expression text, numpy callable)."""
    n = len(x)
    skew = (lambda: sps.skew(x, bias=False)) if sps else None
    kurt = (lambda: sps.kurtosis(x, bias=False)) if sps else None
    return [
        ("abs_energy", True, "np.dot(x, x)", lambda: np.dot(x, x)),
        ("absolute_maximum", False, "np.max(np.abs(x))", lambda: np.max(np.abs(x))),
        ("absolute_sum_of_changes", True, "np.sum(np.abs(np.diff(x)))", lambda: np.sum(np.abs(np.diff(x)))),
        ("first_location_of_maximum", False, "np.argmax(x) / n", lambda: np.argmax(x) / n),
        ("first_location_of_minimum", False, "np.argmin(x) / n", lambda: np.argmin(x) / n),
        ("kurtosis", True, "scipy.stats.kurtosis(x, bias=False)", kurt),
        ("last_location_of_maximum", False, "1 - np.argmax(x[::-1]) / n", lambda: 1 - np.argmax(x[::-1]) / n),
        ("last_location_of_minimum", False, "1 - np.argmin(x[::-1]) / n", lambda: 1 - np.argmin(x[::-1]) / n),
        ("length", False, "len(x)", lambda: float(len(x))),
        ("maximum", False, "np.max(x)", lambda: np.max(x)),
        ("mean", True, "np.mean(x)", lambda: np.mean(x)),
        ("mean_abs_change", True, "np.mean(np.abs(np.diff(x)))", lambda: np.mean(np.abs(np.diff(x)))),
        ("mean_change", False, "np.mean(np.diff(x))", lambda: np.mean(np.diff(x))),
        ("mean_second_derivative_central", False, "np.mean(np.diff(x, 2)) / 2", lambda: np.mean(np.diff(x, 2)) / 2),
        ("median", False, "np.median(x)", lambda: np.median(x)),
        ("minimum", False, "np.min(x)", lambda: np.min(x)),
        ("root_mean_square", True, "np.sqrt(np.dot(x, x) / n)", lambda: np.sqrt(np.dot(x, x) / n)),
        ("skewness", True, "scipy.stats.skew(x, bias=False)", skew),
        ("standard_deviation", True, "np.std(x)", lambda: np.std(x)),
        ("sum_values", True, "np.sum(x)", lambda: np.sum(x)),
        ("variance", True, "np.var(x)", lambda: np.var(x)),
        ("variance_larger_than_standard_deviation", True, "np.var(x) > 1", lambda: float(np.var(x) > 1.0)),
        ("variation_coefficient", True, "np.std(x) / np.mean(x)", lambda: np.std(x) / np.mean(x)),
        # stats::quantile as the quantile calculator uses it (selection).
        ("quantile", False, "np.quantile(x, 0.3)", lambda: np.quantile(x, 0.3)),
    ]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--repeats", type=int, default=15)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--blas-threads", default="1", help="threads of numpy's BLAS (np.dot); default 1")
    args = p.parse_args()
    compute_feature = load()
    x = np.random.default_rng(args.seed).standard_normal(args.n)
    params = {"quantile": [{"q": 0.3}]}

    print(f"one series of {args.n} standard-normal samples, best of {args.repeats} rounds of 3 calls, "
          f"numpy BLAS threads: {args.blas_threads}")
    print(f"{'calculator':42}{'selquor':>11}{'numpy':>11}{'ratio':>8}  kind   numpy expression")
    for name, chain, text, fn in cases(x):
        sets = params.get(name, [{}])
        ours = compute_feature(name, x, sets)
        if ours is None or fn is None:
            print(f"{name:42}{'-':>11}{'-':>11}{'':>8}  (not available)")
            continue
        want = float(fn())
        if not math.isclose(ours[0], want, rel_tol=1e-6, abs_tol=1e-9):
            sys.exit(f"{name}: {ours[0]!r} but numpy gives {want!r}")
        t_ours, t_numpy = best_of_pair(lambda: compute_feature(name, x, sets), fn, args.repeats)
        kind = "chain" if chain else "free"
        print(f"{name:42}{t_ours * 1e6:9.1f}us{t_numpy * 1e6:9.1f}us{t_ours / t_numpy:8.2f}  {kind:6} {text}")


if __name__ == "__main__":
    main()
