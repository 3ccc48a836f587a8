// Bodies of the pairwise batch functions. All share one shape: convert
// left and right, check their lengths, score every row on the pool with the
// lock released, return a list of floats.
#include <cstring>

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

// Exact match of two lists of compact ASCII str, compared where they lie:
// such a str's characters are its UTF-8 bytes, so equal bytes are an exact
// match. Runs with the lock held (no Python code runs, so neither list can
// change) and is a few nanoseconds per pair, cheaper than handing the
// strings to the pool. Returns nullptr, having done nothing, when the
// arguments are anything else: the general path then converts them (and
// reports whatever is wrong with them).
PyObject* exact_match_of_ascii_lists(PyObject* left, PyObject* right) {
    if (!PyList_CheckExact(left) || !PyList_CheckExact(right)) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(left);
    if (PyList_GET_SIZE(right) != n) return nullptr;
    PyObject** a = PySequence_Fast_ITEMS(left);
    PyObject** b = PySequence_Fast_ITEMS(right);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (!PyUnicode_CheckExact(a[k]) || !PyUnicode_IS_COMPACT_ASCII(a[k]) || !PyUnicode_CheckExact(b[k]) ||
            !PyUnicode_IS_COMPACT_ASCII(b[k]))
            return nullptr;
    PyRef zero(PyFloat_FromDouble(0.0)), one(PyFloat_FromDouble(1.0));
    if (!zero || !one) throw PythonErrorPending{};
    PyRef list(PyList_New(n));
    if (!list) throw PythonErrorPending{};
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (k + 8 < n) {
            __builtin_prefetch(a[k + 8]);
            __builtin_prefetch(b[k + 8]);
        }
        const auto* x = reinterpret_cast<PyASCIIObject*>(a[k]);
        const auto* y = reinterpret_cast<PyASCIIObject*>(b[k]);
        const bool same = x == y || (x->length == y->length &&
                                     std::memcmp(x + 1, y + 1, static_cast<std::size_t>(x->length)) == 0);
        PyObject* f = same ? one.get() : zero.get();
        Py_INCREF(f);
        PyList_SET_ITEM(list.get(), k, f);
    }
    return list.release();
}

}  // namespace

PyObject* body_exact_match_batch(const Args& args) {
    if (PyObject* quick = exact_match_of_ascii_lists(args[0], args[1])) return quick;
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
