// The function table: names, parameters, docstrings and bodies, in the
// order the module registers them (also the order of __all__).
#include "python/registry.hpp"

#include <array>
#include <utility>

namespace corvane {

namespace {

// clang-format off
const char* const kDocComputeFeatureMatrix =
    "compute_feature_matrix(string_columns_left, string_columns_right, string_metric_types, numeric_left, numeric_right, numeric_metric_types, n_pairs)\n--\n\n"
    "Compute a feature matrix for multiple comparisons in a single native call.\n"
    "\n"
    "Accepts string columns as list-of-lists and numeric columns as a 2D numpy\n"
    "array (shape: n_numeric_cols \u00d7 n_pairs) to avoid Python list conversion overhead.\n"
    "\n"
    "Parameters:\n"
    "- string_columns_left/right: list of lists for string-based metrics\n"
    "- string_metric_types: metric name per string column\n"
    "- numeric_left/right: 2D numpy array (n_numeric_cols, n_pairs) for numeric metrics\n"
    "- numeric_metric_types: metric name per numeric column\n"
    "- n_pairs: total number of pairs\n"
    "\n"
    "Returns: flat f64 array of shape (n_pairs * n_features,) \u2014 reshape in Python.";

const char* const kDocComparePairs =
    "compare_pairs(left, right, metrics, left_positions, right_positions, missing)\n--\n\n"
    "Score candidate pairs straight from the record columns of both sides.\n"
    "\n"
    "left[k] and right[k] are the record columns of comparison k (strings for\n"
    "string metrics, numbers for numeric ones), metrics[k] its metric. Pair p\n"
    "compares record left_positions[p] with record right_positions[p] (int64\n"
    "arrays). A pair with a missing value (a null, or NaN in a number column)\n"
    "scores `missing` (a number, NaN included), or raises ValueError naming\n"
    "the first such pair when missing is 'error'. A position outside its\n"
    "side raises IndexError naming the first such pair.\n"
    "\n"
    "Returns: float64 array of shape (n_comparisons, n_pairs), row k holding\n"
    "comparison k's scores.";

const char* const kDocComparePlan =
    "compare_plan(left, right, metrics, pairs)\n--\n\n"
    "The columns and metrics of compare_pairs, read once for many calls of\n"
    "plan_pairs over the same columns. pairs: how many pairs those calls\n"
    "score in all (it decides the per-record work done once here). Returns\n"
    "an opaque plan.";

const char* const kDocPlanPairs =
    "plan_pairs(plan, left_positions, right_positions, missing)\n--\n\n"
    "compare_pairs of a compare_plan's columns and metrics: the same scores,\n"
    "bit for bit, and the same errors.";

const char* const kDocPredictBatch =
    "predict_batch(features, weights, bias)\n--\n\n"
    "Logistic regression batch prediction.\n"
    "\n"
    "Given a feature matrix (N x F), weight vector (F,), and bias scalar,\n"
    "computes sigmoid(X @ weights + bias) for each row.\n"
    "Returns a numpy array of probabilities.\n"
    "\n"
    "Uses one vectorised matrix-vector multiply (GEMV) with SIMD instructions\n"
    "instead of separate per-row dot products.";

const char* const kDocPredictForestBatch =
    "predict_forest_batch(features, offsets, children_left, children_right, tree_features, thresholds, values)\n--\n\n"
    "Random Forest batch prediction.\n"
    "\n"
    "Tree structures are passed as flat numpy arrays with an offsets array.\n"
    "offsets[t]..offsets[t+1] delimits tree t in each flat array.\n"
    "This avoids converting Python lists into native vectors on every predict call.";

const char* const kDocPredictGbdtBatch =
    "predict_gbdt_batch(features, offsets, children_left, children_right, tree_features, thresholds, values, learning_rate, init_value)\n--\n\n"
    "Gradient Boosting batch prediction.\n"
    "\n"
    "Tree structures are passed as flat numpy arrays with an offsets array.\n"
    "For each sample, sums learning_rate * leaf_value across all trees,\n"
    "adds init_value, and applies sigmoid.";

const char* const kDocPredictSvmBatch =
    "predict_svm_batch(features, support_vectors, dual_coef, intercept, gamma, prob_a, prob_b)\n--\n\n"
    "SVM batch prediction using RBF kernel with Platt scaling.\n"
    "\n"
    "For each sample x in the feature matrix (N x F), computes:\n"
    "  decision = intercept + sum_i(dual_coef[i] * exp(-gamma * ||x - sv[i]||^2))\n"
    "  probability = 1 / (1 + exp(prob_a * decision + prob_b))\n"
    "\n"
    "The prob_a and prob_b parameters come from sklearn's Platt calibration\n"
    "(SVC.probA_[0] and SVC.probB_[0]).";
const char* const kDocCandidatePairs =
    "candidate_pairs(left_keys, right_keys, windows, dedupe, start, stop)\n--\n\n"
    "Candidate pairs of blocking keys, for left records start to stop.\n"
    "\n"
    "left_keys / right_keys: int64 arrays holding one run of keys per rule\n"
    "(rule r: keys[r * n : (r + 1) * n]), -1 where missing. windows: int64,\n"
    "one per rule: 0 pairs records with equal keys; an odd window >= 3 pairs\n"
    "records within window // 2 places in the order of the keys (ranks), left\n"
    "before right on ties, then by position. dedupe (0 or 1): one table,\n"
    "pairs (i, j) with i < j (right_keys is then left_keys).\n"
    "\n"
    "Returns (left_positions, right_positions), int64 arrays sorted by left\n"
    "then right position, each pair once whichever rules find it.";

const char* const kDocCandidateCounts =
    "candidate_counts(left_keys, right_keys, windows, dedupe)\n--\n\n"
    "Counts candidate_pairs without building them.\n"
    "\n"
    "Returns (by_rule, per_record): the pairs each rule adds beyond the rules\n"
    "before it (a list of ints), and the pairs of each left record (int64).";

const char* const kDocCombineKeys =
    "combine_keys(keys, n_columns)\n--\n\n"
    "Dense codes of key tuples.\n"
    "\n"
    "keys: int64, n_columns runs of n codes each (codes -1 to 2**32 - 1).\n"
    "Returns n int64 codes: equal tuples get equal codes, numbered 0, 1, 2, ...\n"
    "in order of first occurrence; -1 where any code is -1.";

const char* const kDocCountEqualPairs =
    "count_equal_pairs(left_keys, right_keys, dedupe)\n--\n\n"
    "Number of pairs with equal keys other than -1: left x right, or with\n"
    "dedupe=1 the pairs i < j of left_keys.";

const char* const kDocCountRulePairs =
    "count_rule_pairs(keys, n_keys, rule_masks, n_left, dedupe)\n--\n\n"
    "The pairs each equality rule adds beyond the rules before it.\n"
    "\n"
    "keys: int64, n_keys runs of n codes each laid end to end, or a list of n_keys\n"
    "arrays of n codes (-1 missing, else below n); rule r\n"
    "holds where every key column in bit mask rule_masks[r] is equal. Counts\n"
    "the pairs i < j of n = n_left records (dedupe=1), or the first n_left\n"
    "records of each run against the rest. Returns a list of ints.";

const char* const kDocRuleKeys =
    "rule_keys(codes, n_left, dedupe)\n--\n\n"
    "The keys of candidate_pairs from the key columns of each rule.\n"
    "\n"
    "codes: one list per rule of int64 code arrays (encode_keys' codes), all\n"
    "of one length n; a rule of several columns gets dense codes of their\n"
    "tuples (codes -1 to 2**32 - 1; -1 where any is -1). Returns (left_keys,\n"
    "right_keys): the first n_left codes of each rule, then the rest; with\n"
    "dedupe=1, n is n_left and right_keys is left_keys.";

const char* const kDocConnectedComponents =
    "connected_components(left_positions, right_positions, n_records)\n--\n\n"
    "Connected components of the graph whose edges are (left_positions[k], right_positions[k]).\n"
    "\n"
    "Returns one int64 component id per record, 0, 1, 2, ... in order of\n"
    "each component's first record.";

const char* const kDocMatchWeightBatch =
    "match_weight_batch(scores, thresholds, n_thresholds, distance, weights, prior_weight)\n--\n\n"
    "Fellegi-Sunter match weight of every pair.\n"
    "\n"
    "scores: float64, comparisons x pairs (row c is comparison c's scores).\n"
    "Comparison c has the next n_thresholds[c] values of thresholds; its\n"
    "level is the number of thresholds the score is below (distance[c] = 0,\n"
    "a similarity) or above (distance[c] = 1), and n_thresholds[c] + 1 for a\n"
    "NaN score. weights holds n_thresholds[c] + 2 values per comparison, the\n"
    "weight of each level. Returns float64, per pair prior_weight plus the\n"
    "weight of each comparison's level, added in the order of the comparisons.\n"
    "No comparison scores below 0: a negative score is a fill value standing\n"
    "for a missing one, and raises ValueError (give missing scores as NaN).";

const char* const kDocLevelKeyBatch =
    "level_key_batch(scores, thresholds, n_thresholds, distance)\n--\n\n"
    "Code of every pair's combination of levels (levels as match_weight_batch\n"
    "cuts them): digits of radix n_thresholds[c] + 2, comparison 0 the most\n"
    "significant. Returns int64; ValueError when the codes would not fit, or\n"
    "for a negative score, as match_weight_batch.";

const char* const kDocFrequencyWeightBatch =
    "frequency_weight_batch(weights, frequency, scores, exact_threshold, u_exact)\n--\n\n"
    "Term-frequency adjustment of match weights.\n"
    "\n"
    "Per pair: weights + log2(u_exact / frequency) where scores >= exact_threshold\n"
    "(the adjusted comparison's exact level) and frequency is not NaN, else\n"
    "weights as they are. All three float64, one value per pair. ValueError\n"
    "for a frequency outside (0, 1] at the exact level, and a NaN exact_threshold.";

const char* const kDocEncodeKeys =
    "encode_keys(columns, strings, transform, length, ranked)\n--\n\n"
    "Dense codes of a blocking key over one or two columns at once.\n"
    "\n"
    "columns: [left] or [left, right], Arrow arrays or chunked arrays: strings\n"
    "(utf8, large_utf8, utf8_view, dictionary-encoded) when strings is 1, else\n"
    "numbers (integers of any width, floats, booleans, dates, timestamps).\n"
    "transform: 0 the value, 1 its first length code points, 2 its Soundex\n"
    "code (a value without an ASCII letter is missing); strings only.\n"
    "ranked (0 or 1): codes are the ranks of the values in sorted order.\n"
    "\n"
    "Returns int64 codes of the records of all columns, laid end to end: equal\n"
    "values get equal codes whatever their side or physical type (integers and\n"
    "floats by value), numbered in order of each value's first record, -1 for\n"
    "a missing value (null, NaN).";

const char* const kDocCandidateIndex =
    "candidate_index(left_keys, right_keys, windows, dedupe)\n--\n\n"
    "The index of candidate_pairs, built once (the keys are copied).\n"
    "\n"
    "Arguments as for candidate_pairs. Returns an opaque index for index_pairs\n"
    "and index_counts, which only read it (calls on one index may overlap).";

const char* const kDocIndexPairs =
    "index_pairs(index, start, stop)\n--\n\n"
    "candidate_pairs of left records start to stop, from a candidate_index.";

const char* const kDocIndexCounts =
    "index_counts(index)\n--\n\n"
    "candidate_counts from a candidate_index: (by_rule, per_record).";

const char* const kDocCompareLevels =
    "compare_levels(left, right, metrics, left_positions, right_positions, thresholds, n_thresholds, distance)\n--\n\n"
    "Level of every comparison of every candidate pair, straight from the record columns.\n"
    "\n"
    "left, right, metrics and the positions as compare_pairs takes them; the\n"
    "cuts as level_key_batch takes them (n_thresholds[k] thresholds of\n"
    "comparison k, in order, and distance[k] nonzero for a distance). Each\n"
    "level is what level_key_batch cuts from compare_pairs' score with missing\n"
    "NaN: 0 the closest, n_thresholds[k] 'else', n_thresholds[k] + 1 missing.\n"
    "A bound decides most 'else' levels of the edit distances and Jaro-Winkler\n"
    "without scoring the pair. A position outside its side raises IndexError.\n"
    "\n"
    "Returns: uint8 array of shape (n_comparisons, n_pairs).";
// clang-format on

#define PAIRWISE(name) {{#name, {"left", "right"}}, #name "(left, right)\n--\n\n", body_##name}

// Keep this order: jaro_winkler_batch, levenshtein_batch,
// damerau_levenshtein_batch, exact_match_batch, numeric_distance_batch,
// numeric_similarity_batch, soundex_batch, jaccard_batch, cosine_batch,
// token_sort_ratio_batch, compute_feature_matrix, compare_pairs, predict_batch,
// predict_forest_batch, predict_gbdt_batch, predict_svm_batch,
// candidate_pairs, candidate_counts, combine_keys, count_equal_pairs,
// connected_components, match_weight_batch, level_key_batch, frequency_weight_batch, encode_keys,
// candidate_index, index_pairs, index_counts, count_rule_pairs, compare_levels, rule_keys,
// compare_plan, plan_pairs.
const FunctionEntry kEntries[] = {
    PAIRWISE(jaro_winkler_batch),
    PAIRWISE(levenshtein_batch),
    PAIRWISE(damerau_levenshtein_batch),
    PAIRWISE(exact_match_batch),
    PAIRWISE(numeric_distance_batch),
    PAIRWISE(numeric_similarity_batch),
    PAIRWISE(soundex_batch),
    PAIRWISE(jaccard_batch),
    PAIRWISE(cosine_batch),
    PAIRWISE(token_sort_ratio_batch),
    {{"compute_feature_matrix",
      {"string_columns_left", "string_columns_right", "string_metric_types", "numeric_left", "numeric_right",
       "numeric_metric_types", "n_pairs"}},
     kDocComputeFeatureMatrix,
     body_compute_feature_matrix},
    {{"compare_pairs", {"left", "right", "metrics", "left_positions", "right_positions", "missing"}},
     kDocComparePairs,
     body_compare_pairs},
    {{"predict_batch", {"features", "weights", "bias"}}, kDocPredictBatch, body_predict_batch},
    {{"predict_forest_batch",
      {"features", "offsets", "children_left", "children_right", "tree_features", "thresholds", "values"}},
     kDocPredictForestBatch,
     body_predict_forest_batch},
    {{"predict_gbdt_batch",
      {"features", "offsets", "children_left", "children_right", "tree_features", "thresholds", "values",
       "learning_rate", "init_value"}},
     kDocPredictGbdtBatch,
     body_predict_gbdt_batch},
    {{"predict_svm_batch",
      {"features", "support_vectors", "dual_coef", "intercept", "gamma", "prob_a", "prob_b"}},
     kDocPredictSvmBatch,
     body_predict_svm_batch},
    {{"candidate_pairs", {"left_keys", "right_keys", "windows", "dedupe", "start", "stop"}},
     kDocCandidatePairs,
     body_candidate_pairs},
    {{"candidate_counts", {"left_keys", "right_keys", "windows", "dedupe"}}, kDocCandidateCounts,
     body_candidate_counts},
    {{"combine_keys", {"keys", "n_columns"}}, kDocCombineKeys, body_combine_keys},
    {{"count_equal_pairs", {"left_keys", "right_keys", "dedupe"}}, kDocCountEqualPairs, body_count_equal_pairs},
    {{"connected_components", {"left_positions", "right_positions", "n_records"}}, kDocConnectedComponents,
     body_connected_components},
    {{"match_weight_batch", {"scores", "thresholds", "n_thresholds", "distance", "weights", "prior_weight"}},
     kDocMatchWeightBatch, body_match_weight_batch},
    {{"level_key_batch", {"scores", "thresholds", "n_thresholds", "distance"}}, kDocLevelKeyBatch,
     body_level_key_batch},
    {{"frequency_weight_batch", {"weights", "frequency", "scores", "exact_threshold", "u_exact"}},
     kDocFrequencyWeightBatch, body_frequency_weight_batch},
    {{"encode_keys", {"columns", "strings", "transform", "length", "ranked"}}, kDocEncodeKeys, body_encode_keys},
    {{"candidate_index", {"left_keys", "right_keys", "windows", "dedupe"}}, kDocCandidateIndex,
     body_candidate_index},
    {{"index_pairs", {"index", "start", "stop"}}, kDocIndexPairs, body_index_pairs},
    {{"index_counts", {"index"}}, kDocIndexCounts, body_index_counts},
    {{"count_rule_pairs", {"keys", "n_keys", "rule_masks", "n_left", "dedupe"}}, kDocCountRulePairs,
     body_count_rule_pairs},
    {{"compare_levels",
      {"left", "right", "metrics", "left_positions", "right_positions", "thresholds", "n_thresholds", "distance"}},
     kDocCompareLevels, body_compare_levels},
    {{"rule_keys", {"codes", "n_left", "dedupe"}}, kDocRuleKeys, body_rule_keys},
    {{"compare_plan", {"left", "right", "metrics", "pairs"}}, kDocComparePlan, body_compare_plan},
    {{"plan_pairs", {"plan", "left_positions", "right_positions", "missing"}}, kDocPlanPairs, body_plan_pairs},
};

#undef PAIRWISE

constexpr std::size_t kCount = sizeof(kEntries) / sizeof(kEntries[0]);

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_body(kEntries[I], args, nargs, kwnames);
}

template <std::size_t... I>
std::array<PyMethodDef, kCount> make_table(std::index_sequence<I...>) {
    return {{PyMethodDef{kEntries[I].desc.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I>)),
                         METH_FASTCALL | METH_KEYWORDS, kEntries[I].doc}...}};
}

}  // namespace

PyMethodDef* function_table(std::size_t& count) {
    static std::array<PyMethodDef, kCount> table = make_table(std::make_index_sequence<kCount>{});
    count = kCount;
    return table.data();
}

// Silence unused warnings for docstrings whose functions are not registered yet.
[[maybe_unused]] static const char* const* const kPendingDocs[] = {
    &kDocComputeFeatureMatrix, &kDocComparePairs, &kDocPredictBatch, &kDocPredictForestBatch, &kDocPredictGbdtBatch, &kDocPredictSvmBatch};

}  // namespace corvane
