"""Feature matrix benchmark: 6 string and 2 numeric comparisons per pair.

Three ways to build the same (n_pairs, 8) float64 matrix:

  feature_matrix  one compute_feature_matrix call
  batch_calls     the eight matching *_batch functions called one by one,
                  assembled into the matrix with NumPy
  rapidfuzz       plain Python + RapidFuzz cpdist (workers=-1) + NumPy

Peak memory is measured for one call per pipeline, each in a fresh
subprocess: the resident-set high-water mark above the resident size just
before the call (the mark is reset through /proc/self/clear_refs), so native
allocations count too. The output is 8 * 8 bytes per pair. Times come from
one process that runs the three pipelines in interleaved rounds and keeps
the best round of each.

    .venv/bin/python bench/bench_features.py            # 1,000,000 pairs
    .venv/bin/python bench/bench_features.py --quick    # 100,000 pairs, 1 run
"""

import argparse
import ctypes
import gc
import hashlib
import json
import os
import subprocess
import sys
import time

import numpy as np

STRING_METRICS = ["jaro_winkler", "levenshtein", "damerau_levenshtein", "exact", "token_sort_ratio", "jaccard"]
NUMERIC_METRICS = ["numeric", "numeric_similarity"]
BATCH_OF = {
    "jaro_winkler": "jaro_winkler_batch",
    "levenshtein": "levenshtein_batch",
    "damerau_levenshtein": "damerau_levenshtein_batch",
    "exact": "exact_match_batch",
    "token_sort_ratio": "token_sort_ratio_batch",
    "jaccard": "jaccard_batch",
    "numeric": "numeric_distance_batch",
    "numeric_similarity": "numeric_similarity_batch",
}
MODES = ["feature_matrix", "batch_calls", "rapidfuzz"]

SYLLABLES = ["an", "bel", "car", "do", "el", "fa", "gio", "han", "is", "jo", "ka", "li", "mar", "no",
             "ol", "pe", "qui", "ro", "sa", "te", "ul", "vi", "wen", "xa", "yo", "zé", "ñu", "ös"]


def make_data(n_pairs, seed=1234):
    """Record-like string pairs (names, streets, cities...) with typos, and
    two numeric columns (amounts and day numbers) with a few gaps."""
    rng = np.random.default_rng(seed)
    syl = np.array(SYLLABLES, dtype=object)

    def word(k):
        parts = syl[rng.integers(0, len(syl), size=(k, 3))]
        lens = rng.integers(1, 4, size=k)
        return ["".join(p[:l]).capitalize() for p, l in zip(parts, lens)]

    def typo(s):
        if len(s) < 2:
            return s + "x"
        i = int(rng.integers(0, len(s) - 1))
        kind = int(rng.integers(0, 3))
        if kind == 0:
            return s[:i] + s[i + 1] + s[i] + s[i + 2:]
        if kind == 1:
            return s[:i] + s[i + 1:]
        return s[:i] + "e" + s[i + 1:]

    n_pool = 20_000
    pools = []
    for col in range(len(STRING_METRICS)):
        words = [" ".join(t) for t in zip(word(n_pool), word(n_pool), *( [word(n_pool)] if col % 2 else []))]
        variants = [typo(w) for w in words]
        pools.append((words, variants))

    left, right = [], []
    for words, variants in pools:
        idx = rng.integers(0, n_pool, size=n_pairs)
        kind = rng.integers(0, 10, size=n_pairs)
        other = rng.integers(0, n_pool, size=n_pairs)
        left.append([words[i] for i in idx])
        right.append([words[i] if k < 4 else variants[i] if k < 8 else words[o]
                      for i, k, o in zip(idx, kind, other)])

    nl = np.empty((2, n_pairs))
    nl[0] = np.round(rng.lognormal(5, 1.5, n_pairs), 2)
    nl[1] = rng.integers(15_000, 20_000, n_pairs)
    nr = nl * (1 + rng.normal(0, 0.05, size=nl.shape) * (rng.random(nl.shape) < 0.5))
    nl[0, rng.integers(0, n_pairs, n_pairs // 100)] = np.nan
    nr[1, rng.integers(0, n_pairs, n_pairs // 100)] = 0.0
    return left, right, nl, nr


def run_feature_matrix(m, left, right, nl, nr):
    n = nl.shape[1]
    out = m.compute_feature_matrix(left, right, STRING_METRICS, nl, nr, NUMERIC_METRICS, n)
    return out.reshape(n, len(STRING_METRICS) + len(NUMERIC_METRICS))


def run_batch_calls(m, left, right, nl, nr):
    cols = [getattr(m, BATCH_OF[s])(left[i], right[i]) for i, s in enumerate(STRING_METRICS)]
    for r, s in enumerate(NUMERIC_METRICS):
        cols.append(getattr(m, BATCH_OF[s])(nl[r].tolist(), nr[r].tolist()))
    return np.array(cols, dtype=np.float64).T.copy()


def run_rapidfuzz(_m, left, right, nl, nr):
    from rapidfuzz import fuzz
    from rapidfuzz.distance import DamerauLevenshtein, JaroWinkler, Levenshtein
    from rapidfuzz.process import cpdist

    def rf(scorer, i, scale=1.0):
        return cpdist(left[i], right[i], scorer=scorer, workers=-1, dtype=np.float64) / scale

    def jaccard(a, b):
        sa, sb = set(a.split()), set(b.split())
        if not sa and not sb:
            return 1.0
        return len(sa & sb) / len(sa | sb)

    cols = [
        rf(JaroWinkler.normalized_similarity, 0),
        rf(Levenshtein.normalized_similarity, 1),
        rf(DamerauLevenshtein.normalized_similarity, 2),
        np.fromiter((1.0 if a == b else 0.0 for a, b in zip(left[3], right[3])), np.float64, len(left[3])),
        rf(fuzz.token_sort_ratio, 4, 100.0),
        np.fromiter((jaccard(a, b) for a, b in zip(left[5], right[5])), np.float64, len(left[5])),
    ]
    a, b = nl[0], nr[0]
    cols.append(np.abs(a - b))
    a, b = nl[1], nr[1]
    mx = np.fmax(np.abs(a), np.abs(b))
    with np.errstate(divide="ignore", invalid="ignore"):
        s = np.fmax(1.0 - np.abs(a - b) / mx, 0.0)
    cols.append(np.where(mx == 0.0, 1.0, s))
    return np.column_stack(cols)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def run_conversion_only(m, left, right, nl, nr):
    """Converts every argument as compute_feature_matrix does, then stops at
    the column-length check: the memory of the converted strings alone."""
    try:
        m.compute_feature_matrix(left, right, STRING_METRICS, nl, nr, NUMERIC_METRICS, nl.shape[1] + 1)
    except ValueError:
        return np.zeros(0)
    raise AssertionError("expected the column-length check to fail")


RUNNERS = {"feature_matrix": run_feature_matrix, "batch_calls": run_batch_calls, "rapidfuzz": run_rapidfuzz,
           "conversion_only": run_conversion_only}


def memory_worker(mode, n_pairs):
    """One call in a fresh process: peak resident memory above the start."""
    import _corvane_rs as m

    left, right, nl, nr = make_data(n_pairs)
    if mode == "rapidfuzz":
        import rapidfuzz.process  # noqa: F401  (import cost is not part of the call)
    string_bytes = sum(len(s.encode()) + 8 for col in left + right for s in col)
    gc.collect()
    # Hand freed heap back to the system first, so the call cannot hide its
    # allocations in resident pages left over from building the data.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    base = status_kib("VmRSS")
    out = RUNNERS[mode](m, left, right, nl, nr)
    peak = status_kib("VmHWM") - base
    digest = hashlib.sha1(np.ascontiguousarray(out).tobytes()).hexdigest()[:12]
    print(json.dumps({"peak_bytes": peak * 1024, "string_bytes": string_bytes, "digest": digest}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="100,000 pairs, one round")
    ap.add_argument("--pairs", type=int, default=None)
    ap.add_argument("--repeat", type=int, default=None, help="timing rounds (best is kept)")
    ap.add_argument("--memory-worker", choices=list(RUNNERS), help=argparse.SUPPRESS)
    args = ap.parse_args()
    n_pairs = args.pairs or (100_000 if args.quick else 1_000_000)
    repeat = args.repeat or (1 if args.quick else 3)
    if args.memory_worker:
        memory_worker(args.memory_worker, n_pairs)
        return

    mem = {}
    for mode in MODES + ["conversion_only"]:
        cmd = [sys.executable, os.path.abspath(__file__), "--memory-worker", mode, "--pairs", str(n_pairs)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            sys.exit(f"{mode} failed:\n{proc.stderr}")
        mem[mode] = json.loads(proc.stdout.strip().splitlines()[-1])

    # Timing: all pipelines in this one process, interleaved round by round
    # so a noisy neighbour slows them alike; best round of each is kept.
    import _corvane_rs as m
    import rapidfuzz.process  # noqa: F401

    data = make_data(n_pairs)
    times = {mode: [] for mode in MODES}
    for _ in range(repeat):
        for mode in MODES:
            gc.collect()
            t0 = time.perf_counter()
            out = RUNNERS[mode](m, *data)
            times[mode].append(time.perf_counter() - t0)
            del out
    best = {mode: min(ts) for mode, ts in times.items()}

    out_bytes = n_pairs * (len(STRING_METRICS) + len(NUMERIC_METRICS)) * 8
    fm = mem["feature_matrix"]
    print(f"{n_pairs:,} pairs, {len(STRING_METRICS)} string + {len(NUMERIC_METRICS)} numeric comparisons "
          f"({', '.join(STRING_METRICS + NUMERIC_METRICS)}); best of {repeat} interleaved rounds; "
          f"{os.cpu_count()} CPUs")
    print(f"output {out_bytes / 2**20:.1f} MiB; string payload (UTF-8 bytes + 8-byte offsets) "
          f"{fm['string_bytes'] / 2**20:.1f} MiB\n")
    print(f"{'pipeline':<16}{'time s':>9}{'x fm':>8}{'peak MiB':>11}{'peak/out':>10}   digest")
    for mode in MODES:
        r = mem[mode]
        print(f"{mode:<16}{best[mode]:>9.3f}{best[mode] / best['feature_matrix']:>8.2f}"
              f"{r['peak_bytes'] / 2**20:>11.1f}{r['peak_bytes'] / out_bytes:>10.2f}   {r['digest']}")
    conv = mem["conversion_only"]["peak_bytes"]
    extra = fm["peak_bytes"] - conv
    print(f"\nargument conversion alone (a call stopped by validation): {conv / 2**20:.1f} MiB")
    print(f"feature_matrix peak beyond its converted arguments: {extra / 2**20:.1f} MiB = "
          f"{extra / out_bytes:.2f} x output")
    same = mem["feature_matrix"]["digest"] == mem["batch_calls"]["digest"]
    print(f"feature_matrix and batch_calls bit-identical: {'yes' if same else 'NO'}")


if __name__ == "__main__":
    main()
