"""The Python data stack around the three functions: pyarrow batches and readers, pandas
dtypes, nanoarrow, arro3, columns that pass through unchanged, and DuckDB round trips."""

import collections
import datetime
import decimal
import uuid

import duckdb
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from polars.testing import assert_frame_equal

import quelm

na = pytest.importorskip("nanoarrow")
a3 = pytest.importorskip("arro3.core")

GROUPS = ["a", "b", "b", None, "a", "b", "c", "b"]
SHARES = {"a": 0.3, "b": 0.5, "c": 0.2}


def expected_weights(values, shares):
    """One target column raked once: each category carries its share of the valid rows;
    rows with a null keep 1.0."""
    valid = [v for v in values if v is not None]
    counts = collections.Counter(valid)
    return [1.0 if v is None else shares[v] * len(valid) / counts[v] for v in values]


EXPECTED = expected_weights(GROUPS, SHARES)


def passthrough_table():
    """The target column g and one column of every kind that quelm only carries along."""
    n = len(GROUPS)
    when = datetime.datetime(2024, 3, 31, 1, 30)
    return pa.table({
        "g": pa.array(GROUPS, pa.string()),
        "nested": pa.array([[{"x": i, "y": str(i)}] * (i % 3) if i % 4 else None for i in range(n)],
                           pa.list_(pa.struct([("x", pa.int32()), ("y", pa.string())]))),
        "mapping": pa.array([[("k", i)] if i % 2 else [] for i in range(n)], pa.map_(pa.string(), pa.int64())),
        "ts": pa.array([when + datetime.timedelta(hours=i) for i in range(n)], pa.timestamp("us", tz="Europe/Berlin")),
        "day": pa.array([datetime.date(2024, 1, 1 + i) for i in range(n)], pa.date32()),
        "time": pa.array([datetime.time(i, 5) for i in range(n)], pa.time64("us")),
        "dur": pa.array([i * 1000 for i in range(n)], pa.duration("ms")),
        "dec": pa.array([decimal.Decimal(i * 125 - 300).scaleb(-2) for i in range(n)], pa.decimal128(12, 2)),
        "bin": pa.array([bytes([i]) * i if i != 3 else None for i in range(n)], pa.binary()),
        "fixed": pa.array([bytes([i, 255 - i]) for i in range(n)], pa.binary(2)),
        "uuid": pa.array([uuid.UUID(int=i).bytes for i in range(n)], pa.uuid()),
        "codes": pa.array([i % 3 for i in range(n)], pa.int16()).dictionary_encode(),
    })


@pytest.fixture
def table():
    return passthrough_table()


def assert_weighted(got, source):
    """`got` (a pyarrow Table) is `source` with the expected weight column appended."""
    assert got.column_names == source.column_names + ["weight"]
    assert got.drop_columns(["weight"]).equals(source)
    assert got.column("weight").to_pylist() == pytest.approx(EXPECTED, rel=1e-12)


# ---------------------------------------------------------------------------------------
# Producers


def chunked(t):
    return pa.Table.from_batches(t.to_batches(max_chunksize=3))


PRODUCERS = {
    "Table": lambda t: t,
    "Table of 3 chunks": chunked,
    "RecordBatch": lambda t: t.combine_chunks().to_batches()[0],
    "RecordBatchReader": lambda t: pa.RecordBatchReader.from_batches(t.schema, chunked(t).to_batches()),
    "nanoarrow ArrayStream": lambda t: na.ArrayStream(chunked(t)),
    "arro3 Table": lambda t: a3.Table.from_arrow(chunked(t)),
    "arro3 RecordBatchReader": lambda t: a3.RecordBatchReader.from_arrow(t),
}


@pytest.mark.parametrize("make", PRODUCERS.values(), ids=PRODUCERS.keys())
def test_producers_keep_every_passthrough_column(table, make):
    out, result = quelm.rim_rake(make(table), ["g"], {"g": SHARES})
    assert_weighted(pa.table(out), table)
    assert result.n_valid == len(GROUPS) - 1


def test_schema_of_the_output(table):
    out, _ = quelm.rim_rake(table, ["g"], {"g": SHARES})
    schema = pa.table(out).schema
    assert schema.field("uuid").type == pa.uuid()
    assert schema.field("ts").type == pa.timestamp("us", tz="Europe/Berlin")
    assert schema.field("weight") == pa.field("weight", pa.float64(), nullable=False)


# ---------------------------------------------------------------------------------------
# Consumers of the result, each fed into a further call


def _nanoarrow_to_arrow(out):
    stream = na.ArrayStream(out)
    return pa.table(stream)


CONSUMERS = {
    "pa.table": pa.table,
    "RecordBatchReader.from_stream": lambda out: pa.RecordBatchReader.from_stream(out).read_all(),
    "nanoarrow": _nanoarrow_to_arrow,
    "nanoarrow Array": lambda out: pa.table(na.Array(out)),
    "arro3 Table": lambda out: pa.table(a3.Table.from_arrow(out)),
    "arro3 RecordBatchReader": lambda out: pa.table(a3.RecordBatchReader.from_arrow(out)),
}


@pytest.mark.parametrize("read", CONSUMERS.values(), ids=CONSUMERS.keys())
def test_consumers_read_the_result(table, read):
    out, _ = quelm.rim_rake(table, ["g"], {"g": SHARES})
    assert_weighted(read(out), table)


@pytest.mark.parametrize("wrap", [
    lambda out: out,
    lambda out: na.ArrayStream(out),
    lambda out: a3.Table.from_arrow(out),
], ids=["_ArrowData", "nanoarrow", "arro3"])
def test_result_feeds_a_further_call(table, wrap):
    out, _ = quelm.rim_rake(table, ["g"], {"g": SHARES})
    shares = {"a": 0.5, "b": 0.25, "c": 0.25}
    again, _ = quelm.rim_rake(wrap(out), ["g"], {"g": shares}, weight_column="w2")
    got = pa.table(again)
    assert got.column_names == table.column_names + ["weight", "w2"]
    assert_weighted(got.drop_columns(["w2"]), table)
    assert got.column("w2").to_pylist() == pytest.approx(expected_weights(GROUPS, shares), rel=1e-12)


def test_array_only_objects_need_a_stream(table):
    # An arro3 RecordBatch offers __arrow_c_array__ only; its Table or reader is a stream.
    batch = a3.RecordBatch.from_arrow(table.combine_chunks().to_batches()[0])
    with pytest.raises(AttributeError, match="__arrow_c_stream__"):
        quelm.rim_rake(batch, ["g"], {"g": SHARES})
    out, _ = quelm.rim_rake(a3.Table.from_batches([batch]), ["g"], {"g": SHARES})
    assert_weighted(pa.table(out), table)


# Where a library has no path from a stream object, its own error says so.
STREAM_REFUSED = {
    "pandas DataFrame()": (lambda out: pd.DataFrame(out), ValueError, "DataFrame constructor not properly called"),
    "nanoarrow c_array": (lambda out: na.c_array(out), TypeError, "_ArrowData"),
    "pa.record_batch": (lambda out: pa.record_batch(out), TypeError, "Expected"),
}


@pytest.mark.parametrize("read, error, text", STREAM_REFUSED.values(), ids=STREAM_REFUSED.keys())
def test_array_only_entry_points_refuse_the_stream(table, read, error, text):
    out, _ = quelm.rim_rake(table, ["g"], {"g": SHARES})
    with pytest.raises(error, match=text):
        read(out)


# ---------------------------------------------------------------------------------------
# polars: the columns it makes come back unchanged


def test_polars_passthrough_columns(table):
    frame = pl.from_arrow(table.drop_columns(["uuid", "codes"]))
    frame = frame.with_columns(
        pl.col("g").cast(pl.Categorical).alias("cat"),
        pl.col("g").cast(pl.Enum(["c", "b", "a"])).alias("enum"),
    )
    for target in ("g", "cat", "enum"):
        out, _ = quelm.rim_rake(frame, [target], {target: SHARES})
        got = pl.DataFrame(out)
        assert_frame_equal(got.drop("weight"), frame)
        assert got["weight"].to_list() == pytest.approx(EXPECTED, rel=1e-12)
    back = pl.from_arrow(out)
    if isinstance(back, pl.Series):  # polars reads a stream object as one struct Series
        back = back.struct.unnest()
    assert_frame_equal(back, got)


# ---------------------------------------------------------------------------------------
# pandas: object, str, Arrow-backed and categorical dtypes


def pandas_frame():
    return pd.DataFrame({
        "obj": pd.Series(GROUPS, dtype=object),
        "str": pd.Series(GROUPS, dtype="str"),
        "arrow": pd.Series(GROUPS, dtype=pd.ArrowDtype(pa.string())),
        "large": pd.Series(GROUPS, dtype=pd.ArrowDtype(pa.large_string())),
        "cat": pd.Series(GROUPS, dtype="category"),
        "num": pd.Series(range(len(GROUPS)), dtype="int64"),
        "when": pd.Series(pd.date_range("2024-01-01", periods=len(GROUPS), freq="h", tz="UTC")),
        "dec": pd.Series([decimal.Decimal("1.5")] * len(GROUPS), dtype=pd.ArrowDtype(pa.decimal128(5, 1))),
    })


@pytest.mark.parametrize("column", ["obj", "str", "arrow", "large", "cat"])
def test_pandas_dtypes_as_targets(column):
    frame = pandas_frame()
    if not hasattr(frame, "__arrow_c_stream__"):
        with pytest.raises(AttributeError, match="__arrow_c_stream__"):
            quelm.rim_rake(frame, [column], {column: SHARES})
        frame = pa.Table.from_pandas(frame, preserve_index=False)
    out, result = quelm.rim_rake(frame, [column], {column: SHARES})
    assert pa.table(out).column("weight").to_pylist() == pytest.approx(EXPECTED, rel=1e-12)
    assert result.n_valid == len(GROUPS) - 1


def test_pandas_reads_the_result_back():
    frame = pandas_frame()
    if not hasattr(frame, "__arrow_c_stream__"):
        pytest.skip("this pandas has no __arrow_c_stream__ (covered by the test above)")
    out, _ = quelm.rim_rake(frame, ["cat"], {"cat": SHARES})
    arrow_backed = pa.table(out).to_pandas(types_mapper=pd.ArrowDtype)
    assert arrow_backed["weight"].tolist() == pytest.approx(EXPECTED, rel=1e-12)
    via_arrow = pa.table(out).to_pandas()
    # The same frame as pandas' own trip through Arrow (which turns object into str).
    own_trip = pa.table(frame).replace_schema_metadata(None).to_pandas()
    pd.testing.assert_frame_equal(via_arrow.drop(columns="weight"), own_trip)
    assert via_arrow["cat"].dtype == "category" and via_arrow["when"].dtype == frame["when"].dtype
    if hasattr(pd.DataFrame, "from_arrow"):  # pandas 3
        pd.testing.assert_frame_equal(pd.DataFrame.from_arrow(out), via_arrow)


# ---------------------------------------------------------------------------------------
# DuckDB: relation in, SQL over the result, the query's result in again


def test_duckdb_round_trip(table):
    con = duckdb.connect()
    arrow_in = table.select(["g", "day", "dec", "nested"])  # types DuckDB maps both ways
    relation = con.sql("select * from arrow_in")
    out, _ = quelm.rim_rake(relation, ["g"], {"g": SHARES})
    sums = dict(con.sql("select g, sum(weight) from out where g is not null group by g").fetchall())
    valid = len(GROUPS) - 1
    assert sums == pytest.approx({k: v * valid for k, v in SHARES.items()}, rel=1e-12)
    same = pa.table(con.sql("select g, day, dec, nested from out").arrow())
    assert same.to_pylist() == arrow_in.to_pylist()
    # The result of a query over the result goes into a further call.
    again, _ = quelm.rim_rake(con.sql("select g, weight as first from out"), ["g"], {"g": SHARES})
    got = pa.table(again)
    assert got.column_names == ["g", "first", "weight"]
    assert got.column("first").to_pylist() == got.column("weight").to_pylist()
    con.close()
