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
    const std::size_t n = left.size();
    ScoreBuffer out(n);  // written by the workers, no zero fill first
    {
        ReleasedSection released;
        similarity::string_column(kernel, left, right, out.data(), 1);
    }
    left.clear();
    right.clear();
    return flags ? result_flags(out.data(), n) : result_list(out.data(), n);
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

namespace {

// Exact match of two lists or tuples of str, compared where they lie
// (match_str_items) with the lock held: a few nanoseconds per pair,
// cheaper than handing the strings to the pool. Returns nullptr,
// having done nothing, when the arguments are anything else: the general
// path then converts them (and reports whatever is wrong with them).
PyObject* exact_match_of_str_lists(PyObject* left, PyObject* right) {
    const bool plain = (PyList_CheckExact(left) || PyTuple_CheckExact(left)) &&
                       (PyList_CheckExact(right) || PyTuple_CheckExact(right));
    if (!plain) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(left);
    if (PySequence_Fast_GET_SIZE(right) != n) return nullptr;
    BulkBuffer<std::uint8_t> matches;
    matches.grow(static_cast<std::size_t>(n), 0);
    if (!match_str_items(left, right, matches.get())) return nullptr;
    PyRef zero(PyFloat_FromDouble(0.0)), one(PyFloat_FromDouble(1.0));
    if (!zero || !one) throw PythonErrorPending{};
    PyRef list(PyList_New(n));
    if (!list) throw PythonErrorPending{};
    const std::uint8_t* same = matches.get();
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* f = same[k] ? one.get() : zero.get();
        Py_INCREF(f);
        PyList_SET_ITEM(list.get(), k, f);
    }
    return list.release();
}

}  // namespace

PyObject* body_exact_match_batch(const Args& args) {
    if (PyObject* quick = exact_match_of_str_lists(args[0], args[1])) return quick;
    return pairwise_strings(args, similarity::kExactKernel, true);
}
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
