import numpy as np
import pytest


def _is_panic(exc):
    t = type(exc)
    return (t.__module__, t.__qualname__) == ("pyo3_runtime", "PanicException")


@pytest.fixture
def is_panic():
    """The module does not export its panic class: recognise it by name."""
    return _is_panic


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)
