"""Every function of _corvane_rs beside its best peer, in one run, one table.

    .venv/bin/python bench/run_all.py --quick    # 20,000 pairs / rows, under a minute
    .venv/bin/python bench/run_all.py            # 1,000,000 pairs / rows, 10-15 minutes
    .venv/bin/python bench/run_all.py --compare bench/results/OLD.json

The module is imported as installed in the environment (``bash
scripts/test.sh`` installs it into .venv); set PYTHONPATH to a build
directory to measure a development build instead.

Each row runs this module and its peer on the same inputs, interleaved
(ours, peer, peer, ours, ...), and keeps the best and the median of the
runs; the ratio is ours / peer, so below 1.0 means this module is faster.
Every row also compares the two outputs: "identical" means bit for bit;
where the peer computes another definition the row says so and only the
speed is compared. The scorers' models are fitted on separate pairs from
the same generator and scored on the benchmark's feature matrix.

Besides the table the run reports the conversion cost per string and per
float element, the cost of a call on 2 pairs, the speed-up of the default
pool over one worker (two child processes, RAYON_NUM_THREADS=1 and unset,
driven alternately), and the feature matrix's peak memory (resident-set
high-water mark in a fresh child process) beside its output size.

Results go to bench/results/<timestamp>-<mode>.json (and to --json PATH);
--compare OLD.json prints the old and new ratios side by side, and
--compare OLD.json NEW.json compares two saved runs without measuring.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import gc
import importlib.metadata
import json
import math
import operator
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from collections import Counter

import numpy as np

warnings.filterwarnings("ignore", category=FutureWarning, module="sklearn")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(ROOT, "python"))

from data import make_pairs, short_strings  # noqa: E402

try:
    import _corvane_rs as M
except ImportError:  # reported in the table as "not available"
    M = None

QUICK = {"pairs": 20_000, "rows": 20_000, "train": 1_500, "svm_train": 500, "reps": 3, "budget": 4.0,
         "min_spent": 0.25, "call_time": 0.05}
FULL = {"pairs": 1_000_000, "rows": 1_000_000, "train": 10_000, "svm_train": 2_000, "reps": 3, "budget": 30.0,
        "min_spent": 2.0}

# Feature-matrix comparisons: (string field, metric) then (numeric field, metric).
FM_STRING = [("given", "jaro_winkler"), ("surname", "jaro_winkler"), ("surname", "damerau_levenshtein"),
             ("street", "levenshtein"), ("postcode", "exact"), ("address", "token_sort_ratio")]
FM_NUMERIC = [("dob_days", "date_distance"), ("street_no", "numeric_similarity")]


_T0 = time.perf_counter()


def log(msg):
    print(f"[{time.perf_counter() - _T0:6.1f}s] {msg}", file=sys.stderr, flush=True)


def version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


# ---------------------------------------------------------------- timing


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        out = fn()
        return time.perf_counter() - t0, out
    finally:
        gc.enable()


def interleaved(ours, peer, reps, budget, min_spent=0.5, max_reps=30):
    """Runs ours and peer alternately (the order flips every round): at
    least twice each and reps times unless budget seconds are spent first;
    fast calls go on (up to max_reps) until min_spent seconds are spent."""
    t_ours, t_peer, out_ours, out_peer = [], [], None, None
    spent = 0.0
    for r in range(max_reps):
        if r >= 2 and (spent > budget or (r >= reps and spent >= min_spent)):
            break
        order = ((0, ours), (1, peer)) if r % 2 == 0 else ((1, peer), (0, ours))
        for which, fn in order:
            dt, out = timed(fn)
            spent += dt
            if which == 0:
                t_ours.append(dt)
                out_ours = out
            else:
                t_peer.append(dt)
                out_peer = out
            del out
    return t_ours, t_peer, out_ours, out_peer


def agreement(ours, peer) -> str:
    a = np.asarray(ours, dtype=np.float64).ravel()
    b = np.asarray(peer, dtype=np.float64).ravel()
    if a.shape != b.shape:
        return f"output sizes differ ({a.size} vs {b.size})"
    differ = (a != b) & ~(np.isnan(a) & np.isnan(b))
    k = int(differ.sum())
    if k == 0:
        return "identical"
    d = np.abs(a[differ] - b[differ])
    worst = float(np.nanmax(d)) if np.any(~np.isnan(d)) else float("nan")
    return f"differs in {k} of {a.size} ({k / a.size:.2%}), max |diff| {worst:.3g}"


# ---------------------------------------------------------------- rows


class Row:
    def __init__(self, function, data, peer, n, goal, ours, peer_fn, definition="same", needs=None):
        self.function = function
        self.data = data
        self.peer = peer
        self.n = n
        self.goal = goal
        self.ours = ours
        self.peer_fn = peer_fn
        self.definition = definition  # "same", or why the peer's numbers differ
        self.needs = needs or [function]
        self.conv = None  # same inputs through a trivial kernel: the conversion and result cost
        self.peer_setup = None  # one-off seconds the peer needs before its first call (a table load)
        self.unavailable = None  # why the peer cannot run, when peer_fn is None
        self.result = {}

    @property
    def key(self):
        return f"{self.function} | {self.data} | {self.peer.split(' ')[0]}"

    def run(self, reps, budget, min_spent=0.5):
        missing = [f for f in self.needs if M is None or not hasattr(M, f)]
        res = {"key": self.key, "function": self.function, "data": self.data, "peer": self.peer,
               "n": self.n, "goal": self.goal, "definition": self.definition}
        if missing:
            res["status"] = "not available"
            res["note"] = "not registered: " + ", ".join(missing)
            self.result = res
            return res
        if self.peer_fn is None:
            res["status"] = "not available"
            res["note"] = self.unavailable or "peer not installed: pip install -r requirements-bench.txt"
            self.result = res
            return res
        try:
            t_o, t_p, out_o, out_p = interleaved(self.ours, self.peer_fn, reps, budget, min_spent)
        except Exception as e:  # a function that exists but is not working yet
            res["status"] = "not available"
            res["note"] = f"{type(e).__name__}: {e}"[:120]
            self.result = res
            return res
        res.update({
            "ours_times": t_o, "peer_times": t_p,
            "ours_best": min(t_o), "peer_best": min(t_p),
            "ours_median": statistics.median(t_o), "peer_median": statistics.median(t_p),
        })
        res["ratio"] = res["ours_best"] / res["peer_best"]
        res["ratio_median"] = res["ours_median"] / res["peer_median"]
        res["agreement"] = agreement(out_o, out_p)
        if self.peer_setup is not None:
            res["peer_setup"] = self.peer_setup
            res["ratio_with_setup"] = res["ours_best"] / (res["peer_best"] + self.peer_setup)
        del out_o, out_p
        if self.conv is not None:
            t_conv = min(timed(self.conv)[0] for _ in range(3))
            res["conversion_share"] = min(t_conv / res["ours_best"], 1.0)
        if self.goal is None:
            res["status"] = "info"
        else:
            res["status"] = "ok" if res["ratio"] < self.goal else "MISS"
        self.result = res
        return res


def rf_peer(scorer, left, right, scale=1.0):
    from rapidfuzz.process import cpdist

    def run():
        out = cpdist(left, right, scorer=scorer, workers=-1, dtype=np.float64)
        return out / scale if scale != 1.0 else out
    return run


def sorted_join(s):
    return " ".join(sorted(s.split()))


def py_jaccard(left, right):
    sets = zip(map(set, map(str.split, left)), map(set, map(str.split, right)))
    return [len(a & b) / len(a | b) if (a or b) else 1.0 for a, b in sets]


def py_cosine(left, right):
    out = []
    append = out.append
    sqrt = math.sqrt
    for ca, cb in zip(map(Counter, map(str.split, left)), map(Counter, map(str.split, right))):
        if not ca or not cb:
            append(1.0 if not ca and not cb else 0.0)
            continue
        dot = 0.0
        for t, c in ca.items():
            d = cb.get(t)
            if d:
                dot += c * d
        nb = float(sum(c * c for c in cb.values()))
        na = float(sum(c * c for c in ca.values()))
        append(dot / (sqrt(nb) * sqrt(na)))
    return out


def np_numeric_similarity(a, b):
    m = np.fmax(np.abs(a), np.abs(b))
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        s = np.fmax(1.0 - np.abs(a - b) / m, 0.0)
    return np.where(m == 0.0, 1.0, s)


class DuckTables:
    """Pairs loaded once into DuckDB tables; the load time is reported apart."""

    def __init__(self):
        import duckdb

        self.con = duckdb.connect()
        self.load_seconds = {}

    def table(self, name, left, right):
        if name not in self.load_seconds:
            t0 = time.perf_counter()
            self.con.register("src", {"a": np.array(left, dtype=object), "b": np.array(right, dtype=object)})
            self.con.execute(f"CREATE TABLE {name} AS SELECT a, b FROM src")
            self.con.unregister("src")
            self.load_seconds[name] = time.perf_counter() - t0
        return name

    def query(self, sql):
        def run():
            return self.con.execute(sql).fetchnumpy()["s"]
        return run


def edit_sql(fn, table):
    return (f"SELECT CASE WHEN greatest(length(a), length(b)) = 0 THEN 1.0 "
            f"ELSE 1.0 - {fn}(a, b)::DOUBLE / greatest(length(a), length(b)) END AS s FROM {table}")


class Models:
    """Models fitted on separate pairs; exported with the project's helper."""

    def __init__(self, cfg, seed=11):
        from sklearn.ensemble import GradientBoostingClassifier, RandomForestClassifier
        from sklearn.linear_model import LogisticRegression
        from sklearn.svm import SVC

        train = make_pairs(cfg["train"], seed=seed)
        X = model_features(peer_feature_matrix(train))
        # Clerical labels are never perfect: 4% are flipped, which also gives
        # the SVM a realistic number of support vectors.
        y = train.is_match ^ (np.random.default_rng(seed).random(len(train.is_match)) < 0.04)
        self.rf = RandomForestClassifier(n_estimators=100, max_depth=12, n_jobs=-1, random_state=0).fit(X, y)
        self.gb = GradientBoostingClassifier(n_estimators=100, random_state=0).fit(X, y)
        self.lr = LogisticRegression(max_iter=1000).fit(X, y)
        k = cfg["svm_train"]
        self.svc = SVC(kernel="rbf", probability=True, random_state=0).fit(X[:k], y[:k])
        import corvane_export as ex

        self.rf_params = ex.export_random_forest(self.rf)
        self.gb_params = ex.export_gradient_boosting(self.gb)
        self.lr_params = ex.export_logistic_regression(self.lr)
        self.svm_params = ex.export_svm(self.svc)

    def svm_definition(self, X):
        """scikit-learn's predict_proba is not exactly Platt's sigmoid of its
        own decision function; says by how much, and how this module's
        scores compare with that sigmoid."""
        p = self.svm_params
        platt = 1.0 / (np.exp(self.svc.decision_function(X) * p["prob_a"] - p["prob_b"]) + 1.0)
        gap = float(np.max(np.abs(self.svc.predict_proba(X)[:, 1] - platt))) if len(X) else 0.0
        ours = "-"
        if M is not None and hasattr(M, "predict_svm_batch"):
            d = np.abs(M.predict_svm_batch(X, **p) - platt)
            ours = f"max |diff| {float(np.max(d)) if len(d) else 0.0:.2g}"
        return (f"other: sklearn predict_proba is {gap:.2g} from Platt(probA_, probB_, decision_function); "
                f"ours vs that Platt: {ours} (first {len(X)} rows)")

    def describe(self):
        nodes = len(self.rf_params["values"])
        depth = max(e.tree_.max_depth for e in self.rf.estimators_)
        return (f"forest 100 trees, depth <= {depth}, {nodes} nodes; gbdt 100 trees depth 3; "
                f"svm {len(self.svm_params['dual_coef'])} support vectors; {len(FM_STRING) + len(FM_NUMERIC)} features")


def fm_inputs(p):
    sl = [p.strings[f][0] for f, _ in FM_STRING]
    sr = [p.strings[f][1] for f, _ in FM_STRING]
    nl = np.ascontiguousarray(np.stack([p.numbers[f][0] for f, _ in FM_NUMERIC]))
    nr = np.ascontiguousarray(np.stack([p.numbers[f][1] for f, _ in FM_NUMERIC]))
    return sl, sr, [m for _, m in FM_STRING], nl, nr, [m for _, m in FM_NUMERIC]


def ours_feature_matrix(p):
    sl, sr, sm, nl, nr, nm = fm_inputs(p)
    n = p.n

    def run():
        return M.compute_feature_matrix(sl, sr, sm, nl, nr, nm, n).reshape(n, len(sm) + len(nm))
    return run


def peer_feature_matrix(p):
    """The same columns with RapidFuzz cpdist (workers=-1), plain Python and
    NumPy: the way the module's caller would build them without it."""
    from rapidfuzz.distance import DamerauLevenshtein, JaroWinkler, Levenshtein
    from rapidfuzz.process import cpdist

    scorers = {"jaro_winkler": JaroWinkler.normalized_similarity, "levenshtein": Levenshtein.normalized_similarity,
               "damerau_levenshtein": DamerauLevenshtein.normalized_similarity}
    out = np.empty((p.n, len(FM_STRING) + len(FM_NUMERIC)))
    for j, (f, metric) in enumerate(FM_STRING):
        a, b = p.strings[f]
        if metric in scorers:
            out[:, j] = cpdist(a, b, scorer=scorers[metric], workers=-1, dtype=np.float64)
        elif metric == "exact":
            out[:, j] = np.fromiter(map(operator.eq, a, b), dtype=np.float64, count=p.n)
        elif metric == "token_sort_ratio":
            out[:, j] = cpdist(list(map(sorted_join, a)), list(map(sorted_join, b)),
                               scorer=Levenshtein.normalized_similarity, workers=-1, dtype=np.float64)
        else:
            raise ValueError(metric)
    for r, (f, metric) in enumerate(FM_NUMERIC):
        a, b = p.numbers[f]
        j = len(FM_STRING) + r
        out[:, j] = np.abs(a - b) if metric in ("numeric", "date_distance") else np_numeric_similarity(a, b)
    return out


def model_features(fm):
    """Scorer input from a feature matrix: finite, in [0, 1] (the date
    distance is capped at ten years and scaled; a missing date counts as far),
    and rounded to float32 values, because scikit-learn's trees compare
    float32 copies of the features: so both sides take the same branches and
    their outputs can be compared."""
    X = np.array(fm, dtype=np.float64, copy=True)
    j = len(FM_STRING)
    d = X[:, j]
    d[np.isnan(d)] = 3650.0
    X[:, j] = np.minimum(d, 3650.0) / 3650.0
    return np.ascontiguousarray(X.astype(np.float32).astype(np.float64))


def build_rows(cfg, pairs, X, models, duck):
    n = pairs.n
    S = pairs.strings
    rows = []
    rfv = f"rapidfuzz {version('rapidfuzz')}"
    from rapidfuzz import fuzz
    from rapidfuzz.distance import DamerauLevenshtein, JaroWinkler, Levenshtein

    edit = [("jaro_winkler_batch", JaroWinkler), ("levenshtein_batch", Levenshtein),
            ("damerau_levenshtein_batch", DamerauLevenshtein)]
    for field in ("name", "address"):
        a, b = S[field]
        for fn, mod in edit:
            rows.append(Row(fn, field, f"{rfv} cpdist {mod.__name__}.normalized_similarity workers=-1", n, 1.0,
                            (lambda fn=fn, a=a, b=b: getattr(M, fn)(a, b)),
                            rf_peer(mod.normalized_similarity, a, b)))
    dv = f"duckdb {version('duckdb')}"
    for field in ("name", "address"):
        a, b = S[field]
        t = duck.table(f"pairs_{field}", a, b) if duck is not None else None
        for fn, sql in (("jaro_winkler_batch", f"SELECT jaro_winkler_similarity(a, b) AS s FROM {t}"),
                        ("levenshtein_batch", edit_sql("levenshtein", t)),
                        ("damerau_levenshtein_batch", edit_sql("damerau_levenshtein", t))):
            rows.append(Row(fn, field, f"{dv} SQL over a loaded table", n, 0.5,
                            (lambda fn=fn, a=a, b=b: getattr(M, fn)(a, b)),
                            duck.query(sql) if duck is not None else None))
            if duck is not None:
                rows[-1].peer_setup = duck.load_seconds[t]

    a, b = S["address"]
    rows.append(Row("jaccard_batch", "address", "python sets, map + list comp", n, 0.1,
                    lambda: M.jaccard_batch(a, b), lambda: py_jaccard(a, b),
                    definition="same (str.split also splits at U+001C..U+001F)"))
    rows.append(Row("cosine_batch", "address", "python Counter, map + loop", n, 0.1,
                    lambda: M.cosine_batch(a, b), lambda: py_cosine(a, b)))
    rows.append(Row("token_sort_ratio_batch", "address", f"python sort+join, {rfv} cpdist Levenshtein", n, 0.1,
                    lambda: M.token_sort_ratio_batch(a, b),
                    lambda: __import__("rapidfuzz").process.cpdist(
                        list(map(sorted_join, a)), list(map(sorted_join, b)),
                        scorer=Levenshtein.normalized_similarity, workers=-1, dtype=np.float64)))
    rows.append(Row("token_sort_ratio_batch", "address", f"{rfv} cpdist fuzz.token_sort_ratio", n, None,
                    lambda: M.token_sort_ratio_batch(a, b), rf_peer(fuzz.token_sort_ratio, a, b, 100.0),
                    definition="other: Indel ratio of the sorted strings (speed only)"))
    sa, sb = S["surname"]
    try:
        from jellyfish import soundex as sx
    except ImportError:
        sx = None
    rows.append(Row("soundex_batch", "surname", f"jellyfish {version('jellyfish')} soundex, map + list comp", n, 0.1,
                    lambda: M.soundex_batch(sa, sb),
                    (lambda: [1.0 if x == y else 0.0 for x, y in zip(map(sx, sa), map(sx, sb))]) if sx else None,
                    definition="other: H/W rules, non-ASCII letters (speed only)"))
    pa, pb = S["postcode"]
    rows.append(Row("exact_match_batch", "postcode", "python list comp a == b", n, 0.1,
                    lambda: M.exact_match_batch(pa, pb),
                    lambda: [1.0 if x == y else 0.0 for x, y in zip(pa, pb)]))
    dl, dr = (c.tolist() for c in pairs.numbers["dob_days"])
    nv = f"numpy {np.__version__}"
    rows.append(Row("numeric_distance_batch", "dob_days", f"{nv} abs(a - b), lists in and out", n, 0.1,
                    lambda: M.numeric_distance_batch(dl, dr),
                    lambda: np.abs(np.array(dl) - np.array(dr)).tolist()))
    rows.append(Row("numeric_similarity_batch", "dob_days", f"{nv} fmax/where, lists in and out", n, 0.1,
                    lambda: M.numeric_similarity_batch(dl, dr),
                    lambda: np_numeric_similarity(np.array(dl), np.array(dr)).tolist()))
    rows.append(Row("compute_feature_matrix", "6 string + 2 numeric", f"{rfv} cpdist + python + numpy", n, 1.0,
                    ours_feature_matrix(pairs), lambda: peer_feature_matrix(pairs)))

    # What the same call costs with a trivial kernel: argument conversion,
    # pool dispatch and the result; the rest of the row's time is the kernel.
    for r in rows:
        if r.data in S:
            ca, cb = S[r.data]
            r.conv = (lambda ca=ca, cb=cb: M.exact_match_batch(ca, cb))
        elif r.data == "dob_days":
            r.conv = lambda: M.numeric_distance_batch(dl, dr)
    fm_conv = fm_inputs(pairs)
    rows[-1].conv = lambda: M.compute_feature_matrix(fm_conv[0], fm_conv[1], ["exact"] * len(FM_STRING), fm_conv[3],
                                                     fm_conv[4], ["numeric"] * len(FM_NUMERIC), n)

    if isinstance(models, str):  # the models could not be fitted or exported
        for fn, nr in (("predict_batch", 1.5), ("predict_forest_batch", 0.2), ("predict_gbdt_batch", 0.2),
                       ("predict_svm_batch", 0.1)):
            rows.append(Row(fn, "features", "scikit-learn", X.shape[0], nr, None, None))
            rows[-1].unavailable = models
    else:
        skv = f"scikit-learn {version('scikit-learn')}"
        lp, rp, gp, vp = models.lr_params, models.rf_params, models.gb_params, models.svm_params
        w, bias = lp["weights"], lp["bias"]
        nr = X.shape[0]
        rows.append(Row("predict_batch", "features", f"{nv} 1/(1+exp(-(X@w+b)))", nr, 1.5,
                        lambda: M.predict_batch(X, w, bias), lambda: 1.0 / (1.0 + np.exp(-(X @ w + bias))),
                        definition="same formula, numpy's summation order"))
        rows.append(Row("predict_forest_batch", "features", f"{skv} predict_proba n_jobs=-1", nr, 0.2,
                        lambda: M.predict_forest_batch(X, **rp), lambda: models.rf.predict_proba(X)[:, 1],
                        definition="same model"))
        rows.append(Row("predict_gbdt_batch", "features", f"{skv} predict_proba", nr, 0.2,
                        lambda: M.predict_gbdt_batch(X, **gp), lambda: models.gb.predict_proba(X)[:, 1],
                        definition="same model"))
        rows.append(Row("predict_svm_batch", "features", f"{skv} SVC predict_proba", nr, 0.1,
                        lambda: M.predict_svm_batch(X, **vp), lambda: models.svc.predict_proba(X)[:, 1],
                        definition=models.svm_definition(X[:20_000])))
    return rows


# ---------------------------------------------------------------- extras


def per_call(fn, min_time=0.2):
    """Mean seconds per call, best of 5 batches of about min_time each."""
    fn()
    loops = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time / 5 or loops > 1_000_000:
            break
        loops *= 4
    best = dt / loops
    for _ in range(4):
        t0 = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - t0) / loops)
    return best


def conversion_costs(cfg):
    """Call time per converted element with a trivial kernel: exact match of
    identical 8-character ASCII strings, absolute difference of floats."""
    n = cfg["pairs"]
    a, b = short_strings(n)
    fa = [float(x) for x in range(n)]
    fb = [float(x) + 0.5 for x in range(n)]
    out = {}
    if M is None:
        return out
    reps = cfg["reps"]
    t = min(timed(lambda: M.exact_match_batch(a, b))[0] for _ in range(reps))
    out["string_ns_per_element"] = t / (2 * n) * 1e9
    t = min(timed(lambda: M.numeric_distance_batch(fa, fb))[0] for _ in range(reps))
    out["float_ns_per_element"] = t / (2 * n) * 1e9
    t = min(timed(lambda: [1.0 if x == y else 0.0 for x, y in zip(a, b)])[0] for _ in range(reps))
    out["python_list_comp_exact_ns_per_pair"] = t / n * 1e9
    out["n"] = n
    return out


def call_overheads(models, min_time=0.2):
    """Seconds per call on 2 pairs (2 rows), beside a peer's call."""
    from rapidfuzz.distance import JaroWinkler
    from rapidfuzz.process import cpdist

    def pc(fn, scale=1):
        return per_call(fn, scale * min_time)

    a, b = ["Jon Smith", "Mary Jones"], ["John Smith", "Mary Jones"]
    res = []
    if M is None:
        return res
    n2 = np.array([[1.0, 2.0]])
    res.append(("exact_match_batch", pc(lambda: M.exact_match_batch(a, b)),
                "list comp", pc(lambda: [1.0 if x == y else 0.0 for x, y in zip(a, b)])))
    res.append(("exact_match_batch, 1 pair (no pool)", pc(lambda: M.exact_match_batch(a[:1], b[:1])),
                None, None))
    res.append(("jaro_winkler_batch", pc(lambda: M.jaro_winkler_batch(a, b)),
                "rapidfuzz cpdist workers=-1",
                pc(lambda: cpdist(a, b, scorer=JaroWinkler.normalized_similarity, workers=-1))))
    res.append(("compute_feature_matrix (1+1 cols)",
                pc(lambda: M.compute_feature_matrix([a], [b], ["jaro_winkler"], n2, n2, ["numeric"], 2)),
                None, None))
    if models is not None:
        X2 = np.array([[0.9, 0.8, 0.7, 0.9, 1.0, 0.8, 0.0, 1.0], [0.1, 0.2, 0.3, 0.1, 0.0, 0.2, 0.5, 0.3]])
        lp, rp = models.lr_params, models.rf_params
        res.append(("predict_batch", pc(lambda: M.predict_batch(X2, lp["weights"], lp["bias"])),
                    "numpy formula", pc(lambda: 1.0 / (1.0 + np.exp(-(X2 @ lp["weights"] + lp["bias"]))))))
        res.append(("predict_forest_batch", pc(lambda: M.predict_forest_batch(X2, **rp)),
                    "sklearn predict_proba", pc(lambda: models.rf.predict_proba(X2), 2)))
    return res


SPEEDUP_FUNCS = ["levenshtein_batch", "jaro_winkler_batch", "token_sort_ratio_batch",
                 "compute_feature_matrix", "predict_forest_batch", "predict_svm_batch"]


def child_speedup(n_pairs, model_file):
    """Child process: prepares inputs, then runs one named function per line
    of standard input and answers with its time."""
    pairs = make_pairs(n_pairs)
    z = np.load(model_file, allow_pickle=False)
    X = z["X"]
    rp = {k[3:]: z[k] for k in z.files if k.startswith("rf_")}
    vp = {k[4:]: (float(z[k]) if z[k].ndim == 0 else z[k]) for k in z.files if k.startswith("svm_")}
    a, b = pairs.strings["address"]
    na, nb = pairs.strings["name"]
    fm = ours_feature_matrix(pairs)
    calls = {
        "levenshtein_batch": lambda: M.levenshtein_batch(a, b),
        "jaro_winkler_batch": lambda: M.jaro_winkler_batch(na, nb),
        "token_sort_ratio_batch": lambda: M.token_sort_ratio_batch(a, b),
        "compute_feature_matrix": fm,
        "predict_forest_batch": lambda: M.predict_forest_batch(X, **rp),
        "predict_svm_batch": lambda: M.predict_svm_batch(X, **vp),
    }
    gc.collect()
    gc.freeze()
    print("ready", flush=True)
    for line in sys.stdin:
        name = line.strip()
        if not name:
            break
        try:
            gc.collect()
            c0 = time.process_time()
            t0 = time.perf_counter()
            calls[name]()
            dt = time.perf_counter() - t0
            cpu = time.process_time() - c0
        except Exception as e:  # not available in this build
            print(json.dumps({"error": f"{type(e).__name__}: {e}"}), flush=True)
            continue
        print(json.dumps({"t": dt, "cpu": cpu}), flush=True)


def pool_speedup(cfg, models, X):
    if M is None or models is None:
        return {}
    n_pairs = min(cfg["pairs"], 200_000)
    n_rows = min(X.shape[0], 200_000)
    tmp = tempfile.NamedTemporaryFile(suffix=".npz", delete=False)
    tmp.close()
    arrays = {"X": X[:n_rows]}
    arrays.update({"rf_" + k: v for k, v in models.rf_params.items()})
    arrays.update({"svm_" + k: np.asarray(v) for k, v in models.svm_params.items()})
    np.savez(tmp.name, **arrays)
    env_default = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env_one = dict(env_default, RAYON_NUM_THREADS="1")
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "speedup", "--pairs", str(n_pairs),
           "--model-file", tmp.name]
    procs = {}
    try:
        for label, env in (("one", env_one), ("default", env_default)):
            procs[label] = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                            env=env, bufsize=1)
        for p in procs.values():
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError("speed-up child failed to start")
        times = {f: {"one": [], "default": []} for f in SPEEDUP_FUNCS}
        busy = {f: [] for f in SPEEDUP_FUNCS}  # CPU seconds per wall second, default pool
        errors = {}
        for r in range(max(2, min(cfg["reps"], 3))):
            for f in SPEEDUP_FUNCS:
                for label in (("one", "default") if r % 2 == 0 else ("default", "one")):
                    p = procs[label]
                    p.stdin.write(f + "\n")
                    p.stdin.flush()
                    ans = json.loads(p.stdout.readline())
                    if "error" in ans:
                        errors[f] = ans["error"]
                    else:
                        times[f][label].append(ans["t"])
                        if label == "default":
                            busy[f].append((ans["cpu"], ans["t"]))
        out = {"pairs": n_pairs, "rows": n_rows, "functions": {}, "load_average": os.getloadavg()[0]}
        for f in SPEEDUP_FUNCS:
            t = times[f]
            if f in errors or not t["one"] or not t["default"]:
                out["functions"][f] = {"error": errors.get(f, "no result")}
                continue
            out["functions"][f] = {"one_worker": min(t["one"]), "default": min(t["default"]),
                                   "speedup": min(t["one"]) / min(t["default"]),
                                   "cpu_per_wall": None}
            # CPU clocks of other threads can lag by a scheduler tick: only
            # long enough calls give a usable figure.
            cpu, wall = (sum(x) for x in zip(*busy[f]))
            if wall >= 0.25:
                out["functions"][f]["cpu_per_wall"] = cpu / wall
        return out
    finally:
        for p in procs.values():
            try:
                p.stdin.close()
            except OSError:
                pass
            p.wait(timeout=60)
        os.unlink(tmp.name)


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def child_memory(which, n_pairs):
    """Child process: resident-set high-water mark of one feature matrix."""
    pairs = make_pairs(n_pairs)
    run = ours_feature_matrix(pairs) if which == "ours" else (lambda: peer_feature_matrix(pairs))
    if which == "peer":
        import rapidfuzz.process  # noqa: F401  (import cost is not part of the call)
    # Input size: the UTF-8 text of the string columns, and their count.
    string_bytes = sum(len(x.encode()) for f, _ in FM_STRING for side in pairs.strings[f] for x in side)
    string_count = sum(len(side) for f, _ in FM_STRING for side in pairs.strings[f])
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident size
        reset = True
    except OSError:
        reset = False
    base = status_kib("VmRSS")
    out = run()
    peak = status_kib("VmHWM") - base
    print(json.dumps({"peak_bytes": peak * 1024, "out_bytes": int(out.nbytes), "hwm_reset": reset,
                      "string_bytes": string_bytes, "string_count": string_count}))


def feature_matrix_memory(cfg):
    if M is None or not hasattr(M, "compute_feature_matrix"):
        return {}
    res = {"pairs": cfg["pairs"]}
    for which in ("ours", "peer"):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "memory-" + which, "--pairs", str(cfg["pairs"])]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            res[which] = {"error": proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "failed"}
            continue
        res[which] = json.loads(proc.stdout.strip().splitlines()[-1])
    return res


# ---------------------------------------------------------------- report


def fmt_s(x):
    return "-" if x is None else (f"{x:.3f}" if x >= 0.1 else f"{x * 1e3:.2f}ms")


def print_table(results, meta):
    print(f"\n_corvane_rs benchmark, {meta['mode']} mode: {meta['pairs']:,} pairs, {meta['rows']:,} scorer rows; "
          f"{meta['cpu_count']} CPUs ({meta['cpu']}); python {meta['python']}; best of up to {meta['reps']} "
          f"interleaved runs; ratio = ours / peer (< 1 = faster)")
    busy = max(meta.get("load_average_start", 0.0), meta.get("load_average_end", 0.0))
    if busy > 0.75 * meta["cpu_count"]:
        print(f"note: the machine was busy (1-minute load average up to {busy:.1f} on {meta['cpu_count']} CPUs): "
              f"parallel code could not use every core; ratios against parallel peers and the pool speed-up "
              f"understate a quiet machine")
    head = (f"{'function':<26}{'input':<21}{'ours':>9}{'peer':>9}{'ratio':>7}{'med':>6}{'goal':>6}  {'':<5}"
            f"{'conv':>5}  peer / outputs")
    print(head)
    print("-" * len(head))
    for r in results:
        goal = "-" if r["goal"] is None else f"<{r['goal']:g}"
        if r["status"] == "not available":
            print(f"{r['function']:<26}{r['data']:<21}{'':>9}{'':>9}{'':>7}{'':>6}{goal:>6}  n/a   "
                  f"not available ({r.get('note', '')}) | {r['peer']}")
            continue
        mark = {"ok": "ok", "MISS": "MISS", "info": ""}[r["status"]]
        defn = r["definition"]
        outputs = r["agreement"] if defn == "same" else f"{defn}; {r['agreement']}"
        if "ratio_with_setup" in r:
            outputs += f"; with the {fmt_s(r['peer_setup'])} table load counted: ratio {r['ratio_with_setup']:.2f}"
        conv = f"{r['conversion_share']:.0%}" if "conversion_share" in r else "-"
        print(f"{r['function']:<26}{r['data'][:20]:<21}{fmt_s(r['ours_best']):>9}{fmt_s(r['peer_best']):>9}"
              f"{r['ratio']:>7.2f}{r['ratio_median']:>6.2f}{goal:>6}  {mark:<5}{conv:>5}  {r['peer']}")
        print(f"{'':<26}{'':<21}{'':>9}{'':>9}{'':>7}{'':>6}{'':>6}{'':>12}  outputs: {outputs}")
    misses = [r for r in results if r["status"] == "MISS"]
    na = [r for r in results if r["status"] == "not available"]
    print("conv: share of our time that the same call takes with a trivial kernel (exact match or absolute "
          "difference): argument conversion, pool dispatch and the result list")
    print(f"\n{len(results) - len(na)} rows measured, {len(misses)} miss their goal"
          + (f", {len(na)} not available" if na else "") + ".")
    for r in misses:
        print(f"  MISS {r['function']} ({r['data']}) vs {r['peer'].split(',')[0]}: ratio {r['ratio']:.2f}, "
              f"goal < {r['goal']:g} ({r['ratio'] / r['goal']:.1f}x over)")


def print_extras(extras):
    dl = extras.get("duckdb_load_seconds")
    if dl:
        print("\nDuckDB table loads (numpy object arrays -> table), not part of the DuckDB timings: "
              + ", ".join(f"{k} {v:.3f}s" for k, v in dl.items()))
    m = extras.get("models")
    if m:
        print(f"Models: {m}")
    c = extras.get("conversion")
    if c:
        print(f"\nConversion cost ({c['n']:,} pairs, trivial kernel, whole call / 2n): "
              f"{c['string_ns_per_element']:.1f} ns per string element (8-char ASCII, exact_match_batch), "
              f"{c['float_ns_per_element']:.1f} ns per float element (numeric_distance_batch); "
              f"python list comp a == b: {c['python_list_comp_exact_ns_per_pair']:.1f} ns per pair")
    o = extras.get("call_overhead_us")
    if o:
        print("\nCall on 2 pairs / 2 rows (us per call):")
        for name, ours, peer, tp in o:
            extra = f"   {peer}: {tp:.2f} us (ratio {ours / tp:.2f})" if peer else ""
            print(f"  {name:<36}{ours:>9.2f}{extra}")
    s = extras.get("pool_speedup")
    if s and s.get("functions"):
        print(f"\nPool speed-up, default pool ({extras.get('cpu_count')} CPUs) over RAYON_NUM_THREADS=1 "
              f"({s['pairs']:,} pairs, {s['rows']:,} rows; separate processes, runs alternated; 'busy' is "
              f"CPU time / wall time of the call, at most the CPUs the machine could spare; load average "
              f"{s.get('load_average', float('nan')):.1f} at the end):")
        for f, v in s["functions"].items():
            if "error" in v:
                print(f"  {f:<26} not available ({v['error']})")
            else:
                print(f"  {f:<26} 1 worker {fmt_s(v['one_worker']):>9}   default {fmt_s(v['default']):>9}   "
                      f"speed-up {v['speedup']:.2f}x" + ("" if v.get("cpu_per_wall") is None else
                                                           f"   (default pool busy {v['cpu_per_wall']:.2f} CPUs)"))
    mem = extras.get("feature_matrix_memory")
    if mem and "ours" in mem:
        print(f"\nFeature matrix peak memory ({mem['pairs']:,} pairs x 8 features; RSS high-water mark above the "
              f"resident size before the call, fresh process):")
        for which in ("ours", "peer"):
            v = mem.get(which, {})
            if "error" in v:
                print(f"  {which:<5} failed: {v['error']}")
                continue
            note = "" if v.get("hwm_reset") else " (high-water mark could not be reset)"
            print(f"  {which:<5} peak {v['peak_bytes'] / 2**20:8.1f} MiB   output {v['out_bytes'] / 2**20:7.1f} MiB   "
                  f"peak/output {v['peak_bytes'] / max(v['out_bytes'], 1):5.2f}{note}")
        v = mem.get("ours", {})
        if "string_count" in v:
            print(f"  (input: {v['string_count']:,} strings, {v['string_bytes'] / 2**20:.1f} MiB of UTF-8 text; "
                  f"ours peaks at {v['peak_bytes'] / mem['pairs']:.0f} bytes per pair for "
                  f"{v['out_bytes'] / mem['pairs']:.0f} bytes of output per pair)")


def compare(old_path, new):
    with open(old_path) as f:
        old = json.load(f)
    old_rows = {r["key"]: r for r in old["rows"]}
    print(f"\nCompared with {old_path} ({old['meta']['timestamp']}, {old['meta']['mode']} mode, "
          f"{old['meta']['pairs']:,} pairs):")
    print(f"{'row':<78}{'old':>7}{'new':>7}{'new/old':>9}")
    for r in new["rows"]:
        o = old_rows.get(r["key"])
        ro = o.get("ratio") if o else None
        rn = r.get("ratio")
        change = f"{rn / ro:>9.2f}" if ro and rn else f"{'':>9}"
        print(f"{r['key'][:77]:<78}{(f'{ro:.2f}' if ro else '-'):>7}{(f'{rn:.2f}' if rn else '-'):>7}{change}")


def meta_info(mode, cfg):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], capture_output=True,
                                text=True).stdout.strip()
    except OSError:
        commit = ""
    return {
        "timestamp": _dt.datetime.now().isoformat(timespec="seconds"), "mode": mode,
        "pairs": cfg["pairs"], "rows": cfg["rows"], "reps": cfg["reps"], "cpu_count": os.cpu_count(), "cpu": cpu,
        "python": platform.python_version(), "platform": platform.platform(), "git_commit": commit,
        "module": getattr(M, "__file__", None),
        "load_average_start": os.getloadavg()[0],
        "versions": {d: version(d) for d in ("numpy", "rapidfuzz", "duckdb", "jellyfish", "scikit-learn")},
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small inputs, a few seconds")
    ap.add_argument("--pairs", type=int, help="pairs for the pairwise functions and the feature matrix")
    ap.add_argument("--rows", type=int, help="rows for the scorers")
    ap.add_argument("--reps", type=int, help="interleaved runs per row (best and median are kept)")
    ap.add_argument("--only", help="run only rows whose function name contains this text")
    ap.add_argument("--no-extras", action="store_true", help="skip conversion, overhead, speed-up and memory")
    ap.add_argument("--json", help="also write the results to this path")
    ap.add_argument("--compare", nargs="+", metavar="JSON", help="OLD.json [NEW.json]: print old vs new ratios")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--model-file", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.child == "speedup":
        child_speedup(args.pairs, args.model_file)
        return
    if args.child and args.child.startswith("memory-"):
        child_memory(args.child.split("-", 1)[1], args.pairs)
        return
    if args.compare and len(args.compare) == 2:
        with open(args.compare[1]) as f:
            compare(args.compare[0], json.load(f))
        return

    mode = "quick" if args.quick else "full"
    cfg = dict(QUICK if args.quick else FULL)
    for k in ("pairs", "rows", "reps"):
        if getattr(args, k):
            cfg[k] = getattr(args, k)
    if M is None:
        print("warning: _corvane_rs is not importable: run `bash scripts/test.sh` (or set PYTHONPATH to a build "
              "directory); every row will read 'not available'", file=sys.stderr)

    t_start = time.perf_counter()
    meta = meta_info(mode, cfg)
    log(f"generating {cfg['pairs']:,} pairs")
    pairs = make_pairs(cfg["pairs"])
    score_pairs = pairs if cfg["rows"] == cfg["pairs"] else make_pairs(cfg["rows"], seed=8)
    log("fitting models")
    try:
        models = Models(cfg)
    except Exception as e:  # for example the export helper missing
        models = f"models not available: {type(e).__name__}: {e}"[:150]
    log("scorer features")
    X = model_features(peer_feature_matrix(score_pairs))
    try:
        duck = DuckTables()
    except ImportError:
        duck = None
    rows = build_rows(cfg, pairs, X, models, duck)
    # Everything made so far lives to the end: keep it out of the collections
    # that precede every timed call.
    gc.collect()
    gc.freeze()
    if args.only:
        rows = [r for r in rows if args.only in r.function]

    if M is not None and hasattr(M, "exact_match_batch"):  # starts the pool outside the timings
        M.exact_match_batch(["a", "b"], ["a", "c"])
    results = []
    for r in rows:
        log(r.key)
        results.append(r.run(cfg["reps"], cfg["budget"], cfg["min_spent"]))

    extras = {"cpu_count": os.cpu_count(), "models": models if isinstance(models, str) else models.describe()}
    if isinstance(models, str):
        models = None
    if duck is not None:
        extras["duckdb_load_seconds"] = duck.load_seconds
    if not args.no_extras and not args.only:
        log("conversion costs")
        extras["conversion"] = conversion_costs(cfg)
        log("call overheads")
        extras["call_overhead_us"] = [(n, o * 1e6, p, (t * 1e6 if t else None))
                                      for n, o, p, t in call_overheads(models, cfg.get("call_time", 0.2))]
        log("pool speed-up")
        extras["pool_speedup"] = pool_speedup(cfg, models, X)
        log("feature matrix memory")
        extras["feature_matrix_memory"] = feature_matrix_memory(cfg)
    meta["seconds"] = round(time.perf_counter() - t_start, 1)
    meta["load_average_end"] = os.getloadavg()[0]

    print_table(results, meta)
    print_extras(extras)
    doc = {"meta": meta, "rows": results, "extras": extras}
    out_dir = os.path.join(HERE, "results")
    os.makedirs(out_dir, exist_ok=True)
    stamp = _dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    paths = [os.path.join(out_dir, f"{stamp}-{mode}.json")] + ([args.json] if args.json else [])
    for p in paths:
        with open(p, "w") as f:
            json.dump(doc, f, indent=1)
    print(f"\nwritten: {', '.join(paths)}  (run took {meta['seconds']} s)")
    if args.compare:
        compare(args.compare[0], doc)


if __name__ == "__main__":
    main()
