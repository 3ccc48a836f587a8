#include "tree_inference/packed_trees.hpp"

#include <limits>

namespace corvane::trees {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kMaxNodes = std::numeric_limits<std::uint32_t>::max() - 1;

// Breadth-first copy of one tree; children are given consecutive slots as
// their parent is copied. Returns false (and leaves `out` as it was) when
// the reachable nodes are not a proper binary tree.
bool pack_tree(const FlatTrees& flat, const TreeRange& range, std::size_t f, PackedEnsemble& out, PackedTree& tree,
               std::vector<std::uint8_t>& seen, std::vector<std::uint64_t>& order,
               std::vector<std::uint32_t>& depth) {
    const std::uint64_t n = range.n;
    const std::size_t s = range.start;
    const std::size_t base = out.nodes.size();
    if (n == 0 || base + n > kMaxNodes) return false;

    seen.assign(n, 0);
    order.clear();
    depth.clear();
    order.push_back(0);
    depth.push_back(0);
    seen[0] = 1;
    std::uint32_t max_depth = 0;
    out.nodes.resize(base + n);
    out.leaf_values.resize(base + n);
    for (std::size_t q = 0; q < order.size(); ++q) {
        const std::uint64_t u = order[q];
        const auto p = static_cast<std::uint32_t>(base + q);
        const std::int64_t left = flat.children_left[s + u];
        if (left < 0) {
            out.nodes[p] = PackedNode{kNaN, 0, p};
            out.leaf_values[p] = flat.values[s + u];
            if (depth[q] > max_depth) max_depth = depth[q];
            continue;
        }
        const auto l = static_cast<std::uint64_t>(left);
        const auto r = static_cast<std::uint64_t>(flat.children_right[s + u]);
        if (l >= n || r >= n || l == r || seen[l] || seen[r]) {
            out.nodes.resize(base);
            out.leaf_values.resize(base);
            return false;
        }
        seen[l] = seen[r] = 1;
        const auto child = static_cast<std::uint32_t>(base + order.size());
        order.push_back(l);
        order.push_back(r);
        depth.push_back(depth[q] + 1);
        depth.push_back(depth[q] + 1);
        const auto feature = static_cast<std::uint64_t>(flat.features[s + u]);
        if (feature < f)
            out.nodes[p] = PackedNode{flat.thresholds[s + u], static_cast<std::uint32_t>(feature), child};
        else
            out.nodes[p] = PackedNode{kNaN, 0, child};
    }
    out.nodes.resize(base + order.size());
    out.leaf_values.resize(base + order.size());
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
    std::vector<std::uint8_t> seen;
    std::vector<std::uint64_t> order;
    std::vector<std::uint32_t> depth;
    out.trees.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        PackedTree tree;
        if (!check_tree_range(flat, t, tree.range).empty()) {
            out.range_failure = true;
            break;
        }
        if (packable) pack_tree(flat, tree.range, f, out, tree, seen, order, depth);
        out.trees.push_back(tree);
    }
    return out;
}

}  // namespace corvane::trees
