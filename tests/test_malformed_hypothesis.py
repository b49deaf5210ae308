"""Random malformed producers: whatever a stream hands over, a call either succeeds or
raises ValueError / TypeError with a readable text, and every stream, schema and array node
is released exactly once.

Each example builds a small table of random columns (integers, floats, booleans, Utf8,
LargeUtf8, Utf8View, dictionaries of texts; random nulls, column and batch offsets, one to
three batches), then may give it one defect. The buffers are allocated with malloc at their
exact size, so under AddressSanitizer a read past any of them is reported. Defects that a
consumer can detect from the structures alone (formats, buffer and child counts, missing
buffers, lengths and offsets, batch-level nulls, mismatched batches, a failing get_next) must
fail every call; defects in the values (offsets, views, dictionary keys) must fail whenever
the values are read: in a target or group column, or when several batches are concatenated.
"""

from __future__ import annotations

import ctypes
import gc
import struct
from dataclasses import dataclass, field

import pyarrow as pa
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quelm
import arrow_producers as ap
from arrow_producers import Array, Schema, Source, table_schema

_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.free.restype = None
_libc.free.argtypes = [ctypes.c_void_p]


class ExactBuffers:
    """malloc'd copies of buffers, exactly as long as their contents; freed together."""

    def __init__(self):
        self.addresses = []

    def __call__(self, data: bytes) -> int:
        address = _libc.malloc(len(data))
        assert address, "malloc failed"
        ctypes.memmove(address, data, len(data))
        self.addresses.append(address)
        return address

    def free(self):
        for address in self.addresses:
            _libc.free(address)
        self.addresses.clear()


# ---------------------------------------------------------------------------------------
# Columns as plain descriptions (buffers as bytes), turned into ctypes structures at the end


@dataclass
class Node:
    schema: Schema
    length: int
    buffers: list
    offset: int = 0
    null_count: int = 0
    children: list = field(default_factory=list)
    dictionary: "Node | None" = None


INT_FORMATS = {"c": "b", "C": "B", "s": "h", "I": "I", "i": "i", "l": "q"}
KINDS = ["i", "l", "C", "g", "b", "u", "U", "vu", "dict-u", "dict-vu"]
BAD_FORMATS = [b"", b"X", b"Q", b"w:", b"w:x", b"d:10", b"+w:", b"ts", b"tD", b"+", b"v", b"+u", b"tsz", b"d:a,b"]

short_text = st.text(alphabet="ab\u00e9x", max_size=15)


def _bitmap(valid):
    out = bytearray((len(valid) + 7) // 8)
    for i, ok in enumerate(valid):
        if ok:
            out[i >> 3] |= 1 << (i & 7)
    return bytes(out)


def _validity(values):
    nulls = sum(v is None for v in values)
    return (_bitmap([v is not None for v in values]) if nulls else None), nulls


def _offsets_node(fmt, values, base):
    width = "q" if fmt == "U" else "i"
    data = b"\0" * base
    offsets = [base]
    for v in values:
        data += (v or "").encode()
        offsets.append(len(data))
    validity, nulls = _validity(values)
    return Node(Schema(fmt), len(values), [validity, ap.pack(width, offsets), data], null_count=nulls)


def _plain_view_node(values):
    """Utf8View with every long value in one data buffer (or no data buffer at all)."""
    validity, nulls = _validity(values)
    data, views = b"", b""
    for v in values:
        raw = (v or "").encode()
        if len(raw) <= 12:
            views += ap.view(raw)
        else:
            views += ap.view(raw, 0, len(data))
            data += raw
    buffers = [validity, views] + ([data, ap.pack("q", [len(data)])] if data else [ap.pack("q", [])])
    return Node(Schema("vu"), len(values), buffers, null_count=nulls)


@st.composite
def columns(draw, kind, rows):
    """A well-formed column of `rows` rows (the caller moves some of them behind its offset)."""
    nullable = draw(st.booleans())

    def maybe_null(strategy):
        return st.one_of(st.none(), strategy) if nullable else strategy

    if kind in INT_FORMATS:
        bits = struct.calcsize(INT_FORMATS[kind]) * 8
        lo, hi = (0, 2**bits - 1) if INT_FORMATS[kind].isupper() else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
        values = draw(st.lists(maybe_null(st.integers(lo, hi)), min_size=rows, max_size=rows))
        validity, nulls = _validity(values)
        return Node(Schema(kind), rows, [validity, ap.pack(INT_FORMATS[kind], [v or 0 for v in values])],
                    null_count=nulls)
    if kind == "g":
        values = draw(st.lists(maybe_null(st.floats(allow_nan=True)), min_size=rows, max_size=rows))
        validity, nulls = _validity(values)
        return Node(Schema("g"), rows, [validity, ap.pack("d", [v or 0.0 for v in values])], null_count=nulls)
    if kind == "b":
        values = draw(st.lists(maybe_null(st.booleans()), min_size=rows, max_size=rows))
        validity, nulls = _validity(values)
        return Node(Schema("b"), rows, [validity, _bitmap([bool(v) for v in values]) or b""], null_count=nulls)
    if kind in ("u", "U"):
        values = draw(st.lists(maybe_null(short_text), min_size=rows, max_size=rows))
        return _offsets_node(kind, values, draw(st.integers(0, 3)))
    if kind == "vu":
        values = draw(st.lists(maybe_null(short_text), min_size=rows, max_size=rows))
        return _plain_view_node(values)
    # dictionaries of texts: keys of several integer widths, entries that may be null or repeat
    entries = draw(st.lists(st.one_of(st.none(), short_text), min_size=1, max_size=4))
    _, value_kind, key_format = kind.split("-")
    dictionary = _offsets_node("u", entries, 0) if value_kind == "u" else _plain_view_node(entries)
    keys = draw(st.lists(maybe_null(st.integers(0, len(entries) - 1)), min_size=rows, max_size=rows))
    validity, nulls = _validity(keys)
    # a null slot holds a key outside the dictionary: it must not be looked at
    garbage = 127 if INT_FORMATS[key_format].isupper() else -7
    raw_keys = [garbage if k is None else k for k in keys]
    return Node(Schema(key_format, dictionary=dictionary.schema), rows,
                [validity, ap.pack(INT_FORMATS[key_format], raw_keys)], null_count=nulls, dictionary=dictionary)


def _valid_rows(node, first, count):
    """Physical indices in [first, first + count) whose own validity bit is set."""
    bits = node.buffers[0]
    return [r for r in range(first, first + count) if bits is None or bits[r >> 3] >> (r & 7) & 1]


# ---------------------------------------------------------------------------------------
# Defects


STRUCTURAL = [
    "extra buffer", "missing last buffer", "null values buffer", "validity missing", "negative length",
    "negative offset", "offset overflow", "column too short", "wrong null count",
]
BATCH_DEFECTS = ["batch nulls", "batch longer than its columns", "one column fewer", "one column more",
                 "negative batch length", "mismatched column"]
# offsets defects also go to the entries of a dictionary of Utf8
VALUE_DEFECTS = ["offsets decrease", "offset negative", "view index", "view range", "view length",
                 "key past dictionary", "negative key"]


def _text_offsets_defect(draw, node, r, which):
    width = "q" if node.schema.format == b"U" else "i"
    offsets = list(struct.unpack(f"<{len(node.buffers[1]) // struct.calcsize(width)}{width}", node.buffers[1]))
    if which == "offsets decrease":
        offsets[r + 1] = offsets[r] - draw(st.integers(1, 3))
    else:
        offsets[r] = -draw(st.integers(1, 2**31 - 1))
    node.buffers[1] = ap.pack(width, offsets)


def _value_defect(draw, node, first, count, which):
    """Applies the value defect `which` at a valid row that the batch reads; returns
    `which`, or None when this column has no such row."""
    fmt = node.schema.format
    rows = _valid_rows(node, first, count)
    if not rows:
        return None
    r = draw(st.sampled_from(rows))
    if which in ("offsets decrease", "offset negative"):
        if fmt in (b"u", b"U"):
            _text_offsets_defect(draw, node, r, which)
            return which
        entries = node.dictionary
        if entries is None or entries.schema.format != b"u" or entries.length == 0:
            return None
        _text_offsets_defect(draw, entries, draw(st.integers(0, entries.length - 1)), which)
        return "dictionary " + which
    if which in ("view index", "view range", "view length"):
        if fmt != b"vu":
            return None
        views = bytearray(node.buffers[1])
        n_data = len(node.buffers) - 3
        if which == "view length":
            views[16 * r:16 * r + 4] = struct.pack("<i", -draw(st.integers(1, 2**31)))
        elif which == "view index":
            index = draw(st.one_of(st.integers(n_data, n_data + 5), st.integers(-(2**31), -1)))
            views[16 * r:16 * r + 16] = struct.pack("<i4sii", 20, b"abcd", index, 0)
        else:
            if n_data == 0:
                return None
            size = len(node.buffers[2])
            start = draw(st.integers(max(0, size - 19), size + 4))
            views[16 * r:16 * r + 16] = struct.pack("<i4sii", 20, b"abcd", 0, start)
        node.buffers[1] = bytes(views)
        return which
    if node.dictionary is None:
        return None
    key_format = INT_FORMATS[fmt.decode()]
    signed = key_format.islower()
    if which == "negative key" and not signed:
        return None
    keys = list(struct.unpack(f"<{node.length + node.offset}{key_format}", node.buffers[1]))
    bits = struct.calcsize(key_format) * 8
    top = 2 ** (bits - 1) - 1 if signed else 2**bits - 1
    keys[r] = draw(st.integers(node.dictionary.length, top)) if which == "key past dictionary" else draw(
        st.integers(-(2 ** (bits - 1)), -1))
    node.buffers[1] = ap.pack(key_format, keys)
    return which


def _structural_defect(draw, node, needed, which):
    """Applies the defect `which`, which the structures alone reveal, if it fits this
    column; `needed` is the number of rows the batch reads from it. Returns `which` or None."""
    view = node.schema.format == b"vu"
    if ((which == "column too short" and needed == 0) or (which == "null values buffer" and node.length == 0)
            or (which in ("validity missing", "wrong null count") and node.null_count <= 0)
            or (which == "missing last buffer" and view and len(node.buffers) > 3)):
        return None
    if which == "negative length":
        node.length = -draw(st.integers(1, 2**63))
    elif which == "negative offset":
        node.offset = -draw(st.integers(1, 2**63))
    elif which == "offset overflow":
        node.offset = 2**63 - 1 - draw(st.integers(0, max(0, node.length - 1)))
        if node.length == 0:
            node.length = 1
    elif which == "column too short":
        node.length = needed - draw(st.integers(1, needed))
    elif which == "null values buffer":
        node.buffers[1] = None
    elif which == "validity missing":
        node.buffers[0] = None
    elif which == "wrong null count":
        node.null_count = draw(st.sampled_from([node.length + 1, -2, -(2**63)]))
    elif which == "extra buffer":
        node.buffers.append(None)  # for views: the last data buffer's sizes are then missing
    else:
        node.buffers.pop()
    return which


# ---------------------------------------------------------------------------------------
# Cases


@dataclass
class Case:
    kinds: list
    schema: Schema
    items: list            # Nodes (batches) and ints (failing get_next)
    defect: str | None
    defect_class: str | None
    defect_column: int | None
    call: tuple            # (function, target column index or None, group column index or None)

    def n_batches(self):
        return sum(isinstance(i, Node) for i in self.items)


@st.composite
def cases(draw, wanted):
    n_columns = draw(st.integers(1, 3))
    kinds = draw(st.lists(st.sampled_from(KINDS), min_size=n_columns, max_size=n_columns))
    if wanted in VALUE_DEFECTS:
        # at least one column where the defect fits
        fitting = {"view index": ["vu"], "view range": ["vu"], "view length": ["vu"],
                   "key past dictionary": ["dict-u", "dict-vu"], "negative key": ["dict-u", "dict-vu"]}
        kinds[draw(st.integers(0, n_columns - 1))] = draw(st.sampled_from(fitting.get(wanted, ["u", "U", "dict-u"])))
    # a dictionary column keeps its key type in every batch
    key_formats = "cil" if wanted == "negative key" else sorted(INT_FORMATS)
    kinds = [k + "-" + draw(st.sampled_from(key_formats)) if k.startswith("dict") else k for k in kinds]
    n_batches = draw(st.integers(1, 3))
    batches = []
    for _ in range(n_batches):
        rows = draw(st.integers(1 if wanted in VALUE_DEFECTS else 0, 6))
        batch_offset = draw(st.integers(0, 2))
        cols = []
        for kind in kinds:
            column_offset = draw(st.integers(0, 2))
            extra = draw(st.integers(0, 1))
            node = draw(columns(kind, column_offset + batch_offset + rows + extra))
            node.length -= column_offset
            node.offset = column_offset
            if node.null_count:
                node.null_count = node.length - len(_valid_rows(node, column_offset, node.length))
            cols.append(node)
        batches.append(Node(Schema("+s"), rows, [None], offset=batch_offset, children=cols))
    schema = table_schema(*(Schema(c.schema.format, f"c{k}", dictionary=c.schema.dictionary)
                            for k, c in enumerate(batches[0].children)))

    function = draw(st.sampled_from(["rim_rake", "grouped", "by_scheme"]))
    target = draw(st.none() | st.integers(0, n_columns - 1))
    group = None if function == "rim_rake" else draw(st.integers(0, n_columns - 1))
    call = (function, target, group)

    items = list(batches)
    defect = column = None
    defect_class = ("structural" if wanted in STRUCTURAL else "batch" if wanted in BATCH_DEFECTS
                    else "value" if wanted in VALUE_DEFECTS else "format" if wanted == "bad format"
                    else "stream" if wanted == "get_next fails" else None)
    b = draw(st.integers(0, n_batches - 1))
    batch = batches[b]
    if defect_class == "value":
        column = draw(st.sampled_from([k for k, kind in enumerate(kinds) if kind.startswith(
            ("vu",) if wanted.startswith("view") else ("dict",) if "key" in wanted else ("u", "U", "dict-u"))]))
        node = batch.children[column]
        defect = _value_defect(draw, node, node.offset + batch.offset, batch.length, wanted)
    elif defect_class == "structural":
        column = draw(st.integers(0, n_columns - 1))
        node = batch.children[column]
        defect = _structural_defect(draw, node, batch.offset + batch.length, wanted)
    elif defect_class == "batch":
        defect = wanted
        if defect == "batch nulls" and batch.length == 0:
            defect = None
        elif defect == "batch nulls":
            null_row = draw(st.integers(0, max(0, batch.length - 1)))
            batch.buffers = [_bitmap([r != batch.offset + null_row for r in range(batch.offset + batch.length)])]
            batch.null_count = draw(st.sampled_from([1, -1]))
        elif defect == "batch longer than its columns":
            batch.length = max(c.length for c in batch.children) - batch.offset + draw(st.integers(1, 2**40))
        elif defect == "one column fewer":
            batch.children.pop()
        elif defect == "one column more":
            batch.children.append(batch.children[0])
        elif defect == "negative batch length":
            batch.length = -draw(st.integers(1, 2**63))
        elif kinds[column := draw(st.integers(0, n_columns - 1))] == "vu":
            defect = None
        else:
            node = batch.children[column]
            # Utf8View is left out: without data buffers it has three buffers, like Utf8
            other = draw(st.sampled_from([k for k in KINDS if k != "vu" and _layout(k) != _layout(kinds[column])]))
            other += "-c" if other.startswith("dict") else ""
            batch.children[column] = draw(columns(other, node.offset + node.length))
            batch.children[column].length = node.length
    elif defect_class == "format":
        column = draw(st.integers(0, n_columns - 1))
        defect = "bad format"
        bad = draw(st.sampled_from(BAD_FORMATS))
        field_ = schema.children[column]
        schema.children[column] = Schema(bad, field_.name)
    elif defect_class == "stream":
        defect = "get_next fails"
        items.insert(b, draw(st.sampled_from([1, 5, 12, 22, -1])))
    if defect is None:
        defect_class = None
    return Case(kinds, schema, items, defect, defect_class, column, call)


def _layout(kind):
    """What a consumer can tell of a layout from the structure: buffer count, dictionary."""
    if kind in ("u", "U"):
        return "three buffers"
    if kind == "vu":
        return "views"
    return "dictionary" if kind.startswith("dict") else "two buffers"


def _to_array(node: Node, alloc) -> Array:
    buffers = [None if b is None else alloc(b) for b in node.buffers]
    return Array(node.length, buffers, children=[_to_array(c, alloc) for c in node.children],
                 dictionary=None if node.dictionary is None else _to_array(node.dictionary, alloc),
                 offset=node.offset, null_count=node.null_count)


def _oracle_batch(batch):
    """The same batch with the batch offset folded into the columns and every column cut to
    the batch's rows, the form in which pyarrow reads it the way the Arrow format means it."""
    children = [Node(c.schema, batch.length, c.buffers, c.offset + batch.offset, -1, c.children, c.dictionary)
                for c in batch.children]
    return Node(batch.schema, batch.length, batch.buffers, 0, batch.null_count, children)


def _values(column):
    """Logical values, NaN-safe and dictionary-independent."""
    return [repr(v) for v in column.to_pylist()]


def _invoke(function, source, target, group):
    targets = [] if target is None else [f"c{target}"]
    if function == "rim_rake":
        return quelm.rim_rake(source, targets, {})
    if function == "grouped":
        return quelm.rim_rake_grouped(source, targets, {}, [f"c{group}"])
    default = {name: {} for name in targets}
    return quelm.rim_rake_by_scheme(source, f"c{group}", {}, default_scheme=default)


CLEAR_PREFIXES = ("Arrow stream error: ", "Arrow batch error: ", "Arrow concat error: ", "Column '",
                  "Unsupported group column type: ")


def _must_fail(case: Case) -> bool:
    if case.defect_class in ("structural", "batch", "format", "stream"):
        return True
    if case.defect_class == "value":
        function, target, group = case.call
        read = {group} | ({target} if function != "by_scheme" else set())
        return case.n_batches() > 1 or case.defect_column in read
    return False


ALL_DEFECTS = STRUCTURAL + BATCH_DEFECTS + VALUE_DEFECTS + ["bad format", "get_next fails", "well-formed"]


@pytest.mark.parametrize("wanted", ALL_DEFECTS)
@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_malformed_streams(wanted, data):
    case = data.draw(cases(wanted), label="case")
    alloc = ExactBuffers()
    try:
        items = [i if isinstance(i, int) else _to_array(i, alloc) for i in case.items]
        source = Source(case.schema, items, last_error=b"producer says no")
        function, target, group = case.call
        try:
            out, results = _invoke(function, source, target, group)
        except (ValueError, TypeError) as exc:
            message = str(exc)
            assert type(exc) in (ValueError, TypeError)
            assert message.startswith(CLEAR_PREFIXES), message
            assert message.isprintable() and len(message) < 2000, message
            if case.defect_class == "format":
                assert message.startswith("Arrow stream error: "), message
            elif case.defect_class == "stream":
                assert message == "Arrow batch error: C Data interface error: producer says no"
            elif case.defect_class in ("structural", "batch"):
                assert message.startswith("Arrow batch error: "), message
            failed = True
        else:
            failed = False
            rows = sum(b.length for b in case.items if isinstance(b, Node))
            assert repr(out) == f"_ArrowData(rows={rows}, cols={len(case.schema.children) + 1})"
            if case.defect is None:
                # The well-formed table comes back as pyarrow reads it, with weights of 1.0.
                expected = pa.RecordBatchReader.from_stream(
                    Source(case.schema, [_to_array(_oracle_batch(i), alloc) for i in case.items])).read_all()
                got = pa.table(out)
                assert got.column_names == expected.column_names + ["weight"]
                for name in expected.column_names:
                    assert got.schema.field(name).type == expected.schema.field(name).type
                    assert _values(got.column(name)) == _values(expected.column(name)), name
                assert got.column("weight").to_pylist() == [1.0] * rows
                del got, expected
            del out, results
        event(f"{case.defect or 'well-formed'}: {'raised' if failed else 'returned'}")
        if _must_fail(case):
            assert failed, f"{case.defect} was not reported"
        elif case.defect is None and failed:
            # a well-formed table fails only for a column type the call cannot use
            assert "nsupported" in message, message
        if any(n.releases != 1 for n in source.tally.nodes):
            gc.collect()  # only when a reference cycle holds the output (a full collection is slow)
        source.tally.assert_released_once()
    finally:
        alloc.free()
