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
// A column set C is counted from its parent, C less its last column: only
// the records whose parent tuple is shared by a pair ("live" records) can
// share a C-tuple, so each step hashes (parent code, column code) over the
// parent's live records alone, and the live records shrink as columns are
// added. The columns are ordered by how few live records each has alone,
// so the most selective column is the first of every set. Column sets of
// one size are counted in parallel on the pool.
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
