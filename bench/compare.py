"""A previous build against this one, side by side in one run.

    python bench/compare.py --old-python /path/to/old-venv/bin/python
        [--new-python PY] [--n-series N] [--length L] [--repeats R] [--quick]

Each build runs in its own interpreter (a venv with that build installed);
the measurements alternate between the two, and the best of R is kept for
each. The plan is the bench plan restricted to the calculators that both
builds implement, so that the two do the same work. Reported:

  1. the whole plan over N series on 1, 4 and all threads: old / new;
  2. the cost of each calculator in that plan (extract_batch_timed), old
     and new, its share of the new build's plan, with the per-series numpy
     loop of bench/run.py where it has one (numpy / new);
  3. the whole plan restricted to the calculators with a numpy loop, on one
     thread, against that loop: loop / new;
  4. change_quantiles with its 60 sets alone: old / new;
  5. parallel efficiency of the plan without the FFT group, both builds.

A build's values are checked against the other's before anything is timed:
every cell of --bits-series series must agree bit for bit (NaN matching NaN);
a difference is reported by calculator.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402


# --------------------------------------------------------------------------
# Worker: runs inside one build's interpreter and prints JSON.

def worker(args):
    mod = common.load_module()
    if args.task == "names":
        print(json.dumps({"implemented": list(mod.implemented_calculators())}))
    else:
        print(json.dumps(_measure(mod, args)))


def _measure(mod, args):
    names = args.names.split(",")
    plan = common.build_plan(names)
    values, offsets, _ = common.make_batch(args.n_series, args.length, args.seed)
    if args.task == "values":
        flat, n, w = mod.extract_batch(values, offsets, plan, 0)
        return {"bits": np.asarray(flat).view(np.uint64).tolist(),
                "columns": [name for name, sets in plan for _ in sets]}
    if args.task == "plan":
        t = args.threads
        mod.extract_batch(*common.subset(values, offsets, 16), plan, t)
        return {"s": common.best_time(lambda: mod.extract_batch(values, offsets, plan, t), 1, 0)}
    if args.task == "timed":
        v, o = common.subset(values, offsets, args.timed_series)
        best = None
        for _ in range(3):
            ns = mod.extract_batch_timed(v, o, plan)[3]
            best = ns if best is None else [min(a, b) for a, b in zip(best, ns)]
        return {"ns": [t / (len(o) - 1) for t in best]}
    if args.task == "threads":
        no_fft = [item for item in plan if item[0] not in common.FFT_CALCULATORS]
        out = {}
        for t in common.thread_counts():
            mod.extract_batch(*common.subset(values, offsets, 64), no_fft, t)
            out[t] = common.best_time(lambda: mod.extract_batch(values, offsets, no_fft, t), 2, 0)
        return out
    raise SystemExit(f"unknown task {args.task}")


def call(python, task, names, args, n_series, threads=1):
    cmd = [python, os.path.abspath(__file__), "--worker", task, "--names", ",".join(names),
           "--n-series", str(n_series), "--length", str(args.length), "--seed", str(args.seed),
           "--timed-series", str(args.timed_series), "--threads", str(threads)]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["OPENBLAS_NUM_THREADS"] = "1"
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env, cwd="/")
    return json.loads(out.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------

def _r(x: float) -> str:
    return f"{x:.1f}x" if x < 100 else f"{x:,.0f}x"


def numpy_loop(names, args):
    """Per-series seconds of the numpy loop of bench/run.py for each
    calculator of `names` that has one, over --baseline-series series."""
    import run
    plan = common.build_plan(names, only=run.BASELINE.keys())
    values, offsets, _ = common.make_batch(args.baseline_series, args.length, args.seed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run.run_baseline(values, offsets[:2], plan)
        _, total, spent = run.run_baseline(values, offsets, plan)
    n = args.baseline_series
    return [name for name, _ in plan], total / n, {name: s / n for (name, _), s in zip(plan, spent)}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--worker", default=None, help=argparse.SUPPRESS)
    ap.add_argument("--names", default="", help=argparse.SUPPRESS)
    ap.add_argument("--old-python", help="the interpreter of the venv holding the previous build (required)")
    ap.add_argument("--new-python", default=sys.executable)
    ap.add_argument("--n-series", type=int, default=10_000)
    ap.add_argument("--length", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--timed-series", type=int, default=500)
    ap.add_argument("--baseline-series", type=int, default=300)
    ap.add_argument("--bits-series", type=int, default=1000)
    ap.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    ap.add_argument("--quick", action="store_true", help="1,000 series, 2 repeats")
    args = ap.parse_args(argv)
    if args.worker:
        args.task = args.worker
        return worker(args)
    if not args.old_python:
        ap.error("--old-python is required")
    if args.quick:
        args.n_series, args.repeats = 1000, 2

    builds = {"old": args.old_python, "new": args.new_python}
    impl = {k: call(py, "names", [], args, 1)["implemented"] for k, py in builds.items()}
    names = [n for n in impl["new"] if n in set(impl["old"])]
    print(f"{len(names)} calculators in both builds; {args.n_series} series x {args.length} samples; "
          f"best of {args.repeats}, alternating; load {os.getloadavg()[0]:.2f}")

    got = {k: call(py, "values", names, args, args.bits_series) for k, py in builds.items()}
    a, b = (np.array(got[k]["bits"], dtype=np.uint64) for k in ("old", "new"))
    differ = (a != b) & ~(np.isnan(a.view(np.float64)) & np.isnan(b.view(np.float64)))
    print(f"values on {args.bits_series} series: {int(differ.sum())} of {a.size} cells differ between the builds")
    if differ.any():
        columns = np.array(got["new"]["columns"])
        bad = np.unique(columns[np.nonzero(differ.reshape(-1, columns.size))[1]])
        print(f"  in: {', '.join(bad)}")

    # 1. Whole plan at several thread counts.
    counts = sorted({1, 4, common.cpu_count()} & set(range(1, common.cpu_count() + 1)))
    print(f"\n1. Whole plan, {args.n_series} series, seconds")
    rows = []
    for t in counts:
        best = {"old": float("inf"), "new": float("inf")}
        for _ in range(args.repeats):
            for k, py in builds.items():
                best[k] = min(best[k], call(py, "plan", names, args, args.n_series, t)["s"])
        rows.append([str(t), f"{best['old']:.3f}", f"{best['new']:.3f}", _r(best["old"] / best["new"])])
    print(common.table(["threads", "old", "new", "old/new"], rows))

    # 2. Per calculator.
    ns = {k: call(py, "timed", names, args, args.timed_series)["ns"] for k, py in builds.items()}
    loop_names, loop_total, loop = numpy_loop(names, args)
    rows = []
    total_new = sum(ns["new"]) or 1
    for j, name in enumerate(names):
        o, n = ns["old"][j], ns["new"][j]
        lp = loop.get(name)
        rows.append((-n, [name, f"{o / 1e3:,.2f}", f"{n / 1e3:,.2f}", _r(o / n) if n else "-",
                          f"{100 * n / total_new:.1f}%",
                          f"{lp * 1e6:,.1f}" if lp else "", _r(lp * 1e9 / n) if lp and n else ""]))
    rows.sort()
    print(f"\n2. Per calculator (extract_batch_timed, {args.timed_series} series; numpy loop "
          f"{args.baseline_series} series), us per series")
    print(common.table(["calculator", "old", "new", "old/new", "share", "numpy", "numpy/new"], [r[1] for r in rows]))
    slow = [r[1][0] for r in rows if r[1][6] and float(r[1][6].rstrip("x").replace(",", "")) < 3]
    print(f"  below 3x the numpy loop: {', '.join(slow) or 'none'}")
    print(f"  old {sum(ns['old']) / 1e3:,.1f} us, new {sum(ns['new']) / 1e3:,.1f} us per series in all "
          f"({_r(sum(ns['old']) / sum(ns['new']))})")

    # 3. Against the numpy loop, whole plan.
    t = min(call(builds["new"], "plan", loop_names, args, args.n_series)["s"] for _ in range(args.repeats))
    print(f"\n3. Plan of the {len(loop_names)} calculators with a numpy loop: loop {loop_total * 1e6:,.0f} us/series, "
          f"new {1e6 * t / args.n_series:,.1f} us/series on one thread: {_r(loop_total * args.n_series / t)}")

    # 4. change_quantiles alone.
    cq = {"old": float("inf"), "new": float("inf")}
    for _ in range(args.repeats):
        for k, py in builds.items():
            cq[k] = min(cq[k], call(py, "plan", ["change_quantiles"], args, args.n_series)["s"])
    print(f"\n4. change_quantiles, {len(common.PARAMS['change_quantiles'])} sets: old "
          f"{1e6 * cq['old'] / args.n_series:,.1f}, new {1e6 * cq['new'] / args.n_series:,.1f} us/series: "
          f"{_r(cq['old'] / cq['new'])}")

    # 5. Parallel efficiency.
    print("\n5. Parallel efficiency, plan without the FFT group (targets: >= 85% at 4 threads, >= 75% at all cores)")
    rows = []
    for k, py in builds.items():
        res = {int(t): s for t, s in call(py, "threads", names, args, args.n_series).items()}
        rows.append([k] + [f"{100 * res[1] / (s * t):.0f}% ({s:.2f} s)" for t, s in sorted(res.items())])
    print(common.table(["build"] + [f"{t} threads" for t in common.thread_counts()], rows))


if __name__ == "__main__":
    sys.exit(main())
