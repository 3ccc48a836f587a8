"""Allocation failure: a request that cannot be met raises MemoryError (never
aborts the process), with the interpreter lock taken back and nothing
leaked; the next call works.

The impossible requests come from arrays with zero strides and huge shapes:
they need no memory themselves, but a function that must copy them into
row-major order, or return one score per row, asks for terabytes.
"""

import sys
import threading
import tracemalloc

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _corvane_rs as m
from reliability_support import SANITIZED, hang_guard

BIG = 2**21  # BIG x BIG doubles = 32 TiB

# Under AddressSanitizer a failed operator new reports and aborts instead of
# throwing, so allocation failure can only be tested in a normal build.
pytestmark = pytest.mark.skipif(SANITIZED, reason="the sanitizer's operator new aborts instead of throwing")


@pytest.fixture(autouse=True)
def _no_hang():
    with hang_guard():
        yield


def ghost(shape, strides=None):
    """A float64 array of any shape backed by a single element."""
    return as_strided(np.zeros(1), shape=shape, strides=strides or (0,) * len(shape), writeable=False)


def i64(*v):
    return np.array(v, dtype=np.int64)


LEAF = (i64(0, 1), i64(-1), i64(-1), i64(-1), np.array([0.0]), np.array([2.0]))

IMPOSSIBLE = {
    # Row-major copies of the feature matrix / support vectors.
    "forest copy": lambda: m.predict_forest_batch(ghost((BIG, BIG)), *LEAF),
    "gbdt copy": lambda: m.predict_gbdt_batch(ghost((BIG, BIG)), *LEAF, 0.1, 0.0),
    "svm features copy": lambda: m.predict_svm_batch(ghost((BIG, BIG)), np.zeros((0, BIG)), np.zeros(0), 0.0,
                                                     1.0, 1.0, 0.0),
    "svm vectors copy": lambda: m.predict_svm_batch(np.zeros((0, BIG)), ghost((BIG, BIG)), ghost((BIG,)), 0.0,
                                                    1.0, 1.0, 0.0),
    "feature matrix copy": lambda: m.compute_feature_matrix([], [], [], ghost((BIG, BIG)), ghost((BIG, BIG)),
                                                            NUMERIC_NAMES, BIG),
    # One score per row of a matrix without columns.
    "logistic result": lambda: m.predict_batch(ghost((2**41, 0), (0, 8)), np.zeros(0), 0.0),
    "forest result": lambda: m.predict_forest_batch(ghost((2**41, 0), (0, 8)), *LEAF),
    "svm result": lambda: m.predict_svm_batch(ghost((2**41, 0), (0, 8)), np.zeros((0, 0)), np.zeros(0), 0.0,
                                              1.0, 1.0, 0.0),
}


NUMERIC_NAMES = ["numeric"] * BIG  # 16 MiB of pointers to one string


# Those whose arguments convert in no time.
CHEAP = [v for k, v in IMPOSSIBLE.items() if k != "feature matrix copy"]


@pytest.mark.parametrize("label", sorted(IMPOSSIBLE))
def test_impossible_allocation_raises_memory_error(label):
    with pytest.raises(MemoryError):
        IMPOSSIBLE[label]()
    # The module and its pool carry on.
    assert m.levenshtein_batch(["kitten"] * 50, ["sitting"] * 50) == [1.0 - 3 / 7] * 50
    assert m.predict_forest_batch(np.zeros((4, 1)), *LEAF).tolist() == [2.0] * 4


def test_memory_errors_keep_the_interpreter_running():
    # While one thread keeps failing allocations, another keeps running
    # Python code: the lock is taken back on every failure.
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)

    t = threading.Thread(target=ticker, daemon=True)
    t.start()
    try:
        for _ in range(20):
            for fn in CHEAP:
                with pytest.raises(MemoryError):
                    fn()
    finally:
        stop.set()
        t.join(30)
    assert not t.is_alive() and ticks


def test_memory_errors_leak_nothing():
    # The arguments keep their reference counts and no Python object is left
    # behind per failed call.
    X = ghost((BIG, BIG))
    before = sys.getrefcount(X)
    calls = CHEAP
    for fn in calls:
        with pytest.raises(MemoryError):
            fn()
    growth = []
    tracemalloc.start()
    try:
        for _ in range(2):  # caches may fill in one round; a leak grows in both
            start, _ = tracemalloc.get_traced_memory()
            for _ in range(50):
                for fn in calls:
                    try:
                        fn()
                    except MemoryError:
                        pass
                with pytest.raises(MemoryError):
                    m.predict_forest_batch(X, *LEAF)
            end, _ = tracemalloc.get_traced_memory()
            growth.append(end - start)
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(X) == before
    assert min(growth) < 4096, growth


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_memory_made_before_a_failed_allocation_is_freed():
    # The SVM copies the (column-major) features, 8 MB, before it fails to
    # copy the support vectors: that first copy must be released.
    X = np.asfortranarray(np.ones((20000, 50)))
    for _ in range(3):
        with pytest.raises(MemoryError):
            m.predict_svm_batch(X, ghost((2**37, 50)), ghost((2**37,)), 0.0, 1.0, 1.0, 0.0)
    start = rss_bytes()
    for _ in range(60):
        with pytest.raises(MemoryError):
            m.predict_svm_batch(X, ghost((2**37, 50)), ghost((2**37,)), 0.0, 1.0, 1.0, 0.0)
    assert rss_bytes() - start < 64 * 2**20  # sixty leaked copies would be 480 MB


class LengthHint:
    """A sequence whose reported length is only a (wrong) hint."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [2**40, 2**62, sys.maxsize])
def test_sequence_length_is_only_a_capacity_hint(length):
    # The length a sequence reports may be far beyond what memory holds;
    # conversion must go by what iteration yields, not reserve that much.
    assert m.numeric_distance_batch(LengthHint([1.0, 4.0], length), [2.0, 1.0]) == [1.0, 3.0]
    assert m.exact_match_batch(LengthHint(["a"], length), ["a"]) == [1.0]
    out = m.compute_feature_matrix(LengthHint([["a"]], length), [["b"]], ["exact"], np.zeros((0, 0)),
                                   np.zeros((0, 0)), [], 1)
    assert out.tolist() == [0.0]
    # range() reports its true length but yields ints: the item is refused.
    with pytest.raises(TypeError, match="^argument 'left': 'int' object cannot be converted to 'PyString'$"):
        m.jaccard_batch(range(length), ["a"])
