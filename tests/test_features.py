"""The numeric metrics, and compute_feature_matrix: pair-major output,
degenerate shapes and numeric arrays in any layout. (Its argument checks
are rows of cases.py; string columns are checked in test_strings.py.)"""

import math

import numpy as np
import pytest

import _corvane_rs as m
from support import REFERENCE, check_metric, same_floats

NAN, INF, SUB = math.nan, math.inf, 5e-324
# (a, b, distance, similarity)
TABLE = [
    (0.0, 0.0, 0.0, 1.0), (-0.0, 0.0, 0.0, 1.0), (5.0, 5.0, 0.0, 1.0), (10.0, 5.0, 5.0, 0.5), (5.0, 10.0, 5.0, 0.5),
    (-4.0, -2.0, 2.0, 0.5), (100.0, 99.0, 1.0, 1.0 - 0.01), (3.0, 0.0, 3.0, 0.0), (5.0, -5.0, 10.0, 0.0),
    (NAN, 5.0, NAN, 0.0), (NAN, 0.0, NAN, 1.0), (NAN, NAN, NAN, 0.0), (INF, 5.0, INF, 0.0), (INF, INF, NAN, 0.0),
    (INF, -INF, INF, 0.0), (1e308, -1e308, INF, 0.0), (SUB, 0.0, SUB, 0.0), (NAN, -0.0, NAN, 1.0),
    (INF, NAN, NAN, 0.0), (-INF, 0.0, INF, 0.0), (0.1, 0.7, 0.6, 0.1428571428571428),
    (3.0, 7.0, 4.0, 0.4285714285714286),
]


@pytest.mark.parametrize("metric, column", [("numeric", 2), ("date_distance", 2), ("numeric_similarity", 3)])
def test_numeric_metrics(metric, column):
    for a, b, *want in TABLE:  # the table is its own reference's check
        assert np.isnan(want[column - 2]) or REFERENCE[metric](a, b) == want[column - 2]
    for left, right in ((0, 1), (1, 0)):  # both argument orders: the metrics are symmetric
        check_metric(metric, [r[left] for r in TABLE], [r[right] for r in TABLE], [r[column] for r in TABLE])


def fm(sl=(), sr=(), sm=(), nl=None, nr=None, nm=(), n_pairs=0):
    z = np.zeros((0, 0))
    return m.compute_feature_matrix(list(sl), list(sr), list(sm), z if nl is None else nl, z if nr is None else nr,
                                    list(nm), n_pairs).tolist()


def test_pair_major_output_and_degenerate_shapes():
    nl, nr = np.array([[1.0, 2.0, 3.0], [10.0, 20.0, 30.0]]), np.array([[1.5, 2.0, 0.0], [5.0, 20.0, -30.0]])
    assert fm(sl=[["a", "b", "c"], ["p", "q", "r"]], sr=[["a", "x", "c"], ["z", "q", "z"]], sm=["exact"] * 2,
              nl=nl, nr=nr, nm=["numeric", "numeric_similarity"], n_pairs=3) == [
        1.0, 0.0, 0.5, 0.5,
        0.0, 1.0, 0.0, 1.0,
        1.0, 0.0, 3.0, 0.0]
    assert fm(sl=[[]], sr=[[]], sm=["exact"], nl=np.zeros((2, 0)), nr=np.zeros((2, 0)), nm=["numeric"] * 2) == []
    for shape in [(0, 0), (0, 5)]:  # without numeric columns the second axis is never looked at
        assert fm(sl=[["a", "b"]], sr=[["a", "c"]], sm=["exact"], nl=np.zeros(shape), nr=np.zeros((0, 3)),
                  n_pairs=2) == [1.0, 0.0]
    # One buffer for both sides, read with the same and with other strides
    # (any other layout is covered by test_properties.py).
    a = np.array([[1.0, -2.0, 0.0], [4.0, 5.0, np.nan], [0.0, 3.0, 7.0]])
    nm = ["numeric", "numeric_similarity", "date_distance"]
    for right in (a, a.T, a[::-1]):
        want = [REFERENCE[nm[r]](a[r, p], right[r, p]) for p in range(3) for r in range(3)]
        assert same_floats(fm(nl=a, nr=right, nm=nm, n_pairs=3), want)
