"""Hostile callers: threads writing to the arrays of a running batch,
conversion hooks that raise interrupts, parameter values too long for memory.
Whatever could crash runs in a child interpreter, so that a crash fails one
test instead of ending the run."""
import os
import textwrap

import numpy as np
import pytest

from conftest import Float, Index, in_child
from selquor_rs import compute_feature, extract_batch


# The writer toggles continuously while several batches run; every batch
# must end, and what it reads must stay inside its series.
WRITERS = {
    # The offsets are checked once; the rows must never see other ones. A
    # batch either raises the offsets error (the writer had shifted them) or
    # gives the exact extremes of the series as they were.
    "offsets": """
        R, L = 30_000, 8
        x = np.random.default_rng(5).standard_normal(R * L)
        off = np.arange(R + 1, dtype=np.int64) * L
        rows = x.reshape(R, L)
        want = np.tile(np.stack([rows.max(axis=1), rows.min(axis=1)], axis=1), 10)
        plan = [("maximum", [{}]), ("minimum", [{}])] * 10

        def write(k):
            off[1:] += 10**12 if k % 2 == 0 else -(10**12)

        def check(out):
            assert np.array_equal(np.reshape(out[0], (R, 20)), want)

        values, offsets = x, off
    """,
    # A sample that the block scan saw as the extreme (or as a NaN) can be
    # gone when its position is searched: the first and last sample of every
    # series cycle through both extremes, NaN and 0. Values may then be
    # anything; a location must stay within [0, 1].
    "values": """
        R, L = 20_000, 64
        values = np.random.default_rng(5).standard_normal(R * L)
        offsets = np.arange(R + 1, dtype=np.int64) * L
        cycle = [1e300, -1e300, np.nan, 0.0]
        names = ["maximum", "minimum", "absolute_maximum", "first_location_of_maximum",
                 "first_location_of_minimum", "last_location_of_maximum", "last_location_of_minimum"]
        plan = [(n, [{}]) for n in names]

        def write(k):
            values[0::L] = cycle[k % 4]
            values[L - 1::L] = cycle[(k + 1) % 4]

        def check(out):
            where = np.reshape(out[0], (R, len(names)))[:, 3:]
            assert ((where >= 0.0) & (where <= 1.0)).all()
    """,
    # Every calculator, its samples changing under it: none may read outside
    # its series or its own buffers (the sanitizer run sees the reads that do
    # not crash).
    "values, every calculator": """
        R, L = 500, 200
        values = np.random.default_rng(5).standard_normal(R * L)
        offsets = np.arange(R + 1, dtype=np.int64) * L
        cycle = [1e300, -1e300, np.nan, np.inf, 0.0, 5e-324]
        plan = [(n, [{}]) for n in implemented_calculators()]
        plan += [("friedrich_coefficients", [{"m": 3, "r": 30, "coeff": 0}]),
                 ("max_langevin_fixed_point", [{"m": 3, "r": 30}])]

        def write(k):
            for j in (0, 1, L // 2, L - 1):
                values[j::L] = cycle[(k + j) % len(cycle)]

        def check(out):
            pass
    """,
}


@pytest.mark.parametrize("array", sorted(WRITERS))
def test_a_thread_writing_to_the_arrays_cannot_crash_a_batch(array):
    # The writer writes while a batch is under way (between two batches the
    # offsets are left intact, so that most batches start).
    body = WRITERS[array] + """
        running = done = False

        def writer():
            k = 0
            while not done:
                if running or k % 2:
                    write(k)
                    k += 1

        t = threading.Thread(target=writer)
        t.start()
        finished = 0
        try:
            for _ in range(20):
                running = True
                try:
                    out = extract_batch(values, offsets, plan)
                except ValueError as e:
                    assert str(e).startswith("offsets "), e
                    continue
                finally:
                    running = False
                check(out)
                finished += 1
        finally:
            done = True
            t.join()
        print(finished)
    """
    head = "import threading\nimport numpy as np\nfrom selquor_rs import extract_batch, implemented_calculators\n"
    assert int(in_child(head + textwrap.dedent(body))) > 0


def test_a_batch_run_by_a_conversion_hook_leaves_the_outer_batch_its_offsets():
    x = np.arange(6.0)

    class Nested:
        def __index__(self):
            assert extract_batch(x, np.arange(6), [("maximum", [{}])]) == ([0.0, 1.0, 2.0, 3.0, 4.0], 5, 1)
            return 1

    # The outer offsets are taken before its plan (and the hook) is read.
    assert extract_batch(x, np.array([0, 3, 6]), [("maximum", [{"unused": Nested()}])]) == ([2.0, 5.0], 2, 1)


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
@pytest.mark.parametrize("hook", [Index, Float, lambda e: [1, Index(e)], lambda e: (2.5, Float(e))])
def test_interrupts_and_fatal_errors_from_conversion_hooks_propagate(hook, error):
    value = hook(error("raised by a hook"))
    for call in (
        lambda: compute_feature("mean", np.zeros(3), [{"unused": value}]),
        lambda: extract_batch(np.zeros(3), np.array([0, 3]), [("mean", [{"unused": value}])]),
    ):
        with pytest.raises(error, match="raised by a hook"):
            call()


# A value that a calculator never reads is converted all the same. The child
# stops itself (SIGVTALRM, not handled) after a few seconds of CPU time, so
# that a conversion that fills memory cannot run away.
CPU_CAP = "import signal\nsignal.setitimer(signal.ITIMER_VIRTUAL, 5)\nimport numpy as np\nimport selquor_rs as m\n"


@pytest.mark.parametrize("value", ["range(10**12)", "range(-(10**20), 0)"])
def test_a_sequence_too_long_for_memory_fails_at_once(value):
    body = CPU_CAP + f"""
for call in (lambda v: m.compute_feature("mean", np.zeros(3), [{{"unused": v}}]),
             lambda v: m.extract_batch(np.zeros(3), np.array([0, 3]), [("mean", [{{"unused": v}}])])):
    try:
        call({value})
    except MemoryError:
        print("MemoryError")
"""
    assert in_child(body, timeout=60).split() == ["MemoryError"] * 2


def test_ctrl_c_stops_a_long_conversion():
    # Half of physical memory in doubles: long enough to take minutes, short
    # enough to be converted at all. SIGALRM stands in for Ctrl-C: its
    # handler raises KeyboardInterrupt.
    n = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 16
    body = CPU_CAP + f"""
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    m.compute_feature("mean", np.zeros(3), [{{"unused": range({n})}}])
except KeyboardInterrupt:
    print("interrupted")
"""
    assert in_child(body, timeout=60).split() == ["interrupted"]
