"""Property tests of every entry point with arbitrary and hostile input.

The property everywhere: a call either returns the correct result (equal to
a slow reference where one exists) or raises one of the documented
exceptions; it never crashes, hangs or reports a failure as success.

CORVANE_FUZZ_EXAMPLES raises the number of examples per property (default
40); CORVANE_HANG_TIMEOUT bounds each test's run time in seconds.
"""

import math
import os
import subprocess
import sys
from collections import deque
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import _corvane_rs as m
from reliability_support import (
    ALL_FUNCTIONS, ARRAY_KINDS, FLOAT_PAIRWISE, NUMERIC_METRICS, PARAMS, STRING_METRICS,
    STRING_PAIRWISE, PanicException, RefFailure, accepts_array, as_plain, feature_matrix_failure,
    feature_matrix_reference, hang_guard, logistic_scores, numeric_distance, numeric_similarity, same_floats,
    svm_scores, tree_scores)
from test_jaro_winkler import jaro_winkler_reference
from test_soundex import soundex_reference
from test_tokens import cosine_reference, jaccard_reference, token_sort_reference

from rapidfuzz.distance import DamerauLevenshtein, Levenshtein

EXAMPLES = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.filter_too_much])


@pytest.fixture(autouse=True)
def _no_hang():
    with hang_guard():
        yield


class Boom(Exception):
    """Raised by the hostile objects below; must pass through unchanged."""


# ---- references of the string metrics ---------------------------------------


def _edit_similarity(distance):
    def score(a, b):
        longest = max(len(a), len(b))
        return 1.0 if longest == 0 else 1.0 - distance(a, b) / longest
    return score


STRING_REFERENCE = {
    "jaro_winkler_batch": jaro_winkler_reference,
    "levenshtein_batch": _edit_similarity(Levenshtein.distance),
    "damerau_levenshtein_batch": _edit_similarity(DamerauLevenshtein.distance),
    "exact_match_batch": lambda a, b: 1.0 if a.encode() == b.encode() else 0.0,
    "soundex_batch": lambda a, b: 1.0 if soundex_reference(a) == soundex_reference(b) else 0.0,
    "jaccard_batch": jaccard_reference,
    "cosine_batch": cosine_reference,
    "token_sort_ratio_batch": token_sort_reference,
}
FLOAT_REFERENCE = {"numeric_distance_batch": numeric_distance, "numeric_similarity_batch": numeric_similarity}


def cosine_close(got, want):
    # Cosine is allowed to differ from 1.0 in its last bit; elsewhere exact.
    return all(a == b or (abs(a - b) <= 2.3e-16 and b == 1.0) for a, b in zip(got, want))


# ---- strategies ----------------------------------------------------------------

# Every code point, surrogates included (they must raise UnicodeEncodeError).
any_char = st.characters(codec=None, categories=None)
likely_char = st.one_of(st.sampled_from("abcAB éü日\U0001f600 \t\u2003-'"), any_char)
# Mostly short strings of any characters, sometimes long ones over a small
# alphabet (past the 64-character word of the bit-parallel kernels).
texts = st.text(likely_char, max_size=14) | st.text(st.sampled_from("abé日 \U0001f600"), min_size=50, max_size=150)
clean_texts = st.text(st.characters(exclude_categories=["Cs"]), max_size=14)


def has_surrogate(s):
    return any(0xD800 <= ord(c) <= 0xDFFF for c in s)


class SeqOnly:
    """A sequence known only through __len__ and __getitem__."""

    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]


class RaisingLen(SeqOnly):
    def __len__(self):
        raise Boom("len")


class RaisingItem(SeqOnly):
    def __getitem__(self, i):
        if i == len(self.items) // 2:
            raise Boom("item")
        return self.items[i]


class FloatRaises:
    def __float__(self):
        raise Boom("float")


class IndexRaises:
    def __index__(self):
        raise Boom("index")


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class StrSub(str):
    pass


class FloatSub(float):
    pass


class ArraySub(np.ndarray):
    pass


def sequence_of(items, kind):
    if kind == "list":
        return list(items)
    if kind == "tuple":
        return tuple(items)
    if kind == "deque":
        return deque(items)
    if kind == "seq":
        return SeqOnly(items)
    if kind == "lying_short":
        return SeqOnly(items, length=max(0, len(items) - 2))
    if kind == "lying_long":
        return SeqOnly(items, length=len(items) + 1000)
    if kind == "raising_len":
        return RaisingLen(items)
    raise AssertionError(kind)


SEQ_KINDS = ["list", "tuple", "deque", "seq", "lying_short", "lying_long", "raising_len"]

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(), st.complex_numbers(), st.text(any_char, max_size=5), st.binary(max_size=5),
    st.decimals(allow_nan=True), st.fractions(),
    st.builds(FloatLike, st.floats()), st.builds(IndexLike, st.integers(-5, 2**65)),
    st.builds(FloatRaises), st.builds(IndexRaises), st.builds(StrSub, st.text(max_size=3)),
    st.builds(FloatSub, st.floats()), st.just(object()), st.just(Ellipsis), st.just(len),
)

every_dtype = st.one_of(
    hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=3), hnp.unicode_string_dtypes(max_len=3),
    hnp.floating_dtypes(endianness=">"), hnp.integer_dtypes(endianness=">"),
    hnp.array_dtypes(max_size=2), st.just(np.dtype(object)), st.just(np.dtype(np.int32)),
    st.just(np.dtype(np.float32)), st.just(np.dtype(np.longlong)), st.just(np.dtype(np.float64)),
    st.just(np.dtype(np.int64)),
)
any_arrays = hnp.arrays(every_dtype, hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=3),
                        elements=None, fill=st.nothing()) | hnp.arrays(
    st.sampled_from([np.float64, np.int64]), hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))

hostile = st.recursive(
    st.one_of(scalars, any_arrays, st.builds(lambda a: a.view(ArraySub), any_arrays)),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(st.text(max_size=2), inner, max_size=2),
        st.frozensets(st.integers(), max_size=3), st.sets(st.text(max_size=2), max_size=3),
        st.builds(SeqOnly, st.lists(inner, max_size=3)), st.builds(RaisingItem, st.lists(inner, max_size=3)),
        st.builds(RaisingLen, st.lists(inner, max_size=3)),
        st.builds(lambda n: range(n), st.integers(0, 40)),
    ),
    max_leaves=8,
)


# ---- strided float64 views ---------------------------------------------------------

INTERESTING = [0.0, -0.0, 1.0, -1.5, 2.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf, math.nan, 3.0, 7.25]


@st.composite
def strided_f64(draw, ndim, shape=None, min_side=0, max_side=5):
    """A float64 view with arbitrary byte strides over a byte buffer: negative,
    zero, odd and unaligned strides, and unaligned start addresses. Every
    element lies inside the buffer."""
    if shape is None:
        shape = tuple(draw(st.integers(min_side, max_side)) for _ in range(ndim))
    kind = draw(st.sampled_from(["c", "f", "strided", "strided", "negative", "zero"]))
    strides = []
    for k, n in enumerate(shape):
        if kind == "c":
            s = 8 * int(np.prod(shape[k + 1:], dtype=np.int64))
        elif kind == "f":
            s = 8 * int(np.prod(shape[:k], dtype=np.int64))
        elif kind == "zero":
            s = draw(st.sampled_from([0, 8, -8, 0]))
        else:
            s = draw(st.sampled_from([8, 16, 24, -8, -16, 9, 11, 13, -9, 1, 3, 0, 40, 8 * (max_side + 1)]))
        strides.append(s)
    lo = sum((n - 1) * s for n, s in zip(shape, strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, strides) if s > 0 and n > 0)
    misalign = draw(st.sampled_from([0, 0, 1, 3, 4]))
    size = hi - lo + 8 + misalign + 8
    values = draw(st.lists(st.sampled_from(INTERESTING) | st.floats(-100, 100), min_size=size // 8 + 1,
                           max_size=size // 8 + 1))
    buf = np.frombuffer(np.array(values, dtype=np.float64).tobytes(), dtype=np.uint8).copy()
    start = misalign - lo
    base = buf[start:start + 8].view(np.float64)
    view = as_strided(base, shape=shape, strides=strides, writeable=False)
    return view


def call_with(fn, args, kwargs=None):
    """(result, exception) of one call."""
    try:
        return fn(*args, **(kwargs or {})), None
    except BaseException as e:  # noqa: BLE001
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        return None, e


# ---- string and float pairwise functions -----------------------------------------


@FUZZ
@given(st.data())
def test_string_functions_any_unicode_any_sequence(data):
    n = data.draw(st.integers(0, 6))
    left = data.draw(st.lists(texts, min_size=n, max_size=n))
    right = data.draw(st.lists(texts, min_size=n, max_size=n) | st.lists(texts, max_size=7))
    lk, rk = data.draw(st.sampled_from(SEQ_KINDS)), data.draw(st.sampled_from(SEQ_KINDS))
    for name in STRING_PAIRWISE:
        got, err = call_with(getattr(m, name), (sequence_of(left, lk), sequence_of(right, rk)))
        if any(map(has_surrogate, left)) or any(map(has_surrogate, right)):
            # Left is converted before right; the first surrogate raises.
            assert isinstance(err, UnicodeEncodeError), (name, err)
            continue
        if len(left) != len(right):
            assert isinstance(err, ValueError) and str(err) == "left and right must have the same length"
            continue
        assert err is None, (name, err)
        assert type(got) is list and all(type(x) is float for x in got)
        want = [STRING_REFERENCE[name](a, b) for a, b in zip(left, right)]
        if name == "cosine_batch":
            assert cosine_close(got, want), (left, right, got, want)
        else:
            assert got == want, (name, left, right, got, want)


float_items = st.one_of(
    st.floats(), st.integers(-(2**60), 2**60), st.booleans(), st.sampled_from(INTERESTING),
    st.decimals(allow_nan=False, allow_infinity=True, places=3), st.fractions(max_denominator=1000),
    st.builds(FloatSub, st.floats()), st.builds(np.float64, st.floats()), st.builds(np.float32, st.floats(width=32)),
    st.builds(np.int64, st.integers(-(2**62), 2**62)), st.builds(FloatLike, st.floats()),
    st.builds(IndexLike, st.integers(-(2**40), 2**40)),
)
bad_float_items = st.one_of(st.none(), st.text(max_size=2), st.builds(FloatRaises),
                            st.integers(min_value=2**1024), st.builds(FloatLike, st.integers()),
                            st.complex_numbers(), st.lists(st.floats(), max_size=1))


def float_value(x):
    """What the interpreter's float conversion (PyFloat_AsDouble) gives: a
    float as it is, else __float__ (which must return a float), else
    __index__ converted to float; anything else is a TypeError."""
    if isinstance(x, float):
        return float(x)
    t = type(x)
    if hasattr(t, "__float__"):
        r = t.__float__(x)
        if not isinstance(r, float):
            raise TypeError("__float__ returned non-float")
        return float(r)
    if hasattr(t, "__index__"):
        return float(t.__index__(x))
    raise TypeError("must be real number")


def float_item_error(x):
    try:
        float_value(x)
    except BaseException as e:  # noqa: BLE001
        return type(e)
    return None


@FUZZ
@given(st.data())
def test_float_functions_arbitrary_items(data):
    n = data.draw(st.integers(0, 8))
    left = data.draw(st.lists(float_items | bad_float_items if data.draw(st.booleans()) else float_items,
                              min_size=n, max_size=n))
    right = data.draw(st.lists(float_items, min_size=n, max_size=n) | st.lists(float_items, max_size=9))
    for name in FLOAT_PAIRWISE:
        got, err = call_with(getattr(m, name), (sequence_of(left, data.draw(st.sampled_from(SEQ_KINDS))), right))
        errors = [e for e in map(float_item_error, left) if e]
        if errors:
            assert type(err) is errors[0], (left, err)
            if type(err) is TypeError:
                assert str(err).startswith("argument 'left': ")
            continue
        if len(left) != len(right):
            assert isinstance(err, ValueError) and str(err) == "left and right must have the same length"
            continue
        assert err is None, err
        ref = FLOAT_REFERENCE[name]
        want = [ref(float_value(a), float_value(b)) for a, b in zip(left, right)]
        assert same_floats(got, want), (left, right, got, want)


# ---- binding rules ---------------------------------------------------------------


def binding_error(name, n_positional, keywords):
    """The binding TypeError message for this call shape, or None."""
    params = PARAMS[name]
    f = f"{name}()"
    if n_positional > len(params):
        verb = "was" if n_positional == 1 else "were"
        return f"{f} takes {len(params)} positional arguments but {n_positional} {verb} given"
    filled = set(params[:n_positional])
    for k in keywords:
        if k not in params:
            return f"{f} got an unexpected keyword argument '{k}'"
        if k in filled:
            return f"{f} got multiple values for argument '{k}'"
        filled.add(k)
    missing = [p for p in params if p not in filled]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) == 1:
            listing = quoted[0]
        elif len(quoted) == 2:
            listing = f"{quoted[0]} and {quoted[1]}"
        else:
            listing = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        noun = "argument" if len(missing) == 1 else "arguments"
        return f"{f} missing {len(missing)} required positional {noun}: {listing}"
    return None


@FUZZ
@given(st.sampled_from(ALL_FUNCTIONS), st.data())
def test_binding_any_call_shape(name, data):
    params = PARAMS[name]
    n_positional = data.draw(st.integers(0, len(params) + 2))
    pool = list(params) + ["bogus", "Left", "left ", "é", "features"]
    keywords = data.draw(st.lists(st.sampled_from(pool), unique=True, max_size=len(params) + 1))
    sentinel = object()  # never reached: binding fails first, or conversion does
    args = [sentinel] * n_positional
    kwargs = {k: sentinel for k in keywords}
    _, err = call_with(getattr(m, name), args, kwargs)
    want = binding_error(name, n_positional, keywords)
    if want is not None:
        assert type(err) is TypeError and str(err) == want, (err, want)
    else:
        # Every slot bound to a plain object: the first parameter refuses it.
        assert type(err) is TypeError and str(err).startswith(f"argument '{params[0]}': "), err


# ---- every function, any argument ---------------------------------------------------

BASE_ARGS = {
    **{name: (["ab", "b c"], ["ab", "c b"]) for name in STRING_PAIRWISE},
    **{name: ([1.0, 2.0], [1.0, 3.5]) for name in FLOAT_PAIRWISE},
    "compute_feature_matrix": ([["a", "b"]], [["a", "c"]], ["exact"], np.zeros((1, 2)), np.ones((1, 2)),
                               ["numeric"], 2),
    "predict_batch": (np.ones((2, 3)), np.ones(3), 0.5),
    "predict_forest_batch": (np.ones((2, 2)), np.array([0, 3]), np.array([1, -1, -1]), np.array([2, -1, -1]),
                             np.array([0, 0, 0]), np.array([0.5, 0, 0]), np.array([0.0, 1.0, 2.0])),
    "predict_svm_batch": (np.ones((2, 2)), np.ones((3, 2)), np.ones(3), 0.0, 1.0, -1.0, 0.0),
}
BASE_ARGS["predict_gbdt_batch"] = BASE_ARGS["predict_forest_batch"] + (0.1, 0.0)

DOCUMENTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError, Boom)
MAY_PANIC = {"predict_forest_batch", "predict_gbdt_batch", "predict_svm_batch"}


@FUZZ
@given(st.sampled_from(ALL_FUNCTIONS), st.data())
def test_any_function_any_arguments(name, data):
    params = PARAMS[name]
    args = list(BASE_ARGS[name])
    replaced = data.draw(st.sets(st.integers(0, len(params) - 1), min_size=1))
    for i in sorted(replaced):
        args[i] = data.draw(hostile, label=params[i])
    by_keyword = data.draw(st.booleans())
    if by_keyword:
        order = data.draw(st.permutations(range(len(params))))
        result, err = call_with(getattr(m, name), (), {params[i]: args[i] for i in order})
    else:
        result, err = call_with(getattr(m, name), args)

    arrays = ARRAY_KINDS.get(name, {})
    if err is None:
        if name in STRING_PAIRWISE + FLOAT_PAIRWISE:
            assert type(result) is list and all(type(x) is float for x in result)
        else:
            assert type(result) is np.ndarray and result.dtype == np.float64 and result.ndim == 1
        for p, (dtype, ndim) in arrays.items():
            assert accepts_array(args[params.index(p)], dtype, ndim), p
        return
    assert isinstance(err, DOCUMENTED) or (isinstance(err, PanicException) and name in MAY_PANIC), repr(err)
    if type(err) is TypeError and str(err).startswith("argument '"):
        reported = str(err)[len("argument '"):].split("'", 1)[0]
        assert reported in params
        k = params.index(reported)
        assert k in replaced, (reported, err)  # the base values all convert
        # Arguments convert in order: every array before the reported one
        # was accepted, and a refused array is reported with the fixed text.
        for p, (dtype, ndim) in arrays.items():
            if params.index(p) < k:
                assert accepts_array(args[params.index(p)], dtype, ndim), (p, err)
        if reported in arrays:
            obj = args[k]
            dtype, ndim = arrays[reported]
            if not accepts_array(obj, dtype, ndim):
                assert str(err) == (f"argument '{reported}': '{type(obj).__qualname__}' object cannot be "
                                    "converted to 'PyArray<T, D>'"), err


# ---- array layouts ---------------------------------------------------------------


def assert_same_result(fn, view_args, copy_args):
    got, err = call_with(fn, view_args)
    want, want_err = call_with(fn, copy_args)
    if want_err is not None:
        assert type(err) is type(want_err) and str(err) == str(want_err)
    else:
        assert err is None, err
        assert same_floats(got.tolist(), want.tolist())


@FUZZ
@given(st.data())
def test_matrix_layouts_read_like_their_copies(data):
    X = data.draw(strided_f64(2))
    f = X.shape[1]
    dense = np.array(X)
    # predict_batch: the order of the sums depends on the strides.
    w = data.draw(strided_f64(1, shape=(f,)))
    got = m.predict_batch(X, w, 0.125)
    assert same_floats(got.tolist(), logistic_scores(X, w, 0.125))
    # SVM: layout of features and support vectors never matters.
    sv = data.draw(strided_f64(2, shape=(data.draw(st.integers(0, 4)), f)))
    coef = np.linspace(-1.0, 1.0, sv.shape[0])
    args = (0.5, 0.3, -1.25, 0.1)
    got, err = call_with(m.predict_svm_batch, (X, sv, coef) + args)
    assert err is None, err
    assert same_floats(got.tolist(), svm_scores(dense, np.array(sv), coef, *args))
    assert same_floats(got.tolist(), m.predict_svm_batch(dense, np.array(sv), coef, *args).tolist())
    # Trees: a strided feature matrix scores as its row-major copy.
    layout = (np.array([0, 3]), np.array([1, -1, -1]), np.array([2, -1, -1]), np.array([0, 0, 0]),
              np.array([0.5, 0.0, 0.0]), np.array([0.0, 1.0, 2.0]))
    assert_same_result(m.predict_forest_batch, (X,) + layout, (dense,) + layout)
    assert_same_result(m.predict_gbdt_batch, (X,) + layout + (0.5, 0.1), (dense,) + layout + (0.5, 0.1))
    # Feature matrix: numeric arrays in any layout.
    rows = X.shape[0]
    right = data.draw(strided_f64(2, shape=X.shape))
    metrics = data.draw(st.lists(st.sampled_from(NUMERIC_METRICS), min_size=rows, max_size=rows))
    got, err = call_with(m.compute_feature_matrix, ([], [], [], X, right, metrics, f))
    want = feature_matrix_failure([], [], [], X, right, metrics, f)
    if want is not None:
        assert type(err) is ValueError and str(err) == want
    else:
        assert err is None, err
        assert same_floats(got.tolist(), feature_matrix_reference([], [], [], dense, np.array(right), metrics, f))


def strided_copy(src, step, misalign):
    """src as a 1-D view with a stride of `step` elements (any sign, or zero)
    whose data starts `misalign` bytes past an aligned address."""
    n, a = len(src), abs(step)
    big = np.zeros(max(1, (n - 1) * a + 1), dtype=src.dtype)
    for i in range(n):
        big[(n - 1 - i) * a if step < 0 else i * a] = src[i]
    raw = np.zeros(big.nbytes + 16, dtype=np.uint8)
    raw[misalign:misalign + big.nbytes] = big.view(np.uint8)
    pos = misalign + ((n - 1) * a * 8 if step < 0 and n else 0)
    return as_strided(raw[pos:pos + 8].view(src.dtype), shape=(n,), strides=(step * 8,), writeable=False)


@FUZZ
@given(st.integers(0, 5), st.sampled_from([1, 1, 2, -1, 0]), st.sampled_from([0, 1, 3]), st.data())
def test_one_dimensional_arrays_contiguity_rules(which, step, misalign, data):
    # Tree arrays must be contiguous (or shorter than two elements); dual_coef
    # of two or more must have unit stride. Unaligned contiguous arrays are fine.
    X = np.array([[0.2, 0.9], [0.7, 0.1], [1.5, -3.0]])
    layout = [np.array([0, 3]), np.array([1, -1, -1]), np.array([2, -1, -1]), np.array([1, 0, 0]),
              np.array([0.5, 0.0, 0.0]), np.array([0.0, 1.0, 2.0])]
    names = ["offsets", "children_left", "children_right", "tree_features", "thresholds", "values"]
    cut = data.draw(st.integers(0, len(layout[which])))
    layout[which] = strided_copy(layout[which][:cut] if data.draw(st.booleans()) else layout[which], step, misalign)
    arr = layout[which]
    contiguous = arr.flags.c_contiguous or arr.flags.f_contiguous
    for boosting in (False, True):
        extra = (0.3, -0.2) if boosting else ()
        fn = m.predict_gbdt_batch if boosting else m.predict_forest_batch
        got, err = call_with(fn, (X, *layout, *extra))
        if not contiguous:
            assert type(err) is ValueError
            assert str(err) == f"{names[which]} must be contiguous: The given array is not contiguous"
            continue
        if len(layout[0]) < 2:
            assert type(err) is ValueError and str(err) == "Must provide at least one tree"
            continue
        try:
            want = tree_scores(X, *[np.array(a) for a in layout], boosting=boosting, lr=0.3, init=-0.2)
        except RefFailure as failure:
            assert isinstance(err, PanicException), err
            if failure.message is not None:
                assert str(err) == failure.message
            continue
        assert err is None, err
        assert same_floats(got.tolist(), want)
    # dual_coef: any stride for fewer than two, unit stride otherwise.
    s = data.draw(st.integers(0, 4))
    coef = strided_copy(np.linspace(-1.0, 2.0, s), step, misalign)
    sv = np.arange(2.0 * s).reshape(s, 2) / 7.0
    got, err = call_with(m.predict_svm_batch, (X, sv, coef, 0.25, 0.5, 1.5, -0.5))
    if s >= 2 and step != 1:
        assert isinstance(err, PanicException) and str(err) == "called `Option::unwrap()` on a `None` value"
    else:
        assert err is None, err
        assert same_floats(got.tolist(), svm_scores(X, sv, np.array(coef), 0.25, 0.5, 1.5, -0.5))


# ---- hostile tree layouts ---------------------------------------------------------

link = st.one_of(st.integers(-3, 9), st.sampled_from([2**63 - 1, -(2**63), 2**32, 2**32 + 1]))


@st.composite
def tree_layouts(draw):
    """Flat layouts: mostly well-formed trees, then a few random faults
    (child links out of range, negative or cyclic, offsets past the ends,
    empty trees, node arrays of different lengths)."""
    n_trees = draw(st.integers(1, 4))
    f = draw(st.integers(0, 3))
    offsets, cl, cr, tf, th, vals = [0], [], [], [], [], []
    for _ in range(n_trees):
        size = draw(st.sampled_from([1, 3, 5, 7, 0, 15]))
        for i in range(size):
            left, right = 2 * i + 1, 2 * i + 2
            leaf = right >= size
            cl.append(-1 if leaf else left)
            cr.append(-1 if leaf else right)
            tf.append(draw(st.integers(-1, f)))
            th.append(draw(st.sampled_from([0.0, 0.5, -1.0, math.nan, math.inf])))
            vals.append(draw(st.sampled_from([0.25, -1.0, 2.0, math.nan, 1e308, 0.0])))
        offsets.append(len(cl))
    arrays = [offsets, cl, cr, tf, th, vals]
    for _ in range(draw(st.sampled_from([0, 0, 1, 2, 3]))):
        target = draw(st.integers(0, 5))
        a = arrays[target]
        op = draw(st.sampled_from(["set", "set", "truncate", "extend"]))
        if op == "set" and a:
            i = draw(st.integers(0, len(a) - 1))
            a[i] = draw(link) if target < 4 else draw(st.floats())
        elif op == "truncate" and a:
            del a[draw(st.integers(0, len(a) - 1)):]
        else:
            a.extend(draw(st.lists(link if target < 4 else st.floats(), max_size=3)))
    rows = draw(st.sampled_from([0, 1, 2, 5, 40, 300]))
    X = np.array(draw(st.lists(st.sampled_from([0.0, 0.5, 1.0, -2.0, math.nan, math.inf]),
                               min_size=rows * f, max_size=rows * f)), dtype=np.float64).reshape(rows, f)
    i64 = lambda a: np.array(a, dtype=np.int64)  # noqa: E731
    return X, i64(offsets), i64(cl), i64(cr), i64(tf), np.array(th, dtype=np.float64), np.array(vals, dtype=np.float64)


@FUZZ
@given(tree_layouts(), st.booleans())
def test_hostile_tree_layouts(layout, boosting):
    X = layout[0]
    extra = (0.3, -0.1) if boosting else ()
    fn = m.predict_gbdt_batch if boosting else m.predict_forest_batch
    got, err = call_with(fn, layout + extra)
    if len(layout[1]) < 2:
        assert type(err) is ValueError and str(err) == "Must provide at least one tree"
        return
    try:
        want = tree_scores(*layout, boosting=boosting, lr=0.3, init=-0.1)
    except RefFailure as failure:
        assert isinstance(err, PanicException), (err, failure)
        if failure.message is not None:
            assert str(err) == failure.message
        return
    assert err is None, err
    assert got.shape == (X.shape[0],)
    assert same_floats(got.tolist(), want)


# ---- feature matrix batches -----------------------------------------------------

metric_names = st.sampled_from(STRING_METRICS + ["Exact", "jaro-winkler", " exact", "exact\x00", "", "é",
                                                 "numeric"])
numeric_names = st.sampled_from(NUMERIC_METRICS + ["Numeric", "date-distance", "exact", "numeric "])


@FUZZ
@given(st.data())
def test_feature_matrix_random_batches(data):
    n_pairs = data.draw(st.integers(0, 4))
    off = lambda: data.draw(st.sampled_from([0, 0, 0, 0, 1, -1]))  # noqa: E731
    sized = lambda elements, n: data.draw(st.lists(elements, min_size=n, max_size=n))  # noqa: E731
    n_string = data.draw(st.integers(0, 3))
    sl = [sized(clean_texts, max(0, n_pairs + off())) for _ in range(n_string)]
    sr = [sized(clean_texts, n_pairs) for _ in range(max(0, n_string + off()))]
    sm = sized(metric_names, max(0, n_string + off()))
    n_numeric = data.draw(st.integers(0, 2))
    nl = data.draw(strided_f64(2, shape=(n_numeric, max(0, n_pairs + off()))))
    nr = data.draw(strided_f64(2, shape=(max(0, n_numeric + off()), n_pairs)))
    nm = sized(numeric_names, n_numeric)
    count = data.draw(st.sampled_from([n_pairs, n_pairs, True, np.int64(n_pairs), IndexLike(n_pairs)]))
    got, err = call_with(m.compute_feature_matrix, (sl, sr, sm, nl, nr, nm, count))
    want = feature_matrix_failure(sl, sr, sm, nl, nr, nm, int(count.__index__()))
    if want is not None:
        assert type(err) is ValueError and str(err) == want, (err, want)
        return
    assert err is None, err
    ref = feature_matrix_reference(sl, sr, sm, nl, nr, nm, int(count.__index__()))
    if "cosine" in sm:
        assert cosine_close(got.tolist(), ref)
    else:
        assert same_floats(got.tolist(), ref)


# ---- models with non-finite values --------------------------------------------------


@FUZZ
@given(st.data())
def test_svm_and_logistic_non_finite(data):
    rows, f, s = data.draw(st.integers(0, 5)), data.draw(st.integers(0, 4)), data.draw(st.integers(0, 4))
    num = st.sampled_from(INTERESTING) | st.floats()
    X = np.array(data.draw(st.lists(num, min_size=rows * f, max_size=rows * f))).reshape(rows, f)
    sv = np.array(data.draw(st.lists(num, min_size=s * f, max_size=s * f))).reshape(s, f)
    coef = np.array(data.draw(st.lists(num, min_size=s, max_size=s)), dtype=np.float64)
    scal = [data.draw(num) for _ in range(4)]
    got = m.predict_svm_batch(X, sv, coef, *scal)
    assert same_floats(got.tolist(), svm_scores(X, sv, coef, *scal))
    w = np.array(data.draw(st.lists(num, min_size=f, max_size=f)), dtype=np.float64)
    got = m.predict_batch(X, w, scal[0])
    assert same_floats(got.tolist(), logistic_scores(X, w, scal[0]))
    # Mismatched shapes are ValueErrors, never a read past the arrays.
    _, err = call_with(m.predict_batch, (X, np.zeros(f + 1), 0.0))
    assert str(err) == f"Feature matrix has {f} columns but weights has {f + 1} elements"
    _, err = call_with(m.predict_svm_batch, (X, np.zeros((s, f + 1)), coef, 0.0, 1.0, 1.0, 0.0))
    assert str(err) == f"Feature matrix has {f} columns but support vectors have {f + 1} columns"
    _, err = call_with(m.predict_svm_batch, (X, sv, np.zeros(s + 1), 0.0, 1.0, 1.0, 0.0))
    assert str(err) == f"support_vectors has {s} rows but dual_coef has {s + 1} elements"


def test_first_result_array_under_warnings_as_errors():
    # The owner type of result arrays is created on first use; doing so must
    # not emit a warning, or -W error turns every array result into a failure.
    script = ("import numpy as np, _corvane_rs as m\n"
              "print(m.predict_batch(np.ones((2, 1)), np.ones(1), 0.0).tolist())\n")
    out = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True,
                         timeout=120, env=os.environ)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([1.0 / (math.exp(-1.0) + 1.0)] * 2)


class Callback:
    """Runs `action` whenever the module converts it (as a float, a count,
    or an item of a sequence)."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class CallbackSeq:
    def __init__(self, items, action):
        self.items, self.action = items, action

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.action()
        return self.items[i]


def test_conversion_callbacks_cannot_pull_memory_away():
    # Python code that runs during argument conversion may call the module
    # again, collect garbage, or try to resize an array already taken; the
    # call still reads consistent inputs or fails cleanly.
    import gc
    X = np.ones((4, 2))
    layout = (np.array([0, 1]), np.array([-1]), np.array([-1]), np.array([-1]), np.array([1.0]), np.array([3.0]))
    with pytest.raises(ValueError, match="cannot resize"):
        m.predict_gbdt_batch(X, *layout, Callback(lambda: X.resize((10**6,)), 0.5), 0.0)
    assert X.shape == (4, 2)

    nested = []
    reenter = lambda: nested.append(m.levenshtein_batch(["kitten"] * 3, ["sitting"] * 3))  # noqa: E731
    got = m.jaro_winkler_batch(CallbackSeq(["abc", "abd"], reenter), CallbackSeq(["abc", "xyz"], gc.collect))
    assert got == [1.0, 0.0] and nested and all(n == [1.0 - 3 / 7] * 3 for n in nested)

    left = ["alpha", "beta"]
    got = m.exact_match_batch(left, CallbackSeq(["alpha", "beta"], left.clear))  # left is already converted
    assert got == [1.0, 1.0]

    inner = lambda: nested.append(m.compute_feature_matrix([["a"]], [["a"]], ["exact"], np.zeros((0, 0)),  # noqa: E731
                                                           np.zeros((0, 0)), [], 1).tolist())
    out = m.compute_feature_matrix([["x", "y"]], [["x", "z"]], ["exact"], np.zeros((0, 0)), np.zeros((0, 0)), [],
                                   Callback(inner, 2))
    assert out.tolist() == [1.0, 0.0] and nested[-1] == [1.0]
    got = m.numeric_distance_batch([Callback(reenter, 1.0), Callback(gc.collect, 2.0)], [0.5, 4.0])
    assert got == [0.5, 2.0]


def test_lists_mutated_during_their_own_conversion():
    # Items are taken as iteration yields them while the list changes under
    # the conversion: cleared, grown, or items replaced and freed.
    lst = []
    lst.extend([Callback(lst.clear, 1.0), 2.0, 3.0])
    assert m.numeric_distance_batch(lst, [0.0]) == [1.0]

    grown = []
    grown.extend([Callback(lambda: grown.append(7.0), 1.0), 2.0])
    assert m.numeric_distance_batch(grown, [0.0, 0.0, 0.0]) == [1.0, 2.0, 7.0]

    swapped = []
    swapped.extend([Callback(lambda: swapped.__setitem__(1, Callback(lambda: None, 9.0)), 1.0),
                    Callback(lambda: None, 2.0)])
    assert m.numeric_distance_batch(swapped, [0.0, 0.0]) == [1.0, 9.0]

    outer = [None, ["c"], ["d"]]
    outer[0] = CallbackSeq(["a"], lambda: outer.__setitem__(slice(1, None), [["z"]]))
    out = m.compute_feature_matrix(outer, [["a"], ["z"]], ["exact", "exact"], np.zeros((0, 0)), np.zeros((0, 0)),
                                   [], 1)
    assert out.tolist() == [1.0, 1.0]
