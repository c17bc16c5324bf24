"""Batch extraction: offsets, plans, the output layout, pools, threads and timings."""
import collections
import math
import os
import threading

import numpy as np
import pytest

from selquor_rs import extract_batch, extract_batch_timed

V = np.arange(10.0)


@pytest.mark.parametrize(
    "offsets, plan, error, message",
    [
        # Offsets are checked before the plan is read.
        ([-1, 0], [1], ValueError, "offsets must be non-negative, found -1"),
        ([0, 5, 3], [1], ValueError, "offsets must be non-decreasing, found 3 after 5"),
        ([0, 11], [1], ValueError, "offsets end at 11 but only 10 values were given"),
        ([2, -1], [1], ValueError, "offsets must be non-decreasing, found -1 after 2"),  # only the first sign is tested
        ([0, 12, 11], [1], ValueError, "offsets must be non-decreasing, found 11 after 12"),  # order before the end
        ([-(2**63), 2**63 - 1], [1], ValueError, "offsets must be non-negative, found -9223372036854775808"),
        ([0, 2**63 - 1], [1], ValueError, "offsets end at 9223372036854775807 but only 10 values were given"),
        ([0, 10], [("mean", [{}]), ["mean", []], 1], ValueError, "plan entries must be (name, [params]) tuples"),
        ([0, 10], [("mean", ({},))], ValueError, "plan parameters must be a list"),
        ([0, 10], [()], IndexError, "tuple index out of range"),
        ([0, 10], [("mean",)], IndexError, "tuple index out of range"),
        ([0, 10], [(1,)], TypeError, "'int' object cannot be converted to 'PyString'"),  # the name before the second item
        ([0, 10], [("\udcff", [{}])], UnicodeEncodeError, None),
    ],
)
@pytest.mark.parametrize("f", [extract_batch, extract_batch_timed])
def test_malformed_batches(f, offsets, plan, error, message):
    with pytest.raises(error) as e:
        f(V, np.array(offsets, dtype=np.int64), plan)
    assert type(e.value) is error and (message is None or str(e.value) == message)


def test_early_returns_evaluate_nothing():
    for offsets in ([], [0], [99]):  # no series: neither the offsets nor the plan are read
        o = np.array(offsets, dtype=np.int64)
        assert extract_batch(V, o, [1, 2], 2**64 - 1) == ([], 0, 0)
        assert extract_batch_timed(V, o, [("mean", [{}]), 1]) == ([], 0, 0, [])
    o = np.array([0, 1, 2, 3])
    assert extract_batch(V, o, []) == ([], 3, 0)
    assert extract_batch(V, o, [("mean", []), ("no_such_calculator", [])]) == ([], 3, 0)
    assert extract_batch_timed(V, o, [("a", []), ("b", [])]) == ([], 3, 0, [0, 0])


def test_copy_rule_and_layout():
    o = np.array([1, 4, 4, 7, 10])  # the value before the first offset belongs to no series
    Item = collections.namedtuple("Item", "name params extra")
    plan = [
        ("mean", [{}, {}, {}]),  # a scalar fills its first column only
        ("mean", []),  # width 0: no column, though it answers a value
        Item("no_such_calculator", [{}], "ignored"),  # not implemented: NaN
        ("count_above", [{"t": 2.0}, {"t": 8.0}], "ignored"),
        ("mean", [{}]),  # listed twice: its own columns
    ]
    # Means, and shares of samples >= 2 and >= 8, of [1, 2, 3], [], [4, 5, 6] and [7, 8, 9].
    nan = math.nan
    expected = [[2, nan, nan, nan, 2 / 3, 0, 2], [nan] * 7, [5, nan, nan, nan, 1, 0, 5], [8, nan, nan, nan, 1, 2 / 3, 8]]
    results = [extract_batch(V, o, plan, n) for n in (0, 1, 2, 1000)] + [extract_batch_timed(V, o, plan)]
    for cells, n, w, *timings in results:
        assert (n, w) == (4, 7)
        np.testing.assert_array_equal(np.reshape(cells, (n, w)), expected)
        assert (np.reshape(cells, (n, w))[:, 1:4].view(np.uint64) == 0x7FF8000000000000).all()  # untouched cells
    timings = results[-1][3]
    assert len(timings) == len(plan) and all(type(t) is int and t > 0 for t in timings)  # width 0 and unknown names too


def make_batch(rng, n_series, max_len=300):
    lengths = rng.integers(0, max_len, n_series)
    lengths[::17] = 0
    lengths[n_series // 2] = 100_000  # one long series among short ones: rows are never split
    values = rng.normal(size=5 + int(lengths.sum()))
    return values, np.concatenate([[5], 5 + np.cumsum(lengths)]).astype(np.int64)


QS = (0.1, 0.5, 0.9)
PLAN = [("mean", [{}]), ("quantile", [{"q": q} for q in QS]), ("maximum", [{}])]


def expected_rows(values, offsets):
    rows = []
    for a, b in zip(offsets[:-1], offsets[1:]):
        x = values[a:b]
        rows.append([np.mean(x), *np.quantile(x, QS), np.max(x)] if x.size else [math.nan] * 5)
    return np.array(rows)


@pytest.mark.parametrize("n_series", [1, 2000])
def test_every_pool_gives_the_numpy_values_bit_for_bit_alike_also_concurrently(rng, n_series):
    values, offsets = make_batch(rng, n_series)
    threads = [0, 1, 2, 3, True, np.int64(2), os.cpu_count(), os.cpu_count() + 1, 2**64 - 1]
    calls = [lambda n=n: extract_batch(values, offsets, PLAN, n) for n in threads * 2]
    calls.append(lambda: extract_batch_timed(values, offsets, PLAN)[:3])
    results = [None] * len(calls)
    start = threading.Barrier(len(calls))

    def run(k):
        start.wait()  # several callers per thread count, on new and on cached pools
        results[k] = calls[k]()

    workers = [threading.Thread(target=run, args=(k,)) for k in range(len(calls))]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    first = np.array(results[0][0])
    np.testing.assert_allclose(first.reshape(n_series, 5), expected_rows(values, offsets), rtol=1e-12, atol=1e-15)
    for cells, n, w in results:
        assert (n, w) == (n_series, 5)
        np.testing.assert_array_equal(np.array(cells).view(np.uint64), first.view(np.uint64))


@pytest.mark.parametrize(
    "first, second",
    [(("quantile", [{"q": q} for q in QS]), ("median", [{}])), (("variance", [{}]), ("standard_deviation", [{}]))],
)
def test_each_timed_item_pays_its_own_shared_work_in_either_order(rng, first, second):
    # Shared, the second item would read the first one's sorted copy or
    # moments in nanoseconds where alone it takes a pass over the series.
    # The best of many runs: a single span is wall time, at the mercy of load.
    values, offsets = rng.normal(size=200_000), np.array([0, 200_000])
    spans = collections.defaultdict(list)
    for plan in ([first, second], [second, first]):
        best = None
        for _ in range(12):
            cells, n, w, t = extract_batch_timed(values, offsets, plan)
            assert (cells, n, w) == extract_batch(values, offsets, plan)
            best = t if best is None else [min(a, b) for a, b in zip(best, t)]
        for (name, _), ns in zip(plan, best):
            spans[name].append(ns)
    for name, (a, b) in spans.items():
        assert max(a, b) < 20 * min(a, b), (name, a, b)
