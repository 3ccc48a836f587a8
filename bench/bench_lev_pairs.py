"""Levenshtein (or Jaro-Winkler) on real candidate pairs: the scale set's
columns scored by that metric, one worker, every instruction-set level, and
one build against another.

Usage (from the project root, with the interpreter that has the module):
    .venv/bin/python bench/bench_lev_pairs.py                  # 1,000,000 pairs of FEBRL3 x 60
    .venv/bin/python bench/bench_lev_pairs.py --pairs 200000 --copies 5
    .venv/bin/python bench/bench_lev_pairs.py --builds /tmp/before /tmp/after
    .venv/bin/python bench/bench_lev_pairs.py --metric jaro_winkler --builds /tmp/before /tmp/after

Pairs: an evenly spaced sample (in order, so still sorted by left position)
of the candidate pairs of ``bench_compare.py --scale`` (FEBRL3 x copies under
the four rules: mostly pairs of different people, where few characters are
shared, unlike ``bench_kernels.py``'s pairs, which are mostly one typo
apart). Columns: date_of_birth, address_1 and soc_sec_id, the three the
scale comparisons score by Levenshtein; with ``--metric jaro_winkler``,
given_name, surname and suburb, the three they score by Jaro-Winkler.

Per level (and per build directory given with --builds, put first on
PYTHONPATH) one child process with CORVANE_SIMD set and one worker
(RAYON_NUM_THREADS=1) takes the process CPU time, best of --rounds, of

  gathered   ``compute_feature_matrix`` on the pairs' strings gathered
             beforehand with Arrow ``take`` (the kernel alone), and
  in place   ``compare`` on the record table with the pairs' positions
             (records resolved inside the engine),

each as ns per pair minus the same call with the ``exact`` metric on the
same column in the same child: the kernel's own cost. The
children also return a checksum of the scores, which must agree across
levels and builds.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

METRIC_COLUMNS = {
    "levenshtein": ["date_of_birth", "address_1", "soc_sec_id"],
    "jaro_winkler": ["given_name", "surname", "suburb"],
}


def child(records_path: str, pairs_path: str, n: int, rounds: int, metric_name: str) -> None:
    import hashlib

    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    import _corvane_rs as m
    import corvane

    columns = METRIC_COLUMNS[metric_name]
    table = pq.read_table(records_path, columns=columns)
    both = np.load(pairs_path)
    pick = np.linspace(0, both.shape[1] - 1, min(n, both.shape[1])).astype(np.int64)
    lp, rp = both[0][pick], both[1][pick]
    n = len(lp)
    z = np.zeros((0, n))
    out: dict[str, dict[str, float] | str] = {}
    digest = hashlib.sha256()
    for column in columns:
        values = table.column(column).combine_chunks().fill_null("")
        left, right = values.take(pa.array(lp)), values.take(pa.array(rp))
        filled = pa.table({column: values})
        calls = {
            ("gathered", metric): (lambda metric=metric: m.compute_feature_matrix([left], [right], [metric], z, z,
                                                                                 [], n))
            for metric in ("exact", metric_name)
        }
        calls.update({
            ("in place", metric): (lambda metric=metric: corvane.compare(filled, filled, (lp, rp),
                                                                        [(column, metric)]))
            for metric in ("exact", metric_name)
        })
        best = {key: float("inf") for key in calls}
        for _ in range(rounds):
            for key, call in calls.items():
                gc.collect()
                t0 = time.process_time()
                call()
                best[key] = min(best[key], time.process_time() - t0)
        digest.update(np.ascontiguousarray(calls[("gathered", metric_name)]()).tobytes())
        out[column] = {way: (best[(way, metric_name)] - best[(way, "exact")]) / n * 1e9
                       for way in ("gathered", "in place")}
        out[column]["exact"] = best[("gathered", "exact")] / n * 1e9
    out["checksum"] = digest.hexdigest()[:16]
    out["pairs"] = n  # type: ignore[assignment]
    print(json.dumps(out))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1_000_000)
    parser.add_argument("--copies", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--metric", choices=sorted(METRIC_COLUMNS), default="levenshtein")
    parser.add_argument("--levels", nargs="*", help="default: every level this processor has")
    parser.add_argument("--builds", nargs="*", default=[None], help="directories holding a build of the module")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], args.child[1], args.pairs, args.rounds, args.metric)
        return

    from bench_compare import scale_files
    from bench_kernels import cpu_levels

    records_path, pairs_path = scale_files(args.copies)
    levels = args.levels or cpu_levels()
    runs = {}
    for build in args.builds:
        for level in levels:
            env = dict(os.environ, CORVANE_SIMD=level, RAYON_NUM_THREADS="1")
            if build:
                env["PYTHONPATH"] = os.pathsep.join(filter(None, [build, env.get("PYTHONPATH")]))
            got = subprocess.run([sys.executable, __file__, "--child", records_path, pairs_path, "--pairs",
                                  str(args.pairs), "--rounds", str(args.rounds), "--metric", args.metric],
                                 env=env, check=True, capture_output=True, text=True).stdout
            runs[(build or "this build", level)] = json.loads(got.strip().splitlines()[-1])
    first = next(iter(runs.values()))
    columns = METRIC_COLUMNS[args.metric]
    print(f"{args.metric} on {first['pairs']:,} candidate pairs of FEBRL3 x {args.copies}, one worker, "
          f"CPU ns per pair minus exact's, best of {args.rounds}; load {os.getloadavg()[0]:.1f}")
    print(f"  {'build':<24} {'level':<7} " + "".join(f"{c + ' gathered / in place':>36}" for c in columns)
          + f"{'exact':>8}")
    for (build, level), r in runs.items():
        cells = "".join(f"{r[c]['gathered']:>26.1f} / {r[c]['in place']:>7.1f}" for c in columns)
        print(f"  {build[-24:]:<24} {level:<7} {cells}{r[columns[0]]['exact']:>8.1f}")
    sums = {r["checksum"] for r in runs.values()}
    print("  scores identical across levels and builds" if len(sums) == 1 else f"  SCORES DIFFER: {sums}")


if __name__ == "__main__":
    main()
