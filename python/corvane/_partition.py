"""Scoring one partition of candidate pairs: the unit of work of Dask and Spark.

A *pair table* holds one row per candidate pair with both records' values
side by side: for a comparison ``(column, metric)`` the columns
``column + "_l"`` and ``column + "_r"`` (the ``suffixes``), plus whatever
identifies the pair (``keep``). ``score_partition`` takes one such table,
scores every comparison with one engine call, scores the features with a
``Scorer`` (or a fitted ``FellegiSunter``) and returns ids, features,
probability and decision as a table of the same kind. Every row is scored on its own, so any split of the pairs
into partitions gives exactly the single-process result. A
``term_frequency`` comparison looks each value up in the frequencies the
model (a fitted ``FellegiSunter``) counted over the tables it was fitted
on; a value not among them gets NaN, so its pair is not adjusted.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol, TypeVar

import numpy as np

from ._compare import Comparison, F64Array, Missing, arrow_column, check_column, check_missing, from_columns, kind_of
from ._compare import FREQUENCY_METRICS, NUMERIC_METRICS, STRING_METRICS, Pairing, _pyarrow, score_columns, pairings_of
from ._scorer import Scorer

__all__ = ["score_partition", "score_batches", "ProbabilityModel"]

Batch = TypeVar("Batch")


class ProbabilityModel(Protocol):
    """What scores pairs: a ``Scorer``, a fitted ``FellegiSunter``, or any
    model whose ``predict_proba`` gives one probability per row (or, as a
    scikit-learn classifier, one column per class: the last is taken)."""

    def predict_proba(self, X: Any) -> F64Array: ...


def is_nan_policy(missing: object) -> bool:
    """Whether ``missing`` leaves a missing comparison NaN: "nan", or a
    float NaN as the fill value (which ``compare`` treats alike)."""
    if isinstance(missing, str):
        return missing == "nan"
    return isinstance(missing, numbers.Real) and math.isnan(missing)


def check_model_missing(model: object, missing: Missing) -> None:
    """A Fellegi-Sunter model reads a missing value as its own level, so it
    needs missing comparisons as NaN ("nan", or a float NaN)."""
    from ._fellegi import FellegiSunter

    if isinstance(model, FellegiSunter) and not is_nan_policy(missing):
        raise ValueError(f"a FellegiSunter model scores missing values as a level of their own: it needs "
                         f"missing='nan', not {missing!r}")


def score_partition(
    batch: Batch,
    comparisons: Iterable[Comparison],
    scorer: Scorer | ProbabilityModel,
    *,
    keep: Sequence[str] = (),
    suffixes: tuple[str, str] = ("_l", "_r"),
    missing: Missing = "nan",
    prepare: Callable[[F64Array], F64Array] | None = None,
    threshold: float | None = 0.5,
) -> Batch:
    """Scores one pair table: ``keep`` columns, one float64 column per
    comparison (``{column}_{metric}``, as ``compare`` names them),
    ``probability`` and, unless ``threshold`` is None, ``match``
    (``probability >= threshold``; missing, not False, where the
    probability is NaN, as it is for a pair with a missing comparison under
    ``missing="nan"``).

    ``keep`` columns come back as they are (values and type); a ``keep``
    name that is also an output column's is refused, as is a NaN
    ``threshold``.

    ``batch`` is a pandas DataFrame (Dask's ``map_partitions``; the result
    keeps its index), a pyarrow RecordBatch (Spark's ``mapInArrow``, see
    ``score_batches``) or Table, or a polars DataFrame. ``missing`` is
    ``compare``'s policy. ``prepare``, if given, turns the (pairs x
    comparisons) feature matrix into the model's inputs (for example a
    rescaling done before training); it must be a module-level function
    for the workers to unpickle it.
    """
    check_missing(missing)
    check_model_missing(scorer, missing)
    pairings = pairings_of(comparisons, suffixes)
    kind = kind_of(batch, "batch")
    if isinstance(keep, str):
        raise TypeError("keep must be a list of column names, not a string")
    if threshold is not None and math.isnan(threshold):
        raise ValueError("threshold is NaN, which no probability reaches: give a number, or None for no decisions")
    outputs = [s.name for s in pairings] + ["probability"] + (["match"] if threshold is not None else [])
    for k, name in enumerate(keep):
        check_column(batch, kind, name, "batch")
        if name in outputs:
            raise ValueError(f"keep: {name!r} is also the name of an output column; rename it first")
        if name in keep[:k]:
            raise ValueError(f"keep: {name!r} is given twice")
    columns = {c: arrow_column(batch, kind, c, "batch") for s in pairings for c in (s.left, s.right)}
    n = int(batch.num_rows) if kind in ("table", "batch") else int(batch.shape[0])  # type: ignore[attr-defined]
    # One partition holds too few records to count a value's frequency: a
    # term frequency comes from the tables the model was fitted on.
    frequencies = getattr(scorer, "term_frequencies_", None) or {}
    for s in pairings:
        if s.frequency and s.name not in frequencies:
            raise ValueError(f"comparison {s.name!r}: one partition cannot give a value's term frequency over the "
                             "whole tables; score with a FellegiSunter fitted with this comparison, whose "
                             "frequencies come from the tables it was fitted on")
    scores = score_columns(columns, columns, pairings, None, n, missing, names=("left", "right"),
                           frequencies=frequencies)
    inputs = np.ascontiguousarray(scores[_model_order(scorer, pairings, prepare)].T)
    if prepare is not None:
        inputs = prepare(inputs)
    probability = np.asarray(scorer.predict_proba(inputs), dtype=np.float64)
    if probability.ndim == 2:
        probability = probability[:, -1]  # a classifier's column per class, as link reads it
    if probability.shape != (n,):
        raise ValueError(f"the model's predict_proba gave scores of shape {probability.shape} for {n} pairs")
    out: dict[str, Any] = {k: _column(batch, kind, k) for k in keep}
    out.update({s.name: row for s, row in zip(pairings, scores)})
    out["probability"] = probability
    if threshold is not None:
        out["match"] = _decisions(kind, probability, threshold)
    index = batch.index if kind == "pandas" else None  # type: ignore[attr-defined]
    result: Batch = from_columns(kind, out, index=index)
    return result


def score_batches(
    batches: Iterable[Batch], comparisons: Iterable[Comparison], scorer: Scorer | ProbabilityModel, **options: Any
) -> Iterator[Batch]:
    """``score_partition`` over each batch in turn: the calling convention of
    Spark's ``mapInArrow`` (RecordBatches) and ``mapInPandas`` (DataFrames)."""
    comparisons = list(comparisons)
    for batch in batches:
        yield score_partition(batch, comparisons, scorer, **options)


# The metrics a feature's name may end with, longest first ("levenshtein"
# ends "damerau_levenshtein").
_BY_LENGTH = sorted(STRING_METRICS + NUMERIC_METRICS + FREQUENCY_METRICS, key=len, reverse=True)


def _model_order(scorer: object, pairings: list[Pairing], prepare: object) -> list[int]:
    """The rows of the comparisons' scores in the order the model reads its
    inputs. A model that knows its features' names (a ``FellegiSunter``
    always, a ``Scorer`` fitted on a table) gets them by name, whatever the
    order of ``comparisons``. Otherwise the order is the comparisons' (as
    with ``prepare``, which reads that order): a pair table may name a
    ``(left_column, right_column, metric)`` comparison's columns its own way.
    A ``FellegiSunter`` refuses comparisons that cannot be its own in that
    order (another metric, another count, one of its names elsewhere),
    which it would otherwise weigh by another comparison's levels."""
    from ._fellegi import FellegiSunter

    names = [s.name for s in pairings]
    order = list(range(len(names)))
    wanted = getattr(scorer, "feature_names_in_", None)
    if prepare is not None or not isinstance(wanted, tuple) or list(wanted) == names:
        return order
    if sorted(wanted) == sorted(names) and len(set(names)) == len(names):
        return [names.index(name) for name in wanted]
    if not isinstance(scorer, FellegiSunter):
        # Names of the pair table's own may stand where the model's stood,
        # so the rest goes by position; but not one of the model's names in
        # another place, nor another metric where the model's name says one.
        for k, (pairing, name) in enumerate(zip(pairings, names)):
            theirs = next((m for m in _BY_LENGTH if k < len(wanted) and wanted[k].endswith("_" + m)), pairing.metric)
            if (name in wanted and wanted.index(name) != k) or theirs != pairing.metric:
                raise ValueError(f"the comparisons give the features {names}, but the model was fitted on "
                                 f"{list(wanted)}: give the comparisons the model was fitted with, in its order "
                                 "where their names differ from its own")
        return order
    if isinstance(scorer, FellegiSunter):
        metrics = [p.metric for p in pairings_of(scorer.comparisons)]
        if [s.metric for s in pairings] != metrics or any(
                name in wanted and wanted.index(name) != k for k, name in enumerate(names)):
            raise ValueError(f"comparisons {names} are not the model's {list(wanted)}: score with the comparisons "
                             "the model was fitted with (model.comparisons)")
    return order


def _column(batch: Any, kind: str, name: str) -> Any:
    """A kept column as it is: its pandas array (nullable integers,
    categoricals and strings keep their dtype, and no index alignment
    happens), polars Series or Arrow array."""
    if kind == "pandas":
        return batch[name].array
    if kind == "polars":
        return batch.get_column(name)
    return batch.column(name)


def _decisions(kind: str, probability: F64Array, threshold: float) -> Any:
    """``probability >= threshold`` as a nullable boolean column: a NaN
    probability decides nothing, so its pair's decision is missing."""
    decided, unknown = probability >= threshold, np.isnan(probability)
    if kind == "pandas":
        import pandas as pd  # type: ignore[import-untyped, unused-ignore]

        return pd.arrays.BooleanArray(decided, unknown)
    column = _pyarrow().array(decided, mask=unknown)
    if kind == "polars":
        import polars as pl

        return pl.from_arrow(column)
    return column
