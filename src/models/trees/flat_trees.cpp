#include "models/trees/flat_trees.hpp"

#include <cmath>

#include "runtime/errors.hpp"

namespace corvane::trees {

namespace {

// Message for a node array of length `len` that cannot hold [start, end).
std::string slice_failure(std::uint64_t start, std::uint64_t end, std::size_t len) {
    if (start > len)
        return "range start index " + std::to_string(start) + " out of range for slice of length " +
               std::to_string(len);
    if (end > len)
        return "range end index " + std::to_string(end) + " out of range for slice of length " + std::to_string(len);
    return "slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end);
}

}  // namespace

std::string check_tree_range(const FlatTrees& trees, std::size_t t, TreeRange& range) {
    const auto start = static_cast<std::uint64_t>(trees.offsets[t]);
    const auto end = static_cast<std::uint64_t>(trees.offsets[t + 1]);
    if (start > end || end > trees.n_children_left) return slice_failure(start, end, trees.n_children_left);
    // From here on start <= end, so each remaining test is end <= length.
    const std::size_t lengths[] = {trees.n_children_right, trees.n_features, trees.n_thresholds, trees.n_values};
    for (std::size_t len : lengths)
        if (end > len) return slice_failure(start, end, len);
    range.start = static_cast<std::size_t>(start);
    range.n = static_cast<std::size_t>(end - start);
    return {};
}

TreeRange tree_range(const FlatTrees& trees, std::size_t t) {
    TreeRange range;
    std::string failure = check_tree_range(trees, t, range);
    if (!failure.empty()) throw InternalFailure(failure);
    return range;
}

double walk_tree(const FlatTrees& trees, std::size_t t, const TreeRange& range, const double* row, std::size_t f) {
    const std::size_t s = range.start;
    const std::uint64_t n = range.n;
    std::uint64_t node = 0;
    for (std::uint64_t steps = 0;; ++steps) {
        if (node >= n)
            throw InternalFailure("index out of bounds: the len is " + std::to_string(n) + " but the index is " +
                                  std::to_string(node));
        // n + 1 visits of in-range nodes must repeat one; from there the
        // walk would go round the same cycle for ever.
        if (steps == n)
            throw InternalFailure("tree " + std::to_string(t) + ": walk exceeded " + std::to_string(n) +
                                  " steps (cycle in child links)");
        const std::int64_t left = trees.children_left[s + node];
        if (left < 0) return trees.values[s + node];
        const auto feature = static_cast<std::uint64_t>(trees.features[s + node]);
        if (feature < f && row[feature] > trees.thresholds[s + node])
            node = static_cast<std::uint64_t>(trees.children_right[s + node]);
        else
            node = static_cast<std::uint64_t>(left);
    }
}

double score_row(const FlatTrees& trees, const Ensemble& ensemble, const double* row, std::size_t f) {
    const std::size_t count = trees.tree_count();
    if (ensemble.kind == Ensemble::kForest) {
        double sum = 0.0;
        for (std::size_t t = 0; t < count; ++t) sum = sum + walk_tree(trees, t, tree_range(trees, t), row, f);
        return sum / static_cast<double>(count);
    }
    double raw = ensemble.init_value;
    for (std::size_t t = 0; t < count; ++t) {
        const double product = ensemble.learning_rate * walk_tree(trees, t, tree_range(trees, t), row, f);
        raw = raw + product;
    }
    return 1.0 / (std::exp(-raw) + 1.0);
}

}  // namespace corvane::trees
