// Column routines: one metric applied to every pair of two aligned columns,
// spread over the worker pool. The pairwise batch functions and the feature
// matrix both go through these, so a pair scores the same on either path.
// out[p * stride] receives the score of pair p.
//
// A metric with block routines scores its pairs kBlockPairs at a time: the
// pool hands out whole blocks, and the block routine of the level in force
// (simd_level.hpp) packs the pairs it can into vector lanes and passes the
// rest to the metric's per-pair kernel. Without a block routine (or at the
// scalar level) every pair goes to the per-pair kernel. Either way each
// pair gets the same score, bit for bit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/pool.hpp"
#include "similarity/lanes.hpp"
#include "similarity/simd_level.hpp"

namespace corvane::similarity {

using PairKernel = double (*)(std::string_view, std::string_view);
using NumericKernel = double (*)(double, double);

// A string metric as the column routines run it: the per-pair kernel and,
// per level, the block routine (null where the metric has none).
struct StringKernel {
    PairKernel pair = nullptr;
    BlockRoutine blocks[kSimdLevels] = {};

    constexpr StringKernel() = default;
    constexpr StringKernel(PairKernel p) noexcept : pair(p) {}  // NOLINT: a bare kernel is a metric without blocks
    constexpr StringKernel(PairKernel p, BlockRoutine avx2, BlockRoutine avx512) noexcept
        : pair(p), blocks{nullptr, avx2, avx512} {}

    BlockRoutine block_routine() const noexcept { return blocks[static_cast<int>(simd_level())]; }
};

// Col is any column of strings with size() and operator[] yielding
// something convertible to std::string_view (StringColumn, vector<string>,
// a view that reads record positions).
template <class K, class Col>
void string_column(K kernel, const Col& left, const Col& right, double* out, std::size_t stride) {
    std::size_t n = left.size() < right.size() ? left.size() : right.size();
    parallel_fill(n, out, stride, [&](std::size_t p) {
        return kernel(std::string_view(left[p]), std::string_view(right[p]));
    });
}

// Pairs per pool row where a pair costs about `cells` (the product of its
// strings' lengths, summed over the comparisons): `most` while strings are
// short, fewer once they are long. The calling thread runs signal handlers
// between rows only, and a row of long strings (each pair then goes to the
// per-pair kernel, quadratic in the lengths) would hold them back for
// seconds. A row is kept to about 2**23 cells (some 40 ms of the slowest
// kernel; a block of 256 pairs of 180-character strings): smaller rows
// would leave the block routines fewer long pairs to score side by side.
// A power of two, at least 1.
inline std::size_t pairs_per_row(double cells, std::size_t most) noexcept {
    constexpr double kRowCells = double(std::size_t{1} << 23);
    std::size_t pairs = most;
    while (pairs > 1 && double(pairs) * cells > kRowCells) pairs /= 2;
    return pairs;
}

// The same for two aligned columns, from the mean over up to 64 pairs
// spread through them.
template <class Col>
std::size_t pairs_per_row(const Col& left, const Col& right, std::size_t n) {
    constexpr std::size_t kSamples = 64;
    const std::size_t k = n < kSamples ? n : kSamples;
    double cells = 0.0;
    for (std::size_t s = 0; s < k; ++s) {
        const std::size_t p = s * n / k;
        cells += double(std::string_view(left[p]).size()) * double(std::string_view(right[p]).size());
    }
    return k == 0 ? kBlockPairs : pairs_per_row(cells / double(k), kBlockPairs);
}

template <class Col>
void string_column(const StringKernel& kernel, const Col& left, const Col& right, double* out, std::size_t stride) {
    const BlockRoutine block = kernel.block_routine();
    if (block == nullptr) {
        string_column(kernel.pair, left, right, out, stride);
        return;
    }
    const std::size_t n = left.size() < right.size() ? left.size() : right.size();
    const std::size_t per_row = pairs_per_row(left, right, n);
    const std::size_t n_blocks = (n + per_row - 1) / per_row;
    auto body = [&](pool::RowCursor& c) {
        // Set up once per range, not per block (the views start out zeroed).
        std::string_view a[kBlockPairs];
        std::string_view r[kBlockPairs];
        double scores[kBlockPairs];
        c.run([&](std::size_t b) {
            const std::size_t lo = b * per_row;
            const std::size_t count = n - lo < per_row ? n - lo : per_row;
            if constexpr (requires { left.views(lo, count, a); }) {
                left.views(lo, count, a);
                right.views(lo, count, r);
            } else {
                for (std::size_t i = 0; i < count; ++i) {
                    a[i] = std::string_view(left[lo + i]);
                    r[i] = std::string_view(right[lo + i]);
                }
            }
            block(a, r, count, scores);
            for (std::size_t i = 0; i < count; ++i) out[(lo + i) * stride] = scores[i];
        });
    };
    pool::for_each_row(n_blocks, body);
}

template <class K>
void numeric_column(K kernel, const double* left, const double* right, std::size_t n, double* out,
                    std::size_t stride) {
    parallel_fill(n, out, stride, [&](std::size_t p) { return kernel(left[p], right[p]); });
}

}  // namespace corvane::similarity
