import math

import numpy as np
import pyarrow as pa
import pytest

import quelm
from conftest import INT64_MAX, INT64_MIN, Floaty, Index, message_of, weights_of

OTHER = 7


def keyed_table(code):
    """64 rows: 32 carry `code`, 32 carry OTHER, in column "a" (Int64)."""
    return pa.table({"a": pa.array([code] * 32 + [OTHER] * 32, pa.int64())})




class FloatAfterFailedIndex:
    def __index__(self):
        raise ValueError("not an index")

    def __float__(self):
        return 6.5


class Thing:
    pass


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class MyTypeError(TypeError):
    pass


class NoStream:
    pass


class IntCapsule:
    def __arrow_c_stream__(self, requested_schema=None):
        return 5


@pytest.mark.parametrize(
    "key, code",
    [
        (1, 1),
        (1.9, 1),
        (-2.7, -2),
        (2.0, 2),
        (True, 1),
        (False, 0),
        (2**63, INT64_MAX),
        (2**64, INT64_MAX),
        (-(2**70), INT64_MIN),
        (1e300, INT64_MAX),
        (float("inf"), INT64_MAX),
        (float("-inf"), INT64_MIN),
        (float("nan"), 0),
        (Index(3), 3),
        (Index(2**70), INT64_MAX),
        (Floaty(3.9), 3),
        (FloatAfterFailedIndex(), 6),
        (np.int16(-4), -4),
        (np.float64(5.5), 5),
    ],
)
def test_key_becomes_integer_code(key, code):
    out, result = quelm.rim_rake(keyed_table(code), ["a"], {"a": {key: 0.25, OTHER: 0.75}})
    assert weights_of(out) == [0.5] * 32 + [1.5] * 32
    assert result.converged is True


def test_equal_keys_keep_the_last_share():
    # 1 and 1.9 are the same key; the later share wins and 0 has no target.
    table = pa.table({"a": pa.array([0] * 32 + [1] * 32, pa.int32())})
    out, _ = quelm.rim_rake(table, ["a"], {"a": {1: 0.125, 1.9: 0.375}})
    assert weights_of(out) == [1.0] * 32 + [0.75] * 32


@pytest.mark.parametrize("key", ["1", "0"])
def test_numeric_looking_text_stays_text(key):
    numeric = pa.table({"a": pa.array([0, 1], pa.int32())})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(numeric, ["a"], {"a": {key: 1.0}})
    assert info.value.args == (
        f"Target key \"{key}\" for column 'a' is text, but that column holds numeric category codes",
    )
    values = ["0", "1", "0", "1"]
    out, _ = quelm.rim_rake(pa.table({"a": pa.array(values)}), ["a"], {"a": {key: 0.25}})
    assert weights_of(out) == [0.5 if v == key else 1.0 for v in values]


@pytest.mark.parametrize(
    "key, message",
    [
        ((1,), "'tuple' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"1", "'bytes' object is not an instance of 'str'"),
        (Thing(), "'Thing' object is not an instance of 'str'"),
        (complex(1, 0), "'complex' object is not an instance of 'str'"),
    ],
)
def test_unconvertible_key(key, message):
    table = pa.table({"a": pa.array([0, 1], pa.int32())})
    with pytest.raises(TypeError) as info:
        quelm.rim_rake(table, ["a"], {"a": {key: 1.0}})
    assert type(info.value) is TypeError
    assert str(info.value) == message


TABLE = pa.table({"a": pa.array([0, 1], pa.int32())})

BAD_TARGETS = [
    ({1: {0: 1.0}}, TypeError, "'int' object is not an instance of 'str'"),
    ({None: {0: 1.0}}, TypeError, "'None' is not an instance of 'str'"),
    ({("a",): {0: 1.0}}, TypeError, "'tuple' object is not an instance of 'str'"),
    ({"a": [0.5, 0.5]}, TypeError, "'list' object is not an instance of 'dict'"),
    ({"a": None}, TypeError, "'None' is not an instance of 'dict'"),
    ({"a": {0: "half"}}, TypeError, message_of(math.sqrt, "half")),
    ({"a": {0: None}}, TypeError, message_of(math.sqrt, None)),
    ({"a": {0: Raising(TypeError("own"))}}, TypeError, "own"),
    ({"a": {0: Raising(MyTypeError("own"))}}, MyTypeError, "own"),
    ({"a": {0: Raising(ValueError("own"))}}, ValueError, "own"),
    ({"\ud800": {0: 1.0}}, UnicodeEncodeError, None),
    ({"a": {"\udc80": 1.0}}, UnicodeEncodeError, None),
    # Failures are reported in the order of the conversions.
    ({1: [0.5]}, TypeError, "'int' object is not an instance of 'str'"),
    ({"a": {(1,): "half"}}, TypeError, "'tuple' object is not an instance of 'str'"),
    ({"a": {0: "half", (1,): 0.5}}, TypeError, message_of(math.sqrt, "half")),
    ({"a": {0: 0.5}, "b": [0.5], 2: {}}, TypeError, "'list' object is not an instance of 'dict'"),
]


@pytest.mark.parametrize("targets, exc_type, message", BAD_TARGETS)
def test_malformed_targets(targets, exc_type, message):
    with pytest.raises(BaseException) as info:
        quelm.rim_rake(TABLE, ["a"], targets)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "data, exc_type",
    [(NoStream(), AttributeError), (IntCapsule(), TypeError)],
)
def test_bad_data_is_reported_before_bad_targets(data, exc_type):
    with pytest.raises(BaseException) as info:
        quelm.rim_rake(data, ["a"], {"a": [0.5, 0.5]})
    assert type(info.value) is exc_type
    assert "dict" not in str(info.value)


def test_bad_targets_are_reported_before_missing_columns():
    with pytest.raises(TypeError) as info:
        quelm.rim_rake(TABLE, ["missing"], {"a": {0: "half"}})
    assert str(info.value) == message_of(math.sqrt, "half")


@pytest.mark.parametrize(
    "share, expected",
    [(Floaty(0.25), 0.5), (1, 2.0), (np.float32(0.75), 1.5), (Index(1), 2.0)],
)
def test_share_conversions(share, expected):
    table = pa.table({"a": pa.array([0, 0, 1, 1], pa.int32())})
    out, _ = quelm.rim_rake(table, ["a"], {"a": {0: share}})
    assert weights_of(out) == [expected, expected, 1.0, 1.0]


@pytest.mark.parametrize("targets", [{}, {"a": {}}])
def test_empty_targets_are_accepted(targets):
    out, result = quelm.rim_rake(pa.table({"a": pa.array([0, 1, 1], pa.int32())}), ["a"], targets)
    assert weights_of(out) == [1.0, 1.0, 1.0]
    assert (result.iterations, result.converged, result.max_target_gap) == (1, True, 0.0)


class Name(str):
    """A column name whose dict identity differs from its text."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def test_column_named_twice_takes_last_shares_at_first_position():
    # Column a is all category 0 with share 1.0, column b all category 0 with share 0.5.
    # Raked in the order a, b the runs stall at iteration 4 with every weight 0.5.
    table = pa.table({"a": pa.array([0] * 100, pa.int32()), "b": pa.array([0] * 100, pa.int32())})
    targets = {Name("a"): {}, "b": {0: 0.5}, Name("a"): {0: 1.0}}
    assert len(targets) == 3
    out, result = quelm.rim_rake(table, ["a", "b"], targets)
    assert (result.iterations, result.stalled, result.converged) == (4, True, False)
    assert weights_of(out) == [0.5] * 100


class Hook:
    """A target key or share whose conversion runs `action` once."""

    def __init__(self, action, value=0):
        self.action = action
        self.value = value

    def _run(self):
        action, self.action = self.action, None
        if action is not None:
            action(self)
        return self.value

    def __index__(self):
        return self._run()

    def __float__(self):
        return float(self._run())


def grow_inner_by_key():
    inner = {}
    inner[Hook(lambda _: inner.__setitem__(5, 0.1))] = 0.5
    inner[1] = 0.5
    return {"a": inner}


def grow_inner_by_share():
    inner = {0: 0.5}
    inner[1] = Hook(lambda _: inner.__setitem__(5, 0.1), 0.5)
    inner[2] = 0.1
    return {"a": inner}


def grow_outer_by_key():
    outer = {}
    outer["a"] = {Hook(lambda _: outer.__setitem__("c", {})): 0.5}
    outer["b"] = {0: 0.5}
    return outer


def swap_inner_key():
    inner = {}

    def swap(key):
        del inner[key]
        inner[6] = 0.5

    inner[Hook(swap)] = 0.5
    inner[1] = 0.5
    return {"a": inner}


def swap_outer_key():
    outer = {}

    def swap(_):
        del outer["a"]
        outer["z"] = {}

    outer["a"] = {Hook(swap): 0.5}
    outer["b"] = {0: 0.5}
    return outer


@pytest.mark.parametrize(
    "make_targets, message",
    [
        (grow_inner_by_key, "dictionary changed size during iteration"),
        (grow_inner_by_share, "dictionary changed size during iteration"),
        (grow_outer_by_key, "dictionary changed size during iteration"),
        (swap_inner_key, "dictionary keys changed during iteration"),
        (swap_outer_key, "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_while_parsed(make_targets, message):
    table = pa.table({"a": pa.array([0, 1], pa.int32()), "b": pa.array([0, 1], pa.int32())})
    with pytest.raises(quelm.InternalError) as info:
        try:
            quelm.rim_rake(table, ["a", "b"], make_targets())
        except Exception as exc:  # an internal fault must not be an Exception
            pytest.fail(f"caught as Exception: {exc!r}")
    assert type(info.value) is quelm.InternalError
    assert info.value.args == (message,)
