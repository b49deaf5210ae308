"""Real producers and consumers around rim_rake: pyarrow, polars, pandas and DuckDB."""

import collections

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from polars.testing import assert_frame_equal

import quelm


def expected_weights(values, shares):
    """One target column: after one pass every category carries its share of the valid rows;
    rows without a category keep 1.0."""
    valid = [v for v in values if v is not None]
    counts = collections.Counter(valid)
    return [1.0 if v is None else shares[v] * len(valid) / counts[v] for v in values]


def weights_of(out, name="weight"):
    return pa.table(out).column(name).to_pylist()


TEXTS = ["north", "south", None, "north", "east", "south", "north", None, "east", "north"]
SHARES = {"north": 0.4, "south": 0.35, "east": 0.25}


# ---------------------------------------------------------------------------------------
# polars


@pytest.fixture
def polars_frame():
    return pl.DataFrame({
        "s": pl.Series(TEXTS, dtype=pl.String),
        "c": pl.Series(TEXTS, dtype=pl.Categorical),
        "e": pl.Series(TEXTS, dtype=pl.Enum(["east", "west", "south", "north"])),
        "n": pl.Series(range(len(TEXTS)), dtype=pl.Int64),
    })


@pytest.mark.parametrize("column", ["s", "c", "e"])
def test_polars_text_columns_are_targets(polars_frame, column):
    out, result = quelm.rim_rake(polars_frame, [column], {column: SHARES})
    assert weights_of(out) == pytest.approx(expected_weights(TEXTS, SHARES), rel=1e-9)
    assert result.n_valid == sum(v is not None for v in TEXTS)


def _from_arrow(data):
    # polars reads a stream object as one struct Series of the batch
    got = pl.from_arrow(data)
    return got.struct.unnest() if isinstance(got, pl.Series) else got


@pytest.mark.parametrize("reader", [pl.DataFrame, _from_arrow], ids=["DataFrame", "from_arrow"])
def test_polars_reads_the_output(polars_frame, reader):
    out, _ = quelm.rim_rake(polars_frame, ["c"], {"c": SHARES}, weight_column="w")
    got = reader(out)
    assert got.columns == ["s", "c", "e", "n", "w"]
    assert got.schema["w"] == pl.Float64
    assert_frame_equal(got.drop("w"), polars_frame)
    assert got["w"].to_list() == pytest.approx(expected_weights(TEXTS, SHARES), rel=1e-9)


def test_polars_frame_of_several_chunks():
    parts = [pl.DataFrame({"c": pl.Series(TEXTS[k:k + 4], dtype=pl.Categorical)}) for k in range(0, 10, 4)]
    frame = pl.concat(parts, rechunk=False)
    out, _ = quelm.rim_rake(frame, ["c"], {"c": SHARES})
    assert weights_of(out) == pytest.approx(expected_weights(TEXTS, SHARES), rel=1e-9)
    assert_frame_equal(pl.DataFrame(out).drop("weight"), frame)


# ---------------------------------------------------------------------------------------
# pandas


@pytest.fixture
def pandas_frame():
    return pd.DataFrame({
        "region": pd.Series(TEXTS, dtype="category"),
        "label": pd.Series(TEXTS, dtype="string"),
        "count": pd.Series([1, None, 3, 4, 5, 6, 7, 8, None, 10], dtype="Int64"),
        "x": [float(i) / 4 for i in range(len(TEXTS))],
        "when": pd.date_range("2024-01-01", periods=len(TEXTS), freq="D"),
    })


@pytest.mark.parametrize("via", ["frame", "from_pandas"])
def test_pandas_in_and_out(pandas_frame, via):
    data = pandas_frame if via == "frame" else pa.Table.from_pandas(pandas_frame, preserve_index=False)
    if via == "frame" and not hasattr(pandas_frame, "__arrow_c_stream__"):
        pytest.skip("this pandas has no __arrow_c_stream__")
    out, _ = quelm.rim_rake(data, ["region"], {"region": SHARES})
    got = pa.table(out)
    assert got.select(pandas_frame.columns.tolist()).equals(pa.Table.from_pandas(pandas_frame, preserve_index=False))
    frame = got.to_pandas()
    assert frame["weight"].tolist() == pytest.approx(expected_weights(TEXTS, SHARES), rel=1e-9)
    pd.testing.assert_frame_equal(frame.drop(columns="weight"), pandas_frame, check_dtype=False,
                                  check_categorical=False)


@pytest.mark.parametrize("column", ["region", "label"])
def test_pandas_text_columns_are_targets(pandas_frame, column):
    out, _ = quelm.rim_rake(pa.Table.from_pandas(pandas_frame), [column], {column: SHARES})
    assert weights_of(out) == pytest.approx(expected_weights(TEXTS, SHARES), rel=1e-9)


# ---------------------------------------------------------------------------------------
# DuckDB

ROWS = 300_000  # more than one DuckDB batch
QUERY = f"""
    select i,
           (['sad', 'ok', 'happy'])[i % 3 + 1]::mood as mood,
           case when i % 7 = 0 then null else 'g' || (i % 4)::varchar end as grp,
           i::double / 8 as x
    from range({ROWS}) t(i)
"""


@pytest.fixture
def duck():
    con = duckdb.connect()
    con.sql("create type mood as enum ('sad', 'ok', 'happy')")
    yield con
    con.close()


def _relation_stream(relation):
    return relation if hasattr(relation, "__arrow_c_stream__") else relation.arrow()


def test_duckdb_relation_in(duck):
    relation = duck.sql(QUERY)
    assert len(list(pa.RecordBatchReader.from_stream(_relation_stream(duck.sql(QUERY))))) > 1
    expected = pa.table(_relation_stream(duck.sql(QUERY)))
    shares = {"sad": 0.5, "ok": 0.3, "happy": 0.2}
    out, result = quelm.rim_rake(_relation_stream(relation), ["mood"], {"mood": shares})
    got = pa.table(out)
    assert got.schema.remove_metadata().equals(
        expected.schema.remove_metadata().append(pa.field("weight", pa.float64(), nullable=False)))
    for name in expected.column_names:
        assert got.column(name).to_pylist() == expected.column(name).to_pylist(), name
    moods = ["sad", "ok", "happy"]
    assert got.column("weight").to_pylist() == pytest.approx(
        expected_weights([moods[i % 3] for i in range(ROWS)], shares), rel=1e-9)
    assert result.n_valid == ROWS


def test_duckdb_text_target_with_nulls(duck):
    shares = {"g0": 0.1, "g1": 0.2, "g2": 0.3, "g3": 0.4}
    out, result = quelm.rim_rake(_relation_stream(duck.sql(QUERY)), ["grp"], {"grp": shares})
    groups = [None if i % 7 == 0 else f"g{i % 4}" for i in range(ROWS)]
    assert weights_of(out) == pytest.approx(expected_weights(groups, shares), rel=1e-9)
    assert result.n_valid == sum(g is not None for g in groups)


def test_duckdb_queries_the_output():
    table = pa.table({"g": ["a", "b", "a", None], "v": [1, 2, 3, 4]})
    out, _ = quelm.rim_rake(table, ["g"], {"g": {"a": 0.25, "b": 0.75}})
    out_tbl = pa.table(out)
    rows = duckdb.sql("select g, v, weight from out_tbl order by v").fetchall()
    weights = expected_weights(["a", "b", "a", None], {"a": 0.25, "b": 0.75})
    assert [r[:2] for r in rows] == [("a", 1), ("b", 2), ("a", 3), (None, 4)]
    assert [r[2] for r in rows] == pytest.approx(weights, rel=1e-9)
    (total,), = duckdb.sql("select sum(weight) from out_tbl where g is not null").fetchall()
    assert total == pytest.approx(3.0)


# ---------------------------------------------------------------------------------------
# Output fed back in


def test_output_feeds_a_further_call():
    table = pa.table({"g": ["a", "b", "b", "b"], "h": [1, 1, 2, 2]})
    first, _ = quelm.rim_rake(table, ["g"], {"g": {"a": 0.5, "b": 0.5}})
    second, _ = quelm.rim_rake(first, ["h"], {"h": {1: 0.25, 2: 0.75}}, weight_column="w2")
    got = pa.table(second)
    assert got.column_names == ["g", "h", "weight", "w2"]
    assert got.column("weight").to_pylist() == pytest.approx([2.0, 2 / 3, 2 / 3, 2 / 3], rel=1e-9)
    assert got.column("w2").to_pylist() == pytest.approx([0.5, 0.5, 1.5, 1.5], rel=1e-9)
    third, _ = quelm.rim_rake(pl.DataFrame(second), [], {})
    assert pa.table(third).column_names == ["g", "h", "weight", "w2", "weight"]
