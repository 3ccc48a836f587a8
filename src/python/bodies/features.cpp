// compute_feature_matrix: argument conversion, validation and the single
// released section in which every column is scored.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "features/feature_matrix.hpp"
#include "similarity/kernels.hpp"

namespace corvane {

namespace {

// Exact columns from lists of str, compared as the lists are read.
//
// Converting a list copies every string into the call's buffers, for the
// column's kernel to read back later (by then out of cache for a long
// list). For an "exact" column whose two sides are lists of str, comparing
// the strings where they lie gives the same scores at about the cost of
// reading them once. The matches then stand in for the two columns: each
// side becomes a dictionary column indexed by the matches, "" or "=" on the
// left and "-" or "=" on the right, which the exact metric scores 1.0 where
// the strings matched and 0.0 elsewhere; the feature matrix writes the
// matches straight in.
//
// Taken only when both tables and all their columns are exact lists or
// tuples: converting those runs no Python code, so comparing some of them
// first sees the very items that converting all of them in order sees. A
// column with any other item (a str subclass, a str with a surrogate, not
// a str) is converted as before, which reports it or encodes it.
constexpr std::int64_t kMatchOffsets[3] = {0, 0, 1};
constexpr std::int64_t kOtherOffsets[3] = {0, 1, 2};

StringRun dictionary_run(const char* bytes, const std::int64_t* offsets) {
    StringRun r;
    r.layout = StringRun::Layout::kOffsets64;
    r.length = 2;
    r.bytes = bytes;
    r.offsets = offsets;
    return r;
}

const StringRun& match_dictionary(bool left) {
    static const StringRun runs[2] = {dictionary_run("-=", kOtherOffsets), dictionary_run("=", kMatchOffsets)};
    return runs[left ? 1 : 0];
}

StringColumn matches_column(const std::shared_ptr<BulkBuffer<std::uint8_t>>& matches, std::size_t n, bool left) {
    StringRun run;
    run.layout = StringRun::Layout::kDictionary;
    run.length = n;
    run.indices = matches->get();
    run.index_bytes = 1;
    run.index_signed = false;
    run.dictionary = &match_dictionary(left);
    StringColumn col;
    col.add_run(run);
    col.keep(matches);
    return col;
}

bool plain_sequence(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

bool names_exact_metric(PyObject* name) {
    if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name)) return false;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(name)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
    const features::StringMetric* metric = features::find_string_metric(text);
    return metric != nullptr && metric->kernel.pair == &similarity::exact_match;
}

struct ComparedColumns {
    std::vector<StringColumn> left, right;     // empty where a column is to be converted
    std::vector<const std::uint8_t*> matches;  // null where a column is to be converted
};

ComparedColumns compare_exact_lists(const Args& args) {
    ComparedColumns out;
    PyObject* lefts = args[0];
    PyObject* rights = args[1];
    PyObject* names = args[2];
    if (!plain_sequence(lefts) || !plain_sequence(rights) || !plain_sequence(names)) return out;
    const Py_ssize_t k = PySequence_Fast_GET_SIZE(lefts);
    if (PySequence_Fast_GET_SIZE(rights) != k || PySequence_Fast_GET_SIZE(names) != k) return out;
    PyObject** l = PySequence_Fast_ITEMS(lefts);
    PyObject** r = PySequence_Fast_ITEMS(rights);
    PyObject** m = PySequence_Fast_ITEMS(names);
    for (Py_ssize_t c = 0; c < k; ++c)
        if (!plain_sequence(l[c]) || !plain_sequence(r[c])) return out;
    for (Py_ssize_t c = 0; c < k; ++c) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(l[c]);
        if (n == 0 || PySequence_Fast_GET_SIZE(r[c]) != n || !names_exact_metric(m[c])) continue;
        auto matches = std::make_shared<BulkBuffer<std::uint8_t>>();
        matches->grow(static_cast<std::size_t>(n), 0);
        if (!match_str_items(l[c], r[c], matches->get())) continue;
        out.left.resize(static_cast<std::size_t>(k));
        out.right.resize(static_cast<std::size_t>(k));
        out.matches.resize(static_cast<std::size_t>(k));
        out.matches[c] = matches->get();
        out.left[c] = matches_column(matches, static_cast<std::size_t>(n), true);
        out.right[c] = matches_column(matches, static_cast<std::size_t>(n), false);
    }
    return out;
}

}  // namespace

PyObject* body_compute_feature_matrix(const Args& args) {
    ComparedColumns compared = compare_exact_lists(args);
    auto string_left = to_string_table(args, 0, &compared.left);
    auto string_right = to_string_table(args, 1, &compared.right);
    auto string_metrics = to_string_column(args, 2);
    auto numeric_left = to_f64_array(args, 3, 2);
    auto numeric_right = to_f64_array(args, 4, 2);
    auto numeric_metrics = to_string_column(args, 5);
    const std::uint64_t n_pairs = to_count(args, 6);

    const features::FeatureInputs inputs{string_left,        string_right,    string_metrics, numeric_left.view,
                                         numeric_right.view, numeric_metrics, n_pairs,
                                         compared.matches.empty() ? nullptr : &compared.matches};
    features::FeaturePlan plan;
    if (std::optional<std::string> failure = features::plan_feature_matrix(inputs, plan))
        throw ValueError(std::move(*failure));
    for (std::size_t c = 0; c < compared.matches.size(); ++c)
        if (compared.matches[c] && plan.string_kernels[c].pair != &similarity::exact_match)
            throw InternalFailure("a column compared as exact has metric '" + std::string(string_metrics[c]) + "'");

    // Left untouched until the workers write it: no zero fill, and the
    // pages are first touched by the threads that fill them.
    const std::size_t size = features::feature_matrix_size(plan, n_pairs);
    ScoreBuffer matrix(size);
    {
        ReleasedSection released;
        features::build_feature_matrix(inputs, plan, matrix.data());
    }
    return result_array(std::move(matrix), size);
}

}  // namespace corvane
