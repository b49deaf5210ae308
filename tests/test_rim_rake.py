import math

import polars as pl
import pyarrow as pa
import pytest

import quelm
from conftest import blocks, result_fields, weights_of

FIXED = (0, 0, True, False, 0.0, 100.0, 1.0, 1.0)


class NoStream:
    pass


def with_nulls(null_rows, total_rows=100):
    """Column "a": codes 0 and 1 alternating over `total_rows`, null in the first `null_rows`
    rows. Returned as a value list."""
    return [None if i < null_rows else i % 2 for i in range(total_rows)]


def test_zero_rows():
    table = pa.table({"a": pa.array([], pa.int32()), "t": pa.array([], pa.utf8())})
    out, result = quelm.rim_rake(table, ["a", "t"], {"a": {0: 0.5}}, total=100.0)
    output = pa.table(out)
    assert output.num_rows == 0
    assert output.column_names == ["a", "t", "weight"]
    assert output.schema.field("weight").type == pa.float64()
    assert result_fields(result) == FIXED


@pytest.mark.parametrize(
    "targets, message",
    [
        ({"t": {"x": 0.5}}, "Target key \"x\" for column 't' is not a category in the data"),
        ({"t": {1: 0.5}}, "Target key 1 for column 't' is numeric, but that column holds text category codes"),
    ],
)
def test_zero_rows_still_match_targets(targets, message):
    table = pa.table({"t": pa.array([], pa.utf8())})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["t"], targets)
    assert str(info.value) == message


@pytest.mark.parametrize("total", [None, 1000.0])
def test_every_row_dropped(total):
    table = pa.table({"a": pa.array([None] * 4, pa.int32()), "b": pa.array([0, 1, 0, 1], pa.int32())})
    out, result = quelm.rim_rake(table, ["a", "b"], {"b": {0: 0.25, 1: 0.75}}, total=total)
    assert weights_of(out) == [1.0] * 4
    assert result_fields(result) == FIXED


def test_total_scales_only_valid_rows():
    values = with_nulls(10)
    table = pa.table({"a": pa.array(values, pa.int32())})
    out, result = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}}, total=1000.0)
    weights = weights_of(out)
    # 90 valid rows: 45 of each code; the engine gives 0.5 and 1.5 exactly, sum 90.
    factor = 1000.0 / 90.0
    assert weights[:10] == [1.0] * 10
    assert weights[10:] == [(0.5 if v == 0 else 1.5) * factor for v in values[10:]]
    assert math.fsum(weights[10:]) == pytest.approx(1000.0, rel=1e-12)
    assert math.fsum(weights) == pytest.approx(1010.0, rel=1e-12)
    # The diagnostics describe the engine's weights, before the total.
    assert result_fields(result) == (90, 2, True, False, 0.0, 80.0, 0.5, 1.5)


def test_kept_nulls_take_part_and_are_scaled():
    values = with_nulls(10)
    table = pa.table({"a": pa.array(values, pa.int32())})
    out, result = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}}, total=1000.0,
                                 drop_nulls=False)
    weights = weights_of(out)
    assert result.n_valid == 100
    assert math.fsum(weights) == pytest.approx(1000.0, rel=1e-12)
    # The null rows belong to no category: their engine weight stays 1.0 before the total.
    unscaled, _ = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}}, drop_nulls=False)
    engine_weights = weights_of(unscaled)
    assert engine_weights[:10] == [1.0] * 10
    s = 0.0
    for w in engine_weights:
        s += w
    assert weights == [w * (1000.0 / s) for w in engine_weights]


@pytest.mark.parametrize("total", [0.0, -5.0, float("nan"), -float("inf")])
def test_total_ignored_unless_positive(half_table, total):
    out, _ = quelm.rim_rake(half_table, ["a"], {"a": {0: 0.25, 1: 0.75}}, total=total)
    assert weights_of(out) == [0.5] * 50 + [1.5] * 50


def test_total_not_applied_to_non_positive_sum(half_table):
    # A negative upper cap leaves every weight at -1.0: their sum is not positive.
    out, result = quelm.rim_rake(half_table, ["a"], {"a": {0: 0.25, 1: 0.75}}, max_cap=-1.0,
                                 cap_correction=False, total=50.0)
    assert weights_of(out) == [-1.0] * 100
    assert (result.weight_min, result.weight_max) == (-1.0, -1.0)


@pytest.mark.parametrize(
    "total, weight", [(None, 1.0), (10.0, 2.5), (3.0, 0.75)],
)
def test_empty_target_columns(total, weight):
    table = pa.table({"a": pa.array([0, None, 1, 1], pa.int32())})
    out, result = quelm.rim_rake(table, [], {}, total=total)
    assert weights_of(out) == [weight] * 4
    assert result_fields(result) == (4, 0, True, False, 0.0, 100.0, 1.0, 1.0)


def test_empty_target_columns_ignore_integer_targets():
    table = pa.table({"a": pa.array([0, 1, 1], pa.int32())})
    out, result = quelm.rim_rake(table, [], {"a": {0: 0.9}, "zz": {5: 0.1}})
    assert weights_of(out) == [1.0] * 3
    assert result.iterations == 0


def test_empty_target_columns_still_refuse_text_targets():
    table = pa.table({"a": pa.array(["x", "y"])})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, [], {"a": {"x": 0.5}})
    assert str(info.value) == "Target key \"x\" for column 'a' is text, but that column holds numeric category codes"


def test_column_without_targets_excludes_its_null_rows():
    table = pa.table({
        "a": blocks(2, 2),
        "b": pa.array([None, "x", "y", "x"]),
    })
    out, result = quelm.rim_rake(table, ["a", "b"], {"a": {0: 0.5, 1: 0.5}})
    # Rows 1 to 3 take part: code 0 has one row (t 1.5), code 1 two rows (t 1.5).
    assert weights_of(out) == [1.0, 1.5, 0.75, 0.75]
    assert result.n_valid == 3


@pytest.mark.parametrize(
    "column, message",
    [
        (None, "Column 'zz' not found in Arrow data"),
        (pa.array([1.0, 2.0, 3.0, 4.0], pa.float32()), "Column 'zz' has unsupported type Float32, expected integer or float"),
    ],
)
def test_column_without_targets_is_still_checked(column, message):
    table = pa.table({"a": blocks(2, 2)})
    if column is not None:
        table = table.append_column("zz", column)
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["a", "zz"], {"a": {0: 0.5, 1: 0.5}})
    assert info.value.args == (message,)


def test_target_column_not_listed_with_text_keys():
    table = pa.table({"a": blocks(2, 2), "b": pa.array(["x", "y", "x", "y"])})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["a"], {"a": {0: 0.5}, "b": {"x": 0.5}})
    assert info.value.args == ("Target key \"x\" for column 'b' is text, but that column holds numeric category codes",)


@pytest.mark.parametrize(
    "targets, missing",
    [
        ({"a": {0: 0.5}, "b": {1: 0.5}}, "b"),
        ({"c": {1: 0.5}, "a": {0: 0.5}, "b": {1: 0.5}}, "c"),
        ({"no such": {}}, "no such"),
    ],
)
def test_target_column_not_listed_with_integer_keys(targets, missing):
    table = pa.table({"a": blocks(2, 2), "b": blocks(2, 2)})
    with pytest.raises(ValueError) as info:
        quelm.rim_rake(table, ["a"], targets)
    assert info.value.args == (f"Target column '{missing}' not found in data",)


def test_column_listed_twice():
    table = pa.table({"a": blocks(50, 50)})
    out, result = quelm.rim_rake(table, ["a", "a"], {"a": {0: 0.25, 1: 0.75}})
    assert weights_of(out) == [0.5] * 50 + [1.5] * 50
    assert result.n_valid == 100


def test_existing_weight_column_is_kept():
    table = pa.table({"a": blocks(2, 2), "weight": pa.array(["keep"] * 4)})
    out, _ = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}})
    output = pa.table(out)
    assert output.column_names == ["a", "weight", "weight"]
    assert output.column(1).to_pylist() == ["keep"] * 4
    assert output.column(2).to_pylist() == [0.5, 0.5, 1.5, 1.5]
    assert output.schema.field(2).type == pa.float64()


def test_weight_column_may_be_a_target_column():
    table = pa.table({"weight": blocks(2, 2)})
    out, _ = quelm.rim_rake(table, ["weight"], {"weight": {0: 0.25, 1: 0.75}}, weight_column="weight")
    output = pa.table(out)
    assert output.column_names == ["weight", "weight"]
    assert output.column(0).to_pylist() == [0, 0, 1, 1]
    assert output.column(1).to_pylist() == [0.5, 0.5, 1.5, 1.5]


def test_output_feeds_a_further_call():
    table = pa.table({"a": blocks(2, 2), "b": pa.array(["x", "y", "y", "y"])})
    out, _ = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}}, weight_column="w1")
    again, result = quelm.rim_rake(out, ["b"], {"b": {"x": 0.5}}, weight_column="w2")
    output = pa.table(again)
    assert output.column_names == ["a", "b", "w1", "w2"]
    assert output.column("w1").to_pylist() == [0.5, 0.5, 1.5, 1.5]
    assert output.column("w2").to_pylist() == [2.0, 1.0, 1.0, 1.0]
    assert pl.DataFrame(again).columns == ["a", "b", "w1", "w2"]
    assert result.n_valid == 4


def test_input_columns_pass_through_unchanged():
    table = pa.table({
        "a": blocks(2, 2),
        "s": pa.array(["p", None, "q", "r"]),
        "f": pa.array([0.5, None, 1.5, 2.5], pa.float32()),
    })
    out, _ = quelm.rim_rake(table, ["a"], {"a": {0: 0.25, 1: 0.75}})
    output = pa.table(out)
    assert output.select(["a", "s", "f"]).equals(table)


def test_chunked_table_gives_same_weights():
    values = with_nulls(3, 40)
    whole = pa.table({"a": pa.array(values, pa.int32())})
    chunked = pa.Table.from_batches([whole.slice(0, 7).to_batches()[0], whole.slice(7).to_batches()[0]])
    assert chunked.column(0).num_chunks == 2
    targets = {"a": {0: 0.3, 1: 0.7}}
    out_whole, result_whole = quelm.rim_rake(whole, ["a"], targets)
    out_chunked, result_chunked = quelm.rim_rake(chunked, ["a"], targets)
    assert weights_of(out_chunked) == weights_of(out_whole)
    assert result_fields(result_chunked) == result_fields(result_whole)


@pytest.mark.parametrize(
    "data, target_columns, targets, exc_type, text",
    [
        (NoStream(), ["missing"], {"a": [0.5]}, AttributeError, None),
        ("table", ["missing"], {"a": [0.5]}, TypeError, "'list' object is not an instance of 'dict'"),
        ("table", ["missing"], {"a": {0: "half"}}, TypeError, None),
        ("table", ["a", "missing"], {"a": {"x": 0.5}}, ValueError, "Column 'missing' not found in Arrow data"),
        ("table", ["f", "missing"], {}, ValueError, "Column 'f' has unsupported type Float32, expected integer or float"),
        ("table", ["a"], {"zz": {1: 0.5}, "a": {"x": 0.5}}, ValueError,
         "Target key \"x\" for column 'a' is text, but that column holds numeric category codes"),
    ],
)
def test_order_of_failures(data, target_columns, targets, exc_type, text):
    if data == "table":
        data = pa.table({"a": blocks(2, 2), "f": pa.array([1.0] * 4, pa.float32())})
    with pytest.raises(BaseException) as info:
        quelm.rim_rake(data, target_columns, targets)
    assert type(info.value) is exc_type
    if text is not None:
        assert str(info.value) == text
    if exc_type is ValueError:
        assert len(info.value.args) == 1


def test_result_types():
    out, result = quelm.rim_rake(pa.table({"a": blocks(2, 2)}), ["a"], {"a": {0: 0.25, 1: 0.75}})
    assert type(out) is quelm._ArrowData
    assert type(result) is quelm.RakeResult
