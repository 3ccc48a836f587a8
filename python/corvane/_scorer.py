"""``Scorer``: a fitted scikit-learn classifier, exported once, scored by the engine."""

from __future__ import annotations

import sys
from typing import Any, Literal, TypeAlias, get_args

import numpy as np
import numpy.typing as npt

import _corvane_rs
import corvane_export
from corvane_export import ExportedParams, ScorerName

from ._compare import _pyarrow

__all__ = ["Scorer", "NanRule"]

# "error": a tree scorer refuses NaN features; "left": it sends NaN to the
# left child at every split (the engine's rule).
NanRule: TypeAlias = Literal["error", "left"]
F64Array: TypeAlias = npt.NDArray[np.float64]

_TREE_SCORERS = ("predict_forest_batch", "predict_gbdt_batch")


class Scorer:
    """Scores feature matrices with an exported two-class model.

    Build it with ``Scorer.from_sklearn(model)``. ``name`` is the engine
    function that scores (``"predict_forest_batch"``, ...), ``params`` its
    exported parameters (plain NumPy arrays and floats), ``n_features_in_``
    the number of features the model was fitted on. A Scorer pickles with
    its parameters, so it travels to Dask and Spark workers; scikit-learn
    is needed only to build it.
    """

    name: ScorerName
    params: ExportedParams
    n_features_in_: int
    feature_names_in_: tuple[str, ...] | None
    nan: NanRule

    def __init__(
        self,
        name: ScorerName,
        params: ExportedParams,
        n_features_in: int,
        *,
        feature_names_in: tuple[str, ...] | None = None,
        nan: NanRule = "error",
    ) -> None:
        if name not in get_args(ScorerName):
            raise ValueError(f"unknown scorer {name!r}; scorers: {', '.join(get_args(ScorerName))}")
        if nan not in get_args(NanRule):
            raise ValueError(f"nan must be 'error' or 'left', not {nan!r}")
        self.name = name
        self.params = params
        self.n_features_in_ = int(n_features_in)
        self.feature_names_in_ = feature_names_in
        self.nan = nan

    @classmethod
    def from_sklearn(cls, model: Any, *, nan: NanRule = "error") -> Scorer:
        """Exports a fitted model (see ``corvane_export`` for the supported
        ones; any other raises ``TypeError`` listing them).

        ``nan`` matters for tree models only. scikit-learn routes a NaN
        feature to the side its training saw NaN on (or refuses it); the
        engine sends NaN to the left child at every split, so the two
        disagree. By default ``predict_proba`` refuses NaN for trees;
        ``nan="left"`` accepts the engine's rule.
        """
        name, params = corvane_export.export_model(model)
        names = getattr(model, "feature_names_in_", None)
        return cls(
            name,
            params,
            int(model.n_features_in_),
            feature_names_in=None if names is None else tuple(str(n) for n in names),
            nan=nan,
        )

    @property
    def is_tree(self) -> bool:
        """Whether the model is a tree ensemble (forest or boosting)."""
        return self.name in _TREE_SCORERS

    def predict_proba(self, X: Any) -> F64Array:
        """Probability of ``classes_[1]`` for every row of ``X``.

        ``X`` is a 2-D array of any numeric dtype and memory order, or a
        pandas / polars DataFrame or pyarrow Table, with the model's
        ``n_features_in_`` columns (in the fitted order when the model
        was fitted on a DataFrame). Tree models round the features to
        float32 first, as scikit-learn's trees do, so they score exactly
        like ``model.predict_proba(X)[:, 1]``.
        """
        features, columns = _matrix(X)
        return self._score(features, columns)

    def _score(self, features: F64Array, columns: tuple[str, ...] | None, *, nan_checked: bool = False) -> F64Array:
        """``predict_proba`` of a float64 matrix (any memory order) whose
        columns are named ``columns``: what ``link`` hands over, its
        comparisons' scores as the engine wrote them, without a table.
        ``nan_checked``: the caller has refused NaN itself, in its own words."""
        if features.ndim != 2:
            raise ValueError(f"X must be 2-D (rows x features), not of shape {features.shape}")
        if features.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {features.shape[1]} columns, but the model was fitted on {self.n_features_in_} "
                f"features (n_features_in_)"
            )
        if columns is not None and self.feature_names_in_ is not None and columns != self.feature_names_in_:
            raise ValueError(
                f"X's columns {list(columns)} are not the features the model was fitted on, in order: "
                f"{list(self.feature_names_in_)}"
            )
        if self.is_tree:
            features = features.astype(np.float32).astype(np.float64)
            if self.nan == "error" and not nan_checked:
                _refuse_nan(features, columns)
        scores: F64Array = getattr(_corvane_rs, self.name)(features, **self.params)
        return scores

    def __repr__(self) -> str:
        return f"Scorer({self.name!r}, n_features_in_={self.n_features_in_}, nan={self.nan!r})"


def _refuse_nan(features: F64Array, columns: tuple[str, ...] | None) -> None:
    nan = np.isnan(features)
    if not nan.any():
        return
    row, column = (int(i) for i in np.argwhere(nan)[0])
    label = f"column {columns[column]!r}" if columns is not None else f"column {column}"
    raise ValueError(
        f"X has NaN ({label}, row {row}, {int(nan.sum())} in all). scikit-learn's trees send NaN to the "
        "side chosen in training (or refuse it), while this scorer sends NaN to the left child at every "
        "split, so the probabilities would differ. Impute missing features first (for example "
        "corvane.compare(..., missing=0.0), or fillna), or pass nan='left' to Scorer.from_sklearn to "
        "accept the left-child rule."
    )


def _matrix(X: Any) -> tuple[F64Array, tuple[str, ...] | None]:
    """X as a float64 NumPy array (converted once), and its column names."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(X, pd.DataFrame):
        columns = tuple(str(c) for c in X.columns)
        return np.asarray(X.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64), columns
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(X, pl.DataFrame):
        return np.asarray(X.to_numpy(), dtype=np.float64), tuple(X.columns)
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(X, (pa.Table, pa.RecordBatch)):
        out = np.empty((X.num_rows, X.num_columns))
        for j, column in enumerate(X.columns):
            out[:, j] = _pyarrow().compute.cast(column, pa.float64(), safe=False).to_numpy(zero_copy_only=False)
        return out, tuple(X.column_names)
    return np.asarray(X, dtype=np.float64), None
