#include "models/trees/packed_trees.hpp"

#include <algorithm>
#include <limits>

namespace corvane::trees {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;

// Scratch space reused from tree to tree. `seen` holds, per local node, the
// stamp of the last tree that reached it, so it never needs clearing.
struct PackScratch {
    std::vector<std::uint32_t> seen;
    std::uint32_t stamp = 0;
    std::vector<std::uint64_t> order;  // local node of each packed slot
    std::vector<std::uint32_t> depth;  // depth of each packed slot
};

// Breadth-first copy of one tree; the two children of a node get the next
// two free slots when their parent is copied, so slot q of the queue is
// packed node base + q. Returns false (leaving `out` as it was) when the
// reachable nodes are not a proper binary tree.
bool pack_tree(const FlatTrees& flat, const TreeRange& range, std::size_t f, PackedEnsemble& out, PackedTree& tree,
               PackScratch& scratch) {
    const std::uint64_t n = range.n;
    const std::size_t s = range.start;
    const std::size_t base = out.nodes.size();
    if (n == 0 || base + n > kMaxNodes) return false;

    if (scratch.stamp == std::numeric_limits<std::uint32_t>::max()) {
        std::fill(scratch.seen.begin(), scratch.seen.end(), 0);
        scratch.stamp = 0;
    }
    if (scratch.seen.size() < n) scratch.seen.resize(n, scratch.stamp);
    const std::uint32_t stamp = ++scratch.stamp;
    auto& order = scratch.order;
    auto& depth = scratch.depth;
    order.assign(1, 0);
    depth.assign(1, 0);
    scratch.seen[0] = stamp;
    std::uint32_t max_depth = 0;
    for (std::size_t q = 0; q < order.size(); ++q) {
        const std::uint64_t u = order[q];
        const auto p = static_cast<std::uint32_t>(base + q);
        const std::int64_t left = flat.children_left[s + u];
        if (left < 0) {
            out.nodes.push_back(PackedNode{kNaN, 0, p});
            out.leaf_values.push_back(flat.values[s + u]);
            if (depth[q] > max_depth) max_depth = depth[q];
            continue;
        }
        const auto l = static_cast<std::uint64_t>(left);
        const auto r = static_cast<std::uint64_t>(flat.children_right[s + u]);
        if (l >= n || r >= n || l == r || scratch.seen[l] == stamp || scratch.seen[r] == stamp) {
            out.nodes.resize(base);
            out.leaf_values.resize(base);
            return false;
        }
        scratch.seen[l] = scratch.seen[r] = stamp;
        const auto child = static_cast<std::uint32_t>(base + order.size());
        order.push_back(l);
        order.push_back(r);
        depth.push_back(depth[q] + 1);
        depth.push_back(depth[q] + 1);
        const auto feature = static_cast<std::uint64_t>(flat.features[s + u]);
        if (feature < f)
            out.nodes.push_back(PackedNode{flat.thresholds[s + u], static_cast<std::uint32_t>(feature), child});
        else
            out.nodes.push_back(PackedNode{kNaN, 0, child});
        out.leaf_values.push_back(0.0);
    }
    tree.packed = true;
    tree.root = static_cast<std::uint32_t>(base);
    tree.depth = max_depth;
    return true;
}

}  // namespace

PackedEnsemble PackedEnsemble::build(const FlatTrees& flat, std::size_t f) {
    PackedEnsemble out;
    const std::size_t count = flat.tree_count();
    // Feature indexes must fit the packed node's 32-bit field.
    const bool packable = f <= std::numeric_limits<std::uint32_t>::max();
    PackScratch scratch;
    out.trees.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        PackedTree tree;
        if (!check_tree_range(flat, t, tree.range).empty()) {
            out.range_failure = true;
            break;
        }
        if (packable) pack_tree(flat, tree.range, f, out, tree, scratch);
        out.trees.push_back(tree);
    }
    return out;
}

}  // namespace corvane::trees
