"""Properties of every entry point under arbitrary input: a call returns
its reference's result or raises one of the documented exceptions; it
never crashes, hangs or reports a failure as success.

CORVANE_FUZZ_EXAMPLES sets the examples per property (default 40)."""

import math
import os
from collections import deque
from decimal import Decimal
from fractions import Fraction

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.lib.stride_tricks import as_strided

import _corvane_rs as m
from cases import STUMP, Boom, Callback, Floaty, Seq
from support import (BATCH, NUMERIC_METRICS, PARAMS, REFERENCE, STRING_METRICS, PanicException, RefFailure,
                     layout, logistic_scores, same_floats, svm_scores, tree_scores, valid_calls)

FUZZ = settings(max_examples=int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "40")), deadline=None, database=None,
                suppress_health_check=list(HealthCheck), print_blob=True)


def outcome(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001
        return None, e


class NoLength(Seq):
    def __len__(self):
        raise Boom("len")  # only a capacity hint: ignored


SEQUENCES = [list, tuple, deque, Seq, NoLength, lambda s: Seq(s, length=max(0, len(s) - 2)),
             lambda s: Seq(s, length=len(s) + 1000)]
sequences = st.sampled_from(SEQUENCES)
any_char = st.characters(codec=None, categories=None)  # surrogates included: they must raise
texts = st.text(st.sampled_from("abcAB éü日\U0001f600 \t\u2003-'") | any_char, max_size=14) | st.text(
    st.sampled_from("abé日 \U0001f600"), min_size=50, max_size=150)


@FUZZ
@given(st.data())
def test_string_functions(data):
    n = data.draw(st.integers(0, 6))
    left = data.draw(st.lists(texts, min_size=n, max_size=n))
    right = data.draw(st.lists(texts, min_size=n, max_size=n) | st.lists(texts, max_size=7))
    wrap_l, wrap_r = data.draw(sequences), data.draw(sequences)
    for metric in STRING_METRICS:
        got, err = outcome(getattr(m, BATCH[metric]), wrap_l(left), wrap_r(right))
        if any(0xD800 <= ord(c) <= 0xDFFF for s in left + right for c in s):
            assert isinstance(err, UnicodeEncodeError), err
        elif len(left) != len(right):
            assert type(err) is ValueError and str(err) == "left and right must have the same length"
        else:
            assert err is None and type(got) is list and all(type(x) is float for x in got), err
            assert got == [REFERENCE[metric](a, b) for a, b in zip(left, right)], (metric, left, right)


# ---- any argument of any function ---------------------------------------------

BASE = dict(valid_calls(seed=0, rows=2))
# By function and parameter: one name may take arrays of other shapes in two
# functions (match_weight_batch's scores are 2-D, frequency_weight_batch's 1-D).
ARRAYS = {(name, p): (a.dtype, a.ndim) for name, args in BASE.items() for p, a in zip(PARAMS[name], args)
          if isinstance(a, np.ndarray)}
TREE = layout([STUMP])


# Arguments that also take a list or tuple of such arrays, each converted as
# an argument of its own.
LISTED = {("count_rule_pairs", "keys")}


def accepted(obj, name, param):
    dtype, ndim = ARRAYS[name, param]
    if (name, param) in LISTED and isinstance(obj, (list, tuple)):
        return all(is_array(item, dtype, ndim) for item in obj)
    return is_array(obj, dtype, ndim)


def is_array(obj, dtype, ndim):
    return isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == dtype


def refused_type(obj, name, param):
    """The type an argument's conversion error names: a listed argument's first refused item."""
    if (name, param) in LISTED and isinstance(obj, (list, tuple)):
        obj = next(item for item in obj if not is_array(item, *ARRAYS[name, param]))
    return type(obj).__qualname__


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.complex_numbers(), st.text(any_char, max_size=5),
    st.binary(max_size=5), st.decimals(allow_nan=True), st.fractions(), st.builds(Callback, st.just(int), st.floats()),
    st.builds(Callback, st.just(int), st.integers(-5, 2**65)), st.just(Floaty()), st.just(object()), st.just(len))
any_arrays = hnp.arrays(
    st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(max_len=3), hnp.unicode_string_dtypes(max_len=3),
              hnp.floating_dtypes(endianness=">"), hnp.integer_dtypes(endianness=">"), hnp.array_dtypes(max_size=2),
              st.sampled_from([np.dtype(object), np.int32, np.float32, np.float64, np.int64])),
    hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=3), elements=None, fill=st.nothing()) | hnp.arrays(
    st.sampled_from([np.float64, np.int64]), hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
hostile = st.recursive(
    scalars | any_arrays | any_arrays.map(lambda a: a.view(np.matrix) if a.ndim == 2 else a),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.tuples(inner, inner), st.dictionaries(st.text(max_size=2), inner, max_size=2),
        st.frozensets(st.integers(), max_size=3), st.builds(Seq, st.lists(inner, max_size=3)),
        st.builds(lambda items: Seq(items, fail_at=1), st.lists(inner, max_size=3)),
        st.builds(NoLength, st.lists(inner, max_size=3)), st.builds(range, st.integers(0, 40))),
    max_leaves=8)
RESULTS = {"candidate_pairs": tuple, "candidate_counts": tuple, "count_equal_pairs": int, "encode_keys": np.ndarray,
           "candidate_index": type(m.candidate_index(*BASE["candidate_index"])), "index_pairs": tuple,
           "index_counts": tuple, "count_rule_pairs": list, "rule_keys": tuple,
           "compare_plan": type(m.compare_plan(*BASE["compare_plan"]))}
DOCUMENTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError, Boom, IndexError)


@FUZZ
@given(st.sampled_from(list(PARAMS)), st.data())
def test_any_argument_of_any_function(name, data):
    params, args = PARAMS[name], list(BASE[name])
    replaced = data.draw(st.sets(st.integers(0, len(params) - 1), min_size=1))
    for i in sorted(replaced):
        args[i] = data.draw(hostile, label=params[i])
    if data.draw(st.booleans()):
        order = data.draw(st.permutations(range(len(params))))
        result, err = outcome(getattr(m, name), **{params[i]: args[i] for i in order})
    else:
        result, err = outcome(getattr(m, name), *args)
    arrays = [p for p in params if (name, p) in ARRAYS]
    if err is None:
        assert type(result) is RESULTS.get(name, np.ndarray if arrays else list)
        assert all(accepted(args[params.index(p)], name, p) for p in arrays)
        return
    assert isinstance(err, DOCUMENTED) or (isinstance(err, PanicException) and name.startswith("predict_")), repr(err)
    if type(err) is TypeError and str(err).startswith("argument '"):
        reported = str(err).split("'")[1]
        k = params.index(reported)
        assert k in replaced, err  # the base arguments all convert, in parameter order
        assert all(accepted(args[params.index(p)], name, p) for p in arrays if params.index(p) < k), err
        if (name, reported) in ARRAYS and not accepted(args[k], name, reported):
            assert str(err) == f"argument '{reported}': '{refused_type(args[k], name, reported)}' object cannot be " \
                "converted to 'PyArray<T, D>'"


# ---- layouts and values of the arrays -------------------------------------------

INTERESTING = [0.0, -0.0, 1.0, -1.5, 2.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf, math.nan, 3.0, 7.25]
numbers = st.sampled_from(INTERESTING) | st.floats()


@st.composite
def strided(draw, shape):
    """A float64 view with arbitrary byte strides (negative, zero, odd,
    unaligned) over a buffer holding every element."""
    kind = draw(st.sampled_from(["c", "f", "any", "any", "zero"]))
    strides = []
    for k, n in enumerate(shape):
        s = {"c": 8 * int(np.prod(shape[k + 1:])), "f": 8 * int(np.prod(shape[:k]))}.get(kind)
        strides.append(s if s is not None else draw(st.sampled_from(
            [0, 8, -8] if kind == "zero" else [8, 16, 24, -8, -16, 9, 11, -9, 1, 3, 0, 40, 48])))
    lo = sum((n - 1) * s for n, s in zip(shape, strides) if s < 0 and n > 0)
    hi = sum((n - 1) * s for n, s in zip(shape, strides) if s > 0 and n > 0)
    misalign, count = draw(st.sampled_from([0, 0, 1, 3, 4])), (hi - lo + 24) // 8 + 1
    raw = np.array(draw(st.lists(numbers, min_size=count, max_size=count))).view(np.uint8)
    return as_strided(raw[misalign - lo:misalign - lo + 8].view(np.float64), shape=shape, strides=strides,
                      writeable=False)


sides, steps, misaligned = st.integers(0, 5), st.sampled_from([1, 1, 1, 2, -1, 0]), st.sampled_from([0, 1, 3])


@FUZZ
@given(st.data(), steps, misaligned)
def test_arrays_in_any_layout_score_like_the_references(data, step, misalign):
    # Matrices may have any strides; dual_coef of two or more elements needs
    # unit stride (a broken invariant otherwise, not a user error).
    X = data.draw(st.tuples(sides, sides).flatmap(strided))
    n, f = X.shape
    w = data.draw(strided((f,)))
    assert same_floats(m.predict_batch(X, w, 0.125), logistic_scores(X, w, 0.125))
    S = data.draw(sides.flatmap(lambda s: strided((s, f))))
    coef = spread(np.linspace(-1.0, 1.0, S.shape[0]), step, misalign)
    got, err = outcome(m.predict_svm_batch, X, S, coef, 0.5, 0.3, -1.25, 0.1)
    if len(coef) >= 2 and step != 1:
        assert type(err) is PanicException and str(err) == "called `Option::unwrap()` on a `None` value"
    else:
        assert err is None and same_floats(got, svm_scores(X, S, coef, 0.5, 0.3, -1.25, 0.1)), err
    for lr in (None, 0.5):
        want = tree_scores(X, *TREE, lr=lr, init=0.1)
        assert same_floats(m.predict_gbdt_batch(X, *TREE, lr, 0.1) if lr else m.predict_forest_batch(X, *TREE), want)
    right = data.draw(strided(X.shape))
    nm = data.draw(st.lists(st.sampled_from(NUMERIC_METRICS), min_size=n, max_size=n))
    got, (a, b) = m.compute_feature_matrix([], [], [], X, right, nm, f) if n else None, (X.tolist(), right.tolist())
    assert n == 0 or same_floats(got, [REFERENCE[nm[r]](a[r][p], b[r][p]) for p in range(f) for r in range(n)])


def spread(src, step, misalign):
    """src as a 1-D view with a stride of `step` elements whose data starts
    `misalign` bytes past an aligned address."""
    n, a = len(src), max(abs(step), 1)
    raw = np.zeros(8 * a * max(n, 1) + 16, dtype=np.uint8)
    big = raw[misalign:misalign + 8 * a * max(n, 1)].view(src.dtype)
    base = big[(n - 1) * a:] if step < 0 else big
    view = as_strided(base, shape=(n,), strides=(step * 8,))
    view[...] = src
    view.flags.writeable = False
    return view


link = st.integers(-3, 9) | st.sampled_from([2**63 - 1, -(2**63), 2**32, 2**32 + 1])


@st.composite
def tree_layouts(draw):
    """Mostly well-formed trees, then a few faults: links out of range,
    negative or cyclic, offsets past the ends, empty trees, node arrays of
    different lengths."""
    f, arrays = draw(st.integers(0, 3)), [[0], [], [], [], [], []]
    for _ in range(draw(st.integers(1, 4))):
        size = draw(st.sampled_from([1, 3, 5, 7, 0, 15]))
        for i in range(size):
            leaf = 2 * i + 2 >= size
            for a, v in zip(arrays[1:], (-1 if leaf else 2 * i + 1, -1 if leaf else 2 * i + 2,
                                         draw(st.integers(-1, f)), draw(st.sampled_from([0.0, 0.5, -1.0, math.nan])),
                                         draw(st.sampled_from([0.25, -1.0, 2.0, math.nan, 1e308, 0.0])))):
                a.append(v)
        arrays[0].append(len(arrays[1]))
    for _ in range(draw(st.sampled_from([0, 0, 1, 2, 3]))):
        k = draw(st.integers(0, 5))
        a, op = arrays[k], draw(st.sampled_from(["set", "set", "truncate", "extend"]))
        if op == "set" and a:
            a[draw(st.integers(0, len(a) - 1))] = draw(link if k < 4 else st.floats())
        elif op == "truncate" and a:
            del a[draw(st.integers(0, len(a) - 1)):]
        else:
            a.extend(draw(st.lists(link if k < 4 else st.floats(), max_size=3)))
    rows = draw(st.sampled_from([0, 1, 2, 5, 40, 300]))
    X = np.array(draw(st.lists(st.sampled_from([0.0, 0.5, 1.0, -2.0, math.nan, math.inf]), min_size=rows * f,
                               max_size=rows * f))).reshape(rows, f)
    return X, [np.array(a, dtype=np.int64 if k < 4 else np.float64) for k, a in enumerate(arrays)]


@FUZZ
@given(tree_layouts(), st.sampled_from([None, 0.3]), st.integers(0, 5), steps, misaligned)
def test_hostile_tree_layouts(drawn, lr, which, step, misalign):
    # Any layout, with one array in any 1-D layout: they must be contiguous
    # (or shorter than two elements); unaligned ones are read correctly.
    X, lay = drawn
    lay[which] = spread(lay[which], step, misalign)
    got, err = outcome(m.predict_forest_batch, X, *lay) if lr is None else outcome(m.predict_gbdt_batch, X, *lay, lr,
                                                                                   -0.1)
    if not (lay[which].flags.c_contiguous or lay[which].flags.f_contiguous) or len(lay[0]) < 2:
        name = PARAMS["predict_forest_batch"][which + 1]
        assert type(err) is ValueError and str(err) == (
            "Must provide at least one tree" if lay[which].flags.c_contiguous or lay[which].flags.f_contiguous else
            f"{name} must be contiguous: The given array is not contiguous")
        return
    try:
        want = tree_scores(X, *lay, lr=lr, init=-0.1)
    except RefFailure as failure:  # the message of a cycle is the module's own choice
        assert type(err) is PanicException and failure.args[0] in (None, str(err)), err
        return
    assert err is None and same_floats(got, want), err
