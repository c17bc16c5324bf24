"""Work shared across the sets of a call and the items of a batch row (a
sorted copy, a corridor's changes, peak supports, window distances, moments,
drift fits, template matches) gives each set's own bits: each set alone, all
sets of its calculator in one call, and inside a batch of the whole plan in
both orders (so a shared quantity is made first by one calculator, then by
another). Every other calculator runs with its defaults, its batch cells the
bits of its own call."""
import numpy as np
import pytest

from conftest import INF, NAN, NEG_NAN, bits
from selquor_rs import compute_feature, extract_batch, implemented_calculators

TINY = 5e-324  # the smallest subnormal


def adversarial_series():
    rng = np.random.default_rng(99)
    specials = np.array([NAN, NEG_NAN, INF, -INF, 0.0, -0.0, TINY, -TINY, 1e-310, 1e200, -1e300, 1.0, 1.0])
    out = [np.array([]), np.array([NEG_NAN]), np.array([0.0, -0.0]), np.array([1.0, 2.0, 1.0]),
           np.full(7, 2.5), np.full(9, 0.1), np.array([1e200, -1e200, 1e200, 3.0]), np.array([INF, -INF, INF]),
           np.array([-0.0, 0.0] * 6), np.array([TINY, 0.0, -TINY, 2 * TINY] * 4)]
    for n in (3, 5, 17, 100, 2500):
        noise = rng.standard_normal(n)
        out.append(noise)
        out.append(np.round(noise * 2) / 2)  # many ties
        out.append(np.cumsum(noise))
        spiked = noise.copy()
        at = rng.integers(0, n, size=max(1, n // 10))
        spiked[at] = rng.choice(specials, size=at.size)
        out.append(spiked)
        out.append(np.abs(np.sin(np.arange(n) / 3.0)) * 1e-308)  # subnormal tails
    long = np.round(rng.standard_normal(9000) * 8)  # long enough for a lone quantile to be a selection
    long[::997] = INF
    out.append(long)
    return out


SERIES = adversarial_series()

QUERY = [0.0, 1.0, 0.5, -1.0]
# Repeated, NaN, out-of-range and missing values throughout; sets of one
# calculator that share work sit next to sets that must not share it.
PLAN = [
    ("quantile", [{"q": q} for q in (0.1, 0.5, 0.5, NAN, -1.0, 2.0, 0.0, 1.0, 0.999, 1e-17)] + [{}, {"q": True}]),
    ("change_quantiles", [
        {"ql": ql, "qh": qh, "isabs": isabs, "f_agg": f}
        for ql, qh in ((0.0, 1.0), (0.2, 0.8), (0.2, 0.8), (0.5, 0.5), (0.8, 0.2), (NAN, 0.6), (0.1, NAN),
                       (-3.0, 7.0), (0.0, 0.3))
        for isabs in (False, True, 1)
        for f in ("mean", "var", "std", "median", "nanvar", "sum", "max", "argmin", "bogus")
    ] + [{}, {"qh": 1.0, "f_agg": "mean"}]),
    ("index_mass_quantile", [{"q": q} for q in (0.0, 0.1, 0.5, 0.5, 1.0, 1.5, -1.0, NAN)] + [{}]),
    ("symmetry_looking", [{"r": r} for r in (0.0, 0.05, 0.05, 0.5, 1.0, -1.0, NAN, INF)] + [{}]),
    ("large_standard_deviation", [{"r": r} for r in (0.0, 0.2, 0.25, 0.25, 1.0, -1.0, NAN, INF)] + [{}]),
    ("mean_n_absolute_max", [{"number_of_maxima": k}
                             for k in (1, 3, 3, 2.7, 0, -1, 16, 99, 2499, 2**63 - 1, 1e300, NAN, "3")] + [{}]),
    ("number_peaks", [{"n": s} for s in (1, 1, 2, 3, 5, 16, 17, 50, 1249, 0, -1, 2**63 - 1, NAN)] + [{}]),
    ("query_similarity_count", [
        {"query": q, "normalize": norm, "threshold": t}
        for q in (QUERY, [1.0, 1.0, 1.0], [0.0, NAN, 1.0])
        for norm in (True, False)
        for t in (0.0, 0.5, 1.5, 1.5, INF, NAN)
    ] + [{"query": QUERY}, {"query": QUERY[:2]}, {"query": [1, 2, 3], "normalize": 0, "threshold": 2}, {}]),
    ("ratio_beyond_r_sigma", [{"r": r} for r in (0.0, 1.0, 1.0, 2.5, -1.0, NAN, INF)] + [{}]),
    ("cid_ce", [{"normalize": True}, {"normalize": False}, {"normalize": 1}, {}]),
    ("energy_ratio_by_chunks", [{"num_segments": 3, "segment_focus": f} for f in (0, 1, 2, 2, 5)]),
    ("binned_entropy", [{"max_bins": b} for b in (3, -2, 3, 10, 0, 1e300)] + [{}]),
    # Shared filter tables, merged coefficient runs, widths grouped by key (an IntList equal to a FloatList).
    ("cwt_coefficients", [{"widths": ws, "w": w, "coeff": c} for ws in ([2, 5, 20], [20.0, 5.0, 2.0], [5, 5])
                          for w in (2, 5, 20) for c in (0, 1, 3, 4, 14, 99, 2498, 2499, 2500, -1)]),
    ("number_cwt_peaks", [{"n": n} for n in (1, 5, 5, 2)]),
    # Readers of the row's transform, autocovariance and density, some twice, in orders that grow the lags asked.
    ("partial_autocorrelation", [{"lag": k} for k in (1, 3)]),  # lag 0 alone is NaN, beside others 1
    ("agg_autocorrelation", [{"maxlag": m, "f_agg": f} for m in (40, 2, 2**63 - 1) for f in ("mean", "var")]),
    ("partial_autocorrelation", [{"lag": k} for k in (9, 2, 2**63 - 1)]),
    ("autocorrelation", [{"lag": k} for k in (7, 0, 1, 299, 3, -1, 2, 5, 1, 150, 4)]),
    ("fft_coefficient", [{"coeff": k, "attr": a} for k in (0, 1, 7, 1000) for a in ("real", "imag", "abs", "angle")]),
    ("fft_aggregated", [{"aggtype": a} for a in ("centroid", "variance", "skew", "kurtosis")]),
    ("spkt_welch_density", [{"coeff": k} for k in (0, 2, 8, 8, 200)]),
    ("c3", [{"lag": 1}, {"lag": 4}]),
    ("time_reversal_asymmetry_statistic", [{"lag": 2}]),
    ("spkt_welch_density", [{"coeff": 1}]),
    ("fourier_entropy", [{"bins": b} for b in (2, 10, 10)]),
    # One drift fit per (m, r) for both readers of it.
    ("friedrich_coefficients", [{"m": m, "r": r, "coeff": c} for m, r in ((3, 30), (1, 2), (3, 30), (2, 70000))
                                for c in (0, 1, 3, 4)] + [{}]),
    ("max_langevin_fixed_point", [{"m": m, "r": r} for m, r in ((2, 70000), (3, 30), (5, 7), (3, 30), (1, 2), (2, -1))]
     + [{}]),
    # One sweep of template matches for every tolerance and length of the row: sample_entropy's tolerance
    # (r = 0.2) asked per template too, zero of both signs, lengths shared between items, undefined sets.
    ("approximate_entropy", [{"m": m, "r": r} for m, r in ((2, 0.1), (2, 0.2), (1, 0.2), (0, 0.5), (2, 0.9),
                                                            (2, 0.0), (3, -0.0), (2, -0.5), (2, NAN), (2**63 - 1, 0.2))]
     + [{"m": 2}, {}]),
    ("sample_entropy", [{}]),
    ("approximate_entropy", [{"m": m, "r": r} for m, r in ((3, 0.2), (2, 0.1), (1, 0.7), (5, 0.3))]),
]
# Every other calculator, the readers of the row's sum, moments, extremes and sorted copy among them (after the
# items above in one order, before them in the other).
PLAN += [(name, [{}]) for name in implemented_calculators() if name not in {n for n, _ in PLAN}]


def alone(name, x, sets):
    return [v for s in sets for v in compute_feature(name, x, [s])]  # one value per set: a length check below


def batch_rows(plan):
    values = np.concatenate(SERIES)
    offsets = np.cumsum([0] + [len(x) for x in SERIES]).astype(np.int64)
    flat, n, width = extract_batch(values, offsets, plan)
    return np.asarray(flat).reshape(n, width)


@pytest.fixture(scope="module")
def batches():
    # Each item's columns, from the plan in both orders.
    out = [[] for _ in PLAN]
    for order in (range(len(PLAN)), range(len(PLAN) - 1, -1, -1)):
        rows, col = batch_rows([PLAN[k] for k in order]), 0
        for k in order:
            out[k].append(rows[:, col: col + len(PLAN[k][1])])
            col += len(PLAN[k][1])
    return out


@pytest.mark.parametrize("k", range(len(PLAN)), ids=[name for name, _ in PLAN])
def test_shared_work_gives_each_sets_own_bits(k, batches):
    name, sets = PLAN[k]
    for i, x in enumerate(SERIES):
        want = bits(alone(name, x, sets))
        assert np.array_equal(bits(compute_feature(name, x, sets)), want), (name, i, "one call")
        for rows in batches[k]:
            assert np.array_equal(bits(rows[i]), want), (name, i, "batch")
