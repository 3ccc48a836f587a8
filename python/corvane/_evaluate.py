"""Judging a linkage against the truth: pairs, clusters and a threshold sweep.

Pairs are ``(left_positions, right_positions)`` arrays, compared as sets of
ordered pairs (a pair listed twice counts once), or with ``dedupe=True`` as
sets of unordered pairs of one table's records. Clusters are one id per
record, of any hashable NumPy dtype.
"""

from __future__ import annotations

import warnings
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from ._compare import arrow_column, from_columns, kind_of, refuse_pair_list

__all__ = ["evaluate", "evaluate_clusters", "threshold_sweep", "PairEvaluation", "ClusterEvaluation"]

KINDS = ("pandas", "polars", "arrow")


class PairEvaluation(NamedTuple):
    """Precision, recall and F1 of predicted pairs (1.0 where nothing was
    to be found or predicted), and the three counts behind them."""

    precision: float
    recall: float
    f1: float
    n_predicted: int
    n_true: int
    n_correct: int


class ClusterEvaluation(NamedTuple):
    """Precision, recall and F1 of the pairs inside clusters, and B-cubed
    precision, recall and F1 (per record, averaged over records)."""

    precision: float
    recall: float
    f1: float
    bcubed_precision: float
    bcubed_recall: float
    bcubed_f1: float


def _ratio(a: float, b: float) -> float:
    return a / b if b else 1.0


def _f1(p: float, r: float) -> float:
    return 2 * p * r / (p + r) if p + r else 0.0


def table_kind(kind: str) -> str:
    """The table kind a user asked for ("pandas", "polars" or "arrow"), as
    ``from_columns`` names it."""
    if kind not in KINDS:
        raise ValueError(f"kind must be 'pandas', 'polars' or 'arrow', not {kind!r}")
    return "table" if kind == "arrow" else kind


def _is_missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)   # NaN, NaT
    except TypeError:                 # pandas.NA: its comparisons are NA, which has no truth value
        return True


def _entity_codes(ids: npt.NDArray[Any], what: str) -> npt.NDArray[np.int64]:
    """0, 1, 2, ... per distinct id. A missing id is refused: two records of
    unknown entity are not known to be one entity, and grouping them would
    inflate the scores."""
    kind = ids.dtype.kind
    if kind in "fc":
        missing = np.isnan(ids)
    elif kind in "mM":
        missing = np.isnat(ids)
    elif kind == "O":
        missing = np.fromiter((_is_missing(v) for v in ids), dtype=bool, count=len(ids))
    else:
        missing = np.zeros(len(ids), dtype=bool)
    if missing.any():
        raise ValueError(f"{what} has a missing id at record {int(np.flatnonzero(missing)[0])} "
                         f"({int(missing.sum())} in all): give every record an id (a record of unknown "
                         "entity gets an id of its own)")
    if kind == "O":
        # By equality and hash, so ids of mixed types (1 and "1") need no order.
        codes: dict[Any, int] = {}
        return np.fromiter((codes.setdefault(v, len(codes)) for v in ids), dtype=np.int64, count=len(ids))
    return np.unique(ids, return_inverse=True)[1].ravel().astype(np.int64)


def _per_record(ids: Any) -> npt.NDArray[Any]:
    """One id per record; the two arrays ``clusters`` gives for two tables
    (left ids, right ids) are joined, the left table first."""
    if isinstance(ids, tuple) and len(ids) == 2 and all(np.ndim(side) == 1 for side in ids):
        left, right = np.asarray(ids[0]), np.asarray(ids[1])
        if left.dtype != right.dtype:   # no promotion: 1 and "1" stay distinct ids
            left, right = left.astype(object), right.astype(object)
        return np.concatenate([left, right])
    return np.asarray(ids)


def _as_positions(pairs: Any, what: str) -> Any:
    """``pairs`` as given, or the two position columns of a table holding
    them (``link``'s result), as ``clusters`` reads it."""
    refuse_pair_list(pairs, what)
    if isinstance(pairs, (tuple, list)):
        return pairs
    try:
        kind = kind_of(pairs, what)
    except TypeError:
        return pairs
    return tuple(np.asarray(arrow_column(pairs, kind, c, what)) for c in ("left_position", "right_position"))


def _checked(pairs: Any, what: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """The two position arrays of ``pairs``, checked, as int64."""
    if not isinstance(pairs, (tuple, list)) or len(pairs) != 2:
        raise TypeError(f"{what} must be a tuple (left_positions, right_positions) of integer arrays, or a table "
                        "with the columns left_position and right_position (link's result)")
    left, right = (np.asarray(p) for p in pairs)
    if left.shape != right.shape or left.ndim != 1:
        raise ValueError(f"{what}: left and right positions must be 1-D arrays of one length, not of shapes "
                         f"{left.shape} and {right.shape}")
    if left.size and (left.dtype.kind not in "iu" or right.dtype.kind not in "iu"):
        raise TypeError(f"{what}: positions must be integers, not {left.dtype} and {right.dtype}")
    if any(side.dtype.kind == "u" and side.size and int(side.max()) > np.iinfo(np.int64).max for side in (left, right)):
        raise ValueError(f"{what}: positions must be below 2**63")
    left, right = left.astype(np.int64), right.astype(np.int64)
    if left.size and min(left.min(), right.min()) < 0:
        raise ValueError(f"{what}: positions must not be negative")
    return left, right


def _one_table(left: npt.NDArray[np.int64], right: npt.NDArray[np.int64]) -> tuple[
        npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.bool_]]:
    """Pairs of one table's records as unordered pairs: each put as (lower,
    higher) position, and which of them pair two distinct records (a record
    with itself is no pair)."""
    return np.minimum(left, right), np.maximum(left, right), left != right


def _width(*pairs: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]) -> int:
    """One more than the highest position: a pair's key is ``left * width +
    right``, and its mirror's ``right * width + left``."""
    return max((int(side.max()) for sides in pairs for side in sides if side.size), default=0) + 1


# The widest keys left * width + right within int64: width**2 < 2**63.
_WIDEST = 3_037_000_499


def _keyed(*pairs: tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]) -> tuple[
        list[tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]], int]:
    """The pairs and the width of their keys. Positions too large for keys
    of one int64 (ids rather than positions) are replaced by their ranks
    among all of them, one space for both sides, so that a pair's mirror is
    still its mirror."""
    width = _width(*pairs)
    if width <= _WIDEST:
        return list(pairs), width
    values, ranks = np.unique(np.concatenate([side for sides in pairs for side in sides]), return_inverse=True)
    ranks = ranks.astype(np.int64).ravel()
    out, at = [], 0
    for left, right in pairs:
        n = len(left)
        out.append((ranks[at:at + n], ranks[at + n:at + 2 * n]))
        at += 2 * n
    return out, len(values)


# Fewer pairs in both orders may link two tables by chance.
_MIRRORED_AT_LEAST = 3


def _warn_if_mirrored(true: npt.NDArray[np.int64], width: int) -> None:
    """Ordered pairs that hold every pair in both orders (a few of them at
    least) are one table's pairs listed both ways, as a self-merge on an
    entity id gives them: taken as ordered pairs, they halve the recall."""
    left, right = true // width, true % width
    apart = left != right
    if np.count_nonzero(apart) < 2 * _MIRRORED_AT_LEAST or not np.isin(right[apart] * width + left[apart], true).all():
        return
    warnings.warn("true_pairs holds every pair in both orders, (i, j) and (j, i), as one table's pairs listed both "
                  "ways do; they are compared as ordered pairs, which halves the recall of pairs given once: for "
                  "one table's pairs pass dedupe=True", UserWarning, stacklevel=3)


def evaluate(predicted_pairs: Any, true_pairs: Any, *, dedupe: bool = False) -> PairEvaluation:
    """Precision, recall and F1 of ``predicted_pairs`` against ``true_pairs``,
    each a ``(left_positions, right_positions)`` pair of integer arrays or a
    table with ``left_position`` and ``right_position`` (``link``'s result).

    Pairs are compared as ordered pairs, a pair listed twice counting once.
    ``dedupe=True``: the pairs are of one table's records, so (i, j) and
    (j, i) are one pair and (i, i) is none; both sides' pairs are put in
    order and pairs of a record with itself dropped. Pass it for one table's
    pairs unless both sides already hold i < j only (``candidates`` and
    ``link`` give them so; true pairs made by merging a table with itself
    on an entity id do not), or the recall comes out halved. Without it,
    ``true_pairs`` holding every pair in both orders (three pairs or more)
    give a ``UserWarning``."""
    _check_dedupe(dedupe)
    predicted_pairs = _as_positions(predicted_pairs, "predicted_pairs")
    true_pairs = _as_positions(true_pairs, "true_pairs")
    given = [_checked(predicted_pairs, "predicted_pairs"), _checked(true_pairs, "true_pairs")]
    if dedupe:
        given = [(a[kept], b[kept]) for a, b, kept in (_one_table(*side) for side in given)]
    given, width = _keyed(*given)
    predicted, true = (np.unique(left * width + right) for left, right in given)
    if not dedupe:
        _warn_if_mirrored(true, width)
    correct = int(np.isin(predicted, true, assume_unique=True).sum())
    p, r = _ratio(correct, len(predicted)), _ratio(correct, len(true))
    return PairEvaluation(p, r, _f1(p, r), len(predicted), len(true), correct)


def _check_dedupe(dedupe: object) -> None:
    if not isinstance(dedupe, (bool, np.bool_)):
        raise TypeError(f"dedupe must be True or False, not {type(dedupe).__name__}")


def evaluate_clusters(cluster_ids: npt.ArrayLike, true_ids: npt.ArrayLike) -> ClusterEvaluation:
    """Scores of predicted clusters against true entities, one id per record
    in both (the same records, in the same order). For two tables, either
    may be a tuple (left ids, right ids), as ``clusters`` returns them."""
    predicted, true = _per_record(cluster_ids), _per_record(true_ids)
    if predicted.ndim != 1 or predicted.shape != true.shape:
        raise ValueError(f"cluster_ids and true_ids must be 1-D arrays of one length (one id per record), not of "
                         f"shapes {predicted.shape} and {true.shape}")
    n = len(predicted)
    if n == 0:
        return ClusterEvaluation(1.0, 1.0, 1.0, 1.0, 1.0, 1.0)
    a = _entity_codes(predicted, "cluster_ids")
    b = _entity_codes(true, "true_ids")
    cells = np.unique(a * (int(b.max()) + 1) + b, return_counts=True)[1].astype(np.float64)
    cluster_size = np.bincount(a).astype(np.float64)
    entity_size = np.bincount(b).astype(np.float64)
    correct = float((cells * (cells - 1) / 2).sum())
    p = _ratio(correct, float((cluster_size * (cluster_size - 1) / 2).sum()))
    r = _ratio(correct, float((entity_size * (entity_size - 1) / 2).sum()))
    # B-cubed: each record's share of its cluster in its entity, and back.
    overlap = np.unique(a * (int(b.max()) + 1) + b, return_inverse=True)[1].ravel()
    per_record = cells[overlap]
    bp = float((per_record / cluster_size[a]).mean())
    br = float((per_record / entity_size[b]).mean())
    return ClusterEvaluation(p, r, _f1(p, r), bp, br, _f1(bp, br))


def threshold_sweep(pairs: Any, scores: npt.ArrayLike, true_pairs: Any, thresholds: npt.ArrayLike | None = None,
                    *, kind: str = "pandas", dedupe: bool = False) -> Any:
    """Precision, recall and F1 of the pairs scoring at least each threshold
    (default: 0.05, 0.10, ..., 0.95 for probabilities), as a small table of
    ``threshold, n_predicted, precision, recall, f1`` (``kind``: "pandas",
    "polars" or "arrow"). ``pairs`` and ``true_pairs`` are as ``evaluate``
    takes them, and so is ``dedupe``: for one table's pairs pass
    ``dedupe=True`` unless both already hold i < j only (with it, (j, i)
    is (i, j) and a pair of a record with itself is dropped with its
    score). A pair listed twice counts once, at its best score."""
    chosen_kind = table_kind(kind)
    _check_dedupe(dedupe)
    pairs, true_pairs = _as_positions(pairs, "pairs"), _as_positions(true_pairs, "true_pairs")
    values = np.asarray(scores, dtype=np.float64)
    if values.ndim != 1:
        raise ValueError(f"scores must hold one score per pair (1-D), not of shape {values.shape}: of "
                         "predict_proba's column per class, pass the last (scores[:, 1])")
    if not isinstance(pairs, (tuple, list)) or len(pairs) != 2 or len(np.asarray(pairs[0])) != len(values):
        raise ValueError("pairs must be (left_positions, right_positions) with one score per pair")
    left, right = _checked(pairs, "pairs")
    given_true = _checked(true_pairs, "true_pairs")
    if dedupe:
        left, right, kept = _one_table(left, right)
        left, right, values = left[kept], right[kept], values[kept]
        a, b, kept = _one_table(*given_true)
        given_true = a[kept], b[kept]
    ((left, right), given_true), width = _keyed((left, right), given_true)
    true = np.unique(given_true[0] * width + given_true[1])
    if not dedupe:
        _warn_if_mirrored(true, width)
    cuts = np.round(np.arange(0.05, 1.0, 0.05), 2) if thresholds is None else np.atleast_1d(np.asarray(thresholds, np.float64))
    if np.isnan(cuts).any():
        raise ValueError("thresholds hold NaN, which no score reaches: give numbers")
    # Each distinct pair counts once, at its best score.
    keys = left * width + right
    order = np.lexsort((-values, keys))
    first = np.ones(len(order), dtype=bool)
    first[1:] = keys[order][1:] != keys[order][:-1]
    best_keys, best = keys[order][first], values[order][first]
    hit = np.isin(best_keys, true)
    rows: dict[str, list[Any]] = {k: [] for k in ("threshold", "n_predicted", "precision", "recall", "f1")}
    for t in cuts:
        chosen = best >= t
        n_chosen, correct = int(chosen.sum()), int((chosen & hit).sum())
        p, r = _ratio(correct, n_chosen), _ratio(correct, len(true))
        for key, value in zip(rows, (float(t), n_chosen, p, r, _f1(p, r))):
            rows[key].append(value)
    return from_columns(chosen_kind, rows)
