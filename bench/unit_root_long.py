"""The unit-root test and the autoregression on long series: two builds side by side.

    python bench/unit_root_long.py --old-python /path/to/old-venv/bin/python
        [--new-python PY] [--sizes 1000,10000,100000] [--samples S] [--repeats R]

Each build runs in its own interpreter; the runs alternate between the two
and the best of R is kept for each. Every case is timed alone through
`extract_batch_timed` (one thread) on bench/scaling.py's series, cut into
series of each size, and reported as nanoseconds per sample with old / new.
The two builds' values are compared bit for bit first.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

CASES = [
    ("augmented_dickey_fuller", [{"attr": a, "autolag": "AIC"} for a in ("teststat", "pvalue", "usedlag")]),
    ("augmented_dickey_fuller", [{"attr": "teststat", "autolag": m} for m in ("AIC", "BIC", "t-stat", None)]),
    ("ar_coefficient", [{"coeff": c, "k": 10} for c in range(11)]),
]


def worker(sizes, samples, repeats):
    """Runs in a build's interpreter: values and cost per sample of every case at every size."""
    sys.path.insert(0, HERE)
    import common
    import scaling
    mod = common.load_module()
    out = []
    for n in sizes:
        data = scaling.make_series(max(samples, n), n, 0)
        for name, params in CASES:
            values = mod.extract_batch(data[0], data[1], [(name, params)])[0]
            cost = scaling.cost_per_sample(mod, (name, params), data, repeats)
            out.append({"n": n, "case": scaling.case_label(name, params), "values": [repr(v) for v in values],
                        "ns": cost})
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--old-python", help="the interpreter of the venv holding the previous build")
    ap.add_argument("--new-python", default=sys.executable)
    ap.add_argument("--sizes", default="1000,10000,100000")
    ap.add_argument("--samples", type=int, default=200_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.worker:
        print(json.dumps(worker(sizes, args.samples, 1)))
        return
    if not args.old_python:
        ap.error("--old-python is required")
    cmd = [__file__, "--worker", "--sizes", args.sizes, "--samples", str(args.samples)]
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    best = {}
    for _ in range(args.repeats):
        for side, py in (("old", args.old_python), ("new", args.new_python)):
            rows = json.loads(subprocess.run([py, *cmd], capture_output=True, text=True, check=True, env=env).stdout)
            for r in rows:
                key = (r["n"], r["case"])
                prev = best.setdefault(side, {}).get(key)
                if prev is not None and prev["values"] != r["values"]:
                    print(f"values of {key} changed between runs of the {side} build")
                if prev is None or r["ns"] < prev["ns"]:
                    best[side][key] = r
    print(f"{'case':44s} {'n':>7s} {'old ns/sample':>14s} {'new ns/sample':>14s} {'old/new':>8s}  bits")
    for key in best["new"]:
        o, n = best["old"][key], best["new"][key]
        same = "same" if o["values"] == n["values"] else "DIFFER"
        print(f"{key[1]:44s} {key[0]:7d} {o['ns']:14.1f} {n['ns']:14.1f} {o['ns'] / n['ns']:8.2f}  {same}")


if __name__ == "__main__":
    main()
