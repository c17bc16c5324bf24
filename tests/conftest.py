import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)


class Index:
    """An integer only through __index__; an exception value is raised instead."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v
