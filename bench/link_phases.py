"""Where `link`'s peak resident memory goes, phase by phase.

    python bench/link_phases.py 60                 # FEBRL3 x 60 (300,000 records)
    python bench/link_phases.py 200 [BATCH_PAIRS]  # x 200 (1M records)
    RAYON_NUM_THREADS=1 python bench/link_phases.py 60 --cpu [--reps N]  # CPU time per phase instead

A thread samples the resident set every 2 ms and keeps, for each phase of
`link` (building the index, counting, each batch's pairs, compare, the
model's table, predict_proba, and what follows each of them), the highest
value seen while that phase was current, as growth over the resident set
before the call. The phases are marked by wrapping the functions `link`
calls; `link` itself is unchanged. Same data, rules, comparisons and model
(a logistic regression fitted on the x 60 records, cached in
bench/.cache) as bench_blocking.py's link section.

With --cpu it times the same phases in process CPU time instead (the
engine calls, the model, and the rest), best of --reps calls (default 2),
and prints pairs per CPU second: with RAYON_NUM_THREADS=1 the load of other
processes counts little.
"""

from __future__ import annotations

import os
import pickle
import sys
import threading
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import corvane as cv  # noqa: E402
import corvane._blocking as blocking  # noqa: E402
from bench_blocking import COMPARISONS, RULES, febrl_table, fitted_model  # noqa: E402


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_phases(table: Any, model: Any, batch_pairs: int, reps: int) -> None:
    """Process CPU time of each engine call link makes, the model, and the rest."""
    spent: dict[str, float] = {}

    def timed(fn: Any, label: str) -> Any:
        def call(*args: Any, **kwargs: Any) -> Any:
            start = time.process_time()
            try:
                return fn(*args, **kwargs)
            finally:
                spent[label] = spent.get(label, 0.0) + time.process_time() - start
        return call

    rs = blocking._corvane_rs
    names = [n for n in ("encode_keys", "rule_keys", "candidate_index", "index_counts", "index_pairs",
                         "compare_plan", "plan_pairs", "compare_pairs") if hasattr(rs, n)]
    originals = {name: getattr(rs, name) for name in names}
    probabilities = blocking._probabilities
    for name, fn in originals.items():
        setattr(rs, name, timed(fn, name))
    candidates = [0]

    def counted(index: Any) -> Any:
        out = timed(originals["index_counts"], "index_counts")(index)
        candidates[0] = int(out[1].sum())
        return out

    rs.index_counts = counted
    blocking._probabilities = timed(probabilities, "model")
    best: tuple[float, dict[str, float], int] | None = None
    try:
        for _ in range(reps):
            spent.clear()
            start = time.process_time()
            kept = cv.link(table, rules=RULES, comparisons=COMPARISONS, model=model, missing=0.0,
                           batch_pairs=batch_pairs)
            total = time.process_time() - start
            if best is None or total < best[0]:
                best = (total, dict(spent), kept.num_rows)
    finally:
        for name, fn in originals.items():
            setattr(rs, name, fn)
        blocking._probabilities = probabilities
    assert best is not None
    total, parts, n_kept = best
    print(f"link: {table.num_rows:,} records, {candidates[0]:,} candidates, {n_kept:,} kept, CPU {total:.3f} s "
          f"(best of {reps}), {candidates[0] / total / 1e6:.2f} M pairs per CPU second, batch_pairs={batch_pairs:,}")
    for label, value in sorted(parts.items(), key=lambda kv: -kv[1]):
        print(f"  {label:20s} {value:8.3f} s")
    print(f"  {'the rest':20s} {total - sum(parts.values()):8.3f} s")


def main() -> None:
    args = [a for k, a in enumerate(sys.argv[1:], 1) if not a.startswith("--") and sys.argv[k - 1] != "--reps"]
    copies = int(args[0]) if args else 60
    batch_pairs = int(args[1]) if len(args) > 1 else 1_000_000
    model_path = os.path.join(HERE, ".cache", "link_phases_model.pkl")
    if not os.path.exists(model_path):
        os.makedirs(os.path.dirname(model_path), exist_ok=True)
        with open(model_path, "wb") as f:
            pickle.dump(fitted_model(febrl_table(60)), f)
    with open(model_path, "rb") as f:
        model = pickle.load(f)
    table = febrl_table(copies)
    if "--cpu" in sys.argv:
        reps = int(sys.argv[sys.argv.index("--reps") + 1]) if "--reps" in sys.argv else 2
        cpu_phases(table, model, batch_pairs, reps)
        return

    phase = ["prepare"]
    peaks: dict[str, int] = {}
    running = [True]

    def sample() -> None:
        while running[0]:
            value, current = rss(), phase[0]
            peaks[current] = max(peaks.get(current, 0), value)
            time.sleep(0.002)

    def marked(fn: Any, label: str) -> Any:
        def call(*args: Any, **kwargs: Any) -> Any:
            phase[0] = label
            try:
                return fn(*args, **kwargs)
            finally:
                phase[0] = f"after {label}"
        return call

    rs = blocking._corvane_rs
    originals = {name: getattr(rs, name)
                 for name in ("encode_keys", "rule_keys", "candidate_index", "index_counts", "index_pairs")}
    for name, fn in originals.items():
        setattr(rs, name, marked(fn, name))
    scorer, probabilities, from_columns = blocking.BatchScorer, blocking._probabilities, blocking.from_columns

    class MarkedScorer(scorer):  # type: ignore[misc, valid-type]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            marked(super().__init__, "BatchScorer (columns for compare)")(*args, **kwargs)

        def __call__(self, *args: Any, **kwargs: Any) -> Any:
            return marked(super().__call__, "compare")(*args, **kwargs)

    blocking.BatchScorer = MarkedScorer
    blocking._probabilities = marked(probabilities, "score")
    blocking.from_columns = marked(from_columns, "from_columns (the result)")
    base = rss()
    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    start = time.perf_counter()
    try:
        kept = cv.link(table, rules=RULES, comparisons=COMPARISONS, model=model, missing=0.0,
                       batch_pairs=batch_pairs)
    finally:
        seconds = time.perf_counter() - start
        phase[0] = "returned"
        time.sleep(0.02)
        running[0] = False
        sampler.join()
        for name, fn in originals.items():
            setattr(rs, name, fn)
        blocking.BatchScorer, blocking._probabilities, blocking.from_columns = scorer, probabilities, from_columns
    print(f"link x{copies}: {table.num_rows:,} records, {kept.num_rows:,} kept in {seconds:.1f} s, "
          f"batch_pairs={batch_pairs:,}; kept rows {kept.nbytes / 2**20:.0f} MiB")
    for label, value in sorted(peaks.items(), key=lambda kv: kv[1]):
        print(f"  {label:48s} peak growth {(value - base) / 2**20:7.0f} MiB")


if __name__ == "__main__":
    main()
