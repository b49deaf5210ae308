"""Taking over the caller's table through the Arrow PyCapsule stream interface."""

import gc
import sys

import numpy as np
import pyarrow as pa
import pytest

import quelm
import arrow_producers as ap
from conftest import body, passthrough
from arrow_producers import Array, CapsuleSource, Schema, Source, bitmap, pack, struct_batch, table_schema




XS_SCHEMA = table_schema(Schema("i", "x"), Schema("u", "s"))


def xs_batch(xs, ss):
    return struct_batch(len(xs), ap.int32(xs), ap.utf8(ss))


# ---------------------------------------------------------------------------------------
# What the producer's method returns


class NoMethod:
    pass


class Refuses:
    def __arrow_c_stream__(self):
        raise AssertionError("not reached: the call itself fails")


class ProducerError(Exception):
    pass


class Raises:
    error = ProducerError("producer refused")

    def __arrow_c_stream__(self, requested_schema=None):
        raise self.error


@pytest.mark.parametrize("obj", [NoMethod(), Refuses(), Raises(), 42], ids=["no method", "no parameter", "raises", "int"])
def test_exceptions_of_the_producer_pass_unchanged(obj):
    try:
        obj.__arrow_c_stream__(None)
    except Exception as exc:  # what the interpreter (or the producer) raises itself
        expected = exc
    with pytest.raises(type(expected)) as excinfo:
        passthrough(obj)
    assert type(excinfo.value) is type(expected)
    assert str(excinfo.value) == str(expected)
    if isinstance(obj, Raises):
        assert excinfo.value is Raises.error


def test_method_called_with_one_positional_none():
    calls = []
    table = pa.table({"a": [1, 2]})

    class Recording:
        def __arrow_c_stream__(self, *args, **kwargs):
            calls.append((args, kwargs))
            return table.__arrow_c_stream__()

    passthrough(Recording())
    assert calls == [((None,), {})]


class Outer:
    class NotACapsule:
        pass


@pytest.mark.parametrize(("returned", "message"), [
    (5, "'int' object is not an instance of 'PyCapsule'"),
    (None, "'None' is not an instance of 'PyCapsule'"),
    ("capsule", "'str' object is not an instance of 'PyCapsule'"),
    (Outer.NotACapsule(), "'Outer.NotACapsule' object is not an instance of 'PyCapsule'"),
    (pa.table({"a": [1]}), "'Table' object is not an instance of 'PyCapsule'"),
])
def test_result_must_be_a_capsule(returned, message):
    class Producer:
        def __arrow_c_stream__(self, requested_schema=None):
            return returned

    with pytest.raises(TypeError) as excinfo:
        passthrough(Producer())
    assert str(excinfo.value) == message


@pytest.mark.parametrize("name", [b"arrow_array", b"arrow_schema", b"arrow_array_stream_", None])
def test_capsule_with_another_name(name):
    source = Source(XS_SCHEMA, [xs_batch([1], ["a"])], capsule_name=name)
    try:
        ap.capsule_pointer(source.make_capsule())
    except ValueError as exc:  # the interpreter's own message for this capsule
        expected = str(exc)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert type(excinfo.value) is ValueError
    assert str(excinfo.value) == expected
    gc.collect()
    assert source.tally.calls == {}  # the stream was never touched ...
    source.tally.assert_released_once("stream")  # ... and the capsule released it


ALREADY_RELEASED = "Arrow stream error: C Data interface error: input stream is already released"


def test_stream_whose_release_is_null():
    source = Source(XS_SCHEMA, [xs_batch([1], ["a"])], released=True)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value) == ALREADY_RELEASED
    assert source.tally.calls == {}


@pytest.mark.parametrize("first_consumer", ["pyarrow", "quelm"])
def test_stream_taken_by_another_consumer(first_consumer):
    capsule = pa.table({"a": [1, 2, 3]}).__arrow_c_stream__()
    if first_consumer == "pyarrow":
        pa.RecordBatchReader.from_stream(CapsuleSource(capsule)).read_all()
    else:
        passthrough(CapsuleSource(capsule))
    with pytest.raises(ValueError) as excinfo:
        passthrough(CapsuleSource(capsule))
    assert str(excinfo.value) == ALREADY_RELEASED


@pytest.mark.parametrize("code", [5, 22, 1])
def test_get_schema_error_code(code):
    source = Source(XS_SCHEMA, [xs_batch([1], ["a"])], schema_rc=code)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value) == (
        f"Arrow stream error: C Data interface error: Cannot get schema from input stream. Error code: {code}")
    assert source.tally.calls["get_next"] == 0
    source.tally.assert_released_once()


@pytest.mark.parametrize("schema", [
    Schema("i", "x"),
    Schema("u"),
    Schema("+l", children=[Schema("+s", "item", children=[Schema("i", "x")])]),
], ids=["int32", "utf8", "list of struct"])
def test_schema_that_is_not_a_struct(schema):
    source = Source(schema, [ap.int32([1])])
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value) == (
        "Arrow stream error: C Data interface error: Unable to interpret C data struct as a Schema")
    source.tally.assert_released_once()


@pytest.mark.parametrize("field", [
    Schema("X", "bad"),
    Schema("d:10", "decimal without scale"),
    Schema("w:abc", "width not a number"),
    Schema("+w:2", "fixed list without child"),
    Schema("+l", "list with two children", children=[Schema("i"), Schema("i")]),
    Schema("u", "text keys", dictionary=Schema("u")),
], ids=lambda f: f.name.decode())
def test_schema_that_cannot_be_read(field):
    source = Source(table_schema(Schema("i", "ok"), field), [])
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value).startswith("Arrow stream error: ")
    source.tally.assert_released_once()


@pytest.mark.parametrize(("text", "shown"), [
    (b"boom", "boom"),
    ("Fehler: Größe".encode(), "Fehler: Größe"),
    (b"bad \xff byte", "bad \ufffd byte"),
    (b"", ""),
], ids=["ascii", "utf8", "invalid utf8", "empty"])
@pytest.mark.parametrize("good_batches", [0, 1, 2])
def test_get_next_failure(text, shown, good_batches):
    items = [xs_batch([1, 2], ["a", "b"])] * good_batches + [5, xs_batch([3], ["c"])]
    source = Source(XS_SCHEMA, items, last_error=text)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value) == "Arrow batch error: C Data interface error: " + shown
    assert source.tally.calls["get_next"] == good_batches + 1
    source.tally.assert_released_once()  # the stream and the batches read before


@pytest.mark.parametrize(("missing", "last_error", "items", "prefix"), [
    ({"get_schema"}, b"x", [], "Arrow stream error: "),
    ({"get_next"}, b"x", [], "Arrow batch error: "),
    ({"get_last_error"}, b"x", [5], "Arrow batch error: "),
    (set(), None, [5], "Arrow batch error: "),
    (set(), None, [xs_batch([1], ["a"]), 5], "Arrow batch error: "),
], ids=["no get_schema", "no get_next", "no get_last_error", "null error text", "null error text later"])
def test_missing_callbacks_and_texts(missing, last_error, items, prefix):
    source = Source(XS_SCHEMA, items, missing=missing, last_error=last_error)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value).startswith(prefix)
    assert len(str(excinfo.value)) > len(prefix)
    source.tally.assert_released_once()


# ---------------------------------------------------------------------------------------
# Malformed batches


def _int_col(length=3, **kwargs):
    return Array(length, [None, pack("i", range(length))], **kwargs)


def _str_col(length=3):
    return ap.utf8([f"s{i}" for i in range(length)])


LIST_SCHEMA = table_schema(Schema("+l", "l", children=[Schema("i", "item")]))
STRUCT_SCHEMA = table_schema(Schema("+s", "st", children=[Schema("i", "a")]))
FIXED_LIST_SCHEMA = table_schema(Schema("+w:2", "fl", children=[Schema("i", "item")]))
DICT_SCHEMA = table_schema(Schema("c", "d", dictionary=Schema("u")))

MALFORMED = {
    "int32 with one buffer": (XS_SCHEMA, struct_batch(3, Array(3, [None]), _str_col())),
    "int32 with three buffers": (XS_SCHEMA, struct_batch(3, Array(3, [None, pack("i", [1, 2, 3]), None]), _str_col())),
    "utf8 with two buffers": (XS_SCHEMA, struct_batch(3, _int_col(), Array(3, [None, pack("i", [0, 1, 2, 3])]))),
    "batch with two buffers": (XS_SCHEMA, Array(3, [None, None], children=[_int_col(), _str_col()])),
    "int32 values missing": (XS_SCHEMA, struct_batch(3, Array(3, [None, None]), _str_col())),
    "utf8 offsets missing": (XS_SCHEMA, struct_batch(2, _int_col(2), Array(2, [None, None, b"ab"]))),
    "validity missing while nulls counted": (XS_SCHEMA, struct_batch(3, _int_col(null_count=1), _str_col())),
    "negative batch length": (XS_SCHEMA, struct_batch(-1, _int_col(0), _str_col(0))),
    "negative column length": (XS_SCHEMA, struct_batch(0, Array(-2, [None, pack("i", [1])]), _str_col(0))),
    "negative batch offset": (XS_SCHEMA, struct_batch(2, _int_col(), _str_col(), offset=-1)),
    "negative column offset": (XS_SCHEMA, struct_batch(3, _int_col(offset=-1), _str_col())),
    "column shorter than batch": (XS_SCHEMA, struct_batch(3, _int_col(2), _str_col())),
    "column shorter than batch offset + length": (XS_SCHEMA, struct_batch(2, _int_col(2), _str_col(3), offset=1)),
    "struct child shorter than struct": (STRUCT_SCHEMA, struct_batch(3, Array(3, [None], children=[_int_col(1)]))),
    "struct child shorter than offset + length": (STRUCT_SCHEMA, struct_batch(
        3, Array(3, [None], offset=2, children=[_int_col(4)]))),
    "fixed list child too short": (FIXED_LIST_SCHEMA, struct_batch(3, Array(3, [None], children=[_int_col(5)]))),
    "batch-level nulls": (XS_SCHEMA, Array(3, [bitmap([1, 0, 1])], null_count=1, children=[_int_col(), _str_col()])),
    "batch-level nulls, count unknown": (XS_SCHEMA, Array(3, [bitmap([1, 0, 1])], null_count=-1,
                                                          children=[_int_col(), _str_col()])),
    "fewer columns than fields": (XS_SCHEMA, struct_batch(3, _int_col())),
    "more columns than fields": (XS_SCHEMA, struct_batch(3, _int_col(), _str_col(), _int_col())),
    "children counted but absent": (XS_SCHEMA, Array(3, [None], n_children=2)),
    "list without child": (LIST_SCHEMA, struct_batch(2, Array(2, [None, pack("i", [0, 1, 2])]))),
    "dictionary column without dictionary": (DICT_SCHEMA, struct_batch(2, Array(2, [None, pack("b", [0, 1])]))),
}


@pytest.mark.parametrize("case", MALFORMED, ids=str)
@pytest.mark.parametrize("position", ["only batch", "second batch"])
def test_malformed_batch(case, position):
    schema, bad = MALFORMED[case]
    items = [bad] if position == "only batch" else [_well_formed(schema), bad]
    source = Source(schema, items)
    with pytest.raises(ValueError) as excinfo:
        passthrough(source)
    assert str(excinfo.value).startswith("Arrow batch error: ")
    source.tally.assert_released_once()


def _well_formed(schema):
    fmt = schema.children[0].format
    if fmt == b"i":
        return xs_batch([7], ["z"])
    if fmt == b"+l":
        return struct_batch(1, Array(1, [None, pack("i", [0, 1])], children=[_int_col(1)]))
    if fmt == b"+s":
        return struct_batch(1, Array(1, [None], children=[_int_col(1)]))
    if fmt == b"+w:2":
        return struct_batch(1, Array(1, [None], children=[_int_col(2)]))
    return struct_batch(1, Array(1, [None, pack("b", [0])], dictionary=ap.utf8(["p"])))


@pytest.mark.parametrize("case", ["list", "struct", "fixed list", "dictionary"])
def test_well_formed_counterparts_pass(case):
    schema = {"list": LIST_SCHEMA, "struct": STRUCT_SCHEMA, "fixed list": FIXED_LIST_SCHEMA,
              "dictionary": DICT_SCHEMA}[case]
    source = Source(schema, [_well_formed(schema)])
    reference = pa.RecordBatchReader.from_stream(Source(schema, [_well_formed(schema)])).read_all()
    assert body(passthrough(source)).equals(reference)
    gc.collect()
    source.tally.assert_released_once()


TEXT_SCHEMA = table_schema(Schema("u", "s"))
VIEW_SCHEMA = table_schema(Schema("vu", "s"))
DICT_TEXT_SCHEMA = table_schema(Schema("c", "s", dictionary=Schema("u")))
LONG = b"a value longer than twelve bytes"

MALFORMED_TARGET = {
    "utf8 offsets decrease": (TEXT_SCHEMA, Array(3, [None, pack("i", [0, 3, 1, 4]), b"abcd"])),
    "utf8 offsets negative": (TEXT_SCHEMA, Array(2, [None, pack("i", [-3, 1, 2]), b"ab"])),
    "utf8 data missing": (TEXT_SCHEMA, Array(2, [None, pack("i", [0, 1, 2]), None])),
    "large utf8 offsets decrease": (table_schema(Schema("U", "s")),
                                    Array(2, [None, pack("q", [0, 4, 2]), b"abcd"])),
    "view buffer index out of range": (VIEW_SCHEMA, Array(1, [None, ap.view(LONG, 2, 0), LONG, pack("q", [len(LONG)])])),
    "view range past its buffer": (VIEW_SCHEMA, Array(1, [None, ap.view(LONG, 0, 8), LONG, pack("q", [len(LONG)])])),
    "dictionary key past dictionary": (DICT_TEXT_SCHEMA, Array(2, [None, pack("b", [0, 2])], dictionary=ap.utf8(["p", "q"]))),
    "negative dictionary key": (DICT_TEXT_SCHEMA, Array(2, [None, pack("b", [0, -1])], dictionary=ap.utf8(["p", "q"]))),
    "dictionary key past empty dictionary": (DICT_TEXT_SCHEMA, Array(1, [None, pack("b", [0])], dictionary=ap.utf8([]))),
}


@pytest.mark.parametrize("case", MALFORMED_TARGET, ids=str)
def test_malformed_values_in_a_target_column(case):
    # Values are checked where they are read: here, when the column is coded, so the text
    # may come from the import or from the coding of the column.
    schema, column = MALFORMED_TARGET[case]
    source = Source(schema, [struct_batch(column.length, column)])
    with pytest.raises(ValueError) as excinfo:
        quelm.rim_rake(source, ["s"], {})
    assert str(excinfo.value).startswith(("Arrow batch error: ", "Invalid argument error: "))
    gc.collect()
    source.tally.assert_released_once()


# ---------------------------------------------------------------------------------------
# Well-formed input


@pytest.mark.parametrize("lengths", [[], [3], [2, 0, 5], [0]])
def test_releases_on_success(lengths):
    batches, start = [], 0
    for n in lengths:
        batches.append(xs_batch(list(range(start, start + n)), [f"r{i}" for i in range(start, start + n)]))
        start += n
    source = Source(XS_SCHEMA, batches)
    out = passthrough(source)
    got = body(out)
    assert got.column("x").to_pylist() == list(range(start))
    assert got.column("s").to_pylist() == [f"r{i}" for i in range(start)]
    source.tally.assert_released_once("stream")
    source.tally.assert_released_once("schema")
    assert source.tally.calls["get_schema"] == 1
    if len(lengths) == 1:
        # the single batch is shared, not copied: it lives as long as the output
        assert set(source.tally.releases("array")) == {0}
    else:
        source.tally.assert_released_once("array")
    del out, got
    gc.collect()
    source.tally.assert_released_once()


def test_capsule_stream_is_left_released():
    source = Source(XS_SCHEMA, [xs_batch([1], ["a"])])
    passthrough(source)
    assert ap.is_null(source.last_struct.release)
    assert source.tally.releases("stream") == [1]

    capsule = pa.table({"a": [1, 2]}).__arrow_c_stream__()
    passthrough(CapsuleSource(capsule))
    assert ap.is_null(ap.stream_in_capsule(capsule).release)


def _expected(**columns):
    return pa.table(columns)


LENIENT = {
    # zero-length arrays may leave every buffer NULL
    "empty arrays with NULL buffers": (
        table_schema(Schema("i", "x"), Schema("u", "s"), Schema("+l", "l", children=[Schema("i", "item")])),
        struct_batch(0, Array(0, [None, None]), Array(0, [None, None, None]),
                     Array(0, [None, None], children=[Array(0, [None, None])])),
        _expected(x=pa.array([], pa.int32()), s=pa.array([], pa.string()), l=pa.array([], pa.list_(pa.int32()))),
    ),
    "empty texts with NULL data": (
        TEXT_SCHEMA, struct_batch(3, Array(3, [None, pack("i", [0, 0, 0, 0]), None])),
        _expected(s=pa.array(["", "", ""])),
    ),
    "unknown null count": (
        table_schema(Schema("i", "x")),
        struct_batch(3, Array(3, [bitmap([1, 0, 1]), pack("i", [1, 99, 3])], null_count=-1)),
        _expected(x=pa.array([1, None, 3], pa.int32())),
    ),
    "batch offset": (
        XS_SCHEMA, struct_batch(2, ap.int32([1, 2, 3]), ap.utf8(["a", None, "c"]), offset=1),
        _expected(x=pa.array([2, 3], pa.int32()), s=pa.array([None, "c"])),
    ),
    "batch and column offsets": (
        XS_SCHEMA, struct_batch(2, Array(3, [bitmap([1, 1, 0, 1]), pack("i", [9, 1, 2, 3])], offset=1, null_count=1),
                                ap.utf8(["a", "b", "c"]), offset=1),
        _expected(x=pa.array([None, 3], pa.int32()), s=pa.array(["b", "c"])),
    ),
    "texts not starting at offset zero": (
        TEXT_SCHEMA, struct_batch(2, Array(2, [None, pack("i", [3, 5, 6]), b"xxxabc"])),
        _expected(s=pa.array(["ab", "c"])),
    ),
    "zero columns with rows": (table_schema(), struct_batch(4), None),
}


@pytest.mark.parametrize("case", LENIENT, ids=str)
def test_well_formed_edge_layouts(case):
    schema, batch, expected = LENIENT[case]
    source = Source(schema, [batch])
    out = passthrough(source)
    table = pa.table(out)
    table.validate(full=True)
    assert table.num_rows == batch.length
    assert repr(out) == f"_ArrowData(rows={batch.length}, cols={len(schema.children) + 1})"
    assert table.column(table.num_columns - 1).to_pylist() == [1.0] * batch.length
    if expected is not None:
        assert body(out).equals(expected)
    del out, table
    gc.collect()
    source.tally.assert_released_once()


@pytest.mark.parametrize("column", [
    Array(4, [bitmap([1, 0, 1, 1]), pack("i", [1, 1, 3, 3])], null_count=1),
    Array(4, [bitmap([1, 0, 1, 1]), pack("i", [1, 1, 3, 3])], null_count=-1),
    Array(3, [bitmap([1, 0, 1, 1]), pack("i", [7, 1, 1, 3])], offset=1, null_count=-1),
], ids=["known null count", "unknown null count", "column offset"])
def test_validity_of_a_target_column(column):
    source = Source(table_schema(Schema("i", "x")), [struct_batch(column.length, column)])
    shares = {1: 0.25, 3: 0.75}
    out, result = quelm.rim_rake(source, ["x"], {"x": shares})
    values, valid = _values(column), _valid(column)
    kept = [v for v, ok in zip(values, valid) if ok]
    expected = [shares[v] * len(kept) / kept.count(v) if ok else 1.0 for v, ok in zip(values, valid)]
    assert pa.table(out).column("weight").to_pylist() == pytest.approx(expected, rel=1e-12)
    assert result.n_valid == len(kept)


def _values(column):
    raw = np.frombuffer(column.buffers[1], dtype="<i4")
    return raw[column.offset:column.offset + column.length].tolist()


def _valid(column):
    bits = column.buffers[0]
    return [bool(bits[(column.offset + i) >> 3] >> ((column.offset + i) & 7) & 1) for i in range(column.length)]


def test_bad_table_reported_before_bad_targets():
    with pytest.raises(AttributeError):
        quelm.rim_rake(NoMethod(), ["a"], {"a": [0.5]})
    source = Source(XS_SCHEMA, [], schema_rc=5)
    with pytest.raises(ValueError, match=r"^Arrow stream error: "):
        quelm.rim_rake(source, ["x"], {"x": "not a dict"})


# ---------------------------------------------------------------------------------------
# Memory


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def _wide_table(rows):
    ints = {f"i{k}": pa.array(np.arange(rows, dtype=np.int64) * (k + 1)) for k in range(6)}
    width = 40
    offsets = pa.py_buffer((np.arange(rows + 1, dtype=np.int64) * width).tobytes())
    data = pa.py_buffer(np.full(rows * width, ord("q"), dtype=np.uint8).tobytes())
    text = pa.Array.from_buffers(pa.large_string(), rows, [None, offsets, data])
    return pa.table({**ints, "text": text})


def test_single_batch_import_copies_no_rows():
    # 88 bytes of column data per row; the output adds only the weights (8 bytes per row).
    growth = {}
    for rows in (10_000, 1_000_000):
        table = _wide_table(rows)
        assert len(table.to_batches()) == 1
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), _resident_bytes()
        out = passthrough(table)
        growth[rows] = (_resident_bytes() - resident, sys.getallocatedblocks() - blocks)
        assert pa.table(out).num_rows == rows
        del out, table
        gc.collect()
    per_row = (growth[1_000_000][0] - growth[10_000][0]) / 990_000
    assert per_row < 8 + 20, f"{per_row:.1f} resident bytes per row for 88 bytes of data"
    assert growth[1_000_000][1] - growth[10_000][1] < 100  # no Python objects per row

