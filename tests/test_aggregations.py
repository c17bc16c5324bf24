"""`__supports_f_agg`: whether an "f_agg" value names an aggregation."""

import numpy as np
import pytest

from selquor_rs import compute_feature, extract_batch

ACCEPTED = [
    "mean", "average", "median", "var", "std", "max", "amax", "maximum", "min", "amin", "minimum",
    "sum", "prod", "product", "ptp", "any", "all", "argmax", "argmin", "nanmean", "nanmedian",
    "nanvar", "nanstd", "nanmax", "nanmin", "nansum", "nanprod",
]  # fmt: skip

X = np.array([1.0, 2.0, 3.0])


def supports(sets):
    return compute_feature("__supports_f_agg", X, sets)


def test_every_accepted_name_is_supported():
    assert len(set(ACCEPTED)) == 27
    assert supports([{"f_agg": name} for name in ACCEPTED]) == [1.0] * 27


@pytest.mark.parametrize(
    "text",
    ["", "Mean", "MEAN", "mean ", " mean", "me", "avg", "nanmedians", "nan", "median\x00", "mediaN", "médian"],
)
def test_other_texts_are_not_supported(text):
    assert supports([{"f_agg": text}]) == [0.0]


@pytest.mark.parametrize("value", [5, 1.5, True, None, [1, 2], [1.0], b"mean"])
def test_values_that_are_not_text_are_not_supported(value):
    assert supports([{"f_agg": value}]) == [0.0]


def test_one_value_per_set_in_order():
    sets = [{"f_agg": "nanmedian"}, {"f_agg": "average"}, {"f_agg": "nope"}, {"f_agg": ""}, {}, {"F_agg": "mean"}]
    assert supports(sets) == [1.0, 1.0, 0.0, 0.0, 0.0, 0.0]
    assert supports([]) == []


def test_the_series_does_not_matter():
    sets = [{"f_agg": "std"}, {"f_agg": "Std"}]
    assert compute_feature("__supports_f_agg", np.array([]), sets) == [1.0, 0.0]
    assert compute_feature("__supports_f_agg", np.array([np.nan]), sets) == [1.0, 0.0]


def test_through_the_batch():
    values = np.arange(6.0)
    offsets = np.array([0, 2, 6], dtype=np.int64)
    flat, n_series, width = extract_batch(values, offsets, [("__supports_f_agg", [{"f_agg": "prod"}, {"f_agg": 0}])])
    assert (n_series, width) == (2, 2)
    assert flat == [1.0, 0.0, 1.0, 0.0]
