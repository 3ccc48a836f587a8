"""Scenarios that need a fresh interpreter: signal handlers that call the
module during a long call, interpreter exit with daemon threads inside
calls, peak memory on long strings, and the pool made by calls with no rows.
Each runs in a subprocess with a timeout, so a hang or an abort fails the
test instead of stopping the suite; a table of cases that each need a fresh
process shares one, forking a child per case."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")

PRELUDE = """
import os, resource, signal, sys, threading, time
import numpy as np
import _corvane_rs as m
T = 2000
z = np.zeros(T, np.int64)
forest = (np.arange(T + 1), np.full(T, -1), z, z, np.zeros(T), np.arange(T, dtype=float))
def svm(X):
    return m.predict_svm_batch(X, np.ones((40, X.shape[1])), np.linspace(-1, 1, 40), 0.1, 0.5, -1.0, 0.0)
"""


def run(body, workers=None, timeout=120):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers)) if workers else None
    code = PRELUDE + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout)


def run_each(body, cases, workers=None):
    """Runs `body` once per case (bound to `case`), each in a child forked
    from one interpreter that has imported the module and made no call: a
    case starts as in an interpreter of its own, without paying to start
    one. Returns {case: what its child printed}."""
    out = run(f"""
        import json, traceback
        results = {{}}
        for case in {list(cases)!r}:
            read, write = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(read)
                code = 1
                try:
                    sys.stdout = os.fdopen(write, "w")
                    exec({textwrap.dedent(body)!r})
                    sys.stdout.flush()
                    code = 0
                except BaseException:
                    traceback.print_exc()
                finally:
                    os._exit(code)
            os.close(write)
            with os.fdopen(read) as pipe:
                printed = pipe.read()
            results[case] = (os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), printed)
        print(json.dumps(results))
    """, workers)
    assert out.returncode == 0, out.stderr
    results = json.loads(out.stdout)
    assert all(code == 0 for code, _ in results.values()), out.stderr  # a child's traceback
    return {case: printed for case, (_, printed) in results.items()}


@pytest.mark.parametrize("workers", [1, 2])
def test_handler_calls_module_during_long_call(workers):
    out = run("""
        X = np.random.default_rng(1).random((600000, 4))  # each call takes some 0.2 s
        L, R = ["abcdefghij" * 10] * 10000, ["bcdefghija" * 10] * 10000
        calls = {"forest": lambda: m.predict_forest_batch(X[:100000], *forest),
                 "svm": lambda: svm(X),
                 "strings": lambda: m.damerau_levenshtein_batch(L, R)}
        nested = []
        def handler(*_):  # a row job and a block job from inside the handler
            nested.append((m.jaro_winkler_batch(["ab"] * 50, ["ba"] * 50) == [0.0] * 50,
                           np.array_equal(m.predict_forest_batch(X[:50], *forest), np.full(50, (T - 1) / 2))))
        for name, call in calls.items():
            expected = call()
            del nested[:]
            signal.signal(signal.SIGALRM, handler)
            signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
            got = call()
            signal.setitimer(signal.ITIMER_REAL, 0)
            print(name, np.array_equal(got, expected), len(nested) > 0, all(map(all, nested)))
    """, workers)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"{n} True True True" for n in ("forest", "svm", "strings")]


def test_fork_in_handler_during_call():
    # The handler forks while the call's rows are out on the workers; the
    # child has none of them, and must still finish the call (and call again).
    out = run("""
        X = np.random.default_rng(1).random((100000, 4))  # each call takes some 0.3 s on 2 workers
        L, R = ["abcdefghij" * 10] * 4000, ["bcdefghija" * 10] * 4000
        calls = {"strings": lambda: m.damerau_levenshtein_batch(L, R),   # rows
                 "forest": lambda: m.predict_forest_batch(X, *forest)}  # blocks
        sys.setswitchinterval(1000)  # the helper below runs once the call gives the lock up
        for name, call in calls.items():
            expected, forked = call(), []
            def handler(*_):
                if not forked:
                    forked.append(os.fork())
                    if forked[0] == 0: signal.alarm(30)
            signal.signal(signal.SIGUSR1, handler)
            entered = threading.Event()
            poke = threading.Thread(target=lambda: (entered.wait(), os.kill(os.getpid(), signal.SIGUSR1)))
            poke.start()
            entered.set()
            got = call()
            if forked[0] == 0:
                again = call()
                print(name, "child", np.array_equal(got, expected), np.array_equal(again, expected), flush=True)
                os._exit(0)
            poke.join()
            print(name, "parent", np.array_equal(got, expected), os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1]),
                  flush=True)
    """, workers=2)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [f"{n} {who}" for n in ("strings", "forest")
                                       for who in ("child True True", "parent True 0")]


def test_exit_with_daemon_threads_inside_calls():
    # One long call, loops of short ones (the lock is taken back often), and
    # a conversion that runs Python code which gives the lock up.
    body = """
        L, R = ["abcdefghij" * 30] * 20000, ["bcdefghija" * 30] * 20000
        class Slow:
            def __len__(self): return 2
            def __getitem__(self, i):
                if i >= 2: raise IndexError
                time.sleep(0.01)
                return "abc"
        def loop(call):
            while True: call()
        for call in [lambda: m.damerau_levenshtein_batch(L, R), lambda: m.damerau_levenshtein_batch(L[:8], R[:8]),
                     lambda: svm(np.ones((64, 3))), lambda: m.levenshtein_batch(["a", "b"], Slow())]:
            threading.Thread(target=loop, args=(call,), daemon=True).start()
        time.sleep(0.2)
        sys.exit(7)
    """
    for _ in range(3):
        out = run(body)
        assert (out.returncode, out.stderr) == (7, "")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_peak_memory_linear_in_string_length():
    # Peak growth in KiB over three pairs of 60,000 wide characters each
    # (Damerau-Levenshtein, quadratic in time, gets 4,000), each function in
    # a process of its own.
    names = ["levenshtein_batch", "damerau_levenshtein_batch", "jaro_winkler_batch", "token_sort_ratio_batch",
             "jaccard_batch", "cosine_batch", "soundex_batch"]
    grown = run_each("""
        n = 4000 if case == "damerau_levenshtein_batch" else 60000
        many = "".join(chr(0x4E00 + (i * 7919) % 20000) for i in range(n))
        cases = [("中" * n, "文" * n), (many, many[::-1]), ("中文 " * (n // 3), "文中 " * (n // 3))]
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for a, b in cases:
            getattr(m, case)([a, b], [b, a])
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """, names)
    # A table row per character took some 590 MB.
    assert {name: int(kib) < 32 * 1024 for name, kib in grown.items()} == dict.fromkeys(names, True), grown


ZERO_ROWS = {
    "jaro_winkler_batch([], [])": 3,
    "numeric_distance_batch([], [])": 3,
    "compute_feature_matrix([[]], [[]], ['exact'], np.zeros((0, 0)), np.zeros((0, 0)), [], 0)": 3,
    "compute_feature_matrix([], [], [], np.zeros((1, 0)), np.zeros((1, 0)), ['numeric'], 0)": 3,
    "predict_forest_batch(np.zeros((0, 2)), *forest)": 3,
    "predict_gbdt_batch(np.zeros((0, 2)), *forest, 0.1, 0.0)": 3,
    "predict_svm_batch(np.zeros((0, 2)), np.ones((3, 2)), np.ones(3), 0.0, 1.0, -1.0, 0.0)": 3,
    "predict_batch(np.zeros((0, 2)), np.ones(2), 0.0)": 0,  # computes on the calling thread alone
}


def test_zero_rows_create_the_pool():
    started = run_each("""
        before = len(os.listdir("/proc/self/task"))
        assert len(eval("m." + case)) == 0
        print(len(os.listdir("/proc/self/task")) - before)
    """, ZERO_ROWS, workers=3)
    assert {call: int(threads) for call, threads in started.items()} == ZERO_ROWS
