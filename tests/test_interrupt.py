"""Ctrl-C ends a long call: a SIGINT one second into a batch or a single
call raises KeyboardInterrupt soon after, the pools stay usable, and a
handler that does not raise lets the call finish with its value. Each case
runs in a child interpreter, so that a call that cannot be stopped fails by
its timeout instead of holding up the run."""
import json
import subprocess
import sys
import textwrap

CHILD = """
import json, os, signal, subprocess, time
import numpy as np
from selquor_rs import compute_feature, extract_batch, extract_batch_timed

def sigint_in(seconds):
    # From another process: a single call holds the interpreter lock, so no
    # thread of this one could send it.
    return subprocess.Popen(["sh", "-c", f"sleep {seconds}; kill -INT {os.getpid()}"])

def stopped_after(call):
    killer, t0 = sigint_in(1), time.monotonic()
    try:
        call()
    except KeyboardInterrupt:
        return time.monotonic() - t0
    finally:
        killer.wait()
    raise AssertionError("the call ended without the interrupt")

rng = np.random.default_rng(7)
# sample_entropy is quadratic: ~30 s for one of these series.
long = rng.standard_normal(300_000)
many = np.tile(long, 8)
many_offsets = np.arange(9, dtype=np.int64) * long.size
small = rng.standard_normal(4_000)
small_offsets = np.arange(0, 4_001, 500, dtype=np.int64)
plan = [("sample_entropy", [{}]), ("quantile", [{"q": 0.3}]), ("augmented_dickey_fuller", [{"attr": "teststat"}])]
before = [extract_batch(small, small_offsets, plan, n) for n in (0, 2)]

elapsed = {
    "batch, ambient pool": stopped_after(lambda: extract_batch(many, many_offsets, [("sample_entropy", [{}])])),
    "batch, 2 threads": stopped_after(lambda: extract_batch(many, many_offsets, [("sample_entropy", [{}])], 2)),
    "timed batch": stopped_after(lambda: extract_batch_timed(many, many_offsets, [("sample_entropy", [{}])])),
    "single call": stopped_after(lambda: compute_feature("sample_entropy", long, [])),
}
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
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD)], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    out = json.loads(r.stdout)
    for case, seconds in out["elapsed"].items():
        assert seconds < 2.5, (case, seconds)  # the signal comes at 1 s; the work alone takes tens of seconds
    assert out["same_after"] and out["handled"] and out["hits"] == 2
