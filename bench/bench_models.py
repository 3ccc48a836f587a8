"""Model scoring speed, side by side with scikit-learn and NumPy.

Scores one synthetic linkage-like feature matrix with each scorer and its
peer in the same run and prints the time of each and their ratio:

* predict_batch vs NumPy's 1 / (1 + exp(-(X @ w + b)))
* predict_forest_batch vs RandomForestClassifier.predict_proba (100 trees,
  depth up to 12)
* predict_gbdt_batch vs GradientBoostingClassifier.predict_proba (100 trees)
* predict_svm_batch vs SVC.predict_proba (a few hundred support vectors)

Usage: python bench/bench_models.py [--rows N] [--quick] [--only NAME ...]
"""

import argparse
import os
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import _corvane_rs as m

try:
    import corvane_export as ce
except ImportError:
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    import corvane_export as ce

from sklearn.datasets import make_classification
from sklearn.ensemble import GradientBoostingClassifier, RandomForestClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.svm import SVC

warnings.simplefilter("ignore", FutureWarning)


class Timing:
    """Best wall time and best process CPU time over the repeats."""

    def __init__(self, fn, repeats):
        self.wall = self.cpu = float("inf")
        for _ in range(repeats):
            w0, c0 = time.perf_counter(), time.process_time()
            self.result = fn()
            self.wall = min(self.wall, time.perf_counter() - w0)
            self.cpu = min(self.cpu, time.process_time() - c0)


def make_data(rows, features, seed=0):
    X, y = make_classification(n_samples=rows, n_features=features, n_informative=6, flip_y=0.05,
                               random_state=seed)
    X[:, :6] = 1.0 / (1.0 + np.exp(-X[:, :6]))  # similarity-like columns in [0, 1]
    return X.astype(np.float32).astype(np.float64), y


def report(name, ours, peer, peer_name, goal):
    """One line: wall times and their ratio (the speed-up), then the CPU
    seconds each side used (ours is spread over the worker pool, so on a
    busy machine the CPU ratio shows the per-core gain)."""
    diff = np.max(np.abs(ours.result - peer.result)) if len(ours.result) else 0.0
    print(f"{name:<20} ours {ours.wall * 1e3:9.1f} ms   {peer_name:<22} {peer.wall * 1e3:9.1f} ms   "
          f"speed-up x{peer.wall / ours.wall:6.2f} (goal {goal:>6})   "
          f"cpu {ours.cpu:7.3f} s vs {peer.cpu:7.3f} s   max |diff| {diff:.1e}", flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--quick", action="store_true", help="100,000 rows, one repeat")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--only", nargs="*", default=["lr", "forest", "gbdt", "svm"])
    args = ap.parse_args()
    rows = 100_000 if args.quick else args.rows
    repeats = 1 if args.quick else args.repeats
    features = 10

    X_train, y_train = make_data(20_000, features, seed=1)
    X, _ = make_data(rows, features, seed=2)
    print(f"{rows:,} rows x {features} features; workers: RAYON_NUM_THREADS="
          f"{os.environ.get('RAYON_NUM_THREADS', 'unset')}, cpus={os.cpu_count()}")

    if "lr" in args.only:
        model = LogisticRegression().fit(X_train, y_train)
        p = ce.export_logistic_regression(model)
        w, b = p["weights"], p["bias"]
        ours = Timing(lambda: m.predict_batch(X, w, b), repeats)
        peer = Timing(lambda: 1 / (1 + np.exp(-(X @ w + b))), repeats)
        report("logistic regression", ours, peer, "numpy expression", "x0.67")
        peer = Timing(lambda: model.predict_proba(X)[:, 1], repeats)
        report("logistic regression", ours, peer, "sklearn predict_proba", "-")
        logistic_cold_and_warm(max(repeats, 7))

    if "forest" in args.only:
        model = RandomForestClassifier(n_estimators=100, max_depth=12, random_state=0, n_jobs=1)
        model.fit(X_train, y_train)
        p = ce.export_random_forest(model)
        ours = Timing(lambda: m.predict_forest_batch(X, **p), repeats)
        peer = Timing(lambda: model.predict_proba(X)[:, 1], repeats)
        report("random forest", ours, peer, "sklearn (n_jobs=1)", "x5")
        model.set_params(n_jobs=-1)
        peer = Timing(lambda: model.predict_proba(X)[:, 1], repeats)
        report("random forest", ours, peer, "sklearn (n_jobs=-1)", "-")

    if "gbdt" in args.only:
        model = GradientBoostingClassifier(n_estimators=100, random_state=0).fit(X_train, y_train)
        p = ce.export_gradient_boosting(model)
        ours = Timing(lambda: m.predict_gbdt_batch(X, **p), repeats)
        peer = Timing(lambda: model.predict_proba(X)[:, 1], repeats)
        report("gradient boosting", ours, peer, "sklearn predict_proba", "x5")

    if "svm" in args.only:
        model = SVC(kernel="rbf", probability=True, random_state=0).fit(X_train[:1500], y_train[:1500])
        p = ce.export_svm(model)
        print(f"  svm: {len(p['dual_coef'])} support vectors")
        ours = Timing(lambda: m.predict_svm_batch(X, **p), repeats)
        # scikit-learn's SVM is slow: timed once. Its probabilities differ
        # from Platt's sigmoid by up to a few 1e-3 (libsvm's coupling step).
        peer = Timing(lambda: model.predict_proba(X)[:, 1], 1)
        report("svm (rbf + platt)", ours, peer, "sklearn predict_proba", "x10")


def logistic_cold_and_warm(repeats: int) -> None:
    """predict_batch against NumPy on 300,000 x 8, alternating, warm and
    cold (after gc.collect() and a pass over 160 MB that evicts the caches)."""
    import gc
    import time

    rng = np.random.default_rng(3)
    X, w, b = rng.random((300_000, 8)), rng.normal(size=8), 0.3
    ways = {"ours": lambda: m.predict_batch(X, w, b), "numpy": lambda: 1 / (1 + np.exp(-(X @ w + b)))}
    for mode in ("warm", "cold"):
        best = dict.fromkeys(ways, float("inf"))
        for _ in range(repeats):
            for name, run in ways.items():
                if mode == "cold":
                    gc.collect()
                    np.ones(20_000_000).sum()
                start = time.perf_counter()
                run()
                best[name] = min(best[name], time.perf_counter() - start)
        print(f"  logistic 300,000 x 8, {mode}: ours {best['ours'] * 1e3:.2f} ms, numpy {best['numpy'] * 1e3:.2f} ms, "
              f"ratio {best['ours'] / best['numpy']:.2f} (goal <= 1.5)")


if __name__ == "__main__":
    main()
