"""Eight Python threads calling the three functions at once on shared input (one table, one
targets dict, one output table fed back in) get exactly the results of serial calls.

With the GIL the calls interleave between one another; on a free-threaded interpreter they
run truly in parallel, and the grouped ones share the task pool. The test is the same."""

import random
import sys
import threading

import numpy as np
import pyarrow as pa
import pytest

import quelm

THREADS = 8
ROUNDS = 6


def _shared_input():
    rng = np.random.default_rng(5)
    n = 3_000
    table = pa.table({
        "g": pa.array(rng.integers(0, 40, n)),
        "a": pa.array(rng.integers(0, 4, n), pa.int32(), mask=rng.random(n) < 0.05),
        "r": pa.array(np.array(["n", "s", "e", "w"])[rng.integers(0, 4, n)]).dictionary_encode(),
    })
    targets = {"a": {0: 0.1, 1: 0.2, 2: 0.3, 3: 0.4}, "r": {"n": 40, "s": 30, "e": 20, "w": 10}}
    schemes = {k: {"a": targets["a"]} if k % 2 else {"r": targets["r"]} for k in range(0, 40, 3)}
    fed_back, _ = quelm.rim_rake_grouped(table, ["a", "r"], targets, ["g"], max_cap=2.0)
    return table, targets, schemes, fed_back


def _summary(out, results):
    weights = pa.table(out).column(-1).to_numpy().tobytes()
    if isinstance(results, quelm.RakeResult):
        results = {"": results}
    return weights, [(k, r.n_valid, r.iterations, r.converged, r.stalled, r.max_target_gap, r.efficiency,
                      r.weight_min, r.weight_max) for k, r in results.items()]


def _jobs(table, targets, schemes, fed_back):
    def failing():
        try:
            quelm.rim_rake_grouped(table, ["a"], {"a": {"text": 1.0}}, ["g"])
        except ValueError as exc:
            return str(exc)
        return None

    return {
        "rim_rake": lambda: _summary(*quelm.rim_rake(table, ["a", "r"], targets, min_cap=0.5, total=10.0)),
        "grouped": lambda: _summary(*quelm.rim_rake_grouped(table, ["r", "a"], targets, ["g"], max_cap=1.8)),
        "by_scheme": lambda: _summary(*quelm.rim_rake_by_scheme(
            table, "g", schemes, default_scheme={"r": targets["r"]}, group_totals={k: 1 for k in range(40)})),
        "fed back": lambda: _summary(*quelm.rim_rake_grouped(fed_back, ["a"], {"a": targets["a"]}, ["g", "r"],
                                                             weight_column="w2")),
        "failing": failing,
    }


@pytest.fixture
def quick_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # hand the GIL over as often as possible
    yield
    sys.setswitchinterval(previous)


def test_concurrent_calls_match_serial_calls(quick_switches):
    jobs = _jobs(*_shared_input())
    expected = {name: job() for name, job in jobs.items()}
    assert expected["failing"] is not None

    barrier = threading.Barrier(THREADS)
    got = [[] for _ in range(THREADS)]
    errors = []

    def worker(k):
        order = list(jobs)
        random.Random(k).shuffle(order)
        try:
            barrier.wait()
            for _ in range(ROUNDS):
                for name in order:
                    got[k].append((name, jobs[name]()))
        except BaseException as exc:  # reported below, from the test's own thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for k in range(THREADS):
        assert len(got[k]) == ROUNDS * len(jobs)
        for name, result in got[k]:
            assert result == expected[name], (k, name)
