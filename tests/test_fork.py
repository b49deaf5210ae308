"""fork() while other threads keep raking: children forked from the main thread and from
another thread, while several threads call the grouped functions (and, on a free-threaded
interpreter, while the pool is busy), rake grouped data correctly and exit cleanly; the
parent's threads carry on undisturbed. Plain forks after the pool ran and multiprocessing
pools are in test_pool.py."""

from test_pool import run_script

FORK_UNDER_LOAD = """
    import signal
    import threading
    import warnings

    warnings.simplefilter("ignore", DeprecationWarning)  # forking a multi-threaded process

    expected_small = workload(5, 60)
    expected = workload(11, 120)
    stop = threading.Event()
    failures = []

    def busy():
        try:
            while not stop.is_set():
                assert workload(5, 60) == expected_small
        except BaseException as exc:
            failures.append(exc)

    def fork_and_check():
        pid = os.fork()
        if pid == 0:
            signal.alarm(120)
            try:
                ok = workload(11, 120) == expected
            except BaseException:
                ok = False
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        return os.waitstatus_to_exitcode(status)

    threads = [threading.Thread(target=busy) for _ in range(3)]
    for t in threads:
        t.start()
    codes = []
    for k in range(int(sys.argv[1])):
        if k % 2:
            box = []
            forker = threading.Thread(target=lambda: box.append(fork_and_check()))
            forker.start()
            forker.join()
            codes.append(box[0])
        else:
            codes.append(fork_and_check())
    stop.set()
    for t in threads:
        t.join()
    assert codes == [0] * int(sys.argv[1]), codes
    assert failures == [], failures
    assert workload(11, 120) == expected
    print("ok")
"""


def test_fork_while_other_threads_rake(tmp_path):
    assert run_script(tmp_path, FORK_UNDER_LOAD, "6").strip() == b"ok"
