"""Feature matrix and scorer inside Dask worker processes, partition by
partition, give exactly the single-process result."""

import os

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("sklearn")

import corvane_export  # noqa: E402
import dask_partitions  # noqa: E402
import linkage_features as lf  # noqa: E402

WORDS = ["anna", "jonathan", "maria", "o'brien", "smith", "smyth", "müller", "józef", "main street", "high st",
         "street main", "unit 4", "nsw", "1234567", "1234576", ""]


def synthetic_pairs(n, seed=0):
    """A pair frame with typos, missing values of every kind, and labels."""
    rng = np.random.default_rng(seed)
    same, cut = rng.random(n) < 0.3, rng.integers(0, 8, n)
    columns = {"id_l": [f"a{i}" for i in range(n)], "id_r": [f"b{i}" for i in range(n)]}
    for field in lf.STRING_FIELDS:
        left, other = rng.choice(WORDS, n).astype(object), rng.choice(WORDS, n).astype(object)
        right = np.array([a[:k] + a[k + 1:] if s else o for a, o, s, k in zip(left, other, same, cut)], dtype=object)
        left[rng.random(n) < 0.05], right[rng.random(n) < 0.05] = None, np.nan
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    for field, _, _ in lf.NUMERIC_FEATURES:
        left = rng.integers(0, 20000, n).astype(np.float64)
        right = np.where(same, left + rng.integers(-3, 4, n), rng.integers(0, 20000, n)).astype(np.float64)
        left[rng.random(n) < 0.05], right[rng.random(n) < 0.02] = np.nan, 0.0
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    return pd.DataFrame(columns), same


@pytest.fixture(scope="module")
def client():
    with dask_partitions.local_cluster(n_workers=2, engine_threads=1) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def data():
    from sklearn.ensemble import GradientBoostingClassifier
    from sklearn.linear_model import LogisticRegression

    pairs, labels = synthetic_pairs(6000)
    inputs = lf.model_inputs(lf.feature_matrix(pairs))
    models = [LogisticRegression(max_iter=500), GradientBoostingClassifier(n_estimators=20, random_state=0)]
    return pairs, [corvane_export.export_model(model.fit(inputs, labels)) for model in models]


def test_workers_are_separate_processes_with_one_engine_thread(client):
    info = client.run(lambda: (os.getpid(), os.environ.get("RAYON_NUM_THREADS"))).values()
    assert len({pid for pid, _ in info} - {os.getpid()}) == 2 and {t for _, t in info} == {"1"}


@pytest.mark.parametrize("npartitions", [2, 7])
def test_partitioned_scoring_equals_single_process(client, data, npartitions):
    pairs, exported = data
    for scorer, params in exported:
        expected = lf.score_partition(pairs, scorer, params)
        result = dask_partitions.score_with_dask(client, pairs, scorer, params, npartitions)
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        for column in lf.FEATURE_NAMES + ["probability"]:
            assert np.array_equal(result[column].to_numpy(np.float64).view(np.int64),
                                  expected[column].to_numpy(np.float64).view(np.int64)), column
        assert 0 < expected["match"].sum() < len(pairs)  # the scores are the engine's, not a constant


def test_partition_function_accepts_engine_dtypes(data):
    # Spark and Arrow-backed pandas hand over string and nullable dtypes.
    pairs, ((scorer, params), _) = data
    converted = pairs.copy()
    for field in lf.STRING_FIELDS:
        for side in "lr":
            converted[f"{field}_{side}"] = converted[f"{field}_{side}"].astype("string")
    for field, _, _ in lf.NUMERIC_FEATURES:
        converted[f"{field}_l"] = converted[f"{field}_l"].astype("Float64")
    expected = lf.score_partition(pairs, scorer, params)
    result = pd.concat(lf.score_batches(iter([converted.iloc[:2500], converted.iloc[2500:]]), scorer, params))
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert lf.score_partition(pairs.iloc[:0], scorer, params).shape == (0, len(expected.columns))
