"""Two builds of the module side by side in one process: the string metrics
on ordinary record pairs (bench_strings.make_pairs), on long ASCII strings
and on long strings of wide characters. Timings alternate between the
builds, best of --repeat; the ratio is new / old (below 1.0: the new build
is faster). The last column counts rows whose scores differ bit for bit.

    .venv/bin/python bench/compare_builds.py build/base build/dev
"""

import argparse
import gc
import glob
import importlib.util
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_strings import make_pairs  # noqa: E402

FUNCTIONS = ["levenshtein_batch", "damerau_levenshtein_batch", "jaro_winkler_batch", "token_sort_ratio_batch"]


def load(build_dir):
    path = glob.glob(os.path.join(build_dir, "_corvane_rs*.so"))[0]
    spec = importlib.util.spec_from_file_location("_corvane_rs", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def long_pairs(rng, n, length, alphabet):
    left = ["".join(rng.choice(alphabet) for _ in range(length)) for _ in range(n)]
    right = [s[: length // 2] + "".join(rng.choice(alphabet) for _ in range(length - length // 2)) for s in left]
    return left, right


def timed(fn, times):
    gc.collect()
    t0 = time.perf_counter()
    out = fn()
    times.append(time.perf_counter() - t0)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--pairs", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    old, new = load(args.old), load(args.new)
    rng = random.Random(5)
    cjk = [chr(0x4E00 + k) for k in range(3000)]
    inputs = [
        ("records", make_pairs(args.pairs)),
        ("ascii x200", long_pairs(rng, args.pairs // 50, 200, "abcdefghijklmnopqrstuvwxyz ")),
        ("cjk x200", long_pairs(rng, args.pairs // 50, 200, cjk + [" "])),
        ("cjk x5000", long_pairs(rng, 20, 5000, cjk)),
    ]
    print(f"{'input':11s} {'function':26s} {'old ms':>9s} {'new ms':>9s} {'ratio':>6s} {'differ':>6s}")
    for label, (left, right) in inputs:
        for name in FUNCTIONS:
            f_old, f_new = getattr(old, name), getattr(new, name)
            t_old, t_new = [], []
            for _ in range(args.repeat):
                a = timed(lambda: f_old(left, right), t_old)
                b = timed(lambda: f_new(left, right), t_new)
            differ = sum(x.hex() != y.hex() for x, y in zip(a, b))
            print(f"{label:11s} {name:26s} {min(t_old) * 1e3:9.1f} {min(t_new) * 1e3:9.1f} "
                  f"{min(t_new) / min(t_old):6.2f} {differ:6d}", flush=True)


if __name__ == "__main__":
    main()
