"""benford_correlation, energy_ratio_by_chunks, query_similarity_count,
mean_n_absolute_max and cid_ce, checked against numpy computations."""
import math

import numpy as np
import pytest

from selquor_rs import compute_feature, extract_batch, implemented_calculators

NAN = float("nan")
INF = float("inf")
I64_MAX = 2**63 - 1
OTHER = ["benford_correlation", "energy_ratio_by_chunks", "query_similarity_count",
         "mean_n_absolute_max", "cid_ce"]


def feature(name, x, params):
    return compute_feature(name, np.asarray(x, dtype=np.float64), params)


def one(name, x, **params):
    (value,) = feature(name, x, [params])
    return value


def is_minus_zero(v):
    return v == 0.0 and math.copysign(1.0, v) < 0


RNG = np.random.default_rng(20240611)
WALK = np.cumsum(RNG.normal(size=200))


# ---------------------------------------------------------------- benford

def benford_digit(v):
    """First significant digit of Python's shortest round-trip repr."""
    if math.isnan(v):
        v = 0.0
    elif math.isinf(v):
        v = math.copysign(np.finfo(float).max, v)
    return next((int(c) for c in repr(abs(v)) if c in "123456789"), 0)


def benford_oracle(x):
    """Leading digit from Python's shortest round-trip repr."""
    digits = [benford_digit(v) for v in map(float, x)]
    observed = [digits.count(d) / len(x) for d in range(1, 10)]
    expected = [math.log10(1 + 1 / d) for d in range(1, 10)]
    return np.corrcoef(expected, observed)[0, 1]


@pytest.mark.parametrize("x", [
    RNG.lognormal(0, 3, size=500),
    -RNG.lognormal(0, 3, size=50),
    [1.0, 10.0, 100.0],                # O = [1, 0, ..., 0]
    [0.0123, 950.0, 0.0, -2.5, 3.0],   # zeros count in n
    [1e23, 2.0, 3.0, 3.0],             # 1e23 lies below 10^23 but prints as 1e+23
    [NAN, INF, -INF, 2.0, 2.0],        # NaN reads 0, infinities 1.79e308
], ids=["lognormal", "negative", "powers", "mixed", "1e23", "nonfinite"])
def test_benford_matches_leading_digits_of_shortest_text(x):
    assert one("benford_correlation", x) == pytest.approx(benford_oracle(list(x)), rel=1e-12)


def boundary_doubles():
    """d * 10^k for every digit and decimal exponent, with their neighbours
    a few ulps away, where a leading digit read from the value's arithmetic
    and one read from its shortest text can part."""
    out = []
    for k in range(-324, 309):
        for d in range(1, 10):
            b = float(f"{d}e{k}")
            for step in range(-3, 4):
                v = b
                for _ in range(abs(step)):
                    v = np.nextafter(v, INF if step > 0 else 0.0)
                out.append(v)
    return np.array(out)


def random_doubles(rng, n):
    """Uniform bit patterns (every exponent, subnormals included), short
    decimals and integers."""
    bits = rng.integers(0, 2**63 - 2**52, size=n, dtype=np.int64)  # below the inf/NaN exponent
    short = np.round(rng.uniform(-10, 10, size=n), 3) * 10.0 ** rng.integers(-5, 6, size=n)
    ints = rng.integers(-(2**60), 2**60, size=n).astype(float)
    return np.concatenate([bits.view(np.float64), short, ints])


def test_benford_leading_digit_of_every_kind_of_double():
    # One-sample series: O is one-hot at the digit, so the correlation names
    # the digit (NaN for digit 0, whose O is all zero).
    x = np.concatenate([boundary_doubles(), random_doubles(np.random.default_rng(7), 50_000),
                        [5e-324, np.finfo(float).max, np.finfo(float).tiny, 1e23, 9.999999999999999e22]])
    flat, _, _ = extract_batch(x, np.arange(x.size + 1, dtype=np.int64), [("benford_correlation", [{}])])
    expected_e = [math.log10(1 + 1 / d) for d in range(1, 10)]
    by_digit = [NAN] + [np.corrcoef(expected_e, np.eye(9)[d - 1])[0, 1] for d in range(1, 10)]
    expected = np.array([by_digit[benford_digit(v)] for v in map(float, x)])
    np.testing.assert_allclose(flat, expected, rtol=1e-13)


@pytest.mark.parametrize("x", [[], [0.0, -0.0, 0.0], [NAN, NAN]])
def test_benford_without_digits_is_nan(x):
    assert math.isnan(one("benford_correlation", x))


@pytest.mark.parametrize("params", [[], [{}], [{}, {"a": 1}, {}]])
def test_benford_gives_one_value_whatever_the_sets(params):
    assert len(feature("benford_correlation", [1.0, 2.0, 3.0], params)) == 1


# ---------------------------------------------------------- energy ratios

def energy_oracle(x, segments, focus):
    x = np.asarray(x, dtype=float)
    chunk = np.array_split(x, segments)[focus]  # larger chunks first
    return float(np.sum(chunk**2) / np.sum(x**2))


X10 = np.arange(1.0, 11.0)


@pytest.mark.parametrize("segments,focus", [(3, 0), (3, 1), (3, 2), (1, 0), (10, 9), (7, 6), (4, 2)])
def test_energy_ratio_matches_array_split(segments, focus):
    got = one("energy_ratio_by_chunks", X10, num_segments=segments, segment_focus=focus)
    assert got == pytest.approx(energy_oracle(X10, segments, focus), rel=1e-14)


def test_energy_ratios_of_all_chunks_add_up_to_one():
    sets = [{"num_segments": 7, "segment_focus": f} for f in range(7)]
    assert sum(feature("energy_ratio_by_chunks", WALK, sets)) == pytest.approx(1.0, rel=1e-12)


@pytest.mark.parametrize("params", [
    {"num_segments": 3, "segment_focus": 3},
    {"num_segments": 3, "segment_focus": 7},
    {"num_segments": 0, "segment_focus": -1},
    {"num_segments": -5},
    {"segment_focus": 0},
    {},
    {"num_segments": 1e300, "segment_focus": I64_MAX},   # both saturate: S <= F
])
def test_energy_ratio_without_a_focus_chunk_is_nan(params):
    assert math.isnan(one("energy_ratio_by_chunks", X10, **params))


def test_energy_ratio_negative_focus_reads_chunk_zero():
    # Chunks of 4, 3 and 3 samples: 1+4+9+16 = 30 of 385.
    assert one("energy_ratio_by_chunks", X10, num_segments=3, segment_focus=-1) == pytest.approx(30 / 385)


@pytest.mark.parametrize("segments,focus,expected", [
    (4, 3, None),                        # chunk 3 of a two-sample series is empty
    (I64_MAX, I64_MAX - 1, None),        # so is the last of 2^63-1 chunks
    (1e300, 1, 4.0 / 5.0),               # saturated count, one sample per leading chunk
    (I64_MAX, 0, 1.0 / 5.0),
])
def test_energy_ratio_with_more_chunks_than_samples(segments, focus, expected):
    got = one("energy_ratio_by_chunks", [1.0, 2.0], num_segments=segments, segment_focus=focus)
    if expected is None:
        assert is_minus_zero(got)
    else:
        assert got == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize("x", [[], [0.0, 0.0, -0.0]])
def test_energy_ratio_without_energy_is_nan(x):
    assert math.isnan(one("energy_ratio_by_chunks", x, num_segments=2, segment_focus=0))


# ------------------------------------------------------ query similarity

def znorm(a):
    a = np.asarray(a, dtype=float)
    sd = a.std()
    return None if sd == 0 else (a - a.mean()) / sd


def similarity_distances(x, query, normalize):
    q = np.asarray(query, dtype=float)
    windows = np.lib.stride_tricks.sliding_window_view(np.asarray(x, dtype=float), len(q))
    if not normalize:
        return np.sqrt(((windows - q) ** 2).sum(axis=1))
    zq = znorm(q)
    out = []
    for w in windows:
        zw = znorm(w)
        if zq is None and zw is None:
            out.append(0.0)
        elif zq is None or zw is None:
            out.append(math.sqrt(len(q)))
        else:
            out.append(float(np.linalg.norm(zq - zw)))
    return np.array(out)


def thresholds_between(d):
    """Thresholds halfway between neighbouring distances, so rounding cannot decide."""
    s = np.unique(np.round(d, 9))
    return list((s[:-1] + s[1:]) / 2)[:: max(1, len(s) // 8)]


@pytest.mark.parametrize("normalize", [True, False])
@pytest.mark.parametrize("query", [[0.5, -1.0, 2.0], [1, 2, 3, 2, 1], list(WALK[40:52])])
def test_similarity_count_matches_window_distances(query, normalize):
    d = similarity_distances(WALK, query, normalize)
    sets = [{"query": query, "normalize": normalize, "threshold": t} for t in thresholds_between(d)]
    got = feature("query_similarity_count", WALK, sets)
    assert got == [float((d <= s["threshold"]).sum()) for s in sets]


@pytest.mark.parametrize("normalize", [0, 0.0, "no", None])
def test_similarity_normalises_unless_given_a_bool(normalize):
    # Normalised, [2, 4, 6] is the same shape as [1, 2, 3]; raw it lies sqrt(14) away.
    x = [2.0, 4.0, 6.0]
    assert one("query_similarity_count", x, query=[1, 2, 3], normalize=normalize, threshold=1e-6) == 1.0
    assert one("query_similarity_count", x, query=[1, 2, 3], normalize=False, threshold=1e-6) == 0.0


@pytest.mark.parametrize("window,threshold,expected", [
    ([5.0, 5.0, 5.0], 0.0, 1.0),                     # two constants: distance 0
    ([5.0, 6.0, 5.0], math.sqrt(3) * (1 + 1e-12), 1.0),  # constant against varying: sqrt(3)
    ([5.0, 6.0, 5.0], math.sqrt(3) * (1 - 1e-12), 0.0),
])
def test_similarity_constant_query(window, threshold, expected):
    assert one("query_similarity_count", window, query=[1, 1, 1], threshold=threshold) == expected


@pytest.mark.parametrize("normalize", [True, False])
@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_similarity_window_with_nonfinite_sample_never_counts(bad, normalize):
    # Windows of 3 over 8 samples: 6 windows, 3 of which hold sample 4.
    x = [0.0, 1.0, 3.0, 2.0, bad, 5.0, 4.0, 6.0]
    got = one("query_similarity_count", x, query=[1.0, 2.0, 4.0], normalize=normalize, threshold=1e300)
    assert got == 3.0


@pytest.mark.parametrize("normalize", [True, False])
def test_similarity_query_with_nan_never_counts(normalize):
    got = one("query_similarity_count", WALK, query=[1.0, NAN, 2.0], normalize=normalize, threshold=1e300)
    assert got == 0.0


def test_similarity_without_threshold_counts_exact_matches():
    x = [1.0, 2.0, 3.0, 0.0, 1.0, 2.0, 3.0, 3.5]
    assert one("query_similarity_count", x, query=[1, 2, 3], normalize=False) == 2.0
    # Normalised, only constant windows match a constant query exactly.
    assert one("query_similarity_count", [4.0, 4.0, 4.0, 4.0, 1.0], query=[2, 2, 2]) == 2.0


@pytest.mark.parametrize("threshold,expected", [(NAN, 0.0), ("1", 0.0), (None, 0.0), (True, 1.0)])
def test_similarity_threshold_readings(threshold, expected):
    # Raw distance of [1, 2, 3] from [1, 2, 4] is 1.
    got = one("query_similarity_count", [1.0, 2.0, 4.0], query=[1, 2, 3], normalize=False, threshold=threshold)
    assert got == expected


@pytest.mark.parametrize("params", [{}, {"query": None}, {"query": "abc"}, {"query": [1.0, 2.0]},
                                   {"query": 3}, {"query": []}])
def test_similarity_without_a_usable_query_is_nan(params):
    assert math.isnan(one("query_similarity_count", WALK, **params))


def test_similarity_query_longer_than_series_counts_nothing():
    assert one("query_similarity_count", [1.0, 2.0], query=[1, 2, 3]) == 0.0


# ------------------------------------------------- largest absolute values

@pytest.mark.parametrize("k", [1, 2, 17, 199])
def test_mean_n_absolute_max_matches_sorted_magnitudes(k):
    expected = np.sort(np.abs(WALK))[-k:].mean()
    assert one("mean_n_absolute_max", WALK, number_of_maxima=k) == pytest.approx(expected, rel=1e-13)


@pytest.mark.parametrize("k,expected", [(2, 4.0), (2.7, 4.0), (1, 5.0), (3, NAN), (0, NAN), (-1, NAN),
                                        (I64_MAX, NAN), (1e300, NAN), (-1e300, NAN), (NAN, NAN),
                                        (True, NAN), ("2", NAN), (None, NAN), ([2], NAN)])
def test_mean_n_absolute_max_readings(k, expected):
    got = one("mean_n_absolute_max", [-5.0, 1.0, 3.0], number_of_maxima=k)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_mean_n_absolute_max_missing_key_is_nan():
    assert math.isnan(one("mean_n_absolute_max", [-5.0, 1.0, 3.0]))


@pytest.mark.parametrize("x,expected", [([1.0, NAN, 3.0, 2.0], NAN), ([1.0, -INF, 3.0], INF),
                                        ([-NAN, 1.0, 2.0], NAN)])
def test_mean_n_absolute_max_nonfinite(x, expected):
    got = one("mean_n_absolute_max", x, number_of_maxima=2)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


# ----------------------------------------------------------------- cid_ce

def cid_oracle(x, normalize):
    x = np.asarray(x, dtype=float)
    if normalize:
        x = (x - x.mean()) / x.std()
    return math.sqrt(np.sum(np.diff(x) ** 2))


@pytest.mark.parametrize("normalize,scaled", [(True, True), (1, True), (-3, True), (False, False),
                                              (0, False), (1.0, False), ("yes", False), (None, False)])
def test_cid_ce_normalize_readings(normalize, scaled):
    got = one("cid_ce", WALK, normalize=normalize)
    assert got == pytest.approx(cid_oracle(WALK, scaled), rel=1e-12)


@pytest.mark.parametrize("x,normalize,expected", [
    ([0.0, 3.0, 7.0], False, 5.0),        # sqrt(9 + 16)
    ([2.0, 2.0, 2.0], True, 0.0),          # no spread to normalise
    ([2.0], True, 0.0),
    ([1.0, NAN, 2.0], False, NAN),
    ([1.0, NAN, 2.0], True, NAN),
    ([1.0, INF, 2.0], True, NAN),
])
def test_cid_ce_values(x, normalize, expected):
    got = one("cid_ce", x, normalize=normalize)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


@pytest.mark.parametrize("x,normalize", [([], True), ([], False), ([4.0], False)])
def test_cid_ce_without_changes_is_minus_zero(x, normalize):
    assert is_minus_zero(one("cid_ce", x, normalize=normalize))


# ------------------------------------------------------------- all of them

PROBE = np.sin(0.7 * np.arange(64))


@pytest.mark.parametrize("name", OTHER)
@pytest.mark.parametrize("x", [PROBE, [], [3.0] * 10, [1.0, NAN, INF, -INF, -2.0, 0.0]],
                         ids=["probe", "empty", "constant", "nonfinite"])
def test_every_calculator_answers_one_value_per_set(name, x):
    sets = [{}, {"num_segments": 3, "segment_focus": 1, "query": [1, 2, 3], "threshold": 1.0,
                 "number_of_maxima": 2, "normalize": True}]
    # benford_correlation takes no parameters: one value whatever the sets.
    assert len(feature(name, x, sets)) == (1 if name == "benford_correlation" else 2)
    assert len(feature(name, x, [{}])) == 1


def test_probe_with_an_empty_set_uses_the_defaults():
    assert set(OTHER) <= set(implemented_calculators())
    got = {name: one(name, PROBE) for name in OTHER}
    assert got["benford_correlation"] == pytest.approx(benford_oracle(PROBE), rel=1e-12)
    assert got["cid_ce"] == pytest.approx(cid_oracle(PROBE, False), rel=1e-12)  # missing: not normalised
    # No chunks, no query, no count of maxima.
    assert all(math.isnan(got[n]) for n in OTHER[1:4])


@pytest.mark.parametrize("name", OTHER[1:])
def test_parameterised_calculators_without_sets_give_empty_list(name):
    assert feature(name, PROBE, []) == []


def test_batch_rows_match_numpy():
    series = [WALK[:50], WALK[50:120], WALK[120:]]
    values = np.concatenate(series)
    offsets = np.array([0, 50, 120, 200], dtype=np.int64)
    plan = [("cid_ce", [{"normalize": True}, {"normalize": False}]),
            ("energy_ratio_by_chunks", [{"num_segments": 4, "segment_focus": 3}]),
            ("mean_n_absolute_max", [{"number_of_maxima": 5}])]
    flat, n_series, width = extract_batch(values, offsets, plan)
    assert (n_series, width) == (3, 4)
    for row, s in zip(np.reshape(flat, (3, 4)), series):
        expected = [cid_oracle(s, True), cid_oracle(s, False), energy_oracle(s, 4, 3),
                    np.sort(np.abs(s))[-5:].mean()]
        np.testing.assert_allclose(row, expected, rtol=1e-12)
