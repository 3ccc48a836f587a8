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


def best_time(fn, repeats):
    best = float("inf")
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def make_data(rows, features, seed=0):
    X, y = make_classification(n_samples=rows, n_features=features, n_informative=6, flip_y=0.05,
                               random_state=seed)
    X[:, :6] = 1.0 / (1.0 + np.exp(-X[:, :6]))  # similarity-like columns in [0, 1]
    return X.astype(np.float32).astype(np.float64), y


def report(name, ours, peer, peer_name, max_diff, goal):
    ratio = peer / ours
    print(f"{name:<22} ours {ours * 1e3:9.1f} ms   {peer_name:<24} {peer * 1e3:9.1f} ms   "
          f"speed-up x{ratio:6.2f}  (goal {goal})   max |diff| {max_diff:.2e}", flush=True)


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
        ours, a = best_time(lambda: m.predict_batch(X, w, b), repeats)
        peer, c = best_time(lambda: 1 / (1 + np.exp(-(X @ w + b))), repeats)
        report("logistic regression", ours, peer, "numpy expression", np.max(np.abs(a - c)), ">= x0.67")
        peer, c = best_time(lambda: model.predict_proba(X)[:, 1], repeats)
        report("logistic regression", ours, peer, "sklearn predict_proba", np.max(np.abs(a - c)), "-")

    if "forest" in args.only:
        model = RandomForestClassifier(n_estimators=100, max_depth=12, random_state=0, n_jobs=1)
        model.fit(X_train, y_train)
        p = ce.export_random_forest(model)
        ours, a = best_time(lambda: m.predict_forest_batch(X, **p), repeats)
        peer, c = best_time(lambda: model.predict_proba(X)[:, 1], repeats)
        report("random forest", ours, peer, "sklearn (n_jobs=1)", np.max(np.abs(a - c)), ">= x5")
        model.set_params(n_jobs=-1)
        peer, c = best_time(lambda: model.predict_proba(X)[:, 1], repeats)
        report("random forest", ours, peer, "sklearn (n_jobs=-1)", np.max(np.abs(a - c)), "-")

    if "gbdt" in args.only:
        model = GradientBoostingClassifier(n_estimators=100, random_state=0).fit(X_train, y_train)
        p = ce.export_gradient_boosting(model)
        ours, a = best_time(lambda: m.predict_gbdt_batch(X, **p), repeats)
        peer, c = best_time(lambda: model.predict_proba(X)[:, 1], repeats)
        report("gradient boosting", ours, peer, "sklearn predict_proba", np.max(np.abs(a - c)), ">= x5")

    if "svm" in args.only:
        model = SVC(kernel="rbf", probability=True, random_state=0).fit(X_train[:1500], y_train[:1500])
        p = ce.export_svm(model)
        print(f"  svm: {len(p['dual_coef'])} support vectors")
        ours, a = best_time(lambda: m.predict_svm_batch(X, **p), repeats)
        # scikit-learn's SVM is slow; time it once (libsvm's coupling makes
        # its probabilities differ from Platt's sigmoid by up to ~3e-3).
        peer, c = best_time(lambda: model.predict_proba(X)[:, 1], 1)
        report("svm (rbf + platt)", ours, peer, "sklearn predict_proba", np.max(np.abs(a - c)), ">= x10")


if __name__ == "__main__":
    main()
