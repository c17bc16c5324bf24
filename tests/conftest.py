import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from selquor_rs import compute_feature

NAN, INF, I64_MAX = math.nan, math.inf, 2**63 - 1
NEG_NAN = float(np.copysign(np.nan, -1))  # sign bit set


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


def calc(name, x, *sets):
    """One value per set (a scalar calculator answers once)."""
    return compute_feature(name, np.asarray(x, dtype=np.float64), list(sets))


def one(name, x, params=None):
    out = calc(name, x, params or {})
    assert out is not None and len(out) == 1
    return out[0]


def same(got, want):
    """Equal as values, NaN matching any NaN and the sign of a zero kept."""
    return math.isnan(got) if math.isnan(want) else got == want and math.copysign(1, got) == math.copysign(1, want)


def close(got, want, rel=1e-13):
    """Exact for NaN, zeros and infinities; otherwise within rel."""
    return same(got, want) if math.isnan(want) or want == 0 or math.isinf(want) else got == pytest.approx(want, rel=rel, abs=0)


def in_child(body, timeout=120, stdin=None, args=()):
    """Runs `body` in a fresh interpreter and returns its stdout; a crash, an
    error or a kill fails the test."""
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(body), *args], input=stdin, capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == 0, f"exit {r.returncode}\n{r.stderr[-3000:]}"
    return r.stdout


def bits(values):
    """The bit patterns, every NaN as one."""
    a = np.asarray(values, dtype=np.float64)
    return np.where(np.isnan(a), np.uint64(0x7FF8000000000000), a.view(np.uint64))


class _Hook:
    """Gives its value through one conversion hook; an exception value is raised instead."""

    def __init__(self, v):
        self.v = v

    def _value(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Index(_Hook):
    """An integer only through __index__."""

    __index__ = _Hook._value


class Float(_Hook):
    """A number only through __float__."""

    __float__ = _Hook._value
