import math
import operator
from collections import OrderedDict
from types import MappingProxyType

import numpy as np
import pyarrow as pa
import pytest

import quelm
from conftest import Floaty, Index, blocks, message_of, weights_of

TARGETS = {"a": {0: 0.25, 1: 0.75}}
EXTRA = ["weight", 1000, 0.01, None, None, True, None, True]


@pytest.fixture
def table():
    return pa.table({"a": blocks(2, 2)})


class NoStream:
    """A data object that binding never looks at."""


class Holder:
    class Item:
        pass




class MyTypeError(TypeError):
    pass


class Raising:
    """Raises the given exception from __index__ and __float__."""

    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc

    def __float__(self):
        raise self.exc


D = NoStream()
BINDING = [
    (quelm.rim_rake, (), {}, "rim_rake() missing 3 required positional arguments: "
     "'data', 'target_columns', and 'targets'"),
    (quelm.rim_rake, (D,), {}, "rim_rake() missing 2 required positional arguments: "
     "'target_columns' and 'targets'"),
    (quelm.rim_rake, (D, ["a"]), {}, "rim_rake() missing 1 required positional argument: 'targets'"),
    (quelm.rim_rake, (), {"targets": {}, "data": D}, "rim_rake() missing 1 required "
     "positional argument: 'target_columns'"),
    (quelm.rim_rake, (D, ["a"], {}, *EXTRA, 0), {}, "rim_rake() takes from 3 to 11 "
     "positional arguments but 12 were given"),
    (quelm.rim_rake, (D, ["a"], {}), {"weights": "w"}, "rim_rake() got an unexpected "
     "keyword argument 'weights'"),
    (quelm.rim_rake, (D, ["a"], {}), {"data": D}, "rim_rake() got multiple values for argument 'data'"),
    (quelm.rim_rake, (D, ["a"], {}, "w"), {"weight_column": "w"}, "rim_rake() got multiple "
     "values for argument 'weight_column'"),
    (quelm.rim_rake_grouped, (), {}, "rim_rake_grouped() missing 4 required positional "
     "arguments: 'data', 'target_columns', 'targets', and 'group_columns'"),
    (quelm.rim_rake_grouped, (D, ["a"], {}), {}, "rim_rake_grouped() missing 1 required "
     "positional argument: 'group_columns'"),
    (quelm.rim_rake_grouped, (D, ["a"], {}, ["g"], *EXTRA, 0), {}, "rim_rake_grouped() takes "
     "from 4 to 12 positional arguments but 13 were given"),
    (quelm.rim_rake_grouped, (D, ["a"], {}, ["g"]), {"group_column": "g"}, "rim_rake_grouped() "
     "got an unexpected keyword argument 'group_column'"),
    (quelm.rim_rake_by_scheme, (), {}, "rim_rake_by_scheme() missing 3 required positional "
     "arguments: 'data', 'group_column', and 'schemes'"),
    (quelm.rim_rake_by_scheme, (D, "g"), {}, "rim_rake_by_scheme() missing 1 required "
     "positional argument: 'schemes'"),
    (quelm.rim_rake_by_scheme, (D, "g", {}, None, *EXTRA[:6], None, None, True, 0), {},
     "rim_rake_by_scheme() takes from 3 to 13 positional arguments but 14 were given"),
    (quelm.rim_rake_by_scheme, (D, "g", {}), {"schemes": {}}, "rim_rake_by_scheme() got "
     "multiple values for argument 'schemes'"),
]


@pytest.mark.parametrize("function, args, kwargs, message", BINDING)
def test_binding_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_all_arguments_by_keyword(table):
    out, result = quelm.rim_rake(
        cap_correction=True, total=8.0, drop_nulls=True, max_cap=None, min_cap=None,
        convergence_threshold=0.01, max_iterations=1000, weight_column="w",
        targets=TARGETS, target_columns=["a"], data=table,
    )
    assert pa.table(out).column_names == ["a", "w"]
    assert weights_of(out) == [1.0, 1.0, 3.0, 3.0]
    assert result.n_valid == 4


def test_all_arguments_by_position(table):
    out, result = quelm.rim_rake(table, ["a"], TARGETS, "w", 1, 0.01, None, None, True, None, True)
    assert pa.table(out).column_names == ["a", "w"]
    assert result.iterations == 1


# Each entry: keyword arguments, expected exception type, expected message (None: not checked)
# and whether the message carries the "argument '...': " prefix.
CONVERSION_ERRORS = [
    ({"target_columns": None}, TypeError, "argument 'target_columns': 'None' is not an instance of 'Sequence'"),
    ({"target_columns": 5}, TypeError, "argument 'target_columns': 'int' object is not an instance of 'Sequence'"),
    ({"target_columns": {"a"}}, TypeError, "argument 'target_columns': 'set' object is not an instance of 'Sequence'"),
    ({"target_columns": {"a": 1}}, TypeError, "argument 'target_columns': 'dict' object is not an instance of 'Sequence'"),
    ({"target_columns": (c for c in "a")}, TypeError,
     "argument 'target_columns': 'generator' object is not an instance of 'Sequence'"),
    ({"target_columns": ["a", 1]}, TypeError, "argument 'target_columns': 'int' object is not an instance of 'str'"),
    ({"target_columns": [None]}, TypeError, "argument 'target_columns': 'None' is not an instance of 'str'"),
    ({"target_columns": [Holder.Item()]}, TypeError,
     "argument 'target_columns': 'Holder.Item' object is not an instance of 'str'"),
    ({"targets": [("a", 1.0)]}, TypeError, "argument 'targets': 'list' object is not an instance of 'dict'"),
    ({"targets": None}, TypeError, "argument 'targets': 'None' is not an instance of 'dict'"),
    ({"targets": MappingProxyType(TARGETS)}, TypeError,
     "argument 'targets': 'mappingproxy' object is not an instance of 'dict'"),
    ({"target_columns": b"a"}, TypeError, "argument 'target_columns': 'int' object is not an instance of 'str'"),
    ({"weight_column": None}, TypeError, "argument 'weight_column': 'None' is not an instance of 'str'"),
    ({"weight_column": b"w"}, TypeError, "argument 'weight_column': 'bytes' object is not an instance of 'str'"),
    ({"drop_nulls": 1}, TypeError, "argument 'drop_nulls': 'int' object is not an instance of 'bool'"),
    ({"drop_nulls": None}, TypeError, "argument 'drop_nulls': 'None' is not an instance of 'bool'"),
    ({"drop_nulls": np.int64(1)}, TypeError, "argument 'drop_nulls': 'int64' object is not an instance of 'bool'"),
    ({"cap_correction": "yes"}, TypeError, "argument 'cap_correction': 'str' object is not an instance of 'bool'"),
    ({"max_iterations": -1}, OverflowError, None),
    ({"max_iterations": 2**64}, OverflowError, None),
    ({"max_iterations": Index(-3)}, OverflowError, None),
    ({"max_iterations": 2.0}, TypeError, "argument 'max_iterations': " + message_of(operator.index, 2.0)),
    ({"max_iterations": "5"}, TypeError, "argument 'max_iterations': " + message_of(operator.index, "5")),
    ({"max_iterations": None}, TypeError, "argument 'max_iterations': " + message_of(operator.index, None)),
    ({"max_iterations": Raising(MyTypeError("own"))}, MyTypeError, "own"),
    ({"max_iterations": Raising(ValueError("own"))}, ValueError, "own"),
    ({"max_iterations": Raising(TypeError("own"))}, TypeError, "argument 'max_iterations': own"),
    ({"convergence_threshold": "0.1"}, TypeError, "argument 'convergence_threshold': " + message_of(math.sqrt, "0.1")),
    ({"convergence_threshold": None}, TypeError, "argument 'convergence_threshold': " + message_of(math.sqrt, None)),
    ({"convergence_threshold": Raising(ValueError("own"))}, ValueError, "own"),
    ({"min_cap": "1"}, TypeError, "argument 'min_cap': " + message_of(math.sqrt, "1")),
    ({"max_cap": [2.0]}, TypeError, "argument 'max_cap': " + message_of(math.sqrt, [2.0])),
    ({"total": "100"}, TypeError, "argument 'total': " + message_of(math.sqrt, "100")),
    ({"total": Raising(MyTypeError("own"))}, MyTypeError, "own"),
    ({"weight_column": "w\ud800"}, UnicodeEncodeError, None),
    ({"target_columns": ["a", "\udc80"]}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("kwargs, exc_type, message", CONVERSION_ERRORS)
def test_conversion_errors(table, kwargs, exc_type, message):
    arguments = {"data": table, "target_columns": ["a"], "targets": TARGETS, **kwargs}
    with pytest.raises(BaseException) as info:
        quelm.rim_rake(**arguments)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument ")


@pytest.mark.parametrize("value", ["a", "ab"])
def test_text_list_refuses_a_str(table, value):
    with pytest.raises(TypeError) as info:
        quelm.rim_rake(table, value, {"a": {1: 1.0}})
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'target_columns': ")


def test_prefixed_error_keeps_the_cause(table):
    cause = KeyError("inner")

    class Cast:
        def __float__(self):
            raise TypeError("no float") from cause

    with pytest.raises(TypeError) as info:
        quelm.rim_rake(table, ["a"], TARGETS, convergence_threshold=Cast())
    assert str(info.value) == "argument 'convergence_threshold': no float"
    assert info.value.__cause__ is cause


class Columns:
    """A sequence (it has __getitem__) with a configurable length and iteration."""

    def __init__(self, items, length_error=None, iter_error=None):
        self.items = items
        self.length_error = length_error
        self.iter_error = iter_error

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        if self.length_error is not None:
            raise self.length_error
        return len(self.items)

    def __iter__(self):
        for item in self.items:
            if self.iter_error is not None:
                raise self.iter_error
            yield item


@pytest.mark.parametrize(
    "columns",
    [["a"], ("a",), Columns(["a"]), Columns(["a"], length_error=RuntimeError("no length"))],
    ids=["list", "tuple", "sequence", "length-fails"],
)
def test_text_list_accepts_sequences(table, columns):
    out, result = quelm.rim_rake(table, columns, TARGETS)
    assert weights_of(out) == [0.5, 0.5, 1.5, 1.5]


def test_text_list_item_may_be_a_str_subclass(table):
    class Name(str):
        pass

    out, _ = quelm.rim_rake(table, [Name("a")], TARGETS, weight_column=Name("w"))
    assert pa.table(out).column_names == ["a", "w"]
    assert weights_of(out) == [0.5, 0.5, 1.5, 1.5]


@pytest.mark.parametrize(
    "error, exc_type, message",
    [
        (RuntimeError("iteration broke"), RuntimeError, "iteration broke"),
        (TypeError("iteration broke"), TypeError, "argument 'target_columns': iteration broke"),
    ],
)
def test_text_list_iteration_error(table, error, exc_type, message):
    with pytest.raises(BaseException) as info:
        quelm.rim_rake(table, Columns(["a"], iter_error=error), TARGETS)
    assert type(info.value) is exc_type
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, iterations",
    [(True, 1), (False, 0), (1, 1), (Index(1), 1), (np.int64(1), 1), (np.uint8(3), 2), (2**64 - 1, 2)],
)
def test_count_accepts_integers(table, value, iterations):
    # The table needs two iterations to converge.
    _, result = quelm.rim_rake(table, ["a"], TARGETS, max_iterations=value)
    assert result.iterations == iterations
    assert result.converged is (iterations == 2)


@pytest.mark.parametrize(
    "value, iterations, converged",
    [(0.5, 2, True), (Floaty(0.5), 2, True), (1, 1, True), (np.float32(0.75), 1, True), (True, 1, True),
     (0, 5, False)],
)
def test_number_accepts_floats(table, value, iterations, converged):
    # The first iteration's gap is exactly 0.5 (|2 - 1| / (1 + 1)), the second's 0.0.
    _, result = quelm.rim_rake(table, ["a"], TARGETS, convergence_threshold=value)
    assert (result.iterations, result.converged, result.stalled) == (iterations, converged, not converged)


@pytest.mark.parametrize("name", ["min_cap", "max_cap", "total"])
def test_optional_numbers_none_means_absent(table, name):
    out, result = quelm.rim_rake(table, ["a"], TARGETS, **{name: None})
    assert weights_of(out) == [0.5, 0.5, 1.5, 1.5]
    assert result.weight_max == 1.5


def test_optional_number_accepts_float_convertibles(table):
    out, _ = quelm.rim_rake(table, ["a"], TARGETS, total=Floaty(8.0))
    assert weights_of(out) == [1.0, 1.0, 3.0, 3.0]
    out, _ = quelm.rim_rake(table, ["a"], TARGETS, total=Index(8))
    assert weights_of(out) == [1.0, 1.0, 3.0, 3.0]


@pytest.mark.parametrize(
    "flag, expected",
    [(True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False)],
)
def test_flag_values(flag, expected):
    table = pa.table({"a": pa.array([0, 0, 1, None], pa.int32())})
    _, result = quelm.rim_rake(table, ["a"], {"a": {0: 0.5, 1: 0.5}}, drop_nulls=flag)
    assert result.n_valid == (3 if expected else 4)


def test_mapping_accepts_dict_subclasses(table):
    out, _ = quelm.rim_rake(table, ["a"], OrderedDict(a=OrderedDict({0: 0.25, 1: 0.75})))
    assert weights_of(out) == [0.5, 0.5, 1.5, 1.5]


def test_conversions_run_in_parameter_order(table):
    with pytest.raises(TypeError) as info:
        quelm.rim_rake(table, ["a"], TARGETS, drop_nulls=1, weight_column=5, total="x")
    assert str(info.value) == "argument 'weight_column': 'int' object is not an instance of 'str'"


def test_conversions_come_before_reading_data():
    # The data object is only read once every argument has been converted.
    with pytest.raises(TypeError) as info:
        quelm.rim_rake(NoStream(), ["a"], TARGETS, max_iterations=2.5)
    assert str(info.value).startswith("argument 'max_iterations': ")
    with pytest.raises(AttributeError):
        quelm.rim_rake(NoStream(), ["a"], TARGETS)


def test_ranges_are_not_checked_by_conversion(table):
    out, result = quelm.rim_rake(
        table, ["a"], TARGETS, convergence_threshold=float("nan"), min_cap=5.0, max_cap=-1.0, total=-3.0
    )
    assert result.n_valid == 4
    assert len(weights_of(out)) == 4
