"""The output table: the weight column and the stream export of _ArrowData."""

import ctypes
import gc
import inspect
import threading

import pyarrow as pa
import pytest

import quelm
import arrow_producers as ap
from arrow_producers import CapsuleSource, Schema, Source, TakenStream, struct_batch, table_schema


def passthrough(data, **kwargs):
    out, _ = quelm.rim_rake(data, [], {}, **kwargs)
    return out


def read(capsule):
    return pa.RecordBatchReader.from_stream(CapsuleSource(capsule)).read_all()


@pytest.fixture
def abw():
    """Input a (Int32), b (Utf8), three rows, raked into the weight column w."""
    table = pa.table({"a": pa.array([1, 2, None], pa.int32()), "b": ["x", None, "z"]})
    return table, passthrough(table, weight_column="w")


def _addresses(arr):
    found = [b.address for b in arr.buffers() if b is not None and b.size > 0]
    if isinstance(arr, pa.DictionaryArray):
        found += _addresses(arr.dictionary)
    return found


# ---------------------------------------------------------------------------------------
# The weight column


@pytest.mark.parametrize("name", ["weight", "w", "", "Gewicht ä"])
def test_weight_column_is_last_float64_not_null(name):
    table = pa.table({"a": pa.array([1, 2, 3], pa.int32()), "b": ["x", "y", "z"]})
    got = pa.table(passthrough(table, weight_column=name))
    field = got.schema.field(got.num_columns - 1)
    assert got.column_names == ["a", "b", name]
    assert (field.name, field.type, field.nullable, field.metadata) == (name, pa.float64(), False, None)
    weights = got.column(got.num_columns - 1).chunk(0)
    assert weights.to_pylist() == [1.0, 1.0, 1.0]
    assert weights.null_count == 0 and weights.buffers()[0] is None


def test_repr_and_columns(abw):
    table, out = abw
    assert repr(out) == "_ArrowData(rows=3, cols=3)"
    got = pa.table(out)
    assert got.column_names == ["a", "b", "w"]
    assert got.select(["a", "b"]).equals(table)


def test_zero_columns_zero_rows():
    out = passthrough(pa.table({}))
    assert repr(out) == "_ArrowData(rows=0, cols=1)"
    got = pa.table(out)
    assert got.num_rows == 0 and got.schema.field(0).type == pa.float64()


def test_existing_weight_column_is_kept():
    table = pa.table({"weight": pa.array([7, 8], pa.int32()), "k": ["p", "q"]})
    got = pa.table(passthrough(table))
    assert got.column_names == ["weight", "k", "weight"]
    assert got.schema.field(0).type == pa.int32() and got.column(0).to_pylist() == [7, 8]
    assert got.schema.field(2).type == pa.float64() and got.column(2).to_pylist() == [1.0, 1.0]


def test_schema_metadata_dropped_field_metadata_kept():
    schema = pa.schema([pa.field("a", pa.int64(), nullable=False, metadata={"unit": "kg"}),
                        pa.field("b", pa.string(), metadata={"k": "v", "empty": ""})],
                       metadata={"table": "level"})
    table = pa.table({"a": [1, 2], "b": ["x", "y"]}, schema=schema)
    got = pa.table(passthrough(table))
    assert got.schema.metadata is None
    assert got.schema.field("a").metadata == {b"unit": b"kg"} and not got.schema.field("a").nullable
    assert got.schema.field("b").metadata == {b"k": b"v", b"empty": b""}


@pytest.mark.parametrize("slice_", [None, (1, 4), (3, 5)], ids=["whole", "slice", "tail"])
def test_single_chunk_shares_buffers(slice_):
    table = pa.table({
        "i": pa.array(range(8), pa.int64()),
        "f": pa.array([0.5, None] * 4),
        "s": pa.array(["a", "bb", None, "dddd"] * 2),
        "v": pa.array(["short", "a value longer than twelve"] * 4, pa.string_view()),
        "l": pa.array([[1, 2], None, [], [3]] * 2),
        "d": pa.array(["x", "y", None, "x"] * 2).dictionary_encode(),
        "st": pa.array([{"p": i, "q": str(i)} for i in range(8)]),
    })
    if slice_ is not None:
        table = table.slice(*slice_)
    got = pa.table(passthrough(table))
    for name in table.column_names:
        source, result = table.column(name).chunk(0), got.column(name).chunk(0)
        assert result.equals(source), name
        assert set(_addresses(source)) <= set(_addresses(result)), name


# ---------------------------------------------------------------------------------------
# __arrow_c_stream__


def test_method_signature(abw):
    _, out = abw
    params = list(inspect.signature(out.__arrow_c_stream__).parameters.values())
    assert [(p.name, p.default) for p in params] == [("requested_schema", None)]


def test_streams_are_independent(abw):
    table, out = abw
    first, second = out.__arrow_c_stream__(), out.__arrow_c_stream__()
    assert first is not second
    from_second = read(second)
    from_first = read(first)
    assert from_first.equals(from_second)
    assert from_first.select(["a", "b"]).equals(table)
    assert read(out.__arrow_c_stream__()).equals(from_first)


def _schema_capsule():
    return pa.schema([("other", pa.int8())]).__arrow_c_schema__()


@pytest.mark.parametrize("call", [
    lambda m: m(),
    lambda m: m(None),
    lambda m: m(requested_schema=None),
    lambda m: m(_schema_capsule()),
    lambda m: m(requested_schema=_schema_capsule()),
    lambda m: m(pa.table({"z": [1.5]}).__arrow_c_stream__()),
], ids=["no argument", "None", "None keyword", "other schema", "other schema keyword", "stream capsule"])
def test_requested_schema_does_not_change_the_stream(abw, call):
    _, out = abw
    capsule = call(out.__arrow_c_stream__)
    assert type(capsule).__name__ == "PyCapsule"
    ap.capsule_pointer(capsule, b"arrow_array_stream")  # raises on another name
    got = read(capsule)
    assert got.column_names == ["a", "b", "w"]
    assert got.equals(pa.table(out))


@pytest.mark.parametrize(("value", "type_name"), [(5, "int"), ("schema", "str"), (pa.schema([]), "Schema")])
def test_requested_schema_must_be_a_capsule(abw, value, type_name):
    _, out = abw
    for call in (lambda: out.__arrow_c_stream__(value), lambda: out.__arrow_c_stream__(requested_schema=value)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == (
            f"argument 'requested_schema': '{type_name}' object is not an instance of 'PyCapsule'")


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ((None, None), {}, "_ArrowData.__arrow_c_stream__() takes from 0 to 1 positional arguments but 2 were given"),
    ((None, None, None), {}, "_ArrowData.__arrow_c_stream__() takes from 0 to 1 positional arguments but 3 were given"),
    ((), {"schema": None}, "_ArrowData.__arrow_c_stream__() got an unexpected keyword argument 'schema'"),
    ((None,), {"requested_schema": None}, "_ArrowData.__arrow_c_stream__() got multiple values for argument 'requested_schema'"),
], ids=["two positional", "three positional", "unknown keyword", "given twice"])
def test_binding_errors(abw, args, kwargs, message):
    _, out = abw
    with pytest.raises(TypeError) as excinfo:
        out.__arrow_c_stream__(*args, **kwargs)
    assert str(excinfo.value) == message


def _hand_made_output():
    """An output whose single input batch comes from a counting producer, so that the
    release of the input tells when the last reference to the table went away."""
    source = Source(table_schema(Schema("i", "x"), Schema("u", "s")),
                    [struct_batch(3, ap.int32([1, None, 3]), ap.utf8(["a", "bb", None]))])
    return source, passthrough(source)


def test_dropped_capsule_releases_its_stream():
    source, out = _hand_made_output()
    capsule = out.__arrow_c_stream__()
    del out
    gc.collect()
    assert source.tally.releases("array") == [0] * 3  # the unread stream holds the table
    del capsule
    gc.collect()
    source.tally.assert_released_once()


def test_object_usable_after_a_capsule_was_dropped(abw):
    table, out = abw
    for _ in range(3):
        out.__arrow_c_stream__()
    gc.collect()
    assert pa.table(out).select(["a", "b"]).equals(table)


def test_stream_outlives_the_object():
    source, out = _hand_made_output()
    capsules = [out.__arrow_c_stream__() for _ in range(2)]
    del out
    gc.collect()
    first = read(capsules.pop())
    assert first.column("x").to_pylist() == [1, None, 3]
    assert first.column("s").to_pylist() == ["a", "bb", None]
    assert read(capsules.pop()).equals(first)
    del first
    gc.collect()
    source.tally.assert_released_once()


def _drive(capsule):
    """Read a stream the way a C consumer does; returns what it saw."""
    stream = TakenStream(capsule)
    seen = {}
    rc, schema = stream.get_schema()
    seen["schema"] = (rc, ctypes.string_at(schema.format), schema.n_children)
    rc2, schema2 = stream.get_schema()  # every call gives its own copy
    seen["second schema"] = (rc2, schema2.n_children)
    schema2.release(ctypes.pointer(schema2))
    rc, array = stream.get_next()
    seen["batch"] = (rc, ap.is_null(array.release), array.length, array.offset, array.null_count, array.n_children)
    rc, end = stream.get_next()
    seen["end"] = (rc, ap.is_null(end.release))
    stream.release()
    seen["stream released"] = ap.is_null(stream.stream.release)
    seen["table"] = pa.RecordBatch._import_from_c(ctypes.addressof(array), ctypes.addressof(schema))
    return seen


def _expected_drive(rows, cols):
    return {
        "schema": (0, b"+s", cols),
        "second schema": (0, cols),
        "batch": (0, False, rows, 0, 0, cols),
        "end": (0, True),
        "stream released": True,
    }


def test_stream_read_to_the_end(abw):
    _, out = abw
    seen = _drive(out.__arrow_c_stream__())
    batch = seen.pop("table")
    assert seen == _expected_drive(3, 3)
    assert pa.Table.from_batches([batch]).equals(pa.table(out))


def test_stream_read_on_another_thread(abw):
    _, out = abw
    capsules = [out.__arrow_c_stream__() for _ in range(4)]
    results = [None] * len(capsules)

    def work(k):
        results[k] = _drive(capsules[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(capsules))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for seen in results:
        batch = seen.pop("table")
        assert seen == _expected_drive(3, 3)
        assert pa.Table.from_batches([batch]).equals(pa.table(out))


def test_children_moved_out_outlive_their_parent():
    source, out = _hand_made_output()
    stream = TakenStream(out.__arrow_c_stream__())
    _, schema = stream.get_schema()
    _, array = stream.get_next()
    stream.release()
    del out
    # take column "s" out of the batch, then release the batch and its schema
    child = ap.move_array(array.children[1].contents)
    child_schema = ap.move_schema(schema.children[1].contents)
    array.release(ctypes.pointer(array))
    schema.release(ctypes.pointer(schema))
    gc.collect()
    assert set(source.tally.releases("array")) == {0}  # the moved column still holds the input
    column = pa.Array._import_from_c(ctypes.addressof(child), ctypes.addressof(child_schema))
    assert column.to_pylist() == ["a", "bb", None]
    del column
    gc.collect()
    source.tally.assert_released_once()


def test_output_validates_for_every_null_layout():
    table = pa.table({
        "none": pa.nulls(3),
        "all_null": pa.array([None, None, None], pa.int32()),
        "no_bitmap": pa.array([1, 2, 3], pa.int8()),
    })
    got = pa.table(passthrough(table))
    got.validate(full=True)
    assert got.select(table.column_names).equals(table)
