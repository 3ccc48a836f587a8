"""The worker pool seen from Python: sizing from the environment, ordering,
several calling threads, the released interpreter lock, failures inside rows,
fork, and the pool's own C++ test program."""

import os
import shutil
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest

import _corvane_rs as m

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "tests" / "native"
ONLINE = os.sysconf("SC_NPROCESSORS_ONLN")


def run_script(code, env_vars=None, timeout=120):
    """Runs code in a fresh interpreter that imports the module under test;
    env_vars None means unset."""
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(m.__file__).parent), env.get("PYTHONPATH", "")] if p)
    env["OPENBLAS_NUM_THREADS"] = "1"
    for k, v in (env_vars or {}).items():
        if v is not None:
            env[k] = v
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


COUNT_WORKERS = """
    import os, numpy, _corvane_rs as m
    def threads():
        return len(os.listdir("/proc/self/task"))
    before = threads()
    assert m.exact_match_batch([], []) == []  # an empty call creates the pool too
    after = threads()
    m.exact_match_batch(["a"] * 50, ["a"] * 50)
    assert threads() == after
    print(after - before)
"""


@pytest.mark.parametrize("num_threads, rs_num_cpus, expected", [
    ("3", "5", 3),
    ("0", "5", ONLINE),        # 0 is the processor count; the second variable is not read
    ("+4", None, 4),
    ("word", "5", 5),
    ("-2", "5", 5),
    (" 4", "5", 5),
    ("", "5", 5),
    (None, None, ONLINE),
])
def test_worker_count_from_environment(num_threads, rs_num_cpus, expected):
    out = run_script(COUNT_WORKERS, {"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus})
    assert int(out) == expected


ORDER = """
    import random, _corvane_rs as m
    rng = random.Random(7)
    words = ["".join(rng.choice("abcde") for _ in range(rng.randrange(0, 9))) for _ in range(4000)]
    others = [w if rng.random() < 0.3 else w[::-1] + "a" for w in words]
    for n in list(range(0, 300)) + [511, 512, 513, 1000, 2047, 2048, 2049, 3000, 4000]:
        left, right = words[:n], others[:n]
        assert m.exact_match_batch(left, right) == [1.0 if a == b else 0.0 for a, b in zip(left, right)], n
    # Each slot equals the same pair scored on its own (one row runs inline).
    for fn in (m.levenshtein_batch, m.jaro_winkler_batch, m.token_sort_ratio_batch):
        for n in (2, 3, 17, 130, 1001, 4000):
            batch = fn(words[:n], others[:n])
            single = [fn([a], [b])[0] for a, b in zip(words[:n], others[:n])]
            assert batch == single, (fn.__name__, n)
    x = [float(i) for i in range(3001)]
    y = [float(i * i % 97) for i in range(3001)]
    assert m.numeric_distance_batch(x, y) == [abs(a - b) for a, b in zip(x, y)]
    print("ok")
"""


@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_results_in_index_order(workers):
    assert run_script(ORDER, {"RAYON_NUM_THREADS": workers}).strip() == "ok"


def test_several_python_threads_at_once():
    errors = []

    def caller(seed):
        try:
            base = [f"{seed}-{i}" for i in range(3000)]
            for n in range(0, 3000, 97):
                other = [s if i % 3 else s + "x" for i, s in enumerate(base[:n])]
                want = [0.0 if i % 3 == 0 else 1.0 for i in range(n)]
                lev = [1.0 - 1.0 / (len(base[i]) + 1) if i % 3 == 0 else 1.0 for i in range(n)]
                if m.exact_match_batch(base[:n], other) != want or m.levenshtein_batch(base[:n], other) != lev:
                    errors.append((seed, n))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=caller, args=(s,)) for s in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_other_threads_run_while_a_batch_computes():
    # The batch costs about a second; this thread's loop a few tens of
    # milliseconds of bytecode. With the lock released the loop ends while
    # the batch still runs; with the lock held it could only run after.
    left = ["ab" * 1500 + str(i) for i in range(300)]
    right = ["ba" * 1500 + str(i) for i in range(300)]
    started, done = threading.Event(), threading.Event()
    result = []

    def batch():
        started.set()
        result.append(m.levenshtein_batch(left, right))
        done.set()

    worker = threading.Thread(target=batch)
    worker.start()
    started.wait()
    for _ in range(200_000):
        pass
    still_running = not done.is_set()
    worker.join()
    assert len(result[0]) == 300
    assert still_running


def forest(children_right_of_node2):
    """One tree: node 0 splits on feature 0 at 0.5, its left child is a
    leaf, its right child (node 2) splits on feature 1 at 0.5 and points
    outside the tree on both sides."""
    offsets = np.array([0, 3], dtype=np.int64)
    left = np.array([1, -1, 100], dtype=np.int64)
    right = np.array([2, -1, children_right_of_node2], dtype=np.int64)
    feats = np.array([0, 0, 1], dtype=np.int64)
    thr = np.array([0.5, 0.0, 0.5])
    values = np.array([0.0, 0.75, 0.0])
    return offsets, left, right, feats, thr, values


@pytest.mark.parametrize("n, failing", [
    (2, [1]), (5000, [17, 18, 2500, 4999]), (20000, [12000, 12001, 19999]), (20000, [0, 19999]),
])
def test_lowest_failing_row_is_reported(n, failing):
    tree = forest(200)
    features = np.zeros((n, 2))
    for i in failing:
        features[i] = (1.0, 0.0)   # walks to local index 100
    features[failing[0]] = (1.0, 1.0)  # the lowest failing row walks to 200
    with pytest.raises(BaseException) as info:
        m.predict_forest_batch(features, *tree)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "index out of bounds: the len is 3 but the index is 200"
    # The pool serves the next call as usual.
    ok = np.zeros((n, 2))
    assert np.array_equal(m.predict_forest_batch(ok, *tree), np.full(n, 0.75))


def test_fork_after_the_pool_exists():
    out = run_script("""
        import os, signal, warnings, _corvane_rs as m
        left = [str(i) for i in range(5000)]
        assert m.exact_match_batch(left, left) == [1.0] * 5000
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
            pid = os.fork()
        if pid == 0:
            signal.alarm(30)  # a hang kills the child instead of the suite
            ok = m.exact_match_batch(left, left) == [1.0] * 5000
            ok = ok and m.levenshtein_batch(["ab"] * 3000, ["ba"] * 3000) == [0.0] * 3000
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0, status
        assert m.exact_match_batch(left, left[::-1]) == [1.0 if a == b else 0.0 for a, b in zip(left, left[::-1])]
        print("ok")
    """, {"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert out.strip() == "ok"


SIGNALS_DURING_A_BATCH = """
    import os, signal, threading, time, _corvane_rs as m
    class Stop(Exception):
        pass
    hits, entered = [], threading.Event()
    def handler(signum, frame):
        hits.append(m.levenshtein_batch(["abc", "x"] * 50, ["abd", "y"] * 50))
        if len(hits) == 5:
            raise Stop
    def sender():  # the next signal only after the previous handler ran: none coalesce
        entered.wait()
        time.sleep(0.2)
        for k in range(5):
            os.kill(os.getpid(), signal.SIGUSR1)
            while len(hits) <= k:
                time.sleep(0.005)
    signal.signal(signal.SIGUSR1, handler)
    threading.Thread(target=sender, daemon=True).start()
    entered.set()
    try:
        m.levenshtein_batch(["ab" * 20000] * 200, ["ba" * 20000] * 200)  # tens of seconds of work
        outcome = "completed"
    except Stop:
        outcome = "stopped"
    assert all(h == [1 - 1 / 3, 0.0] * 50 for h in hits), hits
    print(outcome, len(hits))
"""


def test_signal_handlers_calling_the_module_during_a_batch():
    # The waiting thread runs Python signal handlers while its batch is in
    # flight; a handler may itself call a batch function, and the signals
    # after that nested call are still handled during the batch, the last
    # handler's exception cancelling it.
    assert run_script(SIGNALS_DURING_A_BATCH, {"RAYON_NUM_THREADS": "2"}).split() == ["stopped", "5"]


@pytest.fixture(scope="module")
def native_pool_test(tmp_path_factory):
    cxx = os.environ.get("CXX", "g++")
    if shutil.which(cxx) is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path_factory.mktemp("native") / "test_pool"
    subprocess.run([cxx, "-std=c++20", "-O1", "-g", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", "-pthread",
                    f"-I{ROOT / 'src'}", str(NATIVE / "test_pool.cpp"), str(ROOT / "src" / "runtime" / "pool.cpp"),
                    "-o", str(exe)], check=True, timeout=300)
    return exe


@pytest.mark.parametrize("mode, workers", [("all", "1"), ("all", "3"), ("fork", "2"), ("buildfail", "2")])
def test_native_pool_program(native_pool_test, mode, workers):
    env = dict(os.environ, RAYON_NUM_THREADS=workers, EXPECT_WORKERS=workers)
    proc = subprocess.run([str(native_pool_test), mode], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert f"PASS ({mode})" in proc.stdout
