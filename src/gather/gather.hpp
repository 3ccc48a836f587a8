// Scoring candidate pairs straight from the record columns. Pure C++.
//
// A comparison reads two record columns, one per side; pair p compares
// record left_positions[p] of the left column with record
// right_positions[p] of the right one. Every comparison's scores are written
// as one contiguous run of the output: out[k * n_pairs + p].
//
// Rows. Where the pairs read a side's records more than once on average,
// that side's compared values are first laid out record by record, once per
// call (every string a record gives any comparison, with its missing flag,
// and every number, in one short row), so a pair costs one random read per
// side however many comparisons it has, instead of an offset, a flag and a
// string per comparison, each somewhere else. Two sides holding the same
// values (a deduplication) share one set of rows. A side whose rows would
// not pay (fewer pairs than records) or not fit (a record's values past
// 32,767 bytes) reads its columns where they lie: a block resolves its
// records to views of their strings, the strings fetched ahead. Either way
// the column routines see views, never a copy made per pair.
//
// Missing values. A string record is missing where its column's mask says
// so, a number where it is NaN. A pair with a missing value on either side
// gets the fill value and is never scored: the kernels only ever see real
// values (a missing string reads as "" while its pair is scored, then the
// fill value replaces the score).
//
// Order of work. Pairs are cut into blocks of consecutive pairs; a worker
// finds its block's rows (fetched ahead), then scores every comparison of
// the block before taking the next one, so the block's rows stay in cache
// while all comparisons read them. Candidate pairs usually come sorted by
// left position, so the left-hand records of a block are few.
//
// Per-record work. Soundex codes and the sorted token strings of token sort
// ratio depend on one record only; when the pairs outnumber the records,
// they are computed once per record and the pairs compare the results
// (exact match of the codes, Levenshtein of the sorted strings), which gives
// the very same scores as the per-pair kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/string_column.hpp"
#include "similarity/columns.hpp"

namespace corvane::gather {

// One side of a comparison: a string column (with its missing mask, or
// nullptr when no record is missing) or a run of float64 numbers.
struct Side {
    const StringColumn* strings = nullptr;
    const std::uint8_t* missing = nullptr;
    const double* numbers = nullptr;
    std::size_t records = 0;
};

enum class Shortcut : std::uint8_t { kNone, kSoundex, kTokenSort };

struct Comparison {
    Side left, right;
    similarity::StringKernel string_kernel;              // string comparisons
    similarity::NumericKernel numeric_kernel = nullptr;  // numeric comparisons
    Shortcut shortcut = Shortcut::kNone;                 // per-record work this metric allows
};

struct Pairs {
    const std::int64_t* left = nullptr;   // left_positions
    const std::int64_t* right = nullptr;  // right_positions
    std::size_t n = 0;
};

// Sizing the pool's rows for long strings: the mean product of the two
// strings' lengths over up to 64 pairs spread through `pairs` (a pair with a
// missing value counts 0: its slot means nothing and is not scored), what a
// pair costs a quadratic string kernel. Positions must be in range.
double mean_cells(const StringColumn& left, const std::uint8_t* left_missing, const StringColumn& right,
                  const std::uint8_t* right_missing, const Pairs& pairs) noexcept;

// The first pair whose left position lies outside [0, left_records), or
// failing that the first whose right position lies outside [0,
// right_records). Checked on the pool.
struct BadPosition {
    bool found = false;
    bool right = false;
    std::size_t pair = 0;
    std::int64_t value = 0;
};
BadPosition check_positions(const Pairs& pairs, std::size_t left_records, std::size_t right_records);

// The first comparison (in order) with a pair that has a missing value, its
// first such pair, and the side (left when both are missing). Positions
// must have been checked.
struct MissingPair {
    bool found = false;
    std::size_t comparison = 0, pair = 0;
    bool right = false;
    std::int64_t row = 0;
};
MissingPair first_missing(const std::vector<Comparison>& comparisons, const Pairs& pairs);

// Scores every comparison of every pair into out (comparisons.size() *
// pairs.n doubles, which it writes once each, so fresh memory is first
// touched by the worker that fills it). Positions must have been checked.
void score_pairs(const std::vector<Comparison>& comparisons, const Pairs& pairs, double fill, double* out);

// What score_pairs works out before its first pair (the shared columns of a
// deduplication, the per-record work, each side's rows), kept for calls
// over the same columns: link scores its batches with one. `pairs` is how
// many pairs the calls score in all, which decides the per-record work and
// the rows as one call of that many pairs would. The comparisons' columns
// must outlive it. score gives score_pairs' scores bit for bit.
class Prepared {
public:
    Prepared(const std::vector<Comparison>& comparisons, std::size_t pairs);
    ~Prepared();
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
    const std::vector<Comparison>& comparisons() const noexcept;
    void score(const Pairs& pairs, double fill, double* out) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace corvane::gather
