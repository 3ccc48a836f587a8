"""Blocking and link at scale, beside their peers in one run.

    python bench/bench_blocking.py                  # FEBRL3 x 60 (300,000 records), all sections
    python bench/bench_blocking.py --big 600        # adds link on FEBRL3 x 600 (3M records; long)
    python bench/bench_blocking.py --only candidates,count --synthetic 1000000

Sections (``--only`` picks some):
  candidates  corvane.candidates (deduplication, the four SCALE_RULES) against
              DuckDB's union of the rules' self-joins with i < j, both
              producing NumPy arrays; the pair sets are checked equal.
  memory      peak resident growth of one candidates call in a fresh process
              against 16 bytes per pair plus the key columns.
  count       count_candidates against candidates on the same rules.
  synthetic   two tables of --synthetic records each (own generator below),
              two rules, against DuckDB's union of two joins.
  link        corvane.link at x copies (and x --big in a second process):
              time, pairs per second and peak resident memory; the model is
              a logistic regression fitted on labelled pairs of the small run.
  splink      corvane.link against Splink's predict (DuckDB) with the same
              rules and comparisons, threshold 0.5.

Times are best of --reps runs, ours and the peer alternating; compare the
ratios, not the times, on a shared machine.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corvane as cv  # noqa: E402
from febrl_scale import SCALE_RULES_SQL, febrl3_scaled  # noqa: E402

RULES = ["soc_sec_id", "date_of_birth", ("given_name", "surname"), ("postcode", cv.prefix("surname", 1))]
KEY_COLUMNS = ["soc_sec_id", "date_of_birth", "given_name", "surname", "postcode"]
COMPARISONS: list[Any] = [
    ("given_name", "jaro_winkler"), ("surname", "jaro_winkler"), ("address_1", "levenshtein"),
    ("suburb", "jaro_winkler"), ("postcode", "exact"), ("date_of_birth", "levenshtein"),
    ("soc_sec_id", "levenshtein"), ("state", "exact"),
]


def best(fn: Any, reps: int) -> tuple[float, Any]:
    times, out = [], None
    for _ in range(reps):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return min(times), out


def alternate(ours: Any, peer: Any, reps: int) -> tuple[float, float, Any, Any]:
    t_ours, t_peer, a, b = [], [], None, None
    for k in range(reps):
        for which in ((0, 1) if k % 2 == 0 else (1, 0)):
            start = time.perf_counter()
            if which == 0:
                a = ours()
                t_ours.append(time.perf_counter() - start)
            else:
                b = peer()
                t_peer.append(time.perf_counter() - start)
    return min(t_ours), min(t_peer), a, b


def peak_kib() -> int:
    with open("/proc/self/status") as f:
        return int(f.read().split("VmHWM:")[1].split()[0])


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        return int(f.read().split("VmRSS:")[1].split()[0])


def duckdb_pairs(table: pa.Table, conditions: list[str], dedupe: bool, right: pa.Table | None = None) -> tuple[Any, Any]:
    import duckdb

    con = duckdb.connect()
    con.register("l_t", table)
    con.register("r_t", table if right is None else right)
    on = " AND l.i < r.i" if dedupe else ""
    query = " UNION ".join(f"SELECT l.i AS a, r.i AS b FROM l_t l JOIN r_t r ON {c}{on}" for c in conditions)

    def run() -> tuple[Any, Any]:
        out = con.execute(query).fetchnumpy()
        return np.asarray(out["a"], dtype=np.int64), np.asarray(out["b"], dtype=np.int64)
    return run  # type: ignore[return-value]


def same_pairs(ours: tuple[Any, Any], peer: tuple[Any, Any], n_right: int) -> bool:
    a = ours[0] * n_right + ours[1]
    b = np.sort(peer[0] * n_right + peer[1])
    return bool(np.array_equal(a, b))


def febrl_table(copies: int) -> pa.Table:
    df = febrl3_scaled(copies)
    return pa.Table.from_pandas(df.assign(i=np.arange(len(df), dtype=np.int64)), preserve_index=False)


def section_candidates(table: pa.Table, reps: int) -> dict[str, Any]:
    peer = duckdb_pairs(table, SCALE_RULES_SQL, True)
    t_ours, t_peer, ours, theirs = alternate(lambda: cv.candidates(table, rules=RULES), peer, reps)
    ok = same_pairs(ours, theirs, table.num_rows)
    print(f"candidates  {table.num_rows:,} records, {len(ours[0]):,} pairs: corvane {t_ours:.2f} s, "
          f"DuckDB {t_peer:.2f} s -> ratio {t_ours / t_peer:.2f} (goal <= 0.25); same pairs: {ok}")
    return {"records": table.num_rows, "pairs": len(ours[0]), "ours": t_ours, "duckdb": t_peer,
            "ratio": t_ours / t_peer, "same": ok}


def child_memory(copies: int) -> None:
    table = febrl_table(copies).select(KEY_COLUMNS)
    table = pa.table({c: table.column(c).combine_chunks() for c in KEY_COLUMNS})
    base = rss_kib()
    with open("/proc/self/clear_refs", "w") as f:  # resets the peak to the current size
        f.write("5")
    pairs = cv.candidates(table, rules=RULES)
    peak = peak_kib() - base
    print(json.dumps({"peak_bytes": peak * 1024, "pair_bytes": 16 * len(pairs[0]), "input_bytes": table.nbytes}))


def section_memory(copies: int) -> dict[str, Any]:
    out = subprocess.run([sys.executable, __file__, "--child-memory", str(copies)], capture_output=True, text=True,
                         check=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    ratio = r["peak_bytes"] / (r["pair_bytes"] + r["input_bytes"])
    print(f"memory      candidates peak growth {r['peak_bytes'] / 2**20:.0f} MiB; pairs {r['pair_bytes'] / 2**20:.0f} MiB "
          f"+ key columns {r['input_bytes'] / 2**20:.0f} MiB -> ratio {ratio:.2f} (goal <= 1.2)")
    return dict(r, ratio=ratio)


def section_count(table: pa.Table, reps: int) -> dict[str, Any]:
    t_count, t_cand, counts, pairs = alternate(lambda: cv.count_candidates(table, rules=RULES),
                                               lambda: cv.candidates(table, rules=RULES), reps)
    assert sum(counts) == len(pairs[0])
    print(f"count       count_candidates {t_count:.3f} s, candidates {t_cand:.2f} s -> ratio "
          f"{t_count / t_cand:.3f} (goal <= 0.1); per rule {counts}")
    return {"count": t_count, "candidates": t_cand, "ratio": t_count / t_cand, "per_rule": counts}


def synthetic_tables(n: int, seed: int = 11) -> tuple[pa.Table, pa.Table]:
    """Two tables of n records: an id-like integer key shared by some
    records, and a (name, group) pair; a tenth of the names missing."""
    rng = np.random.default_rng(seed)
    names = np.array([f"name{k:06d}" for k in range(n // 20)], dtype=object)

    def one() -> pa.Table:
        name = names[rng.integers(0, len(names), n)].copy()
        name[rng.random(n) < 0.1] = None
        return pa.table({"i": np.arange(n, dtype=np.int64), "key": rng.integers(0, 2 * n, n),
                         "name": pa.array(name, type=pa.string()), "group": rng.integers(0, 30, n)})
    return one(), one()


def section_synthetic(n: int, reps: int) -> dict[str, Any]:
    left, right = synthetic_tables(n)
    conditions = ["l.key = r.key", "l.name = r.name AND l.\"group\" = r.\"group\""]
    peer = duckdb_pairs(left, conditions, False, right)
    rules = ["key", ("name", "group")]
    t_ours, t_peer, ours, theirs = alternate(lambda: cv.candidates(left, right, rules=rules), peer, reps)
    ok = same_pairs(ours, theirs, n)
    print(f"synthetic   {n:,} x {n:,} records, {len(ours[0]):,} pairs: corvane {t_ours:.2f} s, DuckDB {t_peer:.2f} s "
          f"-> ratio {t_ours / t_peer:.2f} (goal <= 0.25); same pairs: {ok}")
    return {"records": n, "pairs": len(ours[0]), "ours": t_ours, "duckdb": t_peer, "ratio": t_ours / t_peer, "same": ok}


def fitted_model(table: pa.Table, seed: int = 0) -> cv.Scorer:
    """A logistic regression on 200,000 labelled candidate pairs of the table
    (same entity = match); missing comparisons score 0.0."""
    from sklearn.linear_model import LogisticRegression

    pairs = cv.candidates(table, rules=RULES)
    rng = np.random.default_rng(seed)
    pick = np.sort(rng.choice(len(pairs[0]), size=min(200_000, len(pairs[0])), replace=False))
    sample = (pairs[0][pick], pairs[1][pick])
    features = cv.compare(table, table, sample, COMPARISONS, missing=0.0).to_pandas()
    entity = table.column("entity").to_numpy()
    labels = entity[sample[0]] == entity[sample[1]]
    return cv.Scorer.from_sklearn(LogisticRegression(max_iter=1000).fit(features, labels))


def child_link(copies: int, model_path: str, batch_pairs: int) -> None:
    import pickle

    with open(model_path, "rb") as f:
        model = pickle.load(f)
    table = febrl_table(copies)
    # The candidates are counted after link: memory an earlier call leaves
    # mapped (the engine keeps up to 64 MiB of freed blocks for reuse, the
    # allocator its free pages) would otherwise hide part of link's growth.
    base = rss_kib()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    start = time.perf_counter()
    kept = cv.link(table, rules=RULES, comparisons=COMPARISONS, model=model, missing=0.0, batch_pairs=batch_pairs)
    seconds = time.perf_counter() - start
    peak = peak_kib()
    n_pairs = sum(cv.count_candidates(table, rules=RULES))
    print(json.dumps({"records": table.num_rows, "pairs": n_pairs, "kept": kept.num_rows, "seconds": seconds,
                      "peak_bytes": (peak - base) * 1024, "kept_bytes": kept.nbytes}))


def section_link(copies: list[int], table: pa.Table, batch_pairs: int) -> dict[str, Any]:
    import pickle
    import tempfile

    model = fitted_model(table)
    path = os.path.join(tempfile.mkdtemp(prefix="bench-link-"), "model.pkl")
    with open(path, "wb") as f:
        pickle.dump(model, f)
    runs = []
    for c in copies:
        out = subprocess.run([sys.executable, __file__, "--child-link", str(c), path, str(batch_pairs)],
                             capture_output=True, text=True, check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        r["pairs_per_s"] = r["pairs"] / r["seconds"]
        runs.append(r)
        print(f"link        x{c}: {r['records']:,} records, {r['pairs']:,} candidates, {r['kept']:,} kept in "
              f"{r['seconds']:.1f} s ({r['pairs_per_s'] / 1e6:.2f} M pairs/s), peak growth "
              f"{r['peak_bytes'] / 2**20:.0f} MiB, of which the result {r['kept_bytes'] / 2**20:.0f} MiB")
    if len(runs) == 2:
        small, big = runs
        print(f"link        x{copies[1]} / x{copies[0]}: candidates x{big['pairs'] / small['pairs']:.1f}, peak memory "
              f"x{big['peak_bytes'] / small['peak_bytes']:.2f} (goal <= 1.5), net of the result "
              f"x{(big['peak_bytes'] - big['kept_bytes']) / (small['peak_bytes'] - small['kept_bytes']):.2f}, "
              f"pairs per second "
              f"x{big['pairs_per_s'] / small['pairs_per_s']:.2f} (goal >= 0.8)")
    return {"runs": runs}


def splink_predictor(df: pd.DataFrame) -> Any:
    """A callable running Splink's predict (DuckDB) on `df` with the four
    rules and the 8 comparisons (untrained m/u: only its time counts); it
    returns the number of pairs kept at 0.5."""
    import logging

    import splink.comparison_library as cl
    from splink import DuckDBAPI, Linker, SettingsCreator, block_on

    logging.getLogger("splink").setLevel(logging.ERROR)
    settings = SettingsCreator(
        link_type="dedupe_only",
        unique_id_column_name="unique_id",
        comparisons=[cl.JaroWinklerAtThresholds("given_name"), cl.JaroWinklerAtThresholds("surname"),
                     cl.LevenshteinAtThresholds("address_1"), cl.JaroWinklerAtThresholds("suburb"),
                     cl.ExactMatch("postcode"), cl.LevenshteinAtThresholds("date_of_birth"),
                     cl.LevenshteinAtThresholds("soc_sec_id"), cl.ExactMatch("state")],
        blocking_rules_to_generate_predictions=[
            block_on("soc_sec_id"), block_on("date_of_birth"), block_on("given_name", "surname"),
            block_on("postcode", "substr(surname, 1, 1)")],
        retain_intermediate_calculation_columns=False,
        retain_matching_columns=False,
    )

    def run() -> int:
        linker = Linker(DuckDBAPI().register(df), settings)
        return len(linker.inference.predict(threshold_match_probability=0.5).as_pandas_dataframe())

    return run


def section_splink(table: pa.Table, reps: int, batch_pairs: int) -> dict[str, Any]:
    model = fitted_model(table)
    splink = splink_predictor(table.to_pandas().rename(columns={"i": "unique_id"}))

    def ours() -> int:
        return int(cv.link(table, rules=RULES, comparisons=COMPARISONS, model=model, missing=0.0,
                           batch_pairs=batch_pairs).num_rows)

    t_ours, t_peer, kept, kept_peer = alternate(ours, splink, reps)
    print(f"splink      {table.num_rows:,} records: corvane.link {t_ours:.2f} s ({kept:,} kept), Splink predict "
          f"{t_peer:.2f} s ({kept_peer:,} kept, untrained m/u) -> ratio {t_ours / t_peer:.2f} (goal <= 0.15)")
    return {"ours": t_ours, "splink": t_peer, "ratio": t_ours / t_peer}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=60)
    parser.add_argument("--big", type=int, default=0, help="also run link on FEBRL3 x BIG (600: 3M records)")
    parser.add_argument("--synthetic", type=int, default=1_000_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--batch-pairs", type=int, default=1_000_000)
    parser.add_argument("--only", default="candidates,memory,count,synthetic,link,splink")
    parser.add_argument("--json", default="")
    parser.add_argument("--child-memory", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--child-link", nargs=3, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child_memory:
        child_memory(args.child_memory)
        return
    if args.child_link:
        child_link(int(args.child_link[0]), args.child_link[1], int(args.child_link[2]))
        return
    only = set(args.only.split(","))
    table = febrl_table(args.copies)
    results: dict[str, Any] = {}
    if "candidates" in only:
        results["candidates"] = section_candidates(table, args.reps)
    if "memory" in only:
        results["memory"] = section_memory(args.copies)
    if "count" in only:
        results["count"] = section_count(table, args.reps)
    if "synthetic" in only:
        results["synthetic"] = section_synthetic(args.synthetic, args.reps)
    if "link" in only:
        results["link"] = section_link([args.copies] + ([args.big] if args.big else []), table, args.batch_pairs)
    if "splink" in only:
        results["splink"] = section_splink(table, max(1, args.reps - 1), args.batch_pairs)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
