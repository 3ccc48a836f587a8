"""The steps of ``candidates`` and ``count_candidates``, one by one, in
single-threaded CPU time, for one or more builds of the module side by side
(the builds alternate within each repetition; best of --reps).

    RAYON_NUM_THREADS=1 .venv/bin/python bench/blocking_steps.py build/base build/dev
    RAYON_NUM_THREADS=1 .venv/bin/python bench/blocking_steps.py --only synthetic build/dev

Each build is a directory holding ``_corvane_rs*.so``; the Python layer is
this checkout's. Data as in ``bench_blocking.py``: FEBRL3 x 60 deduplicated
with the four scale rules, and two synthetic tables of --synthetic records.
CPU time (``time.process_time``) rather than wall time, so that the load of
other processes counts little; run with ``RAYON_NUM_THREADS=1``.
"""

from __future__ import annotations

import argparse
import gc
import glob
import importlib.util
import os
import sys
import time
from typing import Any, Callable

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))


def load(build_dir: str) -> Any:
    path = glob.glob(os.path.join(build_dir, "_corvane_rs*.so"))[0]
    spec = importlib.util.spec_from_file_location("_corvane_rs", path)
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--copies", type=int, default=60)
    ap.add_argument("--synthetic", type=int, default=1_000_000)
    ap.add_argument("--only", default="febrl,synthetic")
    args = ap.parse_args()
    modules = [load(b) for b in args.builds]
    sys.modules["_corvane_rs"] = modules[0]
    import corvane._blocking as blocking_mod
    import corvane._rules as rules_mod
    from bench_blocking import RULES, febrl_table, synthetic_tables

    def use(module: Any) -> None:
        rules_mod._corvane_rs = module
        blocking_mod._corvane_rs = module

    def steps(left: Any, right: Any, rules: list[Any]) -> dict[str, Callable[[], Any]]:
        dedupe = right is None
        parsed, encoder, n_left, n_right = blocking_mod._prepare(left, right, rules)
        keys = sorted({k for rule in parsed for k in rule.keys}, key=repr)
        out: dict[str, Callable[[], Any]] = {}
        for key in keys:
            ranked = False
            out[f"encode {key!r}"] = (lambda key=key: (encoder.codes.clear(), encoder.key_codes(key, ranked)))
        def all_keys() -> Any:
            encoder.codes.clear()
            return encoder.encode(parsed, n_left)
        out["all keys of candidates"] = all_keys
        ready = all_keys()
        out["candidate_pairs"] = lambda: blocking_mod._corvane_rs.candidate_pairs(*ready, int(dedupe), 0, n_left)
        out["candidates in all"] = lambda: blocking_mod.candidates(left, right, rules=rules)
        out["count_candidates in all"] = lambda: blocking_mod.count_candidates(left, right, rules=rules)
        if not any(rule.window for rule in parsed):
            # count_candidates less its encoding, on keys already encoded:
            # each key column once (builds before 2026-12-07 took one
            # combined key per rule, made by rule_keys, in one array).
            codes = [encoder.key_codes(key, False) for key in keys]
            masks = np.array([sum(1 << keys.index(k) for k in set(rule.keys)) for rule in parsed], dtype=np.int64)
            engine = blocking_mod._corvane_rs
            try:
                engine.count_rule_pairs(codes, len(codes), masks, n_left, int(dedupe))
                out["counting alone"] = lambda: engine.count_rule_pairs(codes, len(codes), masks, n_left, int(dedupe))
            except TypeError:
                n_records = n_left if dedupe else n_left + n_right
                by_rule = np.array([1 << r for r in range(len(parsed))], dtype=np.int64)

                def combined() -> Any:
                    ready, _ = engine.rule_keys(encoder.rule_columns(parsed), n_records, 1)
                    return engine.count_rule_pairs(ready, len(parsed), by_rule, n_left, int(dedupe))
                out["counting alone"] = combined
        return out

    cases: list[tuple[str, Any, Any, list[Any]]] = []
    only = set(args.only.split(","))
    if "febrl" in only:
        cases.append((f"FEBRL x {args.copies}", febrl_table(args.copies), None, RULES))
    if "synthetic" in only:
        left, right = synthetic_tables(args.synthetic)
        cases.append((f"synthetic {args.synthetic:,} x {args.synthetic:,}", left, right, ["key", ("name", "group")]))
    print(f"threads: RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(all)')}; load {os.getloadavg()}")
    print("ms of CPU, best of", args.reps, "|", " | ".join(args.builds))
    for name, left, right, rules in cases:
        print(f"-- {name}")
        best: dict[str, list[float]] = {}
        for _ in range(args.reps):
            for b, module in enumerate(modules):
                use(module)
                for step, fn in steps(left, right, rules).items():
                    gc.collect()
                    row = best.setdefault(step, [float("inf")] * len(modules))
                    t0 = time.process_time()
                    try:
                        fn()
                    except TypeError:  # a build older than this checkout's Python layer
                        row[b] = float("nan")
                        continue
                    t = time.process_time() - t0
                    row[b] = min(row[b], t)
        for step, row in best.items():
            print(f"{step:48s} " + " ".join(f"{1000 * t:9.1f}" for t in row))


if __name__ == "__main__":
    main()
