// Levels of record pairs straight from the record columns. Pure C++.
//
// Fitting a Fellegi-Sunter model needs only each pair's level per
// comparison, never its score, and most pairs (all but a few of a million
// random record pairs) fall to the lowest level, "else". For the edit
// distances and Jaro-Winkler a cheap bound on the score decides that level
// for most pairs without running the kernel; the kernel runs only where the
// bound cannot decide, and its score is then cut exactly as level_of cuts
// it. So every level equals level_of(score) of the score the kernel gives,
// bit for bit: the bounds only skip kernels whose score would fall below
// the lowest threshold (or, for an exact match, pairs surely unequal).
//
// The bounds come from each string's summary: its characters counted in 30
// buckets (a character always counts in the same bucket; counts saturate,
// which only weakens the bounds) and its length in characters, as the
// kernels count them (Unicode scalar values). Where the records are fewer
// than a few times the pairs (a million random pairs for u) each record is
// summed up once, in 16 bytes; otherwise each pair's two strings as it
// comes.
//
// Order of work: one comparison at a time over all pairs, in blocks; a
// block first decides what the bound can, then fetches the strings of the
// pairs left (many loads in flight) and scores them with the metric's
// column routine (vector lanes where it has them). A comparison's columns
// and summaries then have the cache to themselves.
//
// * Levenshtein and Damerau-Levenshtein (both forms: every edit, a
//   transposition included, changes the multiset of characters by at most
//   one on each side): the distance d is at least the length difference and
//   at least the characters of either string missing from the other,
//   counted per bucket (a coarser alphabet only lowers the count). The
//   similarity 1 - d / max(la, lb) falls as d grows, in floating point too
//   (each rounding is monotone), so the similarity of that lower bound is an
//   upper bound of the kernel's score, computed with the kernel's own
//   operations.
// * Jaro-Winkler: the matched characters m are at most the characters the
//   two strings share (per bucket, so at most la minus those of a missing
//   from b, and the same for b). The Jaro score with that m, no
//   transpositions and the kernel's operations bounds its Jaro score
//   (monotone roundings again); above 0.7 the prefix bonus can add at most
//   (1 - s) * 0.4, bounded with a margin far wider than the roundings.
// * Exact match: strings of different lengths or counts are not equal, and
//   score 0.0; the others are compared.
//
// Missing values get the missing level (count + 1), as a NaN score does.
// Every other metric (exact, Soundex, token metrics, numbers) is scored by
// the pairs' usual column routines in chunks and cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gather/gather.hpp"
#include "models/fellegi/levels.hpp"

namespace corvane::fellegi {

// Which bound decides the "else" level of a comparison without its kernel.
enum class Bound : std::uint8_t { kNone, kEditDistance, kJaroWinkler, kExact };

struct LevelComparison {
    gather::Comparison compare;  // the columns and the kernel, as compare_pairs scores them
    LevelCut cut;                // the thresholds (weights unused)
    Bound bound = Bound::kNone;
};

// Counts for one comparison: pairs whose level the bound decided, and pairs
// the kernel scored (missing pairs are in neither).
struct LevelStats {
    std::size_t decided = 0, scored = 0;
};

// out[k * n + p]: the level of comparison k for pair p. Positions must have
// been checked. Runs on the worker pool. Returns one LevelStats per
// comparison.
std::vector<LevelStats> pair_levels(const std::vector<LevelComparison>& comparisons, const gather::Pairs& pairs,
                                    std::uint8_t* out);

// The bound kind of a string kernel: none for kernels without one.
Bound bound_of(similarity::PairKernel kernel) noexcept;

}  // namespace corvane::fellegi
