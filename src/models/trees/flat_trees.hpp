// Flat tree layout and the exact, per-row tree walk. Pure C++.
//
// Tree t occupies positions offsets[t] .. offsets[t+1] (exclusive) of each
// node array; child indexes are local to their tree, a negative left child
// marks a leaf. Offsets, feature indexes and followed child indexes are
// read as unsigned 64-bit values, so a negative one acts as a huge index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane::trees {

struct FlatTrees {
    const std::int64_t* offsets = nullptr;
    std::size_t n_offsets = 0;
    const std::int64_t* children_left = nullptr;
    std::size_t n_children_left = 0;
    const std::int64_t* children_right = nullptr;
    std::size_t n_children_right = 0;
    const std::int64_t* features = nullptr;
    std::size_t n_features = 0;
    const double* thresholds = nullptr;
    std::size_t n_thresholds = 0;
    const double* values = nullptr;
    std::size_t n_values = 0;

    std::size_t tree_count() const { return n_offsets < 2 ? 0 : n_offsets - 1; }
};

// Node range of one tree: local node i is at position start + i.
struct TreeRange {
    std::size_t start = 0;
    std::size_t n = 0;
};

// Checks that tree t's range lies inside every node array, in the order
// children_left, children_right, tree_features, thresholds, values. Returns
// an empty string and fills `range` on success, else the failure message.
std::string check_tree_range(const FlatTrees& trees, std::size_t t, TreeRange& range);

// Same, throwing InternalFailure with the message on failure.
TreeRange tree_range(const FlatTrees& trees, std::size_t t);

// Leaf value reached by `row` (f values) in tree t. A row goes right only
// when its value is strictly greater than the threshold; feature indexes
// at or beyond f, NaN values and NaN thresholds go left. A node index
// outside the tree and a walk longer than the tree has nodes (which only a
// cycle in the child links can cause) throw InternalFailure.
double walk_tree(const FlatTrees& trees, std::size_t t, const TreeRange& range, const double* row, std::size_t f);

// How the leaf values of one row are combined.
struct Ensemble {
    enum Kind { kForest, kBoosting } kind = kForest;
    double learning_rate = 0.0;  // boosting only
    double init_value = 0.0;     // boosting only
};

// Score of one row through every tree in order, checking each tree's range
// just before walking it. Forest: mean of the leaf values (summed from 0.0
// in tree order, divided by T). Boosting: sigmoid of init_value plus the
// rounded products learning_rate * leaf, added in tree order.
double score_row(const FlatTrees& trees, const Ensemble& ensemble, const double* row, std::size_t f);

}  // namespace corvane::trees
