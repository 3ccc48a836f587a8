"""One scaffold for the module's reliability: every failing call of
cases.py and a valid call of every function (by position and by keyword),
repeated for reference counts and memory, from many threads at once, in
forked children and under signals. CORVANE_STRESS_ROUNDS sets the rounds
of each stress thread (default 4: each round runs every call in every
thread, in an order of its own; more rounds repeat the same checks)."""

import gc
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import tracemalloc
import warnings
import weakref
from pathlib import Path

import numpy as np
import pytest

import _corvane_rs as m
from cases import CASES, Seq, ghost
from support import SANITIZED, PARAMS, PanicException, call, same_floats, valid_calls

ROUNDS = int(os.environ.get("CORVANE_STRESS_ROUNDS", "4"))
CALLS = [c[:4] for c in CASES] + [(f"{name} by {how}", getattr(m, name), args if how == "position" else (),
                                   {} if how == "position" else dict(zip(PARAMS[name], args)))
                                  for name, args in valid_calls(seed=3, rows=30) for how in ("position", "keyword")]


def repeat(fn, args, kwargs, times):
    for _ in range(times):
        try:
            fn(*args, **kwargs)
        except (Exception, PanicException):
            pass


@pytest.mark.parametrize("case", CALLS, ids=[c[0] for c in CALLS])
def test_refcounts_stable(case):
    _, fn, args, kwargs = case
    repeat(fn, args, kwargs, 2)  # first-use caches (NumPy interface, result type)
    given = list(args) + list(kwargs.values())
    items = [b for a in given if type(a) in (list, tuple) for b in a]
    watched = given + items + [c for b in items if type(b) in (list, tuple) for c in b]  # two levels deep
    before = [sys.getrefcount(o) for o in watched]
    repeat(fn, args, kwargs, 40)
    after = [sys.getrefcount(o) for o in watched]
    assert before == after, [(type(o).__name__, b, a) for o, b, a in zip(watched, before, after) if a != b]


# The interpreter's type attribute cache keeps the last name looked up on
# each type (a fresh str whenever the column readers look up `dtype` or
# `__arrow_c_array__` on an argument), up to 4096 of them: a cache that fills
# over thousands of calls, not a leak. Cleared before each count, with the
# free lists, which the full collection empties.
CLEAR_CACHES = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def traced_here():
    """Traced bytes still held once garbage and the interpreter's caches are
    cleared, counting only allocations made from this file or the helpers it
    calls into: background threads of other tests' libraries stay out."""
    gc.collect()  # cyclic garbage (exceptions and their frames) is no leak
    CLEAR_CACHES()
    here = {__file__, sys.modules["cases"].__file__, sys.modules["support"].__file__}
    return sum(s.size for s in tracemalloc.take_snapshot().statistics("filename") if s.traceback[0].filename in here)


@pytest.mark.alone
@pytest.mark.skipif(SANITIZED, reason="traced sizes drift under the sanitizer's allocator; the normal build checks this")
def test_traced_memory_flat():
    # A leaked float, str, list, exception or array per call grows the traced
    # memory by at least 16 bytes a call in every round; with the caches
    # cleared a sound call leaves nothing (0 bytes in every round measured).
    # The objects alive before are frozen: collections then walk only what the
    # calls made, not every imported library.
    grown = []
    gc.collect()
    gc.freeze()
    gc.disable()
    tracemalloc.start()
    try:
        for label, fn, args, kwargs in CALLS:
            repeat(fn, args, kwargs, 3)
            growth = []
            for _ in range(3):  # a first-use cache fills once; a leak grows in every round
                start = traced_here()
                repeat(fn, args, kwargs, 50)
                growth.append(traced_here() - start)
            grown += [(label, growth)] if min(growth) >= 512 else []
    finally:
        tracemalloc.stop()
        gc.enable()
        gc.unfreeze()
    assert not grown


def test_arguments_are_freed():
    X, w, sv, coef = np.random.default_rng(0).normal(size=(50, 4)), np.ones(4), np.ones((3, 4)), np.ones(3)
    seq, bad = Seq(["abc", "abd"] * 20), Seq(["abc"] * 10, fail_at=5)
    refs = [weakref.ref(o) for o in (X, w, sv, coef, seq, bad)]
    for _ in range(5):
        m.predict_batch(X, w, 0.0)
        m.predict_svm_batch(X, sv, coef, 0.0, 1.0, 1.0, 0.0)
        m.jaro_winkler_batch(seq, seq)
        repeat(m.exact_match_batch, (bad, seq), {}, 1)
        repeat(m.predict_svm_batch, (X, sv, w, 0.0, 1.0, 1.0, 0.0), {}, 1)
    del X, w, sv, coef, seq, bad
    gc.collect()
    assert [r() for r in refs] == [None] * 6


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.alone
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_native_memory_bounded():
    # Converted strings, row-major copies and result vectors are not traced:
    # watch the resident size. One round allocates well over 20 MB.
    rng = np.random.default_rng(1)
    X = np.asfortranarray(rng.normal(size=(4000, 12)))  # copied by every tree and SVM call
    trees = (np.array([0, 3, 6]), np.array([1, -1, -1, 1, -1, -1]), np.array([2, -1, -1, 2, -1, -1]),
             np.array([0, 0, 0, 3, 0, 0]), np.zeros(6), np.arange(6.0))
    words, nl = ["alpha beta", "gamma", "délta épsilon"] * 2000, np.asfortranarray(rng.normal(size=(3, 6000)))
    wide = np.asfortranarray(np.ones((20000, 50)))

    def one_round():
        m.predict_batch(np.zeros((10**6, 0)), np.zeros(0), 0.0)  # an 8 MB result, made in no time
        m.predict_forest_batch(X, *trees)
        m.predict_gbdt_batch(X, *trees, 0.1, 0.0)
        m.predict_svm_batch(X, X[:5], np.ones(5), 0.0, 0.1, 1.0, 0.0)
        m.token_sort_ratio_batch(words, words[::-1])
        for n in (6000, 5999):  # a result, then a ValueError
            repeat(m.compute_feature_matrix, ([words], [words], ["jaccard"], nl, nl, ["numeric"] * 3, n), {}, 1)
        repeat(m.predict_forest_batch, (X, np.array([0, 3, 3])) + trees[1:], {}, 1)
        # The features are copied (8 MB) before the support vectors fail to be.
        repeat(m.predict_svm_batch, (wide, ghost((2**37, 50)), ghost((2**37,)), 0.0, 1.0, 1.0, 0.0), {}, 1)

    for k in range(45):
        if k == 5:
            gc.collect()
            start = rss()
        one_round()
    gc.collect()
    assert rss() - start < 48 * 2**20  # forty leaking rounds: several hundred MB


def run_threads(*targets):
    """Runs the targets in threads, switching among them as often as the
    interpreter can; re-raises the first failure."""
    errors, old = [], sys.getswitchinterval()

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
        return run
    threads = [threading.Thread(target=wrap(t), daemon=True) for t in targets]
    sys.setswitchinterval(1e-6)
    try:
        [t.start() for t in threads] + [t.join() for t in threads]
    finally:
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]


def checked_calls(seed, rows, stop=None):
    """A valid call of every function, its result computed now, and a loop
    that repeats random ones until `stop` (or once each, shuffled, with the
    failing calls mixed in), checking every outcome."""
    calls = valid_calls(seed, rows)
    expected = [call(*c) for c in calls]

    def loop(seed):
        def run():
            rng, every = random.Random(seed), range(len(calls) + len(CASES))
            for _ in range(ROUNDS) if stop is None else iter(stop.is_set, True):
                for k in rng.sample(every, len(every)) if stop is None else [rng.randrange(len(calls))]:
                    if k < len(calls):
                        assert same_floats(call(*calls[k]), expected[k]), calls[k][0]
                        continue
                    label, fn, args, kwargs, exc, message = CASES[k - len(calls)]
                    with pytest.raises(BaseException) as info:
                        fn(*args, **kwargs)
                    assert type(info.value) is exc and str(info.value) == message, label
        return run
    return calls, expected, loop


def test_threads_calling_everything_get_single_threaded_results():
    # Successes and failures (in conversion, validation, the pool and
    # allocation) from eight threads at once.
    loop = checked_calls(11, 300)[2]
    run_threads(*(loop(s) for s in range(8)))


def test_a_list_changed_by_another_thread_is_read_whole():
    # Lists are read with the interpreter lock held throughout: a thread
    # that keeps changing one (items replaced, added, removed) never shows
    # a call a mix of two states. The strings fill buffers large enough to
    # be kept between calls.
    words = ["%013d" % k for k in range(300_000)]
    stop = threading.Event()

    def mutate():
        rng = random.Random(5)
        while not stop.is_set():
            k = rng.randrange(len(words))
            words[k] = words[k][::-1] + "é" if rng.random() < 0.5 else words[k][:5]
            words.append(words.pop(rng.randrange(len(words))))

    def read():
        try:
            for _ in range(4):
                out = m.levenshtein_batch(words, words)
                assert out == [1.0] * len(out)
        finally:
            stop.set()

    run_threads(mutate, read)


def fork_and_check(calls, expected, grandchild):
    """Forks a child that must reproduce the parent's results, still turn a
    failure in the pool into PanicException, and (once) fork a grandchild
    that does the same; returns the child's exit status."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() while threads run
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(300)  # a hung child dies instead of hanging the suite
            ok = all(same_floats(call(*c), w) for c, w in zip(calls, expected))
            _, fn, args, kwargs, exc, message = next(c for c in CASES if "failing rows" in c[0])
            with pytest.raises(exc, match=message):
                fn(*args, **kwargs)
            code = 0 if ok and (not grandchild or fork_and_check(calls[:4], expected[:4], False) == 0) else 1
        finally:
            os._exit(code)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def test_fork_while_other_threads_are_inside_calls():
    stop = threading.Event()
    calls, expected, loop = checked_calls(22, 400, stop)  # the pool runs from here on

    def forker():
        try:
            for k in range(max(3, ROUNDS // 4)):
                assert fork_and_check(calls, expected, grandchild=k == 0) == 0
        finally:
            stop.set()
    run_threads(forker, *(loop(s) for s in range(4)))


SIGNALS = """
import faulthandler, os, signal, threading
faulthandler.dump_traceback_later(120, exit=True)  # a hang shows every thread's stack
import _corvane_rs as m
from cases import Seq
from test_reliability import checked_calls

class Stop(Exception):
    pass

class Marker(Seq):  # a column whose conversion ends by setting `entered`: the batch starts
    def __getitem__(self, i):
        entered.set() if i == len(self.items) else None
        return super().__getitem__(i)

entered, handled, hits, stop = threading.Event(), threading.Semaphore(0), [], threading.Event()
# Daemons, as the senders: a batch that ends before its signals (handlers
# held back) fails the test by its output, rather than hanging it.
workers = [threading.Thread(target=checked_calls(41, 200, stop)[2](s), daemon=True) for s in (0, 1)]

def counting(signum, frame):  # handlers run during the batch and may call the module
    hits.append(m.levenshtein_batch(["abc", "x"] * 50, ["abd", "y"] * 50))
    handled.release()

def stopping(signum, frame):
    raise Stop

def sender(last):  # each signal only after the previous handler ran: none coalesce
    entered.wait()
    for _ in range(4):
        os.kill(os.getpid(), signal.SIGUSR1)
        handled.acquire()
    os.kill(os.getpid(), last)

signal.signal(signal.SIGUSR1, counting)
signal.signal(signal.SIGUSR2, stopping)
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background shell leaves SIGINT ignored
# Seconds of work without the signals, in pairs of long strings that must
# not hold the handlers back: a batch, the pairs of two columns, and their
# levels (as a Fellegi-Sunter model cuts them).
batch = lambda: m.damerau_levenshtein_batch(["ab" * 1000] * 600, Marker(["ba" * 1000] * 600))
at = [k % 8 for k in range(600)]
pairs = lambda: m.compare_pairs([["ab" * 1000] * 8], [Marker(["ba" * 1000] * 8)], ["damerau_levenshtein"],
                                __import__("numpy").array(at), __import__("numpy").array(at), 0.0)
levels = lambda: m.compare_levels([["ab" * 1000] * 8], [Marker(["ba" * 1000] * 8)], ["damerau_levenshtein"],
                                  *(__import__("numpy").array(a) for a in (at, at, [0.9], [1], [0])))
for last, error, call in ((signal.SIGUSR2, Stop, batch), (signal.SIGINT, KeyboardInterrupt, batch),
                          (signal.SIGUSR2, Stop, pairs), (signal.SIGUSR2, Stop, levels)):
    # Other threads call the module from the second batch on: the first
    # batch's caller then holds a compute slot, so the nested calls of its
    # handlers run inline instead of queueing behind the batch itself.
    [t.start() for t in workers if error is KeyboardInterrupt]
    entered.clear()
    threading.Thread(target=sender, args=(last,), daemon=True).start()
    try:
        call()
        print("completed")
    except error:
        print("raised", error.__name__)
stop.set()
[t.join() for t in workers]
assert all(h == [1 - 1 / 3, 0.0] * 50 for h in hits)
print(len(hits), m.damerau_levenshtein_batch(["ab", "ca"], ["ba", "abc"]))
"""


def run_script(code, env):
    env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, **env}
    paths = [str(Path(m.__file__).parent), str(Path(__file__).parent), env.get("PYTHONPATH", "")]
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env={**env, "PYTHONPATH": os.pathsep.join(
        paths)}, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout.split("\n")[:-1]


def test_signals_run_handlers_and_cancel_a_long_call():
    # The lock is released while a batch runs (other threads call the module
    # and send signals meanwhile); handlers run during the batch, and one that
    # raises ends it with nothing returned; the module then works as before.
    assert run_script(SIGNALS, {"RAYON_NUM_THREADS": "2"}) == [
        "raised Stop", "raised KeyboardInterrupt", "raised Stop", "raised Stop", "16 [0.5, 0.33333333333333337]"]
