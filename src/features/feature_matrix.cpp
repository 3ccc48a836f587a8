#include "features/feature_matrix.hpp"

#include <memory>
#include <new>

#include "similarity/columns.hpp"

namespace corvane::features {

namespace {

// Views describing the very same elements (same buffer, shape and strides).
bool same_view(const StridedView<double>& a, const StridedView<double>& b) {
    return a.data == b.data && a.rows == b.rows && a.cols == b.cols && a.rs == b.rs && a.cs == b.cs;
}

// rows * cols doubles must be allocatable as one vector: anything else is
// reported as an allocation failure rather than a length error or a
// wrapped-around size.
void require_allocatable(std::size_t rows, std::size_t cols) {
    const std::size_t limit = std::vector<double>().max_size();
    if (cols != 0 && rows > limit / cols) throw std::bad_alloc();
}

std::unique_ptr<RowMajor<double>> row_major_of(const StridedView<double>& v) {
    if (!v.row_major()) require_allocatable(v.rows, v.cols);
    return std::make_unique<RowMajor<double>>(v);
}

}  // namespace

std::optional<std::string> plan_feature_matrix(const FeatureInputs& in, FeaturePlan& plan) {
    const std::size_t n_string = in.string_left.size();
    const std::size_t n_numeric = in.numeric_left.rows;

    if (n_string != in.string_right.size() || n_string != in.string_metrics.size())
        return std::string("string columns left/right/metrics must have the same length");
    if (n_numeric != in.numeric_right.rows || n_numeric != in.numeric_metrics.size())
        return std::string("numeric columns left/right/metrics must have the same length");
    if (n_string + n_numeric == 0) return std::string("Must provide at least one comparison");

    plan.string_kernels.clear();
    plan.string_kernels.reserve(n_string);
    for (std::size_t i = 0; i < n_string; ++i) {
        const StringMetric* metric = find_string_metric(in.string_metrics[i]);
        if (metric == nullptr)
            return "Unknown string metric '" + std::string(in.string_metrics[i]) + "' at index " + std::to_string(i) +
                   ". Valid: " + string_vocabulary_listing();
        plan.string_kernels.push_back(metric->kernel);
    }

    plan.numeric_kernels.clear();
    plan.numeric_kernels.reserve(n_numeric);
    for (std::size_t r = 0; r < n_numeric; ++r) {
        const NumericMetric* metric = find_numeric_metric(in.numeric_metrics[r]);
        if (metric == nullptr)
            return "Unknown numeric metric '" + std::string(in.numeric_metrics[r]) + "' at index " + std::to_string(r) +
                   ". Valid: " + numeric_vocabulary_listing();
        plan.numeric_kernels.push_back(metric->kernel);
    }

    for (std::size_t i = 0; i < n_string; ++i) {
        if (in.string_left[i].size() != in.n_pairs || in.string_right[i].size() != in.n_pairs)
            return "String column " + std::to_string(i) + " has wrong length (expected " +
                   std::to_string(in.n_pairs) + ")";
    }

    if (n_numeric > 0 && (in.numeric_left.cols != in.n_pairs || in.numeric_right.cols != in.n_pairs))
        return "Numeric array has wrong number of columns (expected " + std::to_string(in.n_pairs) + ")";

    return std::nullopt;
}

void build_feature_matrix(const FeatureInputs& in, const FeaturePlan& plan, double* out) {
    const std::size_t n_string = plan.string_kernels.size();
    const std::size_t n_numeric = plan.numeric_kernels.size();
    const std::size_t n_features = n_string + n_numeric;
    const std::size_t n_pairs = static_cast<std::size_t>(in.n_pairs);

    if (n_pairs == 0 || n_features == 0) {
        pool::worker_count();  // no pairs: the pool is created all the same, as by a map of no rows
        return;
    }

    // Each column goes straight to its strided place: feature f of pair p
    // lives at out[p * n_features + f].
    for (std::size_t i = 0; i < n_string; ++i) {
        if (const std::uint8_t* known = in.known_matches ? (*in.known_matches)[i] : nullptr) {
            // A plain loop: cheaper than waking the pool for it.
            for (std::size_t p = 0; p < n_pairs; ++p) out[p * n_features + i] = known[p] ? 1.0 : 0.0;
            continue;
        }
        similarity::string_column(plan.string_kernels[i], in.string_left[i], in.string_right[i], out + i,
                                  n_features);
    }

    if (n_numeric > 0) {
        // Row-major arrays are read in place; any other layout is copied
        // once, element by element. One array given for both sides is
        // brought into row-major form only once.
        auto left = row_major_of(in.numeric_left);
        std::unique_ptr<RowMajor<double>> right_own;
        const RowMajor<double>* right = left.get();
        if (!same_view(in.numeric_left, in.numeric_right)) {
            right_own = row_major_of(in.numeric_right);
            right = right_own.get();
        }
        for (std::size_t r = 0; r < n_numeric; ++r)
            similarity::numeric_column(plan.numeric_kernels[r], left->row(r), right->row(r), n_pairs,
                                       out + n_string + r, n_features);
    }
}

std::size_t feature_matrix_size(const FeaturePlan& plan, std::uint64_t n_pairs) {
    const std::size_t n_features = plan.string_kernels.size() + plan.numeric_kernels.size();
    require_allocatable(static_cast<std::size_t>(n_pairs), n_features);
    return static_cast<std::size_t>(n_pairs) * n_features;
}

std::vector<double> build_feature_matrix(const FeatureInputs& in, const FeaturePlan& plan) {
    std::vector<double> out(feature_matrix_size(plan, in.n_pairs));
    build_feature_matrix(in, plan, out.data());
    return out;
}

}  // namespace corvane::features
