"""Feature matrix and scorer inside Dask worker processes, partition by
partition, give exactly the single-process result."""

import os
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("sklearn")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
sys.path.insert(0, str(EXAMPLES.parent / "python"))

import corvane_export  # noqa: E402
import dask_partitions  # noqa: E402
import linkage_features as lf  # noqa: E402

NAMES = ["anna", "jonathan", "maria", "ng", "o'brien", "smith", "smyth", "müller", "józef", ""]
WORDS = ["main street", "street main", "high st", "kings road", "unit 4", "", "the crescent"]


def typo(rng, text):
    if not text or rng.random() < 0.6:
        return text
    i = int(rng.integers(len(text)))
    return text[:i] + text[i + 1:] if rng.random() < 0.5 else text[:i] + "x" + text[i:]


def synthetic_pairs(n, seed=0):
    """A pair frame with typos, missing values of every kind, and labels."""
    rng = np.random.default_rng(seed)
    same = rng.random(n) < 0.3
    columns = {"id_l": [f"a{i}" for i in range(n)], "id_r": [f"b{i}" for i in range(n)]}
    pools = {"given_name": NAMES, "surname": NAMES, "address_1": WORDS, "address_2": WORDS,
             "suburb": WORDS, "state": ["nsw", "vic", "qld"], "soc_sec_id": ["1234567", "7654321", "1234576"]}
    for field in lf.STRING_FIELDS:
        left = rng.choice(pools[field], n).astype(object)
        other = rng.choice(pools[field], n).astype(object)
        right = np.array([typo(rng, l) if s else o for l, o, s in zip(left, other, same)], dtype=object)
        left[rng.random(n) < 0.05] = None
        right[rng.random(n) < 0.05] = np.nan
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    for field, _, _ in lf.NUMERIC_FEATURES:
        left = rng.integers(0, 20000, n).astype(np.float64)
        right = np.where(same, left + rng.integers(-3, 4, n), rng.integers(0, 20000, n)).astype(np.float64)
        left[rng.random(n) < 0.05] = np.nan
        right[rng.random(n) < 0.02] = 0.0
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    return pd.DataFrame(columns), same


@pytest.fixture(scope="module")
def client():
    with dask_partitions.local_cluster(n_workers=2, engine_threads=1) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def data():
    pairs, labels = synthetic_pairs(6000)
    inputs = lf.model_inputs(lf.feature_matrix(pairs))
    from sklearn.ensemble import GradientBoostingClassifier
    from sklearn.linear_model import LogisticRegression

    models = [
        LogisticRegression(max_iter=500).fit(inputs, labels),
        GradientBoostingClassifier(n_estimators=20, random_state=0).fit(inputs, labels),
    ]
    return pairs, [corvane_export.export_model(m) for m in models]


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.int64)


def test_workers_are_separate_processes_with_one_engine_thread(client):
    info = client.run(lambda: (os.getpid(), os.environ.get("RAYON_NUM_THREADS")))
    assert len(info) == 2
    pids = {pid for pid, _ in info.values()}
    assert len(pids) == 2 and os.getpid() not in pids
    assert {threads for _, threads in info.values()} == {"1"}


@pytest.mark.parametrize("npartitions", [2, 7])
def test_partitioned_scoring_equals_single_process(client, data, npartitions):
    pairs, exported = data
    for scorer, params in exported:
        expected = lf.score_partition(pairs, scorer, params)
        result = dask_partitions.score_with_dask(client, pairs, scorer, params, npartitions)
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        for column in lf.FEATURE_NAMES + ["probability"]:
            assert np.array_equal(bits(result[column]), bits(expected[column])), column
        # the scores are the engine's, not a constant
        assert 0 < expected["match"].sum() < len(pairs)


def test_partition_function_accepts_engine_dtypes(data):
    # Spark and Arrow-backed pandas hand over string and nullable dtypes.
    pairs, exported = data
    scorer, params = exported[0]
    converted = pairs.copy()
    for field in lf.STRING_FIELDS:
        for side in "lr":
            converted[f"{field}_{side}"] = converted[f"{field}_{side}"].astype("string")
    for field, _, _ in lf.NUMERIC_FEATURES:
        converted[f"{field}_l"] = converted[f"{field}_l"].astype("Float64")
    expected = lf.score_partition(pairs, scorer, params)
    batches = [converted.iloc[:2500], converted.iloc[2500:]]
    result = pd.concat(lf.score_batches(iter(batches), scorer, params))
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert lf.score_partition(pairs.iloc[:0], scorer, params).shape == (0, len(expected.columns))
