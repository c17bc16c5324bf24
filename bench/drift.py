"""The drift fit's two calculators, a previous build against this one.

    python bench/drift.py --old-python /path/to/old-venv/bin/python [--repeats R]

Each case runs in both builds' interpreters in turn (one thread), the best of
R kept for each, after checking that the two give the same bits:

  - friedrich_coefficients and max_langevin_fixed_point with the bench
    plan's sets, alone and together in one plan, on 200 series of 1,000;
  - max_langevin_fixed_point on series at a level of 1e5 (large roots);
  - single calls with bin counts below the scan's former limit (65,536) and
    far above it, on 10^4 samples.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import common  # noqa: E402

FRIEDRICH = ("friedrich_coefficients", common.PARAMS["friedrich_coefficients"])
LANGEVIN = ("max_langevin_fixed_point", common.PARAMS["max_langevin_fixed_point"])


def cases():
    values, offsets, _ = common.make_batch(200, 1000, 7)
    shifted = values + 1e5
    long = np.random.default_rng(3).standard_normal(10_000)
    out = {
        "friedrich alone": ("batch", values, offsets, [FRIEDRICH]),
        "langevin alone": ("batch", values, offsets, [LANGEVIN]),
        "both in one plan": ("batch", values, offsets, [FRIEDRICH, LANGEVIN]),
        "langevin, level 1e5": ("batch", shifted, offsets, [LANGEVIN]),
    }
    for r in (30, 65_536, 10**6, 2**40):
        out[f"friedrich r={r}, n=10^4"] = ("call", long, None, [("friedrich_coefficients",
                                                                  [{"m": 3, "r": r, "coeff": 0}])])
    return out


def worker(repeats):
    mod = common.load_module()
    result = {}
    for name, (kind, values, offsets, plan) in cases().items():
        if kind == "batch":
            def once():
                return mod.extract_batch(values, offsets, plan, 1)[0]
        else:
            def once():
                return mod.compute_feature(plan[0][0], values, plan[0][1])
        got = np.asarray(once(), dtype=np.float64)
        best = float("inf")
        for _ in range(repeats):
            t = time.perf_counter()
            once()
            best = min(best, time.perf_counter() - t)
        result[name] = {"seconds": best, "bits": got.view(np.uint64).tolist()}
    print(json.dumps(result))


def run(python, repeats):
    env = dict(os.environ, PYTHONPATH="")
    out = subprocess.run([python, __file__, "--worker", "--repeats", str(repeats)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--old-python", required=False)
    ap.add_argument("--new-python", default=sys.executable)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--worker", action="store_true")
    args = ap.parse_args()
    if args.worker:
        return worker(args.repeats)
    # Alternate the builds, keeping each one's best.
    old, new = {}, {}
    for _ in range(3):
        for store, py in ((old, args.old_python), (new, args.new_python)):
            for name, r in run(py, args.repeats).items():
                if name not in store or r["seconds"] < store[name]["seconds"]:
                    store[name] = r
    print(f"{'case':34s} {'old ms':>10s} {'new ms':>10s} {'old/new':>8s}  bits")
    for name in new:
        o, n = old[name], new[name]
        same = "same" if o["bits"] == n["bits"] else "DIFFER"
        print(f"{name:34s} {o['seconds'] * 1e3:10.3f} {n['seconds'] * 1e3:10.3f} "
              f"{o['seconds'] / n['seconds']:8.2f}  {same}")


if __name__ == "__main__":
    main()
