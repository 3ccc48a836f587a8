"""corvane.link at scale against Splink's predict, step by step, builds side by side.

    python bench/bench_link.py                                  # FEBRL3 x 60 (300,000 records)
    python bench/bench_link.py --copies 5 --rounds 1            # a quick look
    python bench/bench_link.py --builds /tmp/before /tmp/after  # two builds, their children alternating

The records, rules, comparisons and model are bench_blocking.py's link
section's: FEBRL3 x copies deduplicated with the four scale rules, eight
comparisons, a logistic regression fitted on 200,000 labelled candidate
pairs (cached in bench/.cache), threshold 0.5, ``missing=0.0``,
``batch_pairs=1_000_000``. Each build runs in a child process (two
workers) that times, best of --rounds, wall and process CPU time:

  link        corvane.link, the whole call
  candidates  corvane.candidates alone
  compare     corvane.compare of all the candidates alone
  score       the model's predict_proba over compare's table
  rest        link minus the three steps (batching, keeping, output)

``--builds DIR ...`` puts each directory first on PYTHONPATH (a build of
``_corvane_rs`` and, optionally, its ``corvane`` package); the builds'
children alternate round by round. Splink 5's ``predict`` (DuckDB, the same
rules and comparisons, untrained m and u, threshold 0.5) runs once per
round in this process, between the children; the ratio is link's best
over Splink's best, in wall time and in CPU time (both use the two
cores). On a shared machine compare the ratios, not the times.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import subprocess
import sys
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def timed(fn: Any) -> tuple[float, float, Any]:
    start, start_cpu = time.perf_counter(), time.process_time()
    out = fn()
    return time.perf_counter() - start, time.process_time() - start_cpu, out


def child(copies: int, model_path: str, rounds: int) -> None:
    import gc

    import corvane as cv
    from bench_blocking import COMPARISONS, RULES, febrl_table

    with open(model_path, "rb") as f:
        model = pickle.load(f)
    table = febrl_table(copies)
    cv.link(table.slice(0, 2000), rules=RULES, comparisons=COMPARISONS, model=model, missing=0.0)  # imports, pool
    steps: dict[str, list[float]] = {}

    def keep(name: str, wall: float, cpu: float) -> None:
        best = steps.setdefault(name, [float("inf"), float("inf")])
        best[0], best[1] = min(best[0], wall), min(best[1], cpu)

    kept = 0
    for _ in range(rounds):
        gc.collect()
        wall, cpu, out = timed(lambda: cv.link(table, rules=RULES, comparisons=COMPARISONS, model=model,
                                               missing=0.0, batch_pairs=1_000_000))
        keep("link", wall, cpu)
        kept = out.num_rows
        del out
        gc.collect()
        wall, cpu, pairs = timed(lambda: cv.candidates(table, rules=RULES))
        keep("candidates", wall, cpu)
        wall, cpu, features = timed(lambda: cv.compare(table, table, pairs, COMPARISONS, missing=0.0))
        keep("compare", wall, cpu)
        wall, cpu, _ = timed(lambda: model.predict_proba(features))
        keep("score", wall, cpu)
        del features, pairs
    rest = [steps["link"][i] - steps["candidates"][i] - steps["compare"][i] - steps["score"][i] for i in (0, 1)]
    steps["rest"] = rest
    print(json.dumps({"steps": steps, "kept": kept, "records": table.num_rows}))


def splink_predict(copies: int) -> tuple[float, float, int]:
    from bench_blocking import febrl_table, splink_predictor

    run = splink_predictor(febrl_table(copies).to_pandas().rename(columns={"i": "unique_id"}))
    wall, cpu, kept = timed(run)
    return wall, cpu, kept


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=60)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--builds", nargs="+", help="build directories to run side by side")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(int(args.child[0]), args.child[1], int(args.child[2]))
        return

    from bench_blocking import febrl_table, fitted_model

    model_path = os.path.join(HERE, ".cache", f"link_model_x{args.copies}.pkl")
    if not os.path.exists(model_path):
        os.makedirs(os.path.dirname(model_path), exist_ok=True)
        with open(model_path, "wb") as f:
            pickle.dump(fitted_model(febrl_table(args.copies)), f)
    labels = args.builds or ["installed"]
    runs: dict[str, dict[str, Any]] = {}
    splink = [float("inf"), float("inf")]
    splink_kept = 0
    for _ in range(args.rounds):
        for label in labels:
            env = dict(os.environ, RAYON_NUM_THREADS="2")
            if args.builds:
                env["PYTHONPATH"] = os.pathsep.join([label] + [p for p in [os.environ.get("PYTHONPATH")] if p])
            out = subprocess.run([sys.executable, __file__, "--child", str(args.copies), model_path, "1"],
                                 env=env, check=True, capture_output=True, text=True).stdout
            got = json.loads(out.strip().splitlines()[-1])
            if label in runs:
                for name, (wall, cpu) in got["steps"].items():
                    best = runs[label]["steps"][name]
                    best[0], best[1] = min(best[0], wall), min(best[1], cpu)
            else:
                runs[label] = got
        wall, cpu, splink_kept = splink_predict(args.copies)
        splink = [min(splink[0], wall), min(splink[1], cpu)]

    first = runs[labels[0]]
    print(f"FEBRL3 x {args.copies}: {first['records']:,} records, best of {args.rounds}; load "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"  Splink predict (DuckDB): {splink[0]:.2f} s, CPU {splink[1]:.2f} s, {splink_kept:,} kept "
          "(untrained m/u: only the time counts)")
    for label in labels:
        steps = runs[label]["steps"]
        print(f"build {label}: link kept {runs[label]['kept']:,}")
        for name in ("link", "candidates", "compare", "score", "rest"):
            wall, cpu = steps[name]
            print(f"  {name:<11} {wall:7.2f} s  CPU {cpu:7.2f} s")
        print(f"  link / Splink predict: {steps['link'][0] / splink[0]:.3f} wall, "
              f"{steps['link'][1] / splink[1]:.3f} CPU   (goal <= 0.15)")


if __name__ == "__main__":
    main()
