"""Batch extraction at scale: values against numpy, pools, threads, timings."""
import math
import os
import threading

import numpy as np
import pytest

from selquor_rs import extract_batch, extract_batch_timed

QS = (0.1, 0.5, 0.9)
PLAN = [
    ("mean", [{}]),
    ("quantile", [{"q": q} for q in QS]),
    ("no_such_calculator", [{}]),
    ("mean", []),
    ("mean", [{}, {}]),
]
WIDTH = 7
ALL_THREADS = [0, 1, 2, os.cpu_count(), os.cpu_count() + 1, 2**64 - 1]


def make_batch(rng, n_series, max_len=300):
    """Series of random lengths (some empty), laid out after a 5-value prefix."""
    lengths = rng.integers(0, max_len, n_series)
    lengths[::17] = 0
    values = rng.normal(size=5 + int(lengths.sum()))
    offsets = np.concatenate([[5], 5 + np.cumsum(lengths)]).astype(np.int64)
    return values, offsets


def expected_rows(values, offsets):
    rows = []
    for a, b in zip(offsets[:-1], offsets[1:]):
        x = values[a:b]
        if x.size == 0:  # mean and quantiles of nothing are undefined
            mean, qs = math.nan, [math.nan] * len(QS)
        else:
            mean, qs = np.mean(x), list(np.quantile(x, QS))
        rows.append([mean, *qs, math.nan, mean, math.nan])
    return np.array(rows).reshape(len(offsets) - 1, WIDTH)


def as_matrix(result):
    cells, n_series, width = result[:3]
    assert len(cells) == n_series * width
    return np.array(cells).reshape(n_series, width)


@pytest.mark.parametrize("n_threads", ALL_THREADS)
def test_every_pool_gives_the_numpy_values(rng, n_threads):
    values, offsets = make_batch(rng, 2000)
    got = as_matrix(extract_batch(values, offsets, PLAN, n_threads))
    np.testing.assert_allclose(got, expected_rows(values, offsets), rtol=1e-12, atol=1e-15)


def test_pool_choice_never_changes_a_bit(rng):
    values, offsets = make_batch(rng, 500)
    results = [extract_batch(values, offsets, PLAN, n) for n in ALL_THREADS]
    results.append(extract_batch_timed(values, offsets, PLAN)[:3])
    first = np.array(results[0][0]).view(np.uint64)
    for r in results[1:]:
        assert r[1:] == results[0][1:]
        np.testing.assert_array_equal(np.array(r[0]).view(np.uint64), first)


@pytest.mark.parametrize("n_threads", [0, 1, 3])
def test_single_series(rng, n_threads):
    x = rng.normal(size=1000)
    got = as_matrix(extract_batch(x, np.array([0, 1000]), PLAN, n_threads))
    np.testing.assert_allclose(got, expected_rows(x, [0, 1000]), rtol=1e-12)


def test_series_of_very_different_lengths(rng):
    # One long series among many short ones: rows are never split.
    lengths = np.full(200, 3)
    lengths[37] = 200_000
    values = rng.normal(size=int(lengths.sum()))
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    got = as_matrix(extract_batch(values, offsets, PLAN, 0))
    np.testing.assert_allclose(got, expected_rows(values, offsets), rtol=1e-12)


def test_concurrent_calls_share_pools_safely(rng):
    batches = [make_batch(rng, 300) for _ in range(6)]
    expected = [expected_rows(v, o) for v, o in batches]
    results = [None] * 12
    start = threading.Barrier(len(results))

    def work(k):
        values, offsets = batches[k % 6]
        start.wait()
        # Two callers per thread count, including new and cached dedicated pools.
        results[k] = extract_batch(values, offsets, PLAN, k // 2 % 3 + 1)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, r in enumerate(results):
        np.testing.assert_allclose(as_matrix(r), expected[k % 6], rtol=1e-12, atol=1e-15)


# ------------------------------------------------------------------- timed


def test_timed_list_has_one_entry_per_plan_item(rng):
    values, offsets = make_batch(rng, 50)
    cells, n_series, width, timings = extract_batch_timed(values, offsets, PLAN)
    np.testing.assert_allclose(
        as_matrix((cells, n_series, width)), expected_rows(values, offsets), rtol=1e-12, atol=1e-15
    )
    assert len(timings) == len(PLAN)
    # Every item runs on every series, an unknown name and a width-0 item too.
    assert all(type(t) is int and t > 0 for t in timings)


def test_timed_zero_width_item_still_runs(rng):
    values, offsets = make_batch(rng, 40)
    cells, n_series, width, timings = extract_batch_timed(values, offsets, [("mean", []), ("mean", [{}])])
    assert (n_series, width) == (40, 1)
    np.testing.assert_allclose(cells, expected_rows(values, offsets)[:, 0], rtol=1e-12)
    assert len(timings) == 2 and min(timings) > 0
