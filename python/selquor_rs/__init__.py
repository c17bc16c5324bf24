"""Native time-series feature calculators."""

from selquor_rs._selquor_rs import *  # noqa: F401,F403
from selquor_rs._selquor_rs import __all__, __version__  # noqa: F401
