"""compute_feature_matrix: validation, numeric array layouts, pair-major
output, and agreement with the pairwise batch functions."""

import math
import os
import random

import numpy as np
import pytest

import _corvane_rs as m

STRING_METRICS = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact",
                  "soundex", "jaccard", "cosine", "token_sort_ratio"]
BATCH_OF = {**{k: f"{k}_batch" for k in STRING_METRICS}, "exact": "exact_match_batch",
            "numeric": "numeric_distance_batch", "numeric_similarity": "numeric_similarity_batch",
            "date_distance": "numeric_distance_batch"}
STRING_LISTING = '["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine", "token_sort_ratio"]'
NUMERIC_LISTING = '["numeric", "numeric_similarity", "date_distance"]'


def fm(sl=(), sr=(), sm=(), nl=None, nr=None, nm=(), n_pairs=0):
    nl = np.zeros((0, 0)) if nl is None else nl
    nr = np.zeros((0, 0)) if nr is None else nr
    return m.compute_feature_matrix(list(sl), list(sr), list(sm), nl, nr, list(nm), n_pairs)


def value_error(**kw):
    with pytest.raises(ValueError) as e:
        fm(**kw)
    assert type(e.value) is ValueError and len(e.value.args) == 1
    return str(e.value)


def same_bits(a, b):
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.view(np.uint64).tolist() == b.view(np.uint64).tolist()


def random_words(rng, n):
    alphabet = "aabbcdeeilmnorstu éßж漢  "
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12))) for _ in range(n)]


def test_validation_messages_in_order():
    a2 = np.zeros((2, 3))
    a1 = np.zeros((1, 3))
    # 1. string counts (left/right/metrics)
    for kw in [dict(sl=[["a"]], sr=[], sm=["exact"]), dict(sl=[["a"]], sr=[["a"]], sm=[])]:
        assert value_error(**kw, nl=a2, nr=a1) == "string columns left/right/metrics must have the same length"
    # 2. numeric counts, before the "no comparison" check
    assert value_error(nl=a2, nr=a1, nm=["numeric"] * 2) == "numeric columns left/right/metrics must have the same length"
    assert value_error(nl=a2, nr=a2, nm=["numeric"]) == "numeric columns left/right/metrics must have the same length"
    # 3. nothing to compare, whatever n_pairs says
    for n in (0, 7):
        assert value_error(n_pairs=n) == "Must provide at least one comparison"
        assert value_error(nl=np.zeros((0, 5)), nr=np.zeros((0, 2)), n_pairs=n) == "Must provide at least one comparison"
    # 4./5. names: string before numeric, lowest index first, verbatim
    msg = value_error(sl=[[], [], []], sr=[[], [], []], sm=["exact", "fuzzy", "Exact"],
                      nl=a1, nr=a1, nm=["bogus"], n_pairs=3)
    assert msg == "Unknown string metric 'fuzzy' at index 1. Valid: " + STRING_LISTING
    for bad in ["Exact", "jaro-winkler", " exact", "exact ", "", "numeric", "exact\x00"]:
        msg = value_error(sl=[["x"]], sr=[["x"]], sm=[bad], n_pairs=1)
        assert msg == f"Unknown string metric '{bad}' at index 0. Valid: " + STRING_LISTING
    for bad in ["Numeric", "date", "exact", "numeric\x00x"]:
        msg = value_error(nl=a2, nr=a2, nm=["date_distance", bad], n_pairs=3)
        assert msg == f"Unknown numeric metric '{bad}' at index 1. Valid: " + NUMERIC_LISTING
    # a bad name wins over a wrong column length
    msg = value_error(sl=[["a"]], sr=[["a", "b"]], sm=["nope"], n_pairs=1)
    assert msg.startswith("Unknown string metric 'nope' at index 0.")
    msg = value_error(nl=np.zeros((1, 9)), nr=a1, nm=["nope"], n_pairs=3)
    assert msg.startswith("Unknown numeric metric 'nope' at index 0.")
    # 6. string column lengths: first bad column, either side, no side named
    msg = value_error(sl=[["a"], ["a"], ["a", "b"]], sr=[["a"], ["a", "b"], ["a"]], sm=["exact"] * 3,
                      nl=np.zeros((1, 5)), nr=a1, nm=["numeric"], n_pairs=1)
    assert msg == "String column 1 has wrong length (expected 1)"
    assert value_error(sl=[["a"]], sr=[["a"]], sm=["exact"], n_pairs=2) == "String column 0 has wrong length (expected 2)"
    # 7. numeric second axis, either side
    assert value_error(nl=a1, nr=np.zeros((1, 4)), nm=["numeric"], n_pairs=3) == \
        "Numeric array has wrong number of columns (expected 3)"
    assert value_error(sl=[["a"] * 4], sr=[["b"] * 4], sm=["exact"], nl=a1, nr=a1, nm=["numeric"], n_pairs=4) == \
        "Numeric array has wrong number of columns (expected 4)"


def test_conversion_errors_in_parameter_order():
    ok = np.zeros((1, 1))
    cases = [
        (("ab", [], [], ok, ok, [], 1), TypeError, "argument 'string_columns_left': Can't extract `str` to `Vec`"),
        (([], ["ab"], [], ok, ok, [], 1), TypeError, "argument 'string_columns_right': Can't extract `str` to `Vec`"),
        (([], [], [None], [1], ok, [], 1), TypeError,
         "argument 'string_metric_types': 'NoneType' object cannot be converted to 'PyString'"),
        (([], [], [], [[1.0]], "x", [], 1), TypeError,
         "argument 'numeric_left': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (([], [], [], ok, ok.astype(np.float32), [], 1), TypeError,
         "argument 'numeric_right': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (([], [], [], np.zeros(3), ok, [], 1), TypeError,
         "argument 'numeric_left': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (([], [], [], ok, ok, "numeric", 1), TypeError, "argument 'numeric_metric_types': Can't extract `str` to `Vec`"),
    ]
    for args, exc, text in cases:
        with pytest.raises(exc) as e:
            m.compute_feature_matrix(*args)
        assert str(e.value) == text


def test_empty_and_degenerate_shapes():
    out = fm(sl=[[]], sr=[[]], sm=["exact"], nl=np.zeros((2, 0)), nr=np.zeros((2, 0)), nm=["numeric"] * 2)
    assert isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == (0,)
    # without numeric columns the arrays' second axis is never looked at
    for shape in [(0, 0), (0, 5)]:
        out = fm(sl=[["a", "b"]], sr=[["a", "c"]], sm=["exact"], nl=np.zeros(shape), nr=np.zeros((0, 3)), n_pairs=2)
        assert out.tolist() == [1.0, 0.0]
    # numeric columns only
    out = fm(nl=np.array([[1.0, 2.0]]), nr=np.array([[4.0, 2.0]]), nm=["numeric"], n_pairs=2)
    assert out.tolist() == [3.0, 0.0]


def test_pair_major_layout_mixed_columns():
    s0l, s0r = ["a", "b", "c"], ["a", "x", "c"]
    s1l, s1r = ["p", "q", "r"], ["z", "q", "z"]
    nl = np.array([[1.0, 2.0, 3.0], [10.0, 20.0, 30.0]])
    nr = np.array([[1.5, 2.0, 0.0], [5.0, 20.0, -30.0]])
    out = fm(sl=[s0l, s1l], sr=[s0r, s1r], sm=["exact", "exact"], nl=nl, nr=nr,
             nm=["numeric", "numeric_similarity"], n_pairs=3)
    assert out.flags.owndata is False and out.flags.writeable
    assert out.tolist() == [
        1.0, 0.0, 0.5, 0.5,
        0.0, 1.0, 0.0, 1.0,
        1.0, 0.0, 3.0, 0.0,
    ]


def test_columns_equal_batch_functions_bit_for_bit():
    rng = random.Random(11)
    n = 257
    metrics = STRING_METRICS
    left = [random_words(rng, n) for _ in metrics]
    right = [random_words(rng, n) for _ in metrics]
    # plenty of equal pairs, so the 1.0 paths run too
    for col_l, col_r in zip(left, right):
        for p in range(0, n, 5):
            col_r[p] = col_l[p]
    nprng = np.random.default_rng(3)
    nl = nprng.normal(size=(4, n)) * np.array([[1.0], [1e3], [1e-300], [1.0]])
    nr = nprng.normal(size=(4, n)) * np.array([[1.0], [1e3], [1e-300], [1.0]])
    nl[:, ::7] = [[0.0], [math.nan], [math.inf], [-0.0]]
    nr[:, ::11] = 0.0
    nl, nr = np.vstack([nl, nl[:1]]), np.vstack([nr, nr[:1]])
    nm = ["numeric", "numeric_similarity", "date_distance", "numeric_similarity", "date_distance"]
    out = fm(sl=left, sr=right, sm=metrics, nl=nl, nr=nr, nm=nm, n_pairs=n).reshape(n, -1)
    assert out.shape == (n, len(metrics) + 5)
    for f, metric in enumerate(metrics):  # every string metric of the vocabulary
        expected = getattr(m, BATCH_OF[metric])(left[f], right[f])
        assert same_bits(out[:, f], expected), metric
    for r, metric in enumerate(nm):
        expected = getattr(m, BATCH_OF[metric])(nl[r].tolist(), nr[r].tolist())
        assert same_bits(out[:, len(metrics) + r], expected), metric
    assert same_bits(out[:, len(metrics)], out[:, len(metrics) + 4])


def strided_variants(base):
    """Arrays holding the same logical values as `base` in other layouts."""
    rows, cols = base.shape
    yield "column-major", np.asfortranarray(base)
    yield "transposed", np.ascontiguousarray(base.T).T
    big = np.full((rows * 2, cols * 3), -7.0)
    big[::2, ::3] = base
    yield "step-sliced", big[::2, ::3]
    yield "reversed", np.ascontiguousarray(base[::-1, ::-1])[::-1, ::-1]
    yield "read-only", np.require(base.copy(), requirements="C")
    raw = bytearray(base.size * 8 + 1)
    unaligned = np.ndarray(base.shape, dtype=np.float64, buffer=raw, offset=1)
    unaligned[...] = base
    yield "unaligned row-major", unaligned
    raw = bytearray(base.size * 9 + 1)
    odd = np.ndarray(base.shape, dtype=np.float64, buffer=raw, offset=1, strides=(cols * 9, 9))
    odd[...] = base
    yield "odd byte stride", odd
    if rows == 1:
        yield "broadcast", np.broadcast_to(base[0], base.shape)


@pytest.mark.parametrize("shape", [(3, 17), (1, 9), (4, 1)])
def test_layouts_equal_row_major_copy(shape):
    rng = np.random.default_rng(shape[1])
    left = rng.normal(size=shape)
    right = rng.normal(size=shape)
    left[:, 0] = math.nan
    right[-1, -1] = 0.0
    nm = ["numeric_similarity", "numeric", "date_distance", "numeric"][: shape[0]]
    words_l = [f"w{p}" for p in range(shape[1])]
    words_r = [f"w{p % 3}" for p in range(shape[1])]
    args = dict(sl=[words_l], sr=[words_r], sm=["exact"], nm=nm, n_pairs=shape[1])
    expected = fm(nl=left, nr=right, **args)
    for name, variant in strided_variants(left):
        assert np.array_equal(variant, left, equal_nan=True), name
        assert same_bits(fm(nl=variant, nr=right, **args), expected), name
    for name, variant in strided_variants(right):
        assert same_bits(fm(nl=left, nr=variant, **args), expected), name
    # the caller's arrays are only read
    assert np.isnan(left[:, 0]).all()


def test_same_array_on_both_sides():
    a = np.random.default_rng(5).normal(size=(3, 50)) * 1e6
    a[1, 3] = 0.0
    nm = ["numeric", "numeric_similarity", "date_distance"]
    for arr in (a, np.asfortranarray(a), a[:, ::-1]):
        out = fm(nl=arr, nr=arr, nm=nm, n_pairs=50).reshape(50, 3)
        assert (out == np.array([0.0, 1.0, 0.0])).all()
    a[:, 0] = math.nan
    out = fm(nl=a, nr=a, nm=nm, n_pairs=50).reshape(50, 3)
    assert math.isnan(out[0, 0]) and out[0, 1] == 0.0 and math.isnan(out[0, 2])


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer aborts on a failed operator new instead of throwing")
def test_impossible_output_raises_memory_error():
    # Zero-stride views describe huge arrays without storing them; the output
    # cannot be allocated and the call must fail cleanly, then keep working.
    for shape in [(1, 2**59), (2, 2**50)]:
        big = np.broadcast_to(np.zeros(1), shape)
        with pytest.raises(MemoryError):
            fm(nl=big, nr=big, nm=["numeric"] * shape[0], n_pairs=shape[1])
    assert fm(sl=[["a"]], sr=[["a"]], sm=["exact"], n_pairs=1).tolist() == [1.0]


def test_concurrent_callers_get_their_own_results():
    from concurrent.futures import ThreadPoolExecutor

    rng = random.Random(4)
    jobs = []
    for k in range(6):
        n = 500 + 37 * k
        sl, sr = random_words(rng, n), random_words(rng, n)
        arr = np.random.default_rng(k).normal(size=(2, n))
        args = ([sl, sl], [sr, sl], ["levenshtein", "exact"], arr, arr[::-1], ["numeric", "numeric_similarity"], n)
        jobs.append((args, m.compute_feature_matrix(*args)))
    with ThreadPoolExecutor(4) as ex:
        results = list(ex.map(lambda job: m.compute_feature_matrix(*job[0]), jobs * 4))
    for (_, expected), got in zip(jobs * 4, results):
        assert same_bits(got, expected)
