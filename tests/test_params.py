"""Python parameter values into parameter sets. A value must read exactly as
the plain value it converts to (an int, float, bool, str, list or None),
seen through five readers: a real key, a boolean key, a list key, an
Int-or-Float key and a text key."""
import collections

import numpy as np
import pytest

from conftest import Index
from selquor_rs import compute_feature, compute_linear_trend_timewise


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class SeqIndex(Seq):
    def __index__(self):
        return 2


class NoIter(list):
    def __iter__(self):
        raise RuntimeError("no iteration")


IntSub, StrSub = type("IntSub", (int,), {}), type("StrSub", (str,), {})


def readings(value):
    def one(name, x, **params):
        out = compute_feature(name, np.array(x, dtype=float), [params])[0]
        return None if out != out else out

    trend = compute_linear_trend_timewise(np.arange(3.0), np.array([1.0, 3.0, 5.0]), [{"attr": value}])[0]
    return (
        one("value_count", [0, 1, 1, 2, 2, 2, 2.5, 2.5, 2.5, 2.5] + [2**63] * 5, value=value),  # Int, Float, Bool
        one("cid_ce", [0, 4, 0, 0], normalize=value),  # Bool, or an Int that is not 0
        one("query_similarity_count", [0, 1, 2, 0, 1, 2, 5, 5, 5], query=value, normalize=False),  # lists
        one("mean_n_absolute_max", [1, 2, 3, 4, 5], number_of_maxima=value),  # Int or Float only
        None if trend != trend else trend,  # Str
    )


def test_the_readers_tell_the_plain_values_apart():
    plain = [None, True, False, 1, 2, 3, -(2**63), 2**63 - 1, 1.0, 2.5, "slope", "", [0, 1, 2], [5.0, 5.0, 5.0], []]
    assert len({readings(v) for v in plain}) == len(plain) - 2  # "" and [] read as None


@pytest.mark.parametrize(
    "value, plain",
    [
        (IntSub(2), 2),
        (np.True_, True),  # a NumPy boolean is a bool, not the Float 1.0
        (np.int64(2), 2),  # through __index__, as an Index hook or a 0-d integer array
        (SeqIndex(0, 1, 2), 2),  # converts as a whole before it is read as a sequence
        (np.float64(2.5), 2.5),
        (np.float32(2.5), 2.5),  # through __float__, as a Decimal
        (Index(2**63), 2.0**63),  # no Int, silently; then a Float through __index__
        (Index(ValueError("broken")), None),
        (StrSub("slope"), "slope"),
        ((0, 1, 2), [0, 1, 2]),
        ([True, False, 2], [1, 0, 2]),
        ((0, 1, 2.0), [0, 1, 2]),
        ([2**63, 5, 5], [2.0**63, 5, 5]),  # a FloatList, not an error
        (Seq(0, 1, 2), [0, 1, 2]),  # not a list, yet a sequence of numbers
        (b"\x00\x01\x02", [0, 1, 2]),
        ([0, 1, 2, "x"], []),  # one non-number anywhere (None, a list, ...): empty
        (NoIter([0, 1, 2]), []),
        (Seq(0, 1, 2, "x"), None),
        ({0: 0, 1: 1, 2: 2}, None),
        (object(), None),
    ],
)
def test_value_reads_as_its_plain_equivalent(value, plain):
    assert readings(value) == readings(plain)


@pytest.mark.parametrize(
    "params, error, message",
    [
        ([{}, 1, {1: 2}], ValueError, "each parameter entry must be a dict"),  # the first failure wins
        ([{}, [("a", 1)]], ValueError, "each parameter entry must be a dict"),
        ([{"a": 1}, {1: 2}], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([{b"a": 1}], TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ([{"a": 2**63, 1: 2}], OverflowError, None),  # entries in dict order; unused values too
        ([{1: 2, "a": 2**63}], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([{"a": -(2**63) - 1}], OverflowError, None),
        ([{"a": IntSub(2**64)}], OverflowError, None),
        ([{"\ud800": 1}], UnicodeEncodeError, None),
        ([{"a": "\udcff"}], UnicodeEncodeError, None),
    ],
)
def test_malformed_parameter_lists(params, error, message):
    with pytest.raises(error) as e:
        compute_feature("no_such_calculator", np.zeros(3), params)
    assert type(e.value) is error and e.value.__cause__ is None
    if message is not None:
        assert str(e.value) == message


def test_dict_subclasses_and_empty_dicts():
    dicts = [collections.OrderedDict(attr="slope"), collections.defaultdict(int, attr="intercept"), {}]
    assert np.array_equal(compute_linear_trend_timewise(np.arange(3.0), np.array([1.0, 3.0, 5.0]), dicts), [2.0, 1.0, np.nan], equal_nan=True)
