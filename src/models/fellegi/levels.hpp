// Fellegi-Sunter scoring over a table of comparison scores. Pure C++.
//
// Each comparison's score is cut into levels by its thresholds: for a
// similarity, level k is the number of thresholds the score falls below
// (score >= t[0] is level 0, the closest); for a distance, the number of
// thresholds it exceeds (value <= t[0] is level 0). With n thresholds the
// levels run 0..n, and a missing (NaN) score is level n + 1.
//
// A pair's match weight starts from the prior's weight and adds the weight
// of each comparison's level, comparison 0 first: the same additions, in the
// same order, as `w = prior; w += table_0[level_0]; w += table_1[level_1] ...`
// over whole columns, so every result is bit-identical to that formula.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/views.hpp"

namespace corvane::fellegi {

struct LevelCut {
    const double* thresholds = nullptr;  // strictly ordered, closest level first (callers check)
    std::size_t count = 0;
    bool distance = false;
    const double* weights = nullptr;  // count + 2 values: levels 0..count, then missing
};

inline unsigned level_of(double score, const LevelCut& cut) {
    if (score != score) return static_cast<unsigned>(cut.count) + 1;
    unsigned level = 0;
    if (cut.distance) {
        for (std::size_t t = 0; t < cut.count; ++t) level += score > cut.thresholds[t];
    } else {
        for (std::size_t t = 0; t < cut.count; ++t) level += score < cut.thresholds[t];
    }
    return level;
}

// No comparison scores below 0 (distances are >= 0, similarities lie in
// [0, 1]): a negative score is a fill value standing for a missing one,
// which the cuts would read as a level (the closest, for a distance). The
// routines below note it while they cut, without a pass of their own, and
// report the first one, in pair order then comparison order; the output is
// then incomplete and must not be used.
struct NegativeScore {
    bool found = false;
    std::size_t pair = 0;
    std::size_t comparison = 0;
};

// scores: comparisons x pairs (row c holds comparison c's score of every
// pair; any strides). out: one weight per pair. Runs on the worker pool.
NegativeScore match_weights(const StridedView<double>& scores, const std::vector<LevelCut>& cuts,
                            double prior_weight, double* out);

// Mixed-radix code of each pair's levels: comparison 0 the most significant
// digit, each digit in 0..count + 1 (radix count + 2). The caller checks the
// product of the radixes fits in an int64. Runs on the worker pool.
NegativeScore level_keys(const StridedView<double>& scores, const std::vector<LevelCut>& cuts, std::int64_t* out);

// Term-frequency adjustment of one comparison's exact level:
// out[i] = weights[i] + log2(u_exact / frequency[i]) where score[i] >=
// exact_threshold and frequency[i] is not NaN, out[i] = weights[i]
// elsewhere (copied, not added to: its bits stay as they are). log2 is the
// C library's, as the scalar weights' are, on u_exact / frequency[i]
// rounded to a double; a small cache per worker keeps the log2 of the few
// distinct frequencies. Returns the first pair whose frequency at the exact
// level lies outside (0, 1] (its out is not written), or n when there is
// none. Runs on the worker pool.
std::size_t frequency_weights(const StridedView<double>& weights, const StridedView<double>& frequency,
                              const StridedView<double>& score, double exact_threshold, double u_exact, double* out);

}  // namespace corvane::fellegi
