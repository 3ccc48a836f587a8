"""predict_svm_batch: the norm-expansion arithmetic, Platt's sigmoid with
the subtracted offset, layouts, and the argument checks."""

import math

import numpy as np
import pytest

import _corvane_rs as m


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def reference(X, S, coef, intercept, gamma, a, b):
    norms = []
    for sv in S:
        s = -0.0
        for v in sv:
            s = s + float(v) * float(v)
        norms.append(s)
    out = []
    for x in X:
        xx = -0.0
        for v in x:
            xx = xx + float(v) * float(v)
        decision = intercept
        for sv, norm, c in zip(S, norms, coef):
            dot = -0.0
            for u, v in zip(x, sv):
                dot = dot + float(u) * float(v)
            d2 = (xx + norm) - (dot + dot)
            decision = decision + float(c) * c_exp(-(gamma * d2))
        z = decision * a - b
        out.append(1.0 / (c_exp(z) + 1.0))
    return np.array(out)


def svm(X, S, coef, intercept=0.1, gamma=0.3, a=-1.7, b=0.2):
    return m.predict_svm_batch(X, S, coef, intercept, gamma, a, b)


def panic_message(fn, *args):
    with pytest.raises(BaseException) as e:
        fn(*args)
    assert type(e.value).__name__ == "PanicException"
    return e.value.args[0]


@pytest.mark.parametrize("s,f", [(37, 6), (8, 1), (1, 17), (16, 3), (1030, 2)])
def test_matches_reference_arithmetic(s, f):
    rng = np.random.default_rng(s * 100 + f)
    S = rng.normal(size=(s, f))
    X = rng.normal(size=(70, f))
    X[3] = S[0]  # a row equal to a support vector
    X[5, 0] = np.nan
    coef = rng.normal(size=s)
    want = reference(X, S, coef, 0.1, 0.3, -1.7, 0.2)
    got = svm(X, S, coef)
    assert np.array_equal(got, want, equal_nan=True)
    assert math.isnan(got[5]) and not np.isnan(np.delete(got, 5)).any()
    # Column-major, strided, reversed and unaligned matrices: same scores.
    assert np.array_equal(svm(np.asfortranarray(X), np.asfortranarray(S), coef), want, equal_nan=True)
    wide = np.zeros((140, f * 2))
    wide[::2, ::2] = X
    assert np.array_equal(svm(wide[::2, ::2], S[::-1][::-1], coef), want, equal_nan=True)
    assert np.array_equal(svm(X[::-1], S, coef), want[::-1], equal_nan=True)
    raw = bytearray(S.nbytes + 1)
    Su = np.frombuffer(raw, dtype=np.float64, count=S.size, offset=1).reshape(S.shape)
    Su[...] = S
    assert np.array_equal(svm(X, Su, coef), want, equal_nan=True)


def test_degenerate_models():
    X = np.random.default_rng(1).normal(size=(4, 3))
    # No support vectors.
    got = svm(X, np.zeros((0, 3)), np.zeros(0), 0.5, 0.3, 2.0, 0.25)
    assert got.tolist() == [1.0 / (c_exp(0.5 * 2.0 - 0.25) + 1.0)] * 4
    # No columns: every kernel value is 1.
    coef = np.array([0.5, -0.25, 2.0])
    got = svm(np.zeros((2, 0)), np.zeros((3, 0)), coef, 0.1, 5.0, 1.0, 0.0)
    assert got.tolist() == [1.0 / (c_exp(0.1 + 0.5 - 0.25 + 2.0) + 1.0)] * 2
    # gamma = 0: kernel values are 1 whatever the distances.
    S = np.array([[100.0, -3.0, 2.0], [0.0, 1.0, 1e6]])
    got = svm(X, S, coef[:2], 0.1, 0.0, 1.0, 0.0)
    assert got.tolist() == [1.0 / (c_exp(0.1 + 0.5 - 0.25) + 1.0)] * 4
    # The Platt offset is subtracted; prob_a = 0 leaves only it.
    assert svm(X, S, coef[:2], 0.0, 0.3, 0.0, 1.5).tolist() == [1.0 / (c_exp(-1.5) + 1.0)] * 4
    assert svm(X, np.zeros((0, 3)), np.zeros(0), 0.0, 0.3, 1.0, 0.0).tolist() == [0.5] * 4
    # Saturation without clamping.
    assert svm(X[:1], np.zeros((0, 3)), np.zeros(0), 1.0, 0.3, 800.0, 0.0).tolist() == [0.0]
    assert svm(X[:1], np.zeros((0, 3)), np.zeros(0), 1.0, 0.3, -800.0, 0.0).tolist() == [1.0]
    out = svm(np.zeros((0, 3)), S, coef[:2])
    assert out.shape == (0,) and out.dtype == np.float64


def test_shape_checks_in_order():
    with pytest.raises(ValueError) as e:
        svm(np.zeros((2, 3)), np.zeros((4, 4)), np.zeros(5))
    assert str(e.value) == "Feature matrix has 3 columns but support vectors have 4 columns"
    with pytest.raises(ValueError) as e:
        svm(np.zeros((0, 3)), np.zeros((4, 3)), np.zeros(5))
    assert str(e.value) == "support_vectors has 4 rows but dual_coef has 5 elements"
    with pytest.raises(TypeError) as e:
        svm(np.zeros((2, 3)), np.zeros((4, 3)), np.zeros((1, 4)))
    assert str(e.value) == "argument 'dual_coef': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


def test_strided_dual_coef_is_an_internal_failure():
    rng = np.random.default_rng(3)
    X, S = rng.normal(size=(5, 2)), rng.normal(size=(3, 2))
    wide = rng.normal(size=6)
    msg = "called `Option::unwrap()` on a `None` value"
    assert panic_message(svm, X, S, wide[::2]) == msg
    assert panic_message(svm, X, S, wide[:3][::-1]) == msg
    # Shape errors come first.
    with pytest.raises(ValueError):
        svm(X, S, wide[::3])
    assert np.array_equal(svm(X, S, wide[::2].copy()), reference(X, S, wide[::2], 0.1, 0.3, -1.7, 0.2))
    # A single coefficient may have any stride.
    assert np.array_equal(svm(X, S[:1], wide[::4][:1]), reference(X, S[:1], wide[:1], 0.1, 0.3, -1.7, 0.2))
