"""Python parameter dicts into parameter sets, observed through calculators
whose reading rule is simple: the integer key "number_of_maxima" of
mean_n_absolute_max (only Int or Float count), the real key "value" of
value_count and the list key "query" of query_similarity_count."""
import collections
import decimal
import fractions

import numpy as np
import pytest

from selquor_rs import compute_feature, compute_linear_trend_timewise

NAN = float("nan")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Float:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Seq:
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


def same(a, b):
    return a == b or (a != a and b != b)


# Mean of the k largest of 1..5: k = 2 gives 4.5. Anything that is not an Int
# or a Float reads as "no k" (NaN); a Float is truncated.
MAXIMA_X = np.array([1.0, 2.0, 3.0, 4.0, 5.0])


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, 4.5),  # Int
        (IntSub(2), 4.5),
        (2.9, 4.5),  # Float, truncated
        (FloatSub(2.0), 4.5),
        (np.float64(2.0), 4.5),
        (np.float32(2.5), 4.5),  # step 7b: __float__
        (np.int64(2), 4.5),  # step 7a: __index__
        (np.array(2), 4.5),
        (Index(2), 4.5),
        (decimal.Decimal("2.5"), 4.5),
        (fractions.Fraction(5, 2), 4.5),
        (Float(2.0), 4.5),
        (Index(2**63), NAN),  # not an Int (silently), then a huge Float: more maxima than samples
        (-(2**63), NAN),  # accepted, and no maximum to take
        (True, NAN),  # Bool, not Int
        ("2", NAN),
        (None, NAN),
        ([2], NAN),
        ({2}, NAN),
        ({"a": 2}, NAN),
        (object(), NAN),
    ],
)
def test_value_kind_is_decided_by_type_first(value, expected):
    out = compute_feature("mean_n_absolute_max", MAXIMA_X, [{"number_of_maxima": value}])
    assert same(out[0], expected)


# 0 once, 1 twice, 2.5 three times, NaN four times: a value that reads as no
# number counts the NaN samples.
COUNT_X = np.array([0.0, 1.0, 1.0, 2.5, 2.5, 2.5, NAN, NAN, NAN, NAN])


@pytest.mark.parametrize(
    "value, expected",
    [(1, 2.0), (True, 2.0), (False, 1.0), (2.5, 3.0), ("1", 4.0), (None, 4.0), ([1], 4.0), (Index(1), 2.0)],
)
def test_real_key_reading(value, expected):
    assert compute_feature("value_count", COUNT_X, [{"value": value}]) == [expected]


# Exact windows equal to the query: [0, 1, 2] occurs twice. A query that
# reads as an empty list (or a missing one) answers NaN.
QUERY_X = np.array([0.0, 1.0, 2.0, 0.0, 1.0, 2.0])


@pytest.mark.parametrize(
    "query, expected",
    [
        ([0, 1, 2], 2.0),
        ((0, 1, 2), 2.0),
        ([False, True, 2], 2.0),  # IntList [0, 1, 2]
        ((0, 1, 2.0), 2.0),  # FloatList
        ([0, 1, decimal.Decimal(2)], 2.0),
        ([0, 1, 2**70], 0.0),  # FloatList holding 2^70, not empty
        (range(3), 2.0),  # step 7c: a float-convertible sequence
        (np.array([0.0, 1.0, 2.0]), 2.0),
        (Seq([0, 1, 2]), 2.0),
        (b"\x00\x01\x02", 2.0),  # bytes is a sequence of ints
        ([0, 1, "2"], NAN),  # one non-number: empty FloatList
        ([None, None, None], NAN),
        ([[0], [1], [2]], NAN),
        ([], NAN),
        ((), NAN),
        ("012", NAN),
        (iter([0, 1, 2]), NAN),  # not a sequence: None
        ({0: 0, 1: 1, 2: 2}, NAN),
        (Seq([0, 1, "x"]), NAN),
    ],
)
def test_list_values(query, expected):
    params = [{"query": query, "normalize": False, "threshold": 0.0}]
    assert same(compute_feature("query_similarity_count", QUERY_X, params)[0], expected)


def test_list_whose_iteration_fails_is_an_empty_list():
    class Broken(list):
        def __iter__(self):
            raise RuntimeError("no iteration")

    params = [{"query": Broken([0, 1, 2]), "normalize": False}]
    assert same(compute_feature("query_similarity_count", QUERY_X, params)[0], NAN)


H = np.array([0.0, 1.0, 2.0, 3.0])
Y = np.array([1.0, 3.0, 5.0, 7.0])


@pytest.mark.parametrize("attr, expected", [("slope", 2.0), (StrSub("slope"), 2.0), ("Slope", NAN), (1, NAN)])
def test_text_values(attr, expected):
    assert same(compute_linear_trend_timewise(H, Y, [{"attr": attr}])[0], expected)


def test_dict_subclasses_and_empty_dicts():
    out = compute_linear_trend_timewise(
        H, Y, [collections.OrderedDict(attr="slope"), collections.defaultdict(int, attr="intercept"), {}]
    )
    assert out[:2] == [2.0, 1.0] and out[2] != out[2]


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, IntSub(2**64)])
def test_int_outside_64_bits_overflows(value):
    with pytest.raises(OverflowError) as e:
        compute_feature("mean", H, [{"x": value}])
    assert not str(e.value).startswith("argument")


@pytest.mark.parametrize(
    "params, error, message",
    [
        ([1], ValueError, "each parameter entry must be a dict"),
        ([{}, [("a", 1)]], ValueError, "each parameter entry must be a dict"),
        ([{1: 2}], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([{("a",): 2}], TypeError, "'tuple' object cannot be converted to 'PyString'"),
        ([{"a": 1}, {b"a": 1}], TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ([{}, 1, {1: 2}], ValueError, "each parameter entry must be a dict"),  # the first failure wins
        ([{"a": 2**63, 1: 2}], OverflowError, None),  # entries in dict order
        ([{1: 2, "a": 2**63}], TypeError, "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_malformed_parameter_lists(params, error, message):
    with pytest.raises(error) as e:
        compute_feature("mean", H, params)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
        assert e.value.__cause__ is None


@pytest.mark.parametrize("params", [[{"\ud800": 1}], [{"a": "\udcff"}]])
def test_text_without_utf8_form(params):
    with pytest.raises(UnicodeEncodeError):
        compute_feature("mean", H, params)


def test_unused_values_are_still_converted():
    # Parameters are converted before the name is looked at.
    with pytest.raises(OverflowError):
        compute_feature("no_such_calculator", H, [{"unused": 2**64}])


class Mutate:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 1


def test_dict_growing_during_conversion_panics(is_panic):
    d = {}
    d["a"] = Mutate(lambda: d.__setitem__("b", 1))
    with pytest.raises(BaseException) as e:
        compute_feature("mean", H, [d])
    assert is_panic(e.value)
    assert e.value.args == ("dictionary changed size during iteration",)


def test_dict_keys_changing_during_conversion_panics(is_panic):
    d = {}

    def swap():
        del d["a"]
        d["c"] = 1

    d["a"] = Mutate(swap)
    d["b"] = 1
    with pytest.raises(BaseException) as e:
        compute_feature("mean", H, [d])
    assert is_panic(e.value)
    assert e.value.args == ("dictionary keys changed during iteration",)


def test_hook_emptying_the_parameter_list_is_safe():
    params = []
    params.append({"number_of_maxima": Mutate(params.clear)})
    params.append({"number_of_maxima": 1})
    out = compute_feature("mean_n_absolute_max", MAXIMA_X, params)
    assert out == [5.0]  # conversion stops at the list's new end
