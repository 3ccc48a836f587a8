"""Numeric kernels through numeric_distance_batch, numeric_similarity_batch
and the numeric metrics of compute_feature_matrix."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _corvane_rs as m
from reliability_support import numeric_distance, numeric_similarity

NAN = float("nan")
INF = float("inf")
SUB = 5e-324  # smallest positive subnormal

# (a, b, distance, similarity)
TABLE = [
    (0.0, 0.0, 0.0, 1.0),
    (-0.0, 0.0, 0.0, 1.0),
    (5.0, 5.0, 0.0, 1.0),
    (10.0, 5.0, 5.0, 0.5),
    (5.0, 10.0, 5.0, 0.5),
    (-4.0, -2.0, 2.0, 0.5),
    (100.0, 99.0, 1.0, 1.0 - 0.01),
    (3.0, 0.0, 3.0, 0.0),
    (5.0, -5.0, 10.0, 0.0),
    (NAN, 5.0, NAN, 0.0),
    (NAN, 0.0, NAN, 1.0),
    (NAN, NAN, NAN, 0.0),
    (INF, 5.0, INF, 0.0),
    (INF, INF, NAN, 0.0),
    (INF, -INF, INF, 0.0),
    (1e308, -1e308, INF, 0.0),
    (SUB, 0.0, SUB, 0.0),
    (NAN, -0.0, NAN, 1.0),
    (INF, NAN, NAN, 0.0),
    (-INF, 0.0, INF, 0.0),
]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same(x, y):
    """Bit equality, treating any two NaNs as equal."""
    return (math.isnan(x) and math.isnan(y)) or bits(x) == bits(y)


# Python floats are binary64 with one rounding per operation, so these
# transcriptions are exact references for the kernels' steps.
ref_distance = numeric_distance
ref_similarity = numeric_similarity


def via_matrix(metric, left, right):
    nl = np.array([left], dtype=np.float64)
    nr = np.array([right], dtype=np.float64)
    return m.compute_feature_matrix([], [], [], nl, nr, [metric], len(left)).tolist()


def test_table_every_path():
    left = [r[0] for r in TABLE]
    right = [r[1] for r in TABLE]
    dist = [r[2] for r in TABLE]
    sim = [r[3] for r in TABLE]
    got = {
        "distance_batch": m.numeric_distance_batch(left, right),
        "distance_batch_swapped": m.numeric_distance_batch(right, left),
        "numeric": via_matrix("numeric", left, right),
        "date_distance": via_matrix("date_distance", left, right),
    }
    for name, values in got.items():
        bad = [(a, b, v, e) for a, b, v, e in zip(left, right, values, dist) if not same(v, e)]
        assert not bad, (name, bad)
        # a distance is never negative, NaN included
        assert all(math.copysign(1.0, v) == 1.0 for v in values), name
    for name, values in {
        "similarity_batch": m.numeric_similarity_batch(left, right),
        "similarity_batch_swapped": m.numeric_similarity_batch(right, left),
        "numeric_similarity": via_matrix("numeric_similarity", left, right),
    }.items():
        bad = [(a, b, v, e) for a, b, v, e in zip(left, right, values, sim) if bits(v) != bits(e)]
        assert not bad, (name, bad)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.floats(allow_subnormal=True), st.floats(allow_subnormal=True)), max_size=40))
def test_matches_scalar_reference_any_length(pairs):
    # Runs of every length check that no element is lost, repeated or
    # computed differently at the end of a run of vector steps.
    left = [a for a, _ in pairs]
    right = [b for _, b in pairs]
    dist = m.numeric_distance_batch(left, right)
    sim = m.numeric_similarity_batch(left, right)
    assert len(dist) == len(sim) == len(pairs)
    for a, b, d, s in zip(left, right, dist, sim):
        assert same(d, ref_distance(a, b)), (a, b, d)
        assert bits(s) == bits(ref_similarity(a, b)), (a, b, s)
        assert 0.0 <= s <= 1.0
    if pairs:
        assert via_matrix("numeric_similarity", left, right) == sim
        mat = via_matrix("numeric", left, right)
        assert all(same(x, y) for x, y in zip(mat, dist))


def test_long_column_with_specials_mixed_in():
    rng = np.random.default_rng(7)
    n = 10_007
    specials = np.array([0.0, -0.0, NAN, INF, -INF, SUB, -SUB, 1e308, -1e308, 2.2250738585072014e-308])
    a = rng.normal(scale=1e3, size=n)
    b = rng.normal(scale=1e3, size=n)
    a[rng.integers(0, n, 500)] = rng.choice(specials, 500)
    b[rng.integers(0, n, 500)] = rng.choice(specials, 500)
    a, b = a.tolist(), b.tolist()
    dist = m.numeric_distance_batch(a, b)
    sim = m.numeric_similarity_batch(a, b)
    assert all(same(d, ref_distance(x, y)) for x, y, d in zip(a, b, dist))
    assert [bits(s) for s in sim] == [bits(ref_similarity(x, y)) for x, y in zip(a, b)]


def test_lengths_and_conversion_order():
    assert m.numeric_similarity_batch((), []) == []
    assert m.numeric_distance_batch(left=(4.0,), right=np.array([1.5])) == [2.5]
    with pytest.raises(ValueError, match="^left and right must have the same length$"):
        m.numeric_similarity_batch([], [1.0])
    # a bad right-hand element is reported even though the lengths differ too
    with pytest.raises(TypeError, match="^argument 'right': "):
        m.numeric_distance_batch([1.0], [None, 2.0])
