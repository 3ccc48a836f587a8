// Candidate pairs from blocking keys. Pure C++.
//
// The public layer turns every rule into one integer key per record, the
// same codes on both sides: a dense code of the rule's value (equality
// rules) or its rank in sorted order (sorted-neighbourhood rules), -1 where
// the value is missing. Here the keys become an index, built once:
//
//   equality rule          the right records of every code, ascending
//                          (counting sort, O(records + codes));
//   sorted neighbourhood   every record with a key in one merged order:
//                          by rank, then left before right, then position;
//                          a record's neighbours are the records within
//                          window / 2 places of it (right ones only when
//                          linking two tables, later ones when deduplicating).
//
// Pairs come out per left record: rule by rule, each rule's candidates
// minus those an earlier rule already holds (whether rule r holds for a
// pair is an O(1) test on the keys), so each pair is found once, and then
// the record's few candidates are sorted. Left records run over the pool
// in blocks, one pass: each block writes its records' pairs to a buffer of
// its own (right positions, in 32 bits when they fit), then the blocks are
// copied to their places in the output and freed. There is no global sort.
// Counting (count_pairs) is the same pass, keeping only the counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace corvane::blocking {

struct RuleKeys {
    const std::int64_t* left = nullptr;   // n_left keys, -1: missing
    const std::int64_t* right = nullptr;  // n_right keys (the left keys when deduplicating)
    std::int64_t window = 0;              // 0: equal keys; an odd window >= 3: sorted neighbourhood over ranks
};

struct BlockingInput {
    std::size_t n_left = 0;
    std::size_t n_right = 0;
    bool dedupe = false;  // pairs (i, j) of one table with i < j
    std::vector<RuleKeys> rules;
};

// Empty when the keys are well formed, else what is wrong ("rule 1: left
// key 7 is -3"): keys are -1 or in [0, n_left + n_right).
std::string check_keys(const BlockingInput& in);

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

// Offsets into a rule's items and places in its order, in 32 bits when
// the index is narrow (every position fits), else in 64; built in place
// in the width they keep.
class Offsets {
public:
    template <class T>
    T* assign(std::size_t n, std::int64_t value) {
        if constexpr (sizeof(T) == sizeof(std::int32_t)) {
            thin_.assign(n, static_cast<std::int32_t>(value));
            thin = true;
            return thin_.data();
        } else {
            wide_.assign(n, value);
            thin = false;
            return wide_.data();
        }
    }
    std::int64_t operator[](std::size_t k) const noexcept { return thin ? thin_[k] : wide_[k]; }
    std::size_t size() const noexcept { return thin ? thin_.size() : wide_.size(); }
    const void* address(std::size_t k) const noexcept {
        return thin ? static_cast<const void*>(thin_.data() + k) : static_cast<const void*>(wide_.data() + k);
    }

private:
    std::vector<std::int64_t> wide_;
    std::vector<std::int32_t> thin_;
    bool thin = false;
};

// One side of a rule's keys: the caller's array, or the index's own copy
// (in 32 bits when the index is narrow) when the caller's arrays may go
// once the index is built.
class KeyRun {
public:
    void point(const std::int64_t* keys) noexcept { wide_ = keys; }
    void copy(const std::int64_t* keys, std::size_t n, bool narrow) {
        if (narrow) {
            thin_.resize(n);
            for (std::size_t k = 0; k < n; ++k) thin_[k] = static_cast<std::int32_t>(keys[k]);
            wide_ = nullptr;
        } else {
            own_.assign(keys, keys + n);
            wide_ = own_.data();
        }
    }
    std::int64_t operator[](std::size_t k) const noexcept { return wide_ ? wide_[k] : thin_[k]; }

private:
    const std::int64_t* wide_ = nullptr;
    std::vector<std::int64_t> own_;
    std::vector<std::int32_t> thin_;
};

class CandidateIndex {
public:
    // With own_keys the index copies the keys it reads later (in 32 bits
    // when narrow), so that the caller's arrays need only outlive the
    // constructor; without, they must outlive the index.
    explicit CandidateIndex(const BlockingInput& in, bool own_keys = false);

    // Pairs of left record i; by_rule[r] gets the pairs rule r adds.
    std::uint64_t count(std::size_t i, std::uint64_t* by_rule) const;
    // Appends the right positions of left record i's pairs, ascending, to
    // buffer; returns how many.
    template <class T>
    std::size_t fill(std::size_t i, PairBuffer<T>& buffer) const;
    // Whether every position fits in 32 bits (index items, pair buffers).
    bool narrow() const noexcept { return narrow_; }

    // Fetches what left record i + kAhead will read into the cache, and
    // the index entries of record i + kAhead / 2: records' codes lead to
    // random places in the index, so a pass over the records asks for them
    // ahead.
    void prefetch(std::size_t i) const noexcept;
    static constexpr std::size_t kAhead = 32;

    std::size_t rules() const noexcept { return rules_.size(); }

private:
    struct Rule {
        RuleKeys keys;                       // the window; the pointers only while building
        KeyRun left, right;                  // the keys read afterwards (right: two tables only)
        std::int64_t half = 0;               // window / 2 (sorted neighbourhood)
        Offsets starts;                      // equality: codes + 1 offsets into items
        std::vector<std::int64_t> items;     // equality: right positions by code; neighbourhood: the merged order;
                                             // each followed by what the earlier rules test for its record
        std::vector<std::int32_t> narrow_items;  // the same in 32 bits, when everything fits (then items is empty)
        std::size_t count = 0;               // items
        std::size_t stride = 1;              // entries per item: the item, then one per earlier rule
        Offsets slot;                        // equality, dedupe: index of record i in items
        Offsets place_l;                     // neighbourhood: place of each left record in the order, -1 missing
        Offsets place_r;                     // neighbourhood, two tables: the same for right records
    };

    // What rule tests for record j of the left (or right) side: its code,
    // or its place in the merged order; -1: missing.
    std::int64_t test_value(const Rule& rule, std::size_t j, bool right) const noexcept;
    // f(rule, right position, kept) for every candidate of left record i,
    // rule by rule; room(k) before the k candidates of each rule.
    template <class F, class Room>
    void each(std::size_t i, F&& f, Room&& room) const;

    // Rule r's structures in T (std::int32_t when narrow), its items with
    // room for what the earlier rules test (written afterwards).
    template <class T>
    void build_rule(const BlockingInput& in, std::size_t r);
    template <class T>
    void pack_rule(std::size_t r, T* packed);

    BlockingInput in_;  // sizes and flags (the key pointers only while building)
    std::vector<Rule> rules_;
    bool sorted_output_ = false;  // one equality rule: candidates come out ascending
    bool narrow_ = false;
};

// The pairs of left records [start, stop) as (left, right) position arrays,
// sorted by left then right position, on the pool. Counting only:
// count_pairs. The arrays are written once, not zeroed first.
struct PairArrays {
    std::unique_ptr<std::int64_t[]> left, right;
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
