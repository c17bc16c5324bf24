"""Cost per sample of single calculators against the series length.

    PYTHONPATH=build/python python bench/scaling.py [--only NAME[,NAME...]]
        [--sizes 1000,1000000] [--samples S] [--repeats R] [--seed S]

Each case is a calculator name with its list of parameter dicts; it runs
alone through `extract_batch_timed` (one thread, only the calculator call is
timed) on a batch of S samples in total, cut into series of each size, and
the best of R runs is reported as nanoseconds per sample. The growth column
is the cost per sample at the largest size over that at the smallest: about
1 for a linear calculator, about log(n_max)/log(n_min) for one that sorts,
and n_max/n_min for a quadratic one.

A family adds its calculators by appending (name, params) tuples to CASES.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402

# --------------------------------------------------------------------------
# Cases: (calculator name, list of parameter dicts). A scalar calculator
# takes [{}]. Several dicts in one case measure the whole call (work shared
# across the sets included), not one set.

CASES: list[tuple[str, list[dict]]] = [
    # Counts, reoccurrence and duplicates.
    ("count_above", [{"t": 0.0}]),
    ("count_below", [{"t": 0.0}]),
    ("value_count", [{"value": 0.0}]),
    ("value_count", [{}]),  # counts the NaNs
    ("range_count", [{"min": -1.0, "max": 1.0}]),
    ("ratio_beyond_r_sigma", [{"r": 1.0}]),
    ("count_above_mean", [{}]),
    ("count_below_mean", [{}]),
    ("has_duplicate", [{}]),
    ("has_duplicate_max", [{}]),
    ("has_duplicate_min", [{}]),
    ("percentage_of_reoccurring_datapoints_to_all_datapoints", [{}]),
    ("percentage_of_reoccurring_values_to_all_values", [{}]),
    ("sum_of_reoccurring_data_points", [{}]),
    ("sum_of_reoccurring_values", [{}]),
    ("ratio_value_number_to_time_series_length", [{}]),
    # Peaks, strikes, crossings and quantiles. Supports up to 16 are checked
    # directly, larger ones through runs whose cost does not grow with the
    # support; n=200000 exceeds half of 10^3 samples and returns at once
    # there, so only its 10^6 column is a cost.
    ("number_peaks", [{"n": 1}]),
    ("number_peaks", [{"n": 10}]),
    ("number_peaks", [{"n": 50}]),
    ("number_peaks", [{"n": 400}]),
    ("number_peaks", [{"n": 200_000}]),
    ("number_crossing_m", [{"m": 0.0}]),
    ("longest_strike_above_mean", [{}]),
    ("longest_strike_below_mean", [{}]),
    ("quantile", [{"q": 0.3}]),
    ("change_quantiles", [{"ql": 0.2, "qh": 0.8, "isabs": True, "f_agg": "mean"}]),
    ("change_quantiles", [{"ql": 0.0, "qh": 1.0, "isabs": False, "f_agg": "median"}]),
    ("index_mass_quantile", [{"q": 0.5}]),
    ("index_mass_quantile", [{"q": q / 10} for q in range(1, 10)]),  # one shared mass, nine levels
    ("symmetry_looking", [{"r": 0.1}]),
    ("large_standard_deviation", [{"r": 0.2}]),
    # Other calculators. query_similarity_count costs O(len(query)) per
    # window; the huge num_segments shows the chunk bounds cost nothing.
    ("benford_correlation", [{}]),
    ("energy_ratio_by_chunks", [{"num_segments": 10, "segment_focus": 3}]),
    ("energy_ratio_by_chunks", [{"num_segments": 10, "segment_focus": i} for i in range(10)]),  # one total
    ("energy_ratio_by_chunks", [{"num_segments": 1e300, "segment_focus": 5}]),
    ("query_similarity_count", [{"query": [0.0, 1.0, -1.0], "threshold": 1.0}]),
    ("query_similarity_count", [{"query": [0, 1, 2, 1, 0, -1, -2, -1], "threshold": 2.0}]),
    ("query_similarity_count", [{"query": [0, 1, 2, 1, 0, -1, -2, -1], "threshold": 2.0, "normalize": False}]),
    ("mean_n_absolute_max", [{"number_of_maxima": 7}]),
    ("mean_n_absolute_max", [{"number_of_maxima": 500}]),
    ("cid_ce", [{"normalize": True}]),
    ("cid_ce", [{"normalize": False}]),
    # Entropies. Linear but for the sort of bin numbers or pattern codes when
    # those outnumber the series; approximate_entropy and sample_entropy
    # compare all pairs of templates (quadratic), so bench/entropy_vs_numpy.py
    # measures them at 10^3 and 10^5 samples instead.
    ("binned_entropy", [{"max_bins": 10}]),
    ("binned_entropy", [{"max_bins": 2**62}]),  # occupied bins only
    ("permutation_entropy", [{"tau": 1, "dimension": d} for d in (3, 4, 5, 6, 7)]),
    ("lempel_ziv_complexity", [{"bins": b} for b in (2, 3, 5, 10, 100)]),
    # Trend and regression. The unit-root test's lag bound grows as n^(1/4)
    # and its search costs O(n maxlag^2); ar_coefficient and the drift
    # polynomial are O(n k^2) and O(n log n); the rest are linear.
    ("linear_trend", [{"attr": a} for a in ("slope", "intercept", "rvalue", "pvalue", "stderr")]),
    ("agg_linear_trend", common.PARAMS["agg_linear_trend"]),
    ("ar_coefficient", common.PARAMS["ar_coefficient"]),
    ("augmented_dickey_fuller", common.PARAMS["augmented_dickey_fuller"]),
    ("augmented_dickey_fuller", [{"attr": "teststat", "autolag": m} for m in ("AIC", "BIC", "t-stat", None)]),
    ("friedrich_coefficients", common.PARAMS["friedrich_coefficients"]),
    ("max_langevin_fixed_point", common.PARAMS["max_langevin_fixed_point"]),
]


def case_label(name, params):
    if params == [{}]:
        return name
    if len(params) == 1:
        inner = ", ".join(f"{k}={v}" for k, v in params[0].items())
        return f"{name}({inner})"
    return f"{name}[{len(params)} sets]"


def make_series(total, length, seed):
    """total // length series of `length` samples: a random walk with
    noise, rounded to 1e-3 so that long series hold ties as real data do."""
    n_series = max(1, total // length)
    rng = np.random.default_rng(seed)
    steps = rng.standard_normal((n_series, length))
    walk = 0.05 * np.cumsum(steps, axis=1) + steps
    values = np.ascontiguousarray(np.round(walk, 3).reshape(-1))
    offsets = np.arange(n_series + 1, dtype=np.int64) * length
    return values, offsets


def cost_per_sample(mod, case, data, repeats):
    """Best nanoseconds per sample of `case` over `data` in `repeats` runs."""
    values, offsets = data
    best = float("inf")
    for _ in range(max(1, repeats)):
        _, _, _, ns = mod.extract_batch_timed(values, offsets, [case])
        best = min(best, ns[0] / values.size)
    return best


def measure(cases, sizes=(1000, 1_000_000), samples=1_000_000, repeats=3, seed=0):
    """Rows (label, cost per sample at each size, growth) for every case."""
    mod = common.load_module()
    data = {n: make_series(max(samples, n), n, seed) for n in sizes}
    rows = []
    for name, params in cases:
        costs = [cost_per_sample(mod, (name, params), data[n], repeats) for n in sizes]
        growth = costs[-1] / costs[0] if costs[0] > 0 else float("nan")
        rows.append((case_label(name, params), costs, growth))
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", help="comma-separated calculator names")
    ap.add_argument("--sizes", default="1000,1000000", help="comma-separated series lengths")
    ap.add_argument("--samples", type=int, default=1_000_000, help="samples per batch")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)

    sizes = [int(s) for s in args.sizes.split(",")]
    cases = CASES
    if args.only:
        wanted = set(args.only.split(","))
        cases = [c for c in CASES if c[0] in wanted]
    rows = measure(cases, sizes, args.samples, args.repeats, args.seed)
    headers = ["case"] + [f"ns/sample n={n:.0e}".replace("+0", "") for n in sizes] + ["growth"]
    body = [[label] + [f"{c:.2f}" for c in costs] + [f"{g:.2f}"] for label, costs, g in rows]
    print(common.table(headers, body))


if __name__ == "__main__":
    main()
