"""corvane_export: scikit-learn models exported to the scorers' inputs
score like the models' own predict_proba."""

import warnings

import numpy as np
import pytest

import _corvane_rs as m
import corvane_export as ce

pytest.importorskip("sklearn")
from sklearn.calibration import CalibratedClassifierCV  # noqa: E402
from sklearn.datasets import make_classification  # noqa: E402
from sklearn.ensemble import ExtraTreesClassifier, GradientBoostingClassifier, RandomForestClassifier  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402
from sklearn.svm import SVC  # noqa: E402

EPS = np.finfo(np.float64).eps


@pytest.fixture(scope="module")
def data():
    """Linkage-like features (similarities in [0, 1] and a few distances),
    float32-representable since scikit-learn's trees compare in float32."""
    X, y = make_classification(n_samples=800, n_features=8, n_informative=5, random_state=3)
    X[:, :5] = 1.0 / (1.0 + np.exp(-X[:, :5]))
    X = X.astype(np.float32).astype(np.float64)
    return X, y, np.concatenate([X[:200], X[:50] + 0.01]).astype(np.float32).astype(np.float64)


def exported(model, name):
    got_name, params = ce.export_model(model)
    assert got_name == name
    for key, value in params.items():
        assert (value.flags.c_contiguous and value.dtype in (np.float64, np.int64)) if isinstance(
            value, np.ndarray) else type(value) is float, key
    return params


def test_logistic_regression(data):
    X, y, X_test = data
    for labels in (y, np.where(y == 1, "match", "distinct")):  # the score is the probability of classes_[1]
        model = LogisticRegression(C=0.7).fit(X, labels)
        got = m.predict_batch(X_test, **exported(model, "predict_batch"))
        np.testing.assert_allclose(got, model.predict_proba(X_test)[:, 1], rtol=0, atol=4 * EPS)


@pytest.mark.parametrize("model", [
    RandomForestClassifier(n_estimators=25, max_depth=9, random_state=0),
    RandomForestClassifier(n_estimators=10, class_weight="balanced", min_samples_leaf=3, random_state=1),
    ExtraTreesClassifier(n_estimators=15, random_state=2)], ids=["forest", "weighted-forest", "extra-trees"])
def test_forests_match_exactly(data, model):
    X, y, X_test = data
    params = exported(model.fit(X, y), "predict_forest_batch")
    assert len(params["offsets"]) == len(model.estimators_) + 1
    assert np.array_equal(m.predict_forest_batch(X_test, **params), model.predict_proba(X_test)[:, 1])


@pytest.mark.parametrize("kwargs", [dict(n_estimators=60, max_depth=3, learning_rate=0.1),
                                    dict(n_estimators=20, init="zero", subsample=0.7)], ids=["prior", "zero-init"])
def test_gradient_boosting(data, kwargs):
    X, y, X_test = data
    y = y & (np.arange(len(y)) % 3 > 0)  # unbalanced, so the prior's log-odds are not 0
    model = GradientBoostingClassifier(random_state=0, **kwargs).fit(X, y)
    params = exported(model, "predict_gbdt_batch")
    p = y.mean()
    assert params["init_value"] == (0.0 if "init" in kwargs else pytest.approx(np.log(p / (1 - p)), abs=1e-12))
    for rows in (X_test, X_test[:2]):  # many rows, and few (the per-row walk)
        np.testing.assert_allclose(m.predict_gbdt_batch(rows, **params), model.predict_proba(rows)[:, 1], rtol=0,
                                   atol=4 * EPS)


def libsvm_coupling(r01):
    """The class-1 probability after libsvm's iterative two-class coupling
    (stopped at a tolerance of 0.0025: predict_proba is near, not at, Platt's)."""
    r10 = 1 - r01
    Q, p = [[r10 * r10, -r10 * r01], [-r10 * r01, r01 * r01]], [0.5, 0.5]
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
    params = exported(model, "predict_svm_batch")
    got = m.predict_svm_batch(X_test, **params)
    platt = 1.0 / (1.0 + np.exp(model.decision_function(X_test) * params["prob_a"] - params["prob_b"]))
    np.testing.assert_allclose(got, platt, rtol=0, atol=1e-12)
    coupled = [libsvm_coupling(r) for r in np.clip(1.0 - got, 1e-7, 1 - 1e-7)]  # libsvm clamps first
    np.testing.assert_allclose(coupled, model.predict_proba(X_test)[:, 1], rtol=0, atol=1e-9)


def test_sigmoid_calibrated_svm(data):
    X, y, X_test = data
    model = CalibratedClassifierCV(SVC(kernel="rbf", C=2.0), method="sigmoid", ensemble=False).fit(X, y)
    got = m.predict_svm_batch(X_test, **exported(model, "predict_svm_batch"))
    np.testing.assert_allclose(got, model.predict_proba(X_test)[:, 1], rtol=0, atol=1e-12)
    with pytest.raises(ValueError, match="ensemble=False"):
        ce.export_svm(CalibratedClassifierCV(SVC(), method="sigmoid", ensemble=True, cv=2).fit(X, y))
    with pytest.raises(ValueError, match="sigmoid"):
        ce.export_svm(CalibratedClassifierCV(SVC(), method="isotonic", ensemble=False).fit(X, y))


@pytest.mark.filterwarnings("ignore::FutureWarning")
def test_refusals(data):
    X, y, _ = data
    for model in (LogisticRegression(), RandomForestClassifier(3), GradientBoostingClassifier(n_estimators=3), SVC()):
        with pytest.raises(ValueError):
            ce.export_model(model)  # not fitted
        with pytest.raises(ValueError, match="two classes"):
            ce.export_model(model.fit(X, np.arange(len(y)) % 3))
    for model, match in [(SVC().fit(X, y), "probability=True"), (SVC(kernel="linear").fit(X, y), "RBF"),
                         (GradientBoostingClassifier(loss="exponential", n_estimators=2).fit(X, y), "log-loss")]:
        with pytest.raises(ValueError, match=match):
            ce.export_model(model)
    with pytest.raises(TypeError):
        ce.export_model(object())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(ValueError, match="^only single-output forests can be exported$"):
            ce.export_random_forest(RandomForestClassifier(n_estimators=2).fit(X, np.stack([y, y], axis=1)))
