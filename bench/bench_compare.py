"""corvane.compare against the engine called by hand: the public layer's overhead.

Two tables of person records (pandas, polars and pyarrow forms of the same
data), a million random candidate pairs, five comparisons (three string
metrics, a number, a date in days). Four ways to the same scores:

  by hand      what the layer saves a user from writing: pyarrow ``take`` of
               each column, dates turned into days, one
               ``compute_feature_matrix`` call, the flat result reshaped
               (no missing values in the data, so no missing-value handling)
  pyarrow      corvane.compare on pyarrow Tables
  polars       corvane.compare on polars DataFrames
  pandas       corvane.compare on pandas DataFrames (Arrow-backed strings
               where pandas has them, object strings otherwise)

The ways alternate in rounds in one process; the best round of each counts
and the table shows each one's time divided by "by hand" (the layer's
overhead factor). Outputs are checked bit for bit against "by hand".

    .venv/bin/python bench/bench_compare.py                 # 1,000,000 pairs
    .venv/bin/python bench/bench_compare.py --pairs 100000 --rounds 2
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa

import _corvane_rs
import corvane

COMPARISONS: list[corvane.Comparison] = [
    ("name", "jaro_winkler"), ("address", "levenshtein"), ("town", "exact"),
    ("number", "numeric_similarity"), ("born", "date_distance"),
]
SYLLABLES = ["an", "na", "mar", "tha", "jo", "nes", "smi", "th", "ly", "ren", "ka", "o", "ell", "ie"]


def records(n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)

    def words(k: int, low: int, high: int) -> list[str]:
        lengths = rng.integers(low, high, k)
        return ["".join(rng.choice(SYLLABLES, size)) for size in lengths]

    return pd.DataFrame({
        "name": words(n, 2, 5),
        "address": [f"{no} {w} street" for no, w in zip(rng.integers(1, 300, n), words(n, 2, 4))],
        "town": rng.choice(words(200, 2, 4), n),
        "number": rng.integers(1, 500, n).astype(np.float64),
        "born": pd.Timestamp("1940-01-01") + pd.to_timedelta(rng.integers(0, 25_000, n), unit="D"),
    })


def by_hand(left: pa.Table, right: pa.Table, positions: tuple[np.ndarray, np.ndarray]) -> np.ndarray:
    take_l, take_r = pa.array(positions[0]), pa.array(positions[1])
    strings = [(c, m) for c, m in COMPARISONS if m not in corvane.NUMERIC_METRICS]
    numbers = [(c, m) for c, m in COMPARISONS if m in corvane.NUMERIC_METRICS]
    n = len(positions[0])
    numeric_l, numeric_r = np.empty((len(numbers), n)), np.empty((len(numbers), n))
    for row, (column, _) in enumerate(numbers):
        for table, take, out in ((left, take_l, numeric_l), (right, take_r, numeric_r)):
            values = table.column(column).take(take)
            if pa.types.is_timestamp(values.type):  # whole days here, so exact
                out[row] = values.cast(pa.int64()).to_numpy() / 86_400e9
            else:
                out[row] = values.to_numpy()
    flat = _corvane_rs.compute_feature_matrix(
        [left.column(c).take(take_l) for c, _ in strings], [right.column(c).take(take_r) for c, _ in strings],
        [m for _, m in strings], numeric_l, numeric_r, [m for _, m in numbers], n,
    )
    return flat.reshape(n, len(COMPARISONS))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1_000_000)
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    left_pd, right_pd = records(args.records, 1), records(args.records, 2)
    rng = np.random.default_rng(0)
    positions = (rng.integers(0, args.records, args.pairs), rng.integers(0, args.records, args.pairs))
    tables = (pa.Table.from_pandas(left_pd, preserve_index=False), pa.Table.from_pandas(right_pd, preserve_index=False))
    forms = {
        "pyarrow": tables,
        "polars": (pl.from_arrow(tables[0]), pl.from_arrow(tables[1])),
        "pandas": (left_pd, right_pd),
    }
    ways = {"by hand": lambda: by_hand(*tables, positions)}
    for name, (left, right) in forms.items():
        ways[name] = lambda left=left, right=right: corvane.compare(left, right, positions, COMPARISONS)

    reference = by_hand(*tables, positions)
    for name, (left, right) in forms.items():
        result = corvane.compare(left, right, positions, COMPARISONS)
        got = result.to_pandas().to_numpy() if isinstance(result, (pa.Table, pl.DataFrame)) else result.to_numpy()
        assert np.array_equal(got.view(np.int64), reference.view(np.int64)), f"{name}: scores differ"

    best = {name: float("inf") for name in ways}
    for _ in range(args.rounds):
        for name, run in ways.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)

    strings = str(left_pd["name"].dtype)
    print(f"{args.pairs:,} pairs of {args.records:,} x {args.records:,} records, {len(COMPARISONS)} comparisons "
          f"(pandas {pd.__version__}, strings {strings}), best of {args.rounds}; outputs identical to by hand")
    print(f"  {'way':<10} {'seconds':>8} {'/ by hand':>10}")
    for name, seconds in best.items():
        print(f"  {name:<10} {seconds:8.3f} {seconds / best['by hand']:10.2f}")


if __name__ == "__main__":
    main()
