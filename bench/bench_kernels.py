"""String kernels at every instruction-set level, side by side, and against
their peers, in one run.

Usage (from the project root, with the interpreter that has the module):
    .venv/bin/python bench/bench_kernels.py [N_PAIRS] [--no-peers] [--words]

Pairs: N_PAIRS (default 1,000,000) name and address pairs of 3 to 30 ASCII
characters, the right side an edited copy of the left half of the time, as
two pyarrow string arrays. With --words, only pairs of single words (no
space on either side), as in given-name, surname or town columns.

Per level (scalar, avx2, avx512: those this processor has), one child
process with CORVANE_SIMD set and one worker thread (RAYON_NUM_THREADS=1)
measures the process CPU time of the feature matrix with one column of each
metric, best of 5, and prints it in ns per pair minus that of the `exact`
column measured in the same child (the cost of reading the columns and
writing the result), so each figure is the kernel's own cost. Then the
same child measures `compare_pairs` on N_PAIRS random pairs of N_PAIRS / 10
records a side (left positions sorted), where Soundex, Jaccard, cosine and
token sort ratio do their per-string work once per record.

Peers, at the level in force (all workers): `levenshtein_batch`,
`damerau_levenshtein_batch` and `jaro_winkler_batch` from lists against
RapidFuzz `process.cpdist(workers=-1)` with the matching scorer, and the
feature matrix from pyarrow against polars-ds (`parallel=True`) for the same
three metrics; ratio = this module's time / the peer's, best of 5 each,
alternating. The outputs are checked to agree where the definitions do.
"""

from __future__ import annotations

import gc
import json
import os
import random
import subprocess
import sys
import time

METRICS = ["exact", "levenshtein", "jaro_winkler", "damerau_levenshtein", "soundex", "jaccard", "cosine",
           "token_sort_ratio"]
GOALS = {"levenshtein": 10, "jaro_winkler": 12, "damerau_levenshtein": 60, "soundex": 10, "jaccard": 20,
         "cosine": 20, "token_sort_ratio": 40}
LEVELS = ["scalar", "avx2", "avx512"]
# Metrics whose per-string work compare_pairs does once per record.
RECORD_METRICS = ["exact", "soundex", "jaccard", "cosine", "token_sort_ratio"]
RECORD_PAIRS = 10


def make_pairs(n: int, seed: int = 7) -> tuple[list[str], list[str]]:
    rng = random.Random(seed)
    first = ["john", "mary", "robert", "patricia", "michael", "jennifer", "william", "elizabeth", "david", "susan",
             "al", "jo", "christopher", "alexandra", "maximilian"]
    last = ["smith", "johnson", "williams", "brown", "jones", "garcia", "miller", "davis", "wilson", "anderson",
            "li", "ng", "featherstonehaugh", "montgomery"]
    street = ["main st", "oak avenue", "park road", "station street", "high street", "church lane", "elm close"]

    def one() -> str:
        k = rng.random()
        if k < 0.4:
            s = rng.choice(first) + " " + rng.choice(last)
        elif k < 0.8:
            s = "%d %s" % (rng.randrange(1, 999), rng.choice(street))
        else:
            s = rng.choice(last)
        return (s + "xyz")[:max(3, min(30, len(s)))]

    def typo(s: str) -> str:
        if rng.random() < 0.5:
            return s
        i = rng.randrange(len(s))
        op = rng.randrange(3)
        c = rng.choice("abcdefghijklmnopqrstuvwxyz")
        t = s[:i] + c + s[i + 1:] if op == 0 else s[:i] + c + s[i:] if op == 1 else s[:i] + s[i + 1:]
        return t if 3 <= len(t) <= 30 else s

    left = [one() for _ in range(n)]
    return left, [typo(s) for s in left]


def word_pairs(n: int) -> tuple[list[str], list[str]]:
    """n of make_pairs' pairs in which neither side holds a space: single
    words, as in given-name, surname or town columns."""
    left, right, seed = [], [], 7
    while len(left) < n:
        more = [(a, b) for a, b in zip(*make_pairs(n, seed)) if " " not in a and " " not in b]
        left += [a for a, _ in more]
        right += [b for _, b in more]
        seed += 1
    return left[:n], right[:n]


def cpu_levels() -> list[str]:
    """The levels this processor has (Linux: from /proc/cpuinfo)."""
    try:
        with open("/proc/cpuinfo") as f:
            flags = next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), [])
    except OSError:
        flags = []
    have = ["scalar"]
    if "avx2" in flags:
        have.append("avx2")
    if {"avx512f", "avx512bw", "avx512vl"} <= set(flags):
        have.append("avx512")
    return have


def child(n: int) -> None:
    """Runs in a child with CORVANE_SIMD and RAYON_NUM_THREADS set: prints
    {metric: best CPU seconds} as JSON."""
    import numpy as np
    import pyarrow as pa

    import _corvane_rs as m

    left, right = word_pairs(n) if "--words" in sys.argv else make_pairs(n)
    al, ar = pa.array(left, pa.string()), pa.array(right, pa.string())
    z = np.zeros((0, n))
    best = {}
    for _ in range(5):
        for metric in METRICS:
            gc.collect()
            t0 = time.process_time()
            m.compute_feature_matrix([al], [ar], [metric], z, z, [], n)
            t = time.process_time() - t0
            best[metric] = min(t, best.get(metric, t))
    # compare_pairs over records that each appear in about RECORD_PAIRS
    # pairs (left positions sorted, as candidate pairs come).
    records = max(1, n // RECORD_PAIRS)
    rl, rr = pa.array(left[:records], pa.string()), pa.array(right[:records], pa.string())
    rng = np.random.default_rng(1)
    lp, rp = np.sort(rng.integers(0, records, n)), rng.integers(0, records, n)
    for _ in range(5):
        for metric in RECORD_METRICS:
            gc.collect()
            t0 = time.process_time()
            m.compare_pairs([rl], [rr], [metric], lp, rp, float("nan"))
            t = time.process_time() - t0
            best["records:" + metric] = min(t, best.get("records:" + metric, t))
    print(json.dumps(best))


def levels_table(n: int) -> None:
    levels = [lv for lv in LEVELS if lv in cpu_levels()]
    results = {}
    for level in levels:
        env = dict(os.environ, CORVANE_SIMD=level, RAYON_NUM_THREADS="1")
        out = subprocess.run([sys.executable, __file__, str(n), "--child"] + ["--words"] * ("--words" in sys.argv),
                             env=env, check=True,
                             capture_output=True, text=True).stdout
        results[level] = json.loads(out.strip().splitlines()[-1])
    print("Kernels, one thread, ns per pair minus the exact column's (%d pairs)" % n)
    print("%-20s" % "kernel" + "".join("%10s" % lv for lv in levels) + "%8s" % "goal")
    for metric in METRICS:
        cells = []
        for level in levels:
            r = results[level]
            ns = (r[metric] - (0 if metric == "exact" else r["exact"])) / n * 1e9
            cells.append("%10.1f" % ns)
        goal = "%8s" % ("<= %d" % GOALS[metric] if metric in GOALS else "(base)")
        print("%-20s" % metric + "".join(cells) + goal)
    print("\ncompare_pairs, %d records a side, each in about %d of the pairs; ns per pair minus exact's"
          % (n // RECORD_PAIRS, RECORD_PAIRS))
    for metric in RECORD_METRICS:
        cells = []
        for level in levels:
            r = results[level]
            ns = (r["records:" + metric] - (0 if metric == "exact" else r["records:exact"])) / n * 1e9
            cells.append("%10.1f" % ns)
        print("%-20s" % metric + "".join(cells))


def best_alternating(fns: list, reps: int = 5) -> list[float]:
    times = [float("inf")] * len(fns)
    for _ in range(reps):
        for i, f in enumerate(fns):
            gc.collect()
            t0 = time.perf_counter()
            f()
            times[i] = min(times[i], time.perf_counter() - t0)
    return times


def peers(n: int) -> None:
    import numpy as np
    import pyarrow as pa

    import _corvane_rs as m

    left, right = word_pairs(n) if "--words" in sys.argv else make_pairs(n)
    print("\nAgainst peers, all workers (%d pairs)" % n)
    print("%-46s %-44s %7s %6s" % ("this module", "peer", "ratio", "goal"))
    try:
        from rapidfuzz import process
        from rapidfuzz.distance import DamerauLevenshtein, JaroWinkler, Levenshtein
    except ImportError:
        print("rapidfuzz not installed: skipped")
    else:
        for name, scorer in (("levenshtein", Levenshtein.normalized_similarity),
                             ("damerau_levenshtein", DamerauLevenshtein.normalized_similarity),
                             ("jaro_winkler", JaroWinkler.similarity)):
            fn = getattr(m, name + "_batch")
            ours, theirs = best_alternating([lambda: fn(left, right),
                                             lambda: process.cpdist(left, right, scorer=scorer, workers=-1)])
            agree = np.allclose(fn(left, right), process.cpdist(left, right, scorer=scorer, workers=-1))
            print("%-46s %-44s %7.2f %6s%s" % (name + "_batch (lists)", "RapidFuzz cpdist(workers=-1)",
                                              ours / theirs, "0.5", "" if agree else "  OUTPUTS DIFFER"))
    try:
        import polars as pl
        import polars_ds as pds
    except ImportError:
        print("polars-ds not installed: skipped")
        return
    al, ar = pa.array(left, pa.string()), pa.array(right, pa.string())
    df = pl.DataFrame({"l": left, "r": right})
    z = np.zeros((0, n))
    for name, expr in (("levenshtein", pds.str_leven("l", "r", parallel=True, return_sim=True)),
                       ("jaro_winkler", pds.str_jw("l", "r", parallel=True)),
                       ("damerau_levenshtein", pds.str_d_leven("l", "r", parallel=True, return_sim=True))):
        ours, theirs = best_alternating([lambda: m.compute_feature_matrix([al], [ar], [name], z, z, [], n),
                                         lambda: df.select(expr)])
        agree = np.allclose(m.compute_feature_matrix([al], [ar], [name], z, z, [], n),
                            df.select(expr).to_series().to_numpy())
        print("%-46s %-44s %7.2f %6s%s" % ("feature matrix, %s (pyarrow)" % name, "polars-ds (parallel=True)",
                                          ours / theirs, "0.25", "" if agree else "  OUTPUTS DIFFER"))


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    n = int(args[0]) if args else 1_000_000
    if "--child" in sys.argv:
        child(n)
        return
    levels_table(n)
    if "--no-peers" not in sys.argv:
        peers(n)


if __name__ == "__main__":
    main()
