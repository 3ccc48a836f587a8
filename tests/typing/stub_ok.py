"""Correct uses of _corvane_rs: must type-check cleanly and run."""

from decimal import Decimal

import numpy as np
import numpy.typing as npt

import _corvane_rs as m

left = ["martha", "dwayne", "dixon"]
right = ("marhta", "duane", "dicksonx")

scores: list[float] = m.jaro_winkler_batch(left, right)
scores = m.levenshtein_batch(left=left, right=right)
scores = m.damerau_levenshtein_batch(left, right)
scores = m.exact_match_batch(left, right)
scores = m.soundex_batch(left, right)
scores = m.jaccard_batch(left, right)
scores = m.cosine_batch(left, right)
scores = m.token_sort_ratio_batch(right=right, left=left)
scores = m.numeric_distance_batch([1, 2.5, True], [1.0, np.float64(2.0), Decimal("3")])
scores = m.numeric_similarity_batch((0.0,), [np.int64(0)])

numeric_left = np.array([[1.0, 2.0, 3.0]])
numeric_right = np.array([[1.0, 2.5, 4.0]])
flat: npt.NDArray[np.float64] = m.compute_feature_matrix([left], [list(right)], ["jaro_winkler"], numeric_left,
                                                         numeric_right, ["numeric"], 3)
features = flat.reshape(3, 2)
probabilities: npt.NDArray[np.float64] = m.predict_batch(features, np.array([1.0, -0.5]), 0)

i64 = np.array([0, 3], dtype=np.int64), np.array([1, -1, -1], dtype=np.int64), np.array([2, -1, -1], dtype=np.int64)
offsets, children_left, children_right = i64
tree_features, thresholds, values = np.array([0, -2, -2], dtype=np.int64), np.array([0.5, -2.0, -2.0]), np.zeros(3)
probabilities = m.predict_forest_batch(features, offsets, children_left, children_right, tree_features, thresholds,
                                       values)
probabilities = m.predict_gbdt_batch(features, offsets=offsets, children_left=children_left,
                                     children_right=children_right, tree_features=tree_features, thresholds=thresholds,
                                     values=values, learning_rate=0.1, init_value=np.float64(-1.0))
probabilities = m.predict_svm_batch(features, features.copy(), np.array([1.0, -1.0, 0.5]), 0.0, 0.5, -2.0, 0.1)
names: list[str] = m.__all__
