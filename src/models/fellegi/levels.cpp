#include "models/fellegi/levels.hpp"

#include <cstring>

#include "runtime/pool.hpp"

namespace corvane::fellegi {

namespace {

// Pairs per block: the block's accumulators stay in L1 while each
// comparison's row streams through.
constexpr std::size_t kBlock = 1024;

inline double score_at(const StridedView<double>& scores, std::size_t c, std::size_t i) { return scores.at(c, i); }

// Calls step(c, lo, hi, row) for each comparison c over pairs [lo, hi), row
// pointing at comparison c's scores of those pairs (copied into `buffer`
// when the pairs are not consecutive doubles).
template <class Step>
void by_comparison(const StridedView<double>& scores, std::size_t n_cuts, std::size_t lo, std::size_t hi,
                   double* buffer, Step step) {
    constexpr auto kDouble = static_cast<std::ptrdiff_t>(sizeof(double));
    const bool unit = scores.cs == kDouble && scores.rs % kDouble == 0 && scores.aligned();
    for (std::size_t c = 0; c < n_cuts; ++c) {
        const double* row;
        if (unit) {
            row = reinterpret_cast<const double*>(scores.data + static_cast<std::ptrdiff_t>(c) * scores.rs) + lo;
        } else {
            for (std::size_t i = lo; i < hi; ++i) buffer[i - lo] = score_at(scores, c, i);
            row = buffer;
        }
        step(c, hi - lo, row);
    }
}

}  // namespace

void match_weights(const StridedView<double>& scores, const std::vector<LevelCut>& cuts, double prior_weight,
                   double* out) {
    const std::size_t n = scores.cols;
    pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
        double buffer[kBlock];
        for (std::size_t start = lo; start < hi; start += kBlock) {
            const std::size_t stop = hi - start < kBlock ? hi : start + kBlock;
            double* acc = out + start;
            for (std::size_t i = 0; i < stop - start; ++i) acc[i] = prior_weight;
            by_comparison(scores, cuts.size(), start, stop, buffer,
                          [&](std::size_t c, std::size_t len, const double* row) {
                              const LevelCut cut = cuts[c];
                              for (std::size_t i = 0; i < len; ++i) acc[i] += cut.weights[level_of(row[i], cut)];
                          });
        }
    });
}

void level_keys(const StridedView<double>& scores, const std::vector<LevelCut>& cuts, std::int64_t* out) {
    const std::size_t n = scores.cols;
    pool::for_each_range(n, [&](std::size_t lo, std::size_t hi) {
        double buffer[kBlock];
        for (std::size_t start = lo; start < hi; start += kBlock) {
            const std::size_t stop = hi - start < kBlock ? hi : start + kBlock;
            std::int64_t* key = out + start;
            std::memset(key, 0, (stop - start) * sizeof(std::int64_t));
            by_comparison(scores, cuts.size(), start, stop, buffer,
                          [&](std::size_t c, std::size_t len, const double* row) {
                              const LevelCut cut = cuts[c];
                              const auto radix = static_cast<std::int64_t>(cut.count + 2);
                              for (std::size_t i = 0; i < len; ++i) key[i] = key[i] * radix + level_of(row[i], cut);
                          });
        }
    });
}

}  // namespace corvane::fellegi
