"""The two template entropies of the bench plan in one row, a previous build against this one.

    python bench/template_entropies.py --old-python /path/to/old-venv/bin/python
        [--new-python PY] [--sizes 1000,10000,100000] [--repeats 7] [--rounds 3]

One series per size (white noise plus a slow sine), the plan's
approximate_entropy (m = 2, five tolerances) and sample_entropy together in
one extract_batch row on one thread. Each build runs in its own interpreter;
the two alternate for --rounds rounds and the best time of each is kept.
Their values must agree bit for bit. Reported: the cost per sample of each
build and old / new.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

WORKER = r"""
import json, sys, time
import numpy as np
from selquor_rs import extract_batch
n, repeats = int(sys.argv[1]), int(sys.argv[2])
x = np.random.default_rng(3).standard_normal(n) + np.sin(np.arange(n) * 0.05)
offsets = np.array([0, n], dtype=np.int64)
plan = [("approximate_entropy", [{"m": 2, "r": r} for r in (0.1, 0.3, 0.5, 0.7, 0.9)]), ("sample_entropy", [{}])]
best = float("inf")
for _ in range(repeats):
    t0 = time.perf_counter()
    flat = extract_batch(x, offsets, plan, 1)[0]
    best = min(best, time.perf_counter() - t0)
print(json.dumps({"s": best, "bits": np.asarray(flat).view(np.uint64).tolist()}))
"""


def run(python, n, repeats):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["OPENBLAS_NUM_THREADS"] = "1"
    out = subprocess.run([python, "-c", WORKER, str(n), str(repeats)], check=True, capture_output=True, text=True,
                         env=env, cwd="/")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--old-python", required=True)
    ap.add_argument("--new-python", default=sys.executable)
    ap.add_argument("--sizes", default="1000,10000,100000")
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args(argv)
    print(f"approximate_entropy (5 sets) + sample_entropy, one row, one thread; load {os.getloadavg()[0]:.2f}")
    print(f"{'samples':>9}{'old ns/sample':>16}{'new ns/sample':>16}{'old / new':>11}")
    for n in (int(s) for s in args.sizes.split(",") if s):
        # The quadratic sizes get fewer repeats: one call at 10^5 takes seconds.
        repeats, rounds = (args.repeats, args.rounds) if n <= 20000 else (1, 1)
        best = {}
        for _ in range(rounds):
            for name, python in (("old", args.old_python), ("new", args.new_python)):
                got = run(python, n, repeats)
                if name in best and got["bits"] != best[name]["bits"]:
                    sys.exit(f"{name} build: values differ between runs at n={n}")
                if name not in best or got["s"] < best[name]["s"]:
                    best[name] = got
        if best["old"]["bits"] != best["new"]["bits"]:
            sys.exit(f"the builds' values differ at n={n}")
        old, new = best["old"]["s"], best["new"]["s"]
        print(f"{n:>9,}{old / n * 1e9:>16,.0f}{new / n * 1e9:>16,.0f}{old / new:>10.2f}x")


if __name__ == "__main__":
    main()
