"""Throughput benchmark of the batch extraction.

    PYTHONPATH=build/python python bench/run.py [--quick] [--n-series N]
        [--length L] [--seed S] [--repeats R]

Sections:
  1. parallel scaling of extract_batch over the whole plan and over the plan
     without the FFT group (the one with efficiency targets: >= 85% at 4
     threads, >= 75% at all cores);
  2. per-calculator cost from extract_batch_timed;
  3. speed against the per-series numpy/scipy/statsmodels loop a user would
     otherwise write, for the calculators that have a real equivalent (the
     loop's values are checked against the module's before timing counts).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
import warnings

import numpy as np
import scipy.signal
import scipy.stats
from numpy.lib.stride_tricks import sliding_window_view

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import common  # noqa: E402


# --------------------------------------------------------------------------
# The user's loop: one function per calculator, taking the series and the
# calculator's parameter list and returning one value per parameter set (or
# one value for a scalar calculator), written the way a numpy user would.

def _linregress5(y):
    r = scipy.stats.linregress(np.arange(len(y), dtype=np.float64), y)
    return {"slope": r.slope, "intercept": r.intercept, "rvalue": r.rvalue,
            "pvalue": r.pvalue, "stderr": r.stderr}


def _entropy_of_hist(v, bins):
    hist, _ = np.histogram(v, bins=bins)
    p = hist[hist > 0] / len(v)
    return float(-np.sum(p * np.log(p)))


def _welch(x):
    return scipy.signal.welch(x, nperseg=min(len(x), 256))[1]


def b_fft_coefficient(x, params):
    f = np.fft.rfft(x)
    parts = {"real": f.real, "imag": f.imag, "abs": np.abs(f), "angle": np.angle(f, deg=True)}
    return [parts[p["attr"]][p["coeff"]] if p["coeff"] < len(f) else math.nan for p in params]


def b_fft_aggregated(x, params):
    a = np.abs(np.fft.rfft(x))
    i = np.arange(len(a), dtype=np.float64)
    s = a.sum()
    m1, m2, m3, m4 = (np.dot(i**k, a) / s for k in (1, 2, 3, 4))
    v = m2 - m1 * m1
    vals = {
        "centroid": m1,
        "variance": v,
        "skew": (m3 - 3 * m1 * v - m1**3) / v**1.5 if v >= 0.5 else math.nan,
        "kurtosis": (m4 - 4 * m1 * m3 + 6 * m1**2 * m2 - 3 * m1**4) / v**2 if v >= 0.5 else math.nan,
    }
    return [vals[p["aggtype"]] for p in params]


def b_agg_autocorrelation(x, params):
    from statsmodels.tsa.stattools import acf
    maxlag = max(p["maxlag"] for p in params)
    r = acf(x, adjusted=True, fft=True, nlags=maxlag)[1:]
    fns = {"mean": np.mean, "median": np.median, "var": np.var}
    return [fns[p["f_agg"]](r[: p["maxlag"]]) for p in params]


def b_partial_autocorrelation(x, params):
    from statsmodels.tsa.stattools import pacf
    maxlag = max(p["lag"] for p in params)
    r = pacf(x, nlags=maxlag, method="ld")
    return [r[p["lag"]] for p in params]


def b_autocorrelation(x, params):
    n = len(x)
    m = x.mean()
    v = x.var()
    d = x - m
    return [np.dot(d[p["lag"]:], d[: n - p["lag"]]) / (v * (n - p["lag"])) for p in params]


def _adfuller():
    import inspect
    from statsmodels.tsa.stattools import adfuller
    if "result_object" in inspect.signature(adfuller).parameters:
        return lambda x: adfuller(x, autolag="AIC", result_object=False)
    return lambda x: adfuller(x, autolag="AIC")


def b_augmented_dickey_fuller(x, params, _adf=[]):
    if not _adf:
        _adf.append(_adfuller())
    stat, pvalue, usedlag = _adf[0](x)[:3]
    vals = {"teststat": stat, "pvalue": pvalue, "usedlag": float(usedlag)}
    return [vals[p["attr"]] for p in params]


def b_ar_coefficient(x, params):
    k = params[0]["k"]
    lags = sliding_window_view(x[:-1], k)[:, ::-1]
    design = np.column_stack([np.ones(len(lags)), lags])
    coef = np.linalg.lstsq(design, x[k:], rcond=None)[0]
    return [coef[p["coeff"]] for p in params]


def b_linear_trend(x, params):
    r = _linregress5(x)
    return [r[p["attr"]] for p in params]


def b_agg_linear_trend(x, params):
    fns = {"max": np.max, "min": np.min, "mean": np.mean, "var": np.var}
    fits = {}
    out = []
    for p in params:
        key = (p["chunk_len"], p["f_agg"])
        if key not in fits:
            L = p["chunk_len"]
            full = len(x) // L * L
            agg = list(fns[p["f_agg"]](x[:full].reshape(-1, L), axis=1))
            if full < len(x):
                agg.append(fns[p["f_agg"]](x[full:]))
            fits[key] = _linregress5(np.asarray(agg))
        out.append(fits[key][p["attr"]])
    return out


def b_spkt_welch_density(x, params):
    psd = _welch(x)
    return [psd[p["coeff"]] if p["coeff"] < len(psd) else math.nan for p in params]


def b_fourier_entropy(x, params):
    out = []
    for p in params:
        psd = _welch(x)
        out.append(_entropy_of_hist(psd / psd.max(), p["bins"]))
    return out


def b_binned_entropy(x, params):
    return [_entropy_of_hist(x, p["max_bins"]) for p in params]


def b_quantile(x, params):
    return list(np.quantile(x, [p["q"] for p in params]))


def b_c3(x, params):
    n = len(x)
    return [np.mean(x[2 * l:] * x[l: n - l] * x[: n - 2 * l]) for l in (p["lag"] for p in params)]


def b_time_reversal_asymmetry_statistic(x, params):
    n = len(x)
    out = []
    for l in (p["lag"] for p in params):
        a, b, c = x[2 * l:], x[l: n - l], x[: n - 2 * l]
        out.append(np.mean(a * a * b - b * c * c))
    return out


def b_cid_ce(x, params):
    out = []
    for p in params:
        y = (x - x.mean()) / x.std() if p["normalize"] else x
        out.append(np.sqrt(np.sum(np.diff(y) ** 2)))
    return out


def b_count_above(x, params):
    return [np.mean(x >= p["t"]) for p in params]


def b_count_below(x, params):
    return [np.mean(x <= p["t"]) for p in params]


def b_range_count(x, params):
    return [np.count_nonzero((x >= p["min"]) & (x < p["max"])) for p in params]


def b_value_count(x, params):
    return [np.count_nonzero(x == p["value"]) for p in params]


def b_ratio_beyond_r_sigma(x, params):
    dev = np.abs(x - x.mean())
    s = x.std()
    return [np.mean(dev > p["r"] * s) for p in params]


def b_number_crossing_m(x, params):
    return [np.count_nonzero(np.diff(x > p["m"])) for p in params]


def b_index_mass_quantile(x, params):
    a = np.abs(x)
    c = np.cumsum(a) / a.sum()
    return [(np.argmax(c >= p["q"]) + 1) / len(x) for p in params]


def b_large_standard_deviation(x, params):
    s = x.std()
    span = np.ptp(x)
    return [float(s > p["r"] * span) for p in params]


def b_symmetry_looking(x, params):
    gap = abs(x.mean() - np.median(x))
    span = np.ptp(x)
    return [float(gap < p["r"] * span) for p in params]


def b_energy_ratio_by_chunks(x, params):
    e = x * x
    total = e.sum()
    sums = [c.sum() / total for c in np.array_split(e, params[0]["num_segments"])]
    return [sums[p["segment_focus"]] for p in params]


def b_number_peaks(x, params):
    n = len(x)
    out = []
    for s in (p["n"] for p in params):
        mid = x[s: n - s]
        mask = np.ones(len(mid), dtype=bool)
        for j in range(1, s + 1):
            mask &= mid > x[s - j: n - s - j]
            mask &= mid > x[s + j: n - s + j]
        out.append(np.count_nonzero(mask))
    return out


def b_mean_n_absolute_max(x, params):
    a = np.sort(np.abs(x))
    return [a[-p["number_of_maxima"]:].mean() for p in params]


def _scalar(fn):
    return lambda x, params: [fn(x)]


def _last_loc(arg):
    return lambda x: 1.0 - arg(x[::-1]) / len(x)


BASELINE = {
    "abs_energy": _scalar(lambda x: np.dot(x, x)),
    "absolute_maximum": _scalar(lambda x: np.max(np.abs(x))),
    "absolute_sum_of_changes": _scalar(lambda x: np.sum(np.abs(np.diff(x)))),
    "agg_autocorrelation": b_agg_autocorrelation,
    "agg_linear_trend": b_agg_linear_trend,
    "ar_coefficient": b_ar_coefficient,
    "augmented_dickey_fuller": b_augmented_dickey_fuller,
    "autocorrelation": b_autocorrelation,
    "binned_entropy": b_binned_entropy,
    "c3": b_c3,
    "cid_ce": b_cid_ce,
    "count_above": b_count_above,
    "count_above_mean": _scalar(lambda x: np.count_nonzero(x > x.mean())),
    "count_below": b_count_below,
    "count_below_mean": _scalar(lambda x: np.count_nonzero(x < x.mean())),
    "energy_ratio_by_chunks": b_energy_ratio_by_chunks,
    "fft_aggregated": b_fft_aggregated,
    "fft_coefficient": b_fft_coefficient,
    "first_location_of_maximum": _scalar(lambda x: np.argmax(x) / len(x)),
    "first_location_of_minimum": _scalar(lambda x: np.argmin(x) / len(x)),
    "fourier_entropy": b_fourier_entropy,
    "index_mass_quantile": b_index_mass_quantile,
    "kurtosis": _scalar(lambda x: scipy.stats.kurtosis(x, bias=False)),
    "large_standard_deviation": b_large_standard_deviation,
    "last_location_of_maximum": _scalar(_last_loc(np.argmax)),
    "last_location_of_minimum": _scalar(_last_loc(np.argmin)),
    "length": _scalar(len),
    "linear_trend": b_linear_trend,
    "maximum": _scalar(np.max),
    "mean": _scalar(np.mean),
    "mean_abs_change": _scalar(lambda x: np.mean(np.abs(np.diff(x)))),
    "mean_change": _scalar(lambda x: (x[-1] - x[0]) / (len(x) - 1)),
    "mean_n_absolute_max": b_mean_n_absolute_max,
    "mean_second_derivative_central": _scalar(lambda x: (x[-1] - x[-2] - x[1] + x[0]) / (2 * (len(x) - 2))),
    "median": _scalar(np.median),
    "minimum": _scalar(np.min),
    "number_crossing_m": b_number_crossing_m,
    "number_peaks": b_number_peaks,
    "partial_autocorrelation": b_partial_autocorrelation,
    "quantile": b_quantile,
    "range_count": b_range_count,
    "ratio_beyond_r_sigma": b_ratio_beyond_r_sigma,
    "ratio_value_number_to_time_series_length": _scalar(lambda x: len(np.unique(x)) / len(x)),
    "root_mean_square": _scalar(lambda x: np.sqrt(np.mean(x * x))),
    "skewness": _scalar(lambda x: scipy.stats.skew(x, bias=False)),
    "spkt_welch_density": b_spkt_welch_density,
    "standard_deviation": _scalar(np.std),
    "sum_values": _scalar(np.sum),
    "symmetry_looking": b_symmetry_looking,
    "time_reversal_asymmetry_statistic": b_time_reversal_asymmetry_statistic,
    "value_count": b_value_count,
    "variance": _scalar(np.var),
    "variance_larger_than_standard_deviation": _scalar(lambda x: float(np.var(x) > np.std(x))),
    "variation_coefficient": _scalar(lambda x: np.std(x) / np.mean(x)),
}


def run_baseline(values, offsets, plan):
    """The per-series Python loop over the plan. Returns (matrix, total
    seconds, seconds per plan item)."""
    n_series = len(offsets) - 1
    width = common.plan_width(plan)
    out = np.full((n_series, width), np.nan)
    spent = [0.0] * len(plan)
    clock = time.perf_counter
    t_start = clock()
    for i in range(n_series):
        x = values[offsets[i]: offsets[i + 1]]
        col = 0
        for j, (name, params) in enumerate(plan):
            t0 = clock()
            vals = BASELINE[name](x, params)
            spent[j] += clock() - t0
            out[i, col: col + len(params)] = vals
            col += len(params)
    return out, clock() - t_start, spent


# --------------------------------------------------------------------------

def _ratio(r: float) -> str:
    return f"{r:.1f}x" if r < 10 else f"{r:,.0f}x"


def scaling_section(mod, values, offsets, plan, title, repeats, budget):
    n_series = len(offsets) - 1
    print(f"\n{title}")
    print(f"  {len(plan)} calculators, {common.plan_width(plan)} columns, {n_series} series")
    # Warm-up: builds the dedicated pools, FFT plans and wavelet tables.
    wv, wo = common.subset(values, offsets, 64)
    for t in common.thread_counts():
        mod.extract_batch(wv, wo, plan, t)
    rows = []
    base = None
    result = {}
    for t in common.thread_counts():
        best = common.best_time(lambda: mod.extract_batch(values, offsets, plan, t), repeats, budget)
        base = base or best
        speedup = base / best
        result[t] = (best, speedup / t)
        rows.append([t, f"{best:.3f}", f"{n_series / best:,.0f}", f"{speedup:.2f}x", f"{100 * speedup / t:.0f}%"])
    print(common.table(["threads", "best s", "series/s", "speedup", "efficiency"], rows))
    return result


def cost_section(mod, values, offsets, plan):
    n_series = len(offsets) - 1
    _, _, _, ns = mod.extract_batch_timed(values, offsets, plan)
    total = sum(ns)
    rows = sorted(zip(plan, ns), key=lambda r: -r[1])
    print(f"\nPer-calculator cost (extract_batch_timed, one thread, {n_series} series)")
    body = []
    for (name, params), t in rows:
        per = t / n_series
        body.append([name, len(params), common.fmt_ns(per), common.fmt_ns(per / max(1, len(params))),
                     f"{100 * t / total:.1f}%"])
    print(common.table(["calculator", "cols", "per series", "per column", "share"], body))
    print(f"  total {common.fmt_ns(total / n_series)} per series")


def baseline_section(mod, implemented, values, offsets, repeats, budget):
    plan = common.build_plan(implemented, only=BASELINE.keys())
    n_series = len(offsets) - 1
    width = common.plan_width(plan)
    print(f"\nAgainst a per-series numpy/scipy/statsmodels loop "
          f"({len(plan)} calculators, {width} columns, {n_series} series)")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        run_baseline(values, offsets[:2], plan)  # imports and first-call costs
        ref, loop_s, spent = run_baseline(values, offsets, plan)

    got_list, _, got_w = mod.extract_batch(values, offsets, plan, 0)
    got = np.asarray(got_list).reshape(n_series, got_w)
    _, _, _, ns = mod.extract_batch_timed(values, offsets, plan)

    rows = []
    col = 0
    bad_total = 0
    for j, (name, params) in enumerate(plan):
        w = len(params)
        a, b = got[:, col: col + w], ref[:, col: col + w]
        ok = np.isclose(a, b, rtol=1e-6, atol=1e-9, equal_nan=True)
        bad = int(ok.size - ok.sum())
        bad_total += bad
        py_us = spent[j] / n_series * 1e6
        nat_us = ns[j] / n_series / 1e3
        rows.append((spent[j], [name, w, f"{py_us:,.1f}", f"{nat_us:,.2f}",
                                _ratio(py_us / nat_us) if nat_us > 0 else "-", bad or ""]))
        col += w
    rows.sort(key=lambda r: -r[0])
    print(common.table(["calculator", "cols", "loop us/series", "native us/series", "ratio", "mismatch"],
                       [r[1] for r in rows]))
    if bad_total:
        print(f"  {bad_total} of {got.size} cells differ beyond rtol 1e-6 (see 'mismatch')")
    else:
        print(f"  all {got.size} cells agree with the loop (rtol 1e-6, atol 1e-9)")

    one = common.best_time(lambda: mod.extract_batch(values, offsets, plan, 1), repeats, budget)
    nall = common.cpu_count()
    many = common.best_time(lambda: mod.extract_batch(values, offsets, plan, nall), repeats, budget)
    print(common.table(
        ["", "seconds", "series/s", "loop / this"],
        [["python loop", f"{loop_s:.3f}", f"{n_series / loop_s:,.0f}", "1x"],
         ["extract_batch, 1 thread", f"{one:.4f}", f"{n_series / one:,.0f}", _ratio(loop_s / one)],
         [f"extract_batch, {nall} threads", f"{many:.4f}", f"{n_series / many:,.0f}", _ratio(loop_s / many)]]))


def quick_size(mod, plan, length, seed):
    """Series for --quick: about 2 s of single-threaded work per plan, at
    most 400, whatever the cost of the calculators present."""
    v, o, _ = common.make_batch(16, length, seed)
    mod.extract_batch(v, o, plan, 1)
    t0 = time.perf_counter()
    mod.extract_batch(v, o, plan, 1)
    per_series = (time.perf_counter() - t0) / 16
    return int(min(400, max(32, 2.0 / max(per_series, 1e-9))))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small batch (at most 400 series, sized to the plan's cost), one repeat: under 30 s")
    ap.add_argument("--n-series", type=int, default=None, help="series in the batch (default 10000)")
    ap.add_argument("--length", type=int, default=None, help="samples per series (default 1000)")
    ap.add_argument("--seed", type=int, default=12345)
    ap.add_argument("--repeats", type=int, default=None, help="best of this many calls (default 3)")
    ap.add_argument("--budget", type=float, default=None,
                    help="stop repeating a measurement after this many seconds (default 60)")
    ap.add_argument("--timed-series", type=int, default=None, help="series for the per-calculator cost")
    ap.add_argument("--baseline-series", type=int, default=None, help="series for the numpy loop")
    args = ap.parse_args(argv)

    quick = args.quick
    length = args.length or 1000
    repeats = args.repeats or (1 if quick else 3)
    budget = args.budget or (5.0 if quick else 60.0)
    timed_n = args.timed_series or (50 if quick else 500)
    base_n = args.baseline_series or (40 if quick else 300)

    mod = common.load_module()
    implemented = mod.implemented_calculators()
    full = common.build_plan(implemented)
    n_series = args.n_series or (quick_size(mod, full, length, args.seed) if quick else 10_000)
    values, offsets, kinds = common.make_batch(n_series, length, args.seed)
    print(f"selquor_rs {mod.__version__}: {len(implemented)} calculators implemented; "
          f"{os.cpu_count()} CPUs; numpy {np.__version__}")
    print(f"batch: {n_series} series x {length} samples (seed {args.seed}; "
          f"{np.sum(kinds == 0)} noise, {np.sum(kinds == 1)} walks, {np.sum(kinds == 2)} sines); "
          f"best of {repeats}, budget {budget:g} s per measurement")
    load = os.getloadavg()
    print(f"load average at start: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} "
          f"(other processes on the machine distort the many-thread rows)")

    no_fft = common.build_plan(implemented, exclude=common.FFT_CALCULATORS)
    skipped = sorted(set(common.PARAMS) - set(implemented))
    if skipped:
        print(f"not implemented, left out of the plan: {', '.join(skipped)}")

    scaling_section(mod, values, offsets, full, "Parallel scaling, full plan", repeats, budget)
    res = scaling_section(mod, values, offsets, no_fft, "Parallel scaling, plan without the FFT group "
                          "(targets: >= 85% at 4 threads, >= 75% at all cores)", repeats, budget)
    excluded = sorted(common.FFT_CALCULATORS & set(implemented))
    print(f"  excluded: {', '.join(excluded) or '(none of them is implemented)'}")
    verdict = []
    if 4 in res:
        verdict.append(f"4 threads {100 * res[4][1]:.0f}% ({'met' if res[4][1] >= 0.85 else 'MISSED'})")
    nall = common.cpu_count()
    verdict.append(f"{nall} threads {100 * res[nall][1]:.0f}% ({'met' if res[nall][1] >= 0.75 else 'MISSED'})")
    print("  targets: " + ", ".join(verdict))

    tv, to = common.subset(values, offsets, timed_n)
    cost_section(mod, tv, to, full)

    bv, bo = common.subset(values, offsets, base_n)
    baseline_section(mod, implemented, bv, bo, repeats, budget)


if __name__ == "__main__":
    main()
