"""Wrong uses of _corvane_rs: mypy must flag every line marked "# error"."""

import numpy as np
import numpy.typing as npt

import _corvane_rs as m

features = np.zeros((2, 2))
weights = np.zeros(2)
i64 = np.zeros(2, dtype=np.int64)

m.jaro_winkler_batch([1, 2], ["a", "b"])  # error
m.exact_match_batch(left=["a"], rigth=["b"])  # error
m.levenshtein_batch(["a"])  # error
m.numeric_distance_batch(["1.0"], ["2.0"])  # error
m.compute_feature_matrix([["a"]], [["b"]], ["exact"], features, features, [], 1.0)  # error
m.compute_feature_matrix([["a"]], [["b"]], ["exact"], [[1.0]], features, [], 1)  # error
m.predict_batch(features, weights)  # error
m.predict_batch(features.tolist(), weights, 0.0)  # error
m.predict_batch(features, weights, "0.5")  # error
m.predict_forest_batch(features, np.zeros(2), i64, i64, i64, weights, weights)  # error
m.predict_gbdt_batch(features, i64, i64, i64, i64, weights, weights, 0.1)  # error
m.predict_svm_batch(features, features, weights, 0.0, 1.0, 0.0, None)  # error
as_list: list[float] = m.predict_batch(features, weights, 0.0)  # error
as_array: npt.NDArray[np.float64] = m.cosine_batch(["a"], ["a"])  # error
m.predict_logistic(features, weights, 0.0)  # error
