"""The trend and regression calculators against statsmodels and numpy.

    PYTHONPATH=build/python python bench/trend.py [--repeats R] [--seed S]

Each row times one call of the module and the equivalent call a user would
otherwise make (the baselines of bench/run.py, and statsmodels' AutoReg for
the autoregression), side by side on the same series, best of R, and checks
that the values agree. Times are thread CPU times, so that other processes
on a busy machine distort neither side; BLAS is limited to one thread
(set before numpy loads) so that both sides do the work of one call on one
core.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import warnings  # noqa: E402

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import run  # noqa: E402


def b_autoreg(x, params):
    from statsmodels.tsa.ar_model import AutoReg
    coef = AutoReg(x, params[0]["k"], trend="c").fit().params
    return [coef[p["coeff"]] for p in params]


# (label, calculator, parameter sets, baseline, length, target ratio)
CASES = [
    ("adf AIC vs statsmodels adfuller", "augmented_dickey_fuller", common.PARAMS["augmented_dickey_fuller"],
     run.b_augmented_dickey_fuller, 1000, 50),
    ("adf AIC vs statsmodels adfuller", "augmented_dickey_fuller", common.PARAMS["augmented_dickey_fuller"],
     run.b_augmented_dickey_fuller, 10_000, 50),
    ("ar k=10 vs statsmodels AutoReg", "ar_coefficient", common.PARAMS["ar_coefficient"], b_autoreg, 1000, 20),
    ("ar k=10 vs numpy lstsq", "ar_coefficient", common.PARAMS["ar_coefficient"], run.b_ar_coefficient, 1000, None),
    ("agg_linear_trend grid vs numpy chunks + linregress", "agg_linear_trend", common.PARAMS["agg_linear_trend"],
     run.b_agg_linear_trend, 1000, 20),
    ("linear_trend vs scipy linregress", "linear_trend", common.PARAMS["linear_trend"], run.b_linear_trend, 1000, None),
]


def best_cpu(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.thread_time_ns()
        fn()
        best = min(best, time.thread_time_ns() - t0)
    return best / 1e9


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--seed", type=int, default=12345)
    args = ap.parse_args(argv)
    mod = common.load_module()
    rng = np.random.default_rng(args.seed)
    print(f"load average at start: {os.getloadavg()[0]:.2f}; thread CPU time, best of {args.repeats}")
    rows = []
    for label, name, params, baseline, n, target in CASES:
        x = np.cumsum(rng.standard_normal(n)) + 0.5 * rng.standard_normal(n)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            want = baseline(x, params)
            base = best_cpu(lambda: baseline(x, params), max(3, args.repeats // 2))
        got = mod.compute_feature(name, x, params)
        ok = np.allclose(got, want, rtol=1e-6, atol=1e-9, equal_nan=True)
        ours = best_cpu(lambda: mod.compute_feature(name, x, params), args.repeats)
        ratio = base / ours
        verdict = "" if target is None else ("met" if ratio >= target else "MISSED") + f" (>= {target}x)"
        rows.append([label, n, f"{base * 1e3:.2f}", f"{ours * 1e3:.3f}", f"{ratio:.0f}x", "yes" if ok else "NO",
                     verdict])
    print(common.table(["case", "n", "baseline ms", "module ms", "ratio", "agree", "target"], rows))


if __name__ == "__main__":
    main()
