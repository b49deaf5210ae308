"""Many mixed calls of all three functions (successes and failures, output streams exported
and dropped unread) leave no trace: Python blocks, heap bytes and resident memory stay flat,
and a producer that counts its releases sees its stream and arrays released once.

The long run (100,000 calls) is switched on with QUELM_SOAK=1."""

import ctypes
import gc
import os
import sys

import pyarrow as pa
import pytest

import quelm
from test_leaks import CountingProducer

TARGETS = {"a": {0: 0.25, 1: 0.75}, "s": {"p": 0.5, "q": 0.5}}
A_ONLY = {"a": TARGETS["a"]}
SCHEMES = {"x": {"a": {0: 0.4, 1: 0.6}}, "y": {"s": {"p": 0.3, "q": 0.7}}}


def _table():
    return pa.table({
        "a": pa.array([0, 1, 1, 0, None, 1, 0, 1], pa.int32()),
        "s": pa.array(["p", "q", "q", "p", "q", "p", None, "q"]),
        "g": pa.array(["x", "x", "y", "y", "x", None, "y", "x"]),
    })


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_in_use():
    """Bytes the C heap has handed out and not got back (glibc), or None elsewhere."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    mallinfo2.restype = _MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd or None  # zero under a sanitizer's allocator


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Counts:
    def __init__(self):
        self.producers = 0
        self.wrong = []

    def check(self, producer, what):
        self.producers += 1
        if not (producer.stream_releases == 1 and producer.array_releases == producer.arrays_handed_out == 1):
            self.wrong.append((what, producer.stream_releases, producer.arrays_handed_out, producer.array_releases))


def _calls(table, counts):
    out_of_grouped, _ = quelm.rim_rake_grouped(table, ["a"], A_ONLY, ["g"])

    def rake():
        out, result = quelm.rim_rake(table, ["a", "s"], TARGETS, total=100.0)
        result.summary()

    def grouped():
        out, results = quelm.rim_rake_grouped(table, ["a", "s"], TARGETS, ["g", "s"], max_cap=2.0)
        out.__arrow_c_stream__()  # exported, never read

    def by_scheme():
        out, results = quelm.rim_rake_by_scheme(table, "g", SCHEMES, default_scheme=A_ONLY,
                                                group_totals={"x": 0.5, "y": 0.3, "__null__": 0.2})
        pa.RecordBatchReader.from_stream(out)  # taken by a consumer that reads nothing

    def chained():
        quelm.rim_rake(out_of_grouped, ["s"], {"s": TARGETS["s"]}, weight_column="w2")

    def counted_success():
        producer = CountingProducer(table)
        out, _ = quelm.rim_rake_grouped(producer, ["a"], A_ONLY, ["g"])
        del out
        counts.check(producer, "success")

    def counted_failure():
        producer = CountingProducer(table)
        try:
            quelm.rim_rake_by_scheme(producer, "missing", SCHEMES)
        except ValueError:
            pass
        counts.check(producer, "failure")

    def fails(exc_type, function, *args, **kwargs):
        def call():
            try:
                function(*args, **kwargs)
            except exc_type:
                return
            raise AssertionError("the call should have failed")
        return call

    return [
        rake, grouped, by_scheme, chained, counted_success, counted_failure,
        fails(ValueError, quelm.rim_rake, table, ["missing"], TARGETS),
        fails(ValueError, quelm.rim_rake_grouped, table, ["a"], {"a": {"x": 1.0}}, ["g"]),
        fails(ValueError, quelm.rim_rake_by_scheme, table, "g", {"x": {"s": {"nope": 1.0}}}),
        fails(TypeError, quelm.rim_rake_grouped, table, ["a"], A_ONLY, "g"),
        fails(TypeError, quelm.rim_rake_by_scheme, table, "g", SCHEMES, group_totals={"x": "half"}),
        fails(OverflowError, quelm.rim_rake, table, ["a"], A_ONLY, max_iterations=-1),
        fails(AttributeError, quelm.rim_rake_grouped, object(), ["a"], A_ONLY, ["g"]),
    ]


@pytest.mark.parametrize("n_calls", [
    10_000,
    pytest.param(100_000, marks=pytest.mark.skipif(os.environ.get("QUELM_SOAK") != "1",
                                                   reason="the long soak runs with QUELM_SOAK=1")),
])
def test_mixed_calls_leave_nothing_behind(n_calls):
    counts = Counts()
    calls = _calls(_table(), counts)
    for i in range(2_000):  # warm-up: caches, the task pool, arenas
        calls[i % len(calls)]()
    gc.collect()
    blocks, heap, resident = sys.getallocatedblocks(), _heap_in_use(), _resident_bytes()
    arrow_bytes = pa.total_allocated_bytes()
    for i in range(n_calls):
        calls[i % len(calls)]()
    gc.collect()

    # One block kept by any one kind of call would add n_calls / len(calls) blocks.
    assert sys.getallocatedblocks() - blocks < n_calls // len(calls) // 4
    if heap is not None:
        # ... and one small C++ allocation kept by one kind of call at least 24 bytes each time.
        grown = _heap_in_use() - heap
        assert grown < 24 * n_calls // len(calls) // 4, f"{grown} heap bytes more after {n_calls} calls"
        # Resident memory says something only with the C library's allocator (a sanitizer's
        # allocator keeps freed memory in quarantine).
        assert _resident_bytes() - resident < 16 * 2**20
    assert pa.total_allocated_bytes() <= arrow_bytes
    counted = [k for k, call in enumerate(calls) if call.__name__.startswith("counted")]
    assert counts.producers == sum(i % len(calls) in counted for n in (2_000, n_calls) for i in range(n))
    assert counts.wrong == []
