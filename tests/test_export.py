"""corvane_export: scikit-learn models exported to the scorers' inputs
score like the models' own predict_proba."""

import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import _corvane_rs as m

try:
    import corvane_export as ce
except ImportError:  # running from a source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    import corvane_export as ce

sklearn = pytest.importorskip("sklearn")
from sklearn.calibration import CalibratedClassifierCV  # noqa: E402
from sklearn.datasets import make_classification  # noqa: E402
from sklearn.ensemble import (  # noqa: E402
    ExtraTreesClassifier,
    GradientBoostingClassifier,
    RandomForestClassifier,
)
from sklearn.linear_model import LogisticRegression  # noqa: E402
from sklearn.svm import SVC  # noqa: E402

EPS = np.finfo(np.float64).eps


@pytest.fixture(scope="module")
def data():
    """Linkage-like features: similarity scores in [0, 1] plus a few
    distances, float32-representable as scikit-learn's trees compare in
    float32."""
    X, y = make_classification(n_samples=800, n_features=8, n_informative=5, random_state=3)
    X[:, :5] = 1.0 / (1.0 + np.exp(-X[:, :5]))
    X = X.astype(np.float32).astype(np.float64)
    X_test = np.concatenate([X[:200], X[:50] + 0.01]).astype(np.float32).astype(np.float64)
    return X, y, X_test


def assert_valid_arrays(params):
    for key, value in params.items():
        if isinstance(value, np.ndarray):
            assert value.flags.c_contiguous, key
            assert value.dtype in (np.float64, np.int64), key
        else:
            assert type(value) is float, key


def test_logistic_regression(data):
    X, y, X_test = data
    model = LogisticRegression(C=0.7).fit(X, y)
    params = ce.export_logistic_regression(model)
    assert_valid_arrays(params)
    got = m.predict_batch(X_test, **params)
    np.testing.assert_allclose(got, model.predict_proba(X_test)[:, 1], rtol=0, atol=4 * EPS)
    # Labels other than 0/1: the score is the probability of classes_[1].
    model = LogisticRegression().fit(X, np.where(y == 1, "match", "distinct"))
    got = m.predict_batch(X_test, **ce.export_logistic_regression(model))
    col = list(model.classes_).index(model.classes_[1])
    np.testing.assert_allclose(got, model.predict_proba(X_test)[:, col], rtol=0, atol=4 * EPS)


@pytest.mark.parametrize(
    "model",
    [
        RandomForestClassifier(n_estimators=25, max_depth=9, random_state=0),
        RandomForestClassifier(n_estimators=10, class_weight="balanced", min_samples_leaf=3, random_state=1),
        ExtraTreesClassifier(n_estimators=15, random_state=2),
    ],
    ids=["forest", "weighted-forest", "extra-trees"],
)
def test_forests_match_exactly(data, model):
    X, y, X_test = data
    model.fit(X, y)
    params = ce.export_random_forest(model)
    assert_valid_arrays(params)
    assert len(params["offsets"]) == len(model.estimators_) + 1
    got = m.predict_forest_batch(X_test, **params)
    assert np.array_equal(got, model.predict_proba(X_test)[:, 1])


@pytest.mark.parametrize(
    "kwargs",
    [dict(n_estimators=60, max_depth=3, learning_rate=0.1), dict(n_estimators=20, init="zero", subsample=0.7)],
    ids=["prior", "zero-init"],
)
def test_gradient_boosting(data, kwargs):
    X, y, X_test = data
    model = GradientBoostingClassifier(random_state=0, **kwargs).fit(X, y)
    params = ce.export_gradient_boosting(model)
    assert_valid_arrays(params)
    if kwargs.get("init") == "zero":
        assert params["init_value"] == 0.0
    else:
        p = y.mean()
        assert params["init_value"] == pytest.approx(np.log(p / (1 - p)), abs=1e-12)
    got = m.predict_gbdt_batch(X_test, **params)
    np.testing.assert_allclose(got, model.predict_proba(X_test)[:, 1], rtol=0, atol=4 * EPS)


def libsvm_two_class_coupling(r01):
    """libsvm's iterative coupling of the pairwise probability for two
    classes (it stops at a tolerance of 0.0025, so predict_proba is close
    to, not equal to, Platt's sigmoid); returns the class-1 probability."""
    r10 = 1 - r01
    Q = [[r10 * r10, -r10 * r01], [-r10 * r01, r01 * r01]]
    p = [0.5, 0.5]
    for _ in range(100):
        Qp = [Q[0][0] * p[0] + Q[0][1] * p[1], Q[1][0] * p[0] + Q[1][1] * p[1]]
        pQp = p[0] * Qp[0] + p[1] * Qp[1]
        if max(abs(Qp[0] - pQp), abs(Qp[1] - pQp)) < 0.005 / 2:
            break
        for t in range(2):
            diff = (-Qp[t] + pQp) / Q[t][t]
            p[t] += diff
            pQp = (pQp + diff * (diff * Q[t][t] + 2 * Qp[t])) / (1 + diff) / (1 + diff)
            for j in range(2):
                Qp[j] = (Qp[j] + diff * Q[t][j]) / (1 + diff)
                p[j] /= 1 + diff
    return p[1]


@pytest.mark.filterwarnings("ignore::FutureWarning")
@pytest.mark.parametrize("gamma", ["scale", 0.7])
def test_svm(data, gamma):
    X, y, X_test = data
    model = SVC(kernel="rbf", probability=True, C=2.0, gamma=gamma, random_state=0).fit(X, y)
    params = ce.export_svm(model)
    assert_valid_arrays(params)
    got = m.predict_svm_batch(X_test, **params)
    # Platt's sigmoid of scikit-learn's own decision values.
    decision = model.decision_function(X_test)
    platt = 1.0 / (1.0 + np.exp(decision * params["prob_a"] - params["prob_b"]))
    np.testing.assert_allclose(got, platt, rtol=0, atol=1e-12)
    # predict_proba: the same pairwise probability after libsvm's clamping
    # and two-class coupling.
    pairwise = np.clip(1.0 - got, 1e-7, 1 - 1e-7)
    coupled = np.array([libsvm_two_class_coupling(r) for r in pairwise])
    np.testing.assert_allclose(coupled, model.predict_proba(X_test)[:, 1], rtol=0, atol=1e-9)


def test_sigmoid_calibrated_svm(data):
    X, y, X_test = data
    model = CalibratedClassifierCV(SVC(kernel="rbf", C=2.0), method="sigmoid", ensemble=False).fit(X, y)
    name, params = ce.export_model(model)
    assert name == "predict_svm_batch"
    assert_valid_arrays(params)
    got = m.predict_svm_batch(X_test, **params)
    np.testing.assert_allclose(got, model.predict_proba(X_test)[:, 1], rtol=0, atol=1e-12)
    with pytest.raises(ValueError, match="ensemble=False"):
        ce.export_svm(CalibratedClassifierCV(SVC(), method="sigmoid", ensemble=True, cv=2).fit(X, y))
    with pytest.raises(ValueError, match="sigmoid"):
        ce.export_svm(CalibratedClassifierCV(SVC(), method="isotonic", ensemble=False).fit(X, y))


@pytest.mark.filterwarnings("ignore::FutureWarning")
def test_export_model_dispatch_and_refusals(data):
    X, y, X_test = data
    y3 = np.arange(len(y)) % 3
    for model, name in [
        (LogisticRegression(), "predict_batch"),
        (RandomForestClassifier(n_estimators=3, random_state=0), "predict_forest_batch"),
        (GradientBoostingClassifier(n_estimators=3), "predict_gbdt_batch"),
        (SVC(probability=True, random_state=0), "predict_svm_batch"),
    ]:
        with pytest.raises(ValueError):
            ce.export_model(model)  # not fitted
        got_name, params = ce.export_model(model.fit(X, y))
        assert got_name == name
        assert getattr(m, name)(X_test, **params).shape == (len(X_test),)
        with pytest.raises(ValueError, match="two classes"):
            ce.export_model(model.fit(X, y3))
    with pytest.raises(ValueError, match="probability=True"):
        ce.export_svm(SVC().fit(X, y))
    with pytest.raises(ValueError, match="RBF"):
        ce.export_svm(SVC(kernel="linear", probability=True).fit(X, y))
    with pytest.raises(ValueError, match="log-loss"):
        ce.export_gradient_boosting(GradientBoostingClassifier(loss="exponential", n_estimators=2).fit(X, y))
    with pytest.raises(TypeError):
        ce.export_model(object())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError):
            ce.export_random_forest(RandomForestClassifier(n_estimators=2).fit(X, np.stack([y, y], axis=1)))
