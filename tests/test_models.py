"""The scorers against their references: logistic regression's two
summation orders, both tree walks (per row, and packed for many rows), and
the SVM's arithmetic. Argument checks and layout failures are rows of
cases.py; arrays in any memory layout are covered by test_properties.py."""

import math
import random

import numpy as np
import pytest

import _corvane_rs as m
from support import PanicException, c_exp, layout, logistic_scores, random_tree, same_floats, svm_scores, tree_scores


def unaligned(a):
    u = np.ndarray(a.shape, dtype=a.dtype, buffer=bytearray(a.nbytes + 3), offset=3)
    u[...] = a
    return u


def spaced(a):
    """Every second element (and column) of a larger array."""
    wide = np.zeros(tuple(2 * n for n in a.shape), dtype=a.dtype)
    wide[(slice(None, None, 2),) * a.ndim] = a
    return wide[(slice(None, None, 2),) * a.ndim]


# Large products that cancel around small ones: the plain order loses what
# the eight partial sums keep.
ORDER_ROWS = [[1e16, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, -1e16, 0.5, 0.75],
              [3.0, 1e17, -2.0, 5.0, 1.0, 7.0, -1e17, 1.0, 0.25, 2.0, -1.0],
              [-1e16, 0.5, 1.5, 1.0, 1e16, 3.0, -1.0, 1.0, 1.0, 1.0, 1.0]]


def test_logistic_summation_order_follows_the_layout():
    X = np.array(ORDER_ROWS + np.random.default_rng(7).normal(size=(4, 11)).tolist())
    w = np.linspace(-1.0, 2.0, 11)
    assert logistic_scores(X, w, 0.5) != logistic_scores(np.asfortranarray(X), w, 0.5)  # the data tells them apart
    for Xv, wv in [(X, w), (np.asfortranarray(X), w), (spaced(X), w), (X[:, ::-1], w[::-1].copy()), (X, w[::-1]),
                   (X, spaced(w)), (X[::-1], w), (unaligned(X), unaligned(w))]:
        assert same_floats(m.predict_batch(Xv, wv, 0.5), logistic_scores(Xv, wv, 0.5))


@pytest.mark.parametrize("f", [0, 1, 3, 5, 8, 9, 15, 16, 17, 40])
def test_logistic_feature_counts_around_the_block(f):
    rng = np.random.default_rng(f)
    X, w = rng.normal(size=(13, f)) * rng.uniform(0.1, 100, size=f), rng.normal(size=f)
    for Xv in (X, np.asfortranarray(X)):
        assert same_floats(m.predict_batch(Xv, w, -0.3), logistic_scores(Xv, w, -0.3))


def test_logistic_rows_across_blocks():
    # Rows are scored in blocks (dot products, then exponentials): every
    # row of a long matrix, in both summation orders, as the reference.
    rng = np.random.default_rng(11)
    X, w = rng.normal(size=(1500, 9)) * 50, rng.normal(size=9)
    for Xv in (X, np.asfortranarray(X), X[::-1]):
        assert same_floats(m.predict_batch(Xv, w, 0.125), logistic_scores(Xv, w, 0.125))


def test_logistic_edges():
    assert m.predict_batch(np.zeros((2, 0)), np.zeros(0), 2.0).tolist() == [1.0 / (c_exp(-2.0) + 1.0)] * 2
    assert m.predict_batch(np.array([[1.0], [-1.0], [0.0]]), np.array([800.0]), 0.0).tolist() == [1.0, 0.0, 0.5]
    got = m.predict_batch(np.array([[1.0, np.nan], [1.0, 2.0]]), np.ones(2), 0.0)
    assert math.isnan(got[0]) and got[1] == 1.0 / (c_exp(-3.0) + 1.0)
    assert np.isnan(m.predict_batch(np.ones((3, 2)), np.ones(2), math.nan)).all()


def leaf(v):
    return (-1, -1, -2, -2.0, v)


def split(left, right, feature, threshold):
    return (left, right, feature, threshold, 0.0)


STUMP = [split(1, 2, 0, 0.5), leaf(10.0), leaf(20.0)]


def both_walks(X, trees, lr=None, init=0.0):
    """Scores through the per-row walk (a layout padded with unreachable
    nodes, so packing does not pay) and the packed walk (enough rows); each
    must equal the reference."""
    X = np.asarray(X, dtype=np.float64)
    extra = (lr, init) if lr is not None else ()
    fn = m.predict_forest_batch if lr is None else m.predict_gbdt_batch
    want = tree_scores(X, *layout(trees), lr=lr, init=init)
    assert same_floats(fn(X, *layout(trees, pad=3 * len(X) + 1), *extra), want)
    many = np.tile(X, (sum(map(len, trees)) + 1, 1))
    assert same_floats(fn(many, *layout(trees), *extra)[:len(X)], want)
    return want


def test_tree_walk_rules():
    above = np.nextafter(0.5, 1.0)
    assert both_walks([[0.5], [above], [np.nan], [-np.inf], [np.inf]], [STUMP]) == [10.0, 20.0, 10.0, 10.0, 20.0]
    assert both_walks([[0.0], [9.0]], [[split(1, 2, 0, np.nan), leaf(1.0), leaf(2.0)]]) == [1.0, 1.0]
    for f in (1, 7, -1, -(2**63)):  # a column the row lacks: left, without error
        assert both_walks([[9.0], [0.0]], [[split(1, 2, f, 0.5), leaf(1.0), leaf(2.0)]]) == [1.0, 1.0]
    never_right = [split(1, 99, 7, 0.5), leaf(1.0), leaf(2.0)]  # a broken link no row follows
    assert both_walks([[9.0]] * 4, [never_right, STUMP]) == [10.5] * 4
    deep = [split(1, 2, 0, 0.0), split(3, 4, 1, 0.0), leaf(2.0), leaf(3.0), leaf(4.0)]
    assert both_walks(np.zeros((3, 0)), [deep, STUMP]) == [6.5] * 3  # no columns: the all-left path
    assert both_walks(np.zeros((2, 3)), [[leaf(-4.5)]]) == [-4.5, -4.5]
    # Any negative left child marks a leaf; the other arrays may hold anything there.
    odd = [split(1, 2, 0, 0.5), (-7, 99, 99, np.nan, 5.0), (-2, -99, -5, 1.0, 6.0)]
    assert both_walks([[0.0], [1.0]], [odd]) == [5.0, 6.0]
    assert both_walks([[0.0], [1.0]], [odd], lr=0.5, init=0.25) == [1.0 / (c_exp(-2.75) + 1.0),
                                                                      1.0 / (c_exp(-3.25) + 1.0)]


def test_ensemble_arithmetic():
    sums = [[leaf(1e16)], [leaf(1.0)], [leaf(-1e16)]]
    assert both_walks([[0.0]], sums) == [0.0]  # summed from 0.0 in tree order: the 1.0 is absorbed
    assert both_walks([[0.0]], [sums[0], sums[2], sums[1]]) == [1.0 / 3.0]
    assert both_walks([[0.0]], [[leaf(0.3)]], lr=0.1, init=0.7) == [1.0 / (c_exp(-(0.7 + 0.1 * 0.3)) + 1.0)]
    assert both_walks([[0.0]], [[leaf(0.3)]], lr=0.0) == [0.5]
    assert both_walks([[0.0]], [[leaf(-800.0)], [leaf(0.5)]], lr=1.0) == [0.0]
    assert both_walks([[0.0]], [[leaf(800.0)]], lr=1.0, init=-0.5) == [1.0]
    assert math.isnan(both_walks([[0.0]], [[leaf(0.3)]], lr=math.nan)[0])
    assert math.isnan(both_walks([[0.0]], [[leaf(math.inf)], [leaf(-math.inf)]], lr=1.0)[0])


@pytest.mark.parametrize("seed", [0, 1])
def test_random_ensembles(seed):
    rng = random.Random(seed)
    trees = [random_tree(rng, 5, 7)[0] for _ in range(12)]
    # Two subtrees sharing a node (not a cycle): walked as it is.
    trees.append([split(1, 2, 0, 0.0), split(3, 3, 1, 0.0), split(3, 4, 2, 0.0), leaf(7.0), leaf(8.0)])
    lay = layout(trees)
    X = np.random.default_rng(seed).normal(size=(1100, 5))
    X[np.random.default_rng(seed).random(size=X.shape) < 0.05] = np.nan
    for lr, init in ((None, 0.0), (0.1, -0.4)):
        fn, extra = (m.predict_forest_batch, ()) if lr is None else (m.predict_gbdt_batch, (lr, init))
        want = tree_scores(X, *lay, lr=lr, init=init)
        assert same_floats(fn(X, *lay, *extra), want)
        assert same_floats(fn(X[:3], *lay, *extra), want[:3])  # few rows: the per-row walk


def test_lowest_failing_row_is_reported():
    lay = layout([STUMP, [split(1, -2, 1, 0.5), leaf(1.0), leaf(2.0)], [split(1, 7, 0, 0.5), leaf(1.0), leaf(2.0)]])
    X = np.zeros((5000, 2))
    # Row 3000 fails at tree 2; rows 4000 and 4500 fail earlier, at tree 1.
    X[3000, 0] = X[4000, 1] = X[4500, 1] = 1.0
    for fn, extra in ((m.predict_forest_batch, ()), (m.predict_gbdt_batch, (0.5, 0.0))):
        with pytest.raises(PanicException, match="^index out of bounds: the len is 3 but the index is 7$"):
            fn(X, *lay, *extra)
    X[3000, 0], X[3005, 0], X[3006, 1] = 0.0, 1.0, 1.0  # neighbours: the later row fails at an earlier tree
    with pytest.raises(PanicException, match="^index out of bounds: the len is 3 but the index is 7$"):
        m.predict_forest_batch(X, *lay)
    X[3005:3007] = 0.0
    with pytest.raises(PanicException, match=f"^index out of bounds: the len is 3 but the index is {2**64 - 2}$"):
        m.predict_gbdt_batch(X, *lay, 0.5, 0.0)
    assert m.predict_forest_batch(np.zeros((5000, 2)), *lay).tolist() == [4.0] * 5000


def test_lowest_failing_row_wins_over_an_earlier_failure():
    # The rows before row 2999 walk a chain of 300 splits; row 2999 fails at
    # its end, the rows after it at the root. Whichever thread takes rows
    # past 2999 fails long before the one walking up to it: a pool that
    # kept the first failure it saw would report those rows' error.
    depth = 300
    chain = [split(k + 3, k + 3, 0, 0.5) for k in range(depth)]
    tree = [split(2, 1, 1, 0.5), split(888, 888, 0, 0.5)] + chain + [split(depth + 3, 999, 0, 0.5), leaf(1.0)]
    lay = layout([tree])
    X = np.zeros((6000, 2))
    X[2999, 0], X[3000:, 1] = 1.0, 1.0
    low, high = "^index out of bounds: the len is 304 but the index is 999$", "the index is 888$"
    for fn, extra in ((m.predict_forest_batch, ()), (m.predict_gbdt_batch, (0.5, 0.0))):
        with pytest.raises(PanicException, match=high):
            fn(X[3000:3001], *lay, *extra)
        for _ in range(20):
            with pytest.raises(PanicException, match=low):
                fn(X, *lay, *extra)


@pytest.mark.parametrize("s, f", [(37, 6), (8, 1), (1, 17), (16, 3), (1030, 2)])
def test_svm(s, f):
    rng = np.random.default_rng(s * 100 + f)
    S, X, coef = rng.normal(size=(s, f)), rng.normal(size=(70, f)), rng.normal(size=s)
    X[3], X[5, 0] = S[0], np.nan  # a row equal to a support vector, and a NaN
    args = (0.1, 0.3, -1.7, 0.2)
    want = svm_scores(X, S, coef, *args)
    assert math.isnan(want[5]) and not np.isnan(np.delete(want, 5)).any()
    assert same_floats(m.predict_svm_batch(X, S, coef, *args), want)
    assert same_floats(m.predict_svm_batch(X, S[:1], spaced(coef)[:1], *args), svm_scores(X, S[:1], coef[:1], *args))


def test_svm_degenerate_models():
    X, S, coef = np.random.default_rng(1).normal(size=(4, 3)), np.array([[100, -3, 2.0], [0, 1, 1e6]]), [0.5, -0.2]
    for args in [(X, S[:0], np.zeros(0), 0.5, 0.3, 2.0, 0.25), (np.zeros((2, 0)), np.zeros((3, 0)), [0.5, -0.25, 2.0],
                                                                    0.1, 5.0, 1.0, 0.0),  # every kernel value is 1
                 (X, S, coef, 0.1, 0.0, 1.0, 0.0), (X, S, coef, 0.0, 0.3, 0.0, 1.5),  # gamma 0; prob_a 0
                 (X, S[:0], np.zeros(0), 1.0, 0.3, 800.0, 0.0), (X, S[:0], np.zeros(0), 1.0, 0.3, -800.0, 0.0)]:
        got = m.predict_svm_batch(args[0], args[1], np.array(args[2], dtype=float), *args[3:])
        assert same_floats(got, svm_scores(*args)) and len(set(got.tolist())) == 1
    assert m.predict_svm_batch(X[:1], S[:0], np.zeros(0), 1.0, 0.3, 800.0, 0.0).tolist() == [0.0]
