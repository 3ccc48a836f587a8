"""Concurrency and fork: many Python threads calling every function at once
get exactly the single-threaded results, a failing call never disturbs
another thread's call, and processes forked after the pool ran (directly
or through multiprocessing) can use the module.

CORVANE_STRESS_ROUNDS raises the number of rounds each thread runs.
"""

import multiprocessing
import os
import random
import signal
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import _corvane_rs as m
from reliability_support import (
    SANITIZED, PanicException, as_plain, call, hang_guard, same_floats, valid_calls)

ROUNDS = int(os.environ.get("CORVANE_STRESS_ROUNDS", "20"))
THREADS = 8
JOIN_SECONDS = 300 if SANITIZED else 120


@pytest.fixture(autouse=True)
def _no_hang():
    with hang_guard():
        yield


@pytest.fixture
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


class Boom(Exception):
    pass


class FailingSeq:
    def __init__(self, n, fail_at):
        self.n, self.fail_at = n, fail_at

    def __len__(self):
        return self.n

    def __getitem__(self, i):
        if i >= self.n:
            raise IndexError(i)
        if i == self.fail_at:
            raise Boom(i)
        return "x"


def i64(*v):
    return np.array(v, dtype=np.int64)


def failing_calls(rows=3000):
    """(function, args, exception type, message) of calls that must fail,
    some during conversion, some in validation, some inside the pool."""
    X = np.zeros((rows, 2))
    X[rows - 700:, 0] = 1.0  # only these rows take the broken right branch
    bad_tree = (X, i64(0, 3), i64(1, -1, -1), i64(7, -1, -1), i64(0, 0, 0), np.array([0.5, 0.0, 0.0]),
                np.array([0.0, 1.0, 2.0]))
    return [
        (m.predict_forest_batch, bad_tree, PanicException, "index out of bounds: the len is 3 but the index is 7"),
        (m.predict_gbdt_batch, bad_tree + (0.1, 0.0), PanicException,
         "index out of bounds: the len is 3 but the index is 7"),
        (m.predict_svm_batch, (X, np.ones((3, 2)), np.ones(6)[::2], 0.0, 1.0, 1.0, 0.0), PanicException,
         "called `Option::unwrap()` on a `None` value"),
        (m.jaro_winkler_batch, (["a"] * rows, ["b"] * (rows - 1)), ValueError,
         "left and right must have the same length"),
        (m.compute_feature_matrix, ([["a"] * rows], [["b"] * rows], ["fuzzy"], np.zeros((0, 0)),
                                    np.zeros((0, 0)), [], rows), ValueError, None),
        (m.levenshtein_batch, (FailingSeq(rows, rows - 5), ["x"] * rows), Boom, str(rows - 5)),
        (m.exact_match_batch, (["a", None], ["a", "b"]), TypeError,
         "argument 'left': 'NoneType' object cannot be converted to 'PyString'"),
    ]


def check_failure(fn, args, exc_type, message):
    try:
        fn(*args)
    except BaseException as e:  # noqa: BLE001
        if isinstance(e, KeyboardInterrupt):
            raise
        assert type(e) is exc_type, (fn.__name__, e)
        assert message is None or str(e) == message, (fn.__name__, str(e))
        return
    raise AssertionError(f"{fn.__name__} did not fail")


def run_threads(targets):
    """Runs the targets in threads; re-raises the first failure. A thread
    still running after the timeout is a hang and fails the test."""
    errors = []

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + JOIN_SECONDS
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "threads hung"
    if errors:
        raise errors[0]


def test_threads_calling_everything_get_single_threaded_results(tiny_switch_interval):
    calls = valid_calls(seed=11, rows=300)
    expected = [as_plain(call(name, args)) for name, args in calls]
    failures = failing_calls()

    def worker(seed):
        def run():
            rng = random.Random(seed)
            for _ in range(ROUNDS):
                order = list(range(len(calls))) + [-1 - k for k in range(len(failures))]
                rng.shuffle(order)
                for k in order:
                    if k >= 0:
                        got = as_plain(call(*calls[k]))
                        assert same_floats(got, expected[k]), calls[k][0]
                    else:
                        check_failure(*failures[-1 - k])
        return run

    run_threads([worker(s) for s in range(THREADS)])


def test_failing_jobs_do_not_disturb_other_threads(tiny_switch_interval):
    # Half the threads only fail (inside the pool, mostly); the other half
    # score long columns at the same time and must see complete results.
    rng = np.random.default_rng(2)
    words = ["".join(rng.choice(list("abcdeé日 "), size=rng.integers(0, 30))) for _ in range(4000)]
    other = words[1:] + words[:1]
    want_lev = m.levenshtein_batch(words, other)
    X = rng.normal(size=(5000, 6))
    sv = rng.normal(size=(40, 6))
    coef = rng.normal(size=40)
    want_svm = m.predict_svm_batch(X, sv, coef, 0.1, 0.2, -1.0, 0.5).tolist()
    failures = failing_calls(rows=5000)
    stop = threading.Event()

    def failer(k):
        def run():
            while not stop.is_set():
                check_failure(*failures[k % 3])  # the three pool-side failures
        return run

    def scorer(k):
        def run():
            try:
                for _ in range(max(2, ROUNDS // 2)):
                    if k % 2:
                        assert m.levenshtein_batch(words, other) == want_lev
                    else:
                        assert same_floats(m.predict_svm_batch(X, sv, coef, 0.1, 0.2, -1.0, 0.5).tolist(), want_svm)
            finally:
                stop.set()
        return run

    run_threads([failer(k) for k in range(4)] + [scorer(k) for k in range(4)])


# ---- fork ---------------------------------------------------------------------


def wait_child(pid, seconds):
    """Exit status of child pid; a child still running after `seconds` is
    killed and reported as hung."""
    deadline = time.monotonic() + seconds
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError(f"forked child {pid} hung")
        time.sleep(0.02)


def child_checks(calls, expected):
    """Runs in a forked child: every call gives the parent's results and a
    failure inside the pool still becomes PanicException."""
    for (name, args), want in zip(calls, expected):
        if not same_floats(as_plain(call(name, args)), want):
            return 1
    fn, args, exc, msg = failing_calls(rows=500)[0]
    check_failure(fn, args, exc, msg)
    return 0


def fork_and_check(calls, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = child_checks(calls, expected)
        finally:
            os._exit(code)
    return wait_child(pid, JOIN_SECONDS)


def test_fork_after_pool_ran():
    calls = valid_calls(seed=21, rows=200)
    expected = [as_plain(call(name, args)) for name, args in calls]  # the pool is running now
    assert fork_and_check(calls, expected) == 0
    # Grandchildren: a child forked from a child whose pool ran.
    assert fork_and_check(calls[:3], expected[:3]) == 0


def test_fork_while_other_threads_are_inside_calls(tiny_switch_interval):
    calls = valid_calls(seed=22, rows=400)
    expected = [as_plain(call(name, args)) for name, args in calls]
    stop = threading.Event()

    def busy(seed):
        def run():
            rng = random.Random(seed)
            while not stop.is_set():
                k = rng.randrange(len(calls))
                assert same_floats(as_plain(call(*calls[k])), expected[k])
        return run

    def forker():
        try:
            for _ in range(max(3, ROUNDS // 4)):
                assert fork_and_check(calls, expected) == 0
        finally:
            stop.set()

    run_threads([busy(s) for s in range(4)] + [forker])


def mp_task(seed):
    calls = valid_calls(seed=seed, rows=150)
    return [as_plain(call(name, args)) for name, args in calls]


def test_multiprocessing_fork_start_method():
    seeds = [31, 32, 33, 34]
    expected = [mp_task(s) for s in seeds]  # the parent's pool has run
    ctx = multiprocessing.get_context("fork")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with ctx.Pool(2) as workers:
            got = workers.map_async(mp_task, seeds).get(timeout=JOIN_SECONDS)
    for g, w in zip(got, expected):
        assert all(same_floats(a, b) for a, b in zip(g, w))


class Stop(Exception):
    pass


def test_signal_cancels_one_call_while_other_threads_keep_working(tiny_switch_interval):
    # A signal handler raising in the main thread ends its long call; calls
    # of other threads running at the same time complete normally, and so
    # does the next call on the main thread.
    calls = valid_calls(seed=41, rows=200)
    expected = [as_plain(call(name, args)) for name, args in calls]
    long_left, long_right = ["ab" * 1500] * 2000, ["ba" * 1500] * 2000  # a minute or more of work
    stop = threading.Event()
    done = []

    def busy(seed):
        def run():
            rng = random.Random(seed)
            while not stop.is_set():
                k = rng.randrange(len(calls))
                assert same_floats(as_plain(call(*calls[k])), expected[k])
            done.append(seed)
        return run

    def handler(signum, frame):
        raise Stop()

    old = signal.signal(signal.SIGUSR1, handler)
    threads = [threading.Thread(target=busy(s), daemon=True) for s in range(3)]
    for t in threads:
        t.start()
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    started = time.monotonic()
    try:
        timer.start()
        with pytest.raises(Stop):
            m.damerau_levenshtein_batch(long_left, long_right)
        elapsed = time.monotonic() - started
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, old)
        stop.set()
        for t in threads:
            t.join(JOIN_SECONDS)
    assert not any(t.is_alive() for t in threads), "threads hung"
    assert sorted(done) == [0, 1, 2]
    assert elapsed < JOIN_SECONDS / 2
    assert m.damerau_levenshtein_batch(["ab", "ca"], ["ba", "abc"]) == [0.5, 0.33333333333333337]
