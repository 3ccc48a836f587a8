"""Each model exported and scored the way users do: must type-check under
mypy --strict and run."""

import numpy as np
import numpy.typing as npt
from sklearn.calibration import CalibratedClassifierCV
from sklearn.ensemble import GradientBoostingClassifier, RandomForestClassifier
from sklearn.linear_model import LogisticRegression
from sklearn.svm import SVC

import _corvane_rs as m
import corvane
import corvane_export as ce

rng = np.random.default_rng(0)
X: npt.NDArray[np.float64] = rng.random((60, 2)).astype(np.float32).astype(np.float64)
y = X[:, 0] > X[:, 1]

logistic: ce.LogisticRegressionParams = ce.export_logistic_regression(LogisticRegression().fit(X, y))
forest: ce.RandomForestParams = ce.export_random_forest(
    RandomForestClassifier(n_estimators=3, random_state=0).fit(X, y)
)
boosting: ce.GradientBoostingParams = ce.export_gradient_boosting(
    GradientBoostingClassifier(n_estimators=3, random_state=0).fit(X, y)
)
svm: ce.SvmParams = ce.export_svm(
    CalibratedClassifierCV(SVC(), method="sigmoid", ensemble=False).fit(X, y)
)

scores: list[npt.NDArray[np.float64]] = [
    m.predict_batch(X, **logistic),
    m.predict_forest_batch(X, **forest),
    m.predict_gbdt_batch(X, **boosting),
    m.predict_svm_batch(X, **svm),
]
bias: float = logistic["bias"] + svm["prob_a"] + boosting["learning_rate"]
offsets: npt.NDArray[np.int64] = forest["offsets"]

name, params = ce.export_model(LogisticRegression().fit(X, y))
scorer_name: ce.ScorerName = name
scores.append(getattr(m, name)(X, **params))

# A list of comparisons kept in a variable, typed as the README says.
comparisons: list[corvane.Comparison] = [("given_name", "jaro_winkler"), ("surname", "last_name", "exact"),
                                         ("born", "date_distance", (0, 31))]
feature_columns: list[str] = corvane.feature_names(comparisons)
