"""A one-page PNG report of a linkage run, drawn with matplotlib's Agg
backend (no display needed).

Top: for every feature, the distribution of its values over the true links
and over the non-links, each as a fraction of its own class (log scale, so
the rare links and the many non-links are both visible). Bottom: each
model's precision-recall curve, in full and zoomed into the top right
corner, with the point of the decision threshold marked on every curve.

``write_report`` takes plain arrays, so it works on any run's results (see
``examples/link_febrl.py``).
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

LINK_COLOUR = "tab:orange"
NON_LINK_COLOUR = "tab:blue"
FEATURE_COLUMNS = 4


def precision_recall(
    truth: npt.NDArray[np.bool_], scores: npt.NDArray[np.float64]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Precision and recall of ``scores >= t`` for every distinct score t,
    from the highest threshold down (recall rising)."""
    order = np.argsort(-scores, kind="stable")
    ranked = scores[order]
    hits = np.cumsum(truth[order])
    # the last position of each run of equal scores: all of them pass together
    last = np.flatnonzero(np.r_[ranked[1:] != ranked[:-1], True])
    true_positives = hits[last].astype(np.float64)
    precision = true_positives / (last + 1)
    recall = true_positives / max(int(truth.sum()), 1)
    return precision, recall


def at_threshold(
    truth: npt.NDArray[np.bool_], scores: npt.NDArray[np.float64], threshold: float
) -> tuple[float, float]:
    """(precision, recall) of deciding ``scores >= threshold``."""
    decided = scores >= threshold
    true_positives = int(np.sum(decided & truth))
    return true_positives / max(int(decided.sum()), 1), true_positives / max(int(truth.sum()), 1)


def write_report(
    path: str | Path,
    feature_names: Sequence[str],
    features: npt.NDArray[np.float64],
    truth: npt.ArrayLike,
    model_scores: Mapping[str, npt.NDArray[np.float64]],
    threshold: float = 0.5,
    title: str = "Linkage report",
    chart_model: Any = None,
) -> Path:
    """Draws the report of ``features`` (pairs x features, values in [0, 1])
    and each model's ``scores`` (one per pair) against ``truth`` (one bool
    per pair) and writes it as a PNG to ``path``; returns the path. A fitted
    ``corvane.FellegiSunter`` as ``chart_model`` adds its chart (weights per level,
    match weights of its candidate pairs) as a last row."""
    truth = np.asarray(truth, dtype=bool)
    features = np.asarray(features, dtype=np.float64)
    if features.shape != (len(truth), len(feature_names)):
        raise ValueError(f"features has shape {features.shape}, expected "
                         f"({len(truth)}, {len(feature_names)})")
    n_links, n_others = int(truth.sum()), int((~truth).sum())

    feature_rows = math.ceil(len(feature_names) / FEATURE_COLUMNS)
    chart = [] if chart_model is None else [0.04 * (1 + sum(len(m) for m in chart_model.m_)) + 0.5]
    fig = plt.figure(figsize=(4.2 * FEATURE_COLUMNS, 3.0 * feature_rows + 6.2 + 3.0 * sum(chart)),
                     layout="constrained")
    grid = fig.add_gridspec(feature_rows + 1 + len(chart), FEATURE_COLUMNS,
                            height_ratios=[1.0] * feature_rows + [2.0] + chart)
    fig.suptitle(f"{title}: {len(truth):,} pairs, {n_links:,} true links", fontsize=15)

    bins = np.linspace(0.0, 1.0, 26)
    for i, name in enumerate(feature_names):
        ax = fig.add_subplot(grid[i // FEATURE_COLUMNS, i % FEATURE_COLUMNS])
        column = np.clip(features[:, i], 0.0, 1.0)
        for mask, colour, label, count in (
            (~truth, NON_LINK_COLOUR, "non-links", n_others),
            (truth, LINK_COLOUR, "true links", n_links),
        ):
            values = column[mask]
            if len(values):
                ax.hist(values, bins=bins, weights=np.full(len(values), 1.0 / len(values)),
                        histtype="stepfilled", alpha=0.45, color=colour,
                        edgecolor=colour, linewidth=1.2, label=f"{label} ({count:,})")
        ax.set_yscale("log")
        ax.set_ylim(1e-4, 1.5)
        ax.set_xlim(0.0, 1.0)
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("feature value", fontsize=9)
        ax.set_ylabel("fraction of class", fontsize=9)
        ax.tick_params(labelsize=8)
        if i == 0:
            ax.legend(fontsize=8, loc="upper center")

    bottom = grid[feature_rows, :].subgridspec(1, 2)
    full = fig.add_subplot(bottom[0, 0])
    zoom = fig.add_subplot(bottom[0, 1])
    zoom_low = 1.0
    for colour, (model, scores) in zip(plt.get_cmap("tab10").colors, model_scores.items()):
        scores = np.asarray(scores, dtype=np.float64)
        precision, recall = precision_recall(truth, scores)
        p, r = at_threshold(truth, scores, threshold)
        zoom_low = min(zoom_low, p, r)
        for ax in (full, zoom):
            ax.plot(recall, precision, color=colour, linewidth=1.6,
                    label=f"{model} (at {threshold:g}: P {p:.4f}, R {r:.4f})")
            ax.plot([r], [p], marker="o", markersize=8, markerfacecolor="white",
                    markeredgecolor=colour, markeredgewidth=2.0, linestyle="none")
    # one legend entry for the markers, whichever model they belong to
    for ax in (full, zoom):
        ax.plot([], [], marker="o", markersize=8, markerfacecolor="white", markeredgecolor="black",
                markeredgewidth=2.0, linestyle="none", label=f"threshold {threshold:g}")
        ax.set_xlabel("recall")
        ax.set_ylabel("precision")
        ax.grid(alpha=0.3)
    full.set_xlim(0.0, 1.02)
    full.set_ylim(0.0, 1.02)
    full.set_title("Precision-recall per model")
    for ax in (full, zoom):
        ax.legend(loc="lower left", fontsize=9)
    # zoom: the corner that holds every model's threshold point
    low = max(0.0, 1.0 - 1.6 * (1.0 - zoom_low) - 0.005)
    zoom.set_xlim(low, 1.0 + (1.0 - low) * 0.04)
    zoom.set_ylim(low, 1.0 + (1.0 - low) * 0.04)
    zoom.set_title(f"Zoom: precision and recall from {low:.3f}")

    if chart_model is not None:
        last = grid[feature_rows + 1, :].subgridspec(1, 2, width_ratios=[3, 2])
        chart_model.chart(axes=(fig.add_subplot(last[0, 0]), fig.add_subplot(last[0, 1])))

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path
