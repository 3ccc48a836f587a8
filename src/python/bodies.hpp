// Bodies of the module functions, one per entry of the function table.
#pragma once

#include "python/binding.hpp"

namespace corvane {

using Body = PyObject* (*)(const Args&);

PyObject* body_exact_match_batch(const Args& args);
PyObject* body_jaro_winkler_batch(const Args& args);
PyObject* body_levenshtein_batch(const Args& args);
PyObject* body_damerau_levenshtein_batch(const Args& args);
PyObject* body_soundex_batch(const Args& args);
PyObject* body_jaccard_batch(const Args& args);
PyObject* body_cosine_batch(const Args& args);
PyObject* body_token_sort_ratio_batch(const Args& args);
PyObject* body_numeric_distance_batch(const Args& args);
PyObject* body_numeric_similarity_batch(const Args& args);
PyObject* body_compute_feature_matrix(const Args& args);
PyObject* body_compare_pairs(const Args& args);
PyObject* body_compare_plan(const Args& args);
PyObject* body_plan_pairs(const Args& args);
PyObject* body_predict_batch(const Args& args);
PyObject* body_predict_forest_batch(const Args& args);
PyObject* body_predict_gbdt_batch(const Args& args);
PyObject* body_predict_svm_batch(const Args& args);
PyObject* body_candidate_pairs(const Args& args);
PyObject* body_candidate_counts(const Args& args);
PyObject* body_encode_keys(const Args& args);
PyObject* body_candidate_index(const Args& args);
PyObject* body_index_pairs(const Args& args);
PyObject* body_index_counts(const Args& args);
PyObject* body_combine_keys(const Args& args);
PyObject* body_count_equal_pairs(const Args& args);
PyObject* body_count_rule_pairs(const Args& args);
PyObject* body_rule_keys(const Args& args);
PyObject* body_connected_components(const Args& args);
PyObject* body_match_weight_batch(const Args& args);
PyObject* body_level_key_batch(const Args& args);
PyObject* body_frequency_weight_batch(const Args& args);
PyObject* body_compare_levels(const Args& args);

}  // namespace corvane
