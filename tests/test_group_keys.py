"""Group key texts and the partition of rows into groups, seen through rim_rake_grouped.

With no target columns and no targets every group gets the engine's neutral result, so the
result dict shows each group's key and, as n_valid, its number of rows, in the order of the
groups' first rows.
"""

from decimal import Decimal

import numpy as np
import polars as pl
import pyarrow as pa
import pytest

import quelm

INT32_MIN = -(2**31)
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def groups_of(data, group_columns=("g",)):
    """[(key, rows in group), ...] in result order; checks the neutral results too."""
    out, results = quelm.rim_rake_grouped(data, [], {}, list(group_columns))
    table = pa.table(out)
    assert table.column(table.num_columns - 1).to_pylist() == [1.0] * table.num_rows
    for result in results.values():
        assert (result.iterations, result.converged, result.stalled) == (0, True, False)
    return [(key, result.n_valid) for key, result in results.items()]


def expected_groups(keys):
    """[(key, count), ...] in order of first appearance of the keys."""
    counts = {}
    for key in keys:
        counts[key] = counts.get(key, 0) + 1
    return list(counts.items())


def fixed_text(value):
    """The shortest round-trip decimal form of a finite float, without exponent."""
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def dictionary(indices, entries, index_type, value_type=pa.utf8()):
    return pa.DictionaryArray.from_arrays(pa.array(indices, index_type), pa.array(entries, value_type))


TEXT_ROWS = ["a", "b", None, "a", "", "__null__", "b"]
TEXT_KEYS = ["a", "b", "__null__", "a", "", "__null__", "b"]

COLUMNS = {
    "utf8": (pa.array(TEXT_ROWS, pa.utf8()), TEXT_KEYS),
    "large_utf8": (pa.array(TEXT_ROWS, pa.large_utf8()), TEXT_KEYS),
    "string_view": (pa.array(TEXT_ROWS, pa.string_view()), TEXT_KEYS),
    "sliced_utf8": (pa.array(["z", None] + TEXT_ROWS, pa.utf8()).slice(2), TEXT_KEYS),
    "dict_int8": (dictionary([1, 1, 0], ["x", "y"], pa.int8()), ["y", "y", "x"]),
    # Two entries with the same text give one group; a key pointing to a null entry and a
    # null key both give the null group.
    "dict_uint32": (
        dictionary([0, 2, 1, 3, None, 2], ["x", "y", "x", None], pa.uint32()),
        ["x", "x", "y", "__null__", "__null__", "x"],
    ),
    "dict_large_utf8": (dictionary([1, 0, 1], ["p", "q"], pa.int16(), pa.large_utf8()), ["q", "p", "q"]),
    "dict_string_view": (dictionary([0, 1, 0], ["p", "q"], pa.int64(), pa.string_view()), ["p", "q", "p"]),
    "int32": (
        pa.array([-12, 0, None, INT32_MIN, 2**31 - 1, 7, -12], pa.int32()),
        ["-12", "0", "__null__", "-2147483648", "2147483647", "7", "-12"],
    ),
    "int64": (
        pa.array([-5, 0, None, INT64_MIN, INT64_MAX, -5], pa.int64()),
        ["-5", "0", "__null__", str(INT64_MIN), str(INT64_MAX), "-5"],
    ),
    "float64": (
        pa.array(
            [1.0, 2.50, float("nan"), -0.0, 1e-7, 0.0, 0.1, 1e21, float("inf"), float("-inf"), None, -2.5, 100.0],
            pa.float64(),
        ),
        ["1", "2.5", "NaN", "-0", "0.0000001", "0", "0.1", "1000000000000000000000", "inf", "-inf", "__null__", "-2.5", "100"],
    ),
}


@pytest.mark.parametrize("column, keys", COLUMNS.values(), ids=COLUMNS.keys())
def test_key_texts(column, keys):
    assert groups_of(pa.table({"g": column})) == expected_groups(keys)


def test_polars_columns():
    frame = pl.DataFrame(
        {
            "s": ["n", None, "m", "n"],
            "c": pl.Series(["n", None, "m", "n"], dtype=pl.Categorical),
            "e": pl.Series(["n", None, "m", "n"], dtype=pl.Enum(["m", "n"])),
            "i": pl.Series([3, None, -3, 3], dtype=pl.Int64),
        }
    )
    expected = [("n", 2), ("__null__", 1), ("m", 1)]
    for name in ("s", "c", "e"):
        assert groups_of(frame, [name]) == expected
    assert groups_of(frame, ["i"]) == [("3", 2), ("__null__", 1), ("-3", 1)]


@pytest.mark.parametrize(
    "column",
    [pa.array([1], pa.int32()), pa.array([1], pa.int64()), pa.array([1.0], pa.float64()), pa.array(["1"])],
    ids=["int32", "int64", "float64", "utf8"],
)
def test_one_has_the_same_key_in_every_type(column):
    assert groups_of(pa.table({"g": column})) == [("1", 1)]


def test_nan_payloads_form_one_group():
    bits = np.array(
        [0x7FF8000000000000, 0x7FF8000000000001, 0xFFF8000000000000, 0x7FF0000000000001, 0x7FF4000000000000],
        dtype=np.uint64,
    )
    column = pa.array(bits.view(np.float64))
    assert np.frombuffer(column.buffers()[1], dtype=np.uint64).tolist() == bits.tolist()
    assert column.null_count == 0
    column = pa.concat_arrays([pa.array([1.5]), column])
    assert groups_of(pa.table({"g": column})) == [("1.5", 1), ("NaN", 5)]


def test_zero_and_negative_zero_are_two_groups():
    table = pa.table({"g": pa.array([0.0, -0.0, 0.0, -0.0, -0.0])})
    assert groups_of(table) == [("0", 2), ("-0", 3)]


@pytest.mark.parametrize(
    "value",
    [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 2.0**53 + 2, 0.3, 1 / 3, -123.456, 1e-300, 2.0**70],
)
def test_float_key_reads_back_as_the_same_value(value):
    [(key, count)] = groups_of(pa.table({"g": pa.array([value, value])}))
    assert count == 2
    assert "e" not in key.lower()
    assert float(key) == value
    expected = fixed_text(value)
    if abs(value) < 2.0**53:
        assert key == expected
    else:
        # Large integral values: any digit string of the shortest length that reads back.
        assert key.isdigit() and len(key) == len(expected)


UNSUPPORTED = [
    (pa.array([1, 2], pa.int16()), "Int16"),
    (pa.array([1, 2], pa.int8()), "Int8"),
    (pa.array([1, 2], pa.uint32()), "UInt32"),
    (pa.array([1, 2], pa.uint64()), "UInt64"),
    (pa.array([1.0, 2.0], pa.float32()), "Float32"),
    (pa.array([True, False]), "Boolean"),
    (pa.array([0, 1], pa.date32()), "Date32"),
    (dictionary([0, 1], [10, 20], pa.int32(), pa.int64()), "Dictionary(Int32, Int64)"),
    (
        pa.DictionaryArray.from_arrays(pa.array([0, 1], pa.int16()), dictionary([1, 0], ["a", "b"], pa.int8())),
        "Dictionary(Int16, Dictionary(Int8, Utf8))",
    ),
]


@pytest.mark.parametrize("rows", [2, 0], ids=["rows", "empty"])
@pytest.mark.parametrize("column, type_name", UNSUPPORTED, ids=[u[1] for u in UNSUPPORTED])
def test_unsupported_group_column_type(column, type_name, rows):
    table = pa.table({"g": column.slice(0, rows)})
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(table, [], {}, ["g"])
    assert excinfo.value.args == (f"Unsupported group column type: {type_name}",)


@pytest.mark.parametrize("name", ["region", "Region", "g "])
def test_missing_group_column(name):
    table = pa.table({"g": ["a"], "REGION": ["b"]})
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(table, [], {}, [name])
    assert excinfo.value.args == (f"Group column '{name}' not found",)


@pytest.mark.parametrize("group_columns", [["g"], ["g", "h"], []])
def test_zero_rows(group_columns):
    table = pa.table({"g": pa.array([], pa.utf8()), "h": pa.array([], pa.float64())})
    out, results = quelm.rim_rake_grouped(table, [], {}, group_columns, total=10.0)
    assert results == {}
    assert pa.table(out).num_rows == 0
    assert pa.table(out).column_names == ["g", "h", "weight"]


def test_groups_in_order_of_first_row():
    assert groups_of(pa.table({"g": ["b", "a", "b"]})) == [("b", 2), ("a", 1)]
    assert groups_of(pa.table({"g": ["north", "south", "north"]})) == [("north", 2), ("south", 1)]


def test_empty_group_list_is_one_group():
    assert groups_of(pa.table({"g": ["b", "a", None]}), []) == [("", 3)]


JOINED = {
    "two_texts": ({"g": ["a"], "h": ["b"]}, ["g", "h"], ["a||b"]),
    "reversed": ({"g": ["a"], "h": ["b"]}, ["h", "g"], ["b||a"]),
    "null_pieces": (
        {"g": [None, "x", None], "h": ["x", None, None]},
        ["g", "h"],
        ["__null__||x", "x||__null__", "__null__||__null__"],
    ),
    "mixed_types": (
        {"g": pa.array([1, None], pa.int64()), "h": pa.array([2.5, -0.0]), "k": ["z", "z"]},
        ["g", "h", "k"],
        ["1||2.5||z", "__null__||-0||z"],
    ),
    "same_column_twice": ({"g": ["a", "b"]}, ["g", "g"], ["a||a", "b||b"]),
    "empty_texts": ({"g": ["", ""], "h": ["", "x"]}, ["g", "h"], ["||", "||x"]),
}


@pytest.mark.parametrize("columns, group_columns, keys", JOINED.values(), ids=JOINED.keys())
def test_joined_keys(columns, group_columns, keys):
    assert groups_of(pa.table(columns), group_columns) == expected_groups(keys)


def test_joined_values_containing_the_separator_can_share_a_group():
    table = pa.table({"g": ["a||b", "a", "a"], "h": ["c", "b||c", "b"]})
    assert groups_of(table, ["g", "h"]) == [("a||b||c", 2), ("a||b", 1)]


def test_joined_groups_in_order_of_first_row():
    table = pa.table({"g": ["x", "y", "x", "y", "x"], "h": pa.array([2, 1, 1, 1, 2], pa.int32())})
    assert groups_of(table, ["g", "h"]) == [("x||2", 2), ("y||1", 2), ("x||1", 1)]


@pytest.mark.parametrize(
    "group_columns, message",
    [
        (["g", "nope", "bad"], "Group column 'nope' not found"),
        (["g", "bad", "nope"], "Unsupported group column type: Boolean"),
    ],
)
def test_first_failing_group_column_is_reported(group_columns, message):
    table = pa.table({"g": ["a", "b"], "bad": [True, False]})
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake_grouped(table, [], {}, group_columns)
    assert excinfo.value.args == (message,)


def test_many_distinct_keys_keep_first_appearance_order():
    values = [(7919 * i) % 10007 for i in range(3000)]
    values += values[::-1]
    table = pa.table({"g": pa.array(values, pa.int64())})
    assert groups_of(table) == expected_groups(str(v) for v in values)
