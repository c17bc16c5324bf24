"""The wavelet calculators: peak counts against scipy, coefficient cost by length, in one run.

    PYTHONPATH=build/python python bench/wavelet_vs_scipy.py [--repeats 15]

1. `number_cwt_peaks` with n = 1 and n = 5 on seeded 1,000-sample series
   against `scipy.signal.find_peaks_cwt(x, np.arange(1, n + 1))`, the same
   widths and filter settings (the counts are checked equal). Both are timed
   with time.perf_counter, best of the rounds, alternating short bursts.
2. `cwt_coefficients` with widths (2, 5, 10, 20) and coefficients 0..14
   (60 sets, one call) at 10^3, 10^4 and 10^5 samples: the calculator's own
   time (extract_batch_timed's count for the plan item, best of the rounds)
   per call and per sample, its growth from the smallest length, the whole
   compute_feature call (mostly the conversion of the 60 dicts), and the cost
   of the four full rows it does not compute (np.convolve of the series with
   the four resampled filters), which grows with the length.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import numpy as np
from scipy import signal


def load():
    try:
        from selquor_rs import compute_feature, extract_batch_timed
    except ImportError as exc:  # pragma: no cover - depends on the build tree
        sys.exit(f"cannot import selquor_rs ({exc}); build it and set PYTHONPATH=<build>/python")
    return compute_feature, extract_batch_timed


def best_of(fns, repeats: int, burst: int = 3) -> list[float]:
    """Best time of each callable over `repeats` rounds of short bursts, the
    callables interleaved so that all see the same load."""
    best = [math.inf] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            for _ in range(burst):
                t0 = time.perf_counter()
                fn()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best


def filters(widths):
    """The resampled, reversed wavelet integrals of the widths (for the full-row baseline)."""
    step = 16 / 4095
    x = np.arange(4096) * step - 8.0
    grid = np.cumsum((1 - x * x) * 0.8673250705840776 * np.exp(-0.5 * x * x)) * step
    out = []
    for a in widths:
        j = np.floor(np.arange(math.ceil(16 * a + 1)) / (step * a)).astype(np.int64)
        out.append(grid[j[j < 4096]][::-1].copy())
    return out


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeats", type=int, default=15)
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    compute_feature, extract_batch_timed = load()
    rng = np.random.default_rng(args.seed)

    print("number_cwt_peaks on 1,000 samples vs scipy.signal.find_peaks_cwt, "
          f"best of {args.repeats} rounds of 3 calls")
    print(f"{'series':8}{'n':>4}{'peaks':>7}{'selquor':>12}{'scipy':>12}{'speedup':>9}")
    t = np.arange(1000)
    series = {"noise": rng.standard_normal(1000),
              "sine": np.sin(t * 2 * np.pi / 50) + 0.3 * rng.standard_normal(1000)}
    for kind, x in series.items():
        for n in (1, 5):
            ours = compute_feature("number_cwt_peaks", x, [{"n": n}])[0]
            widths = np.arange(1, n + 1)
            theirs = len(signal.find_peaks_cwt(x, widths))
            if ours != theirs:
                sys.exit(f"{kind} n={n}: {ours} peaks, scipy finds {theirs}")
            t_ours, t_scipy = best_of([lambda: compute_feature("number_cwt_peaks", x, [{"n": n}]),
                                       lambda: signal.find_peaks_cwt(x, widths)], args.repeats)
            print(f"{kind:8}{n:4}{int(ours):7}{t_ours * 1e6:10.1f}us{t_scipy * 1e6:10.1f}us{t_scipy / t_ours:8.1f}x")

    widths = [2, 5, 10, 20]
    sets = [{"widths": widths, "w": w, "coeff": c} for w in widths for c in range(15)]
    fs = filters(widths)
    print()
    print(f"cwt_coefficients, widths {tuple(widths)}, coefficients 0..14 ({len(sets)} sets in one call)")
    print(f"{'samples':>8}{'calculator':>12}{'per sample':>12}{'growth':>8}{'whole call':>12}"
          f"{'4 full rows (numpy)':>22}")
    base = None
    plan = [("cwt_coefficients", sets)]
    for length in (1_000, 10_000, 100_000):
        x = rng.standard_normal(length)
        offsets = np.array([0, length], dtype=np.int64)
        own = math.inf

        def timed():
            nonlocal own
            own = min(own, extract_batch_timed(x, offsets, plan)[3][0] * 1e-9)

        t_call, t_rows, _ = best_of([lambda: compute_feature("cwt_coefficients", x, sets),
                                     lambda: [np.convolve(x, f) for f in fs], timed], args.repeats)
        base = base or own
        print(f"{length:8}{own * 1e6:10.1f}us{own / length * 1e9:10.3f}ns{own / base:7.2f}x{t_call * 1e6:10.1f}us"
              f"{t_rows * 1e6:20.1f}us")


if __name__ == "__main__":
    main()
