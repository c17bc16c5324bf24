"""The FFT, autocorrelation and spectral calculators, measured side by side in one run.

    cmake -S . -B build -G Ninja -DSELQUOR_BUILD_BENCH=ON && cmake --build build
    python bench/spectral.py [--exe build/spectral_bench] [--quick]

Sections:
  1. spectral::rfft and spectral::welch_psd (C++, timed in the executable)
     against numpy.fft.rfft and scipy.signal.welch at 10^3 and 10^6 samples;
     values compared before any time is reported;
  2. each calculator alone on 1,000-sample series with the grids of
     common.PARAMS against the numpy/scipy/statsmodels loop of run.py
     (values compared; ratio = loop time / native time, one thread);
  3. parallel efficiency of a plan of these calculators over 10,000 series
     of 1,000 samples (targets: >= 85% at 4 threads, >= 75% at all cores),
     beside the FFT-free plan of run.py and a plan of the same width that
     does no work: the family's 441 columns make 4.4M Python floats with the
     interpreter lock held, so its wall time has a serial part, shown apart;
  4. cost per sample at 10^3 and 10^5 samples per calculator.
"""

from __future__ import annotations

import argparse
import os

# Idle OpenBLAS workers spin after every BLAS call (statsmodels, scipy), on
# the cores the parallel section measures: one BLAS thread.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import scipy.signal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402
import run  # noqa: E402
import scaling  # noqa: E402

FAMILY = ["autocorrelation", "agg_autocorrelation", "partial_autocorrelation", "c3",
          "time_reversal_asymmetry_statistic", "fft_coefficient", "fft_aggregated", "spkt_welch_density",
          "fourier_entropy"]

SCALING_CASES = [(name, common.PARAMS[name]) for name in FAMILY] + [
    ("partial_autocorrelation", [{"lag": 1}, {"lag": 10**9}]),  # the recursion stops at lag 1
]


def best_median(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    times.sort()
    return times[0], times[len(times) // 2]


def routines_section(exe, sizes, seed):
    print("\n1. spectral::rfft and welch_psd against numpy.fft.rfft and scipy.signal.welch (median of repeats)")
    rows = []
    for n in sizes:
        x = np.random.default_rng(seed).standard_normal(n) + 3.0
        repeats = max(5, min(2000, int(2e7 / n)))
        with tempfile.TemporaryDirectory() as d:
            src, dst = os.path.join(d, "x.bin"), os.path.join(d, "out.bin")
            x.tofile(src)
            out = subprocess.run([exe, src, str(n), str(repeats), dst], check=True, capture_output=True,
                                 text=True).stdout.split()
            got = np.fromfile(dst)
        nb = n // 2 + 1
        bins = got[: 2 * nb].view(np.complex128)
        psd = got[2 * nb:]
        f = np.fft.rfft(x)
        nperseg = min(n, 256)
        p = scipy.signal.welch(x, nperseg=nperseg)[1]
        err_f = np.max(np.abs(bins - f)) / np.max(np.abs(f))
        err_p = np.max(np.abs(psd - p)) / np.max(p)
        if err_f > 1e-12 or err_p > 1e-12:
            sys.exit(f"n={n}: values disagree (rfft {err_f:.2g}, welch {err_p:.2g})")
        rb, rm, wb, wm = (float(v) for v in out)
        nb_, nm = best_median(lambda: np.fft.rfft(x), repeats)
        sb, sm = best_median(lambda: scipy.signal.welch(x, nperseg=nperseg), repeats)
        rows.append([f"{n:.0e}", "rfft", common.fmt_ns(rm * 1e9), common.fmt_ns(nm * 1e9), f"{nm / rm:.2f}x"])
        rows.append([f"{n:.0e}", "welch_psd", common.fmt_ns(wm * 1e9), common.fmt_ns(sm * 1e9), f"{sm / wm:.2f}x"])
    print(common.table(["n", "routine", "native", "numpy/scipy", "speedup"], rows))


def calculators_section(mod, values, offsets):
    n_series = len(offsets) - 1
    print(f"\n2. Each calculator alone against the numpy/scipy/statsmodels loop ({n_series} series x 1,000, one thread)")
    rows = []
    for name in FAMILY:
        plan = [(name, common.PARAMS[name])]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            run.run_baseline(values, offsets[:2], plan)
            ref, loop_s, _ = run.run_baseline(values, offsets, plan)
        flat, _, w = mod.extract_batch(values, offsets, plan, 1)
        ok = np.isclose(np.asarray(flat).reshape(n_series, w), ref, rtol=1e-6, atol=1e-9, equal_nan=True)
        ns = min(mod.extract_batch_timed(values, offsets, plan)[3][0] for _ in range(3))
        loop_us, nat_us = loop_s / n_series * 1e6, ns / n_series / 1e3
        rows.append([name, len(plan[0][1]), f"{loop_us:,.1f}", f"{nat_us:,.2f}", f"{loop_us / nat_us:,.0f}x",
                     int(ok.size - ok.sum()) or ""])
    print(common.table(["calculator", "sets", "loop us/series", "native us/series", "ratio", "mismatch"], rows))


def scaling_section(mod, values, offsets, repeats, budget):
    plan = [(name, common.PARAMS[name]) for name in FAMILY]
    width = common.plan_width(plan)
    # Beside it, timed alternately so that all see the same machine: the
    # plan without the FFT group that run.py holds to the same targets, and
    # a plan of the family's width that does no work (`length`, which fills
    # one of its columns, with as many sets as the family has columns): the
    # serial part of a call, the making of the result's Python floats with
    # the interpreter lock held.
    control = common.build_plan(mod.implemented_calculators(), exclude=common.FFT_CALCULATORS | set(FAMILY))
    empty = [("length", [{}] * width)]
    n_series = len(offsets) - 1
    print(f"\n3. Parallel scaling of the family's plan ({width} columns, {n_series} series x 1,000), beside the "
          f"FFT-free plan ({len(control)} calculators) and an empty plan of the same width")
    wv, wo = common.subset(values, offsets, 64)
    for t in common.thread_counts():
        for p in (plan, control, empty):
            mod.extract_batch(wv, wo, p, t)
    rows, base = [], {}
    for t in common.thread_counts():
        # The family's and the empty plan's calls are short (tenths of a
        # second): more of them, so that the best escapes the machine's noise.
        best = {label: common.best_time(lambda: mod.extract_batch(values, offsets, p, t), r, budget)
                for label, p, r in (("family", plan, 3 * repeats), ("control", control, repeats),
                                    ("empty", empty, 3 * repeats))}
        compute = best["family"] - best["empty"]
        for label, v in (*best.items(), ("compute", compute)):
            base.setdefault(label, v)
        eff = {label: f"{100 * base[label] / v / t:.0f}%" for label, v in (*best.items(), ("compute", compute))}
        rows.append([t, f"{best['family']:.3f}", eff["family"], f"{best['empty']:.3f}", f"{compute:.3f}",
                     eff["compute"], f"{best['control']:.3f}", eff["control"]])
    print(common.table(["threads", "family s", "eff", "empty s", "family - empty", "eff", "FFT-free s", "eff"], rows))


def cost_section(sizes, samples, repeats):
    print(f"\n4. Cost per sample (extract_batch_timed, one thread, {samples:,} samples per size)")
    rows = scaling.measure(SCALING_CASES, sizes, samples, repeats)
    headers = ["case"] + [f"ns/sample n={n:.0e}" for n in sizes] + ["growth"]
    print(common.table(headers, [[label] + [f"{c:.2f}" for c in costs] + [f"{g:.2f}"] for label, costs, g in rows]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--exe", default=os.path.join("build", "spectral_bench"))
    ap.add_argument("--quick", action="store_true", help="fewer series and repeats")
    ap.add_argument("--seed", type=int, default=12345)
    args = ap.parse_args(argv)
    mod = common.load_module()
    n_series = 1000 if args.quick else 10_000
    values, offsets, _ = common.make_batch(n_series, 1000, args.seed)
    print(f"selquor_rs {mod.__version__}; {os.cpu_count()} CPUs; numpy {np.__version__}, scipy {scipy.__version__}; "
          f"load {os.getloadavg()[0]:.2f}")
    if os.path.exists(args.exe):
        routines_section(args.exe, [1000, 1_000_000], args.seed)
    else:
        print(f"\n1. skipped: {args.exe} not found (configure with -DSELQUOR_BUILD_BENCH=ON)")
    calculators_section(mod, *common.subset(values, offsets, 100 if args.quick else 300))
    scaling_section(mod, values, offsets, 1 if args.quick else 3, 60.0)
    cost_section([1000, 100_000], 200_000 if args.quick else 1_000_000, 1 if args.quick else 3)


if __name__ == "__main__":
    main()
