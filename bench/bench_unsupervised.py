"""Training without labels: corvane.FellegiSunter beside Splink (DuckDB).

    python bench/bench_unsupervised.py [--sets febrl3,febrl4,scale] [--copies 60] [--splink febrl3,febrl4]
                                       [--tf none,given_name+surname] [--before]

On each set both run the usual unsupervised flow with the same blocking
rules and comparable comparisons (the same metrics and thresholds where
Splink has them), in one process:

* Splink: prior from deterministic rules, u from 1M random pairs, m by EM
  in blocked passes, ``predict`` at 0.5, connected components at 0.5;
* corvane: ``candidates``, ``FellegiSunter.fit`` (u from 1M random pairs,
  EM on level counts; with ``--rules`` chained passes per rule), scoring,
  ``clusters`` (connected components) at 0.5.

Printed per set: pair precision / recall / F1 at 0.5 and cluster-pair F1 of
both, and the times of training, scoring and clustering with their ratios
(corvane / Splink: below 1 is faster). The machine may be shared: compare
ratios, not times. ``--tf`` lists the variants of corvane's model to run,
each the columns whose exact matches get a term-frequency adjustment
(``none``: no adjustment; ``surname``; ``given_name+surname``); every
variant runs on the same candidates beside the one Splink run. ``--splink`` names the sets Splink runs on (default:
all); on the others only corvane's quality and times are printed (Splink
takes tens of minutes on the 300,000 records of a loaded machine).
``--before`` also runs each variant's ``fit`` as it cut levels before the
engine's ``compare_levels`` (``compare``'s scores of every random and
candidate pair, cut into level keys), in the same run, for the ratio of the
two; its model must come out the same.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corvane  # noqa: E402
from febrl_scale import febrl3_scaled, load_febrl  # noqa: E402

# The rules of each set, as lists of columns ("surname_1": first letter of surname).
RULES = {
    "febrl3": [["soc_sec_id"], ["date_of_birth"], ["given_name", "surname"], ["postcode"]],
    "febrl4": [["postcode"], ["date_of_birth"], ["given_name", "surname"]],
    "scale": [["soc_sec_id"], ["date_of_birth"], ["given_name", "surname"], ["postcode", "surname_1"]],
}
# Comparisons: Splink's JaroWinklerAtThresholds / DamerauLevenshteinAtThresholds
# have an exact level first, as these thresholds do (1.0).
COMPARISONS = [
    ("given_name", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("surname", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("date_of_birth", "damerau_levenshtein", (1.0, 0.875, 0.75)),
    ("soc_sec_id", "damerau_levenshtein", (1.0, 0.85)),
    ("street_number", "exact"),
    ("address_1", "jaro_winkler", (1.0, 0.9, 0.7)),
    ("suburb", "jaro_winkler", (1.0, 0.9)),
    ("postcode", "damerau_levenshtein", (1.0, 0.75)),
    ("state", "exact"),
]


def splink_comparisons() -> list:
    import splink.comparison_library as cl

    return [
        cl.JaroWinklerAtThresholds("given_name", [0.9, 0.7]),
        cl.JaroWinklerAtThresholds("surname", [0.9, 0.7]),
        cl.DamerauLevenshteinAtThresholds("date_of_birth", [1, 2]),
        cl.DamerauLevenshteinAtThresholds("soc_sec_id", [1]),
        cl.ExactMatch("street_number"),
        cl.JaroWinklerAtThresholds("address_1", [0.9, 0.7]),
        cl.JaroWinklerAtThresholds("suburb", [0.9]),
        cl.DamerauLevenshteinAtThresholds("postcode", [1]),
        cl.ExactMatch("state"),
    ]


def true_pairs_dedup(entity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    order = np.argsort(entity, kind="stable")
    e = entity[order]
    starts = np.flatnonzero(np.r_[True, e[1:] != e[:-1]])
    sizes = np.diff(np.r_[starts, len(e)])
    li, ri = [], []
    for s, k in zip(starts[sizes > 1], sizes[sizes > 1]):
        members = np.sort(order[s:s + k])
        a, b = np.triu_indices(k, 1)
        li.append(members[a])
        ri.append(members[b])
    return np.concatenate(li), np.concatenate(ri)


def run_splink(df: pd.DataFrame, other: pd.DataFrame | None, rules: list[list[str]]) -> dict:
    from splink import DuckDBAPI, Linker, SettingsCreator, block_on

    logging.getLogger("splink").setLevel(logging.ERROR)
    db = DuckDBAPI()
    frames = [df] if other is None else [df, other]
    tables = [db.register(f.drop(columns=["entity"]), dataset_display_name=f"t{k}") for k, f in enumerate(frames)]
    settings = SettingsCreator(
        link_type="dedupe_only" if other is None else "link_only",
        unique_id_column_name="uid",
        blocking_rules_to_generate_predictions=[block_on(*r) for r in rules],
        comparisons=splink_comparisons(),
        retain_intermediate_calculation_columns=False,
        retain_matching_columns=False,
    )
    linker = Linker(tables if other is not None else tables[0], settings, log_level=logging.ERROR)
    t0 = time.perf_counter()
    linker.training.estimate_probability_two_random_records_match(
        [block_on("soc_sec_id", "date_of_birth"), block_on("given_name", "surname", "date_of_birth")], recall=0.8)
    linker.training.estimate_u_using_random_sampling(max_pairs=1e6, seed=1)
    for rule in (["date_of_birth"], ["postcode"]):
        linker.training.estimate_parameters_using_expectation_maximisation(block_on(*rule))
    t1 = time.perf_counter()
    predictions = linker.inference.predict(threshold_match_probability=0.5)
    t2 = time.perf_counter()
    clusters = linker.clustering.cluster_pairwise_predictions_at_threshold(predictions, 0.5).as_pandas_dataframe()
    t3 = time.perf_counter()
    pred = predictions.as_pandas_dataframe()
    return {"fit": t1 - t0, "score": t2 - t1, "cluster": t3 - t2, "pred": pred, "clusters": clusters}


def with_frequencies(columns: list[str]) -> list:
    """COMPARISONS with a term-frequency entry after each of ``columns``'."""
    out: list = []
    for c in COMPARISONS:
        out.append(c)
        if c[0] in columns:
            out.append((c[0], "term_frequency"))
    return out


def scored_codes(self, pairs):
    """How fit cut levels before compare_levels: compare's scores of the
    pairs, a million at a time, cut into levels."""
    from corvane._compare import score_columns

    i, j = self.positions(pairs)
    codes = np.empty((len(self.levels_), len(i)), dtype=np.uint8)
    converted: dict = {}
    chunk = 1 << 20
    for start in range(0, max(len(i), 1), chunk):
        stop = min(start + chunk, len(i))
        scores = score_columns(self.left, self.right, self.pairings, (i[start:stop], j[start:stop]), stop - start,
                               "nan", converted=converted)
        for c, level in enumerate(self.levels_):
            codes[c, start:stop] = level.codes(scores[c])
    return codes


def fit_model(df: pd.DataFrame, other: pd.DataFrame | None, pairs, rules: list, with_rules: bool, tf: list[str],
              before: bool = False):
    """A fitted model and the time fit took (``before``: with scored_codes)."""
    from corvane._fellegi import _PairScorer

    model = corvane.FellegiSunter(with_frequencies(tf))
    own = _PairScorer.codes
    if before:
        _PairScorer.codes = scored_codes
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t = time.perf_counter()
            model.fit(df, other, pairs, rules=rules if with_rules else None)
            took = time.perf_counter() - t
    finally:
        _PairScorer.codes = own
    return model, took


def run_corvane(df: pd.DataFrame, other: pd.DataFrame | None, rules: list[list[str]], with_rules: bool,
                tf: list[str], before: bool = False) -> dict:
    t0 = time.perf_counter()
    ours_rules = [r[0] if len(r) == 1 else tuple(r) for r in rules]
    pairs = corvane.candidates(df, other, rules=ours_rules)
    t1 = time.perf_counter()
    model, fit_time = fit_model(df, other, pairs, ours_rules, with_rules, tf)
    fit_before = None
    if before:
        old, fit_before = fit_model(df, other, pairs, ours_rules, with_rules, tf, before=True)
        assert all(np.array_equal(a, b) for a, b in zip(old.m_ + old.u_, model.m_ + model.u_))
        assert old.prior_ == model.prior_, "the levels cut from the scores gave another model"
    t2 = time.perf_counter()   # compare's time starts here (fit's were taken apart)
    features = corvane.compare(df, df if other is None else other, pairs, model.comparisons)
    t3 = time.perf_counter()
    probability = model.predict_proba(features)
    t4 = time.perf_counter()
    weights_time = min(_timed(lambda: model.match_weight(features)) for _ in range(3))
    numpy_time = min(_timed(lambda: numpy_match_weight(model, features)) for _ in range(3))
    if not tf:
        assert np.array_equal(numpy_match_weight(model, features), model.match_weight(features))
    # EM alone, on the level counts fit made: what an iteration costs.
    from corvane._fellegi import Patterns, run_em, _initial_m

    patterns = Patterns(model.patterns_.astype(np.intp), model.pattern_counts_)
    m0 = [_initial_m(len(m)) for m in model.m_]
    every = list(range(len(m0)))
    em_time = _timed(lambda: run_em(patterns, m0, model.u_, 0.1, every, update_m=True, max_iter=1000, tol=1e-6))
    em = run_em(patterns, m0, model.u_, 0.1, every, update_m=True, max_iter=1000, tol=1e-6)
    match = probability >= 0.5
    if other is None:
        ids = corvane.clusters(pairs, match, len(df))
    else:
        ids = np.concatenate(corvane.clusters(pairs, match, len(df), len(other)))
    t5 = time.perf_counter()
    return {"block": t1 - t0, "fit": fit_time, "fit_before": fit_before, "compare": t3 - t2, "score": t4 - t3, "cluster": t5 - t4,
            "weights": weights_time, "numpy_weights": numpy_time, "em": em_time, "em_iter": em.n_iter, "n_patterns": len(model.pattern_counts_),
            "pairs": pairs, "match": match, "ids": ids, "model": model, "n_pairs": len(pairs[0])}


def numpy_match_weight(model, features) -> np.ndarray:
    """The NumPy formula match_weight used before the engine did it (and
    equals bit for bit, without term frequencies, which it leaves out): blocks of 65,536 pairs on a thread each, levels cut
    with NumPy compares, the weights gathered and added column by column."""
    from concurrent.futures import ThreadPoolExecutor

    from corvane._fellegi import _scores

    levels = model._fitted()
    columns = _scores(features, levels)
    tables = model.weight_tables()
    n = len(columns[0])
    out = np.empty(n)
    block = 1 << 16

    def run(start: int) -> None:
        stop = min(start + block, n)
        w = out[start:stop]
        w.fill(model.prior_weight_)
        for lv, table, column in zip(levels, tables, columns):
            scores = column[start:stop]
            codes = np.zeros(len(scores), dtype=np.intp)
            for t in lv.thresholds:
                codes += (scores > t) if lv.distance else (scores < t)
            codes[np.isnan(scores)] = lv.n_levels
            w += table[codes]

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        list(pool.map(run, range(0, n, block)))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sets", default="febrl3,febrl4,scale")
    parser.add_argument("--copies", type=int, default=60)
    parser.add_argument("--rules", action="store_true", help="fit with rules (chained EM passes per rule)")
    parser.add_argument("--splink", default=None, help="the sets Splink runs on (default: every set)")
    parser.add_argument("--before", action="store_true",
                        help="also fit with the levels cut from compare's scores (fit before compare_levels)")
    parser.add_argument("--tf", default="none,given_name+surname",
                        help="corvane's variants: columns with term frequencies, joined by '+' ('none': none)")
    args = parser.parse_args()
    print(f"corvane.FellegiSunter ({'with' if args.rules else 'without'} rules) beside Splink {_splink_version()}"
          f" on DuckDB; threshold 0.5")
    for name in args.sets.split(","):
        if name == "febrl4":
            a, b = load_febrl("4a"), load_febrl("4b")
            df, other = a, b
        else:
            df = load_febrl("3") if name == "febrl3" else febrl3_scaled(args.copies)
            other = None
        frames = [df] if other is None else [df, other]
        for k, f in enumerate(frames):
            f["uid"] = np.arange(len(f)) + k * 10_000_000
            f["surname_1"] = f["surname"].str[:1]
        rules = RULES[name]
        if other is None:
            truth = true_pairs_dedup(df["entity"].to_numpy())
            true_ids = df["entity"].to_numpy()
        else:
            position = pd.Series(np.arange(len(other)), index=other["entity"].to_numpy())
            j = position.reindex(df["entity"].to_numpy()).to_numpy()
            ok = ~np.isnan(j)
            truth = (np.flatnonzero(ok), j[ok].astype(np.int64))
            true_ids = np.r_[df["entity"].to_numpy(), other["entity"].to_numpy()]

        variants = [[] if v == "none" else v.split("+") for v in args.tf.split(",")]
        runs = [run_corvane(df, other, rules, args.rules, tf, args.before) for tf in variants]
        quality = []
        for ours in runs:
            o_pairs = corvane.evaluate((ours["pairs"][0][ours["match"]], ours["pairs"][1][ours["match"]]), truth)
            quality.append((o_pairs, corvane.evaluate_clusters(ours["ids"], true_ids)))
        labels = ["corvane" + ("" if not tf else " tf " + "+".join(tf)) for tf in variants]
        n_records = sum(len(f) for f in frames)
        print(f"\n== {name}: {n_records:,} records, {runs[0]['n_pairs']:,} candidate pairs, {len(truth[0]):,} true pairs")
        print(f"{'':24s} {'pair P':>8s} {'pair R':>8s} {'pair F1':>8s} {'clus F1':>8s} {'B3 F1':>8s}")
        if args.splink is not None and name not in args.splink.split(","):
            for label, ours, (o_pairs, o_clusters) in zip(labels, runs, quality):
                _print_quality(label, o_pairs, o_clusters)
                _print_corvane_times(label, ours)
            continue
        theirs = run_splink(df, other, rules)

        pred = theirs["pred"]
        li = pred["uid_l"].to_numpy(np.int64)
        ri = pred["uid_r"].to_numpy(np.int64)
        if other is None:
            li, ri = np.minimum(li, ri), np.maximum(li, ri)
        else:
            li, ri = np.where(li >= 10_000_000, ri, li), np.where(li >= 10_000_000, li, ri) - 10_000_000
        s_pairs = corvane.evaluate((li, ri), truth)
        cl = theirs["clusters"].set_index("uid")["cluster_id"]
        uids = np.concatenate([f["uid"].to_numpy() for f in frames])
        s_ids = pd.factorize(cl.reindex(uids).to_numpy())[0]
        s_clusters = corvane.evaluate_clusters(s_ids, true_ids)
        _print_quality("splink", s_pairs, s_clusters)
        for label, (o_pairs, o_clusters) in zip(labels, quality):
            _print_quality(label, o_pairs, o_clusters)
        for label, ours in zip(labels, runs):
            _print_ratios(label, ours, theirs)


def _print_corvane_times(label: str, ours: dict) -> None:
    before = "" if ours["fit_before"] is None else f" (before compare_levels {ours['fit_before']:.2f} s)"
    print(f"{label}: fit {ours['fit']:.2f} s{before}   compare {ours['compare']:.2f} s   predict_proba "
          f"{ours['score']:.2f} s   clusters {ours['cluster']:.2f} s   candidates {ours['block']:.2f} s;   "
          f"match_weight {ours['weights'] / ours['n_pairs'] * 1e9:.1f} ns per pair "
          f"(NumPy formula {ours['numpy_weights'] / ours['n_pairs'] * 1e9:.1f});   "
          f"largest cluster {np.bincount(ours['ids']).max():,} records (Splink not run)")


def _print_ratios(label: str, ours: dict, theirs: dict) -> None:
    fit_ratio = ours["fit"] / theirs["fit"]
    ours_scoring = ours["compare"] + ours["score"]
    print(f"[{label}]")
    print(f"training   splink {theirs['fit']:7.2f} s   corvane fit {ours['fit']:7.2f} s   ratio {fit_ratio:.3f}"
          f"   (EM iterations: {ours['model'].n_iter_})")
    if ours["fit_before"] is not None:
        print(f"           fit before compare_levels {ours['fit_before']:7.2f} s   ratio "
              f"{ours['fit_before'] / theirs['fit']:.3f}   (now {ours['fit'] / ours['fit_before']:.2f}x that time)")
    print(f"scoring    splink {theirs['score']:7.2f} s   corvane compare+score {ours_scoring:7.2f} s"
          f"   ratio {ours_scoring / theirs['score']:.3f}")
    print(f"match_weight over compare's table: {ours['weights'] / ours['n_pairs'] * 1e9:.1f} ns per pair, "
          f"{ours['weights'] / ours['numpy_weights']:.2f}x the NumPy formula's time;   "
          f"EM on {ours['n_patterns']:,} level combinations: {ours['em_iter']} iterations in "
          f"{ours['em'] * 1e3:.1f} ms")
    print(f"clustering splink {theirs['cluster']:7.2f} s   corvane.clusters {ours['cluster']:7.2f} s"
          f"   ratio {ours['cluster'] / theirs['cluster']:.3f};   corvane.candidates {ours['block']:.2f} s")


def _print_quality(label: str, p, c) -> None:
    print(f"{label:24s} {p.precision:8.4f} {p.recall:8.4f} {p.f1:8.4f} {c.f1:8.4f} {c.bcubed_f1:8.4f}")


def _timed(call) -> float:
    t = time.perf_counter()
    call()
    return time.perf_counter() - t


def _splink_version() -> str:
    import splink

    return str(splink.__version__)


if __name__ == "__main__":
    main()
