"""Ctrl-C ends a long call: a SIGINT half a second into a single call or a
batch of any calculator that runs for seconds raises KeyboardInterrupt within
about half a second more, the pools stay usable and give the same values,
and a handler that does not raise lets the call finish with its value. One
child interpreter runs every case, so that a call that cannot be stopped fails
by its timeout instead of holding up the run."""
import json
import subprocess
import sys
import textwrap

CHILD = """
import json, os, signal, subprocess, time
import numpy as np
from selquor_rs import compute_feature, extract_batch

# A shell started in the background ignores SIGINT, and so would this child.
signal.signal(signal.SIGINT, signal.default_int_handler)
AT = 0.5

def sigint_in(seconds):
    # From another process: a single call holds the interpreter lock, so no
    # thread of this one could send it.
    return subprocess.Popen(["sh", "-c", f"sleep {seconds}; kill -INT {os.getpid()}"])

def stopped_after(call):
    killer, t0, ended = sigint_in(AT), time.monotonic(), None
    try:
        call()
        ended = f"ended {time.monotonic() - t0:.2f} s in"
        time.sleep(AT + 1)  # the signal is still on its way
    except KeyboardInterrupt:
        stopped = time.monotonic() - t0 - AT
    killer.wait()
    return ended or stopped

rng = np.random.default_rng(7)
noise = rng.standard_normal(10**7)
walk = np.cumsum(noise)
single = lambda name, n, params: (name, lambda: compute_feature(name, walk[:n], params))
# Each runs for seconds to minutes uncut, and had a stretch of a second or
# more without a check.
cases = [
    single("sample_entropy", 300_000, []),  # quadratic
    single("cwt_coefficients", 10**6, [{"widths": [1e6], "w": 1e6, "coeff": 3 * c} for c in range(1_000)]),
    single("partial_autocorrelation", 200_000, [{"lag": 99_999}]),
    single("query_similarity_count", 300_000, [{"query": list(range(10**5)), "threshold": 1.0}]),
    single("lempel_ziv_complexity", 10**7, [{"bins": 2**62}]),
    single("binned_entropy", 10**7, [{"max_bins": 2**40 + b} for b in range(10)]),
    single("agg_linear_trend", 10**7, [{"attr": "slope", "chunk_len": c, "f_agg": "median"} for c in range(5, 45)]),
    single("change_quantiles", 10**7, [{"ql": a / 10, "qh": 1.0, "isabs": True, "f_agg": "var"} for a in range(10)] * 20),
    single("augmented_dickey_fuller", 500_000, [{"attr": "teststat"}]),
]
long = noise[:300_000]
many, many_offsets = np.tile(long, 8), np.arange(9, dtype=np.int64) * long.size
# (Batches of every kind stopped mid-row: the test below.)
cases.append(
    ("batch, query", lambda: extract_batch(many, many_offsets, [("query_similarity_count", [{"query": list(range(10**5))}])], 2))
)

small = rng.standard_normal(4_000)
small_offsets = np.arange(0, 4_001, 500, dtype=np.int64)
plan = [("sample_entropy", [{}]), ("quantile", [{"q": 0.3}]), ("augmented_dickey_fuller", [{"attr": "teststat"}]),
        ("lempel_ziv_complexity", [{"bins": 2**40}]), ("cwt_coefficients", [{"widths": [3.0], "w": 3.0, "coeff": 5}])]
before = [extract_batch(small, small_offsets, plan, n) for n in (0, 2)]
elapsed = {name: stopped_after(call) for name, call in cases}
after = [extract_batch(small, small_offsets, plan, n) for n in (0, 2)]

# A handler that does not raise: the work goes on to its value.
hits = []
signal.signal(signal.SIGINT, lambda *_: hits.append(1))
medium = long[:40_000]
want = [compute_feature("sample_entropy", medium, []), extract_batch(medium, many_offsets[:2] // 10, plan)]
killers = [sigint_in(0.1)]
got = [compute_feature("sample_entropy", medium, [])]
killers.append(sigint_in(0.1))
got.append(extract_batch(medium, many_offsets[:2] // 10, plan))
for k in killers:
    k.wait()
print(json.dumps({"elapsed": elapsed, "same_after": before == after, "handled": got == want, "hits": len(hits)}))
"""


def test_sigint_stops_long_calls_and_a_quiet_handler_does_not():
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD)], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    out = json.loads(r.stdout)
    late = {case: delay for case, delay in out["elapsed"].items() if isinstance(delay, str) or delay > 0.75}
    assert not late  # seconds from the signal to KeyboardInterrupt
    assert out["same_after"] and out["handled"] and out["hits"] == 2


EARLY = """
import ctypes, json, signal, threading, time
import numpy as np
from selquor_rs import compute_feature, extract_batch, extract_batch_timed

signal.signal(signal.SIGALRM, signal.default_int_handler)
x = np.random.default_rng(0).standard_normal(480_000)
offsets = np.arange(9, dtype=np.int64) * 60_000
plan = [("sample_entropy", [{}])]
calls = {f"batch, n_threads={n}": (lambda n=n: extract_batch(x, offsets, plan, n)) for n in (0, 1, 3)}
calls["timed batch"] = lambda: extract_batch_timed(x, offsets, plan)
calls["single call"] = lambda: compute_feature("sample_entropy", x[:200_000], [])

out = []
for name, call in calls.items():
    for delay in (0.001, 0.005, 0.02, 0.1):
        signal.setitimer(signal.ITIMER_REAL, delay)
        t0 = time.monotonic()
        try:
            call()
            late = None
        except KeyboardInterrupt:
            late = time.monotonic() - t0 - delay
        # CPU burnt while the process idles: a thread still at the abandoned work shows here.
        c0 = time.process_time()
        time.sleep(0.2)
        out.append([name, delay, late, time.process_time() - c0])

class Stop(Exception):
    pass

caught, started = [], threading.Event()
def run():
    try:
        started.set()
        extract_batch(x[:120_000], offsets[:3], plan, 1)
        for _ in range(500):
            time.sleep(0.01)
    except Stop:
        caught.append(True)

worker = threading.Thread(target=run, daemon=True)
worker.start()
started.wait()
time.sleep(0.005)  # in the batch, before its first check
ctypes.pythonapi.PyThreadState_SetAsyncExc(ctypes.c_ulong(worker.ident), ctypes.py_object(Stop))
worker.join(30)
print(json.dumps({"calls": out, "async": caught}))
"""


def test_a_signal_at_any_moment_of_a_call_raises_and_an_async_exception_survives():
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(EARLY)], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    out = json.loads(r.stdout)
    for name, delay, late, idle_cpu in out["calls"]:
        # Each call holds seconds of work; the signal must end it at once.
        assert late is not None and late < 0.5, (name, delay, late)
        assert idle_cpu < 0.1, (name, delay, idle_cpu)
    assert out["async"] == [True]
