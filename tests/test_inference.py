"""predict_batch: the two summation orders, the sigmoid form, layouts and
the shape check."""

import math

import numpy as np
import pytest

import _corvane_rs as m
from reliability_support import c_exp, eight_way_dot, plain_dot


def sigmoid(z):
    return 1.0 / (c_exp(-z) + 1.0)


def expected(X, w, bias, dot):
    return np.array([sigmoid(dot([float(v) for v in row], [float(v) for v in w]) + bias) for row in X])


# Large products that cancel, around small ones that the plain order loses
# and the eight partial sums keep.
ORDER_SENSITIVE_ROWS = [
    [1e16, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, -1e16, 0.5, 0.75],
    [3.0, 1e17, -2.0, 5.0, 1.0, 7.0, -1e17, 1.0, 0.25, 2.0, -1.0],
    [-1e16, 0.5, 1.5, 1.0, 1e16, 3.0, -1.0, 1.0, 1.0, 1.0, 1.0],
]


def order_sensitive_matrix():
    rng = np.random.default_rng(7)
    return np.array(ORDER_SENSITIVE_ROWS + [list(rng.normal(size=11)) for _ in range(4)])


def test_unit_stride_uses_eight_partial_sums_and_strided_uses_plain_order():
    X = order_sensitive_matrix()
    w = np.ones(11)
    w[9] = 0.5
    bias = -0.125
    eight = expected(X, w, bias, eight_way_dot)
    plain = expected(X, w, bias, plain_dot)
    assert not np.array_equal(eight, plain)  # the data must tell the orders apart

    assert np.array_equal(m.predict_batch(X, w, bias), eight)
    # Column-major matrix: the row's elements are not adjacent.
    assert np.array_equal(m.predict_batch(np.asfortranarray(X), w, bias), plain)
    # Every second column of a wider matrix.
    wide = np.zeros((X.shape[0], 22))
    wide[:, ::2] = X
    assert np.array_equal(m.predict_batch(wide[:, ::2], w, bias), plain)
    # Reversed or strided weights.
    Xr, wr = X[:, ::-1], w[::-1].copy()
    assert np.array_equal(m.predict_batch(Xr, wr, bias), expected(Xr, wr, bias, plain_dot))
    assert np.array_equal(m.predict_batch(X, w[::-1].copy()[::-1], bias), plain)
    w2 = np.zeros(22)
    w2[::2] = w
    assert np.array_equal(m.predict_batch(X, w2[::2], bias), plain)
    # Reversed row order keeps unit column stride: eight-way order.
    assert np.array_equal(m.predict_batch(X[::-1], w, bias), eight[::-1])


def test_unaligned_unit_stride_buffers_are_read_correctly():
    X = order_sensitive_matrix()
    w = np.linspace(-1.0, 2.0, 11)
    raw = bytearray(X.nbytes + 1)
    Xu = np.frombuffer(raw, dtype=np.float64, count=X.size, offset=1).reshape(X.shape)
    Xu[...] = X
    raww = bytearray(w.nbytes + 1)
    wu = np.frombuffer(raww, dtype=np.float64, count=w.size, offset=1)
    wu[...] = w
    assert not Xu.flags.aligned and not wu.flags.aligned
    assert np.array_equal(m.predict_batch(Xu, wu, 0.5), m.predict_batch(X, w, 0.5))
    assert np.array_equal(m.predict_batch(X, w, 0.5), expected(X, w, 0.5, eight_way_dot))


@pytest.mark.parametrize("f", [0, 1, 3, 5, 8, 9, 15, 16, 17, 40])
def test_feature_counts_around_the_block_size(f):
    rng = np.random.default_rng(f)
    X = rng.normal(size=(13, f)) * rng.uniform(0.1, 100, size=f)
    w = rng.normal(size=f)
    assert np.array_equal(m.predict_batch(X, w, -0.3), expected(X, w, -0.3, eight_way_dot))
    assert np.array_equal(m.predict_batch(np.asfortranarray(X), w, -0.3), expected(X, w, -0.3, plain_dot))


def test_sigmoid_edges_and_empty_shapes():
    assert np.array_equal(m.predict_batch(np.zeros((3, 0)), np.zeros(0), 0.0), [0.5, 0.5, 0.5])
    assert np.array_equal(m.predict_batch(np.zeros((2, 0)), np.zeros(0), 2.0), [sigmoid(2.0)] * 2)
    out = m.predict_batch(np.zeros((0, 4)), np.ones(4), 1.0)
    assert out.shape == (0,) and out.dtype == np.float64
    X = np.array([[1.0], [-1.0], [0.0]])
    assert m.predict_batch(X, np.array([800.0]), 0.0).tolist() == [1.0, 0.0, 0.5]
    X = np.array([[1.0, np.nan], [1.0, 2.0]])
    r = m.predict_batch(X, np.array([1.0, 1.0]), 0.0)
    assert math.isnan(r[0]) and r[1] == sigmoid(3.0)
    assert np.isnan(m.predict_batch(np.ones((3, 2)), np.ones(2), math.nan)).all()
    out = m.predict_batch(np.ones((4, 2)), np.ones(2), 0.0)
    assert out.flags.c_contiguous and out.flags.writeable and out.strides == (8,)


def test_shape_and_type_errors():
    with pytest.raises(ValueError) as e:
        m.predict_batch(np.ones((2, 3)), np.ones(4), 0.0)
    assert str(e.value) == "Feature matrix has 3 columns but weights has 4 elements"
    with pytest.raises(ValueError) as e:
        m.predict_batch(np.ones((0, 3)), np.ones(4), 0.0)
    assert str(e.value) == "Feature matrix has 3 columns but weights has 4 elements"
    with pytest.raises(TypeError) as e:
        m.predict_batch(np.ones((2, 3), dtype=np.float32), np.ones(3), 0.0)
    assert str(e.value) == "argument 'features': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
