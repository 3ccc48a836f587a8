// compute_feature_matrix: argument conversion, validation and the single
// released section in which every column is scored.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "features/feature_matrix.hpp"

namespace corvane {

PyObject* body_compute_feature_matrix(const Args& args) {
    auto string_left = to_string_table(args, 0);
    auto string_right = to_string_table(args, 1);
    auto string_metrics = to_string_column(args, 2);
    auto numeric_left = to_f64_array(args, 3, 2);
    auto numeric_right = to_f64_array(args, 4, 2);
    auto numeric_metrics = to_string_column(args, 5);
    const std::uint64_t n_pairs = to_count(args, 6);

    const features::FeatureInputs inputs{string_left,       string_right,    string_metrics, numeric_left.view,
                                         numeric_right.view, numeric_metrics, n_pairs};
    features::FeaturePlan plan;
    if (std::optional<std::string> failure = features::plan_feature_matrix(inputs, plan))
        throw ValueError(std::move(*failure));

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
