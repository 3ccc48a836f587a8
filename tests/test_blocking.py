"""Blocking, clustering and link: candidates and count_candidates against a
pair-by-pair reference on small tables (every rule kind, deduplication and
two tables, missing values, physical types) and against a join at a
moderate scale; clusters against a union-find; link against compare and
predict_proba over all candidates; one table of bad calls."""

import datetime
from decimal import Decimal
import warnings

import numpy as np
import pytest

from support import reference_candidates, reference_clusters

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pc = pytest.importorskip("pyarrow.compute")
pl = pytest.importorskip("polars")
import corvane as cv  # noqa: E402
from corvane import SortedNeighbourhood as SN  # noqa: E402

KINDS = {"pandas": lambda f: f, "polars": pl.from_pandas, "arrow": lambda f: pa.Table.from_pandas(f, preserve_index=False)}
NAMES = ["martha", "marta", "", None, "józef", "jozef", "ab", "a", "smith", "smyth", "O'Brien", "1st"]


def table(rows, seed, given="name"):
    rng = np.random.default_rng(seed)
    pick = lambda values: [values[k] for k in rng.integers(0, len(values), rows)]  # noqa: E731
    days = [None, datetime.date(1970, 1, 1), datetime.date(1970, 12, 31), datetime.date(1999, 5, 5),
            datetime.date(1999, 1, 2)]
    return pd.DataFrame({
        given: pick(NAMES),
        "city": pick(["kew", "ryde", None, "KEW", ""]),
        "n": pick([1, 2, 3, None]),  # float64 with NaN in pandas
        "x": pick([0.0, -0.0, 1.5, np.nan, 2.0, 1e300]),
        "born": pd.to_datetime(pick(days)),
    })


def rules_for(dedupe):
    name = "name" if dedupe else cv.on("name", "given")
    return ["city", (name, "n"), cv.prefix(name, 2), SN("x", 3), cv.year("born"), cv.soundex(name), SN(name, 5),
            ("city", cv.prefix(name, 1))]


def python_columns(frame):
    return {c: frame[c].tolist() for c in frame.columns}


def pairs_of(added):
    return sorted(set().union(*added))


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dedupe", [True, False], ids=["dedupe", "link"])
@pytest.mark.parametrize("index_bits", ["", "64"], ids=["index-fitted", "index-64-bit"])
def test_candidates_and_counts_match_the_reference(kind, dedupe, index_bits, monkeypatch):
    # Small inputs get a 32-bit index; the 64-bit one (past 2**30 records) is forced here.
    monkeypatch.setenv("CORVANE_INDEX_BITS", index_bits)
    left = table(40, 1)
    right = None if dedupe else table(31, 2, given="given")
    rules = rules_for(dedupe)
    added = reference_candidates(python_columns(left), None if dedupe else python_columns(right), rules)
    args = (KINDS[kind](left),) if dedupe else (KINDS[kind](left), KINDS[kind](right))
    got = cv.candidates(*args, rules=rules)
    assert all(a.dtype == np.int64 for a in got)
    assert list(zip(*(a.tolist() for a in got))) == pairs_of(added)
    assert cv.count_candidates(*args, rules=rules) == [len(s) for s in added]
    # Equality rules alone take the counting by key groups.
    equal = [r for r in rules if not isinstance(r, SN)]
    assert cv.count_candidates(*args, rules=equal) == [len(s) for s in reference_candidates(
        python_columns(left), None if dedupe else python_columns(right), equal)]
    for rule in rules[3:5]:  # a rule alone: its own pairs
        one = cv.candidates(*args, rules=[rule])
        assert list(zip(*(a.tolist() for a in one))) == pairs_of(reference_candidates(
            python_columns(left), None if dedupe else python_columns(right), [rule]))
    # max_pairs: the rule that passes the limit is named, equal to it is fine.
    total = sum(len(s) for s in added)
    assert len(cv.candidates(*args, rules=rules, max_pairs=total)[0]) == total
    first_over = next(k for k in range(len(rules)) if sum(len(s) for s in added[:k + 1]) > total - 1)
    with pytest.raises(ValueError, match=rf"^rule {first_over} \(.*over max_pairs=") as error:
        cv.candidates(*args, rules=rules, max_pairs=total - 1)
    assert repr(rules[first_over]) in str(error.value)


STRING_TYPES = [pa.string(), pa.large_string(), pa.string_view(), pa.dictionary(pa.int8(), pa.string()),
                pa.dictionary(pa.int32(), pa.large_string())]
NUMBER_TYPES = [pa.int8(), pa.int64(), pa.uint16(), pa.float32(), pa.float64()]


@pytest.mark.parametrize("types", [(a, b) for a in STRING_TYPES for b in STRING_TYPES[::2]]
                         + [(a, b) for a in NUMBER_TYPES for b in NUMBER_TYPES[1::2]], ids=str)
def test_keys_compare_by_value_across_physical_types(types):
    values = {"s": (["a", "b", None, "a", "", "ä"], ["", "a", "c", None, "ä"]),
              "n": ([1, 2, None, 1, 0, 3], [0, 1, 5, None, 3])}["s" if types[0] in STRING_TYPES else "n"]
    left = pa.table({"k": pa.array(values[0]).cast(types[0])})
    right = pa.table({"k": pa.array(values[1]).cast(types[1])})
    want = pairs_of(reference_candidates({"k": values[0]}, {"k": values[1]}, ["k", SN("k", 3)]))
    got = cv.candidates(left, right, rules=["k", SN("k", 3)])
    assert list(zip(*(a.tolist() for a in got))) == want


def test_candidates_equal_a_join_at_scale():
    rng = np.random.default_rng(7)
    n_l, n_r = 30_000, 20_000
    left = pd.DataFrame({"a": rng.integers(0, 4000, n_l), "b": rng.choice([f"s{k}" for k in range(900)], n_l),
                         "c": rng.integers(0, 50, n_l)})
    right = pd.DataFrame({"a": rng.integers(0, 4000, n_r).astype(np.int32), "b": rng.choice([f"s{k}" for k in range(900)], n_r),
                          "c": rng.integers(0, 50, n_r)})
    left.loc[::17, "b"] = None
    right.loc[::13, "b"] = None
    codes = set()
    for on in (["a"], ["b", "c"]):
        joined = left.reset_index().dropna(subset=on).merge(right.reset_index().dropna(subset=on), on=on)
        codes |= set((joined["index_x"] * n_r + joined["index_y"]).tolist())
    want = np.array(sorted(codes), dtype=np.int64)
    got = cv.candidates(pl.from_pandas(left), pl.from_pandas(right), rules=["a", ("b", "c")])
    assert np.array_equal(got[0] * n_r + got[1], want)
    counts = cv.count_candidates(left, right, rules=["a", ("b", "c")])
    assert sum(counts) == len(want)


def test_count_candidates_over_more_than_64_key_columns():
    # The engine counts at most 64 columns: past that, one combined key per rule.
    rng = np.random.default_rng(3)
    table = pa.table({f"c{k}": rng.integers(0, 3 if k in (0, 1, 40) else 1, 40) for k in range(66)})
    rules = ["c0", tuple(f"c{k}" for k in range(1, 34)), tuple(f"c{k}" for k in range(33, 66))]
    counts = cv.count_candidates(table, rules=rules)
    assert sum(counts) == len(cv.candidates(table, rules=rules)[0]) and min(counts) > 0


@pytest.mark.parametrize("seed", range(4))
def test_clusters_match_a_union_find(seed):
    rng = np.random.default_rng(seed)
    n_l, n_r, n_pairs = 60, 45, 70
    a, b = rng.integers(0, n_l, n_pairs), rng.integers(0, n_l, n_pairs)
    match = rng.random(n_pairs) < 0.6
    want = reference_clusters(n_l, [(x, y) for x, y, keep in zip(a, b, match) if keep])
    assert cv.clusters((a, b), match, n_l).tolist() == want
    assert cv.clusters((a[match], b[match]), None, n_l).tolist() == want
    r = rng.integers(0, n_r, n_pairs).astype(np.uint32)
    ids_l, ids_r = cv.clusters((a, r), match, n_l, n_r)
    want = reference_clusters(n_l + n_r, [(x, n_l + y) for x, y, keep in zip(a, r, match) if keep])
    assert ids_l.tolist() + ids_r.tolist() == want
    assert ids_l.dtype == ids_r.dtype == np.int64


def _fitted_model():
    from sklearn.linear_model import LogisticRegression

    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.random((200, 3)), columns=["name_jaro_winkler", "city_exact", "x_numeric_similarity"])
    return LogisticRegression().fit(X, X.sum(axis=1) > 1.4)


class _RowWise:
    """A model outside corvane whose scores of a row never depend on the other
    rows of its batch."""

    def __init__(self, sk):
        self.w, self.b = sk.coef_[0], sk.intercept_[0]

    def predict_proba(self, X):
        X = np.asarray(X, dtype=np.float64)
        z = X[:, 0] * self.w[0] + X[:, 1] * self.w[1] + X[:, 2] * self.w[2] + self.b
        p = 1.0 / (1.0 + np.exp(-z))
        return np.column_stack([1.0 - p, p])


COMPARISONS = [("name", "jaro_winkler"), ("city", "exact"), ("x", "numeric_similarity")]


def _bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64)


def _column_names(frame):
    return frame.column_names if isinstance(frame, pa.Table) else list(frame.columns)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dedupe", [True, False], ids=["dedupe", "link"])
def test_link_equals_compare_and_predict_over_all_candidates(kind, dedupe):
    sk = _fitted_model()
    left = KINDS[kind](table(30, 4))
    right = None if dedupe else KINDS[kind](table(25, 5))
    args = (left,) if dedupe else (left, right)
    rules = ["city", cv.prefix("name", 1), SN("x", 3)]
    pairs = cv.candidates(*args, rules=rules)
    # scikit-learn's own predict_proba goes through BLAS, whose kernels may
    # round a row differently with the number of rows (OpenBLAS on AVX-512
    # does): it is held to one batch; the row-wise model takes batches.
    models = [(cv.Scorer.from_sklearn(sk), 0.25, (1, 10**6)), (sk, 0.0, (10**6,)), (_RowWise(sk), 0.0, (13,)),
              (cv.Scorer.from_sklearn(sk, nan="left"), "nan", (29,))]
    for model, missing, batches in models:
        features = cv.compare(left, left if dedupe else right, pairs, COMPARISONS, missing=missing)
        scores = model.predict_proba(features)
        scores = scores[:, 1] if scores.ndim == 2 else scores
        keep = scores >= 0.4
        assert 0 < keep.sum() < len(keep)
        # A NaN probability (logistic regression passes a missing value's NaN
        # through) keeps no pair, and a warning counts such pairs.
        unscored = int(np.isnan(scores).sum())
        assert (unscored > 0) == (missing == "nan")
        for batch_pairs in batches:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                got = cv.link(*args, rules=rules, comparisons=COMPARISONS, model=model, threshold=0.4,
                              missing=missing, batch_pairs=batch_pairs)
            assert [str(w.message) for w in caught] == [
                f"{unscored:,} candidate pairs scored NaN and were not kept: the model passes the NaN of a missing "
                "value through; give link a fill value (missing=-1.0, for example) to score them"][:int(unscored > 0)]
            assert type(got) is type(left)
            assert _column_names(got) == ["left_position", "right_position", "name_jaro_winkler", "city_exact",
                                         "x_numeric_similarity", "probability"]
            assert np.array_equal(np.asarray(got["left_position"]), pairs[0][keep])
            assert np.array_equal(np.asarray(got["right_position"]), pairs[1][keep])
            assert np.array_equal(_bits(got["probability"]), _bits(scores[keep]))
            for name in ("name_jaro_winkler", "city_exact", "x_numeric_similarity"):
                assert np.array_equal(_bits(got[name]), _bits(np.asarray(features[name])[keep]))
    nothing = cv.link(*args, rules=rules, comparisons=COMPARISONS, model=sk, threshold=1.5, missing=0.0)
    assert len(nothing) == 0 and _column_names(nothing) == _column_names(got)
    # Every pair kept, batches of 7: the columns are compare's columns, row for row.
    everything = cv.link(*args, rules=rules, comparisons=COMPARISONS, model=sk, threshold=-1.0, missing=0.0,
                         batch_pairs=7)
    features = cv.compare(left, left if dedupe else right, pairs, COMPARISONS, missing=0.0)
    for name in ("name_jaro_winkler", "city_exact", "x_numeric_similarity"):
        assert np.array_equal(_bits(everything[name]), _bits(features[name]))
    assert np.array_equal(np.asarray(everything["right_position"]), pairs[1])
    assert cv.clusters(got, None, len(left), None if dedupe else len(right)) is not None


class _Halved(cv.Scorer):
    """A Scorer subclass that scores otherwise: link must ask it."""

    def predict_proba(self, X):
        return super().predict_proba(X) / 2


def _tree_scorer(features):
    from sklearn.ensemble import RandomForestClassifier

    labels = np.asarray(features["name_jaro_winkler"]) > 0.8
    return cv.Scorer.from_sklearn(RandomForestClassifier(n_estimators=4, random_state=0).fit(features, labels))


def _halved(features):
    plain = cv.Scorer.from_sklearn(_fitted_model())
    return _Halved(plain.name, plain.params, plain.n_features_in_, feature_names_in=plain.feature_names_in_)


class _Even:
    def predict_proba(self, X):
        return np.full((len(X), 2), 0.5)


def test_link_names_a_missing_value_as_compare_does():
    # One pair per left record: small batches put the missing value in a
    # later batch, and the message still counts the pairs from the first.
    left = pa.table({"k": list(range(10)), "name": ["a"] * 10})
    right = pa.table({"k": list(range(10)), "name": ["b"] * 9 + [None]})
    pairs = cv.candidates(left, right, rules=["k"])
    with pytest.raises(ValueError) as want:
        cv.compare(left, right, pairs, [("name", "exact")], missing="error")
    assert "first at pair 9 (right row 9)" in str(want.value)
    for batch_pairs in (1000, 3):
        with pytest.raises(ValueError) as got:
            cv.link(left, right, rules=["k"], comparisons=[("name", "exact")], model=_Even(),
                    missing="error", batch_pairs=batch_pairs)
        assert str(got.value) == str(want.value)


@pytest.mark.parametrize("make", [_tree_scorer, _halved], ids=["tree", "subclass"])
def test_link_scores_as_the_models_own_predict_proba(make):
    left = table(40, 6)
    rules = ["city", cv.prefix("name", 1)]
    pairs = cv.candidates(left, rules=rules)
    features = cv.compare(left, left, pairs, COMPARISONS, missing=0.0)
    model = make(features)
    want = model.predict_proba(features)
    got = cv.link(left, rules=rules, comparisons=COMPARISONS, model=model, threshold=-1.0, missing=0.0,
                  batch_pairs=11)
    assert np.array_equal(_bits(got["probability"]), _bits(want))



def test_link_matches_the_models_features_by_name():
    # A Scorer fitted on compare's table reads its features by name, as in
    # score_partition: comparisons in another order score the same bits.
    left = table(40, 6)
    rules = ["city", cv.prefix("name", 1)]
    features = cv.compare(left, left, cv.candidates(left, rules=rules), COMPARISONS, missing=0.0)
    model = _tree_scorer(features)
    want = cv.link(left, rules=rules, comparisons=COMPARISONS, model=model, threshold=-1.0, missing=0.0)
    turned = COMPARISONS[::-1]
    got = cv.link(left, rules=rules, comparisons=turned, model=model, threshold=-1.0, missing=0.0, batch_pairs=11)
    assert _column_names(got)[2:5] == ["x_numeric_similarity", "city_exact", "name_jaro_winkler"]
    assert np.array_equal(_bits(got["probability"]), _bits(want["probability"]))
    for refused, message in [
            (COMPARISONS[:2], "the model was fitted on 3 features (n_features_in_), but the comparisons give 2: "
                              "['name_jaro_winkler', 'city_exact']"),
            ([("name", "jaro_winkler"), ("city", "levenshtein"), ("x", "numeric_similarity")],
             "the comparisons give the features ['name_jaro_winkler', 'city_levenshtein', 'x_numeric_similarity'], "
             "but the model was fitted on ['name_jaro_winkler', 'city_exact', 'x_numeric_similarity']: give link "
             "the comparisons the model was fitted with")]:
        with pytest.raises(ValueError) as error:
            cv.link(left, rules=rules, comparisons=refused, model=model, missing=0.0)
        assert str(error.value) == message


def test_link_names_the_candidate_pair_a_tree_scorer_refuses():
    # A tree Scorer refuses NaN. Called directly it counts rows of its own
    # X; inside link the message names the candidate pair, whatever the
    # batches, and link's own missing=.
    people = pd.DataFrame({"name": ["ann", "anne", "bob", "bobby", "ann", None, "bo", None],
                           "city": ["x", "x", "y", "y", "x", "y", "y", "x"]})
    comparisons = [("name", "jaro_winkler"), ("city", "exact")]
    pairs = cv.candidates(people, rules=["city"])
    features = cv.compare(people, None, pairs, comparisons)
    model = _tree_scorer(features.fillna(0.0))
    k = int(np.flatnonzero(features["name_jaro_winkler"].isna())[0])
    n = int(features["name_jaro_winkler"].isna().sum())
    with pytest.raises(ValueError, match=rf"^X has NaN \(column 'name_jaro_winkler', row {k}, {n} in all\)"):
        model.predict_proba(features)
    for batch_pairs in (10**6, 2, 1):
        with pytest.raises(ValueError) as error:
            cv.link(people, rules=["city"], comparisons=comparisons, model=model, batch_pairs=batch_pairs)
        assert str(error.value).startswith(
            f"comparison 'name_jaro_winkler' is missing (NaN) at candidate pair {k} (left position {pairs[0][k]}, "
            f"right position {pairs[1][k]}), the first such pair, and the model, a tree ensemble, refuses NaN")
        assert "Give link a fill value for missing values (link(..., missing=0.0), for example)" in str(error.value)


LEFT, RIGHT = table(6, 8), table(5, 9)
MODEL = _fitted_model()
def _nulls(n):
    """A column of n nulls that holds no memory (blocking must refuse it
    before reading it)."""
    return pa.Array.from_buffers(pa.null(), n, [None])


BAD = [
    (lambda: cv.candidates(LEFT, rules="city"), TypeError, "rules must be a list of rules, not 'city'"),
    (lambda: cv.candidates(LEFT, rules=("city", "n")), TypeError, "a tuple is one rule"),
    (lambda: cv.candidates(LEFT, rules=[]), ValueError, "rules is empty: give at least one rule"),
    (lambda: cv.candidates(LEFT, rules=["city", "nope"]), ValueError, "rule 1 ('nope'): left has no column 'nope'"),
    (lambda: cv.candidates(LEFT, RIGHT, rules=[cv.on("city", "town")]), ValueError,
     "rule 0 (on('city', 'town')): right has no column 'town'"),
    (lambda: cv.candidates(LEFT, rules=[3]), TypeError, "rule 0 (3): a rule is a column name"),
    (lambda: cv.candidates(LEFT, rules=["city", (cv.prefix(cv.on("name", "city"), 1), "n")]), ValueError,
     "rule 1 ((prefix(on('name', 'city'), 1), 'n')): deduplicating pairs one table's records, so on('name', 'city') "
     "has no left and right side"),
    (lambda: cv.count_candidates(LEFT, rules=[SN(cv.on("name", "nope"), 3)]), ValueError,
     "so on('name', 'nope') has no left and right side"),
    (lambda: cv.candidates(LEFT, rules=[()]), ValueError, "rule 0 (()): an empty tuple blocks on nothing"),
    (lambda: SN("x", 4), ValueError, "SortedNeighbourhood('x', 4): window must be an odd integer >= 3, not 4"),
    (lambda: SN("x", 1), ValueError, "window must be an odd integer >= 3, not 1"),
    (lambda: SN("x", 3.0), TypeError, "window must be an odd integer >= 3, not float"),
    (lambda: cv.prefix("name", 0), ValueError, "prefix('name', 0): the length must be at least 1"),
    (lambda: cv.prefix(cv.prefix("name", 2), 1), TypeError, "expected a column name or on(left_column, right_column)"),
    (lambda: cv.candidates(LEFT, RIGHT, rules=["city", cv.on("city", "n")]), TypeError,
     "rule 1 (on('city', 'n')): column 'city' of left holds string values but column 'n' of right holds float values"),
    (lambda: cv.candidates(LEFT, rules=[cv.prefix("x", 2)]), TypeError,
     "rule 0 (prefix('x', 2)): column 'x' of left holds float values, but prefix takes strings"),
    (lambda: cv.candidates(LEFT, rules=["city"], max_pairs=-1), ValueError, "max_pairs must be at least 0"),
    # Keys number the records in 32 bits: 2**32 records are refused, one
    # table or two together, before any column is read.
    (lambda: cv.candidates(pa.table({"k": _nulls(2**32)}), rules=["k"]), ValueError,
     "left holds 4,294,967,296 records; blocking takes fewer than 2**32"),
    (lambda: cv.count_candidates(pa.table({"k": _nulls(2**31)}), pa.table({"k": _nulls(2**31)}), rules=["k"]),
     ValueError, "left and right hold 4,294,967,296 records together; blocking takes fewer than 2**32"),
    (lambda: cv.link(pa.table({"city": _nulls(2**32)}), rules=["city"], comparisons=COMPARISONS, model=MODEL),
     ValueError, "left holds 4,294,967,296 records"),
    (lambda: cv.clusters((np.array([0, 1]), np.array([1, 2])), np.array([True]), 3), ValueError,
     "match has 1 values of shape (1,), but there are 2 pairs"),
    # Pairs that link two tables, given as a deduplication's (without n_right).
    (lambda: cv.clusters((np.array([0, 1]), np.array([1, 3])), None, 3), ValueError,
     "pairs: right position 3 at pair 1 is outside [0, n_left=3); pairs that link two tables need n_right"),
    (lambda: cv.clusters((np.array([0, -1]), np.array([1, 0])), None, 3, 2), ValueError,
     "pairs: left position -1 at pair 1 is outside [0, n_left=3)"),
    (lambda: cv.clusters((np.array([0]), np.array([1])), np.array([1]), 3), TypeError, "match must be a boolean array"),
    (lambda: cv.clusters(([0, 1, 2], [1, 2, 3]), pd.array([True, None, None], dtype="boolean"), 4), ValueError,
     "match is missing at pair 1 (2 in all): decide those pairs first (for example match.fillna(False))"),
    (lambda: cv.clusters(([0, 1], [1, 2]), pl.Series([None, True]), 3), ValueError, "match is missing at pair 0 (1 in"),
    (lambda: cv.clusters((np.array([0]), np.array([1])), None, 2, 2**62), MemoryError,
     "4,611,686,018,427,387,906 records (n_left + n_right): their cluster ids would not fit in memory"),
    (lambda: cv.clusters((np.array([0]), np.array([1])), None, np.uint64(2**64 - 1)), MemoryError,
     "their cluster ids would not fit in memory"),
    # A list of (i, j) pairs: two of them would read as two arrays of positions.
    (lambda: cv.clusters([(0, 1), (2, 3)], None, 4), TypeError,
     "pairs is a list of (left, right) position pairs; pass the two arrays of positions instead"),
    (lambda: cv.evaluate([(0, 1), (2, 3)], ([0], [1])), TypeError, "predicted_pairs is a list of (left, right)"),
    # Columns Arrow cannot take, named rather than failing in pyarrow.
    (lambda: cv.candidates(pd.DataFrame({"id": pd.Series([2**64 - 1], dtype=object)}), rules=["id"]), TypeError,
     "column 'id' of left cannot be read: "),
    (lambda: cv.candidates(pl.DataFrame({"id": pl.Series([1], dtype=pl.Int128)}), rules=["id"]), TypeError,
     "column 'id' of left cannot be read: "),
    (lambda: cv.compare(pl.DataFrame({"id": pl.Series(["a"], dtype=pl.Object)}), None, ([0], [0]),
                        [("id", "term_frequency")]), TypeError,
     "column 'id' of left cannot be read: it holds Python objects (polars Object)"),
    (lambda: cv.candidates(pd.DataFrame([["a", "b"]], columns=pd.MultiIndex.from_tuples([("n", "g"), ("n", "s")])),
                           rules=["n"]), TypeError,
     "left has columns of several levels (a MultiIndex, such as ('n', 'g')), which no rule or comparison can name"),
    (lambda: cv.candidates(pa.table({"k": pa.array([Decimal(1)], pa.decimal256(70, 60))}),
                           pa.table({"k": [1, 2**62]}), rules=["k"]), TypeError,
     "key 'k': its decimals and integers do not fit in 76 digits at one scale (60) to be compared exactly"),
    # A datetime with a time zone names an instant, one without does not.
    (lambda: cv.candidates(pa.table({"d": pa.array([0], pa.timestamp("s", "Europe/Paris"))}),
                           pa.table({"d": pa.array([0], pa.date32())}), rules=[("d",)]), TypeError,
     "rule 0 (('d',)): column 'd' of left holds timestamp[s, tz=Europe/Paris] but column 'd' of right holds date32[day]: "
     "a datetime with a time zone never equals one without"),
    (lambda: cv.link(LEFT, rules=["city"], comparisons=COMPARISONS, model=MODEL, batch_pairs=0), ValueError,
     "batch_pairs must be at least 1, not 0"),
    (lambda: cv.link(LEFT, rules=["city"], comparisons=COMPARISONS, model=object()), TypeError,
     "model must be a corvane.Scorer or have predict_proba"),
    (lambda: cv.link(LEFT, rules=["nope"], comparisons=COMPARISONS, model=MODEL), ValueError, "left has no column"),
    (lambda: cv.link(LEFT, rules=["city"], comparisons=COMPARISONS, model=MODEL, threshold=float("nan")), ValueError,
     "threshold is NaN, which no probability reaches"),
]


@pytest.mark.parametrize("call, error, message", BAD, ids=[str(k) for k in range(len(BAD))])
def test_bad_calls_name_the_rule_or_argument(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


def test_rule_columns():
    assert cv.rule_columns("a") == (frozenset({"a"}), frozenset({"a"}))
    assert cv.rule_columns((cv.on("a", "b"), cv.prefix("c", 2))) == (frozenset({"a", "c"}), frozenset({"b", "c"}))
    assert cv.rule_columns(SN(cv.on("a", "b"), 5)) == (frozenset({"a"}), frozenset({"b"}))


def _dictionary(indices, values, value_type=pa.string()):
    return pa.DictionaryArray.from_arrays(pa.array(indices, type=pa.int8()), pa.array(values, type=value_type))


# Key columns in the layouts the engine reads itself: (left, right, rules).
# Each is checked against the reference on the columns' Python values.
ENCODED = {
    "dictionaries with null values and null indices": (
        _dictionary([0, 1, None, 2, 0, 3], ["ab", None, "b", ""]), _dictionary([2, 0, 1, 3], ["b", None, "ab", ""]),
        ["k", SN("k", 3), cv.prefix("k", 1)]),
    "sliced arrays and chunks with offsets": (
        pa.chunked_array([pa.array(["x", "ab", None, "abc", "b"]).slice(1, 3), pa.array(["zz", "b", "ab"]).slice(1)]),
        pa.array(["q", "b", "abc", "ab", None, "a"], type=pa.large_string()).slice(1, 4),
        ["k", SN("k", 3), cv.prefix("k", 2)]),
    "string views, short and long, sliced": (
        pa.array(["short", "a much longer string", None, "", "a much longer strinG"], type=pa.string_view()).slice(1),
        pa.array(["x", "a much longer string", "", "short"], type=pa.string_view()),
        ["k", SN("k", 3), cv.prefix("k", 14)]),
    "strings that differ past their first eight bytes or by a zero byte": (
        pa.array(["abcdefgh", "abcdefghi", "abcdefgz", "a", "a\x00", "abcdefghijklmnopq", "abcdefghijklmnopz"]),
        pa.array(["abcdefghi", "a\x00", "abcdefghijklmnopz", "abcdefgh", "a", "abcdefg"]),
        ["k", SN("k", 5)]),
    "soundex over letters and none": (
        pa.array(["Robert", "Rupert", "123", None, "Ashcraft", "Tymczak"]), pa.array(["rubin", "Ashcroft", "", "R"]),
        [cv.soundex("k"), (cv.soundex("k"), cv.prefix("k", 1))]),
    "integers past 2**53 and unsigned against negative": (
        pa.array([2**53, 2**53 + 1, -1, None, 2**62, -(2**63)], type=pa.int64()),
        pa.array([2**53 + 1, 2**64 - 1, 2**53, 2**62, 0], type=pa.uint64()),
        ["k", SN("k", 3)]),
    "floats: -0.0 is 0.0, NaN and null are missing, integers by value": (
        pa.array([0.0, -0.0, float("nan"), None, 1.5, 3.0], type=pa.float64()),
        pa.array([-0.0, 3, None, 7], type=pa.int16()).cast(pa.float32()), ["k", SN("k", 3)]),
    "an integer column against a float column": (
        pa.array([1, 2, None, 3], type=pa.int8()), pa.array([2.0, float("nan"), 1.0, 2.5]), ["k", SN("k", 3)]),
    "integers past 2**53 against floats, exactly": (
        pa.array([2**53, 2**53 + 1, 2**63 - 1, -(2**63), None, 5], type=pa.int64()),
        pa.array([2.0**53, 2.0**53 + 2, 2.0**63, -(2.0**63), 5.0]), ["k", ("k", "k")]),
    "decimals of two scales, exactly": (
        pa.array([Decimal("1.50"), Decimal("-0.50"), None, Decimal("3.00"), Decimal("12345678901234567890.01")],
                 pa.decimal128(22, 2)),
        pa.array([Decimal("1.5"), Decimal("0.0"), Decimal("-0.5"), Decimal("3.0"), None], pa.decimal128(5, 1)),
        ["k", SN("k", 3)]),
    "decimals of a negative scale against integers": (
        pa.array([Decimal("1.23E+4"), Decimal("5E+2"), None], pa.decimal128(5, -2)), pa.array([12300, 500, 7]), ["k"]),
    "decimals against integers": (
        pa.array([1, 3, None, 2**63 - 1], pa.int64()),
        pa.array([Decimal("1.00"), Decimal("3.01"), Decimal("9223372036854775807.00")], pa.decimal128(38, 2)),
        ["k", ("k", "k")]),
    "booleans": (pa.array([True, False, None, True]), pa.array([False, True, None]), ["k", SN("k", 3)]),
    "dates, and a date against a datetime": (
        pa.array([datetime.date(2000, 1, 2), None, datetime.date(1999, 12, 31)]),
        pa.array([datetime.datetime(2000, 1, 2), datetime.datetime(2000, 1, 2, 0, 0, 1), None]),
        ["k", cv.year("k")]),
    "a column of nulls against strings": (pa.nulls(3, pa.string()), pa.array(["a", None]), ["k", SN("k", 3)]),
    "a column of nulls against integers": (pa.nulls(3), pa.chunked_array([[4, None], [4, 7]]), ["k", ("k", "k")]),
}


@pytest.mark.parametrize("dedupe", [True, False], ids=["dedupe", "link"])
@pytest.mark.parametrize("case", ENCODED)
def test_keys_encoded_in_the_engine_match_the_reference(case, dedupe):
    left, right, rules = ENCODED[case]
    python = [{"k": column.to_pylist()} for column in (left, right)]
    if case.startswith("dates"):  # the reference compares instants, as the engine does
        python[0]["k"] = [None if d is None else datetime.datetime(d.year, d.month, d.day) for d in python[0]["k"]]
    args = (pa.table({"k": left}),) if dedupe else (pa.table({"k": left}), pa.table({"k": right}))
    for rule in rules:
        want = pairs_of(reference_candidates(python[0], None if dedupe else python[1], [rule]))
        got = cv.candidates(*args, rules=[rule])
        assert list(zip(*(a.tolist() for a in got))) == want, rule


def test_datetimes_of_two_units_or_zones_compare_as_instants():
    # In the finer unit, so nanoseconds stay (a microsecond cast refused
    # them); a date that unit cannot hold equals nothing, rather than failing.
    second = 1_577_923_200   # 2020-01-02 00:00 UTC
    ns = pa.array([(second - 86_400) * 10**9 + 1, second * 10**9, None], pa.timestamp("ns"))
    cases = [
        (ns.cast(pa.timestamp("ns", "UTC")), pa.array([second * 10**6, 0], pa.timestamp("us", "Europe/Paris")),
         [(1, 0)]),
        (pa.array([datetime.date(2020, 1, 2), datetime.date(9999, 1, 1), None]), ns, [(0, 1)]),
        (ns, pa.array([second * 1000 + 1, second * 1000], pa.timestamp("ms")), [(1, 1)]),
    ]
    for left, right, want in cases:
        tables = pa.table({"k": left}), pa.table({"k": right})
        assert list(zip(*(a.tolist() for a in cv.candidates(*tables, rules=["k"])))) == want, (left.type, right.type)
        assert cv.count_candidates(*tables, rules=["k"]) == [len(want)]
        # Equal instants sort next to each other.
        assert set(want) <= set(zip(*(a.tolist() for a in cv.candidates(*tables, rules=[SN("k", 3)]))))


def test_keys_of_many_distinct_values():
    # Past one table's worth of distinct values the engine partitions them.
    rng = np.random.default_rng(5)
    n = 140_000
    values = rng.permutation(n) * 3 - n
    right = rng.choice(values, 2_000)
    got = cv.candidates(pa.table({"k": values}), pa.table({"k": right}), rules=["k"])
    want_l = np.argsort(values)[np.searchsorted(np.sort(values), right)]
    want = sorted(zip(want_l.tolist(), range(len(right))))
    assert list(zip(*(a.tolist() for a in got))) == want
    strings = pa.array([f"value {v}" for v in values], type=pa.large_string())
    got = cv.candidates(pa.table({"k": strings}), pa.table({"k": pa.array([f"value {v}" for v in right])}),
                        rules=["k"])
    assert list(zip(*(a.tolist() for a in got))) == want
    # Ranks over the partitions: each record's neighbours in sorted order.
    pairs = cv.candidates(pa.table({"k": values}), rules=[SN("k", 3)])
    order = np.argsort(values)
    want = sorted((min(a, b), max(a, b)) for a, b in zip(order[:-1].tolist(), order[1:].tolist()))
    assert list(zip(*(a.tolist() for a in pairs))) == want


def test_soundex_ranks_order_the_codes():
    import _corvane_rs

    # R163, A261, R163, T522; no letter and null are missing.
    names = pa.array(["Robert", "Ashcraft", "Rupert", "Tymczak", "123", None])
    assert _corvane_rs.encode_keys([names], 1, 2, 0, 0).tolist() == [0, 1, 0, 2, -1, -1]
    assert _corvane_rs.encode_keys([names], 1, 2, 0, 1).tolist() == [1, 0, 1, 2, -1, -1]


# Strings that share words, lengths or bytes with one another (the tables
# compare up to 16 bytes as two words and the length, longer ones byte by
# byte too), with a missing value.
TRICKY = ["", "\x00", "a", "a\x00", "ab", "abc", "abcd", "abcde", "abcdefg", "abcdefgh", "abcdefgh\x00", "abcdefgha",
          "abcdefghb", "abcdefghabcdefgh", "abcdefghXabcdefgh", "abcdefghYabcdefgh", "x" * 40 + "1" + "x" * 40,
          "x" * 40 + "2" + "x" * 40, "é", "éa", "aé", None]


# (records, hash bits kept): few records take one table; many are numbered
# in chunks on the pool and merged (with two workers or more). Keeping few
# bits of the hash makes different strings meet on every path.
@pytest.mark.parametrize("n, bits", [(200, ""), (200, "1"), (140_000, ""), (140_000, "10")],
                         ids=["one table", "one table, 2 hashes", "chunks", "chunks, 1024 hashes"])
def test_strings_with_equal_hashes_stay_apart(n, bits, monkeypatch):
    import _corvane_rs

    monkeypatch.setenv("CORVANE_KEY_HASH_BITS", bits)
    rng = np.random.default_rng(n)
    values = [TRICKY[k] if k < len(TRICKY) else f"value {k % max(n // 30, 60)}" for k in rng.integers(0, n, n)]
    left, right = pa.array(values[: n // 2]), pa.array(values[n // 2:], type=pa.large_string())
    reference = np.array([-1 if v is None else hash(v) for v in values])
    reference[reference != -1] = np.unique(reference[reference != -1], return_inverse=True)[1].ravel()
    assert np.array_equal(_corvane_rs.encode_keys([left, right], 1, 0, 0, 0), _in_first_order(reference))
    place = {v: r for r, v in enumerate(sorted({v.encode() for v in values if v is not None}))}
    want = [-1 if v is None else place[v.encode()] for v in values[:300]]
    assert _corvane_rs.encode_keys([left, right], 1, 0, 0, 1)[:300].tolist() == want
    # Prefixes by code points: "é" and "éa" share their first.
    pairs = cv.candidates(pa.table({"k": pa.array(TRICKY)}), rules=[cv.prefix("k", 1)])
    want = pairs_of(reference_candidates({"k": TRICKY}, None, [cv.prefix("k", 1)]))
    assert list(zip(*(x.tolist() for x in pairs))) == want


ENGINE_BAD = [
    (([], 1, 0, 0, 0), ValueError, "columns must hold one or two key columns"),
    (([pa.array(["a"])], 1, 3, 0, 0), ValueError, "transform must be 0 (none), 1 (prefix) or 2 (soundex)"),
    (([pa.array(["a"])], 1, 1, 0, 0), ValueError, "a prefix keeps at least 1 code point"),
    (([pa.array([1])], 0, 2, 0, 0), ValueError, "prefix and soundex take string keys"),
    (([pa.array([1], type=pa.duration("ms"))], 0, 0, 0, 0), TypeError,
     "argument 'columns': column 0: Arrow format 'tDm' is not a number key type"),
    (([pa.array(["a"]), pa.array([1])], 1, 0, 0, 0), TypeError,
     "argument 'columns': column 1: Arrow format 'l' is not a string type"),
    (([[1, 2]], 0, 0, 0, 0), TypeError, "argument 'columns': column 0: expected an Arrow array of numbers, not 'list'"),
    (([_nulls(2**32)], 0, 0, 0, 0), ValueError, "a blocking key over 2**32 records or more"),
    (([_nulls(2**31), _nulls(2**31)], 0, 0, 0, 1), ValueError, "a blocking key over 2**32 records or more"),
]


@pytest.mark.parametrize("args, error, message", ENGINE_BAD, ids=[str(k) for k in range(len(ENGINE_BAD))])
def test_bad_engine_key_calls(args, error, message):
    import _corvane_rs

    with pytest.raises(error) as raised:
        _corvane_rs.encode_keys(*args)
    assert str(raised.value).startswith(message)


def test_an_index_serves_every_batch():
    import _corvane_rs

    keys = np.array([0, 1, 0, -1, 1, 2, 2, 0], dtype=np.int64)
    windows = np.array([0, 3], dtype=np.int64)
    both = np.concatenate([keys[:4], keys[4:]])
    index = _corvane_rs.candidate_index(both, both, windows, 1)
    whole = _corvane_rs.candidate_pairs(both, both, windows, 1, 0, 4)
    parts = [_corvane_rs.index_pairs(index, a, b) for a, b in ((0, 1), (1, 3), (3, 4))]
    assert [np.concatenate(p).tolist() for p in zip(*parts)] == [a.tolist() for a in whole]
    assert _corvane_rs.index_counts(index)[0] == _corvane_rs.candidate_counts(both, both, windows, 1)[0]
    with pytest.raises(TypeError, match="argument 'index': expected an index from candidate_index, not 'tuple'"):
        _corvane_rs.index_pairs((1, 2), 0, 0)
    with pytest.raises(ValueError, match="start and stop must satisfy"):
        _corvane_rs.index_pairs(index, 3, 5)


def _added_by_brute_force(keys, masks, n_left, dedupe):
    """Pairs each rule adds beyond the earlier ones, pair by pair."""
    n = keys.shape[1]
    pairs = [(i, j) for i in range(n_left) for j in (range(i + 1, n) if dedupe else range(n_left, n))]
    seen, added = set(), []
    for mask in masks:
        cols = [k for k in range(len(keys)) if mask >> k & 1]
        hold = {(i, j) for i, j in pairs if all(keys[k, i] >= 0 and keys[k, i] == keys[k, j] for k in cols)}
        added.append(len(hold - seen))
        seen |= hold
    return added


# (records, left records or None to deduplicate, codes per column, rule masks over 4 key columns)
COUNTED = [
    (90, None, (3, 40, 2, 60), [1, 2, 12, 5, 15]),
    (90, 50, (3, 40, 2, 60), [1, 2, 12, 5, 15]),
    (120, None, (1, 2, 1, 3), [3, 1, 2, 8, 4]),  # groups past 16 records
    (120, 70, (1, 2, 1, 3), [3, 1, 2, 8, 4]),
    (60, 60, (4, 4, 4, 4), [1, 2]),  # two tables, no right records
    (1, None, (1, 1, 1, 1), [1]),
    (240, None, (2, 3, 30, 200), [8, 3, 12, 5, 15, 6]),  # large groups split three levels down
    (240, 140, (2, 3, 30, 200), [8, 3, 12, 5, 15, 6]),
    (200, None, (40, 5, 3, 2), [1, 14, 2, 8]),  # small groups, their pairs compared one by one
]


@pytest.mark.parametrize("n, n_left, codes, masks", COUNTED)
def test_count_rule_pairs_matches_pairs_counted_one_by_one(n, n_left, codes, masks):
    import _corvane_rs

    rng = np.random.default_rng(n + len(masks))
    keys = np.stack([rng.integers(-1, c, n) for c in codes])
    dedupe = n_left is None
    expected = _added_by_brute_force(keys, masks, n if dedupe else n_left, dedupe)
    for layout in (keys.ravel(), list(keys)):  # one array of runs, or one array per column
        got = _corvane_rs.count_rule_pairs(layout, len(codes), np.array(masks, dtype=np.int64),
                                           n if dedupe else n_left, int(dedupe))
        assert got == expected


@pytest.mark.parametrize("dedupe", [True, False])
def test_count_rule_pairs_of_many_records_match_the_enumeration(dedupe):
    # Enough records that each first column's rows come in several buckets.
    import _corvane_rs

    rng = np.random.default_rng(5)
    n, n_left = 40_000, 40_000 if dedupe else 25_000
    codes = [rng.integers(-1, c, n) for c in (20_000, 3_000, 40, 7)]
    masks = [1, 2 | 8, 4 | 1, 2 | 4, 8 | 4 | 2]
    left, right = _corvane_rs.rule_keys([[codes[k] for k in range(4) if m >> k & 1] for m in masks], n_left,
                                        int(dedupe))
    expected, _ = _corvane_rs.candidate_counts(left, right, np.zeros(len(masks), np.int64), int(dedupe))
    assert _corvane_rs.count_rule_pairs(codes, 4, np.array(masks), n_left, int(dedupe)) == list(expected)


COUNT_BAD = [
    ((np.zeros(6, np.int64), 4, np.array([1]), 1, 0), "keys must hold n_keys runs of equal length"),
    ((np.zeros(6, np.int64), 2, np.array([4]), 1, 0), "rule 0: mask 4 must name key columns in [0, n_keys)"),
    ((np.zeros(6, np.int64), 2, np.array([0]), 1, 0), "rule 0: mask 0 must name key columns"),
    ((np.zeros(6, np.int64), 2, np.zeros(0, np.int64), 1, 0), "rule_masks is empty: give at least one rule"),
    ((np.zeros(6, np.int64), 2, np.ones(17, np.int64), 1, 0), "rule_masks: at most 16 rules are counted"),
    ((np.zeros(6, np.int64), 2, np.array([1]), 2, 1), "n_left must be the length of a run when deduplicating"),
    ((np.array([0, 4, -1, 0], np.int64), 1, np.array([1]), 2, 0), "key 1 is 4, outside [-1, 4)"),
    ((np.array([0, 0, -2, 0], np.int64), 2, np.array([1]), 2, 0), "key 2 is -2, outside [-1, 2)"),
    ((np.array([0, 0, 0, 7], np.int64), 2, np.array([1]), 2, 0), "key 3 is 7, outside [-1, 2)"),  # unused column
    (([np.zeros(3, np.int64)] * 2, 3, np.array([1]), 1, 0), "keys holds 2 arrays, not n_keys = 3"),
    (([np.zeros(3, np.int64), np.zeros(2, np.int64)], 2, np.array([1]), 1, 0), "keys: array 1 holds 2 codes, not 3"),
    (([np.zeros(3, np.int64), np.array([0, 5, 0], np.int64)], 2, np.array([3]), 1, 0), "key 4 is 5, outside [-1, 3)"),
]


@pytest.mark.parametrize("args, message", COUNT_BAD, ids=[m[:20] for _, m in COUNT_BAD])
def test_bad_count_rule_pairs_calls(args, message):
    import _corvane_rs

    with pytest.raises(ValueError) as raised:
        _corvane_rs.count_rule_pairs(*args)
    assert str(raised.value).startswith(message)


def _in_first_order(reference):
    """The codes that number the values of reference (ints, -1 missing) in
    order of first record, as the engine numbers keys."""
    out = np.full(len(reference), -1, dtype=np.int64)
    kept = reference != -1
    values, first, inverse = np.unique(reference[kept], return_index=True, return_inverse=True)
    rank = np.empty(len(values), dtype=np.int64)
    rank[np.argsort(first)] = np.arange(len(values))
    out[kept] = rank[inverse.ravel()]
    return out


def _same_grouping(codes, reference):
    """Whether codes are equal exactly where the reference codes (ints, -1
    missing) are: one code per reference value and back."""
    if not np.array_equal(codes == -1, reference == -1):
        return False
    kept, want = codes[reference != -1], reference[reference != -1]
    both = np.unique(kept * (int(want.max(initial=0)) + 1) + want)
    return len(both) == len(np.unique(kept)) == len(np.unique(want))


# Key columns over enough records to be numbered in chunks (integers of a
# narrow span: by an array over the span; the others by hash tables, chunk
# by chunk, then merged; values that hardly repeat by tables sized from the
# first records). Codes number the values in order of first record; ranks
# are the places of the distinct values in sorted order.
REPEATING = {
    "integers of a narrow span": lambda rng, n: rng.integers(-50, 3_000, n),
    "integers of a wide span": lambda rng, n: rng.integers(-50, 3_000, n) * 10**12,
    "unsigned past 2**63": lambda rng, n: rng.integers(0, 3_000, n).astype(np.uint64) * (2**60),
    "floats": lambda rng, n: rng.integers(-3_000, 3_000, n) / 8,
    "strings": lambda rng, n: np.array([f"name {k:07d}" for k in range(3_000)])[rng.integers(0, 3_000, n)],
    "strings past 16 bytes, hardly repeating": lambda rng, n: np.char.add(
        np.char.add("a long shared start ", np.char.zfill(rng.integers(0, 4 * n, n).astype(str), 7)), " and end"),
}


@pytest.mark.parametrize("case", REPEATING)
def test_keys_of_many_repeating_values(case):
    import _corvane_rs

    rng = np.random.default_rng(8)
    n = 140_000
    values = REPEATING[case](rng, n)
    gone = rng.random(n) < 0.05
    column = pa.array(values, mask=gone)
    strings = int(pa.types.is_string(column.type))
    # The values' places in sorted order, 0 for the smallest.
    reference = np.full(n, -1)
    reference[~gone] = pc.rank(pa.array(values[~gone]), sort_keys="ascending", tiebreaker="dense").to_numpy() - 1
    for sides in ([column], [column.slice(0, 60_001), column.slice(60_001)]):
        assert np.array_equal(_corvane_rs.encode_keys(sides, strings, 0, 0, 0), _in_first_order(reference))
        assert np.array_equal(_corvane_rs.encode_keys(sides, strings, 0, 0, 1), reference)  # ranks


# rule_keys: (rules' code columns, n_left or None to deduplicate); each rule's
# keys must number its tuples of codes in order of first record, and a rule
# of one column keep its codes.
def _codes(rng, n, top, gone=0.1):
    codes = rng.integers(0, top, n)
    codes[rng.random(n) < gone] = -1
    return codes


RULE_KEYS = {
    "one column each, deduplicating": (lambda rng: [[_codes(rng, 50, 7)], [_codes(rng, 50, 50)]], None),
    "tuples, two tables": (lambda rng: [[_codes(rng, 80, 5), _codes(rng, 80, 4)], [_codes(rng, 80, 80)]], 30),
    "three columns, deduplicating": (lambda rng: [[_codes(rng, 60, 3), _codes(rng, 60, 2), _codes(rng, 60, 3)]], None),
    "codes up to 2**32 - 1": (lambda rng: [[np.where((c := _codes(rng, 40, 3)) < 0, -1, c * (2**32 - 1) // 2),
                                            _codes(rng, 40, 3)]], 10),
    "many records: numbered in parts": (lambda rng: [[_codes(rng, 60_000, 45_000), _codes(rng, 60_000, 100)]], 25_000),
    "a right table of none": (lambda rng: [[_codes(rng, 20, 4), _codes(rng, 20, 4)]], 20),
}


@pytest.mark.parametrize("case", RULE_KEYS)
def test_rule_keys_group_records_as_their_tuples(case):
    import _corvane_rs

    make, n_left = RULE_KEYS[case]
    rules = make(np.random.default_rng(len(case)))
    n = len(rules[0][0])
    dedupe = n_left is None
    left, right = _corvane_rs.rule_keys(rules, n if dedupe else n_left, int(dedupe))
    if dedupe:
        assert right is left
        n_left = n
    assert len(left) == len(rules) * n_left and len(right) == len(rules) * (n if dedupe else n - n_left)
    for r, columns in enumerate(rules):
        keys = np.concatenate([left[r * n_left:(r + 1) * n_left], [] if dedupe else right[r * (n - n_left):(r + 1) * (n - n_left)]])
        if len(columns) == 1:
            assert keys.tolist() == columns[0].tolist()
            continue
        radices = [int(c.max()) + 2 for c in columns]
        tuples = np.zeros(n, dtype=np.int64 if np.prod(radices, dtype=float) < 2**62 else object)
        for c, radix in zip(columns, radices):  # the tuple of codes as one integer
            tuples = tuples * radix + (c + 1)
        _, reference = np.unique(tuples, return_inverse=True)
        reference = np.where(np.stack(columns).min(axis=0) < 0, -1, reference.ravel())
        assert np.array_equal(keys, _in_first_order(reference))


RULE_KEYS_BAD = [
    (([], 0, 1), ValueError, "codes is empty: give at least one rule"),
    (([[]], 0, 1), ValueError, "codes: rule 0 has no key columns"),
    (([[np.zeros(3, np.int64)], [np.zeros(2, np.int64)]], 3, 1), ValueError, "codes: rule 1 column 0 holds 2 codes, not 3"),
    (([[np.zeros(3, np.int64)]], 2, 1), ValueError, "n_left must be the number of codes when deduplicating"),
    (([[np.zeros(3, np.int64)]], 4, 0), ValueError, "n_left must be the number of codes when deduplicating, and at most"),
    (([[np.zeros(2, np.int64), np.array([0, -2])]], 2, 1), ValueError, "codes: rule 0 column 1: code 1 is -2, outside [-1, 2**32)"),
    (([[np.array([2**32, 0])] * 2], 2, 1), ValueError, "codes: rule 0 column 0: code 0 is 4294967296"),
    (([[np.zeros(2, np.int32)]], 2, 1), TypeError, "argument 'codes': 'ndarray' object cannot be converted"),
    (([np.zeros(2, np.int64)], 2, 1), TypeError, "argument 'codes': 'int64' object cannot be converted"),
    (([5], 2, 1), TypeError, "argument 'codes': each rule must be a list of int64 arrays"),
]


@pytest.mark.parametrize("args, error, message", RULE_KEYS_BAD, ids=[str(k) for k in range(len(RULE_KEYS_BAD))])
def test_bad_rule_keys_calls(args, error, message):
    import _corvane_rs

    with pytest.raises(error) as raised:
        _corvane_rs.rule_keys(*args)
    assert str(raised.value).startswith(message)


def _pairs_of_codes(left, right, windows, dedupe):
    """Pairs of per-rule code arrays (-1: missing) and the pairs each rule
    adds, pair by pair: equal codes, or ranks within window // 2 places in
    the order (rank, left before right, position)."""
    found, added = set(), []
    for r, window in enumerate(windows):
        lk, rk = left[r], left[r] if dedupe else right[r]
        if window == 0:
            pairs = {(i, j) for i in range(len(lk)) for j in range(len(rk))
                     if lk[i] >= 0 and lk[i] == rk[j] and (not dedupe or i < j)}
        else:
            order = sorted([(v, 0, i) for i, v in enumerate(lk) if v >= 0]
                           + ([] if dedupe else [(v, 1, j) for j, v in enumerate(rk) if v >= 0]))
            pairs = set()
            for p, (_, side, i) in enumerate(order):
                for _, other, j in order[p + 1:p + window // 2 + 1]:
                    if dedupe:
                        pairs.add((min(i, j), max(i, j)))
                    elif side != other:
                        pairs.add((i, j) if side == 0 else (j, i))
        added.append(len(pairs - found))
        found |= pairs
    return sorted(found), added


# Codes as the engine may receive them, not only as the encoder numbers
# them: unique codes (no pairs), codes held on one side only, one code
# for most records, and rules of both kinds in either order.
CODE_CASES = {
    "unique": ([0], lambda rng, n: rng.permutation(n)),
    "one-sided": ([0, 0, 0], lambda rng, n: rng.integers(0, 40, n)),
    "one-group": ([0, 3], lambda rng, n: np.where(rng.random(n) < 0.8, 5, rng.integers(-1, 12, n))),
    "few": ([0, 5, 0, 0], lambda rng, n: rng.integers(-1, 6, n)),
    "neighbourhood-first": ([3, 0, 7], lambda rng, n: rng.integers(-1, n // 3, n)),
}


@pytest.mark.parametrize("index_bits", ["", "64"], ids=["index-fitted", "index-64-bit"])
@pytest.mark.parametrize("dedupe", [True, False], ids=["dedupe", "link"])
@pytest.mark.parametrize("case", CODE_CASES)
def test_candidate_pairs_of_any_codes_match_the_reference(case, dedupe, index_bits, monkeypatch):
    import _corvane_rs

    monkeypatch.setenv("CORVANE_INDEX_BITS", index_bits)
    windows, codes = CODE_CASES[case]
    rng = np.random.default_rng(len(case))
    n_left, n_right = 57, 57 if dedupe else 41
    left = [np.asarray(codes(rng, n_left), dtype=np.int64) for _ in windows]
    right = left if dedupe else [np.asarray(codes(rng, n_right), dtype=np.int64)[::-1] for _ in windows]
    if case == "one-sided" and not dedupe:
        right[1] = right[1] + 50  # rule 1: no code on both sides
        right[2] = np.full(n_right, -1)  # rule 2: no code on the right at all
    want, added = _pairs_of_codes(left, right, windows, dedupe)
    args = (np.concatenate(left), np.concatenate(right), np.array(windows, dtype=np.int64), int(dedupe))
    got = _corvane_rs.candidate_pairs(*args, 0, n_left)
    assert list(zip(*(a.tolist() for a in got))) == want
    by_rule, per_record = _corvane_rs.candidate_counts(*args)
    assert list(by_rule) == added
    assert per_record.tolist() == np.bincount([i for i, _ in want], minlength=n_left).tolist()
    index = _corvane_rs.candidate_index(*args)
    batches = [_corvane_rs.index_pairs(index, a, b) for a, b in ((0, 0), (0, 20), (20, 21), (21, n_left))]
    assert [np.concatenate(p).tolist() for p in zip(*batches)] == [a.tolist() for a in got]
