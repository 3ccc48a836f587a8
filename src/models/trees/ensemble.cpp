#include "models/trees/ensemble.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/errors.hpp"
#include "runtime/pool.hpp"
#include "models/trees/packed_trees.hpp"

namespace corvane::trees {

namespace {

// Rows scored together, tree after tree, so that a tree stays in cache
// while the whole block walks it.
constexpr std::size_t kBlock = 512;

// Stands in for the rows of a matrix without columns: every packed split
// then compares against a NaN threshold and goes left.
constexpr double kNoColumns[1] = {0.0};

// Whether building the packed copy pays for itself: about one packed node
// costs what a few flat walks save.
bool worth_packing(const FlatTrees& flat, std::size_t n_rows) {
    const std::size_t count = flat.tree_count();
    std::uint64_t nodes = 0;
    for (std::size_t t = 0; t < count; ++t) {
        const auto a = static_cast<std::uint64_t>(flat.offsets[t]);
        const auto b = static_cast<std::uint64_t>(flat.offsets[t + 1]);
        if (b > a) nodes += b - a;
    }
    return static_cast<double>(n_rows) * static_cast<double>(count) * 3.0 >= static_cast<double>(nodes);
}

class BlockScorer {
public:
    BlockScorer(const FlatTrees& flat, const Ensemble& ensemble, const PackedEnsemble& packed, const double* rows,
                std::size_t f)
        : flat_(flat), ensemble_(ensemble), packed_(packed), rows_(rows), f_(f) {}

    // Scores rows [lo, hi) into out[lo..hi). Throws the failure of the
    // lowest failing row.
    void score(std::size_t lo, std::size_t hi, double* out) const {
        for (std::size_t b = lo; b < hi; b += kBlock) {
            const std::size_t e = std::min(hi, b + kBlock);
            try {
                score_block(b, e, out);
            } catch (const InternalFailure&) {
                // Several rows of the block may fail, at different trees:
                // redo it row by row, in order, so the lowest row's failure
                // is the one that leaves.
                for (std::size_t i = b; i < e; ++i) out[i] = score_row(flat_, ensemble_, row(i), f_);
                throw;
            }
        }
    }

private:
    const double* row(std::size_t i) const { return f_ == 0 ? kNoColumns : rows_ + i * f_; }

    void score_block(std::size_t b, std::size_t e, double* out) const {
        const std::size_t m = e - b;
        const bool forest = ensemble_.kind == Ensemble::kForest;
        const double lr = ensemble_.learning_rate;
        double acc[kBlock];
        const double* row_ptr[kBlock + kGroup];
        for (std::size_t k = 0; k < m; ++k) {
            acc[k] = forest ? 0.0 : ensemble_.init_value;
            row_ptr[k] = row(b + k);
        }
        // Pad the last group with copies of the last row; their leaves are
        // computed and ignored.
        for (std::size_t k = m; k < m + kGroup; ++k) row_ptr[k] = row_ptr[m - 1];

        const PackedNode* nodes = packed_.nodes.data();
        const double* leaf_values = packed_.leaf_values.data();
        std::uint32_t leaf[kGroup];
        for (std::size_t t = 0; t < packed_.trees.size(); ++t) {
            const PackedTree& tree = packed_.trees[t];
            if (!tree.packed) {
                for (std::size_t k = 0; k < m; ++k) {
                    const double v = walk_tree(flat_, t, tree.range, row_ptr[k], f_);
                    acc[k] = forest ? acc[k] + v : acc[k] + lr * v;
                }
                continue;
            }
            for (std::size_t g = 0; g < m; g += kGroup) {
                walk_group(nodes, tree, row_ptr + g, leaf);
                const std::size_t lanes = std::min(kGroup, m - g);
                if (forest) {
                    for (std::size_t k = 0; k < lanes; ++k) acc[g + k] = acc[g + k] + leaf_values[leaf[k]];
                } else {
                    for (std::size_t k = 0; k < lanes; ++k) {
                        const double product = lr * leaf_values[leaf[k]];
                        acc[g + k] = acc[g + k] + product;
                    }
                }
            }
        }
        if (packed_.range_failure) {
            // Every row fails at this tree if not earlier; the row-by-row
            // pass finds the exact message.
            (void)tree_range(flat_, packed_.trees.size());
        }
        const std::size_t count = flat_.tree_count();
        for (std::size_t k = 0; k < m; ++k)
            out[b + k] = forest ? acc[k] / static_cast<double>(count) : 1.0 / (std::exp(-acc[k]) + 1.0);
    }

    const FlatTrees& flat_;
    const Ensemble& ensemble_;
    const PackedEnsemble& packed_;
    const double* rows_;
    std::size_t f_;
};

}  // namespace

std::vector<double> score_rows(const FlatTrees& flat, const Ensemble& ensemble, const double* rows, std::size_t n,
                               std::size_t f) {
    std::vector<double> out(n);
    if (n == 0) {
        pool::worker_count();  // no rows: the pool is created all the same, as by a map of no rows
        return out;
    }
    double* dst = out.data();
    if (!worth_packing(flat, n)) {
        pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) dst[i] = score_row(flat, ensemble, f == 0 ? kNoColumns : rows + i * f, f);
        });
        return out;
    }
    const PackedEnsemble packed = PackedEnsemble::build(flat, f);
    const BlockScorer scorer(flat, ensemble, packed, rows, f);
    pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) { scorer.score(lo, hi, dst); });
    return out;
}

}  // namespace corvane::trees
