// A per-call compact copy of the well-formed trees of a flat layout, walked
// without branches several rows at a time. Pure C++.
//
// Each node is 16 bytes and the two children of a node sit side by side,
// so one step is `node = child + (x[feature] > threshold)`. A leaf points
// to itself with a NaN threshold, so extra steps leave a row on its leaf and
// every row of a tree can take the same number of steps (the tree's depth).
// A split on a feature the rows do not have gets a NaN threshold too, which
// sends every row left, exactly as the flat walk does.
//
// Only trees whose reachable nodes form a proper binary tree (children in
// range, no node reached twice) are packed; the others keep the flat walk,
// which reports their faults. Packing stops at the first tree whose range
// does not fit the node arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "models/trees/flat_trees.hpp"

namespace corvane::trees {

struct PackedNode {
    double threshold;
    std::uint32_t feature;
    std::uint32_t child;  // left child; the right child is child + 1
};

struct PackedTree {
    bool packed = false;
    std::uint32_t root = 0;
    std::uint32_t depth = 0;  // longest root-to-leaf path, in steps
    TreeRange range;          // always valid for trees before `usable`
};

struct PackedEnsemble {
    std::vector<PackedNode> nodes;
    std::vector<double> leaf_values;  // by packed node index
    std::vector<PackedTree> trees;    // the first `trees.size()` trees
    bool range_failure = false;       // tree number trees.size() does not fit

    // f: columns of the feature matrix the trees will be walked with.
    static PackedEnsemble build(const FlatTrees& flat, std::size_t f);
};

// Rows per group walked side by side through one tree.
constexpr std::size_t kGroup = 16;

// One step of every row of a group; returns nonzero when some row moved.
inline std::uint32_t step_group(const PackedNode* nodes, const double* const* rows, std::uint32_t* idx) {
    std::uint32_t moved = 0;
    for (std::size_t k = 0; k < kGroup; ++k) {
        const PackedNode& node = nodes[idx[k]];
        const std::uint32_t next = node.child + static_cast<std::uint32_t>(rows[k][node.feature] > node.threshold);
        moved |= next ^ idx[k];
        idx[k] = next;
    }
    return moved;
}

// Depth up to which every row simply takes `depth` steps; deeper trees
// stop once a step moves no row (every row is then on its leaf, since an
// internal node never links to itself).
constexpr std::uint32_t kFixedDepth = 16;

// Walks kGroup rows through a packed tree and returns each row's leaf
// (packed node index) in `leaf`.
inline void walk_group(const PackedNode* nodes, const PackedTree& tree, const double* const* rows,
                       std::uint32_t* leaf) {
    for (std::size_t k = 0; k < kGroup; ++k) leaf[k] = tree.root;
    if (tree.depth <= kFixedDepth) {
        for (std::uint32_t d = 0; d < tree.depth; ++d) (void)step_group(nodes, rows, leaf);
    } else {
        for (std::uint32_t d = 0; d < tree.depth; ++d)
            if (step_group(nodes, rows, leaf) == 0) break;
    }
}

}  // namespace corvane::trees
