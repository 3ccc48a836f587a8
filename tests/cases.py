"""One table of failing calls: (label, function, args, kwargs, exception,
message). The binding tests check each exception and message; the
reliability tests repeat the same calls for reference counts, memory and
threads."""

import math

import numpy as np
from numpy.lib.stride_tricks import as_strided

import _corvane_rs as m
from support import SANITIZED, PanicException, layout


class Boom(Exception):
    """Raised by the objects below; must pass through unchanged."""


class Seq:
    """A sequence known only by __len__ and __getitem__: item `fail_at`
    raises `error`, each item read runs `action`, the length may lie."""

    def __init__(self, items, fail_at=None, error=Boom, length=None, action=lambda: None):
        self.items, self.fail_at, self.error, self.length, self.action = list(items), fail_at, error, length, action

    def __len__(self):
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        self.action()
        if i == self.fail_at:
            raise self.error("item")
        return self.items[i]


class Callback:
    """Runs `action` whenever the module converts it as a float or a count."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Floaty:
    def __float__(self):
        raise Boom("float")


def ghost(shape, strides=None):
    """A float64 array of any size backed by one element."""
    return as_strided(np.zeros(1), shape=shape, strides=strides or (0,) * len(shape), writeable=False)


def fm(sl=(("a", "b"),), sr=(("a", "c"),), sm=("exact",), nl=None, nr=None, nm=("numeric",), n=2):
    nl, nr = (np.zeros((len(nm), 2)) if a is None else a for a in (nl, nr))
    return [list(c) for c in sl], [list(c) for c in sr], list(sm), nl, nr, list(nm), n


def no_numeric(**kw):
    return fm(nl=np.zeros((0, 0)), nr=np.zeros((0, 0)), nm=(), **kw)


STUMP = [(1, 2, 0, 0.5, 0.0), (-1, -1, 0, 0.0, 10.0), (-1, -1, 0, 0.0, 20.0)]
TREES = layout([STUMP, STUMP])
X1, Z = np.zeros((1, 1)), np.zeros((2, 1))
LISTING = '["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine", ' \
    '"token_sort_ratio"]'
TYPE = "argument '{}': '{}' object cannot be converted to '{}'"
ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


def row(fn, args, exc, msg, kwargs=None, label=None):
    return (label or f"{fn.__name__}: {msg[:60]}", fn, args, kwargs or {}, exc, msg)


NAMES = ["offsets", "children_left", "children_right", "tree_features", "thresholds", "values"]


def trees_with(**changes):
    return tuple(changes.get(n, a) for n, a in zip(NAMES, TREES))


def strided(a):
    wide = np.zeros(2 * len(a), dtype=a.dtype)
    wide[::2] = a
    return wide[::2]


e, fmb, svm, lr = m.exact_match_batch, m.compute_feature_matrix, m.predict_svm_batch, m.predict_batch
ok2, ok1 = np.zeros((2, 2)), np.zeros(2)
CASES = [
    row(e, (["a"],), TypeError, "exact_match_batch() missing 1 required positional argument: 'right'"),
    row(e, (), TypeError, "exact_match_batch() missing 2 required positional arguments: 'left' and 'right'"),
    row(e, ([], [], []), TypeError, "exact_match_batch() takes 2 positional arguments but 3 were given"),
    row(e, ([], []), TypeError, "exact_match_batch() got multiple values for argument 'left'", {"left": []}),
    row(m.jaccard_batch, ([],), TypeError, "jaccard_batch() got an unexpected keyword argument 'x'",
        {"x": 1, "right": []}),
    row(e, (), TypeError, "exact_match_batch() got an unexpected keyword argument 'lft'", {"lft": []}),
    row(svm, (X1, X1, np.zeros(1)), TypeError,
        "predict_svm_batch() missing 3 required positional arguments: 'intercept', 'gamma', and 'prob_b'",
        {"prob_a": 1.0}),
    # string columns: left is converted (and reported) before right, both before the length check
    row(e, ("ab", ["x"]), TypeError, "argument 'left': Can't extract `str` to `Vec`"),
    row(m.cosine_batch, ({"a": 1}, ["x"]), TypeError, TYPE.format("left", "dict", "Sequence")),
    row(m.jaro_winkler_batch, (["a", None], ["a"]), TypeError, TYPE.format("left", "NoneType", "PyString")),
    row(m.soundex_batch, (b"ab", ["a", "b"]), TypeError, TYPE.format("left", "int", "PyString")),
    row(m.token_sort_ratio_batch, (["a"], [2, 3]), TypeError, TYPE.format("right", "int", "PyString")),
    row(m.levenshtein_batch, (["a", "b"], ["a"]), ValueError, "left and right must have the same length"),
    row(m.damerau_levenshtein_batch, (["ok", "a\ud800"], ["a", "b"]), UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    row(e, (Seq("abc", fail_at=1), ["a"] * 3), Boom, "item"),
    # float columns, scalars and counts
    row(m.numeric_distance_batch, ([None], [1.0]), TypeError, "argument 'left': must be real number, not NoneType"),
    row(m.numeric_similarity_batch, ([1.0], ["x"]), TypeError, "argument 'right': must be real number, not str"),
    row(m.numeric_similarity_batch, ([10**400], [1.0]), OverflowError, "int too large to convert to float"),
    row(m.numeric_distance_batch, ([1.0, Floaty()], [1.0, 2.0]), Boom, "float"),
    row(m.numeric_distance_batch, ([1.0], []), ValueError, "left and right must have the same length"),
    row(lr, (ok2, ok1, None), TypeError, "argument 'bias': must be real number, not NoneType"),
    row(fmb, fm(n=-1), OverflowError, "can't convert negative int to unsigned"),
    row(fmb, fm(n=2**64), OverflowError, "int too big to convert"),
    row(fmb, fm(n=2.0), TypeError, "argument 'n_pairs': 'float' object cannot be interpreted as an integer"),
    # array views
    row(lr, ([[1.0, 2.0]], ok1, 0.0), TypeError, ARRAY.format("features", "list")),
    row(lr, (ok2.astype(np.float32), ok1, 0.0), TypeError, ARRAY.format("features", "ndarray")),
    row(lr, (ok1, ok1, 0.0), TypeError, ARRAY.format("features", "ndarray")),
    row(lr, (ok2, ok2, 0.0), TypeError, ARRAY.format("weights", "ndarray")),
    row(m.predict_forest_batch, (Z,) + trees_with(offsets=np.array([0, 3], dtype=np.int32)), TypeError,
        ARRAY.format("offsets", "ndarray")),
    row(m.predict_forest_batch, (Z,) + trees_with(thresholds=TREES[4].astype(np.float32)), TypeError,
        ARRAY.format("thresholds", "ndarray")),
    row(svm, (ok2, ok2, ok2, 0.0, 1.0, 1.0, 0.0), TypeError, ARRAY.format("dual_coef", "ndarray")),
    # compute_feature_matrix: conversions in parameter order, then the checks in their order
    row(fmb, ("ab",) + fm()[1:], TypeError, "argument 'string_columns_left': Can't extract `str` to `Vec`"),
    row(fmb, ([["a", "b"], "xy"],) + fm()[1:], TypeError,
        "argument 'string_columns_left': Can't extract `str` to `Vec`"),
    row(fmb, fm()[:1] + ("ab",) + fm()[2:], TypeError, "argument 'string_columns_right': Can't extract `str` to `Vec`"),
    row(fmb, fm(sm=(None,)), TypeError, TYPE.format("string_metric_types", "NoneType", "PyString")),
    # an "exact" column of two lists of str is compared before the
    # conversions: the failures of the others, or of a late item, still come in order
    row(fmb, fm(sl=(("a", "b"), ("a", 2)), sr=(("a", "c"), ("a", "b")), sm=("exact",) * 2), TypeError,
        TYPE.format("string_columns_left", "int", "PyString")),
    row(fmb, fm(sl=(("a", "b", "c"),), sr=(("a", "b", None),), n=3), TypeError,
        TYPE.format("string_columns_right", "NoneType", "PyString")),
    row(fmb, fm(sl=(("ok", "a\ud800"),)), UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\ud800' in position 1: surrogates not allowed"),
    row(fmb, fm()[:3] + ([[1.0]],) + fm()[4:], TypeError, ARRAY.format("numeric_left", "list")),
    row(fmb, fm(nr=np.zeros((1, 2), np.float32)), TypeError, ARRAY.format("numeric_right", "ndarray")),
    row(fmb, fm(nr=np.zeros(2)), TypeError, ARRAY.format("numeric_right", "ndarray")),
    row(fmb, fm()[:5] + ("numeric",) + fm()[6:], TypeError,
        "argument 'numeric_metric_types': Can't extract `str` to `Vec`"),
    row(fmb, fm(sm=("exact", "exact")), ValueError, "string columns left/right/metrics must have the same length"),
    row(fmb, fm(sr=()), ValueError, "string columns left/right/metrics must have the same length"),
    row(fmb, fm(sl=(), sr=(), sm=(), nl=np.zeros((2, 3)), nr=np.zeros((1, 3)), nm=("x", "y")), ValueError,
        "numeric columns left/right/metrics must have the same length"),
    row(fmb, fm(nl=ok2, nr=ok2), ValueError, "numeric columns left/right/metrics must have the same length"),
    row(fmb, ([], [], [], np.zeros((0, 5)), np.zeros((0, 2)), [], 7), ValueError,
        "Must provide at least one comparison"),
    row(fmb, fm(sl=([], [], []), sr=([], [], []), sm=("exact", "fuzzy", "Exact"), nm=("bogus",), n=3), ValueError,
        "Unknown string metric 'fuzzy' at index 1. Valid: " + LISTING),
    row(fmb, no_numeric(sl=(("a",),), sr=(("a", "b"),), sm=("exact\x00",), n=1), ValueError,
        "Unknown string metric 'exact\x00' at index 0. Valid: " + LISTING),
    row(fmb, fm(sl=(), sr=(), sm=(), nm=("date_distance", "Numeric"), nl=np.zeros((2, 9)), n=3), ValueError,
        "Unknown numeric metric 'Numeric' at index 1. Valid: [\"numeric\", \"numeric_similarity\", \"date_distance\"]"),
    row(fmb, fm(sl=(("a",),) * 3, sr=(("a",), ("a", "b"), ("a",)), sm=("exact",) * 3, n=1, nl=np.zeros((1, 5))),
        ValueError, "String column 1 has wrong length (expected 1)"),
    row(fmb, no_numeric(n=3), ValueError, "String column 0 has wrong length (expected 3)"),
    row(fmb, fm(nr=np.zeros((1, 4))), ValueError, "Numeric array has wrong number of columns (expected 2)"),
    row(fmb, fm(nl=np.zeros((1, 4)), nr=np.zeros((1, 3)), n=3, sl=(("a",) * 3,), sr=(("b",) * 3,)), ValueError,
        "Numeric array has wrong number of columns (expected 3)"),
    row(fmb, fm(n=2**64 - 1, sl=(), sr=(), sm=(), nl=np.zeros((1, 1)), nr=np.zeros((1, 1))), ValueError,
        "Numeric array has wrong number of columns (expected 18446744073709551615)"),
    # scorers: shapes and layouts
    row(lr, (np.ones((0, 3)), np.ones(4), 0.0), ValueError, "Feature matrix has 3 columns but weights has 4 elements"),
    row(svm, (np.zeros((2, 3)), np.zeros((4, 4)), np.zeros(5), 0.0, 1.0, 1.0, 0.0), ValueError,
        "Feature matrix has 3 columns but support vectors have 4 columns"),
    row(svm, (np.zeros((0, 3)), np.zeros((4, 3)), strided(np.zeros(5)), 0.0, 1.0, 1.0, 0.0), ValueError,
        "support_vectors has 4 rows but dual_coef has 5 elements"),
    row(svm, (Z, np.ones((3, 1)), strided(np.ones(3)), 0.0, 1.0, 1.0, 0.0), PanicException,
        "called `Option::unwrap()` on a `None` value"),
    row(m.predict_forest_batch, (Z,) + trees_with(values=TREES[5][::-1]), ValueError,
        "values must be contiguous: The given array is not contiguous"),
    *(row(m.predict_gbdt_batch if k % 2 else m.predict_forest_batch,
          (Z,) + tuple(strided(a) if j >= k else a for j, a in enumerate(TREES)) + (0.1, 0.0)[:2 * (k % 2)],
          ValueError, f"{name} must be contiguous: The given array is not contiguous")
      for k, name in enumerate(NAMES)),
    *(row(m.predict_forest_batch, (np.zeros((n, 1)),) + trees_with(offsets=np.array(o, dtype=np.int64)),
          ValueError, "Must provide at least one tree") for o in ([], [0]) for n in (0, 2)),
]
# An earlier tree's walk failure wins over a later tree's range failure
# only in a lower row.
LATE = trees_with(offsets=np.array([0, 3, 99]), children_right=np.array([9, -1, -1, 2, -1, -1]))
CASES += [row(m.predict_forest_batch, (np.array([[0.0], [1.0]]),) + LATE, PanicException,
              "range end index 99 out of range for slice of length 6"),
          row(m.predict_forest_batch, (np.array([[1.0], [0.0]]),) + LATE, PanicException,
              "index out of bounds: the len is 3 but the index is 9")]
# Tree layouts that fail while scoring: the message of the first failing
# range test, in the order children_left, children_right, tree_features,
# thresholds, values, or of the walk; both scorers.
for change, message in [
    ({"offsets": [0, 3, 3]}, "index out of bounds: the len is 0 but the index is 0"),
    ({"values": 4}, "range end index 6 out of range for slice of length 4"),
    ({"children_right": 5, "thresholds": 4}, "range end index 6 out of range for slice of length 5"),
    ({"tree_features": 5, "values": 4}, "range end index 6 out of range for slice of length 5"),
    ({"thresholds": 5, "values": 4}, "range end index 6 out of range for slice of length 5"),
    ({"offsets": [0, 3, 9, 10]}, "range end index 9 out of range for slice of length 6"),
    ({"offsets": [7, 9]}, "range start index 7 out of range for slice of length 6"),
    ({"offsets": [3, 1]}, "slice index starts at 3 but ends at 1"),
    ({"offsets": [0, -1]}, f"range end index {2**64 - 1} out of range for slice of length 6"),
    ({"children_left": [1, -1, -1, 7, -1, -1]}, "index out of bounds: the len is 3 but the index is 7"),
    ({"children_left": [1, -1, -1, 1, 0, -1], "tree_features": [0, 0, 0, 0, 5, 0]},
     "tree 1: walk exceeded 3 steps (cycle in child links)"),
]:
    lay = trees_with(**{k: np.array(v, dtype=np.int64) if isinstance(v, list) else TREES[NAMES.index(k)][:v].copy()
                        for k, v in change.items()})
    CASES += [row(m.predict_forest_batch, (Z,) + lay, PanicException, message),
              row(m.predict_gbdt_batch, (Z,) + lay + (1.0, 0.0), PanicException, message)]

# compare_pairs: the argument checks, then positions (left before right), then missing values
cp, P2 = m.compare_pairs, np.arange(2)
CASES += [
    row(cp, (["a", "b"], [["a", "b"]], ["exact"], P2, P2, 0.0), ValueError,
        "left, right and metrics must have the same length"),
    row(cp, ([], [], [], P2, P2, 0.0), ValueError, "Must provide at least one comparison"),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exakt"], P2, P2, 0.0), ValueError,
        "Unknown metric 'exakt' at index 0. Valid: " + LISTING + ' or ["numeric", "numeric_similarity", "date_distance"]'),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exact"], P2, P2[:1], 0.0), ValueError,
        "left_positions and right_positions must have the same length"),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exact"], P2, P2, "drop"), ValueError, "missing must be a number or 'error'"),
    row(cp, ([["a", "b"], ["c"]], [["a", "b"]] * 2, ["exact"] * 2, P2, P2, 0.0), ValueError,
        "left column 1 has 1 records but the columns before it have 2"),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exact"], P2.astype(np.int32), P2, 0.0), TypeError,
        ARRAY.format("left_positions", "ndarray")),
    row(cp, ([[1.0, "x"]], [[1.0, 2.0]], ["numeric"], P2, P2, 0.0), TypeError,
        "argument 'left': must be real number, not str"),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exact"], np.array([0, 1, 2, -1]), np.array([5, 0, 0, 0]), 0.0),
        IndexError, "pairs: left position 2 at pair 2 is outside the 2 rows of left"),
    row(cp, ([["a", "b"]], [["a", "b"]], ["exact"], P2, np.array([0, -3]), 0.0),
        IndexError, "pairs: right position -3 at pair 1 is outside the 2 rows of right"),
    row(cp, ([["a", "b"], [1.0, 2.0]], [["a", None], [1.0, math.nan]], ["exact", "numeric"], P2[::-1], P2, "error"),
        ValueError, "comparison 0 has a missing value on the right side, first at pair 1 (right row 1)"),
]
# compare_plan checks its columns as compare_pairs does; plan_pairs its
# positions, then missing values
PLAN = m.compare_plan([["a", "b"], [1.0, 2.0]], [["a", None], [1.0, math.nan]], ["exact", "numeric"], 2)
CASES += [
    row(m.compare_plan, (["a", "b"], [["a", "b"]], ["exact"], 2), ValueError,
        "left, right and metrics must have the same length"),
    row(m.compare_plan, ([["a", "b"]], [["a", "b"]], ["exakt"], 2), ValueError,
        "Unknown metric 'exakt' at index 0. Valid: " + LISTING + ' or ["numeric", "numeric_similarity", "date_distance"]'),
    row(m.compare_plan, ([["a", "b"]], [["a", "b"], ["c"]], ["exact"], 2), ValueError,
        "left, right and metrics must have the same length"),
    row(m.compare_plan, ([[1.0, "x"]], [[1.0, 2.0]], ["numeric"], 2), TypeError,
        "argument 'left': must be real number, not str"),
    row(m.plan_pairs, ((1, 2), P2, P2, 0.0), TypeError, "argument 'plan': expected a plan from compare_plan, not 'tuple'"),
    row(m.plan_pairs, (PLAN, P2, P2[:1], 0.0), ValueError, "left_positions and right_positions must have the same length"),
    row(m.plan_pairs, (PLAN, P2, P2, "drop"), ValueError, "missing must be a number or 'error'"),
    row(m.plan_pairs, (PLAN, P2, np.array([0, -3]), 0.0), IndexError,
        "pairs: right position -3 at pair 1 is outside the 2 rows of right"),
    row(m.plan_pairs, (PLAN, P2[::-1], P2, "error"), ValueError,
        "comparison 0 has a missing value on the right side, first at pair 1 (right row 1)"),
]

# match_weight_batch / level_key_batch: the cuts must account for every row,
# threshold and weight; the keys must fit in an int64
mw, S, T, D = m.match_weight_batch, np.zeros((2, 3)), np.array([1.0, 0.5]), np.array([0, 1])
N1 = np.array([1, 1])
CASES += [
    row(mw, (S, T, N1[:1], D, np.zeros(6), 0.0), ValueError,
        "scores has 2 comparisons (rows) but n_thresholds has 1 and distance 2 elements"),
    row(mw, (S, T, np.array([1, -1]), D, np.zeros(6), 0.0), ValueError,
        "n_thresholds[1] = -1 does not fit in the 2 thresholds given"),
    row(mw, (S, T, np.array([2, 1]), D, np.zeros(6), 0.0), ValueError,
        "n_thresholds[1] = 1 does not fit in the 2 thresholds given"),
    row(mw, (S, T, np.array([1, 0]), D, np.zeros(6), 0.0), ValueError,
        "thresholds has 2 values but n_thresholds adds up to 1"),
    row(mw, (S, T, N1, D, np.zeros(5), 0.0), ValueError,
        "weights has 5 values, fewer than the levels of the comparisons (n_thresholds + 2 each)"),
    row(mw, (S, T, N1, D, np.zeros(7), 0.0), ValueError, "weights has 7 values but the levels add up to 6"),
    row(mw, (S, T, np.array([2, 0]), np.array([1, 0]), np.zeros(6), 0.0), ValueError,
        "the thresholds of comparison 0 must be strictly increasing numbers, closest level first"),
    row(m.level_key_batch, (S, np.array([0.5, 0.5]), np.array([0, 2]), D), ValueError,
        "the thresholds of comparison 1 must be strictly increasing numbers, closest level first"),
    row(m.level_key_batch, (S[:1], np.array([math.nan]), np.array([1]), D[:1]), ValueError,
        "the thresholds of comparison 0 must be strictly decreasing numbers, closest level first"),
    row(m.level_key_batch, (np.zeros((64, 2)), np.zeros(0), np.zeros(64, np.int64), np.zeros(64, np.int64)),
        ValueError, "the combinations of levels (the product of n_thresholds + 2 over the comparisons) do not fit "
        "in an int64 key"),
    # frequency_weight_batch: lengths, u, and a frequency outside (0, 1] at the exact level only
    row(m.frequency_weight_batch, (np.zeros(3), np.zeros(2), np.zeros(3), 1.0, 0.5), ValueError,
        "weights has 3 values but frequency 2 and scores 3"),
    row(m.frequency_weight_batch, (np.zeros(1), np.ones(1), np.ones(1), 1.0, 0.0), ValueError,
        "u_exact must lie in (0, 1], not 0.000000"),
    row(m.frequency_weight_batch, (np.zeros(1), np.ones(1), np.ones(1), math.nan, 0.5), ValueError,
        "exact_threshold is NaN: give the exact level's threshold"),
    row(m.frequency_weight_batch, (np.zeros(3), np.array([0.5, 2.0, 0.0]), np.array([1.0, 0.5, 1.0]), 1.0, 0.5),
        ValueError, "frequency[2] = 0.000000 at the exact level: a term frequency lies in (0, 1]"),
]

# compare_levels: compare_pairs' columns and positions, level_key_batch's cuts
cl, CUT = m.compare_levels, (np.array([0.9, 0.5]), np.array([2]), np.array([0]))
CASES += [
    row(cl, ([["a", "b", "c"]], [["a", "x"]], ["levenshtein"], np.array([0, 7]), P2, *CUT), IndexError,
        "pairs: left position 7 at pair 1 is outside the 3 rows of left"),
    row(cl, ([["a"]], [["a"]], ["levenshtein"], P2[:1], P2[:1], CUT[0], np.array([1, 1]), CUT[2]), ValueError,
        "metrics has 1 comparisons but n_thresholds has 2 and distance 1 elements"),
    row(cl, ([["a"]], [["a"]], ["levenshtein"], P2[:1], P2[:1], CUT[0][::-1].copy(), *CUT[1:]), ValueError,
        "the thresholds of comparison 0 must be strictly decreasing numbers, closest level first"),
    row(cl, ([["a"]], [["a"]], ["levenshtein"], P2[:1], P2[:1], np.linspace(1, 0.001, 255), np.array([255]),
             CUT[2]), ValueError, "comparison 0 has 255 thresholds; at most 254 fit a level code"),
    row(cl, ([["a"]], [["a"]], ["nope"], P2[:1], P2[:1], *CUT), ValueError, "Unknown metric 'nope' at index 0. "
        'Valid: ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine", '
        '"token_sort_ratio"] or ["numeric", "numeric_similarity", "date_distance"]'),
    row(cl, ([["a", "b"], ["c"]], [["a", "b"]] * 2, ["exact"] * 2, P2, P2, np.zeros(0), np.zeros(2, np.int64),
             np.zeros(2, np.int64)), ValueError, "left column 1 has 1 records but the columns before it have 2"),
]

if not SANITIZED:  # the sanitizer's operator new aborts instead of throwing
    BIG, LEAF = 2**21, layout([[(-1, -1, 0, 0.0, 2.0)]])
    CASES += [row(fn, args, MemoryError, "", label=f"impossible allocation: {label}") for label, fn, args in [
        ("forest copy", m.predict_forest_batch, (ghost((BIG, BIG)),) + LEAF),
        ("gbdt copy", m.predict_gbdt_batch, (ghost((BIG, BIG)),) + LEAF + (0.1, 0.0)),
        ("svm features copy", svm, (ghost((BIG, BIG)), np.zeros((0, BIG)), np.zeros(0), 0.0, 1.0, 1.0, 0.0)),
        ("svm vectors copy", svm, (np.zeros((0, BIG)), ghost((BIG, BIG)), ghost((BIG,)), 0.0, 1.0, 1.0, 0.0)),
        ("logistic result", lr, (ghost((2**41, 0), (0, 8)), np.zeros(0), 0.0)),
        ("forest result", m.predict_forest_batch, (ghost((2**41, 0), (0, 8)),) + LEAF),
        ("svm result", svm, (ghost((2**41, 0), (0, 8)), np.zeros((0, 0)), np.zeros(0), 0.0, 1.0, 1.0, 0.0)),
        ("matrix output", fmb, ([], [], [], ghost((2, 2**50)), ghost((2, 2**50)), ["numeric"] * 2, 2**50)),
    ]]

# Failures inside the worker pool: only the last rows take a broken branch.
ROWS = np.zeros((3000, 2))
ROWS[2300:, 0] = 1.0
BROKEN = layout([STUMP, [(1, 7, 0, 0.5, 0.0)] + STUMP[1:]])
CASES += [row(fn, (ROWS,) + BROKEN + extra, PanicException, "index out of bounds: the len is 3 but the index is 7",
              label=f"{fn.__name__}: failing rows in the pool")
          for fn, extra in ((m.predict_forest_batch, ()), (m.predict_gbdt_batch, (0.1, 0.0)))]
CASES.append(row(m.levenshtein_batch, (Seq(["x"] * 3000, fail_at=2995), ["x"] * 3000), Boom, "item",
                 label="a long column failing late"))
