import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


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
