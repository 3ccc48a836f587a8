"""Export fitted scikit-learn classifiers to the inputs of ``_corvane_rs``.

Each ``export_*`` function returns a plain ``dict`` whose keys are the
parameter names of the matching scorer (typed as a ``TypedDict`` per
scorer, so a type checker catches a misspelt key or a dict passed to the
wrong scorer), so a model is scored with::

    params = export_random_forest(forest)
    scores = _corvane_rs.predict_forest_batch(features, **params)

Arrays are C-contiguous ``float64`` or ``int64`` NumPy arrays; scalars are
Python floats. With these inputs the scorers reproduce
``model.predict_proba(X)[:, 1]``: exactly for a random forest (when the
features are representable as float32, as scikit-learn's trees compare in
float32), within a few ulps for logistic regression and gradient boosting
(scikit-learn sums and exponentiates in its own order), and to about 1e-15
for the calibrated SVM; ``SVC(probability=True)``'s own ``predict_proba``
adds libsvm's pairwise coupling on top of Platt's sigmoid and differs by
up to a few 1e-3 (see ``export_svm``).

Supported models:

* ``LogisticRegression`` (two classes) -> ``predict_batch``
* ``RandomForestClassifier`` / ``ExtraTreesClassifier`` (two classes,
  one output) -> ``predict_forest_batch``
* ``GradientBoostingClassifier`` (two classes, log-loss) ->
  ``predict_gbdt_batch``
* ``SVC(kernel="rbf", probability=True)``, or such an SVC (without
  ``probability``) inside ``CalibratedClassifierCV(method="sigmoid",
  ensemble=False)`` (two classes, dense) -> ``predict_svm_batch``

``export_model`` picks the right exporter and also returns the scorer's
name.
"""

# scikit-learn ships no type information; its imports below are untyped.
# mypy: disable-error-code="import-untyped"

from __future__ import annotations

import math
from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = [
    "export_logistic_regression",
    "export_random_forest",
    "export_gradient_boosting",
    "export_svm",
    "export_model",
    "LogisticRegressionParams",
    "RandomForestParams",
    "GradientBoostingParams",
    "SvmParams",
    "ExportedParams",
    "ScorerName",
    "SUPPORTED_MODELS",
]

F64Array: TypeAlias = npt.NDArray[np.float64]

# What export_model takes, as its error message lists it.
SUPPORTED_MODELS = (
    "LogisticRegression, RandomForestClassifier, ExtraTreesClassifier, "
    "GradientBoostingClassifier (log-loss), SVC(kernel='rbf', probability=True), "
    "CalibratedClassifierCV(SVC(kernel='rbf'), method='sigmoid', ensemble=False); "
    "all fitted on two classes"
)
I64Array: TypeAlias = npt.NDArray[np.int64]


# The returned dicts, one type per scorer: their keys are the scorer's
# keyword parameters, so ``scorer(features, **params)`` type-checks and a
# misspelt key is a type error. scikit-learn has no type information, so
# the models themselves are taken as ``Any``.


class LogisticRegressionParams(TypedDict):
    """Keyword arguments of ``predict_batch`` after ``features``."""

    weights: F64Array
    bias: float


class RandomForestParams(TypedDict):
    """Keyword arguments of ``predict_forest_batch`` after ``features``: the
    flat tree layout, ``offsets[t]:offsets[t + 1]`` delimiting tree t."""

    offsets: I64Array
    children_left: I64Array
    children_right: I64Array
    tree_features: I64Array
    thresholds: F64Array
    values: F64Array


class GradientBoostingParams(RandomForestParams):
    """Keyword arguments of ``predict_gbdt_batch`` after ``features``."""

    learning_rate: float
    init_value: float


class SvmParams(TypedDict):
    """Keyword arguments of ``predict_svm_batch`` after ``features``."""

    support_vectors: F64Array
    dual_coef: F64Array
    intercept: float
    gamma: float
    prob_a: float
    prob_b: float


ScorerName: TypeAlias = Literal[
    "predict_batch", "predict_forest_batch", "predict_gbdt_batch", "predict_svm_batch"
]
ExportedParams: TypeAlias = (
    LogisticRegressionParams | RandomForestParams | GradientBoostingParams | SvmParams
)


def _f64(a: npt.ArrayLike) -> F64Array:
    return np.ascontiguousarray(a, dtype=np.float64)


def _i64(a: npt.ArrayLike) -> I64Array:
    return np.ascontiguousarray(a, dtype=np.int64)


def _require_fitted(model: Any, attribute: str) -> None:
    if not hasattr(model, attribute):
        raise ValueError(f"{type(model).__name__} is not fitted")


def _require_binary(model: Any) -> None:
    classes = getattr(model, "classes_", None)
    if classes is None or np.ndim(classes) != 1 or len(classes) != 2:
        raise ValueError(f"{type(model).__name__} must be fitted on exactly two classes")


def export_logistic_regression(model: Any) -> LogisticRegressionParams:
    """Weights and bias of a two-class logistic regression.

    Returns ``{"weights": (F,) float64, "bias": float}``, the inputs of
    ``predict_batch``; scores are the probabilities of ``classes_[1]``.
    """
    _require_fitted(model, "coef_")
    _require_binary(model)
    coef = np.asarray(model.coef_)
    if coef.ndim != 2 or coef.shape[0] != 1:
        raise ValueError("logistic regression must have a single row of coefficients")
    return {"weights": _f64(coef[0]), "bias": float(np.asarray(model.intercept_).reshape(-1)[0])}


def _flatten_trees(trees: Iterable[Any], leaf_value: Callable[[Any], npt.ArrayLike]) -> RandomForestParams:
    """Concatenates fitted ``Tree`` objects into the flat tree layout.

    ``leaf_value(tree)`` gives one float64 per node (read at leaves only).
    """
    offsets = [0]
    left: list[npt.NDArray[Any]] = []
    right: list[npt.NDArray[Any]] = []
    feature: list[npt.NDArray[Any]] = []
    threshold: list[npt.NDArray[Any]] = []
    value: list[F64Array] = []
    for tree in trees:
        n = int(tree.node_count)
        left.append(np.asarray(tree.children_left[:n]))
        right.append(np.asarray(tree.children_right[:n]))
        feature.append(np.asarray(tree.feature[:n]))
        threshold.append(np.asarray(tree.threshold[:n]))
        value.append(np.asarray(leaf_value(tree), dtype=np.float64).reshape(n))
        offsets.append(offsets[-1] + n)
    if not left:
        raise ValueError("the ensemble has no trees")
    return {
        "offsets": _i64(offsets),
        "children_left": _i64(np.concatenate(left)),
        "children_right": _i64(np.concatenate(right)),
        "tree_features": _i64(np.concatenate(feature)),
        "thresholds": _f64(np.concatenate(threshold)),
        "values": _f64(np.concatenate(value)),
    }


def export_random_forest(model: Any) -> RandomForestParams:
    """Flat tree layout of a two-class forest, with class-1 leaf fractions.

    Each leaf holds the fraction of ``classes_[1]`` among the (weighted)
    training samples that reached it, which is what each tree's
    ``predict_proba`` returns; the forest score is their mean. Returns the
    six layout arrays of ``predict_forest_batch``.
    """
    _require_fitted(model, "estimators_")
    if getattr(model, "n_outputs_", 1) != 1:  # before the classes, which are then one list per output
        raise ValueError("only single-output forests can be exported")
    _require_binary(model)

    def class1_fraction(tree: Any) -> F64Array:
        # value has shape (n_nodes, n_outputs, max_classes). Recent
        # scikit-learn stores fractions there; older versions store counts,
        # which are normalised the way their predict_proba did.
        value = np.asarray(tree.value)[:, 0, :2].astype(np.float64)
        total = value.sum(axis=1)
        if np.allclose(total[total > 0], 1.0):
            return value[:, 1]
        total[total == 0.0] = 1.0
        return value[:, 1] / total

    return _flatten_trees([est.tree_ for est in model.estimators_], class1_fraction)


def _gbdt_init_value(model: Any) -> float:
    """Raw (log-odds) prediction of the boosting model's initial estimator.

    Only a constant initial prediction can be exported: ``init="zero"`` or
    the default prior (a ``DummyClassifier``).
    """
    from sklearn.dummy import DummyClassifier

    init = model.init_
    if isinstance(init, str) and init == "zero":
        return 0.0
    if not isinstance(init, DummyClassifier) or init.strategy != "prior":
        raise ValueError("only the default prior or init='zero' can be exported")
    probe = np.zeros((1, int(model.n_features_in_)), dtype=np.float32)
    raw_init = getattr(model, "_raw_predict_init", None)
    if raw_init is not None:
        # scikit-learn's own computation, so the value matches bit for bit.
        return float(np.asarray(raw_init(probe), dtype=np.float64)[0, 0])
    # Fallback for versions without that helper: the clipped prior on the
    # log-odds scale.
    p = float(np.asarray(init.predict_proba(probe))[0, 1])
    eps = float(np.finfo(np.float64).eps)
    p = min(max(p, eps), 1.0 - eps)
    return math.log(p / (1.0 - p))


def export_gradient_boosting(model: Any) -> GradientBoostingParams:
    """Flat tree layout of a two-class log-loss gradient boosting model.

    Leaves hold the trees' raw values; ``learning_rate`` and the initial
    log-odds ``init_value`` complete the inputs of ``predict_gbdt_batch``.
    """
    _require_fitted(model, "estimators_")
    _require_binary(model)
    loss = getattr(model, "loss", "log_loss")
    if loss not in ("log_loss", "deviance"):
        raise ValueError(f"only the log-loss can be exported, not {loss!r}")
    estimators = np.asarray(model.estimators_)
    if estimators.ndim != 2 or estimators.shape[1] != 1:
        raise ValueError("gradient boosting must have one tree per stage")
    flat = _flatten_trees(
        [est.tree_ for est in estimators[:, 0]],
        lambda tree: np.asarray(tree.value)[:, 0, 0],
    )
    return GradientBoostingParams(
        **flat,
        learning_rate=float(model.learning_rate),
        init_value=_gbdt_init_value(model),
    )


def _svc_parts(svc: Any) -> Callable[[float, float], SvmParams]:
    """Support vectors and decision-function terms of a fitted RBF SVC,
    checked now; completed with the Platt parameters by the returned call."""
    from sklearn.svm import SVC

    if not isinstance(svc, SVC):
        raise ValueError(f"expected an SVC, got {type(svc).__name__}")
    _require_fitted(svc, "support_vectors_")
    _require_binary(svc)
    if svc.kernel != "rbf":
        raise ValueError("only the RBF kernel can be exported")
    if getattr(svc, "_sparse", False):
        raise ValueError("only SVMs fitted on dense data can be exported")
    support_vectors = _f64(svc.support_vectors_)
    dual_coef = _f64(np.asarray(svc.dual_coef_)[0])
    intercept = float(np.asarray(svc.intercept_).reshape(-1)[0])
    gamma = float(svc._gamma)

    def with_platt(prob_a: float, prob_b: float) -> SvmParams:
        return SvmParams(
            support_vectors=support_vectors,
            dual_coef=dual_coef,
            intercept=intercept,
            gamma=gamma,
            prob_a=prob_a,
            prob_b=prob_b,
        )

    return with_platt


def export_svm(model: Any) -> SvmParams:
    """Support vectors, coefficients and Platt parameters of an RBF SVM.

    ``model`` is either an ``SVC(kernel="rbf", probability=True)`` or a
    ``CalibratedClassifierCV(SVC(kernel="rbf"), method="sigmoid",
    ensemble=False)`` (the replacement scikit-learn recommends), fitted on
    two classes with dense data.

    The scorer computes ``decision = intercept + sum(dual_coef * exp(-gamma
    * d2))`` with scikit-learn's signs (positive favours ``classes_[1]``)
    and returns ``1 / (exp(decision * prob_a - prob_b) + 1)``, the
    probability of ``classes_[1]``. libsvm's Platt parameters (``probA_``,
    ``probB_``) fit exactly that form; a sigmoid calibrator's ``a_`` and
    ``b_`` give ``prob_a = a_`` and ``prob_b = -b_``.

    With ``probability=True``, scikit-learn's ``predict_proba`` also runs
    libsvm's pairwise coupling, which stops at a tolerance of 0.0025 even
    for two classes, so it differs from Platt's sigmoid (and from the
    scorer) by up to a few 1e-3. The calibrated form matches to rounding.
    """
    from sklearn.calibration import CalibratedClassifierCV

    if isinstance(model, CalibratedClassifierCV):
        _require_fitted(model, "calibrated_classifiers_")
        _require_binary(model)
        if model.method != "sigmoid":
            raise ValueError("only sigmoid calibration can be exported")
        if len(model.calibrated_classifiers_) != 1:
            raise ValueError("the calibrated SVC must be fitted with ensemble=False")
        calibrated = model.calibrated_classifiers_[0]
        complete = _svc_parts(calibrated.estimator)
        (calibrator,) = calibrated.calibrators
        return complete(float(calibrator.a_), -float(calibrator.b_))

    complete = _svc_parts(model)
    prob_a = np.asarray(getattr(model, "probA_", ()))
    prob_b = np.asarray(getattr(model, "probB_", ()))
    if prob_a.size != 1 or prob_b.size != 1:
        raise ValueError("the SVC must be fitted with probability=True")
    return complete(float(prob_a.reshape(-1)[0]), float(prob_b.reshape(-1)[0]))


def export_model(model: Any) -> tuple[ScorerName, ExportedParams]:
    """Exports any supported model; returns ``(scorer name, parameters)``.

    Example::

        name, params = export_model(model)
        scores = getattr(_corvane_rs, name)(features, **params)
    """
    from sklearn.ensemble import (
        ExtraTreesClassifier,
        GradientBoostingClassifier,
        RandomForestClassifier,
    )
    from sklearn.calibration import CalibratedClassifierCV
    from sklearn.linear_model import LogisticRegression
    from sklearn.svm import SVC

    if isinstance(model, LogisticRegression):
        return "predict_batch", export_logistic_regression(model)
    if isinstance(model, (RandomForestClassifier, ExtraTreesClassifier)):
        return "predict_forest_batch", export_random_forest(model)
    if isinstance(model, GradientBoostingClassifier):
        return "predict_gbdt_batch", export_gradient_boosting(model)
    if isinstance(model, (SVC, CalibratedClassifierCV)):
        return "predict_svm_batch", export_svm(model)
    raise TypeError(f"cannot export {type(model).__name__}; supported: {SUPPORTED_MODELS}")
