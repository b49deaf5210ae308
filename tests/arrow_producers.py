"""Hand-made Arrow C Data / C Stream Interface structures for the tests.

Real producers (pyarrow, polars, DuckDB) only ever hand out well-formed data. To reach the
error paths of the import, this module builds ArrowSchema, ArrowArray and ArrowArrayStream
structures by hand with ctypes, from small Python descriptions:

    schema = Schema("+s", children=[Schema("i", "x"), Schema("u", "s")])
    batch = Array(2, [None], children=[int32([1, 2]), utf8(["a", "b"])])
    source = Source(schema, [batch])          # offers __arrow_c_stream__

Every structure built here carries a token in ``private_data``. The release callbacks look
the structure up by that token (a consumer may move a structure anywhere before releasing
it) and count the call, so a test can check that each stream, schema and array node was
released exactly once, whoever released it. The memory behind the structures and buffers is
kept for the life of the process, so a consumer that misbehaves reads stale but mapped
memory instead of crashing the test run.

The module also has a minimal consumer (``TakenStream``) that drives a stream through its
function pointers, the way a C consumer does.
"""

from __future__ import annotations

import ctypes
import itertools
import mmap
import struct
from collections import Counter
from ctypes import CFUNCTYPE, POINTER, Structure, c_char_p, c_int, c_int64, c_void_p

FLAG_DICTIONARY_ORDERED = 1
FLAG_NULLABLE = 2
FLAG_MAP_KEYS_SORTED = 4


# ---------------------------------------------------------------------------------------
# The C structures


class ArrowSchema(Structure):
    pass


class ArrowArray(Structure):
    pass


class ArrowArrayStream(Structure):
    pass


SCHEMA_RELEASE = CFUNCTYPE(None, POINTER(ArrowSchema))
ARRAY_RELEASE = CFUNCTYPE(None, POINTER(ArrowArray))
GET_SCHEMA = CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowSchema))
GET_NEXT = CFUNCTYPE(c_int, POINTER(ArrowArrayStream), POINTER(ArrowArray))
GET_LAST_ERROR = CFUNCTYPE(c_void_p, POINTER(ArrowArrayStream))
STREAM_RELEASE = CFUNCTYPE(None, POINTER(ArrowArrayStream))
CAPSULE_DESTRUCTOR = CFUNCTYPE(None, c_void_p)

ArrowSchema._fields_ = [
    ("format", c_void_p),
    ("name", c_void_p),
    ("metadata", c_void_p),
    ("flags", c_int64),
    ("n_children", c_int64),
    ("children", POINTER(POINTER(ArrowSchema))),
    ("dictionary", POINTER(ArrowSchema)),
    ("release", SCHEMA_RELEASE),
    ("private_data", c_void_p),
]

ArrowArray._fields_ = [
    ("length", c_int64),
    ("null_count", c_int64),
    ("offset", c_int64),
    ("n_buffers", c_int64),
    ("n_children", c_int64),
    ("buffers", POINTER(c_void_p)),
    ("children", POINTER(POINTER(ArrowArray))),
    ("dictionary", POINTER(ArrowArray)),
    ("release", ARRAY_RELEASE),
    ("private_data", c_void_p),
]

ArrowArrayStream._fields_ = [
    ("get_schema", GET_SCHEMA),
    ("get_next", GET_NEXT),
    ("get_last_error", GET_LAST_ERROR),
    ("release", STREAM_RELEASE),
    ("private_data", c_void_p),
]

_PyCapsule_New = ctypes.pythonapi.PyCapsule_New
_PyCapsule_New.restype = ctypes.py_object
_PyCapsule_New.argtypes = [c_void_p, c_char_p, c_void_p]

_PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
_PyCapsule_GetPointer.restype = c_void_p
_PyCapsule_GetPointer.argtypes = [ctypes.py_object, c_char_p]


def capsule_pointer(capsule, name: bytes | None = b"arrow_array_stream") -> int:
    """PyCapsule_GetPointer; raises the interpreter's exception on a wrong name."""
    return _PyCapsule_GetPointer(capsule, name)


def stream_in_capsule(capsule) -> ArrowArrayStream:
    """The ArrowArrayStream structure a stream capsule points to (not taken over)."""
    return ArrowArrayStream.from_address(capsule_pointer(capsule))


def is_null(function_pointer) -> bool:
    return not bool(function_pointer)


# ---------------------------------------------------------------------------------------
# Descriptions


class Schema:
    """One ArrowSchema node: format, name, children, dictionary, flags, metadata."""

    def __init__(self, format, name="", children=(), dictionary=None, flags=FLAG_NULLABLE, metadata=None):
        self.format = format.encode() if isinstance(format, str) else format
        self.name = name.encode() if isinstance(name, str) else name
        self.children = list(children)
        self.dictionary = dictionary
        self.flags = flags
        self.metadata = metadata


class Array:
    """One ArrowArray node.

    ``buffers`` items are bytes (copied into memory kept alive here), None (a NULL
    pointer) or an int (a raw address used as it is). ``n_buffers`` / ``n_children``
    override the counts written into the structure, for malformed arrays.
    """

    def __init__(self, length, buffers=(), children=(), dictionary=None, offset=0, null_count=0,
                 n_buffers=None, n_children=None):
        self.length = length
        self.buffers = list(buffers)
        self.children = list(children)
        self.dictionary = dictionary
        self.offset = offset
        self.null_count = null_count
        self.n_buffers = n_buffers
        self.n_children = n_children


def encode_metadata(pairs) -> bytes:
    """The C Data Interface metadata encoding of a list / dict of (key, value) byte pairs."""
    items = list(pairs.items()) if isinstance(pairs, dict) else list(pairs)
    out = [struct.pack("=i", len(items))]
    for key, value in items:
        key = key.encode() if isinstance(key, str) else key
        value = value.encode() if isinstance(value, str) else value
        out += [struct.pack("=i", len(key)), key, struct.pack("=i", len(value)), value]
    return b"".join(out)


def bitmap(valid) -> bytes:
    """LSB-first validity bitmap of a sequence of truth values, padded to 8 bytes."""
    valid = list(valid)
    data = bytearray(max(8, (len(valid) + 7) // 8))
    for i, v in enumerate(valid):
        if v:
            data[i >> 3] |= 1 << (i & 7)
    return bytes(data)


def pack(fmt: str, values) -> bytes:
    values = list(values)
    return struct.pack(f"<{len(values)}{fmt}", *values)


def _fixed(fmt, values):
    values = list(values)
    nulls = sum(v is None for v in values)
    validity = bitmap(v is not None for v in values) if nulls else None
    return Array(len(values), [validity, pack(fmt, [0 if v is None else v for v in values])], null_count=nulls)


def int8(values):
    return _fixed("b", values)


def int32(values):
    return _fixed("i", values)


def int64(values):
    return _fixed("q", values)


def float64(values):
    return _fixed("d", values)


def utf8(values, large=False):
    values = list(values)
    nulls = sum(v is None for v in values)
    offsets, data = [0], b""
    for v in values:
        data += (v or "").encode()
        offsets.append(len(data))
    validity = bitmap(v is not None for v in values) if nulls else None
    return Array(len(values), [validity, pack("q" if large else "i", offsets), data], null_count=nulls)


def struct_batch(length, *columns, offset=0):
    """A top-level struct array (one record batch) over the given column arrays."""
    return Array(length, [None], children=columns, offset=offset)


def table_schema(*fields, metadata=None):
    return Schema("+s", children=fields, flags=0, metadata=metadata)


def view(data: bytes, buffer_index=0, offset=0) -> bytes:
    """One 16-byte binary view: inline up to 12 bytes, else prefix + buffer index + offset."""
    if len(data) <= 12:
        return struct.pack("<i", len(data)) + data.ljust(12, b"\0")
    return struct.pack("<i", len(data)) + data[:4] + struct.pack("<ii", buffer_index, offset)


# ---------------------------------------------------------------------------------------
# Materialisation and release counting

_tokens = itertools.count(1)
_nodes: dict[int, "_Node"] = {}


class _Node:
    def __init__(self, kind, label, tally):
        self.kind = kind
        self.label = label
        self.tally = tally
        self.releases = 0
        self.keep = []          # memory that must outlive the structure
        self.children = []      # child structures (ctypes objects) owned by this node
        self.dictionary = None  # dictionary structure owned by this node
        self.token = next(_tokens)
        _nodes[self.token] = self
        tally.nodes.append(self)


class Tally:
    """Every node one source built, with its release count, and the stream calls made."""

    def __init__(self):
        self.nodes: list[_Node] = []
        self.calls = Counter()

    def releases(self, kind=None):
        return [n.releases for n in self.nodes if kind is None or n.kind == kind]

    def summary(self):
        return {(n.kind, n.label): n.releases for n in self.nodes}

    def assert_released_once(self, kind=None):
        wrong = {(n.kind, n.label, n.token): n.releases for n in self.nodes
                 if (kind is None or n.kind == kind) and n.releases != 1}
        assert not wrong, f"release counts other than 1: {wrong}"


def _cstr(node, value):
    if value is None:
        return None
    buf = ctypes.create_string_buffer(value)
    node.keep.append(buf)
    return ctypes.addressof(buf)


def _fill_schema(out: ArrowSchema, desc: Schema, tally: Tally, label="schema"):
    node = _Node("schema", label, tally)
    out.format = _cstr(node, desc.format)
    out.name = _cstr(node, desc.name)
    out.metadata = _cstr(node, encode_metadata(desc.metadata)) if desc.metadata is not None else None
    out.flags = desc.flags
    out.n_children = len(desc.children)
    children = (POINTER(ArrowSchema) * max(1, len(desc.children)))()
    node.keep.append(children)
    for i, child in enumerate(desc.children):
        c = ArrowSchema()
        _fill_schema(c, child, tally, f"{label}.{i}")
        node.children.append(c)
        children[i] = ctypes.pointer(c)
    out.children = children if desc.children else None
    if desc.dictionary is not None:
        d = ArrowSchema()
        _fill_schema(d, desc.dictionary, tally, f"{label}.dict")
        node.dictionary = d
        out.dictionary = ctypes.pointer(d)
    else:
        out.dictionary = None
    out.private_data = node.token
    out.release = _release_schema


def _fill_array(out: ArrowArray, desc: Array, tally: Tally, label="array"):
    node = _Node("array", label, tally)
    out.length = desc.length
    out.null_count = desc.null_count
    out.offset = desc.offset
    out.n_buffers = len(desc.buffers) if desc.n_buffers is None else desc.n_buffers
    out.n_children = len(desc.children) if desc.n_children is None else desc.n_children
    buffers = (c_void_p * max(1, len(desc.buffers)))()
    node.keep.append(buffers)
    for i, b in enumerate(desc.buffers):
        if b is None:
            buffers[i] = None
        elif isinstance(b, int):
            buffers[i] = b
        else:
            # 8 spare bytes so that no read of a well-formed buffer ends at an unmapped page
            mem = ctypes.create_string_buffer(bytes(b) + bytes(8))
            node.keep.append(mem)
            buffers[i] = ctypes.addressof(mem)
    out.buffers = buffers
    children = (POINTER(ArrowArray) * max(1, len(desc.children)))()
    node.keep.append(children)
    for i, child in enumerate(desc.children):
        c = ArrowArray()
        _fill_array(c, child, tally, f"{label}.{i}")
        node.children.append(c)
        children[i] = ctypes.pointer(c)
    out.children = children if desc.children else None
    if desc.dictionary is not None:
        d = ArrowArray()
        _fill_array(d, desc.dictionary, tally, f"{label}.dict")
        node.dictionary = d
        out.dictionary = ctypes.pointer(d)
    else:
        out.dictionary = None
    out.private_data = node.token
    out.release = _release_array


def _release_owned(node):
    for c in node.children + ([node.dictionary] if node.dictionary is not None else []):
        if not is_null(c.release):  # not moved out by the consumer
            c.release(ctypes.pointer(c))


@SCHEMA_RELEASE
def _release_schema(ptr):
    s = ptr.contents
    node = _nodes[s.private_data]
    node.releases += 1
    _release_owned(node)
    s.release = SCHEMA_RELEASE()


@ARRAY_RELEASE
def _release_array(ptr):
    a = ptr.contents
    node = _nodes[a.private_data]
    node.releases += 1
    _release_owned(node)
    a.release = ARRAY_RELEASE()


# ---------------------------------------------------------------------------------------
# Streams


class _StreamState(_Node):
    def __init__(self, source):
        super().__init__("stream", "stream", source.tally)
        self.source = source
        self.position = 0
        self.batch_count = 0
        self.error_text = None


@GET_SCHEMA
def _get_schema(stream_ptr, out):
    st = _nodes[stream_ptr.contents.private_data]
    st.tally.calls["get_schema"] += 1
    if st.source.schema_rc:
        return st.source.schema_rc
    _fill_schema(out.contents, st.source.schema, st.tally)
    return 0


@GET_NEXT
def _get_next(stream_ptr, out):
    st = _nodes[stream_ptr.contents.private_data]
    st.tally.calls["get_next"] += 1
    items = st.source.items
    if st.position >= len(items):
        out.contents.release = ARRAY_RELEASE()
        return 0
    item = items[st.position]
    st.position += 1
    if isinstance(item, int):
        return item
    _fill_array(out.contents, item, st.tally, f"batch{st.batch_count}")
    st.batch_count += 1
    return 0


@GET_LAST_ERROR
def _get_last_error(stream_ptr):
    st = _nodes[stream_ptr.contents.private_data]
    st.tally.calls["get_last_error"] += 1
    text = st.source.last_error
    if text is None:
        return None
    buf = ctypes.create_string_buffer(text)
    st.keep.append(buf)
    return ctypes.addressof(buf)


@STREAM_RELEASE
def _release_stream(stream_ptr):
    s = stream_ptr.contents
    st = _nodes[s.private_data]
    st.releases += 1
    s.release = STREAM_RELEASE()


class Source:
    """An object offering ``__arrow_c_stream__`` over a hand-made stream.

    ``items``: Array descriptions (batches) and ints (a get_next that fails with that
    code). ``missing``: names of stream callbacks left NULL. ``released``: hand out a
    stream whose release is already NULL. ``capsule_name``: the name of the capsule.
    Each call of ``__arrow_c_stream__`` makes a new stream (a new position).
    """

    def __init__(self, schema, items=(), *, schema_rc=0, last_error=b"producer failure",
                 missing=(), released=False, capsule_name=b"arrow_array_stream"):
        self.schema = schema
        self.items = list(items)
        self.schema_rc = schema_rc
        self.last_error = last_error.encode() if isinstance(last_error, str) else last_error
        self.missing = set(missing)
        self.released = released
        self.capsule_name = capsule_name
        self.tally = Tally()
        self.capsules_made = 0
        self.last_struct = None

    def make_capsule(self):
        st = _StreamState(self)
        s = ArrowArrayStream()
        callbacks = {"get_schema": _get_schema, "get_next": _get_next,
                     "get_last_error": _get_last_error, "release": _release_stream}
        for name, fn in callbacks.items():
            setattr(s, name, type(fn)() if name in self.missing else fn)
        if self.released:
            s.release = STREAM_RELEASE()
        s.private_data = st.token

        @CAPSULE_DESTRUCTOR
        def destructor(_capsule, s=s):
            if not is_null(s.release):
                s.release(ctypes.pointer(s))

        name = None if self.capsule_name is None else ctypes.create_string_buffer(self.capsule_name)
        st.keep += [s, destructor, name]
        self.last_struct = s
        self.capsules_made += 1
        return _PyCapsule_New(ctypes.addressof(s), name, ctypes.cast(destructor, c_void_p))

    def __arrow_c_stream__(self, requested_schema=None):
        return self.make_capsule()


class CapsuleSource:
    """Hands out one given capsule from ``__arrow_c_stream__`` (for reuse and export tests)."""

    def __init__(self, capsule):
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


def zero_pages(size: int) -> int:
    """Address of an anonymous mapping of ``size`` zero bytes; pages that are only read
    cost no memory."""
    m = mmap.mmap(-1, size)
    anchor = (ctypes.c_char * size).from_buffer(m)
    _mappings.append((m, anchor))
    return ctypes.addressof(anchor)


_mappings = []


# ---------------------------------------------------------------------------------------
# A minimal C-style consumer


class TakenStream:
    """Takes a stream over from a capsule (copy, then NULL the capsule's release) and drives
    it through its function pointers. Calls go through ctypes foreign-function calls, which
    run without the interpreter lock."""

    def __init__(self, capsule):
        src = stream_in_capsule(capsule)
        self.stream = ArrowArrayStream()
        ctypes.memmove(ctypes.addressof(self.stream), ctypes.addressof(src), ctypes.sizeof(ArrowArrayStream))
        src.release = STREAM_RELEASE()

    def get_schema(self):
        out = ArrowSchema()
        rc = self.stream.get_schema(ctypes.pointer(self.stream), ctypes.pointer(out))
        return rc, out

    def get_next(self):
        out = ArrowArray()
        rc = self.stream.get_next(ctypes.pointer(self.stream), ctypes.pointer(out))
        return rc, out

    def last_error(self):
        if is_null(self.stream.get_last_error):
            return None
        p = self.stream.get_last_error(ctypes.pointer(self.stream))
        return None if p is None else ctypes.string_at(p)

    def release(self):
        self.stream.release(ctypes.pointer(self.stream))


def move_array(src: ArrowArray) -> ArrowArray:
    """Moves an ArrowArray: bitwise copy, then mark the source released."""
    dst = ArrowArray()
    ctypes.memmove(ctypes.addressof(dst), ctypes.addressof(src), ctypes.sizeof(ArrowArray))
    src.release = ARRAY_RELEASE()
    return dst


def move_schema(src: ArrowSchema) -> ArrowSchema:
    dst = ArrowSchema()
    ctypes.memmove(ctypes.addressof(dst), ctypes.addressof(src), ctypes.sizeof(ArrowSchema))
    src.release = SCHEMA_RELEASE()
    return dst
