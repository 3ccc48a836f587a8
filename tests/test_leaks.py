"""Reference and memory leaks: repeated calls, on success and on every kind
of failure, leave the reference counts of their arguments unchanged, let
the arguments be freed, and keep the process's memory flat."""

import gc
import sys
import tracemalloc
import weakref

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _corvane_rs as m
from reliability_support import SANITIZED, PanicException, hang_guard, valid_calls


@pytest.fixture(autouse=True)
def _no_hang():
    with hang_guard():
        yield


class Boom(Exception):
    pass


class Seq:
    """A weak-referenceable sequence; optionally fails at item `fail_at`."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Boom(i)
        return self.items[i]


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if self.v is None:
            raise Boom("float")
        return self.v


def watched(args, kwargs):
    """Every argument and the items of argument lists (two levels deep)."""
    out = []

    def walk(obj, depth):
        out.append(obj)
        if depth < 2 and isinstance(obj, (list, tuple)):
            for item in obj:
                walk(item, depth + 1)

    for a in list(args) + list(kwargs.values()):
        walk(a, 0)
    return out


def repeat(fn, args, kwargs, times):
    for _ in range(times):
        try:
            fn(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001
            if isinstance(e, KeyboardInterrupt):
                raise


def assert_refcounts_stable(fn, args, kwargs=None, times=40):
    kwargs = kwargs or {}
    repeat(fn, args, kwargs, 2)  # first-use caches (NumPy API, result type)
    objs = watched(args, kwargs)
    before = [sys.getrefcount(o) for o in objs]
    repeat(fn, args, kwargs, times)
    after = [sys.getrefcount(o) for o in objs]
    grown = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
    assert not grown, (fn.__name__, grown)


def i64(*v):
    return np.array(v, dtype=np.int64)


def forest(features=None, offsets=(0, 3), cl=(1, -1, -1), cr=(2, -1, -1), tf=(0, 0, 0), th=(0.5, 0, 0),
           vals=(0.0, 1.0, 2.0)):
    X = np.ones((4, 2)) if features is None else features
    return (X, i64(*offsets), i64(*cl), i64(*cr), i64(*tf), np.array(th, dtype=float), np.array(vals, dtype=float))


def fm_args(sl=(("a", "b"),), sr=(("a", "c"),), sm=("exact",), nl=None, nr=None, nm=("numeric",), n=2):
    nl = np.zeros((1, 2)) if nl is None else nl
    nr = np.ones((1, 2)) if nr is None else nr
    return ([list(c) for c in sl], [list(c) for c in sr], list(sm), nl, nr, list(nm), n)


HUGE = as_strided(np.zeros(1), shape=(2**40, 0), strides=(0, 8))

# (label, function, args, kwargs): one entry per kind of failure.
ERROR_CASES = [
    ("missing", m.exact_match_batch, (["a"],), {}),
    ("surplus", m.levenshtein_batch, (["a"], ["b"], ["c"]), {}),
    ("unknown keyword", m.jaccard_batch, (["a"], ["b"]), {"middle": ["x"]}),
    ("duplicate", m.cosine_batch, (["a"], ["b"]), {"left": ["x"]}),
    ("str column", m.exact_match_batch, ("ab", ["x"]), {}),
    ("not a sequence", m.soundex_batch, ({"a": 1}, ["x"]), {}),
    ("non-str item", m.jaro_winkler_batch, (["a", "b", None], ["a", "b", "c"]), {}),
    ("non-str right item", m.token_sort_ratio_batch, (["a", "b"], ["a", 3]), {}),
    ("surrogate", m.damerau_levenshtein_batch, (["ok", "\ud800x"], ["a", "b"]), {}),
    ("raising item", m.exact_match_batch, (Seq(["a", "b", "c"], fail_at=1), ["a", "b", "c"]), {}),
    ("lengths", m.levenshtein_batch, (["a", "b"], ["a"]), {}),
    ("float item None", m.numeric_distance_batch, ([1.0, None], [1.0, 2.0]), {}),
    ("float overflow", m.numeric_similarity_batch, ([10**400], [1.0]), {}),
    ("float raises", m.numeric_distance_batch, ([Floaty(1.0), Floaty(None)], [1.0, 2.0]), {}),
    ("float lengths", m.numeric_similarity_batch, ([Floaty(1.0)], []), {}),
    ("fm inner str", m.compute_feature_matrix, ("ab",) + fm_args()[1:], {}),
    ("fm table item", m.compute_feature_matrix, fm_args(sl=(("a", "b"), "xy")), {}),
    ("fm array type", m.compute_feature_matrix, fm_args(nl=np.zeros((1, 2), dtype=np.float32)), {}),
    ("fm 1-d array", m.compute_feature_matrix, fm_args(nr=np.zeros(2)), {}),
    ("fm count negative", m.compute_feature_matrix, fm_args(n=-1), {}),
    ("fm count float", m.compute_feature_matrix, fm_args(n=2.0), {}),
    ("fm string sides", m.compute_feature_matrix, fm_args(sm=("exact", "exact")), {}),
    ("fm numeric sides", m.compute_feature_matrix, fm_args(nm=()), {}),
    ("fm nothing", m.compute_feature_matrix, ([], [], [], np.zeros((0, 0)), np.zeros((0, 0)), [], 0), {}),
    ("fm string metric", m.compute_feature_matrix, fm_args(sm=("fuzzy",)), {}),
    ("fm numeric metric", m.compute_feature_matrix, fm_args(nm=("Numeric",)), {}),
    ("fm string length", m.compute_feature_matrix, fm_args(sl=(("a",),)), {}),
    ("fm numeric length", m.compute_feature_matrix, fm_args(n=2, nl=np.zeros((1, 3))), {}),
    ("lr shape", m.predict_batch, (np.ones((3, 2)), np.ones(3), 0.0), {}),
    ("lr list", m.predict_batch, ([[1.0]], np.ones(1), 0.0), {}),
    ("lr bias", m.predict_batch, (np.ones((3, 2)), np.ones(2), "x"), {}),
    ("trees contiguity", m.predict_forest_batch, forest()[:2] + (i64(1, 9, -1, 9, -1, 9)[::2],) + forest()[3:], {}),
    ("trees no tree", m.predict_gbdt_batch, forest(offsets=(0,)) + (0.1, 0.0), {}),
    ("trees int32", m.predict_forest_batch, forest()[:1] + (np.array([0, 3], dtype=np.int32),) + forest()[2:], {}),
    ("trees empty tree", m.predict_forest_batch, forest(offsets=(0, 0)), {}),
    ("trees range end", m.predict_gbdt_batch, forest(offsets=(0, 9)) + (0.1, 0.0), {}),
    ("trees bad child", m.predict_forest_batch, forest(cl=(7, -1, -1), th=(5.0, 0, 0)), {}),
    ("trees cycle", m.predict_forest_batch, forest(cl=(1, 0, -1), tf=(0, 5, 0), th=(5.0, 5.0, 0)), {}),
    ("svm columns", m.predict_svm_batch, (np.ones((2, 3)), np.ones((2, 2)), np.ones(2), 0.0, 1.0, 1.0, 0.0), {}),
    ("svm rows", m.predict_svm_batch, (np.ones((2, 2)), np.ones((2, 2)), np.ones(3), 0.0, 1.0, 1.0, 0.0), {}),
    ("svm strided coef", m.predict_svm_batch, (np.ones((2, 2)), np.ones((2, 2)), np.ones(4)[::2], 0.0, 1.0, 1.0,
                                               0.0), {}),
    ("svm scalar", m.predict_svm_batch, (np.ones((2, 2)), np.ones((2, 2)), np.ones(2), 0.0, None, 1.0, 0.0), {}),
]
if not SANITIZED:  # the sanitizer's operator new aborts instead of throwing
    ERROR_CASES.append(("memory", m.predict_batch, (HUGE, np.zeros(0), 0.0), {}))


def test_error_cases_fail_as_intended():
    # Guards the table below it: every case does fail, and with the
    # exception class its label names.
    for label, fn, args, kwargs in ERROR_CASES:
        with pytest.raises(BaseException) as info:
            fn(*args, **kwargs)
        err = info.value
        if label.startswith("trees ") and label not in ("trees contiguity", "trees no tree", "trees int32"):
            assert isinstance(err, PanicException), label
        elif label == "memory":
            assert isinstance(err, MemoryError)
        else:
            assert isinstance(err, (TypeError, ValueError, OverflowError, UnicodeEncodeError, Boom)) or (
                label == "svm strided coef" and isinstance(err, PanicException)), (label, err)


@pytest.mark.parametrize("case", ERROR_CASES, ids=[c[0] for c in ERROR_CASES])
def test_refcounts_stable_on_error_paths(case):
    _, fn, args, kwargs = case
    assert_refcounts_stable(fn, args, kwargs)


def test_refcounts_stable_on_success():
    for name, args in valid_calls(seed=3, rows=20):
        assert_refcounts_stable(getattr(m, name), args, times=20)
        # Keyword calls go through a different binding path.
        assert_refcounts_stable(getattr(m, name), (), kwargs=dict(zip(
            m.__dict__[name].__text_signature__.strip("()").split(", "), args)), times=10)


def test_arguments_are_freed_after_calls():
    # Arrays are held for the duration of the call only; sequences and
    # their items are not kept either, on success or on failure.
    X = np.random.default_rng(0).normal(size=(50, 4))
    w, sv, coef = np.ones(4), np.ones((3, 4)), np.ones(3)
    seq = Seq(["abc", "abd"] * 20)
    bad = Seq(["abc"] * 10, fail_at=5)
    refs = [weakref.ref(o) for o in (X, w, sv, coef, seq, bad)]
    for _ in range(5):
        m.predict_batch(X, w, 0.0)
        m.predict_svm_batch(X, sv, coef, 0.0, 1.0, 1.0, 0.0)
        m.jaro_winkler_batch(seq, seq)
        with pytest.raises(Boom):
            m.exact_match_batch(bad, seq)
        with pytest.raises(ValueError):
            m.predict_svm_batch(X, sv, w, 0.0, 1.0, 1.0, 0.0)
    del X, w, sv, coef, seq, bad
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_result_arrays_own_and_free_their_buffers():
    out = m.predict_batch(np.ones((1000, 2)), np.ones(2), 0.0)
    assert sys.getrefcount(out) == 2  # the name and getrefcount's argument
    base = out.base
    assert type(base).__name__ == "PySliceContainer"
    assert sys.getrefcount(base) == 3  # out.base, the name, the argument
    ref = weakref.ref(out)
    del base, out
    gc.collect()
    assert ref() is None
    # Lists of floats hold fresh floats only.
    res = m.exact_match_batch(["a", "b"], ["a", "c"])
    assert sys.getrefcount(res) == 2
    assert [sys.getrefcount(x) for x in res] == [3, 3]  # the list, x, the argument


def test_python_memory_flat_over_many_calls():
    # A leaked float, list, exception or array object per call shows up as
    # steady growth of the interpreter's traced memory (one float a call is
    # 4.8 kB over 200 calls).
    cases = [(name, getattr(m, name), args, {}) for name, args in valid_calls(seed=5, rows=30)]
    cases += [(label, fn, args, kwargs) for label, fn, args, kwargs in ERROR_CASES]
    grown = []
    gc.collect()
    gc.disable()
    tracemalloc.start()
    try:
        for label, fn, args, kwargs in cases:
            repeat(fn, args, kwargs, 5)
            # Caches of the interpreter may fill during one round; a leak
            # grows in every round.
            growth = []
            for _ in range(2):
                start, _ = tracemalloc.get_traced_memory()
                repeat(fn, args, kwargs, 200)
                end, _ = tracemalloc.get_traced_memory()
                growth.append(end - start)
            if min(growth) > 2048:
                grown.append((label, growth))
    finally:
        tracemalloc.stop()
        gc.enable()
    assert not grown


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory on purpose")
def test_process_memory_bounded_over_many_calls():
    # Native buffers (converted strings, row-major copies, result vectors)
    # are not seen by tracemalloc: watch the resident size instead.
    rng = np.random.default_rng(1)
    X = np.asfortranarray(rng.normal(size=(4000, 12)))  # copied on every tree/SVM call
    layout = (i64(0, 3, 6), i64(1, -1, -1, 1, -1, -1), i64(2, -1, -1, 2, -1, -1), i64(0, 0, 0, 3, 0, 0),
              np.array([0.0, 0, 0, 0.5, 0, 0]), np.array([0.0, 1.0, 2.0, 0, 3.0, 4.0]))
    words = ["alpha beta", "gamma", "délta épsilon"] * 2000
    nl = np.asfortranarray(rng.normal(size=(3, 6000)))

    def round_():
        m.predict_forest_batch(X, *layout)
        m.predict_gbdt_batch(X, *layout, 0.1, 0.0)
        m.predict_svm_batch(X, X[:5], np.ones(5), 0.0, 0.1, 1.0, 0.0)
        m.predict_batch(X, np.ones(12), 0.0)
        m.token_sort_ratio_batch(words, words[::-1])
        m.compute_feature_matrix([words], [words], ["jaccard"], nl, nl, ["numeric"] * 3, 6000)
        with pytest.raises(ValueError):
            m.compute_feature_matrix([words], [words], ["jaccard"], nl, nl, ["numeric"] * 3, 5999)
        with pytest.raises(PanicException):
            m.predict_forest_batch(X, i64(0, 3, 3), *layout[1:])

    for _ in range(5):
        round_()
    gc.collect()
    start = rss_bytes()
    for _ in range(60):
        round_()
    gc.collect()
    growth = rss_bytes() - start
    # One round allocates well over 2 MB; sixty leaking rounds would add
    # more than 100 MB.
    assert growth < 24 * 2**20, growth
