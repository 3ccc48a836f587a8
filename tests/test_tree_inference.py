"""predict_forest_batch / predict_gbdt_batch: the walk rules, the combine
rules, the layout checks and failures, against a reference walk."""

import math

import numpy as np
import pytest

import _corvane_rs as m

U64 = 2**64


def c_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def layout(trees):
    """Flat layout from trees given as lists of nodes
    (left, right, feature, threshold, value)."""
    offsets = [0]
    cols = [[], [], [], [], []]
    for nodes in trees:
        for node in nodes:
            for c, v in zip(cols, node):
                c.append(v)
        offsets.append(offsets[-1] + len(nodes))
    return dict(
        offsets=np.array(offsets, dtype=np.int64),
        children_left=np.array(cols[0], dtype=np.int64),
        children_right=np.array(cols[1], dtype=np.int64),
        tree_features=np.array(cols[2], dtype=np.int64),
        thresholds=np.array(cols[3], dtype=np.float64),
        values=np.array(cols[4], dtype=np.float64),
    )


def leaf(v):
    return (-1, -1, -2, -2.0, v)


def split(left, right, feature, threshold):
    return (left, right, feature, threshold, 0.0)


# One split on column 0 at 0.5: left leaf 10, right leaf 20.
STUMP = [split(1, 2, 0, 0.5), leaf(10.0), leaf(20.0)]


def forest(X, lay):
    return m.predict_forest_batch(X, **lay)


def gbdt(X, lay, lr, init):
    return m.predict_gbdt_batch(X, **lay, learning_rate=lr, init_value=init)


def panic_message(fn, *args, **kw):
    with pytest.raises(BaseException) as e:
        fn(*args, **kw)
    assert type(e.value).__name__ == "PanicException"
    assert type(e.value).__module__ == "pyo3_runtime"
    return e.value.args[0]


def reference_walk(lay, t, row):
    off = lay["offsets"]
    start, end = int(off[t]) % U64, int(off[t + 1]) % U64
    n = end - start
    node = 0
    while True:
        assert node < n
        left = int(lay["children_left"][start + node])
        if left < 0:
            return float(lay["values"][start + node])
        f = int(lay["tree_features"][start + node]) % U64
        if f < len(row) and row[f] > lay["thresholds"][start + node]:
            node = int(lay["children_right"][start + node]) % U64
        else:
            node = left % U64


def reference_forest(X, lay):
    T = len(lay["offsets"]) - 1
    out = []
    for row in X:
        s = 0.0
        for t in range(T):
            s = s + reference_walk(lay, t, row)
        out.append(s / T)
    return np.array(out)


def reference_gbdt(X, lay, lr, init):
    T = len(lay["offsets"]) - 1
    out = []
    for row in X:
        raw = init
        for t in range(T):
            raw = raw + lr * reference_walk(lay, t, row)
        out.append(1.0 / (c_exp(-raw) + 1.0))
    return np.array(out)


def test_split_rules():
    lay = layout([STUMP])
    above = np.nextafter(0.5, 1.0)
    X = np.array([[0.5], [above], [np.nan], [-np.inf], [np.inf]])
    assert forest(X, lay).tolist() == [10.0, 20.0, 10.0, 10.0, 20.0]
    # NaN threshold sends everything left.
    nan_lay = layout([[split(1, 2, 0, np.nan), leaf(1.0), leaf(2.0)]])
    assert forest(X, nan_lay).tolist() == [1.0] * 5
    # Feature index at or past F, or negative: left, without error.
    for f in (1, 7, -1, -(2**63)):
        assert forest(np.array([[9.0], [0.0]]), layout([[split(1, 2, f, 0.5), leaf(1.0), leaf(2.0)]])).tolist() == [1.0, 1.0]
    # A broken right link is harmless while no row goes right.
    never_right = layout([[split(1, 99, 7, 0.5), leaf(1.0), leaf(2.0)], STUMP])
    assert forest(np.array([[9.0]] * 40), never_right).tolist() == [10.5] * 40
    # A matrix without columns follows the all-left path.
    deep = [split(1, 2, 0, 0.0), split(3, 4, 1, 0.0), leaf(2.0), leaf(3.0), leaf(4.0)]
    assert forest(np.zeros((3, 0)), layout([deep, STUMP])).tolist() == [6.5] * 3
    # A tree made of one leaf.
    assert forest(np.zeros((2, 3)), layout([[leaf(-4.5)]])).tolist() == [-4.5, -4.5]
    # Only children_left marks a leaf; the other arrays may hold anything there.
    odd_leaf = [split(1, 2, 0, 0.5), (-7, 99, 99, np.nan, 5.0), (-1, -99, -5, 1.0, 6.0)]
    assert forest(np.array([[0.0], [1.0]]), layout([odd_leaf])).tolist() == [5.0, 6.0]


def test_forest_mean_and_boosting_arithmetic():
    trees = [[leaf(1e16)], [leaf(1.0)], [leaf(-1e16)]]
    # Summed from 0.0 in tree order: the 1.0 is absorbed, so the mean is 0.
    assert forest(np.zeros((1, 1)), layout(trees)).tolist() == [0.0]
    assert forest(np.zeros((1, 1)), layout([trees[0], trees[2], trees[1]])).tolist() == [1.0 / 3.0]

    lay1 = layout([[leaf(0.3)]])
    X = np.zeros((1, 1))
    assert gbdt(X, lay1, 0.1, 0.7).tolist() == [1.0 / (c_exp(-(0.7 + 0.1 * 0.3)) + 1.0)]
    assert gbdt(X, lay1, 0.0, 0.0).tolist() == [0.5]
    assert gbdt(X, layout([[leaf(-800.0)]]), 1.0, 0.0).tolist() == [0.0]
    assert gbdt(X, layout([[leaf(800.0)]]), 1.0, 0.0).tolist() == [1.0]
    assert math.isnan(gbdt(X, lay1, math.nan, 0.0)[0])
    assert math.isnan(gbdt(X, layout([[leaf(math.inf)], [leaf(-math.inf)]]), 1.0, 0.0)[0])


def random_ensemble(rng, n_trees, f, depth):
    """Random trees in depth-first order, some splits on columns the matrix
    lacks, some NaN thresholds."""
    trees = []
    for _ in range(n_trees):
        nodes = []

        def grow(d):
            i = len(nodes)
            nodes.append(None)
            if d == depth or rng.random() < 0.15:
                nodes[i] = leaf(float(rng.normal()))
                return i
            feature = int(rng.integers(-1, f + 1))
            threshold = float(rng.normal()) if rng.random() > 0.05 else math.nan
            left = grow(d + 1)
            right = grow(d + 1)
            nodes[i] = split(left, right, feature, threshold)
            return i

        grow(0)
        trees.append(nodes)
    return trees


@pytest.mark.parametrize("seed", [0, 1])
def test_random_ensembles_match_the_reference_walk(seed):
    rng = np.random.default_rng(seed)
    f = 5
    trees = random_ensemble(rng, 12, f, 7)
    # A tree whose two subtrees share one node (not a cycle): walked as is.
    trees.append([split(1, 2, 0, 0.0), split(3, 3, 1, 0.0), split(3, 4, 2, 0.0), leaf(7.0), leaf(8.0)])
    lay = layout(trees)
    X = rng.normal(size=(1100, f))
    X[rng.random(size=X.shape) < 0.05] = np.nan
    X[7] = 0.0
    want_forest = reference_forest(X, lay)
    want_gbdt = reference_gbdt(X, lay, 0.1, -0.4)
    assert np.array_equal(forest(X, lay), want_forest, equal_nan=True)
    assert np.array_equal(gbdt(X, lay, 0.1, -0.4), want_gbdt, equal_nan=True)
    # Few rows take the plain walk for every tree; same results.
    assert np.array_equal(forest(X[:3], lay), want_forest[:3])
    # Column-major, strided, reversed and unaligned matrices: same scores.
    assert np.array_equal(forest(np.asfortranarray(X), lay), want_forest, equal_nan=True)
    wide = np.zeros((X.shape[0] * 2, f * 3))
    wide[::2, ::3] = X
    assert np.array_equal(forest(wide[::2, ::3], lay), want_forest, equal_nan=True)
    assert np.array_equal(forest(X[::-1], lay), want_forest[::-1], equal_nan=True)
    raw = bytearray(X.nbytes + 3)
    Xu = np.frombuffer(raw, dtype=np.float64, count=X.size, offset=3).reshape(X.shape)
    Xu[...] = X
    assert np.array_equal(forest(Xu, lay), want_forest, equal_nan=True)


def test_unaligned_layout_arrays_are_read_correctly():
    lay = layout(random_ensemble(np.random.default_rng(5), 4, 3, 4))
    X = np.random.default_rng(6).normal(size=(300, 3))
    moved = {}
    for name, a in lay.items():
        raw = bytearray(a.nbytes + 4)
        u = np.frombuffer(raw, dtype=a.dtype, count=a.size, offset=4)
        u[...] = a
        assert u.flags.c_contiguous and not u.flags.aligned
        moved[name] = u
    assert np.array_equal(forest(X, moved), forest(X, lay))


def test_layout_argument_checks_in_order():
    lay = layout([STUMP])
    X = np.zeros((1, 1))
    order = ["offsets", "children_left", "children_right", "tree_features", "thresholds", "values"]
    strided = {}
    for name in order:
        a = lay[name]
        wide = np.zeros(a.size * 2, dtype=a.dtype)
        wide[::2] = a
        strided[name] = wide[::2]
    for i, name in enumerate(order):
        args = {k: (strided[k] if order.index(k) >= i else lay[k]) for k in order}
        for call in (lambda: forest(X, args), lambda: gbdt(X, args, 0.1, 0.0)):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == f"{name} must be contiguous: The given array is not contiguous"
    # Reversed views are refused too; a single element may have any stride.
    with pytest.raises(ValueError, match="^values must be contiguous"):
        forest(X, {**lay, "values": lay["values"][::-1]})
    one_leaf = layout([[leaf(3.0)]])
    wide = np.array([3.0, 0.0, 0.0])
    assert forest(X, {**one_leaf, "values": wide[::2][:1]}).tolist() == [3.0]

    for offsets in ([], [0]):
        for n in (0, 2):
            with pytest.raises(ValueError) as e:
                forest(np.zeros((n, 1)), {**lay, "offsets": np.array(offsets, dtype=np.int64)})
            assert str(e.value) == "Must provide at least one tree"
    with pytest.raises(TypeError) as e:
        forest(X, {**lay, "thresholds": lay["thresholds"].astype(np.float32)})
    assert str(e.value) == "argument 'thresholds': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize("change, message", [
    ({"offsets": [0, 3, 3]}, "index out of bounds: the len is 0 but the index is 0"),  # empty tree
    ({"values": 4}, "range end index 6 out of range for slice of length 4"),  # offsets past values only
    # the length reported is that of the first array, in check order, that fails
    ({"children_right": 5, "thresholds": 4}, "range end index 6 out of range for slice of length 5"),
    ({"offsets": [0, 3, 9, 10]}, "range end index 9 out of range for slice of length 6"),
    ({"offsets": [0, 8, 9]}, "range end index 8 out of range for slice of length 6"),
    ({"offsets": [7, 9]}, "range start index 7 out of range for slice of length 6"),
    ({"offsets": [3, 1]}, "slice index starts at 3 but ends at 1"),
    ({"offsets": [0, -1]}, f"range end index {U64 - 1} out of range for slice of length 6"),
])
def test_range_failures(change, message):
    lay = layout([STUMP, STUMP])
    for k, v in change.items():
        lay[k] = np.array(v, dtype=np.int64) if isinstance(v, list) else lay[k][:v].copy()
    assert panic_message(forest, np.zeros((2, 1)), lay) == message
    assert panic_message(gbdt, np.zeros((2, 1)), lay, 1.0, 0.0) == message
    if "offsets" in change and change["offsets"][-1] == 3:
        assert forest(np.zeros((0, 1)), lay).shape == (0,)


def test_earlier_tree_walk_failure_wins_over_later_range_failure():
    lay = layout([[split(1, 9, 0, 0.5), leaf(1.0), leaf(2.0)], STUMP])
    lay["offsets"] = np.array([0, 3, 99], dtype=np.int64)
    assert panic_message(forest, np.array([[0.0], [1.0]]), lay) == "range end index 99 out of range for slice of length 6"
    assert panic_message(forest, np.array([[1.0], [0.0]]), lay) == "index out of bounds: the len is 3 but the index is 9"


def test_walk_failures_report_the_lowest_failing_row():
    bad_right = [split(1, 7, 0, 0.5), leaf(1.0), leaf(2.0)]
    negative_right = [split(1, -2, 1, 0.5), leaf(1.0), leaf(2.0)]
    lay = layout([STUMP, negative_right, bad_right])
    n = 5000
    X = np.zeros((n, 2))
    assert forest(X, lay).tolist() == [(10.0 + 1.0 + 1.0) / 3] * n
    # Row 3000 fails at tree 2; row 4000 fails earlier, at tree 1; row 4500
    # fails at tree 1 too. The lowest row, 3000, decides the message.
    X[3000, 0] = 1.0
    X[4000, 1] = 1.0
    X[4500, 1] = 1.0
    assert panic_message(forest, X, lay) == "index out of bounds: the len is 3 but the index is 7"
    X[3000, 0] = 0.0
    assert panic_message(gbdt, X, lay, 0.5, 0.0) == f"index out of bounds: the len is 3 but the index is {U64 - 2}"
    # Neighbouring rows, scored together: the later row fails at an earlier tree.
    X[3005, 0] = 1.0
    X[3006, 1] = 1.0
    assert panic_message(forest, X, lay) == "index out of bounds: the len is 3 but the index is 7"
    # The pool keeps working after a failure.
    X[4000, 1] = X[4500, 1] = X[3005, 0] = X[3006, 1] = 0.0
    assert forest(X, lay).tolist() == [4.0] * n


def test_cycles_fail_instead_of_hanging():
    cycle = [split(1, 2, 0, 0.5), split(0, 2, 0, 0.5), leaf(3.0)]
    lay = layout([STUMP, cycle])
    X = np.array([[1.0]] * 10 + [[0.0]] * 10)
    # Rows going right reach the leaf; the others circle 0 -> 1 -> 0 ...
    assert panic_message(forest, X, lay) == "tree 1: walk exceeded 3 steps (cycle in child links)"
    assert forest(X[:10], lay).tolist() == [11.5] * 10
    self_loop = [split(0, 0, 0, 0.5)]
    assert panic_message(forest, np.zeros((300, 1)), layout([self_loop])) == (
        "tree 0: walk exceeded 1 steps (cycle in child links)")
    assert forest(np.zeros((3, 1)), layout([STUMP])).tolist() == [10.0] * 3
