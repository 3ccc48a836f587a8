// Bodies of the pairwise batch functions. All share one shape: convert
// left and right, check their lengths, score every row on the pool with the
// lock released, return a list of floats.
#include "python/bodies.hpp"
#include "python/bodies/pairwise.hpp"
#include "similarity/columns.hpp"
#include "similarity/kernels.hpp"
#include "similarity/string_kernels.hpp"

namespace corvane {

namespace {

void check_same_length(std::size_t a, std::size_t b) {
    if (a != b) throw ValueError("left and right must have the same length");
}

}  // namespace

PyObject* pairwise_strings(const Args& args, const similarity::StringKernel& kernel, bool flags) {
    StringColumn left = to_string_column(args, 0);
    StringColumn right = to_string_column(args, 1);
    check_same_length(left.size(), right.size());
    std::vector<double> out(left.size());
    {
        ReleasedSection released;
        similarity::string_column(kernel, left, right, out.data(), 1);
    }
    left.clear();
    right.clear();
    return flags ? result_flags(std::move(out)) : result_list(std::move(out));
}

PyObject* pairwise_floats(const Args& args, similarity::NumericKernel kernel) {
    FloatColumn left = to_float_column(args, 0);
    FloatColumn right = to_float_column(args, 1);
    check_same_length(left.size(), right.size());
    std::vector<double> out(left.size());
    {
        ReleasedSection released;
        similarity::numeric_column(kernel, left.data(), right.data(), left.size(), out.data(), 1);
    }
    left = FloatColumn();
    right = FloatColumn();
    return result_list(std::move(out));
}

PyObject* body_exact_match_batch(const Args& args) { return pairwise_strings(args, similarity::kExactKernel, true); }
PyObject* body_jaro_winkler_batch(const Args& args) { return pairwise_strings(args, similarity::kJaroWinklerKernel); }
PyObject* body_levenshtein_batch(const Args& args) { return pairwise_strings(args, similarity::kLevenshteinKernel); }
PyObject* body_damerau_levenshtein_batch(const Args& args) {
    return pairwise_strings(args, similarity::kDamerauLevenshteinKernel);
}
PyObject* body_soundex_batch(const Args& args) { return pairwise_strings(args, similarity::kSoundexKernel, true); }
PyObject* body_jaccard_batch(const Args& args) { return pairwise_strings(args, similarity::kJaccardKernel); }
PyObject* body_cosine_batch(const Args& args) { return pairwise_strings(args, similarity::kCosineKernel); }
PyObject* body_token_sort_ratio_batch(const Args& args) { return pairwise_strings(args, similarity::kTokenSortKernel); }

PyObject* body_numeric_distance_batch(const Args& args) {
    return pairwise_floats(args, similarity::numeric_distance);
}

PyObject* body_numeric_similarity_batch(const Args& args) {
    return pairwise_floats(args, similarity::numeric_similarity);
}

}  // namespace corvane
