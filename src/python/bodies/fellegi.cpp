// match_weight_batch, frequency_weight_batch and level_key_batch: conversion and the checks of the
// level cuts (copied into vectors: they are a few values), then the pairs on
// the worker pool with the interpreter lock released.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "python/binding.hpp"
#include "python/bodies.hpp"
#include "models/fellegi/levels.hpp"
#include "python/bodies/level_cuts.hpp"

namespace corvane {

std::vector<fellegi::LevelCut> cuts_of(std::size_t n_comparisons, const std::vector<double>& thresholds,
                                       const std::vector<std::int64_t>& counts,
                                       const std::vector<std::int64_t>& distance, const std::vector<double>* weights) {
    if (counts.size() != n_comparisons || distance.size() != n_comparisons)
        throw ValueError("scores has " + std::to_string(n_comparisons) + " comparisons (rows) but n_thresholds has " +
                         std::to_string(counts.size()) + " and distance " + std::to_string(distance.size()) +
                         " elements");
    std::vector<fellegi::LevelCut> cuts(n_comparisons);
    std::size_t t = 0, w = 0;
    for (std::size_t c = 0; c < n_comparisons; ++c) {
        if (counts[c] < 0 || static_cast<std::uint64_t>(counts[c]) > thresholds.size() - t)
            throw ValueError("n_thresholds[" + std::to_string(c) + "] = " + std::to_string(counts[c]) +
                             " does not fit in the " + std::to_string(thresholds.size()) + " thresholds given");
        cuts[c].thresholds = thresholds.data() + t;
        cuts[c].count = static_cast<std::size_t>(counts[c]);
        cuts[c].distance = distance[c] != 0;
        for (std::size_t k = 0; k < cuts[c].count; ++k) {
            const double here = cuts[c].thresholds[k];
            const double before = k ? cuts[c].thresholds[k - 1] : 0.0;
            const bool ordered = k == 0 || (cuts[c].distance ? before < here : before > here);
            if (here != here || !ordered)
                throw ValueError("the thresholds of comparison " + std::to_string(c) + " must be " +
                                 (cuts[c].distance ? "strictly increasing" : "strictly decreasing") +
                                 " numbers, closest level first");
        }
        t += cuts[c].count;
        if (weights) {
            if (cuts[c].count + 2 > weights->size() - w)
                throw ValueError("weights has " + std::to_string(weights->size()) +
                                 " values, fewer than the levels of the comparisons (n_thresholds + 2 each)");
            cuts[c].weights = weights->data() + w;
            w += cuts[c].count + 2;
        }
    }
    if (t != thresholds.size())
        throw ValueError("thresholds has " + std::to_string(thresholds.size()) + " values but n_thresholds adds up to " +
                         std::to_string(t));
    if (weights && w != weights->size())
        throw ValueError("weights has " + std::to_string(weights->size()) + " values but the levels add up to " +
                         std::to_string(w));
    return cuts;
}

namespace {

// The error for a negative score (a fill value), naming it as the
// scores argument's element [comparison, pair].
[[noreturn]] void raise_negative(const StridedView<double>& scores, const fellegi::NegativeScore& bad) {
    char value[32];
    std::snprintf(value, sizeof value, "%g", scores.at(bad.comparison, bad.pair));
    throw ValueError("scores[" + std::to_string(bad.comparison) + ", " + std::to_string(bad.pair) + "] = " + value +
                     " is negative: no comparison scores below 0, so it stands for a missing score; "
                     "give missing scores as NaN");
}

}  // namespace

PyObject* body_match_weight_batch(const Args& args) {
    auto scores = to_f64_array(args, 0, 2);
    const std::vector<double> thresholds = copied(to_f64_array(args, 1, 1));
    const std::vector<std::int64_t> counts = copied(to_i64_array(args, 2));
    const std::vector<std::int64_t> distance = copied(to_i64_array(args, 3));
    const std::vector<double> weights = copied(to_f64_array(args, 4, 1));
    const double prior_weight = to_float(args, 5);
    const auto cuts = cuts_of(scores.view.rows, thresholds, counts, distance, &weights);

    // Untouched memory: the workers that write each range take its page
    // faults, in parallel, instead of a zero fill on this thread first.
    const std::size_t n = scores.view.cols;
    ScoreBuffer out(n);
    fellegi::NegativeScore bad;
    {
        ReleasedSection released;
        bad = fellegi::match_weights(scores.view, cuts, prior_weight, out.data());
    }
    if (bad.found) raise_negative(scores.view, bad);
    return result_array(std::move(out), n);
}

PyObject* body_frequency_weight_batch(const Args& args) {
    auto weights = to_f64_array(args, 0, 1);
    auto frequency = to_f64_array(args, 1, 1);
    auto score = to_f64_array(args, 2, 1);
    const double exact_threshold = to_float(args, 3);
    const double u_exact = to_float(args, 4);
    const std::size_t n = weights.len();
    if (frequency.len() != n || score.len() != n)
        throw ValueError("weights has " + std::to_string(n) + " values but frequency " +
                         std::to_string(frequency.len()) + " and scores " + std::to_string(score.len()));
    if (exact_threshold != exact_threshold)  // no score would reach it: every pair left unadjusted, unseen
        throw ValueError("exact_threshold is NaN: give the exact level's threshold");
    if (!(u_exact > 0.0 && u_exact <= 1.0))
        throw ValueError("u_exact must lie in (0, 1], not " + std::to_string(u_exact));
    ScoreBuffer out(n);
    std::size_t bad = n;
    {
        ReleasedSection released;
        bad = fellegi::frequency_weights(weights.view, frequency.view, score.view, exact_threshold, u_exact,
                                         out.data());
    }
    if (bad < n)
        throw ValueError("frequency[" + std::to_string(bad) + "] = " + std::to_string(frequency.view.at(bad)) +
                         " at the exact level: a term frequency lies in (0, 1]");
    return result_array(std::move(out), n);
}

PyObject* body_level_key_batch(const Args& args) {
    auto scores = to_f64_array(args, 0, 2);
    const std::vector<double> thresholds = copied(to_f64_array(args, 1, 1));
    const std::vector<std::int64_t> counts = copied(to_i64_array(args, 2));
    const std::vector<std::int64_t> distance = copied(to_i64_array(args, 3));
    const auto cuts = cuts_of(scores.view.rows, thresholds, counts, distance, nullptr);
    // Every key must fit: the product of the radixes stays below 2**62.
    std::uint64_t space = 1;
    for (const auto& cut : cuts) {
        const std::uint64_t radix = cut.count + 2;
        if (space > (std::uint64_t{1} << 62) / radix)
            throw ValueError("the combinations of levels (the product of n_thresholds + 2 over the comparisons) "
                             "do not fit in an int64 key");
        space *= radix;
    }

    std::vector<std::int64_t> out(scores.view.cols);
    fellegi::NegativeScore bad;
    {
        ReleasedSection released;
        bad = fellegi::level_keys(scores.view, cuts, out.data());
    }
    if (bad.found) raise_negative(scores.view, bad);
    return result_i64_array(std::move(out));
}

}  // namespace corvane
