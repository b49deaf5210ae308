"""Streams of several batches are concatenated into one batch of the stream's schema."""

import collections
import datetime
import decimal

import pyarrow as pa
import pytest

import quelm
import arrow_producers as ap
from conftest import body, passthrough
from arrow_producers import Array, Schema, Source, pack, struct_batch, table_schema




# ---------------------------------------------------------------------------------------
# A table with a column of every type pyarrow can make

class TaggedType(pa.ExtensionType):
    """An extension type of our own, with parameters in its serialized metadata."""

    def __init__(self, unit="kg"):
        self.unit = unit
        super().__init__(pa.int32(), "quelm.tests.tagged")

    def __arrow_ext_serialize__(self):
        return f"unit={self.unit}".encode()

    @classmethod
    def __arrow_ext_deserialize__(cls, storage_type, serialized):
        return cls(serialized.decode().split("=", 1)[1])


try:
    pa.register_extension_type(TaggedType())
except pa.ArrowKeyError:  # already registered in this process
    pass

ROWS = 45
# The chunks are slices of the rows below, so every chunk but the first starts at a non-zero
# offset; the rows at each chunk's first and last position are null in every nullable column.
SLICES = [(3, 7), (10, 0), (10, 13), (23, 20)]
NULL_ROWS = {3, 9, 10, 22, 23, 42}


def _column(fn, type_):
    return pa.array([None if i in NULL_ROWS else fn(i) for i in range(ROWS)], type=type_)


def _text(i):
    # short (inline in views) and long (out of line) values, empty ones, non-ASCII ones
    if i % 3 == 0:
        return ""
    return f"v{i}é" if i % 2 else f"a rather long text value number {i}"


def _base_columns():
    def dec(scale):
        return lambda i: decimal.Decimal(i * 12345 - 300000).scaleb(-scale)

    cols = {
        "null": pa.nulls(ROWS),
        "bool": _column(lambda i: i % 3 == 0, pa.bool_()),
        "int8": _column(lambda i: (i * 37) % 256 - 128, pa.int8()),
        "int16": _column(lambda i: i * 1000 - 20000, pa.int16()),
        "int32": _column(lambda i: i * 99991 - 2_000_000, pa.int32()),
        "int64": _column(lambda i: i * 2**40 - 2**62, pa.int64()),
        "uint8": _column(lambda i: (i * 5) % 256, pa.uint8()),
        "uint16": _column(lambda i: i * 1400, pa.uint16()),
        "uint32": _column(lambda i: 2**32 - 1 - i * 1000, pa.uint32()),
        "uint64": _column(lambda i: 2**64 - 1 - i, pa.uint64()),
        "float16": _column(lambda i: i / 8 - 2, pa.float32()).cast(pa.float16()),
        "float32": _column(lambda i: i * 0.5 - 3, pa.float32()),
        "float64": _column(lambda i: i * 1e10 / 7, pa.float64()),
        "decimal32": _column(dec(2), pa.decimal32(7, 2)),
        "decimal64": _column(dec(3), pa.decimal64(15, 3)),
        "decimal128": _column(dec(5), pa.decimal128(30, 5)),
        "decimal256": _column(dec(10), pa.decimal256(60, 10)),
        "date32": _column(lambda i: datetime.date(1970, 1, 1) + datetime.timedelta(days=i * 400 - 9000), pa.date32()),
        "date64": _column(lambda i: datetime.date(2000, 1, 1) + datetime.timedelta(days=i * 3), pa.date64()),
        "time32s": _column(lambda i: i * 1000, pa.time32("s")),
        "time32ms": _column(lambda i: i * 1_000_003, pa.time32("ms")),
        "time64us": _column(lambda i: i * 1_000_000_007, pa.time64("us")),
        "time64ns": _column(lambda i: i * 1_000_000_000_007, pa.time64("ns")),
        "ts_s": _column(lambda i: i * 86_400 - 10**6, pa.timestamp("s")),
        "ts_ms_utc": _column(lambda i: i * 10**9, pa.timestamp("ms", tz="UTC")),
        "ts_us_berlin": _column(lambda i: i * 10**12, pa.timestamp("us", tz="Europe/Berlin")),
        "ts_ns_offset": _column(lambda i: i * 10**15, pa.timestamp("ns", tz="+05:30")),
        "dur_s": _column(lambda i: i - 20, pa.duration("s")),
        "dur_ms": _column(lambda i: i * 1000, pa.duration("ms")),
        "dur_us": _column(lambda i: -i * 10**6, pa.duration("us")),
        "dur_ns": _column(lambda i: i * 10**9, pa.duration("ns")),
        "interval": _column(lambda i: (i, -i, i * 10**9), pa.month_day_nano_interval()),
        "binary": _column(lambda i: bytes([i]) * (i % 5), pa.binary()),
        "large_binary": _column(lambda i: bytes([255 - i]) * (i % 4), pa.large_binary()),
        "string": _column(_text, pa.string()),
        "large_string": _column(_text, pa.large_string()),
        "string_view": _column(_text, pa.string_view()),
        "binary_view": _column(lambda i: _text(i).encode() * 2, pa.binary_view()),
        "fixed_binary": _column(lambda i: bytes([i, i + 1, i + 2]), pa.binary(3)),
        "list": _column(lambda i: [j if (i + j) % 5 else None for j in range(i % 4)], pa.list_(pa.int32())),
        "large_list": _column(lambda i: [_text(i + j) for j in range(i % 3)], pa.large_list(pa.string())),
        "list_view": _column(lambda i: [i - j for j in range(i % 4)], pa.list_view(pa.int16())),
        "large_list_view": _column(lambda i: [_text(j) for j in range(i % 3)], pa.large_list_view(pa.string())),
        "fixed_list": _column(lambda i: [i % 100, None if i % 2 else -(i % 100)], pa.list_(pa.int8(), 2)),
        "struct": _column(
            lambda i: {"a": None if i % 4 == 1 else i, "b": _text(i), "c": [i % 7] * (i % 3)},
            pa.struct([("a", pa.int32()), ("b", pa.string()), ("c", pa.list_(pa.int8()))]),
        ),
        "map": _column(lambda i: [(f"k{j}", i * j) for j in range(i % 3)], pa.map_(pa.string(), pa.int64())),
        "nested": _column(
            lambda i: [{"x": [_text(i)] if i % 2 else None}] * (i % 3),
            pa.list_(pa.struct([("x", pa.large_list(pa.string_view()))])),
        ),
    }

    type_ids = pa.array([5 if i % 3 else 7 for i in range(ROWS)], pa.int8())
    cols["sparse_union"] = pa.UnionArray.from_sparse(
        type_ids,
        [_column(lambda i: i * 3, pa.int32()), _column(_text, pa.string())],
        field_names=["i", "s"], type_codes=[5, 7])
    n_int = sum(1 for i in range(ROWS) if i % 3)
    offsets, seen = [], collections.Counter()
    for i in range(ROWS):
        code = 5 if i % 3 else 7
        offsets.append(seen[code])
        seen[code] += 1
    cols["dense_union"] = pa.UnionArray.from_dense(
        type_ids, pa.array(offsets, pa.int32()),
        [pa.array([None if k % 6 == 1 else k * 11 for k in range(n_int)], pa.int64()),
         pa.array([None if k == 2 else _text(k) for k in range(ROWS - n_int)], pa.large_string())],
        field_names=["n", "t"], type_codes=[5, 7])

    run_ends, values, end = [], [], 0
    for k in range(ROWS):
        end = min(ROWS, end + 1 + k % 4)
        run_ends.append(end)
        values.append(None if k % 5 == 2 else _text(k))
        if end == ROWS:
            break
    cols["run_end_encoded"] = pa.RunEndEncodedArray.from_arrays(
        pa.array(run_ends, pa.int32()), pa.array(values, pa.string()))

    # one dictionary shared by every chunk (the chunks are slices of the same array)
    cols["dict_shared"] = pa.DictionaryArray.from_arrays(
        pa.array([None if i in NULL_ROWS else i % 4 for i in range(ROWS)], pa.int16()),
        pa.array(["north", None, "south", "north"]))
    cols["uuid"] = pa.ExtensionArray.from_storage(
        pa.uuid(), _column(lambda i: bytes([i]) * 16, pa.binary(16)))
    cols["tagged"] = pa.ExtensionArray.from_storage(TaggedType("cm"), _column(lambda i: i * 7, pa.int32()))
    cols["not_null"] = pa.array(range(ROWS), pa.int64())
    return cols


def _chunk_dictionary(chunk, length, index_type, value_type, values):
    """A dictionary column chunk whose dictionary differs from chunk to chunk and holds a
    null entry (index 1); keys are null at the chunk's edges."""
    dictionary = pa.array([values(chunk, j) if j != 1 else None for j in range(4)], value_type)
    keys = [None if j in (0, length - 1) else (j * (chunk + 1)) % 4 for j in range(length)]
    return pa.DictionaryArray.from_arrays(pa.array(keys, index_type), dictionary)


DIFFERING_DICTIONARIES = {
    "dict_int8_string": (pa.int8(), pa.string(), lambda c, j: f"chunk{c}-{j}"),
    "dict_uint8_view": (pa.uint8(), pa.string_view(), lambda c, j: f"v{(c + j) % 3}"),
    "dict_int32_large": (pa.int32(), pa.large_string(), lambda c, j: "same" if j == 0 else f"{c}/{j}"),
    "dict_uint32_int64": (pa.uint32(), pa.int64(), lambda c, j: c * 100 + j),
}


def _schema(columns):
    fields = []
    for name, arr in columns.items():
        metadata = {b"origin": b"survey", b"unit": name.encode()} if name in ("int32", "string", "struct") else None
        fields.append(pa.field(name, arr.type, nullable=(name != "not_null"), metadata=metadata))
    return pa.schema(fields, metadata={b"table": b"level metadata"})


def _chunk_tables():
    base = _base_columns()
    tables = []
    for chunk, (offset, length) in enumerate(SLICES):
        columns = {name: arr.slice(offset, length) for name, arr in base.items()}
        for name, (index_type, value_type, values) in DIFFERING_DICTIONARIES.items():
            columns[name] = _chunk_dictionary(chunk, length, index_type, value_type, values)
        tables.append(pa.table(columns, schema=_schema(columns)))
    return tables


def _rechunked(table):
    """The same table with columns chunked at other boundaries than their neighbours, so
    that the producer cuts every batch as slices of several chunks."""
    columns = []
    for k, name in enumerate(table.column_names):
        col = table.column(name)
        if k % 2 and not pa.types.is_dictionary(col.type):
            whole = col.combine_chunks()
            cuts = [0, 5 + k % 7, 21, col.length()]
            col = pa.chunked_array([whole.slice(a, b - a) for a, b in zip(cuts, cuts[1:])], col.type)
        columns.append(col)
    return pa.table(columns, schema=table.schema)


def _source(kind):
    tables = _chunk_tables()
    table = pa.concat_tables(tables)
    if kind == "table":
        return table, table
    if kind == "reader":
        # one batch per chunk table, the empty one included, each column a sliced array
        batches = [pa.RecordBatch.from_arrays([c.chunk(0) for c in t.columns], schema=t.schema) for t in tables]
        return pa.RecordBatchReader.from_batches(table.schema, batches), table
    if kind == "rechunked":
        rechunked = _rechunked(table)
        return rechunked, table
    raise AssertionError(kind)


def _decode(arr):
    """The values of a dictionary array (pyarrow cannot take from every dictionary type)."""
    entries = arr.dictionary.to_pylist()
    return pa.array([None if k is None else entries[k] for k in arr.indices.to_pylist()], arr.type.value_type)


def _logical(col):
    if pa.types.is_dictionary(col.type):
        return pa.chunked_array([_decode(c) for c in col.chunks], col.type.value_type)
    return col


@pytest.mark.parametrize("kind", ["table", "reader", "rechunked"])
def test_chunks_concatenate_to_the_combined_table(kind):
    data, expected = _source(kind)
    got = body(passthrough(data))

    assert got.schema.equals(expected.schema.remove_metadata(), check_metadata=True)
    assert got.schema.metadata is None
    assert got.schema.field("int32").metadata == {b"origin": b"survey", b"unit": b"int32"}
    assert got.num_rows == sum(length for _, length in SLICES)
    got.validate(full=True)
    for name in expected.column_names:
        assert got.column(name).num_chunks == 1, name
        assert _logical(got.column(name)).equals(_logical(expected.column(name))), name


def test_differing_dictionaries_keep_their_entries():
    _, expected = _source("table")
    got = body(passthrough(expected))
    for name in DIFFERING_DICTIONARIES:
        decoded = _decode(got.column(name).chunk(0)).to_pylist()
        assert decoded == _logical(expected.column(name)).to_pylist(), name


def test_zero_batches_give_an_empty_table_of_every_type():
    schema = _chunk_tables()[0].schema
    out = passthrough(pa.RecordBatchReader.from_batches(schema, []))
    got = body(out)
    assert got.num_rows == 0
    assert got.schema.equals(schema.remove_metadata(), check_metadata=True)
    got.validate(full=True)
    assert pa.table(out).column(-1).to_pylist() == []


@pytest.mark.parametrize("lengths", [[2, 0, 5], [0, 0, 0], [1] * 9, [0, 4]])
def test_batches_are_joined_in_stream_order(lengths):
    batches, start = [], 0
    for n in lengths:
        rows = range(start, start + n)
        batches.append(pa.record_batch({"k": pa.array(rows, pa.int64()),
                                        "s": pa.array([f"r{r}" for r in rows], pa.string_view())}))
        start += n
    out = passthrough(pa.RecordBatchReader.from_batches(batches[0].schema, batches))
    got = pa.table(out)
    assert got.column("k").to_pylist() == list(range(start))
    assert got.column("s").to_pylist() == [f"r{r}" for r in range(start)]
    assert got.column("weight").to_pylist() == [1.0] * start


def test_target_column_spread_over_differing_dictionaries():
    chunks = [
        pa.DictionaryArray.from_arrays(pa.array([0, 1, 1, None], pa.int8()), pa.array(["a", "b"])),
        pa.DictionaryArray.from_arrays(pa.array([2, 0, 3, 1, 2], pa.int8()), pa.array(["c", None, "a", "b"])),
        pa.DictionaryArray.from_arrays(pa.array([], pa.int8()), pa.array(["zzz"])),
        pa.DictionaryArray.from_arrays(pa.array([1, 1], pa.int8()), pa.array(["c", "b", "a"])),
    ]
    table = pa.table({"d": pa.chunked_array(chunks)})
    values = [v for c in chunks for v in _decode(c).to_pylist()]
    shares = {"a": 0.2, "b": 0.3, "c": 0.5}
    out, result = quelm.rim_rake(table, ["d"], {"d": shares})

    # A null key leaves its row out; a key to the null entry keeps the row in the raking,
    # without a category, so its weight stays 1.0.
    n_valid = sum(k is not None for c in chunks for k in c.indices.to_pylist())
    counts = collections.Counter(v for v in values if v is not None)
    expected = [1.0 if v is None else shares[v] * n_valid / counts[v] for v in values]
    assert pa.table(out).column("weight").to_pylist() == pytest.approx(expected, rel=1e-12)
    assert result.n_valid == n_valid == 10


def test_dictionary_key_overflow_is_a_concat_error():
    # int8 keys cannot address the 200 distinct entries of both chunks together
    chunks = [pa.DictionaryArray.from_arrays(pa.array(range(100), pa.int8()),
                                             pa.array([f"c{c}-{j}" for j in range(100)]))
              for c in range(2)]
    with pytest.raises(ValueError, match=r"^Arrow concat error: "):
        passthrough(pa.table({"d": pa.chunked_array(chunks)}))


def test_32bit_offset_overflow_is_a_concat_error():
    # Two batches of one binary value of 1.2e9 bytes each: together they do not fit 32-bit
    # offsets. The bytes are untouched zero pages, so no real memory is needed.
    size = 1_200_000_000
    data = ap.zero_pages(size)
    batch = struct_batch(1, Array(1, [None, pack("i", [0, size]), data]))
    source = Source(table_schema(Schema("z", "blob")), [batch, batch])
    with pytest.raises(ValueError, match=r"^Arrow concat error: "):
        passthrough(source)
    source.tally.assert_released_once()


def _utf8_raw(length, offsets, data=b"abcdefgh"):
    return Array(length, [None, pack("i", offsets), data])


def _view_column(views, data=b"a long value past 12 and more", sizes=None):
    sizes = [len(data)] if sizes is None else sizes
    return Array(len(views), [None, b"".join(views), data, pack("q", sizes)])


MALFORMED_SECOND_BATCH = {
    "utf8 offsets decrease": ("u", _utf8_raw(3, [0, 3, 1, 4])),
    "utf8 offsets negative": ("u", _utf8_raw(2, [-4, 1, 2])),
    "large utf8 offsets decrease": ("U", Array(2, [None, pack("q", [0, 5, 2]), b"abcdef"])),
    "view buffer index out of range": ("vu", _view_column([ap.view(b"a long value past 12", 3, 0), ap.view(b"ok")])),
    "view range past its buffer": ("vu", _view_column([ap.view(b"a long value past 12", 0, 20)])),
    "list offsets decrease": ("+l", Array(2, [None, pack("i", [0, 2, 1])], children=[ap.int32([1, 2, 3])])),
    "list offsets past child": ("+l", Array(2, [None, pack("i", [0, 2, 9])], children=[ap.int32([1, 2, 3])])),
    "dictionary key past dictionary": ("c", Array(2, [None, pack("b", [0, 7])], dictionary=ap.utf8(["p", "q"]))),
    "dense union offset past child": ("+ud:0,1", Array(2, [pack("b", [0, 1]), pack("i", [0, 9])],
                                                     children=[ap.int32([1]), ap.utf8(["a"])])),
    "sparse union undeclared type id": ("+us:0,1", Array(2, [pack("b", [0, 5])],
                                                        children=[ap.int32([1, 2]), ap.utf8(["a", "b"])])),
}

_GOOD_FIRST = {
    "u": ap.utf8(["x", "y"]),
    "U": ap.utf8(["x", "y"], large=True),
    "vu": _view_column([ap.view(b"short"), ap.view(b"a long value past 12", 0, 0)]),
    "+l": Array(2, [None, pack("i", [0, 1, 3])], children=[ap.int32([1, 2, 3])]),
    "c": Array(2, [None, pack("b", [1, 0])], dictionary=ap.utf8(["p", "q"])),
    "+ud:0,1": Array(2, [pack("b", [0, 1]), pack("i", [0, 0])], children=[ap.int32([1]), ap.utf8(["a"])]),
    "+us:0,1": Array(2, [pack("b", [0, 1])], children=[ap.int32([1, 2]), ap.utf8(["a", "b"])]),
}


def _column_schema(fmt):
    if fmt == "+l":
        return Schema(fmt, "col", children=[Schema("i", "item")])
    if fmt == "c":
        return Schema(fmt, "col", dictionary=Schema("u"))
    if fmt.startswith("+u"):
        return Schema(fmt, "col", children=[Schema("i", "a"), Schema("u", "b")], flags=0)
    return Schema(fmt, "col")


@pytest.mark.parametrize("case", MALFORMED_SECOND_BATCH, ids=str)
def test_malformed_data_found_when_concatenating(case):
    fmt, bad = MALFORMED_SECOND_BATCH[case]
    good = _GOOD_FIRST[fmt]
    source = Source(table_schema(_column_schema(fmt)),
                    [struct_batch(good.length, good), struct_batch(bad.length, bad)])
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value).startswith(("Arrow batch error: ", "Arrow concat error: "))
    source.tally.assert_released_once()


@pytest.mark.parametrize("fmt", sorted(_GOOD_FIRST), ids=str)
def test_well_formed_hand_made_batches_concatenate(fmt):
    good = _GOOD_FIRST[fmt]
    schema = table_schema(_column_schema(fmt))
    source = Source(schema, [struct_batch(good.length, good)] * 3)
    reference = pa.RecordBatchReader.from_stream(Source(schema, [struct_batch(good.length, good)] * 3)).read_all()
    got = body(passthrough(source))
    got.validate(full=True)
    assert _logical(got.column(0)).to_pylist() == _logical(reference.column(0)).to_pylist()
    source.tally.assert_released_once()
