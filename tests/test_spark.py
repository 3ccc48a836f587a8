"""Pairs scored in Spark's Python workers through mapInArrow, one Arrow batch
at a time, score bit for bit as in one process; a blocking rule run as a
Spark join gives the pairs corvane.candidates gives.

Thread pairing: local[2] has two task slots, each served by a Python worker
process whose engine runs one thread (RAYON_NUM_THREADS=1: 2 x 1 on 2 cores).
In local mode the JVM starts the workers with its own environment (the
driver's, when the session was built) plus every spark.executorEnv.* given to
the builder; a later spark.conf.set does not reach them. The test sets only
spark.executorEnv.RAYON_NUM_THREADS and checks what the workers see.
"""

import contextlib
import os
import shutil
import signal
import sys
from importlib.util import find_spec
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pytest

if find_spec("pyspark") is None:  # imported by the test: collecting this file costs no import
    pytest.skip("pyspark is not installed", allow_module_level=True)
if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
    pytest.skip("Spark needs Java 17 (scripts/test.sh installs it)", allow_module_level=True)

import _corvane_rs  # noqa: E402
import corvane_export  # noqa: E402

STRINGS = [("given_name", "jaro_winkler"), ("surname", "jaro_winkler"), ("surname", "soundex"),
           ("address", "levenshtein"), ("address", "damerau_levenshtein"), ("suburb", "token_sort_ratio")]
NUMBERS = [("date_of_birth", "date_distance"), ("postcode", "numeric_similarity")]
POOLS = {"given_name": ["anna", "jonathan", "maria", "o'brien", "józef", "ng", "zoë", ""],
         "surname": ["smith", "smyth", "müller", "nguyen", "van der berg", "o'neil"],
         "address": ["12 main street", "main street 12", "4 high st", "kings road", "unit 4 the crescent"],
         "suburb": ["north sydney", "sydney north", "st kilda", "kilda st", "parramatta"],
         "date_of_birth": np.arange(-20000, 15000, 7).astype("datetime64[D]"), "postcode": np.arange(800, 7000, 3)}
TIMEOUT = 300  # seconds for the whole session; the JVM is killed past it
# The JVMs of a few seconds' test: most of their CPU goes to loading,
# verifying and compiling Spark's classes. The client compiler alone, one
# compiler thread, the serial collector and no verification of Spark's own
# jars more than halve it; the scores are computed in the Python workers.
JVM_OPTIONS = ("-XX:TieredStopAtLevel=1 -XX:CICompilerCount=1 -XX:+UseSerialGC -XX:-UsePerfData "
               "-XX:+UnlockDiagnosticVMOptions -XX:-BytecodeVerificationRemote")


def febrl_like_pairs(n=4000, seed=7):
    """Left/right person fields as Arrow: 40% true pairs, some with a typo or
    a shifted number, 5% nulls."""
    rng = np.random.default_rng(seed)
    same, columns = rng.random(n) < 0.4, {"id": pa.array(np.arange(n))}
    for field, pool in POOLS.items():
        left = rng.choice(pool, n)
        right = np.where(same, left, rng.choice(pool, n))
        if right.dtype.kind == "U":
            right = np.array([v[:2] + "x" + v[3:] if s and k == 0 else v for v, s, k in zip(right, same, rng.integers(0, 3, n))])
        else:
            right = right + np.where(same, rng.integers(-3, 4, n), 0)
        for side, values in (("l", left), ("r", right)):
            columns[f"{field}_{side}"] = pa.array(values, mask=rng.random(n) < 0.05)
    return pa.RecordBatch.from_pydict(columns), same


def records(pairs, side, n=300):
    """One side's records of the pair batch: an id and the fields."""
    return pa.table({"id": pa.array(np.arange(n) + (0 if side == "l" else 10_000)),
                     **{f: pairs.column(f"{f}_{side}").slice(0, n) for f in POOLS}})


def pair_table(left, right, positions):
    """The pair table score_partition reads: ids and both sides' fields."""
    out = {"id_l": left.column("id").take(positions[0]), "id_r": right.column("id").take(positions[1])}
    for f in POOLS:
        out[f"{f}_l"] = left.column(f).take(positions[0])
        out[f"{f}_r"] = right.column(f).take(positions[1])
    return pa.table(out).combine_chunks().to_batches()[0]


def model_inputs(batch):
    """One Arrow batch's columns, passed to the engine as they are."""
    n = batch.num_rows
    strings = lambda side: [pc.fill_null(batch.column(f"{f}_{side}"), "") for f, _ in STRINGS]  # noqa: E731
    numbers = lambda side: np.stack([batch.column(f"{f}_{side}").cast(pa.int32()).cast(pa.float64())  # noqa: E731
                                     .to_numpy(zero_copy_only=False) for f, _ in NUMBERS])
    x = _corvane_rs.compute_feature_matrix(strings("l"), strings("r"), [m for _, m in STRINGS], numbers("l"),
                                           numbers("r"), [m for _, m in NUMBERS], n).reshape(n, -1)
    x[:, len(STRINGS)] = np.exp(-x[:, len(STRINGS)] / 365.0)  # days apart, as a similarity
    return np.nan_to_num(x, nan=0.0)


def scored(batch, models):
    x = model_inputs(batch)
    out = {"id": batch.column("id"), "pid": pa.array(np.full(len(x), os.getpid())),
           "threads": pa.array([os.environ.get("RAYON_NUM_THREADS", "unset")] * len(x))}
    out.update({f"x{j}": np.ascontiguousarray(x[:, j]) for j in range(x.shape[1])})
    out.update({f"p{k}": getattr(_corvane_rs, scorer)(x, **params) for k, (scorer, params) in enumerate(models)})
    return pa.RecordBatch.from_pydict(out)


def stop_on_timeout(signum, frame):
    """Kills this process's children: Spark's JVM, started or still starting
    (its Python workers end with it)."""
    for stat in Path("/proc").glob("[0-9]*/stat"):
        with contextlib.suppress(OSError, ValueError):
            if int(stat.read_text().rsplit(")", 1)[1].split()[1]) == os.getpid():
                os.kill(int(stat.parent.name), signal.SIGKILL)
    raise TimeoutError(f"Spark did not finish within {TIMEOUT} s")


@pytest.mark.heavy(25)
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
def test_map_in_arrow_scores_like_one_process(monkeypatch):
    from sklearn.ensemble import RandomForestClassifier  # imported here: collecting this file changes no state
    from sklearn.linear_model import LogisticRegression

    pairs, same = febrl_like_pairs()
    x = model_inputs(pairs)
    fitted = [m.fit(x, same) for m in
              (RandomForestClassifier(n_estimators=30, max_depth=8, random_state=0), LogisticRegression(max_iter=1000))]
    models = [corvane_export.export_model(m) for m in fitted]
    expected = scored(pairs, models)
    # The public layer's partition function, configured by comparisons alone.
    import corvane
    public = dict(comparisons=STRINGS + NUMBERS, scorer=corvane.Scorer.from_sklearn(fitted[1]), keep=["id"], missing=0.0)
    expected_public = corvane.score_partition(pairs, **public)
    # Blocking as a Spark join: same surname (a null joins nothing, as in
    # corvane.candidates), the pairs scored by score_batches.
    left, right = records(pairs, "l"), records(pairs, "r")
    on_surname = corvane.candidates(left, right, rules=["surname"])
    blocked = dict(public, keep=["id_l", "id_r"])
    expected_join = corvane.score_partition(pair_table(left, right, on_surname), **blocked)
    assert 0.3 < np.mean(expected.column("p0").to_numpy() >= 0.5) < 0.5  # real scores, not a constant

    for name in ("PYSPARK_PYTHON", "PYSPARK_DRIVER_PYTHON"):
        monkeypatch.setenv(name, sys.executable)  # the workers must run this interpreter
    monkeypatch.setenv("SPARK_LOCAL_IP", "127.0.0.1")
    monkeypatch.setenv("SPARK_LAUNCHER_OPTS", JVM_OPTIONS)  # spark-submit's own JVM, which starts the driver's
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)  # only spark.executorEnv may set it
    from pyspark import SparkContext, cloudpickle
    from pyspark.sql import SparkSession

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # the workers cannot import tests/
    previous = signal.signal(signal.SIGALRM, stop_on_timeout)
    signal.alarm(TIMEOUT)  # a hung JVM fails the test instead of hanging CI
    try:
        spark = (SparkSession.builder.master("local[2]").config("spark.ui.enabled", "false")
                 .config("spark.driver.extraJavaOptions", JVM_OPTIONS)
                 .config("spark.ui.showConsoleProgress", "false").config("spark.sql.shuffle.partitions", "4")
                 # nothing to re-plan in a few thousand rows; its classes cost the JVM CPU
                 .config("spark.sql.adaptive.enabled", "false")
                 .config("spark.sql.execution.arrow.maxRecordsPerBatch", "700")
                 .config("spark.executorEnv.RAYON_NUM_THREADS", "1").getOrCreate())
        try:
            spark.sparkContext.setLogLevel("ERROR")
            frame = spark.createDataFrame(pa.Table.from_batches([pairs])).repartition(4)
            schema = ", ".join(f"{name} double" for name in expected.schema.names[3:])
            result = frame.mapInArrow(lambda batches: (scored(b, models) for b in batches),
                                      f"id long, pid long, threads string, {schema}").toArrow()
            ddl = ", ".join(f"{f.name} {'long' if f.name == 'id' else 'boolean' if f.name == 'match' else 'double'}"
                            for f in expected_public.schema)
            result_public = frame.mapInArrow(lambda batches: corvane.score_batches(batches, **public), ddl).toArrow()
            from pyspark.sql import functions as F

            lf, rf = spark.createDataFrame(left).alias("l"), spark.createDataFrame(right).alias("r")
            joined = lf.join(rf, F.col("l.surname") == F.col("r.surname")).select(
                F.col("l.id").alias("id_l"), F.col("r.id").alias("id_r"),
                *(F.col(f"{s}.{f}").alias(f"{f}_{s}") for f in POOLS for s in ("l", "r")))
            ddl_join = "id_l long, id_r long, " + ddl.split(", ", 1)[1]
            result_join = joined.mapInArrow(lambda batches: corvane.score_batches(batches, **blocked),
                                            ddl_join).toArrow()
        finally:
            spark.stop()  # ends the Python workers; the JVM would outlive it
            gateway, SparkContext._gateway, SparkContext._jvm = SparkContext._gateway, None, None
            gateway.shutdown()
            gateway.proc.stdin.close()  # the JVM exits when its stdin closes
            gateway.proc.wait(60)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)

    result = result.sort_by("id")
    assert np.array_equal(result.column("id").to_numpy(), np.arange(pairs.num_rows))
    assert pc.unique(result.column("threads")).to_pylist() == ["1"]
    assert os.getpid() not in pc.unique(result.column("pid")).to_pylist()
    for name in expected.schema.names[3:]:  # every model input and probability, bit for bit
        got = result.column(name).to_numpy().view(np.int64)
        assert np.array_equal(got, expected.column(name).to_numpy().view(np.int64)), name
    result_public = result_public.sort_by("id")
    for name in expected_public.schema.names:
        assert result_public.column(name).equals(pa.chunked_array([expected_public.column(name)])), name
    result_join = result_join.sort_by([("id_l", "ascending"), ("id_r", "ascending")])
    assert result_join.num_rows == len(on_surname[0]) > 1000
    for name in expected_join.schema.names:
        assert result_join.column(name).equals(pa.chunked_array([expected_join.column(name)])), name
