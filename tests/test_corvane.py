"""The public layer: compare over every table kind and missing-value policy
against the engine called by hand, the scorer's checks, pickling, the
partition function, and the failure report's source path."""

import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import _corvane_rs as m

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
import corvane  # noqa: E402

LEFT = pd.DataFrame({
    "name": ["martha", None, "smith", "jones", "", "józef"],
    "town": pd.Categorical(["kew", "kew", None, "ryde", "kew", "ryde"]),
    "age": [30.0, np.nan, 41.0, 0.0, 7.0, 30.0],
    "size": pd.array([3, None, 5, 5, 0, 2], dtype="Int64"),
    "born": pd.to_datetime(["1970-01-01", "1969-12-31 12:00", None, "2000-02-29", "1970-01-01", "1970-01-03"], format="ISO8601"),
})
RIGHT = LEFT.iloc[::-1].reset_index(drop=True).rename(columns={"name": "given"})
PAIRS = (np.array([0, 1, 2, 3, 4, 5, 0, 3]), np.array([5, 4, 3, 2, 1, 0, 0, 4]))
COMPARISONS = [("name", "given", "jaro_winkler"), ("town", "exact"), ("age", "numeric_similarity"),
               ("name", "given", "levenshtein"), ("size", "numeric"), ("born", "date_distance")]
NAMES = ["name_jaro_winkler", "town_exact", "age_numeric_similarity", "name_levenshtein", "size_numeric",
         "born_date_distance"]
KINDS = {"pandas": lambda f: f, "polars": pl.from_pandas, "arrow": lambda f: pa.Table.from_pandas(f, preserve_index=False)}


def by_hand(missing):
    """The same scores from Python lists: missing values found with pd.isna,
    dates turned into days by pandas, one engine call per comparison."""
    out = {}
    for (lcol, rcol, metric), name in zip([c if len(c) == 3 else (c[0], c[0], c[1]) for c in COMPARISONS], NAMES):
        lv = LEFT[lcol].iloc[PAIRS[0]].tolist()
        rv = RIGHT[rcol].iloc[PAIRS[1]].tolist()
        absent = np.array([pd.isna(a) or pd.isna(b) for a, b in zip(lv, rv)])
        if metric in corvane.NUMERIC_METRICS:
            def num(v):
                if pd.isna(v):
                    return 0.0
                return v.value / 86_400e9 if isinstance(v, pd.Timestamp) else float(v)  # ns since 1970 in days
            args = ([], [], [], np.array([[num(v) for v in lv]]), np.array([[num(v) for v in rv]]), [metric])
        else:
            fill = [["" if pd.isna(v) else v for v in side] for side in (lv, rv)]
            args = ([fill[0]], [fill[1]], [metric], np.zeros((0, 0)), np.zeros((0, 0)), [])
        scores = m.compute_feature_matrix(*args, len(lv))
        scores[absent] = np.nan if missing == "nan" else missing
        out[name] = scores
    return out


def columns_of(result):
    if isinstance(result, pa.Table):
        return {n: result.column(n).to_numpy() for n in result.column_names}
    return {n: np.asarray(result[n], dtype=np.float64) for n in result.columns}


@pytest.mark.parametrize("missing", ["nan", 0.25])
@pytest.mark.parametrize("left_kind, right_kind", [("pandas", "pandas"), ("polars", "polars"), ("arrow", "arrow"),
                                                   ("polars", "pandas"), ("arrow", "polars")])
def test_compare_equals_engine_by_hand(left_kind, right_kind, missing):
    left, right = KINDS[left_kind](LEFT), KINDS[right_kind](RIGHT)
    result = corvane.compare(left, right, PAIRS, COMPARISONS, missing=missing)
    assert type(result) is type(left)
    got, expected = columns_of(result), by_hand(missing)
    assert list(got) == NAMES
    for name in NAMES:
        assert got[name].dtype == np.float64
        assert np.array_equal(got[name].view(np.int64), expected[name].view(np.int64)), name
    assert got["born_date_distance"][6] == 2.0 and got["born_date_distance"][7] == 11016.5  # days


@pytest.mark.parametrize("kind", KINDS)
def test_compare_without_right_pairs_left_with_itself(kind):
    # right=None deduplicates, as in candidates, link and FellegiSunter.fit.
    table = KINDS[kind](LEFT)
    comparisons = [("name", "jaro_winkler"), ("born", "date_distance"), ("name", "term_frequency")]
    got = columns_of(corvane.compare(table, None, PAIRS, comparisons))
    expected = columns_of(corvane.compare(table, table, PAIRS, comparisons))
    assert list(got) == list(expected)
    for name in got:
        assert np.array_equal(got[name], expected[name], equal_nan=True), name


@pytest.mark.parametrize("kind", KINDS)
def test_compare_reads_categoricals_of_numbers_and_dates_as_their_values(kind):
    # As blocking does: a categorical (Arrow dictionary) of numbers or dates
    # is its values, for the numeric metrics and against a plain column.
    plain = LEFT[["age", "born"]]
    coded = plain.astype("category")
    comparisons = [("age", "numeric"), ("age", "numeric_similarity"), ("born", "date_distance")]
    expected = columns_of(corvane.compare(KINDS[kind](plain), KINDS[kind](plain), PAIRS, comparisons))
    for left, right in [(coded, coded), (coded, plain), (plain, coded)]:
        got = columns_of(corvane.compare(KINDS[kind](left), KINDS[kind](right), PAIRS, comparisons))
        for name in expected:
            assert np.array_equal(got[name], expected[name], equal_nan=True), name


@pytest.mark.parametrize("call, error, message", [
    (dict(missing="error"), ValueError, r"column 'name' has a missing value on the left side, first at pair 1 \(left row 1\)"),
    (dict(comparisons=[("age", "numeric")], missing="error"), ValueError, r"'age' .* left side, first at pair 1"),
    (dict(comparisons=[("name", "given", "jarowinkler")]), ValueError, r"unknown metric 'jarowinkler'.*jaro_winkler"),
    (dict(comparisons=[("age", "exact")]), TypeError, r"column 'age' of left holds double, but 'exact' compares strings: "
                                                       r"convert it first, keeping missing values missing \(for "
                                                       r"example \.astype\('string'\) in pandas"),
    (dict(comparisons=[("town", "date_distance")]), TypeError, r"column 'town' of left holds dictionary.*numbers"),
    (dict(comparisons=[("nope", "exact")]), ValueError, r"left has no column 'nope'"),
    (dict(comparisons=[("age", "numeric"), ("age", "numeric")]), ValueError, r"'age_numeric' twice"),
    (dict(comparisons=[]), ValueError, r"comparisons is empty"),
    (dict(pairs=([0, 6], [0, 0])), IndexError, r"left position 6 at pair 1 is outside the 6 rows of left"),
    (dict(pairs=(np.array([0, 2**64 - 1], np.uint64), [0, 0])), IndexError, r"left position 18446744073709551615 at"),
    (dict(pairs=([0, 1], [0])), ValueError, r"2 left positions but 1 right positions"),
    (dict(pairs=([0.0, 1.0], [0, 1])), TypeError, r"left positions must be integers"),
    (dict(pairs=([0, 1], pd.array([1, None], dtype="Int64"))), TypeError,
     r"^pairs: the right positions hold missing values \(first at pair 1\); drop those pairs first$"),
    (dict(pairs=([0, 1], pa.array([None, 1]))), TypeError, r"right positions hold missing values \(first at pair 0\)"),
    (dict(missing="drop"), ValueError, r"missing must be 'nan', 'error' or a number"),
    (dict(missing=True), TypeError, r"missing must be 'nan', 'error' or a number, not bool"),
    (dict(pairs=[(0, 1), (2, 0)]), TypeError, r"pairs is a list of \(left, right\) position pairs; pass the two arrays"),
])
def test_compare_refusals_name_the_users_column(call, error, message):
    args = dict(left=LEFT, right=RIGHT, pairs=PAIRS, comparisons=COMPARISONS) | call
    with pytest.raises(error, match=message):
        corvane.compare(args.pop("left"), args.pop("right"), args.pop("pairs"), args.pop("comparisons"), **args)


@pytest.fixture(scope="module")
def fitted():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.ensemble import RandomForestClassifier
    from sklearn.linear_model import LogisticRegression

    rng = np.random.default_rng(0)
    X = rng.random((400, 3))  # not float32-exact: the tree scorer rounds as scikit-learn does
    y = X[:, 0] + X[:, 1] > 1.0
    assert sklearn
    return X, [LogisticRegression().fit(X, y), RandomForestClassifier(n_estimators=10, random_state=0).fit(X, y)]


def test_scorer_matches_sklearn_and_survives_pickle(fitted):
    X, (logistic, forest) = fitted
    for model, scorer_name in [(logistic, "predict_batch"), (forest, "predict_forest_batch")]:
        scorer = corvane.Scorer.from_sklearn(model)
        assert scorer.name == scorer_name and scorer.n_features_in_ == 3 and scorer.params
        expected = model.predict_proba(X)[:, 1]
        assert np.max(np.abs(scorer.predict_proba(X) - expected)) <= (0.0 if scorer.is_tree else 1e-12)
        # any dtype, order or frame, converted the same way
        for variant in [np.asfortranarray(X), pd.DataFrame(X), pl.DataFrame(X)]:
            assert np.array_equal(scorer.predict_proba(variant), scorer.predict_proba(X))
        clone = pickle.loads(pickle.dumps(scorer))
        assert np.array_equal(clone.predict_proba(X), scorer.predict_proba(X)) and repr(clone) == repr(scorer)
    assert np.array_equal(corvane.Scorer.from_sklearn(logistic).predict_proba(X.astype(np.float32)),
                          corvane.Scorer.from_sklearn(logistic).predict_proba(X.astype(np.float32).astype(np.float64)))


def test_scorer_refusals(fitted):
    from sklearn.ensemble import HistGradientBoostingClassifier

    X, (logistic, forest) = fitted
    for model in (logistic, forest):
        with pytest.raises(ValueError, match=r"X has 2 columns, but the model was fitted on 3 features"):
            corvane.Scorer.from_sklearn(model).predict_proba(X[:, :2])
    holes = X.copy()
    holes[5, 1] = np.nan
    with pytest.raises(ValueError, match=r"NaN \(column 1, row 5, 1 in all\).*left child.*Impute.*nan='left'"):
        corvane.Scorer.from_sklearn(forest).predict_proba(holes)
    lenient = corvane.Scorer.from_sklearn(forest, nan="left")
    assert np.array_equal(lenient.predict_proba(holes), m.predict_forest_batch(
        holes.astype(np.float32).astype(np.float64), **lenient.params))
    hgb = HistGradientBoostingClassifier(max_iter=2).fit(X, X[:, 0] > 0.5)
    with pytest.raises(TypeError, match=r"cannot export HistGradientBoostingClassifier; supported: LogisticRegression"):
        corvane.Scorer.from_sklearn(hgb)


def test_partition_scores_like_compare_then_scorer(fitted):
    _, (logistic, _) = fitted
    frame = pd.DataFrame({"id": [7, 8, 9], "a_l": ["anna", None, "jo"], "a_r": ["ana", "x", "jo"],
                          "n_l": [1.0, 2.0, 3.0], "n_r": [1.0, 4.0, np.nan], "b_l": ["x", "y", "z"], "b_r": ["x", "z", "z"]})
    comparisons = [("a", "jaro_winkler"), ("n", "numeric_similarity"), ("b", "exact")]
    scorer = corvane.Scorer.from_sklearn(logistic)
    features = corvane.compare(frame, frame, ([0, 1, 2], [0, 1, 2]),
                               [(f"{c}_l", f"{c}_r", metric) for c, metric in comparisons], missing=0.0)
    expected = scorer.predict_proba(features.to_numpy())
    out = corvane.score_partition(frame.set_axis([3, 4, 5]), comparisons, scorer, keep=["id"], missing=0.0)
    assert list(out.columns) == ["id", "a_jaro_winkler", "n_numeric_similarity", "b_exact", "probability", "match"]
    assert list(out.index) == [3, 4, 5] and np.array_equal(out["probability"], expected)
    batches = corvane.score_batches([pa.RecordBatch.from_pandas(frame, preserve_index=False)], comparisons, scorer,
                                    keep=["id"], missing=0.0)
    (batch,) = list(batches)
    assert isinstance(batch, pa.RecordBatch) and np.array_equal(batch.column("probability").to_numpy(), expected)
    assert corvane.score_partition(frame.iloc[:0], comparisons, scorer, missing=0.0).shape == (0, 5)
    # A model outside corvane, as link takes it: its last column per class.
    raw = corvane.score_partition(frame, comparisons, logistic, missing=0.0)
    assert np.array_equal(raw["probability"], logistic.predict_proba(features.to_numpy())[:, 1])
    for odd in (0.5, np.zeros((len(frame), 2, 2))):  # one score for all, or one block per pair
        wrong = type("Wrong", (), {"predict_proba": lambda self, X, odd=odd: odd})()
        with pytest.raises(ValueError, match=rf"the model's predict_proba gave scores of shape \(.*\) for {len(frame)} pairs"):
            corvane.score_partition(frame, comparisons, wrong, missing=0.0)
    undecided = corvane.score_partition(frame, comparisons, scorer)  # a missing value leaves the decision missing
    assert undecided["match"].isna().tolist() == [False, True, True] and undecided["match"][0] == (expected[0] >= 0.5)
    # A model fitted on a table of these names reads each score by name,
    # whatever the order of the comparisons.
    X, (logistic, _) = fitted
    names = ["a_jaro_winkler", "n_numeric_similarity", "b_exact"]
    named = corvane.Scorer.from_sklearn(type(logistic)().fit(pd.DataFrame(X, columns=names), X[:, 0] > X[:, 2]))
    backwards = corvane.score_partition(frame, comparisons[::-1], named, missing=0.0)
    assert list(backwards.columns) == names[::-1] + ["probability", "match"]
    assert np.array_equal(backwards["probability"], named.predict_proba(features.to_numpy()))
    # Names of the pair table's own go by position, but one of the model's
    # names in another place, or another metric where its name says one, is
    # refused rather than read as another feature.
    renamed = [("a", "jaro_winkler"), ("n", "numeric_similarity"), ("b_l", "b_r", "exact")]
    assert np.array_equal(corvane.score_partition(frame, renamed, named, missing=0.0)["probability"],
                          named.predict_proba(features.to_numpy()))
    for wrong in ([renamed[2], renamed[1], renamed[0]], [("a", "levenshtein"), *comparisons[1:]]):
        with pytest.raises(ValueError, match=r"the comparisons give the features \[.*\], but the model was fitted"):
            corvane.score_partition(frame, wrong, named, missing=0.0)


def test_batches_read_from_a_stream_score_in_a_fresh_process(fitted, tmp_path):
    # A Spark worker's batches come from an Arrow stream: nothing there has
    # imported pandas, nor with it pyarrow.compute, which corvane reads.
    _, (logistic, _) = fitted
    batch = pa.RecordBatch.from_pydict({"a_l": ["anna", None, "jo"], "a_r": ["ana", "x", "jo"],
                                        "n_l": [1.0, 2.0, 3.0], "n_r": [1.0, 4.0, np.nan],
                                        "b_l": ["x", "y", "z"], "b_r": ["x", "z", "z"]})
    comparisons = [("a", "jaro_winkler"), ("n", "numeric_similarity"), ("b", "exact")]
    scorer = corvane.Scorer.from_sklearn(logistic)
    with pa.OSFile(str(tmp_path / "batch.arrow"), "wb") as sink, pa.ipc.new_stream(sink, batch.schema) as writer:
        writer.write_batch(batch)
    (tmp_path / "scorer.pickle").write_bytes(pickle.dumps((comparisons, scorer)))
    child = """
import pickle, sys
import pyarrow as pa, pyarrow.ipc
batch = pa.ipc.open_stream(pa.OSFile("batch.arrow")).read_next_batch()
assert "pyarrow.compute" not in sys.modules and "pandas" not in sys.modules
import corvane
comparisons, scorer = pickle.loads(open("scorer.pickle", "rb").read())
(scored,) = corvane.score_batches([batch], comparisons, scorer, missing=0.0)
pairs = corvane.candidates(batch, rules=[corvane.prefix("b_r", 1), "n_l"])
print((scored.column("probability").to_pylist(), [p.tolist() for p in pairs]))
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, "-c", child], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    (expected,) = corvane.score_batches([batch], comparisons, scorer, missing=0.0)
    pairs = corvane.candidates(batch, rules=[corvane.prefix("b_r", 1), "n_l"])
    assert result.stdout.strip() == str((expected.column("probability").to_pylist(), [p.tolist() for p in pairs]))


PARIS = pd.DataFrame({"d": pd.to_datetime(["2024-03-01 01:00", "2024-03-03 01:00"]).tz_localize("Europe/Paris"),
                      "s": ["a", "b"]})
STAMPS = {
    "naive": PARIS.assign(d=PARIS["d"].dt.tz_localize(None)),
    "date": pa.table({"d": pa.array([__import__("datetime").date(2024, 3, 1)] * 2), "s": ["a", "b"]}),
    "utc": PARIS.assign(d=PARIS["d"].dt.tz_convert("UTC")),
}


@pytest.mark.parametrize("kind", KINDS)
def test_compare_refuses_what_it_cannot_define(kind):
    # Time zone against none: no instant on the naive side (two zones are fine).
    paris = KINDS[kind](PARIS)
    for other in ("naive", "date"):
        for left, right in ((paris, STAMPS[other]), (STAMPS[other], paris)):
            with pytest.raises(TypeError, match=r"'date_distance' cannot compare datetimes with a time zone to ones "
                                                r"without; give the naive side its time zone first"):
                corvane.compare(left, right, ([0], [0]), [("d", "date_distance")])
    # A date or datetime against a plain number: days since 1970 against a
    # number would be a meaningless distance (blocking refuses it too).
    for metric in ("date_distance", "numeric", "numeric_similarity"):
        for stamps in (paris, STAMPS["naive"], STAMPS["date"]):
            for left, right in ((stamps, pd.DataFrame({"d": [19783, 19784]})),
                                (pl.DataFrame({"d": [0.5, 1.5]}), stamps)):
                with pytest.raises(TypeError, match=rf"'{metric}' cannot compare dates or datetimes with plain "
                                                    r"numbers; convert one side first"):
                    corvane.compare(left, right, ([0], [0]), [("d", metric)])
    instants = corvane.compare(paris, STAMPS["utc"], ([0, 1], [1, 1]), [("d", "date_distance")])
    assert columns_of(instants)["d_date_distance"].tolist() == [2.0, 0.0]  # UTC midnights
    # A column name held twice: the same refusal for every kind that allows it.
    if kind != "polars":
        twice = (pd.DataFrame([["a", "b"]], columns=["s", "s"]) if kind == "pandas"
                 else pa.table([pa.array(["a"]), pa.array(["b"])], names=["s", "s"]))
        with pytest.raises(ValueError, match=r"^right has more than one column named 's'$"):
            corvane.compare(paris, twice, ([0], [0]), [("s", "exact")])


def partition_kinds():
    frame = pd.DataFrame({"x_l": [1.0, 2.0, 3.0], "x_r": [1.0, 3.0, 3.0],
                          "id": pd.array([2**53 + 1, None, -7], dtype="Int64"),
                          "town": pd.Categorical(["kew", None, "ryde"]),
                          "name": pd.array(["anna", None, "jó"], dtype="string"),
                          "probability": ["p", "q", "r"], "match": [True, False, True], "x_numeric": 0.5},
                         index=[5, 6, 7])
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    return {"pandas": frame, "polars": pl.from_arrow(arrow), "table": arrow, "batch": arrow.to_batches()[0]}


@pytest.mark.parametrize("kind", ["pandas", "polars", "table", "batch"])
def test_partition_keeps_columns_as_they_are(kind):
    from sklearn.linear_model import LogisticRegression

    scorer = corvane.Scorer.from_sklearn(LogisticRegression().fit([[0.0], [1.0]], [0, 1]))
    batch = partition_kinds()[kind]
    keep = ["name", "id", "town"]
    out = corvane.score_partition(batch, [("x", "numeric")], scorer, keep=keep)
    names = list(out.columns) if kind in ("pandas", "polars") else out.column_names
    assert names == keep + ["x_numeric", "probability", "match"]
    for name in keep:
        if kind == "pandas":
            assert out[name].dtype == batch[name].dtype and out[name].equals(batch[name]), name
        elif kind == "polars":
            assert out[name].dtype == batch[name].dtype and out[name].equals(batch[name]), name
        else:
            assert out.column(name).equals(batch.column(name)), name
    refusals = [
        (dict(keep=["probability"]), r"^keep: 'probability' is also the name of an output column; rename it first$"),
        (dict(keep=["id", "x_numeric"]), r"keep: 'x_numeric' is also the name of an output column"),
        (dict(keep=["match"]), r"keep: 'match' is also the name"),
        (dict(keep=["id", "id"]), r"^keep: 'id' is given twice$"),
        (dict(keep=["nope"]), r"^batch has no column 'nope'$"),
        (dict(threshold=float("nan")), r"^threshold is NaN"),
    ]
    for options, message in refusals:
        with pytest.raises(ValueError, match=message):
            corvane.score_partition(batch, [("x", "numeric")], scorer, **options)
    with pytest.raises(TypeError, match=r"^keep must be a list of column names, not a string$"):
        corvane.score_partition(batch, [("x", "numeric")], scorer, keep="id")


def test_failure_report_names_the_source_relative_to_the_project(capfd):
    one = np.zeros(1, dtype=np.int64)
    with pytest.raises(BaseException) as raised:
        m.predict_forest_batch(np.zeros((1, 1)), np.array([0, 99]), one, one, one, np.zeros(1), np.zeros(1))
    assert type(raised.value).__name__ == "PanicException"
    report = capfd.readouterr().err
    assert " panicked at src/" in report, report
    assert str(Path(__file__).resolve().parent.parent) not in report
