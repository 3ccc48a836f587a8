"""Columns read in place against their peers, ratios measured in one run.

    .venv/bin/pip install -r requirements-bench.txt
    .venv/bin/python bench/bench_columns.py              # 1,000,000 pairs
    .venv/bin/python bench/bench_columns.py --pairs 100000 --reps 3

Rows (ratio = our time / the other's; below 1.0 means ours is faster):
  conversion   ns per string of argument conversion alone (a call whose
               lengths mismatch fails right after converting its left
               argument), against the minimal C loop of bench_list_path.py
               (str bytes copied into one buffer with an offset table,
               items fetched 16 ahead), compiled here;
  pandas       a pandas 3 Arrow-backed str column passed directly against
               .tolist() and the list path;
  polars-ds    one feature column from pyarrow arrays against polars-ds on
               a polars DataFrame of the same pairs (parallel=True);
  splink       6 string + 2 numeric comparisons of one Arrow table: our
               feature matrix against DuckDB SQL over the same table;
  speed-up     2 workers over 1, Arrow input, 300-character pairs (child
               processes with RAYON_NUM_THREADS=1 and 2);
  memory       peak resident growth of an Arrow-input feature matrix call
               over its output size (fresh child process).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _corvane_rs as M  # noqa: E402
from bench_list_path import build_floor  # noqa: E402
from data import make_pairs  # noqa: E402


STRING_FIELDS = [("given", "jaro_winkler"), ("surname", "jaro_winkler"), ("name", "levenshtein"),
                 ("street", "damerau_levenshtein"), ("suburb", "exact"), ("postcode", "exact")]
NUMERIC_FIELDS = [("dob_days", "date_distance"), ("street_no", "numeric_similarity")]


def best_of(fns, reps):
    """Runs the callables alternately reps times; best time of each."""
    best = [float("inf")] * len(fns)
    for r in range(reps):
        order = range(len(fns)) if r % 2 == 0 else reversed(range(len(fns)))
        for k in order:
            t0 = time.perf_counter()
            fns[k]()
            best[k] = min(best[k], time.perf_counter() - t0)
    return best


def convert_only(column):
    def run():
        try:
            M.exact_match_batch(column, [])
        except ValueError:
            pass
    return run


def table_of(pairs):
    cols = {}
    for f, _ in STRING_FIELDS:
        cols["l_" + f], cols["r_" + f] = (pa.array(side, pa.string()) for side in pairs.strings[f])
    for f, _ in NUMERIC_FIELDS:
        cols["l_" + f], cols["r_" + f] = (pa.array(side) for side in pairs.numbers[f])
    return pa.table(cols)


def ours_features(t, fields=STRING_FIELDS, numeric=NUMERIC_FIELDS):
    nl = np.vstack([t["l_" + f].to_numpy() for f, _ in numeric]) if numeric else np.zeros((0, t.num_rows))
    nr = np.vstack([t["r_" + f].to_numpy() for f, _ in numeric]) if numeric else np.zeros((0, t.num_rows))
    return M.compute_feature_matrix([t["l_" + f] for f, _ in fields], [t["r_" + f] for f, _ in fields],
                                    [m for _, m in fields], nl, nr, [m for _, m in numeric], t.num_rows)


def duckdb_sql():
    def lev(fn, a, b):
        return f"1.0 - {fn}({a}, {b}) / greatest(length({a}), length({b}), 1)"
    exprs = []
    for f, m in STRING_FIELDS:
        a, b = "l_" + f, "r_" + f
        exprs.append({"jaro_winkler": f"jaro_winkler_similarity({a}, {b})", "levenshtein": lev("levenshtein", a, b),
                      "damerau_levenshtein": lev("damerau_levenshtein", a, b),
                      "exact": f"({a} = {b})::DOUBLE"}[m])
    exprs.append("abs(l_dob_days - r_dob_days)")
    exprs.append("CASE WHEN greatest(abs(l_street_no), abs(r_street_no)) = 0 THEN 1.0 ELSE greatest(0.0, 1.0 - "
                 "abs(l_street_no - r_street_no) / greatest(abs(l_street_no), abs(r_street_no))) END")
    return "SELECT " + ", ".join(exprs) + " FROM t"


def conversion_rows(pairs, n, reps, out):
    import pandas as pd
    import polars as pl
    floor = build_floor()
    rng = np.random.default_rng(5)
    ascii_ = [f"{x} Smith St" for x in rng.integers(10**7, 10**8, n).tolist()]
    latin = [f"{x} Müller Straße" for x in rng.integers(10**7, 10**8, n).tolist()]
    cjk = [f"{x} 東京都港区" for x in rng.integers(10**7, 10**8, n).tolist()]
    forms = {"list ascii": ascii_, "list latin-1": latin, "list cjk": cjk,
             "pyarrow utf8": pa.array(ascii_), "polars (utf8_view)": pl.Series(ascii_),
             "pandas str (large_utf8)": pd.Series(ascii_, dtype="str"),
             "numpy StringDType": np.array(ascii_, dtype=np.dtypes.StringDType()), "numpy <U": np.array(ascii_)}
    names = list(forms)
    fns = [convert_only(forms[k]) for k in names]
    if floor:
        names.append("minimal copy loop")
        fns.append(lambda: floor.copy(ascii_, True))
    times = best_of(fns, reps)
    ns = {k: t / n * 1e9 for k, t in zip(names, times)}
    out["conversion_ns_per_string"] = ns
    print(f"conversion, {n:,} strings (ns per string)")
    for k in names:
        extra = f"  {ns[k] / ns['minimal copy loop']:.2f}x the copy loop" if floor and k.startswith("list") else ""
        print(f"  {k:26s} {ns[k]:7.2f}{extra}")

    # pandas 3: Arrow-backed str columns straight in, or through .tolist().
    left, right = (pd.Series(side, dtype="str") for side in pairs.strings["name"])
    for fn in ("exact_match_batch", "jaro_winkler_batch"):
        f = getattr(M, fn)
        direct, listed = best_of([lambda: f(left, right), lambda: f(left.tolist(), right.tolist())], reps)
        out[f"pandas_{fn}"] = {"direct": direct, "tolist": listed, "speedup": listed / direct}
        print(f"pandas str, {fn}: direct {direct:.3f}s, .tolist() {listed:.3f}s -> {listed / direct:.2f}x faster")


def peer_rows(pairs, table, reps, out):
    import polars as pl
    try:
        import polars_ds as pds
    except ImportError:
        pds = None
    n = table.num_rows
    if pds is not None:
        df = pl.from_arrow(table.select(["l_name", "r_name"]))
        for metric, expr in (("levenshtein", pds.str_leven("l_name", "r_name", parallel=True, return_sim=True)),
                             ("jaro_winkler", pds.str_jw("l_name", "r_name", parallel=True)),
                             ("damerau_levenshtein",
                              pds.str_d_leven("l_name", "r_name", parallel=True, return_sim=True))):
            ours, peer = best_of([lambda: ours_features(table, [("name", metric)], []),
                                  lambda: df.select(expr).to_series().to_numpy()], reps)
            out[f"polars_ds_{metric}"] = {"ours": ours, "peer": peer, "ratio": ours / peer}
            print(f"polars-ds {metric:20s} ours {ours / n * 1e9:6.1f} ns/pair, peer {peer / n * 1e9:6.1f} "
                  f"-> ratio {ours / peer:.2f}")
    else:
        print("polars-ds not installed: row skipped")
    try:
        import duckdb
    except ImportError:
        print("duckdb not installed: row skipped")
        return
    con = duckdb.connect()
    con.register("t", table)
    sql = duckdb_sql()
    ours, peer = best_of([lambda: ours_features(table), lambda: con.execute(sql).fetchnumpy()], reps)
    out["splink_duckdb"] = {"ours": ours, "peer": peer, "ratio": ours / peer}
    print(f"splink row (6 string + 2 numeric) ours {ours:.3f}s, duckdb {peer:.3f}s -> ratio {ours / peer:.2f}")


def child(mode, n):
    if mode == "speedup":
        rng = np.random.default_rng(11)
        alphabet = np.array(list("abcdefghijklmnopqrstuvwxyz "))
        base = ["".join(alphabet[rng.integers(0, 27, 300)]) for _ in range(n)]
        edited = [s[:k] + "x" + s[k + 1:] for s, k in zip(base, rng.integers(0, 300, n).tolist())]
        left, right = pa.array(base), pa.array(edited)
        res = {}
        for fn in ("levenshtein_batch", "jaro_winkler_batch"):
            res[fn] = best_of([lambda: getattr(M, fn)(left, right)], 3)[0]
        print(json.dumps(res))
    else:
        # The table comes from a file, so no freed memory of building it is
        # lying around resident for the call to reuse unseen.
        with pa.OSFile(os.environ["CORVANE_BENCH_TABLE"]) as f:
            table = pa.ipc.open_file(f).read_all()
        nl = np.vstack([table["l_" + f].to_numpy() for f, _ in NUMERIC_FIELDS])
        nr = np.vstack([table["r_" + f].to_numpy() for f, _ in NUMERIC_FIELDS])
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark to the current resident size
        base = int(open("/proc/self/status").read().split("VmRSS:")[1].split()[0])
        out = M.compute_feature_matrix([table["l_" + f] for f, _ in STRING_FIELDS],
                                       [table["r_" + f] for f, _ in STRING_FIELDS], [m for _, m in STRING_FIELDS],
                                       nl, nr, [m for _, m in NUMERIC_FIELDS], table.num_rows)
        peak = int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
        print(json.dumps({"peak_bytes": (peak - base) * 1024, "out_bytes": out.nbytes}))


def run_child(mode, n, env_extra=None):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update(env_extra or {})
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", mode, "--pairs", str(n)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pairs", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--child")
    args = ap.parse_args()
    if args.child:
        return child(args.child, args.pairs)
    out = {"pairs": args.pairs, "load_average": os.getloadavg()[0]}
    print(f"{args.pairs:,} pairs, load average {out['load_average']:.1f}")
    pairs = make_pairs(args.pairs)
    table = table_of(pairs)
    conversion_rows(pairs, args.pairs, args.reps, out)
    peer_rows(pairs, table, args.reps, out)

    n300 = max(1000, args.pairs // 10)  # long enough calls: 300-char pairs take ~150 ns each
    one, two = {}, {}
    for r in range(2):  # alternate the two children
        for label, store in (("1", one), ("2", two)) if r == 0 else (("2", two), ("1", one)):
            for fn, t in run_child("speedup", n300, {"RAYON_NUM_THREADS": label}).items():
                store[fn] = min(store.get(fn, float("inf")), t)
    out["speedup_300_chars"] = {fn: one[fn] / two[fn] for fn in one}
    for fn in one:
        print(f"speed-up 2 workers over 1, {n300:,} 300-char Arrow pairs, {fn}: {one[fn] / two[fn]:.2f}")

    with tempfile.NamedTemporaryFile(suffix=".arrow") as tmp:
        with pa.OSFile(tmp.name, "wb") as f, pa.ipc.new_file(f, table.schema) as writer:
            writer.write_table(table)
        mem = run_child("memory", args.pairs, {"CORVANE_BENCH_TABLE": tmp.name})
    out["memory"] = dict(mem, ratio=mem["peak_bytes"] / mem["out_bytes"])
    print(f"feature matrix from Arrow: peak growth {mem['peak_bytes'] / 2**20:.1f} MiB, output "
          f"{mem['out_bytes'] / 2**20:.1f} MiB -> {out['memory']['ratio']:.2f}x the output")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
