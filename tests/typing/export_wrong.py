"""Misuses of the exported parameters: mypy must flag every line marked
"# error"."""

import numpy as np

import _corvane_rs as m
import corvane
import corvane_export as ce

X = np.zeros((2, 2))
logistic = ce.export_logistic_regression(None)
forest = ce.export_random_forest(None)
boosting = ce.export_gradient_boosting(None)
svm = ce.export_svm(None)

logistic["weigths"]  # error
svm["prob_A"] = 1.0  # error
typo: ce.LogisticRegressionParams = {"weights": X[0], "bais": 0.0}  # error
m.predict_batch(X, **forest)  # error
m.predict_forest_batch(X, **boosting)  # error
m.predict_gbdt_batch(X, **forest)  # error
m.predict_svm_batch(X, **logistic)  # error
name: ce.ScorerName = "predict_logistic"  # error
m.compute_feature_matrix([], [], ["jarowinkler"], X, X, [], 0)  # error
corvane.compare(None, None, ([], []), [("name", "jarowinkler")])  # error
