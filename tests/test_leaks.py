"""Every call releases what it takes: Python objects, imported streams and arrays."""

import ctypes
import gc
import sys

import pyarrow as pa
import pytest

import quelm

CAPSULE_NAME = b"arrow_array_stream"

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype = ctypes.py_object
_new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class ArrowArray(ctypes.Structure):
    _fields_ = [
        ("length", ctypes.c_int64),
        ("null_count", ctypes.c_int64),
        ("offset", ctypes.c_int64),
        ("n_buffers", ctypes.c_int64),
        ("n_children", ctypes.c_int64),
        ("buffers", ctypes.c_void_p),
        ("children", ctypes.c_void_p),
        ("dictionary", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [
        ("get_schema", ctypes.c_void_p),
        ("get_next", ctypes.c_void_p),
        ("get_last_error", ctypes.c_void_p),
        ("release", ctypes.c_void_p),
        ("private_data", ctypes.c_void_p),
    ]


GET_SCHEMA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
GET_NEXT = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
GET_LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class CountingProducer:
    """Offers a pyarrow table through a stream whose release calls are counted: the
    stream's own release and the release of every top-level array it handed out."""

    def __init__(self, table):
        self.stream_releases = 0
        self.arrays_handed_out = 0
        self.array_releases = 0
        capsule = table.__arrow_c_stream__()
        source = _get_pointer(capsule, CAPSULE_NAME)
        self.inner = ArrowArrayStream()
        ctypes.memmove(ctypes.addressof(self.inner), source, ctypes.sizeof(ArrowArrayStream))
        ArrowArrayStream.from_address(source).release = None  # moved out of the capsule
        del capsule
        self.original_array_release = None
        self._callbacks = (
            GET_SCHEMA(self._get_schema),
            GET_NEXT(self._get_next),
            GET_LAST_ERROR(self._get_last_error),
            RELEASE(self._release_stream),
        )
        self._release_array_callback = RELEASE(self._release_array)
        self.offered = None

    def _inner_call(self, member, prototype, *args):
        return prototype(getattr(self.inner, member))(ctypes.addressof(self.inner), *args)

    def _get_schema(self, _stream, out):
        return self._inner_call("get_schema", GET_SCHEMA, out)

    def _get_next(self, _stream, out):
        code = self._inner_call("get_next", GET_NEXT, out)
        array = ArrowArray.from_address(out)
        if code == 0 and array.release:
            self.original_array_release = array.release
            array.release = ctypes.cast(self._release_array_callback, ctypes.c_void_p).value
            self.arrays_handed_out += 1
        return code

    def _get_last_error(self, _stream):
        return self._inner_call("get_last_error", GET_LAST_ERROR)

    def _release_array(self, address):
        self.array_releases += 1
        array = ArrowArray.from_address(address)
        array.release = self.original_array_release
        RELEASE(self.original_array_release)(address)

    def _release_stream(self, address):
        self.stream_releases += 1
        self._inner_call("release", RELEASE)
        ArrowArrayStream.from_address(address).release = None

    def __arrow_c_stream__(self, requested_schema=None):
        assert self.offered is None, "the producer offers its stream once"
        self.offered = ArrowArrayStream(
            *(ctypes.cast(c, ctypes.c_void_p).value for c in self._callbacks), None
        )
        return _new_capsule(ctypes.addressof(self.offered), CAPSULE_NAME, None)


def small_table():
    return pa.table({"a": pa.array([0, 0, 1, 1, None], pa.int32()), "s": pa.array(["p", "q", "r", "s", "t"])})


TARGETS = {"a": {0: 0.25, 1: 0.75}}


@pytest.mark.parametrize(
    "target_columns, targets, exc_type",
    [
        (["a"], TARGETS, None),
        (["missing"], TARGETS, ValueError),
        (["a"], {"a": [0.5]}, TypeError),
        (["a"], {"a": {"x": 0.5}}, ValueError),
        (["a", "s"], {"zz": {1: 0.5}}, ValueError),
    ],
)
def test_stream_and_arrays_released_once(target_columns, targets, exc_type):
    producer = CountingProducer(small_table())
    if exc_type is None:
        out, result = quelm.rim_rake(producer, target_columns, targets)
        assert producer.offered.release is None  # taken over by the call
        assert producer.stream_releases == 1
        assert pa.table(out).column("weight").to_pylist() == [0.5, 0.5, 1.5, 1.5, 1.0]
        # The output shares the imported arrays, so they live as long as it does.
        assert producer.array_releases == 0
        del out, result
        gc.collect()
    else:
        with pytest.raises(exc_type):
            quelm.rim_rake(producer, target_columns, targets)
        assert producer.offered.release is None
        assert producer.stream_releases == 1
    assert producer.arrays_handed_out == 1
    assert producer.array_releases == 1


def test_counted_releases_over_many_calls():
    producers = []
    for i in range(500):
        producer = CountingProducer(small_table())
        producers.append(producer)
        try:
            out, _ = quelm.rim_rake(producer, ["a"] if i % 2 else ["missing"], TARGETS)
            del out
        except ValueError:
            pass
    gc.collect()
    assert all(p.stream_releases == 1 for p in producers)
    assert all(p.array_releases == p.arrays_handed_out == 1 for p in producers)


class Grow:
    def __init__(self, inner):
        self.inner = inner

    def __index__(self):
        self.inner[99] = 0.1
        return 0


def _mutating_targets():
    inner = {}
    inner[Grow(inner)] = 0.5
    return {"a": inner}


def _calls(table):
    """A mix of successful and failing calls, each dropping everything it returns."""

    def success():
        out, result = quelm.rim_rake(table, ["a", "s"], TARGETS, total=10.0)
        repr(result), result.summary(), repr(out)
        out.__arrow_c_stream__()

    def fresh_table():
        out, _ = quelm.rim_rake(small_table(), ["a"], TARGETS)
        pa.table(out)

    def fails(exc_type, *args, **kwargs):
        def call():
            try:
                quelm.rim_rake(*args, **kwargs)
            except exc_type:
                pass
            else:
                raise AssertionError("the call should have failed")
        return call

    def internal_error():
        try:
            quelm.rim_rake(table, ["a"], _mutating_targets())
        except quelm.InternalError:
            pass

    return [
        success,
        fresh_table,
        fails(ValueError, table, ["missing"], TARGETS),
        fails(ValueError, table, ["s"], {"s": {"x": 0.5}}),
        fails(ValueError, table, ["a"], {"zz": {1: 0.5}}),
        fails(TypeError, table, ["a"], {"a": {0: "half"}}),
        fails(TypeError, table, ["a"], TARGETS, max_iterations=2.5),
        fails(OverflowError, table, ["a"], TARGETS, max_iterations=-1),
        fails(TypeError, table, ["a"]),
        fails(TypeError, table, ["a"], TARGETS, bogus=1),
        fails(AttributeError, object(), ["a"], TARGETS),
        internal_error,
    ]


def test_allocated_blocks_stay_flat():
    table = small_table()
    calls = _calls(table)
    for i in range(600):
        calls[i % len(calls)]()
    gc.collect()
    blocks_before = sys.getallocatedblocks()
    bytes_before = pa.total_allocated_bytes()
    for i in range(10_000):
        calls[i % len(calls)]()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks_before
    # One block lost per call of any kind would add at least 10000 / 12 blocks.
    assert grown < 300, f"{grown} blocks more after 10000 calls"
    assert pa.total_allocated_bytes() <= bytes_before
