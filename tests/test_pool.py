"""The task pool behind the grouped functions: results that do not depend on the number of
workers, and grouped calls in processes forked or spawned from one that used the pool.

Every scenario runs in a fresh interpreter started by `run_script`, in its own session, so
that a hang is cut off and its whole process tree killed without touching the test process.
"""

import os
import pickle
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

WORKLOAD = textwrap.dedent(
    """
    import os
    import sys
    import pickle

    def workload(seed, groups=1000):
        import numpy as np
        import pyarrow as pa
        import quelm

        rng = np.random.default_rng(seed)
        sizes = rng.integers(1, 60, size=groups)
        g = np.repeat(np.arange(groups, dtype=np.int64), sizes)
        rng.shuffle(g)
        n = len(g)
        table = pa.table(
            {
                "g": pa.array(g),
                "h": pa.array(g % 7, pa.int32()),
                "a": pa.array(rng.integers(0, 4, n), mask=rng.random(n) < 0.05),
                "b": pa.array(rng.integers(0, 3, n), pa.int32()),
                "r": pa.array(np.array(["n", "s", "e", "w"])[rng.integers(0, 4, n)]),
            }
        )
        targets = {
            "a": {0: 0.1, 1: 0.2, 2: 0.3, 3: 0.4},
            "b": {0: 30, 1: 30, 2: 40},
            "r": {"n": 0.4, "s": 0.3, "e": 0.2, "w": 0.1},
        }

        def summary(out, results):
            weights = pa.table(out).column("weight").to_numpy().tobytes()
            fields = [
                (k, r.n_valid, r.iterations, r.converged, r.stalled, r.max_target_gap, r.efficiency,
                 r.weight_min, r.weight_max)
                for k, r in results.items()
            ]
            return weights, fields

        grouped = summary(
            *quelm.rim_rake_grouped(
                table, ["a", "b", "r"], targets, ["g"], min_cap=0.6, max_cap=1.8, total=12345.0
            )
        )
        joined = summary(
            *quelm.rim_rake_grouped(table, ["a", "b"], {"b": targets["b"], "a": targets["a"]}, ["h", "g"], max_cap=1.5)
        )
        schemes = {k: {"a": targets["a"], "r": targets["r"]} for k in range(0, groups, 3)}
        schemes |= {k: {"b": targets["b"]} for k in range(1, groups, 3)}
        by_scheme = summary(
            *quelm.rim_rake_by_scheme(
                table, "g", schemes, default_scheme={"r": targets["r"]}, min_cap=0.5, max_cap=2.0,
                group_totals={k: 1.0 / groups for k in range(groups)}, total=1000.0,
            )
        )
        return grouped, joined, by_scheme
    """
)


def run_script(tmp_path, body, *args, prefix=(), timeout=300):
    """Runs WORKLOAD + body as a script; returns its stdout. Fails on a non-zero exit or
    when the script (or anything it started) is still running after `timeout` seconds."""
    script = tmp_path / "scenario.py"
    script.write_text(WORKLOAD + textwrap.dedent(body))
    process = subprocess.Popen(
        [*prefix, sys.executable, str(script), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        pytest.fail(f"scenario {args} did not finish within {timeout} s")
    finally:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    assert process.returncode == 0, stderr.decode(errors="replace")
    return stdout


DETERMINISM = """
    if sys.argv[1] == "one_cpu":
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    import quelm

    cpus = len(os.sched_getaffinity(0))
    first = workload(7)
    assert workload(7) == first
    sys.stdout.buffer.write(pickle.dumps((cpus, first)))
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs at least two CPUs")
@pytest.mark.parametrize("limit", ["sched_setaffinity", "taskset"])
def test_results_do_not_depend_on_the_number_of_cpus(tmp_path, limit):
    if limit == "taskset":
        taskset = shutil.which("taskset")
        if taskset is None:
            pytest.skip("taskset is not installed")
        cpu = str(min(os.sched_getaffinity(0)))
        one_cpus, one = pickle.loads(run_script(tmp_path, DETERMINISM, "all", prefix=(taskset, "-c", cpu)))
    else:
        one_cpus, one = pickle.loads(run_script(tmp_path, DETERMINISM, "one_cpu"))
    all_cpus, every = pickle.loads(run_script(tmp_path, DETERMINISM, "all"))
    assert one_cpus == 1
    assert all_cpus == len(os.sched_getaffinity(0))
    for name, single, parallel in zip(["grouped", "joined", "by_scheme"], one, every):
        assert single[0] == parallel[0], name
        assert single[1] == parallel[1], name
        assert len(single[1]) == 1000, name


FORK = """
    import signal
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)

    def forked(expected, depth):
        pid = os.fork()
        if pid == 0:
            signal.alarm(120)
            try:
                ok = workload(11, 200) == expected
                if ok and depth > 1:
                    ok = forked(expected, depth - 1)
            except BaseException:
                ok = False
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status) == 0

    expected = workload(11, 200)  # the pool exists and has worked before the fork
    assert forked(expected, int(sys.argv[1]))
    assert workload(11, 200) == expected  # and still works in the parent afterwards
    print("ok")
"""


@pytest.mark.parametrize("depth", [1, 2])
def test_grouped_call_in_forked_child(tmp_path, depth):
    assert run_script(tmp_path, FORK, str(depth)).strip() == b"ok"


MULTIPROCESSING = """
    import multiprocessing

    def job(seed):
        return workload(seed, 150)

    if __name__ == "__main__":
        seeds = [3, 4, 5, 6]
        expected = [job(seed) for seed in seeds]
        context = multiprocessing.get_context(sys.argv[1])
        with context.Pool(2) as pool:
            got = pool.map(job, seeds)
        assert got == expected
        print("ok")
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_pool(tmp_path, method):
    assert run_script(tmp_path, MULTIPROCESSING, method).strip() == b"ok"
