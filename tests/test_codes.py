"""How columns of each Arrow type turn into categories, seen through rim_rake.

The tables are sized so that every weight is exact: a category with c rows and target
count t gets the weight t / c after the first pass, and the second pass changes nothing.
"""

import datetime
import decimal

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest

import quelm
from conftest import INT64_MAX, INT64_MIN, weights_of

# Rows b a b c b a b c null: with the shares below, b -> 0.5, a -> 2.0, c -> 1.0.
TEXT_ROWS = ["b", "a", "b", "c", "b", "a", "b", "c", None]
TEXT_SHARES = {"a": 0.5, "b": 0.25, "c": 0.25}
TEXT_WEIGHTS = [0.5, 2.0, 0.5, 1.0, 0.5, 2.0, 0.5, 1.0, 1.0]


def dictionary(keys, values, key_type=pa.int32(), value_type=pa.utf8()):
    return pa.DictionaryArray.from_arrays(pa.array(keys, key_type), pa.array(values, value_type))


def dictionary_of(rows, key_type, value_type=pa.utf8()):
    """A dictionary column for the rows, entries in reverse order of first appearance."""
    entries = list(dict.fromkeys(v for v in rows if v is not None))[::-1]
    keys = [None if v is None else entries.index(v) for v in rows]
    return dictionary(keys, entries, key_type, value_type)


def nested_dictionary(rows):
    inner_entries = ["c", "a", "b"]
    inner = dictionary([1, 2, 0, 2], inner_entries, pa.int8())  # a b c b
    outer_keys = {"a": 0, "b": 1, "c": 2}
    return pa.DictionaryArray.from_arrays(
        pa.array([None if v is None else outer_keys[v] for v in rows], pa.int16()), inner
    )


TEXT_COLUMNS = {
    "utf8": lambda: pa.array(TEXT_ROWS, pa.utf8()),
    "large_utf8": lambda: pa.array(TEXT_ROWS, pa.large_utf8()),
    "string_view": lambda: pa.array(TEXT_ROWS, pa.string_view()),
    "dict_int8": lambda: dictionary_of(TEXT_ROWS, pa.int8()),
    "dict_uint16": lambda: dictionary_of(TEXT_ROWS, pa.uint16()),
    "dict_int64": lambda: dictionary_of(TEXT_ROWS, pa.int64()),
    "dict_uint8_large": lambda: dictionary_of(TEXT_ROWS, pa.uint8(), pa.large_utf8()),
    "dict_uint32_view": lambda: dictionary_of(TEXT_ROWS, pa.uint32(), pa.string_view()),
    "nested_dict": lambda: nested_dictionary(TEXT_ROWS),
    "sliced": lambda: pa.array(["x", "y"] + TEXT_ROWS, pa.utf8()).slice(2),
}


@pytest.mark.parametrize("make", TEXT_COLUMNS.values(), ids=TEXT_COLUMNS.keys())
def test_text_layouts(make):
    column = make()
    assert column.to_pylist() == TEXT_ROWS
    out, result = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": TEXT_SHARES})
    assert weights_of(out) == TEXT_WEIGHTS
    assert (result.n_valid, result.iterations, result.converged, result.max_target_gap) == (8, 2, True, 0.0)


POLARS_TYPES = {
    "String": pl.String,
    "Categorical": pl.Categorical,
    "Enum": pl.Enum(["c", "b", "a", "unused"]),
}


@pytest.mark.parametrize("dtype", POLARS_TYPES.values(), ids=POLARS_TYPES.keys())
def test_polars_text_columns(dtype):
    frame = pl.DataFrame({"c": pl.Series(TEXT_ROWS, dtype=dtype)})
    out, result = quelm.rim_rake(frame, ["c"], {"c": TEXT_SHARES})
    assert weights_of(out) == TEXT_WEIGHTS
    assert pl.DataFrame(out)["weight"].to_list() == TEXT_WEIGHTS
    assert result.n_valid == 8


def test_pandas_text_column():
    frame = pd.DataFrame({"c": pd.Series(TEXT_ROWS, dtype=object)})
    out, result = quelm.rim_rake(frame, ["c"], {"c": TEXT_SHARES})
    assert weights_of(out) == TEXT_WEIGHTS
    assert result.n_valid == 8


def test_enum_entry_without_rows_is_not_a_category():
    frame = pl.DataFrame({"c": pl.Series(TEXT_ROWS, dtype=POLARS_TYPES["Enum"])})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(frame, ["c"], {"c": {"unused": 0.5}})
    assert info.value.args == ("Target key \"unused\" for column 'c' is not a category in the data",)


def test_dictionary_entry_without_rows_is_not_a_category():
    column = dictionary([2, 0, 2, None], ["x", "y", "z"])
    table = pa.table({"c": column})
    out, _ = quelm.rim_rake(table, ["c"], {"c": {"z": 0.5, "x": 0.25}})
    # n = 3: z has two rows (t 1.5), x one row (t 0.75); the null row is left out.
    assert weights_of(out) == [0.75, 0.75, 0.75, 1.0]
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["c"], {"c": {"y": 0.5}})
    assert str(info.value) == "Target key \"y\" for column 'c' is not a category in the data"


def test_dictionary_entries_with_equal_text_share_a_category():
    column = dictionary([0, 1, 0, 1, 2, 2, 2, 2], ["x", "x", "y"])
    out, _ = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {"x": 0.25, "y": 0.75}})
    assert weights_of(out) == [0.5] * 4 + [1.5] * 4


@pytest.mark.parametrize("drop_nulls", [True, False])
def test_key_of_a_null_entry(drop_nulls):
    # Key 1 points at a null entry: the row has no category, yet it is not a null row.
    keys = [1, 0, 0, 0, 0, 2, 2, 2, 2, None]
    column = dictionary(keys, ["x", None, "y"])
    out, result = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {"x": 0.5, "y": 0.5}},
                                 drop_nulls=drop_nulls)
    if drop_nulls:
        # n = 9: x and y each get 4.5 over 4 rows.
        assert weights_of(out) == [1.0] + [1.125] * 8 + [1.0]
        assert result.n_valid == 9
    else:
        # n = 10: x and y each get 5 over 4 rows; both rows without category keep 1.0.
        assert weights_of(out) == [1.0] + [1.25] * 8 + [1.0]
        assert result.n_valid == 10


def test_empty_text_is_a_category_distinct_from_null():
    rows = ["", "", None, None, "x", "x", "x", "x"]
    out, result = quelm.rim_rake(pa.table({"c": pa.array(rows)}), ["c"], {"c": {"": 0.5, "x": 0.25}},
                                 drop_nulls=False)
    assert weights_of(out) == [2.0, 2.0, 1.0, 1.0, 0.5, 0.5, 0.5, 0.5]
    assert result.n_valid == 8


def test_text_comparison_is_byte_exact():
    rows = ["é", "e\u0301", "E", "e"]
    out, _ = quelm.rim_rake(pa.table({"c": pa.array(rows)}), ["c"], {"c": {"é": 0.5}})
    assert weights_of(out) == [2.0, 1.0, 1.0, 1.0]


# Labels of every length around the word sizes the coder compares by: prefixes of one
# another, texts that differ only in their last byte, trailing and embedded NUL bytes.
_LONG = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGH"
EDGE_LABELS = sorted(
    {_LONG[:k] for k in range(42)}
    | {_LONG[:k - 1] + "!" for k in range(1, 42)}
    | {"ab\x00", "ab\x00\x00", "\x00", "\x00\x00", "a\x00b", _LONG[:31] + "\x00", _LONG[:32] + "\x00"}
)


@pytest.mark.parametrize("layout", ["utf8", "large_utf8", "string_view", "sliced", "chunked"])
def test_labels_of_every_length_stay_distinct(layout):
    rng = np.random.default_rng(5)
    counts = {label: 1 + k % 7 for k, label in enumerate(EDGE_LABELS)}
    rows = [label for label, c in counts.items() for _ in range(c)]
    rows = [rows[i] for i in rng.permutation(len(rows))]
    # A short text and a long one end the column: they sit at the end of the values buffer.
    rows += ["a", _LONG[:40]]
    counts["a"] += 1
    counts[_LONG[:40]] += 1
    if layout == "sliced":
        column = pa.array(["pad"] + rows + ["pad"], pa.utf8()).slice(1, len(rows))
    elif layout == "chunked":
        half = len(rows) // 2
        column = pa.chunked_array([pa.array(rows[:half]), pa.array(rows[half:])])
    else:
        column = pa.array(rows, getattr(pa, layout)())
    share = 1.0 / len(counts)
    out, _ = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {label: share for label in counts}},
                            max_iterations=1)
    n = len(rows)
    assert weights_of(out) == [share * n / counts[label] for label in rows]


NUMERIC = [
    (pa.int8(), -128, 127),
    (pa.int16(), -3, 7),
    (pa.int32(), -(2**31), 2**31 - 1),
    (pa.int64(), INT64_MIN, INT64_MAX),
    (pa.uint8(), 0, 255),
    (pa.uint16(), 1, 65535),
    (pa.uint32(), 0, 4294967295),
    (pa.float64(), -2.0, 3.0),
]


@pytest.mark.parametrize("arrow_type, low, high", NUMERIC, ids=[str(t[0]) for t in NUMERIC])
def test_numeric_types(arrow_type, low, high):
    column = pa.array([low, high, low, high], arrow_type)
    out, result = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {int(low): 0.25, int(high): 0.75}})
    assert weights_of(out) == [0.5, 1.5, 0.5, 1.5]
    assert result.converged is True


def test_float_values_are_truncated():
    values = [1.9, 1.2, -1.9, -1.2, float("nan"), 0.3, 1e300, float("inf"), -1e300, float("-inf"),
              -0.7, 0.0, 2.999, 2.0, 5.5, 5.0]
    # Every code has two rows except 0, which has four (NaN, 0.3, -0.7 and 0.0); n = 16.
    codes = {1: 0.0625, -1: 0.1875, 0: 0.5, INT64_MAX: 0.3125, INT64_MIN: 0.03125, 2: 0.09375,
             5: 0.15625}
    out, _ = quelm.rim_rake(pa.table({"c": pa.array(values, pa.float64())}), ["c"], {"c": codes})
    counts = {1: 2, -1: 2, 0: 4, INT64_MAX: 2, INT64_MIN: 2, 2: 2, 5: 2}
    row_codes = [1, 1, -1, -1, 0, 0, INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN, 0, 0, 2, 2, 5, 5]
    assert weights_of(out) == [codes[c] * 16 / counts[c] for c in row_codes]


@pytest.mark.parametrize("slot", [0, 1])
@pytest.mark.parametrize("arrow_type", [pa.int32(), pa.uint8(), pa.float64()])
def test_numeric_null_has_no_category_when_kept(arrow_type, slot):
    # The null row's value slot holds a targeted code; it still belongs to no category.
    values = np.array([0, 0, 1, 1, slot], dtype=arrow_type.to_pandas_dtype())
    validity = pa.array([True, True, True, True, False]).buffers()[1]
    column = pa.Array.from_buffers(arrow_type, 5, [validity, pa.py_buffer(values.tobytes())], null_count=1)
    assert column.to_pylist() == [0, 0, 1, 1, None]
    out, result = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {0: 0.5, 1: 0.5}}, drop_nulls=False)
    assert weights_of(out) == [1.25, 1.25, 1.25, 1.25, 1.0]
    assert result.n_valid == 5
    out, result = quelm.rim_rake(pa.table({"c": column}), ["c"], {"c": {0: 0.5, 1: 0.5}})
    assert weights_of(out) == [1.0, 1.0, 1.0, 1.0, 1.0]
    assert result.n_valid == 4


def test_single_numeric_null_keeps_weight_one():
    table = pa.table({"c": pa.array([0, None, 1], pa.int32())})
    out, result = quelm.rim_rake(table, ["c"], {"c": {0: 0.25, 1: 0.5}}, drop_nulls=False)
    weights = weights_of(out)
    assert weights[1] == 1.0
    assert weights[0] == pytest.approx(0.75) and weights[2] == pytest.approx(1.5)
    assert result.n_valid == 3


def test_numeric_key_without_rows_passes():
    out, result = quelm.rim_rake(pa.table({"c": pa.array([0, 1], pa.int8())}), ["c"],
                                 {"c": {0: 0.5, 1: 0.5, 1000: 0.0, -(2**40): 0.0}})
    assert weights_of(out) == [1.0, 1.0]
    assert result.converged is True


UNSUPPORTED = [
    (pa.array([1.0, 2.0], pa.float32()), "Float32"),
    (pa.array(np.array([1.0, 2.0], np.float16()), pa.float16()), "Float16"),
    (pa.array([1, 2], pa.uint64()), "UInt64"),
    (pa.array([True, False]), "Boolean"),
    (pa.nulls(2), "Null"),
    (pa.array([1, 2]).dictionary_encode(), "Dictionary(Int32, Int64)"),
    (dictionary([0, 1], [1.5, 2.5], pa.uint8(), pa.float64()), "Dictionary(UInt8, Float64)"),
    (pa.array([1, 2], pa.timestamp("ns")), "Timestamp(Nanosecond, None)"),
    (pa.array([1, 2], pa.timestamp("s")), "Timestamp(Second, None)"),
    (pa.array([decimal.Decimal("1.25")] * 2, pa.decimal128(10, 2)), "Decimal128(10, 2)"),
    (pa.array([datetime.date(2020, 1, 1)] * 2, pa.date32()), "Date32"),
    (pa.array([datetime.date(2020, 1, 1)] * 2, pa.date64()), "Date64"),
    (pa.array([b"x", b"y"]), "Binary"),
    (pa.array([b"x", b"y"], pa.large_binary()), "LargeBinary"),
    (pa.array([1, 2], pa.duration("ms")), "Duration(Millisecond)"),
    (pa.array([1, 2], pa.time32("s")), "Time32(Second)"),
    (pa.array([1, 2], pa.time64("us")), "Time64(Microsecond)"),
    (pa.array([b"abc", b"def"], pa.binary(3)), "FixedSizeBinary(3)"),
]


@pytest.mark.parametrize("column, type_name", UNSUPPORTED, ids=[u[1] for u in UNSUPPORTED])
def test_unsupported_types(column, type_name):
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(pa.table({"c": column}), ["c"], {})
    assert info.value.args == (f"Column 'c' has unsupported type {type_name}, expected integer or float",)


def test_polars_boolean_is_unsupported():
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(pl.DataFrame({"flag": [True, False]}), ["flag"], {})
    assert str(info.value) == "Column 'flag' has unsupported type Boolean, expected integer or float"


@pytest.mark.parametrize("name", ["b", "region", "A", " a", "a "])
def test_missing_column(name):
    table = pa.table({"a": pa.array([0, 1], pa.int32()), "Region": pa.array(["x", "y"])})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, [name], {})
    assert info.value.args == (f"Column '{name}' not found in Arrow data",)


def test_first_of_two_equal_names_is_used():
    table = pa.Table.from_arrays([pa.array([0, 1], pa.int32()), pa.array(["x", "y"])], names=["a", "a"])
    out, _ = quelm.rim_rake(table, ["a"], {"a": {0: 0.25}})
    assert weights_of(out) == [0.5, 1.0]
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["a"], {"a": {"x": 0.5}})
    assert str(info.value) == (
        "Target key \"x\" for column 'a' is text, but that column holds numeric category codes"
    )


REGION = pa.table({"region": pa.array(["South", "North", "South", "North"])})


def test_text_keys_match_labels_in_any_order():
    out, _ = quelm.rim_rake(REGION, ["region"], {"region": {"North": 0.75, "South": 0.25}})
    assert weights_of(out) == [0.5, 1.5, 0.5, 1.5]


@pytest.mark.parametrize(
    "key, shown",
    [
        ("West", '"West"'),
        ("north", '"north"'),
        ("", '""'),
        ('say "hi"', '"say \\"hi\\""'),
        ("back\\slash", '"back\\\\slash"'),
        ("it's", '"it\'s"'),
        ("tab\there", '"tab\\there"'),
        ("cr\rlf\n", '"cr\\rlf\\n"'),
        ("nul\0", '"nul\\0"'),
        ("del\x7f", '"del\\u{7f}"'),
        ("esc\x1b", '"esc\\u{1b}"'),
        ("bell\x07", '"bell\\u{7}"'),
        ("nel\x85", '"nel\\u{85}"'),
        ("Zürich", '"Zürich"'),
    ],
)
def test_text_key_not_a_category(key, shown):
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(REGION, ["region"], {"region": {"North": 0.5, key: 0.5}})
    assert info.value.args == (f"Target key {shown} for column 'region' is not a category in the data",)


def test_text_key_against_column_without_labels():
    table = pa.table({"c": pa.array([None, None], pa.utf8())})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["c"], {"c": {"x": 1.0}})
    assert str(info.value) == "Target key \"x\" for column 'c' is not a category in the data"


@pytest.mark.parametrize("key, shown", [(3, "3"), (-3, "-3"), (True, "1"), (2.5, "2"), (2**64, str(INT64_MAX))])
def test_integer_key_against_text_column(key, shown):
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(REGION, ["region"], {"region": {key: 0.5}})
    assert info.value.args == (
        f"Target key {shown} for column 'region' is numeric, but that column holds text category codes",
    )


@pytest.mark.parametrize("key, shown", [("x", '"x"'), ("1", '"1"'), ("a\tb", '"a\\tb"')])
def test_text_key_against_numeric_column(key, shown):
    table = pa.table({"n": pa.array([0, 1], pa.uint16())})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["n"], {"n": {0: 0.5, key: 0.5}})
    assert info.value.args == (
        f"Target key {shown} for column 'n' is text, but that column holds numeric category codes",
    )


def test_first_bad_target_is_reported():
    table = pa.table({"region": REGION.column(0), "n": pa.array([0, 1, 0, 1], pa.int32())})
    targets = {"n": {"x": 0.5}, "region": {"West": 0.5}}
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["region", "n"], targets)
    assert "for column 'n' is text" in str(info.value)
