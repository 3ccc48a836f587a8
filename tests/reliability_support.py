"""Shared pieces of the reliability tests (fuzz, leaks, stress, memory):
the PanicException class, a hang guard, slow reference scorers for the
models and the feature matrix, and a set of valid calls of every function.
"""

import faulthandler
import math
import os
import random
import sys

import numpy as np

import _corvane_rs as m

# Seconds one test may run before the process dumps every thread's stack
# and exits: a hang fails the run instead of stalling it.
HANG_SECONDS = float(os.environ.get("CORVANE_HANG_TIMEOUT", "600"))

# Running under AddressSanitizer (scripts/sanitize.sh, or the runtime
# preloaded by hand): allocation failure aborts there instead of throwing.
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")

ALL_FUNCTIONS = [
    "jaro_winkler_batch", "levenshtein_batch", "damerau_levenshtein_batch", "exact_match_batch",
    "numeric_distance_batch", "numeric_similarity_batch", "soundex_batch", "jaccard_batch",
    "cosine_batch", "token_sort_ratio_batch", "compute_feature_matrix", "predict_batch",
    "predict_forest_batch", "predict_gbdt_batch", "predict_svm_batch",
]

STRING_PAIRWISE = [
    "jaro_winkler_batch", "levenshtein_batch", "damerau_levenshtein_batch", "exact_match_batch",
    "soundex_batch", "jaccard_batch", "cosine_batch", "token_sort_ratio_batch",
]
FLOAT_PAIRWISE = ["numeric_distance_batch", "numeric_similarity_batch"]

PARAMS = {name: ("left", "right") for name in STRING_PAIRWISE + FLOAT_PAIRWISE}
PARAMS.update({
    "compute_feature_matrix": ("string_columns_left", "string_columns_right", "string_metric_types",
                               "numeric_left", "numeric_right", "numeric_metric_types", "n_pairs"),
    "predict_batch": ("features", "weights", "bias"),
    "predict_forest_batch": ("features", "offsets", "children_left", "children_right", "tree_features",
                             "thresholds", "values"),
    "predict_gbdt_batch": ("features", "offsets", "children_left", "children_right", "tree_features",
                           "thresholds", "values", "learning_rate", "init_value"),
    "predict_svm_batch": ("features", "support_vectors", "dual_coef", "intercept", "gamma", "prob_a", "prob_b"),
})

# Array parameters: name -> (dtype, number of dimensions).
F64, I64 = np.dtype(np.float64), np.dtype(np.int64)
ARRAY_KINDS = {
    "compute_feature_matrix": {"numeric_left": (F64, 2), "numeric_right": (F64, 2)},
    "predict_batch": {"features": (F64, 2), "weights": (F64, 1)},
    "predict_forest_batch": {"features": (F64, 2), "offsets": (I64, 1), "children_left": (I64, 1),
                             "children_right": (I64, 1), "tree_features": (I64, 1), "thresholds": (F64, 1),
                             "values": (F64, 1)},
    "predict_svm_batch": {"features": (F64, 2), "support_vectors": (F64, 2), "dual_coef": (F64, 1)},
}
ARRAY_KINDS["predict_gbdt_batch"] = ARRAY_KINDS["predict_forest_batch"]

STRING_METRICS = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "soundex", "jaccard", "cosine",
                  "token_sort_ratio"]
NUMERIC_METRICS = ["numeric", "numeric_similarity", "date_distance"]
STRING_METRIC_BATCH = {
    "jaro_winkler": "jaro_winkler_batch", "levenshtein": "levenshtein_batch",
    "damerau_levenshtein": "damerau_levenshtein_batch", "exact": "exact_match_batch", "soundex": "soundex_batch",
    "jaccard": "jaccard_batch", "cosine": "cosine_batch", "token_sort_ratio": "token_sort_ratio_batch",
}


def _find_panic_type():
    empty_i = np.zeros(0, dtype=np.int64)
    try:
        m.predict_forest_batch(np.zeros((1, 1)), np.array([0, 0]), empty_i, empty_i, empty_i, np.zeros(0),
                               np.zeros(0))
    except BaseException as e:  # noqa: BLE001 - that is the point
        return type(e)
    raise AssertionError("an empty tree did not fail")


PanicException = _find_panic_type()
assert PanicException.__name__ == "PanicException" and not issubclass(PanicException, Exception)


class hang_guard:
    """Context manager: exits the process with a stack dump if the body runs
    longer than `seconds`."""

    def __init__(self, seconds=HANG_SECONDS):
        self.seconds = seconds

    def __enter__(self):
        faulthandler.dump_traceback_later(self.seconds, exit=True, file=sys.__stderr__)

    def __exit__(self, *exc):
        faulthandler.cancel_dump_traceback_later()
        return False


def accepts_array(obj, dtype, ndim):
    """Whether the module takes obj as an array view of that kind."""
    return isinstance(obj, np.ndarray) and obj.ndim == ndim and obj.dtype == dtype


def c_exp(x):
    """The C library's exp: math.exp raises where C returns infinity."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


# ---- slow reference scorers --------------------------------------------------

U64 = 2**64


class RefFailure(Exception):
    """A reference scorer's internal failure; message None = cycle."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _slice_failure(start, end, length):
    if start > length:
        return f"range start index {start} out of range for slice of length {length}"
    if end > length:
        return f"range end index {end} out of range for slice of length {length}"
    return f"slice index starts at {start} but ends at {end}"


def tree_scores(features, offsets, cl, cr, tf, th, vals, boosting=False, lr=0.0, init=0.0):
    """Scores of every row, walking the flat layout one node at a time.
    Raises RefFailure with the message of the lowest failing row."""
    rows = np.array(features, dtype=np.float64).tolist()
    f = np.shape(features)[1]
    offsets, cl, cr, tf = (np.asarray(a).tolist() for a in (offsets, cl, cr, tf))
    th, vals = np.asarray(th).tolist(), np.asarray(vals).tolist()
    lengths = [len(cl), len(cr), len(tf), len(th), len(vals)]
    trees = len(offsets) - 1
    out = []
    for row in rows:
        acc = init if boosting else 0.0
        for t in range(trees):
            start, end = offsets[t] % U64, offsets[t + 1] % U64
            if start > end or end > lengths[0]:
                raise RefFailure(_slice_failure(start, end, lengths[0]))
            for length in lengths[1:]:
                if end > length:
                    raise RefFailure(_slice_failure(start, end, length))
            n, node, steps = end - start, 0, 0
            while True:
                if node >= n:
                    raise RefFailure(f"index out of bounds: the len is {n} but the index is {node}")
                if steps == n:
                    raise RefFailure(None)
                left = cl[start + node]
                if left < 0:
                    leaf = vals[start + node]
                    break
                feat = tf[start + node] % U64
                if feat < f and row[feat] > th[start + node]:
                    node = cr[start + node] % U64
                else:
                    node = left
                steps += 1
            acc = acc + lr * leaf if boosting else acc + leaf
        out.append(1.0 / (c_exp(-acc) + 1.0) if boosting else acc / trees)
    return out


def svm_scores(features, support_vectors, dual_coef, intercept, gamma, prob_a, prob_b):
    xs = np.array(features, dtype=np.float64).tolist()
    svs = np.array(support_vectors, dtype=np.float64).tolist()
    coef = np.array(dual_coef, dtype=np.float64).tolist()
    norms = []
    for sv in svs:
        acc = -0.0
        for v in sv:
            acc = acc + v * v
        norms.append(acc)
    out = []
    for x in xs:
        xx = -0.0
        for v in x:
            xx = xx + v * v
        decision = intercept
        for sv, norm, c in zip(svs, norms, coef):
            dot = -0.0
            for a, b in zip(x, sv):
                dot = dot + a * b
            d2 = (xx + norm) - (dot + dot)
            decision = decision + c * c_exp(-(gamma * d2))
        z = decision * prob_a - prob_b
        out.append(1.0 / (c_exp(z) + 1.0))
    return out


def eight_way_dot(r, w):
    p = [0.0] * 8
    k = 0
    while k + 8 <= len(r):
        for j in range(8):
            p[j] = p[j] + r[k + j] * w[k + j]
        k += 8
    s = 0.0 + (p[0] + p[4])
    s = s + (p[1] + p[5])
    s = s + (p[2] + p[6])
    s = s + (p[3] + p[7])
    for j in range(k, len(r)):
        s = s + r[j] * w[j]
    return s


def plain_dot(r, w):
    s = 0.0
    for a, b in zip(r, w):
        s = s + a * b
    return s


def logistic_scores(features, weights, bias):
    """The summation order follows the operands' layout: eight partial sums
    when both have unit element stride (or there is at most one feature)."""
    f = features.shape[1]
    unit = f <= 1 or (features.strides[1] == 8 and weights.strides[0] == 8)
    dot = eight_way_dot if unit else plain_dot
    w = np.array(weights).tolist()
    return [1.0 / (c_exp(-(dot(row, w) + bias)) + 1.0) for row in np.array(features).tolist()]


def numeric_distance(a, b):
    return abs(a - b)


def numeric_similarity(a, b):
    x, y = abs(a), abs(b)
    mx = y if math.isnan(x) else x if math.isnan(y) else max(x, y)
    if mx == 0.0:
        return 1.0
    s = 1.0 - abs(a - b) / mx
    return s if s > 0.0 else 0.0


NUMERIC_REFERENCE = {"numeric": numeric_distance, "date_distance": numeric_distance,
                     "numeric_similarity": numeric_similarity}


def feature_matrix_failure(sl, sr, sm, nl, nr, nm, n_pairs):
    """The ValueError message compute_feature_matrix must raise, or None."""
    if not len(sl) == len(sr) == len(sm):
        return "string columns left/right/metrics must have the same length"
    if not nl.shape[0] == nr.shape[0] == len(nm):
        return "numeric columns left/right/metrics must have the same length"
    if len(sl) + nl.shape[0] == 0:
        return "Must provide at least one comparison"
    for i, name in enumerate(sm):
        if name not in STRING_METRICS:
            listing = ", ".join(f'"{x}"' for x in STRING_METRICS)
            return f"Unknown string metric '{name}' at index {i}. Valid: [{listing}]"
    for i, name in enumerate(nm):
        if name not in NUMERIC_METRICS:
            listing = ", ".join(f'"{x}"' for x in NUMERIC_METRICS)
            return f"Unknown numeric metric '{name}' at index {i}. Valid: [{listing}]"
    for i in range(len(sl)):
        if len(sl[i]) != n_pairs or len(sr[i]) != n_pairs:
            return f"String column {i} has wrong length (expected {n_pairs})"
    if nl.shape[0] > 0 and (nl.shape[1] != n_pairs or nr.shape[1] != n_pairs):
        return f"Numeric array has wrong number of columns (expected {n_pairs})"
    return None


def feature_matrix_reference(sl, sr, sm, nl, nr, nm, n_pairs):
    """Pair-major scores; string columns through the batch functions (their
    own references are tested elsewhere), numeric ones through the Python
    kernels."""
    columns = [getattr(m, STRING_METRIC_BATCH[name])(list(a), list(b)) for a, b, name in zip(sl, sr, sm)]
    left, right = np.array(nl).tolist(), np.array(nr).tolist()
    for r, name in enumerate(nm):
        columns.append([NUMERIC_REFERENCE[name](a, b) for a, b in zip(left[r], right[r])])
    return [col[p] for p in range(n_pairs) for col in columns]


def same_floats(got, want):
    """Bit equality of two float sequences, any NaN equal to any NaN."""
    got, want = list(got), list(want)
    if len(got) != len(want):
        return False
    for a, b in zip(got, want):
        if math.isnan(a) and math.isnan(b):
            continue
        if a != b or math.copysign(1.0, a) != math.copysign(1.0, b):
            return False
    return True


# ---- valid calls of every function ---------------------------------------------

WORDS = ["Martha", "MARHTA", "Jiménez", "Müller", "Mueller", "日本語テキスト", "naïve", "naive", "a b c",
         "c b a", "", " ", "O'Brien", "Ashcroft", "\U0001f600 x", "straße", "strasse", "ab" * 30]


def random_tree_layout(rng, n_trees, n_features, depth=4):
    """A well-formed random ensemble in the flat layout."""
    offsets, cl, cr, tf, th, vals = [0], [], [], [], [], []
    for _ in range(n_trees):
        nodes = []  # (left, right, feature, threshold, value), local indexes

        def grow(d):
            idx = len(nodes)
            nodes.append(None)
            if d == 0 or rng.random() < 0.25:
                nodes[idx] = (-1, -1, -2, -2.0, rng.uniform(-1, 1))
            else:
                left = grow(d - 1)
                right = grow(d - 1)
                nodes[idx] = (left, right, rng.randrange(n_features) if n_features else 0,
                              rng.uniform(-1, 1), 0.0)
            return idx

        grow(depth)
        for left, right, feat, thr, val in nodes:
            cl.append(left)
            cr.append(right)
            tf.append(feat)
            th.append(thr)
            vals.append(val)
        offsets.append(len(cl))
    i64 = lambda a: np.array(a, dtype=np.int64)  # noqa: E731
    return (i64(offsets), i64(cl), i64(cr), i64(tf), np.array(th), np.array(vals))


def valid_calls(seed, rows=60):
    """One valid (name, args) call of every function, on inputs large enough
    to go through the worker pool."""
    rng = random.Random(seed)
    nrng = np.random.default_rng(seed)
    left = [rng.choice(WORDS) + rng.choice(WORDS) for _ in range(rows)]
    right = [rng.choice(WORDS) for _ in range(rows)]
    fl = [rng.choice([0.0, -0.0, 1.5, -2.0, 1e300, math.nan, math.inf, 5e-324, rng.uniform(-9, 9)])
          for _ in range(rows)]
    fr = [rng.uniform(-9, 9) for _ in range(rows)]
    calls = [(name, (left, right)) for name in STRING_PAIRWISE]
    calls += [(name, (fl, fr)) for name in FLOAT_PAIRWISE]
    numeric = nrng.normal(size=(2, rows))
    calls.append(("compute_feature_matrix",
                  ([left, right], [right, left], ["jaro_winkler", "token_sort_ratio"], numeric, numeric[::-1].copy(),
                   ["numeric", "numeric_similarity"], rows)))
    X = nrng.normal(size=(rows, 11))
    calls.append(("predict_batch", (X, nrng.normal(size=11), 0.25)))
    layout = random_tree_layout(rng, 5, 11)
    calls.append(("predict_forest_batch", (X,) + layout))
    calls.append(("predict_gbdt_batch", (X,) + layout + (0.1, -0.5)))
    sv = nrng.normal(size=(7, 11))
    calls.append(("predict_svm_batch", (X, sv, nrng.normal(size=7), 0.1, 0.05, -1.5, 0.2)))
    return calls


def call(name, args):
    return getattr(m, name)(*args)


def as_plain(result):
    """A result as a list of floats (lists stay lists, arrays are converted)."""
    return result.tolist() if isinstance(result, np.ndarray) else list(result)
