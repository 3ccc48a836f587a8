// Counting the candidate pairs of equality rules without building them.
// Pure C++.
//
// An equality rule holds for a pair when every one of its key columns is
// equal (and not missing) on both records; a set of rules holds at once
// when the union of their key columns does. So the pairs rule r adds beyond
// rules 0 .. r-1 are, by inclusion-exclusion,
//
//   sum over subsets T of {0 .. r-1} of (-1)^|T| * N(columns of {r} and T),
//
// where N(C) is the number of pairs that agree on every column of C: the
// sum over the groups of equal C-tuples of size * (size - 1) / 2 (one
// table) or left size * right size (two tables). Each distinct column set
// is counted once, however many subsets of rules lead to it.
//
// Each column is first counted alone, by a histogram of its codes (codes
// are below n): N({k}) and which codes are shared by a pair ("live"). The
// columns are then ordered by N({k}), fewest first, and the column sets
// form a tree: a set hangs from its parent, the set less its last column,
// and a set's first column is the root of its tree. Under one root, only
// the records of the root's live codes can agree on a pair: one pass over
// the records writes each of them, as a row of its codes in the other
// columns of the tree, to a bucket of consecutive root groups (few
// buckets, so their ends stay in cache; each small enough to sort in
// cache). Each bucket is sorted by root group and each group is split by
// the next column's codes down the tree (sorting a small group, counting
// a larger one in a table indexed by code), only the runs that hold a pair
// going further. A group small for the sets below it has its pairs
// compared one by one instead, each pair tallied by the row columns it
// agrees on; the tallies' sums over supersets give every set below.
// Columns, roots and buckets run in parallel on the pool; the counts are
// integers added in any order, so exact whatever the scheduling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvane::blocking {

// Most rules count_rule_pairs takes (its work grows with 2**rules).
constexpr std::size_t kMaxCountedRules = 16;

// keys: the key columns, n codes each (n = n_left when deduplicating, else
// n_left + n_right with the left records first), each code -1 (missing) or
// in [0, n). rule_masks[r]: the key columns rule r needs (bit k: column k),
// non-zero. Returns, per rule, the pairs it adds beyond the rules before
// it: pairs i < j of the n_left records, or left x right.
std::vector<std::uint64_t> count_rule_pairs(const std::vector<const std::int64_t*>& keys, std::size_t n_left,
                                            std::size_t n_right, bool dedupe,
                                            const std::vector<std::uint64_t>& rule_masks);

}  // namespace corvane::blocking
