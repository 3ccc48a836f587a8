"""What the tests share: one slow reference per metric and scorer (plain
transcriptions: Python floats round each operation to binary64, so they
give the exact bits the module must return), the input generators, the
function table and a few helpers."""

import math
import os
import random
import re
from collections import Counter

import numpy as np
from rapidfuzz.distance import DamerauLevenshtein, Levenshtein

import _corvane_rs as m

# The sanitizer build (scripts/sanitize.sh): a failed operator new aborts
# there instead of throwing, and freed memory is quarantined.
SANITIZED = os.environ.get("CORVANE_SANITIZED") == "1" or "libasan" in os.environ.get("LD_PRELOAD", "")

TREE_PARAMS = "features offsets children_left children_right tree_features thresholds values"
PARAMS = {name: tuple(params.split()) for name, params in [
    *((f"{k}_batch", "left right") for k in ("jaro_winkler", "levenshtein", "damerau_levenshtein", "exact_match",
                                              "numeric_distance", "numeric_similarity", "soundex", "jaccard",
                                              "cosine", "token_sort_ratio")),
    ("compute_feature_matrix", "string_columns_left string_columns_right string_metric_types numeric_left "
                               "numeric_right numeric_metric_types n_pairs"),
    ("compare_pairs", "left right metrics left_positions right_positions missing"),
    ("predict_batch", "features weights bias"), ("predict_forest_batch", TREE_PARAMS),
    ("predict_gbdt_batch", TREE_PARAMS + " learning_rate init_value"),
    ("predict_svm_batch", "features support_vectors dual_coef intercept gamma prob_a prob_b"),
    ("candidate_pairs", "left_keys right_keys windows dedupe start stop"),
    ("candidate_counts", "left_keys right_keys windows dedupe"), ("combine_keys", "keys n_columns"),
    ("count_equal_pairs", "left_keys right_keys dedupe"), ("connected_components", "left_positions right_positions n_records"),
    ("match_weight_batch", "scores thresholds n_thresholds distance weights prior_weight"),
    ("level_key_batch", "scores thresholds n_thresholds distance"),
    ("frequency_weight_batch", "weights frequency scores exact_threshold u_exact"),
    ("encode_keys", "columns strings transform length ranked"),
    ("candidate_index", "left_keys right_keys windows dedupe"), ("index_pairs", "index start stop"),
    ("index_counts", "index"), ("count_rule_pairs", "keys n_keys rule_masks n_left dedupe"),
    ("compare_levels", "left right metrics left_positions right_positions thresholds n_thresholds distance"),
    ("rule_keys", "codes n_left dedupe"), ("compare_plan", "left right metrics pairs"),
    ("plan_pairs", "plan left_positions right_positions missing")]}
FUNCTIONS = list(PARAMS)
STRING_METRICS = "jaro_winkler levenshtein damerau_levenshtein exact soundex jaccard cosine token_sort_ratio".split()
NUMERIC_METRICS = ["numeric", "numeric_similarity", "date_distance"]
BATCH = {**{k: f"{k}_batch" for k in STRING_METRICS}, "exact": "exact_match_batch",
         "numeric": "numeric_distance_batch", "numeric_similarity": "numeric_similarity_batch",
         "date_distance": "numeric_distance_batch"}


try:  # an empty tree fails while scoring: its exception's class
    m.predict_forest_batch(np.zeros((1, 1)), np.array([0, 0]), *[np.zeros(0, np.int64)] * 3, np.zeros(0), np.zeros(0))
except BaseException as e:  # noqa: BLE001
    PanicException = type(e)


def c_exp(x):
    """The C library's exp: infinity where math.exp raises."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def same_floats(got, want):
    """Bit equality of two float sequences, any NaN equal to any NaN; a
    tuple of results (the blocking functions) part by part; an opaque index
    (candidate_index) only by its kind."""
    if type(got).__name__ == "PyCapsule":
        return type(want) is type(got)
    if isinstance(got, tuple) and want and isinstance(want[0], (list, np.ndarray)):
        return isinstance(want, tuple) and len(got) == len(want) and all(map(same_floats, got, want))
    got, want = np.asarray(got, dtype=np.float64).ravel(), np.asarray(want, dtype=np.float64).ravel()
    return got.shape == want.shape and all(
        (a != a and b != b) or (a == b and math.copysign(1, a) == math.copysign(1, b)) for a, b in zip(got, want))


# ---- string metrics -------------------------------------------------------------

WHITE_SPACE = ([chr(c) for c in range(0x09, 0x0E)] + [" ", "\x85", "\xa0", "\u1680"]
               + [chr(c) for c in range(0x2000, 0x200B)] + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"])


def jaro_winkler(a, b):
    la, lb = len(a), len(b)
    if la == 0 or lb == 0:
        return 1.0 if la == lb else 0.0
    r = max(max(la, lb) // 2 - 1, 0)
    a_flag, b_flag, matches = [False] * la, [False] * lb, 0
    for i in range(la):
        for j in range(max(0, i - r), min(lb, i + r + 1)):
            if b[j] == a[i] and not b_flag[j]:
                a_flag[i] = b_flag[j] = True
                matches += 1
                break
    if matches == 0:
        return 0.0
    t, j = 0, 0
    for i in range(la):
        if a_flag[i]:
            while not b_flag[j]:
                j += 1
            t += a[i] != b[j]
            j += 1
    s = ((matches / la + matches / lb) + (matches - t // 2) / matches) / 3.0
    if not s > 0.7:
        return s
    prefix = 0
    while prefix < min(4, la, lb) and a[prefix] == b[prefix]:
        prefix += 1
    return s + (1.0 - s) * (0.1 * prefix)


SOUNDEX_DIGITS = dict(zip("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "01230120022455012623010202"))


def soundex(s):
    """The code of s, read byte by byte: only ASCII letters count."""
    code, prev = [], None
    for c in (chr(b).upper() for b in s.encode()):
        d = SOUNDEX_DIGITS.get(c)
        if d is None:
            continue
        if not code:
            code.append(c)
        elif d != "0" and d != prev:
            code.append(d)
        prev = d
        if len(code) == 4:
            break
    return "".join(code).ljust(4, "0")


def tokens(s):
    return [t for t in re.split("[" + "".join(WHITE_SPACE) + "]", s) if t]


def jaccard(a, b):
    sa, sb = set(tokens(a)), set(tokens(b))
    return 1.0 if not sa | sb else len(sa & sb) / len(sa | sb)


def cosine(a, b):
    ca, cb = Counter(tokens(a)), Counter(tokens(b))
    if not ca or not cb:
        return 1.0 if not ca and not cb else 0.0
    dot = sum(float(c) * float(cb[t]) for t, c in ca.items() if t in cb)
    den = math.sqrt(sum(float(c) ** 2 for c in cb.values())) * math.sqrt(sum(float(c) ** 2 for c in ca.values()))
    return 0.0 if den == 0.0 else dot / den


def edit_similarity(distance):
    return lambda a, b: 1.0 - distance(a, b) / max(len(a), len(b)) if a or b else 1.0


def token_sort_ratio(a, b):
    return edit_similarity(Levenshtein.distance)(*(" ".join(sorted(tokens(s), key=str.encode)) for s in (a, b)))


def numeric_similarity(a, b):
    x, y = abs(a), abs(b)
    mx = y if x != x else x if y != y else max(x, y)
    s = 1.0 - abs(a - b) / mx if mx != 0.0 else 1.0
    return s if s > 0.0 else 0.0


REFERENCE = {
    "jaro_winkler": jaro_winkler, "levenshtein": edit_similarity(Levenshtein.distance),
    "damerau_levenshtein": edit_similarity(DamerauLevenshtein.distance),
    "exact": lambda a, b: float(a.encode() == b.encode()),
    "soundex": lambda a, b: float(soundex(a) == soundex(b)),
    "jaccard": jaccard, "cosine": cosine, "token_sort_ratio": token_sort_ratio,
    "numeric": lambda a, b: abs(a - b), "date_distance": lambda a, b: abs(a - b),
    "numeric_similarity": numeric_similarity,
}


# ---- models -------------------------------------------------------------------------


def logistic_scores(X, w, bias):
    """Eight partial sums when features and weights both have unit element
    stride (or there is at most one feature), else the plain order."""
    unit = X.shape[1] <= 1 or (X.strides[1] == 8 and w.strides[0] == 8)
    w, out = np.array(w).tolist(), []
    for r in np.array(X).tolist():
        s, k = 0.0, 0
        if unit:
            p = [0.0] * 8
            while k + 8 <= len(r):
                p = [p[j] + r[k + j] * w[k + j] for j in range(8)]
                k += 8
            s = 0.0 + (p[0] + p[4])
            for j in (1, 2, 3):
                s = s + (p[j] + p[j + 4])
        for j in range(k, len(r)):
            s = s + r[j] * w[j]
        out.append(1.0 / (c_exp(-(s + bias)) + 1.0))
    return out


class RefFailure(Exception):
    """The internal failure a scorer must raise; message None: a cycle."""


def tree_scores(X, offsets, cl, cr, tf, th, vals, lr=None, init=0.0):
    """Forest scores, or boosting scores when lr is given, walking the flat
    layout node by node. Raises RefFailure for the lowest failing row."""
    f = X.shape[1]
    offsets, cl, cr, tf, th, vals = (np.asarray(a).tolist() for a in (offsets, cl, cr, tf, th, vals))
    lengths, trees, out = [len(cl), len(cr), len(tf), len(th), len(vals)], len(offsets) - 1, []
    for row in np.array(X).tolist():
        acc = 0.0 if lr is None else init
        for t in range(trees):
            start, end = offsets[t] % 2**64, offsets[t + 1] % 2**64
            for k, length in enumerate(lengths):
                if start > length:
                    raise RefFailure(f"range start index {start} out of range for slice of length {length}")
                if end > length:
                    raise RefFailure(f"range end index {end} out of range for slice of length {length}")
                if k == 0 and start > end:
                    raise RefFailure(f"slice index starts at {start} but ends at {end}")
            n, node = end - start, 0
            for _ in range(n + 1):
                if node >= n:
                    raise RefFailure(f"index out of bounds: the len is {n} but the index is {node}")
                if cl[start + node] < 0:
                    break
                feat = tf[start + node] % 2**64
                go_right = feat < f and row[feat] > th[start + node]
                node = (cr if go_right else cl)[start + node] % 2**64
            else:
                raise RefFailure(None)
            acc = acc + vals[start + node] if lr is None else acc + lr * vals[start + node]
        out.append(acc / trees if lr is None else 1.0 / (c_exp(-acc) + 1.0))
    return out


def svm_scores(X, S, coef, intercept, gamma, prob_a, prob_b):
    def dot(u, v):
        s = -0.0
        for a, b in zip(u, v):
            s = s + a * b
        return s

    svs, coef, out = np.array(S).tolist(), np.array(coef).tolist(), []
    for x in np.array(X).tolist():
        decision = intercept
        for sv, c in zip(svs, coef):
            decision = decision + c * c_exp(-(gamma * ((dot(x, x) + dot(sv, sv)) - (dot(x, sv) + dot(x, sv)))))
        out.append(1.0 / (c_exp(decision * prob_a - prob_b) + 1.0))
    return out


def layout(trees, pad=0):
    """Flat layout of trees given as node lists (left, right, feature,
    threshold, value); `pad` unreachable leaves after each tree."""
    nodes = [node for tree in trees for node in list(tree) + [(-1, -1, 0, 0.0, 0.0)] * pad]
    offsets = np.cumsum([0] + [len(tree) + pad for tree in trees])
    cols = list(zip(*nodes)) or [()] * 5
    return tuple(np.array(c, dtype=np.int64 if k < 4 else np.float64) for k, c in enumerate([offsets] + cols))


def random_tree(rng, f, depth, nodes=None):
    """A random tree in depth-first order; some splits on columns the
    matrix lacks (or negative ones), some NaN thresholds."""
    nodes = [] if nodes is None else nodes
    i = len(nodes)
    nodes.append((-1, -1, -2, -2.0, rng.uniform(-1, 1)))
    if depth > 0 and rng.random() > 0.2:
        left, right = random_tree(rng, f, depth - 1, nodes)[1], random_tree(rng, f, depth - 1, nodes)[1]
        nodes[i] = (left, right, rng.randint(-1, f), rng.uniform(-1, 1) if rng.random() > 0.05 else math.nan, 0.0)
    return nodes, i


# ---- generated inputs --------------------------------------------------------------------

NOT_WHITE_SPACE = "\x1c\x1d\x1e\x1f\u180e\u200b\ufeff\x84\xa1\u200c\u202a\u3001"
# Tiny alphabets make transpositions and repeats common; wide ones take the
# code-point paths, some colliding modulo small powers of two; the letters
# exercise the Soundex separators.
ALPHABETS = ["ab", "abcd", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-'. ",
             "aeiouhwybfpvcgjkqsxzdtlmnrAEHWBFLMR-' 1é", "aé\xffà\x80ßÄ", "жщ日\U0001f600", "aж\u0100\u0200\u0300",
             "".join(map(chr, range(0x100, 0x3200, 0x100))), "ab\xe9" + "".join(map(chr, range(0x4E00, 0x6200, 0x80))),
             "a\U0001f600\U0001f601b\U00010348 "]
BOUNDARY_LENGTHS = [1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 191, 192, 193, 256, 300]


def random_pairs(n, seed):
    """String pairs of many alphabets and lengths (around the 64-character
    word of the bit-parallel kernels); the right side is often an edited
    copy of the left, so long common prefixes and high scores occur."""
    rng = random.Random(seed)

    def text(length):
        alphabet = rng.choice(ALPHABETS)
        return "".join(rng.choice(WHITE_SPACE) if roll < 0.06 else rng.choice(NOT_WHITE_SPACE) if roll < 0.08
                       else chr(rng.randint(0x20, 0x2FFF)) if roll < 0.1 else rng.choice(alphabet)
                       for roll in (rng.random() for _ in range(length)))

    pairs = []
    for _ in range(n):
        a = text(rng.choice(BOUNDARY_LENGTHS) if rng.random() < 0.4 else rng.randint(0, 30))
        b = list(a)
        for _ in range(rng.randint(0, 10)):  # deletions, insertions, substitutions, transpositions
            k, op = rng.randint(0, max(0, len(b) - 2)), rng.randint(0, 3)
            b[k:k + (op != 1) + (op == 3)] = [[], [rng.choice("abxé語\t ")], [rng.choice("xyzé日")], b[k:k + 2][::-1]][op]
        pairs.append(rng.sample(["".join(b) if rng.random() < 0.7 else text(rng.choice(BOUNDARY_LENGTHS)), a], 2))
    return [p[0] for p in pairs], [p[1] for p in pairs]


TOKEN_VOCABULARY = ["a", "b", "ab", "B", "Zeta", "é", "日本", "x\u200by", "john", "smith", "jr", "\U0001f600", "a-b",
                    # order beyond the first 8 bytes, and zero bytes inside tokens
                    "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh\x00", "abcdefghij", "abcdefgz", "a\x00",
                    "a\x00\x00b", "Straßenbahnhaltestelle", "Straßenbahnhaltestellen"]


def token_pairs(n, seed):
    """Texts over a small vocabulary, so tokens repeat within and across the
    sides, with runs of mixed white space around them; some end in a token."""
    rng = random.Random(seed)
    texts = [rng.choice(WHITE_SPACE) * rng.randint(0, 2) + "".join(
        rng.choice(TOKEN_VOCABULARY) + "".join(rng.choices(WHITE_SPACE, k=rng.randint(1, 2)))
        for _ in range(rng.choice([0, 1, 2, 3, 4, 6, 10, 13, 25, 40, rng.randint(0, 60)]))) for _ in range(2 * n)]
    texts = [t[:len(t) - rng.randint(0, 1)] for t in texts]
    return texts[:n], texts[n:]


def single_token_pairs(n, seed):
    """Pairs at the edge of 'no white space at all': single tokens and empty
    strings (equal, edited, or cased apart), one side or both given a
    single white-space character, or a byte that only may begin one (the
    lead bytes of U+00A9, U+1F00, U+2100, U+3041), at every offset of
    lengths around 16 and 32 bytes."""
    rng = random.Random(seed)
    letters = "abcXYZ09-'\x00\x7f\x1f" + "é日"
    lookalikes = ["\xa9", "\u1f00", "\u2100", "\u3041"]

    def word():
        return "".join(rng.choice(letters) for _ in range(rng.choice([0, 1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33])))

    def mark(w):
        if not w or rng.random() < 0.5:
            return w
        i = rng.randint(0, len(w))
        return w[:i] + rng.choice(WHITE_SPACE + lookalikes) + w[i:]

    left, right = [], []
    for _ in range(n):
        a = word()
        b = rng.choice([a, a.upper(), a[:-1], a + rng.choice(letters), word()])
        left.append(mark(a) if rng.random() < 0.3 else a)
        right.append(mark(b) if rng.random() < 0.3 else b)
    return left, right


WORDS = ["Martha", "MARHTA", "Jiménez", "Müller", "Mueller", "日本語テキスト", "naïve", "a b c", "c b a", "", " ",
         "O'Brien", "Ashcroft", "\U0001f600 x", "straße", "ab" * 30]


def valid_calls(seed, rows=60):
    """One valid (name, args) call of every function, large enough for the
    worker pool."""
    rng, nrng = random.Random(seed), np.random.default_rng(seed)
    left = [rng.choice(WORDS) + rng.choice(WORDS) for _ in range(rows)]
    right = [rng.choice(WORDS) for _ in range(rows)]
    fl = [rng.choice([0.0, -0.0, 1.5, 1e300, math.nan, math.inf, 5e-324, rng.uniform(-9, 9)]) for _ in range(rows)]
    fr = [rng.uniform(-9, 9) for _ in range(rows)]
    calls = [(f, (left, right)) for f in FUNCTIONS[:10] if not f.startswith("numeric")]
    calls += [(f, (fl, fr)) for f in ("numeric_distance_batch", "numeric_similarity_batch")]
    numeric = nrng.normal(size=(2, rows))
    calls.append(("compare_pairs", ([left, fl, left], [right, fr, left], ["jaro_winkler", "numeric", "soundex"],
                                    np.arange(rows), np.arange(rows)[::-1].copy(), 0.5)))
    calls.append(("compute_feature_matrix", ([left, right], [right, left], ["jaro_winkler", "token_sort_ratio"],
                                             numeric, numeric[::-1].copy(), ["numeric", "numeric_similarity"], rows)))
    X = nrng.normal(size=(rows, 11))
    trees = layout([random_tree(rng, 11, 4)[0] for _ in range(5)])
    calls += [("predict_batch", (X, nrng.normal(size=11), 0.25)), ("predict_forest_batch", (X,) + trees),
              ("predict_gbdt_batch", (X,) + trees + (0.1, -0.5)),
              ("predict_svm_batch", (X, nrng.normal(size=(7, 11)), nrng.normal(size=7), 0.1, 0.05, -1.5, 0.2))]
    keys = nrng.integers(-1, 5, size=3 * rows)  # three rules' keys over `rows` records
    windows = np.array([0, 3, 0], dtype=np.int64)
    calls += [("candidate_pairs", (keys, keys[::-1].copy(), windows, 0, 0, rows)),
              ("candidate_counts", (keys, keys, windows, 1)), ("combine_keys", (keys, 3)),
              ("count_equal_pairs", (keys, keys[:rows].copy(), 0)),
              ("connected_components", (nrng.integers(0, rows, size=rows), nrng.integers(0, rows, size=rows), rows)),
              ("encode_keys", ([left, right], 1, 1, 3, 1)),
              ("candidate_index", (keys, keys[::-1].copy(), windows, 0))]
    index = m.candidate_index(keys, keys, windows, 1)
    calls += [("index_pairs", (index, 0, rows)), ("index_counts", (index,)),
              ("count_rule_pairs", (np.where(keys < 0, -1, keys % rows), 3, np.array([1, 6, 4], dtype=np.int64),
                                    rows // 2, 0)),
              ("rule_keys", ([[keys[:rows].copy()], [keys[:rows].copy(), keys[rows:2 * rows].copy()]], rows // 2, 0))]
    scores = nrng.choice([0.0, 0.5, 0.7, 1.0, 2.0, math.nan, math.inf, -0.0], size=(3, rows))
    cuts = level_arguments([((1.0, 0.7), False), ((), False), ((1.0,), True)], [nrng.normal(size=k) for k in (4, 2, 3)])
    calls += [("match_weight_batch", (scores, *cuts, -3.5)), ("level_key_batch", (scores, *cuts[:3])),
              ("frequency_weight_batch", (scores[0], nrng.choice([0.25, 1.0, math.nan], size=rows), scores[1], 0.7,
                                          0.01))]
    calls.append(("compare_levels", ([left, fl, left], [right, fr, left], ["jaro_winkler", "numeric", "levenshtein"],
                                     np.arange(rows), np.arange(rows)[::-1].copy(),
                                     *level_arguments([((1.0, 0.7), False), ((0.0, 1.0), True), ((0.5,), False)]))))
    plan_columns = ([left, fl, left], [right, fr, left], ["jaro_winkler", "numeric", "soundex"])
    plan = m.compare_plan(*plan_columns, 10 * rows)  # rows and soundex codes made once
    calls += [("compare_plan", (*plan_columns, rows)),
              ("plan_pairs", (plan, np.arange(rows), np.arange(rows)[::-1].copy(), 0.5))]
    return calls


def call(name, args):
    result = getattr(m, name)(*args)
    if isinstance(result, tuple):
        return tuple(r.tolist() if isinstance(r, np.ndarray) else r for r in result)
    return result.tolist() if isinstance(result, np.ndarray) else result


def check_metric(metric, left, right, want):
    """Scores the pairs through the metric's batch function and its feature
    matrix column; both must give exactly `want`."""
    n, z = len(left), np.zeros((0, 0))
    batch = getattr(m, BATCH[metric])(left, right)
    if metric in NUMERIC_METRICS:
        column = m.compute_feature_matrix([], [], [], np.array([left], dtype=float), np.array([right], dtype=float),
                                          [metric], n)
    else:
        column = m.compute_feature_matrix([left], [right], [metric], z, z, [], n)
    # compare_pairs: the records once each, every pair three times (so the
    # pairs outnumber the records and per-record work applies); a number
    # that is NaN is a missing value there, and scores the fill value NaN.
    positions = np.tile(np.arange(n, dtype=np.int64), 3)
    pairs = m.compare_pairs([left], [right], [metric], positions, positions, math.nan)
    assert pairs.shape == (1, 3 * n)
    paired = list(want)
    if metric in NUMERIC_METRICS:
        paired = [math.nan if a != a or b != b else w for a, b, w in zip(left, right, want)]
    for path, got, expected in (("batch", batch, want), ("matrix", column.tolist(), want),
                                ("pairs", pairs[0].tolist(), paired * 3)):
        assert same_floats(got, expected), (metric, path, [p for p in zip(left, right, got, expected) if p[2] != p[3]])


# ---- blocking and clustering ------------------------------------------------------


def _missing(v):
    return v is None or v != v  # None, NaN, NaT


def _key_value(key, value):
    """A rule key's value for one record (None: missing), as a user reads the rule."""
    if _missing(value):
        return None
    if key.transform == "prefix":
        return value[:key.length]
    if key.transform == "year":
        return value.year
    if key.transform == "soundex":
        letters = [c for c in value if c.isascii() and c.isalpha()]
        return ("soundex", value) if letters else None
    return value


def _same(a, b):
    if isinstance(a, tuple) and a[0] == "soundex":  # the engine's soundex decides
        return isinstance(b, tuple) and m.soundex_batch([a[1]], [b[1]]) == [1.0]
    return a == b


def reference_candidates(left, right, rules):
    """Candidate pairs of columns given as dicts of lists (right None:
    deduplication), pair by pair, and the pairs each rule adds: a list of
    sets, one per rule."""
    import corvane

    dedupe = right is None
    right = left if dedupe else right
    n_l, n_r = len(next(iter(left.values()))), len(next(iter(right.values())))
    found, added = set(), []
    for rule in rules:
        pairs = set()
        if isinstance(rule, corvane.SortedNeighbourhood):
            key, half = rule.key, rule.window // 2
            records = [(v, 0, i) for i in range(n_l) if (v := _key_value(key, left[key.left][i])) is not None]
            if not dedupe:
                records += [(v, 1, j) for j in range(n_r) if (v := _key_value(key, right[key.right][j])) is not None]
            records.sort()
            for p, (_, side, i) in enumerate(records):
                for q in range(p + 1, min(len(records), p + half + 1)):
                    _, other, j = records[q]
                    if dedupe:
                        pairs.add((min(i, j), max(i, j)))
                    elif side != other:
                        pairs.add((i, j) if side == 0 else (j, i))
        else:
            parts = rule if isinstance(rule, tuple) else (rule,)
            keys = [corvane.Key(k, k) if isinstance(k, str) else k for k in parts]
            for i in range(n_l):
                for j in range(i + 1 if dedupe else 0, n_r):
                    if all((a := _key_value(k, left[k.left][i])) is not None
                           and (b := _key_value(k, right[k.right][j])) is not None and _same(a, b) for k in keys):
                        pairs.add((i, j))
        added.append(pairs - found)
        found |= pairs
    return added


def reference_clusters(n, edges):
    """Component ids by a dict-based union-find: 0, 1, ... in order of first record."""
    parent = list(range(n))

    def root(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for a, b in edges:
        ra, rb = root(a), root(b)
        if ra != rb:
            parent[max(ra, rb)] = min(ra, rb)
    ids, out = {}, []
    for i in range(n):
        out.append(ids.setdefault(root(i), len(ids)))
    return out


# ---- linkage without labels ---------------------------------------------------------


def block_pairs(left, right, rules):
    """Candidate pairs of two pandas DataFrames (right None: of left with
    itself, i < j): rows equal on every column of at least one rule (a list
    of columns), as sorted (left_positions, right_positions) int64 arrays."""
    other = left if right is None else right
    keys = []
    for columns in rules:
        lt = left[columns].assign(_i=np.arange(len(left))).dropna()
        rt = other[columns].assign(_j=np.arange(len(other))).dropna()
        joined = lt.merge(rt, on=columns)
        i, j = joined["_i"].to_numpy(np.int64), joined["_j"].to_numpy(np.int64)
        keep = i < j if right is None else np.ones(len(i), bool)
        keys.append(i[keep] * len(other) + j[keep])
    key = np.unique(np.concatenate(keys))
    return key // len(other), key % len(other)


def levels_reference(scores, thresholds, distance):
    """Fellegi-Sunter level of each score: the thresholds a similarity falls
    below or a distance exceeds, len(thresholds) + 1 for NaN (missing)."""
    scores = np.asarray(scores, dtype=np.float64)
    out = np.zeros(len(scores), dtype=np.int64)
    for t in thresholds:
        out += (scores > t) if distance else (scores < t)
    out[np.isnan(scores)] = len(thresholds) + 1
    return out


def match_weight_reference(scores, cuts, tables, prior_weight):
    """The NumPy formula match weights are pinned to: the prior's weight,
    then each comparison's level weight added over the whole column, the
    comparisons in order. `cuts` holds (thresholds, distance) per row of
    `scores`; `tables` the weight of each level, missing last."""
    w = np.full(np.shape(scores)[1], float(prior_weight))
    with np.errstate(over="ignore", invalid="ignore"):   # infinities and NaN are results like any other
        for row, (thresholds, distance), table in zip(scores, cuts, tables):
            w += np.asarray(table, dtype=np.float64)[levels_reference(row, thresholds, distance)]
    return w


def level_arguments(cuts, tables=None):
    """The flat cut arrays of match_weight_batch / level_key_batch."""
    args = [np.array([t for c in cuts for t in c[0]], dtype=np.float64),
            np.array([len(c[0]) for c in cuts], dtype=np.int64), np.array([int(c[1]) for c in cuts], dtype=np.int64)]
    if tables is not None:
        args.append(np.concatenate([np.asarray(t, dtype=np.float64) for t in tables]) if tables else np.zeros(0))
    return args


def match_weight_by_hand(prior, m, u, levels, frequencies=()):
    """log2(prior / (1 - prior)) plus log2(m / u) of each comparison's level
    (None: missing, weight 0), added in order, in Python floats; then, for
    each (comparison, term frequency) of ``frequencies`` whose comparison is
    at its exact level (0) with a frequency, log2(u_exact / frequency)."""
    w = math.log2(prior / (1 - prior))
    for c, level in enumerate(levels):
        w += 0.0 if level is None else math.log2(float(m[c][level]) / float(u[c][level]))
    for c, frequency in frequencies:
        if levels[c] == 0 and frequency is not None:
            w += math.log2(float(u[c][0]) / frequency)
    return w


# The lane path of the block routines takes pairs of ASCII strings up to 64
# bytes; blocks hold 256 pairs. Levenshtein runs lanes of 8, 16, 32 or 64
# bits (patterns up to as many characters, read into a register up to 32),
# 8 to 128 of them in two registers; Jaro-Winkler packs pairs into 16-, 32-
# or 64-bit segments (strings up to 15, 31, 63 bytes) and reads strings of
# up to 32 bytes at once. These lengths sit at and around each of those widths.
LANE_LENGTHS = [0, 1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 66, 127, 128, 129]
# Pair counts of one call: around a group of lanes and a block.
LANE_COUNTS = [1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 63, 65, 255, 256, 257, 513, 700]


def transposition_pairs(seed):
    """Pairs for the test that decides whether a transposition can beat
    plain edits (Damerau-Levenshtein against Levenshtein): two characters
    swapped side by side or across a stretch of one to four others, with
    edits inside the stretch; strings over a few letters (so some other
    pair crosses too) or many distinct ones (so none does); Latin-1 letters
    (still single table entries), wider ones and some past the BMP; lengths
    at the 64-character word and around the lane widths."""
    rng = random.Random(seed)
    alphabets = ["ab", "abc", "abcdefghijklmnopqrstuvwxyz", "éàßÿab", "abcdefghij\u0100\u0101", "xy\U0001f600z",
                 "".join(map(chr, range(0x21, 0x7f)))]
    left, right = [], []
    for _ in range(sum(LANE_COUNTS)):
        alphabet = rng.choice(alphabets)
        if len(alphabet) > 20 and rng.random() < 0.5:  # distinct characters
            a = rng.sample(alphabet, rng.choice([2, 3, 5, 8, 9, 16, 17, 33, 63, 64, 65, 70]) % len(alphabet))
        else:
            a = [rng.choice(alphabet) for _ in range(rng.choice([2, 3, 4, 6, 9, 16, 17, 31, 33, 63, 64, 65, 66, 130]))]
        b = list(a)
        for _ in range(rng.randint(1, 3)):
            if len(b) < 2:
                break
            i = rng.randrange(len(b) - 1)
            j = min(len(b) - 1, i + rng.choice([1, 1, 2, 3, 4, 5]))
            b[i], b[j] = b[j], b[i]
            if j - i > 1 and rng.random() < 0.5:  # an edit inside the stretch
                k = rng.randrange(i + 1, j)
                b[k:k + 1] = rng.choice([[], [rng.choice(alphabet)], [b[k], rng.choice(alphabet)]])
        if rng.random() < 0.3:  # a common prefix or suffix to strip
            extra = [rng.choice(alphabet) for _ in range(rng.randint(1, 9))]
            a, b = (extra + a, extra + b) if rng.random() < 0.5 else (a + extra, b + extra)
        left.append("".join(a))
        right.append("".join(b))
    return left, right


def lane_pairs(seed):
    """Pairs for the block routines: mostly ASCII over small alphabets (so
    matches, repeats and transpositions are common) at the lane lengths,
    edited copies with common prefixes and suffixes, identical pairs,
    empty strings, a zero byte, and some non-ASCII pairs mixed in, so lane
    and per-pair paths interleave in each block."""
    rng = random.Random(seed)

    def text(length):
        if rng.random() < 0.05:
            return "".join(rng.choice("aé日\U0001f600b") for _ in range(length))
        alphabet = rng.choice(["ab", "abc", "abcdefghijklmnopqrstuvwxyz", "AEIOUbcdfghjklmnpqrstvwxyz -'.\x00\x7f"])
        return "".join(rng.choice(alphabet) for _ in range(length))

    left, right = [], []
    for _ in range(sum(LANE_COUNTS)):
        a = text(rng.choice(LANE_LENGTHS) if rng.random() < 0.6 else rng.randint(0, 70))
        roll = rng.random()
        if roll < 0.1:
            b = a
        elif roll < 0.35 and len(a) > 1:
            # Two characters swapped at a distance around the matching
            # window (half the longer length), and a few appended: the
            # transpositions, the window's edges and the Winkler prefix.
            b = list(a)
            i = rng.randrange(len(a))
            j = min(len(a) - 1, i + rng.choice([1, 2, len(a) // 2 - 1, len(a) // 2, len(a) // 2 + 1]))
            b[i], b[j] = b[j], b[i]
            b = "".join(b) + rng.choice(["", "a", "ab", "ba"])
        elif roll < 0.6:
            b = list(a)
            for _ in range(rng.randint(1, 4)):
                k = rng.randint(0, len(b))
                b[k:k + rng.randint(0, 2)] = rng.choice(["", "a", "x", "ba", "é"])
            b = "".join(b)
        else:
            b = text(rng.choice(LANE_LENGTHS))
        left.append(a)
        right.append(b)
        if rng.random() < 0.5:
            left[-1], right[-1] = right[-1], left[-1]
    # Every pattern length that stripping common affixes can leave, with
    # none to strip (first and last characters differ), spread over the
    # blocks: the lane widths' and register loads' edges.
    for m in range(1, 67):
        i = 20 * m % len(left)
        left[i] = "q" + "".join(rng.choice("abc\x00") for _ in range(m - 2)) + "z" if m > 1 else "q"
        right[i] = "r" + "".join(rng.choice("abc\x00") for _ in range(m + rng.randint(-1, 3))) + "w"
    # One edit (or none) of a string of every length up to 34 over two
    # letters and a zero byte, or of one repeated letter (common prefix and
    # suffix overlapping): pairs left with no pattern character or one
    # after their affixes, on both sides of 32 bytes and of each 4-byte word.
    for n in range(1, 35):
        i = (20 * n + 10) % len(left)
        a = "a" * n if n % 3 == 0 else "".join(rng.choice("ab\x00") for _ in range(n))
        k = rng.randint(0, n)
        b = rng.choice([a, a[:k] + rng.choice("ab\x00") + a[k:], a[:k] + a[k + 1:],
                        a[:k] + rng.choice("ab") + a[k + 1:]])
        left[i], right[i] = (a, b) if rng.random() < 0.5 else (b, a)
    return left, right


# Tokens for the token metrics' block routines: lengths around the 8 and 16
# bytes of their keys, zero bytes, order decided past byte 8, non-ASCII
# bytes that are not white space, and a letter that shares its lead byte
# with U+00A0.
SHORT_TOKENS = ["a", "b", "ab", "ba", "B", "Zeta", "é", "smith", "john", "jr", "a\x00", "\x00", "abcdefg", "abcdefgh",
                "abcdefghi", "abcdefgz", "abcdefghijklmno", "abcdefghijklmnop", "abcdefghijklmnopq",
                "abcdefghijklmnoq", "x\x7fy", "\xa9", "日本"]
SHORT_SPACE = [" ", " ", " ", "  ", "\t", "\n", " \r\n", "\x0b", "\x0c", "\xa0", "\u3000"]


def short_token_pairs(seed):
    """Pairs of short texts (0 to 7 tokens, mostly 1 to 4, mostly ASCII
    white space between them, some around them), many of 8 to 40 bytes:
    identical pairs, one token changed, tokens reordered or repeated, and
    unrelated texts."""
    rng = random.Random(seed)

    def text():
        k = rng.choice([0, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5, 7])
        few = rng.random() < 0.3  # tokens from three: repeats at every pair of places
        words = [rng.choice(["ab", "b", "abcdefghi"]) if few else rng.choice(SHORT_TOKENS) if rng.random() < 0.5 else
                 "".join(rng.choice("abcdexyz") for _ in range(rng.randint(1, 17))) for _ in range(k)]
        out = rng.choice(SHORT_SPACE) if rng.random() < 0.1 else ""
        for i, w in enumerate(words):
            out += (rng.choice(SHORT_SPACE) if i else "") + w
        return out + (rng.choice(SHORT_SPACE) if rng.random() < 0.1 else "")

    left, right = [], []
    for _ in range(sum(LANE_COUNTS)):
        a = text()
        roll = rng.random()
        if roll < 0.25:
            b = a
        elif roll < 0.6:
            parts = a.split(" ")
            i = rng.randrange(len(parts))
            parts[i] = rng.choice([parts[i] + "x", parts[i][:-1], rng.choice(SHORT_TOKENS), parts[0], ""])
            if rng.random() < 0.3:
                rng.shuffle(parts)
            b = " ".join(parts)
        else:
            b = text()
        left.append(a)
        right.append(b)
    return left, right


def cpu_simd_levels():
    """The CORVANE_SIMD levels this processor has (x86-64 Linux; scalar
    anywhere)."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = set(next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), []))
    except OSError:
        flags = set()
    return ["scalar"] + ["avx2"] * ("avx2" in flags) + ["avx512"] * ({"avx512f", "avx512bw", "avx512vl"} <= flags)


# The left lengths at which Jaro-Winkler's block routine changes group (the
# bands of 16- and 32-bit segments, and strings read in place past 31
# bytes), with a step to either side.
JARO_CLASS_EDGES = [1, 5, 6, 8, 9, 11, 12, 13, 14, 15, 16, 18, 19, 22, 23, 31, 32, 33, 63, 64]


def jaro_class_pairs(seed):
    """Pairs for Jaro-Winkler's block routine: left strings at and around
    every group edge, right strings a step shorter or longer, of the width
    edges' lengths, or identical; matches and transpositions common (small
    alphabets), shared prefixes of 0 to 6, no common character at all, and
    a few non-ASCII strings, shuffled so that every group fills and runs
    part full in the blocks of any count."""
    rng = random.Random(seed)

    def text(n, alphabet):
        return "".join(rng.choice(alphabet) for _ in range(n))

    left, right = [], []
    for la in JARO_CLASS_EDGES:
        for lb in sorted({max(0, la - 1), la, la + 1, 15, 16, 31, 32, 63}):
            for kind in [0, 1, 2, 3, 3, 4, 4, 4, 4, 5, 5, 5] * 2:
                alphabet = rng.choice(["ab", "abcd", "abcdefghijklmnopqrstuvwxyz"])
                a = text(la, alphabet)
                if kind == 0:  # identical
                    b = a
                elif kind == 1:  # nothing in common
                    b = text(lb, "XYZ")
                elif kind == 2:  # a shared prefix of 0 to 6, then anything
                    p = min(rng.randint(0, 6), la, lb)
                    b = a[:p] + text(lb - p, alphabet)
                elif kind == 3 and la > 1:  # a copy with characters swapped, cut or grown to lb
                    b = list(a)
                    for _ in range(rng.randint(1, 3)):
                        i, j = rng.randrange(la), rng.randrange(la)
                        b[i], b[j] = b[j], b[i]
                    b = ("".join(b) + text(max(0, lb - la), alphabet))[:lb]
                else:
                    b = text(lb, alphabet)
                if rng.random() < 0.03:
                    a = a[:-1] + "é" if a else "é"
                left.append(a)
                right.append(b)
    order = list(range(len(left)))
    rng.shuffle(order)
    return [left[i] for i in order], [right[i] for i in order]
