"""The chart of a fitted ``FellegiSunter``: the weight of every level, and
the match-weight distribution over the candidate pairs it was fitted on
(matplotlib, Agg backend; imported only when a chart is drawn)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from ._fellegi import FellegiSunter


def draw(model: FellegiSunter, path: Any, axes: Any) -> Any:
    try:
        import matplotlib

        if axes is None:
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError as error:  # pragma: no cover - depends on the environment
        raise ImportError("FellegiSunter.chart needs matplotlib: pip install matplotlib") from error
    from ._fellegi import adjustments_of, entries_of

    if axes is None:
        # Constrained layout makes room for the levels' labels, however long
        # the column names: tight_layout left long ones cut at the edge.
        figure, (left, right) = plt.subplots(1, 2, figsize=(13, 0.32 * _rows(model) + 2.5),
                                             gridspec_kw={"width_ratios": [3, 2]}, layout="constrained")
    else:
        try:
            left, right = axes
        except (TypeError, ValueError):
            raise TypeError(f"axes must be two matplotlib Axes (the levels' weights, the match weights), "
                            f"not {type(axes).__name__}") from None
        figure = left.figure

    # One bar per level; a term frequency's row, after the levels of the
    # comparison it adjusts, spans the weights its exact level takes from
    # the commonest value to the rarest.
    labels, starts, weights, colours = [f"prior ({model.prior_:.2g})"], [0.0], [model.prior_weight_], ["0.5"]
    entries = entries_of(model.comparisons)
    adjusting = {adj.target: adj for adj in adjustments_of(entries)}
    levels = [e for e in entries if not e.frequency]
    for c, (level, table) in enumerate(zip(levels, model.weight_tables())):
        for condition, w in zip(level.conditions(), table):
            labels.append(f"{level.name}: {condition}")
            starts.append(0.0)
            weights.append(float(w))
            colours.append("tab:green" if w >= 0 else "tab:red")
        if c in adjusting:
            low, high = _frequency_span(model, adjusting[c].name, float(model.m_[c][0]))
            labels.append(f"{level.name}: {level.conditions()[0]}, by term frequency")
            starts.append(low)
            weights.append(high - low)
            colours.append("tab:purple")
    y = np.arange(len(labels))[::-1]
    left.barh(y, weights, left=starts, color=colours)
    left.set_yticks(y, labels, fontsize=7)
    left.axvline(0, color="black", lw=0.8)
    left.set_xlabel("weight: log2(m / u)")
    left.set_title("Weight of each level (missing: 0)" if not adjusting else
                   "Weight of each level (missing: 0; purple: from the\ncommonest value to the rarest)")

    w, counts = model.candidate_weights()
    bins = np.linspace(float(w.min()) - 1, float(w.max()) + 1, 60) if len(w) else 10
    right.hist(w, bins=bins, weights=counts, color="tab:blue")
    right.set_yscale("log")
    right.axvline(0, color="black", lw=0.8, ls="--", label="probability 0.5")
    right.set_xlabel("match weight")
    right.set_ylabel("candidate pairs")
    sampled = int(counts.sum())
    # On two lines: one would be wider than the panel.
    right.set_title(f"Match weights of the\n{model.n_candidates_:,} candidate pairs" if sampled >= model.n_candidates_
                    else f"Match weights of {sampled:,} of the\n{model.n_candidates_:,} candidate pairs (EM's sample)")
    right.legend(fontsize=8)
    if path is not None:
        figure.savefig(path, dpi=110)
    return figure


def _frequency_span(model: FellegiSunter, name: str, m_exact: float) -> tuple[float, float]:
    """The weights an exact level adjusted by term frequency takes,
    log2(m_exact / frequency), from the commonest of fit's values to the
    rarest."""
    shares = model.term_frequencies_[name].shares
    seen = shares[shares > 0]
    if not len(seen):
        return 0.0, 0.0
    return math.log2(m_exact / float(seen.max())), math.log2(m_exact / float(seen.min()))


def _rows(model: FellegiSunter) -> int:
    return 1 + sum(len(m) for m in model.m_) + len(model.term_frequencies_)
