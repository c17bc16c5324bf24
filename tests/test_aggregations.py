"""`__supports_f_agg`: whether an "f_agg" value names an aggregation."""

import numpy as np

from selquor_rs import compute_feature

# Every accepted name selects its own aggregation (the C++ AggParse test);
# here the first and the last, read through the calculator.
ACCEPTED = ["mean", "nanprod"]
# Other case, blanks, prefixes and extensions, a NUL, non-ASCII, and values that are not text.
REJECTED = ["", "Mean", "MEAN", "mean ", " mean", "me", "avg", "nanmedians", "nan", "median\x00", "médian",
            5, 1.5, True, None, [1, 2], [1.0], b"mean"]  # fmt: skip


def test_one_value_per_set_in_order():
    sets = [{"f_agg": v} for v in ACCEPTED + REJECTED] + [{}, {"F_agg": "mean"}]
    want = [1.0] * len(ACCEPTED) + [0.0] * (len(REJECTED) + 2)
    assert compute_feature("__supports_f_agg", np.array([1.0, 2.0]), sets) == want
    assert compute_feature("__supports_f_agg", np.array([]), []) == []
