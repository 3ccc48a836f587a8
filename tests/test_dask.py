"""corvane.score_partition inside Dask worker processes, partition by
partition, gives exactly the single-process result."""

import os
import sys
from importlib.util import find_spec
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

# Dask, distributed and scikit-learn are imported by the tests that use them:
# collecting this file (in every xdist worker) costs no seconds of imports.
for name in ("dask", "distributed", "sklearn", "pyarrow"):
    if find_spec(name) is None:
        pytest.skip(f"{name} is not installed", allow_module_level=True)

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
sys.path.insert(0, str(EXAMPLES.parent / "python"))

import corvane  # noqa: E402
import dask_partitions  # noqa: E402

NAMES = ["anna", "jonathan", "maria", "ng", "o'brien", "smith", "smyth", "müller", "józef", ""]
WORDS = ["main street", "street main", "high st", "kings road", "unit 4", "", "the crescent"]
COMPARISONS = [("given_name", "jaro_winkler"), ("surname", "soundex"), ("address", "token_sort_ratio"),
               ("born", "date_distance"), ("postcode", "numeric_similarity")]
OPTIONS = dict(keep=["id_l", "id_r"], missing=0.0)
pytestmark = [pytest.mark.xdist_group("dask"), pytest.mark.heavy(12)]  # one worker starts the cluster once


def typo(rng, text):
    if not text or rng.random() < 0.6:
        return text
    i = int(rng.integers(len(text)))
    return text[:i] + text[i + 1:] if rng.random() < 0.5 else text[:i] + "x" + text[i:]


def synthetic_pairs(n, seed=0):
    """A pair table with typos, missing values of every kind, and labels."""
    rng = np.random.default_rng(seed)
    same = rng.random(n) < 0.3
    columns = {"id_l": [f"a{i}" for i in range(n)], "id_r": [f"b{i}" for i in range(n)]}
    for field, pool in [("given_name", NAMES), ("surname", NAMES), ("address", WORDS)]:
        left = rng.choice(pool, n).astype(object)
        other = rng.choice(pool, n).astype(object)
        right = np.array([typo(rng, l) if s else o for l, o, s in zip(left, other, same)], dtype=object)
        left[rng.random(n) < 0.05] = None
        right[rng.random(n) < 0.05] = np.nan
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    for field in ("born", "postcode"):
        left = rng.integers(0, 20000, n).astype(np.float64)
        right = np.where(same, left + rng.integers(-3, 4, n), rng.integers(0, 20000, n)).astype(np.float64)
        left[rng.random(n) < 0.05] = np.nan
        right[rng.random(n) < 0.02] = 0.0
        columns[f"{field}_l"], columns[f"{field}_r"] = left, right
    for side in "lr":
        columns[f"born_{side}"] = pd.Timestamp("1950-01-01") + pd.to_timedelta(columns[f"born_{side}"], unit="D")
    frame = pd.DataFrame(columns)
    frame[["id_l", "id_r"]] = frame[["id_l", "id_r"]].astype(object)  # strings as pandas 2 holds them
    return frame, same


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("dask.distributed")

    import dask

    # The workers start from a fork server that imported Dask's packages
    # once, instead of each spawning a fresh interpreter that imports them.
    with dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}):
        with dask_partitions.local_cluster(n_workers=2, engine_threads=1) as cluster:
            with distributed.Client(cluster) as c:
                yield c


@pytest.fixture(scope="module")
def data():
    from sklearn.ensemble import GradientBoostingClassifier
    from sklearn.linear_model import LogisticRegression

    pairs, labels = synthetic_pairs(6000)
    n = np.arange(len(pairs))
    features = corvane.compare(pairs, pairs, (n, n), [(f"{c}_l", f"{c}_r", m) for c, m in COMPARISONS], missing=0.0)
    models = [LogisticRegression(max_iter=500), GradientBoostingClassifier(n_estimators=20, random_state=0)]
    return pairs, [corvane.Scorer.from_sklearn(m.fit(features.to_numpy(), labels)) for m in models]


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
    pairs, scorers = data
    for scorer in scorers:
        expected = corvane.score_partition(pairs, COMPARISONS, scorer, **OPTIONS)
        result = dask_partitions.score_with_dask(client, pairs, COMPARISONS, scorer, npartitions, **OPTIONS)
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        for column in corvane.feature_names(COMPARISONS) + ["probability"]:
            assert np.array_equal(bits(result[column]), bits(expected[column])), column
        # the scores are the engine's, not a constant
        assert 0 < expected["match"].sum() < len(pairs)


def test_partition_function_accepts_engine_dtypes(data):
    # Spark and Arrow-backed pandas hand over string and nullable dtypes.
    pairs, scorers = data
    converted = pairs.copy()
    for field in ("given_name", "surname", "address"):
        for side in "lr":
            converted[f"{field}_{side}"] = converted[f"{field}_{side}"].astype("string[pyarrow]")
    converted["postcode_l"] = converted["postcode_l"].astype("Float64")
    expected = corvane.score_partition(pairs, COMPARISONS, scorers[0], **OPTIONS)
    batches = [converted.iloc[:2500], converted.iloc[2500:]]
    result = pd.concat(corvane.score_batches(iter(batches), COMPARISONS, scorers[0], **OPTIONS))
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
