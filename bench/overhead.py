"""Fixed cost of a batch call and of a cell, and (with --memory) proof that
a batch does not copy its input.

    PYTHONPATH=build/python python bench/overhead.py [--iterations N] [--memory]

Cost per cell: extract_batch over many one-sample series with a plan of
items that do no work (`length`, one set each); the time per cell is the
fixed cost of a plan item on a row (the calculator call, its answer, the
copy) plus the making of the Python float and its list slot, which is
measured apart by converting a float64 array of the same size to a list.

Call overhead: extract_batch over one series of 10 samples with the plan
[("mean", [{}])] against compute_feature("mean", x, []) doing the same work;
target ratio <= 3.

Fixed costs (--fixed): extract_batch's cost per call (one series of 10
samples, plan [("mean", [{}])]) and per row (the same plan over 200,000
one-sample series: (t(200,000 rows) - t(1 row)) / 199,999, on one thread
and on all), and the extreme and location calculators over 2,000 series of
1,000 samples on one thread. With --against PYTHON the same measurements
run in that interpreter too (another build of the module in another venv),
alternating between the two, and the table shows both side by side:

    python bench/overhead.py --fixed --against /path/to/other/venv/bin/python

Memory (--memory, needs about 1.2 GB): ~1 GB of samples (125M doubles in
5,000 series) with a tiny plan; the peak resident set during the call,
over the resident set just before it, is compared with the size of the
output matrix. A copied input would show up as a ~1 GB rise.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


def per_call(fn, iterations: int, rounds: int = 5) -> float:
    """Best over `rounds` of the mean seconds per call of fn()."""
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(iterations):
            fn()
        best = min(best, (time.perf_counter() - t0) / iterations)
    return best


def overhead(mod, iterations: int):
    x = np.array([0.5, 1.5, -2.0, 3.25, 4.0, -1.0, 2.5, 0.0, 7.5, -3.5])
    offsets = np.array([0, len(x)], dtype=np.int64)
    plan = [("mean", [{}])]
    assert mod.extract_batch(x, offsets, plan)[0] == mod.compute_feature("mean", x, [])

    single = per_call(lambda: mod.compute_feature("mean", x, []), iterations)
    batch = per_call(lambda: mod.extract_batch(x, offsets, plan), iterations)
    batch_kw = per_call(lambda: mod.extract_batch(x, offsets, plan, n_threads=0), iterations)
    timed = per_call(lambda: mod.extract_batch_timed(x, offsets, plan), iterations)
    one = per_call(lambda: mod.extract_batch(x, offsets, plan, 1), max(1, iterations // 10))

    print(f"Call overhead: 'mean' over 10 samples, best of 5 rounds of {iterations:,} calls")
    rows = [
        ["compute_feature(name, x, [])", f"{single * 1e9:,.0f}", "1.00"],
        ["extract_batch(values, offsets, plan)", f"{batch * 1e9:,.0f}", f"{batch / single:.2f}"],
        ["extract_batch(..., n_threads=0)", f"{batch_kw * 1e9:,.0f}", f"{batch_kw / single:.2f}"],
        ["extract_batch_timed(values, offsets, plan)", f"{timed * 1e9:,.0f}", f"{timed / single:.2f}"],
        ["extract_batch(..., 1)  [dedicated pool]", f"{one * 1e9:,.0f}", f"{one / single:.2f}"],
    ]
    print(common.table(["call", "ns per call", "vs compute_feature"], rows))
    ratio = batch / single
    print(f"  extract_batch / compute_feature = {ratio:.2f} (target <= 3: {'met' if ratio <= 3 else 'MISSED'})")


def per_cell(mod, n_series: int = 20_000, widths=(1, 10, 100)):
    print(f"\nCost per cell: one-sample series, plans of `length` items ({n_series:,} rows, one thread)")
    rows = []
    for w in widths:
        values = np.ones(n_series)
        offsets = np.arange(n_series + 1, dtype=np.int64)
        plan = [("length", [{}])] * w
        cells = n_series * w
        mod.extract_batch(values, offsets, plan, 1)
        batch = common.best_time(lambda: mod.extract_batch(values, offsets, plan, 1), 7, 10.0) / cells
        flat = np.ones(cells)
        floats = common.best_time(flat.tolist, 7, 10.0) / cells
        rows.append([w, f"{batch * 1e9:.1f}", f"{floats * 1e9:.1f}", f"{(batch - floats) * 1e9:.1f}"])
    print(common.table(["items a row", "ns per cell", "Python floats + list", "the rest"], rows))


EXTREMES = ["maximum", "minimum", "absolute_maximum", "first_location_of_maximum", "first_location_of_minimum",
            "last_location_of_maximum", "last_location_of_minimum"]


def fixed_costs(mod, iterations: int) -> dict:
    """Nanoseconds: per call, per row (one thread and all threads), and per
    series of 1,000 samples for the extreme and location calculators."""
    x = np.arange(10.0)
    one = np.array([0, 10], dtype=np.int64)
    plan = [("mean", [{}])]
    rows = 200_000
    flat = np.random.default_rng(3).standard_normal(rows)
    many = np.arange(rows + 1, dtype=np.int64)
    call = per_call(lambda: mod.extract_batch(x, one, plan), iterations)
    out = {"per call": call * 1e9}
    for label, n_threads in (("per row, 1 thread", 1), ("per row, all threads", 0)):
        first = per_call(lambda: mod.extract_batch(flat[:1], many[:2], plan, n_threads), iterations // 10)
        full = per_call(lambda: mod.extract_batch(flat, many, plan, n_threads), 3)
        out[label] = (full - first) / (rows - 1) * 1e9
    values, offsets, _ = common.make_batch(2_000, 1_000, seed=11)
    extremes = [(name, [{}]) for name in EXTREMES]
    out["7 extremes, per 1,000-sample series"] = (
        per_call(lambda: mod.extract_batch(values, offsets, extremes, 1), 3) / 2_000 * 1e9)
    return out


def compare(iterations: int, other: str, rounds: int):
    """Best of `rounds` alternating runs of fixed_costs here and in `other`."""
    runs = {"this build": sys.executable, "other build": other}
    best: dict = {}
    for _ in range(rounds):
        for label, python in runs.items():
            out = subprocess.run([python, os.path.abspath(__file__), "--json", "--iterations", str(iterations)],
                                 check=True, capture_output=True, text=True).stdout
            for key, ns in json.loads(out).items():
                best.setdefault(key, {}).setdefault(label, ns)
                best[key][label] = min(best[key][label], ns)
    print(f"Fixed costs of extract_batch, ns, best of {rounds} alternating runs "
          f"(this build: {sys.executable}; other: {other})")
    rows = [[key, f"{v['other build']:,.1f}", f"{v['this build']:,.1f}", f"{v['this build'] / v['other build']:.3f}"]
            for key, v in best.items()]
    print(common.table(["cost", "other build", "this build", "this / other"], rows))


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def _reset_peak() -> bool:
    """Resets VmHWM to the current RSS (Linux >= 4.0); False where refused."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _peak_kib() -> int:
    hwm = _status_kib("VmHWM")
    return hwm if hwm is not None else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory(mod, n_series: int, length: int):
    print(f"\nMemory: {n_series:,} series x {length:,} samples "
          f"({n_series * length * 8 / 2**30:.2f} GiB of float64)")
    values = np.empty(n_series * length)
    # Fill in slices to keep the generator's own scratch small.
    rng = np.random.default_rng(7)
    step = 1 << 22
    for i in range(0, values.size, step):
        values[i: i + step] = rng.standard_normal(min(step, values.size - i))
    offsets = np.arange(n_series + 1, dtype=np.int64) * length
    plan = [("mean", [{}]), ("maximum", [{}]), ("abs_energy", [{}])]
    width = common.plan_width(plan)
    matrix = n_series * width * 8
    # The returned list: a pointer and a float object (24 bytes) per cell.
    as_list = n_series * width * (8 + 24)
    print(f"  output matrix {matrix / 1024:,.0f} KiB ({n_series} x {width}); "
          f"as a Python list about {as_list / 1024:,.0f} KiB")

    rows = []
    for label, call in (
        ("extract_batch, all threads", lambda: mod.extract_batch(values, offsets, plan)),
        ("extract_batch_timed", lambda: mod.extract_batch_timed(values, offsets, plan)),
    ):
        gc.collect()
        exact = _reset_peak()
        before_rss = _status_kib("VmRSS") or 0
        before_peak = _peak_kib()
        result = call()
        peak = _peak_kib()
        base = before_rss if exact else before_peak
        rise = max(0, peak - base)
        rows.append([label, f"{before_rss / 1024:,.0f}", f"{peak / 1024:,.0f}", f"{rise:,}",
                     f"{rise * 1024 / matrix:.1f}x", "VmHWM reset" if exact else "peak since start"])
        del result
    print(common.table(["call", "RSS before MiB", "peak MiB", "peak rise KiB", "rise / matrix", "method"],
                       rows))
    data_kib = values.nbytes // 1024
    worst = max(int(r[3].replace(",", "")) for r in rows)
    print(f"  largest rise {worst:,} KiB against {data_kib:,} KiB of input: "
          f"{'no copy of the input' if worst < data_kib // 10 else 'the input looks COPIED'}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--iterations", type=int, default=100_000)
    ap.add_argument("--memory", action="store_true", help="run the ~1 GB no-copy check")
    ap.add_argument("--mem-series", type=int, default=5_000)
    ap.add_argument("--mem-length", type=int, default=25_000)
    ap.add_argument("--fixed", action="store_true", help="fixed costs per call and per row")
    ap.add_argument("--against", metavar="PYTHON", help="with --fixed: also in this interpreter, side by side")
    ap.add_argument("--rounds", type=int, default=5, help="alternating runs for --against")
    ap.add_argument("--json", action="store_true", help=argparse.SUPPRESS)  # one run of --fixed, for --against
    args = ap.parse_args(argv)

    if args.against:
        compare(args.iterations, args.against, args.rounds)
        return
    mod = common.load_module()
    if args.json:
        print(json.dumps(fixed_costs(mod, args.iterations)))
        return
    if args.fixed:
        costs = fixed_costs(mod, args.iterations)
        print(common.table(["cost", "ns"], [[k, f"{v:,.1f}"] for k, v in costs.items()]))
        return
    overhead(mod, args.iterations)
    per_cell(mod)
    if args.memory:
        memory(mod, args.mem_series, args.mem_length)


if __name__ == "__main__":
    main()
