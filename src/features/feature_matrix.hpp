// The feature matrix builder as plain C++: validation of a whole batch of
// named metric columns, and the evaluation of every column straight into
// its place in one pair-major output buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "features/metrics.hpp"
#include "runtime/string_column.hpp"
#include "runtime/views.hpp"

namespace corvane::features {

struct FeatureInputs {
    const std::vector<StringColumn>& string_left;   // [column][pair]
    const std::vector<StringColumn>& string_right;  // [column][pair]
    const StringColumn& string_metrics;
    StridedView<double> numeric_left;   // (numeric column, pair)
    StridedView<double> numeric_right;  // (numeric column, pair)
    const StringColumn& numeric_metrics;
    std::uint64_t n_pairs;
    // Optional, one entry per string column: the exact matches of a column
    // already compared by the caller (n_pairs bytes, 1 for a match), written
    // as 1.0 or 0.0 in place of running the column's kernel; null where the
    // column is to be scored. Only for "exact" columns, whose strings must
    // give the same scores.
    const std::vector<const std::uint8_t*>* known_matches = nullptr;
};

// What validation resolved: the routine of every column, in feature order.
struct FeaturePlan {
    std::vector<similarity::StringKernel> string_kernels;
    std::vector<similarity::NumericKernel> numeric_kernels;
};

// Runs the checks in their fixed order. Returns the message of the first
// failing check (to be raised as ValueError), or nothing when all pass and
// plan has been filled in.
std::optional<std::string> plan_feature_matrix(const FeatureInputs& in, FeaturePlan& plan);

// Scores every feature of every pair; element [p * n_features + f] is
// feature f of pair p. Needs a plan from plan_feature_matrix for the same
// inputs. Touches no Python object. Throws std::bad_alloc when the output
// (or a row-major copy of a strided numeric array) cannot be allocated.
std::vector<double> build_feature_matrix(const FeatureInputs& in, const FeaturePlan& plan);

// The same into memory of the caller's: feature_matrix_size(plan, n_pairs)
// doubles (that call throws std::bad_alloc when the count cannot be
// allocated at all), every one of which is written.
std::size_t feature_matrix_size(const FeaturePlan& plan, std::uint64_t n_pairs);
void build_feature_matrix(const FeatureInputs& in, const FeaturePlan& plan, double* out);

}  // namespace corvane::features
