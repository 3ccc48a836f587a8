// Candidate pairs from blocking keys. Pure C++.
//
// The public layer turns every rule into one integer key per record, the
// same codes on both sides: a dense code of the rule's value (equality
// rules) or its rank in sorted order (sorted-neighbourhood rules), -1 where
// the value is missing. Here the keys become an index, built once, each
// rule on its own (counting sorts, O(records + codes)):
//
//   equality, one table    the records of every code held twice or more,
//                          ascending, and per record where its group's
//                          later records lie (a code held once pairs with
//                          nothing and costs no entry);
//   equality, two tables   the right records of every code below both
//                          sides' largest codes (no other code is on both
//                          sides), ascending; a left record finds its
//                          code's records by its key;
//   sorted neighbourhood   every record with a key in one merged order:
//                          by rank, then left before right, then position;
//                          a record's neighbours are the records within
//                          window / 2 places of it (right ones only when
//                          linking two tables, later ones when deduplicating).
//
// Pairs come out per left record: each rule's candidates form one
// ascending run (an equality rule's are; a neighbourhood's few are sorted),
// and the runs are merged in rule order into their union, each pair once,
// sorted; how many of a run the union already held is how many pairs the
// earlier rules found first. Left records run over the pool, each thread
// writing the right positions (32 bits when they fit) of the records it
// takes to a buffer of its own; then the buffers are copied to their places
// in the output and freed. There is no global sort. Counting (count_pairs)
// is the same pass, keeping only the counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "runtime/string_column.hpp"

namespace corvane::blocking {

struct RuleKeys {
    const std::int64_t* left = nullptr;   // n_left keys, -1: missing
    const std::int64_t* right = nullptr;  // n_right keys (the left keys when deduplicating)
    std::int64_t window = 0;              // 0: equal keys; an odd window >= 3: sorted neighbourhood over ranks
    // One past the largest key of each side when known (check_keys finds
    // them), else -1.
    std::int64_t left_codes = -1, right_codes = -1;
};

struct BlockingInput {
    std::size_t n_left = 0;
    std::size_t n_right = 0;
    bool dedupe = false;  // pairs (i, j) of one table with i < j
    std::vector<RuleKeys> rules;
};

// Empty when the keys are well formed, else what is wrong ("rule 1: left
// key 7 is -3"): keys are -1 or in [0, n_left + n_right). Records each
// side's end of codes (one past its largest key) in the rules.
std::string check_keys(BlockingInput& in);

// Right positions as pairs come, grown as needed, never zeroed. The
// memory is mapped from the kernel and unmapped when the buffer goes (a
// call's blocks come and go with every batch of link: pages held back by
// the allocator would add up to the peak of the whole run).
template <class T>
class PairBuffer {
public:
    PairBuffer() = default;
    PairBuffer(PairBuffer&& o) noexcept : data_(o.data_), size(o.size), bytes_(o.bytes_) {
        o.data_ = nullptr, o.size = 0, o.bytes_ = 0;
    }
    PairBuffer& operator=(PairBuffer&& o) noexcept {
        if (this != &o) {
            release();
            data_ = o.data_, size = o.size, bytes_ = o.bytes_;
            o.data_ = nullptr, o.size = 0, o.bytes_ = 0;
        }
        return *this;
    }
    PairBuffer(const PairBuffer&) = delete;
    PairBuffer& operator=(const PairBuffer&) = delete;
    ~PairBuffer() { release(); }

    T* data() const noexcept { return data_; }
    // Room for `more` values past size.
    T* room(std::size_t more) {
        if ((size + more) * sizeof(T) > bytes_) grow((size + more) * sizeof(T));
        return data_ + size;
    }

private:
    void grow(std::size_t need);
    void release() noexcept;

    T* data_ = nullptr;

public:
    std::size_t size = 0;  // values written

private:
    std::size_t bytes_ = 0;  // mapped
};

template <class T>
struct RuleIndex;

class CandidateIndex {
public:
    // With own_keys the index copies the keys it reads later (the left
    // keys of two tables' equality rules, in 32 bits when narrow), so that
    // the caller's arrays need only outlive the constructor; without, they
    // must outlive the index. The codes recorded by check_keys, when there,
    // spare a pass over the keys.
    explicit CandidateIndex(const BlockingInput& in, bool own_keys = false);
    ~CandidateIndex();
    CandidateIndex(const CandidateIndex&) = delete;
    CandidateIndex& operator=(const CandidateIndex&) = delete;

    // What a thread's pass over records reuses from record to record.
    template <class P>
    struct Scratch;

    // Pair counts of left records [lo, hi) into counts; by_rule[r] gets
    // the pairs rule r adds.
    void count_block(std::size_t lo, std::size_t hi, std::int64_t* counts, std::uint64_t* by_rule,
                     Scratch<std::int64_t>& scratch) const;
    // Appends the right positions of the pairs of left records [lo, hi),
    // by record, each record's ascending, to buffer; counts[k] gets record
    // lo + k's number of pairs. P: std::uint32_t when narrow, else
    // std::int64_t.
    template <class P>
    void fill_block(std::size_t lo, std::size_t hi, PairBuffer<P>& buffer, P* counts, Scratch<P>& scratch) const;
    // Whether every position fits in 32 bits (index items, pair buffers).
    bool narrow() const noexcept { return narrow_; }

    // Readies a thread's scratch for this index.
    template <class P>
    void prepare(Scratch<P>& scratch) const;

    std::size_t rules() const noexcept { return n_rules_; }

private:
    template <class T>
    void build(const BlockingInput& in, bool own_keys);
    template <class T>
    struct Lookup;
    template <class T>
    void make_lookups();
    template <class T, class P, class Room, class Done>
    void walk(const std::vector<Lookup<T>>& lookups, std::size_t lo, std::size_t hi, Scratch<P>& scratch, Room&& room,
              Done&& done, std::uint64_t* by_rule) const;
    template <class T, class P, class Room>
    std::size_t unite(Scratch<P>& scratch, std::size_t m, std::size_t total, Room&& room, std::uint64_t* by_rule) const;

    BlockingInput in_;  // sizes and flags (no key pointers)
    std::size_t n_rules_ = 0;
    bool narrow_ = false;
    // The rules in the index's width (one of the two, by narrow_).
    std::vector<RuleIndex<std::int32_t>> thin_;
    std::vector<RuleIndex<std::int64_t>> wide_;
    std::vector<Lookup<std::int32_t>> thin_lookups_;
    std::vector<Lookup<std::int64_t>> wide_lookups_;
};

// The pairs of left records [start, stop) as (left, right) position arrays,
// sorted by left then right position, on the pool. Counting only:
// count_pairs. The arrays are written once, not zeroed first.
struct PairArrays {
    BulkBuffer<std::int64_t> left, right;
    std::size_t size = 0;
};
PairArrays build_pairs(const CandidateIndex& index, std::size_t start, std::size_t stop);
// Per-record pair counts of left records [0, n_left) and each rule's added pairs.
std::vector<std::int64_t> count_pairs(const CandidateIndex& index, std::size_t n_left, std::vector<std::uint64_t>& by_rule);

// Dense codes of key tuples: keys holds n_columns runs of n codes each;
// the result gives equal tuples equal codes, 0, 1, 2, ... in order of first
// occurrence, and -1 where any code is -1.
std::vector<std::int64_t> combine_keys(const std::int64_t* keys, std::size_t n_columns, std::size_t n);

// Pairs with equal non-missing codes: left x right, or (dedupe) i < j.
std::uint64_t count_equal_pairs(const std::int64_t* left, std::size_t n_left, const std::int64_t* right,
                                std::size_t n_right, bool dedupe);

}  // namespace corvane::blocking
